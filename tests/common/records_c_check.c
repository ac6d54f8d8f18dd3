/* Compiles the shared headers as C, the way the driver side includes them. */
#include "common/filter_control.h"
#include "common/lock_control.h"

int VxRecordsCompileAsC(void) { return (int)(sizeof(USB_RULE) + sizeof(USB_LOG) + sizeof(LOCK_LOG)); }
