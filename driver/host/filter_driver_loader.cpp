// The filter driver as LoadedDriver's default: kept apart from the generic
// loader so that other drivers run on the stand-in without the filter's code.
#include "driver/filter_driver.h"
#include "driver/host/host_driver.h"

namespace vx::host {

LoadedDriver::LoadedDriver() : LoadedDriver(DriverEntry, u"VXDevFltr") {}

}  // namespace vx::host
