/* Runs one call and catches an exception raised by the RPC run time in it
 * (a client stub raises one when the server cannot be reached or the call
 * fails). GCC has no __try: on x64 this uses the __try1/__except1 macros of
 * <excpt.h>; on x86 it installs the same frame-based record by hand. */
#ifndef VX_CONTROL_RPC_GUARDED_CALL_H
#define VX_CONTROL_RPC_GUARDED_CALL_H

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when `call` returned normally, else the exception's code (such as 1722
 * when no server listens on the endpoint). Exceptions that signal a fault of
 * the program itself (access violations and the like) are not caught. */
unsigned long VxGuardedCall(void (*call)(void* context), void* context);

#ifdef __cplusplus
}
#endif

#endif
