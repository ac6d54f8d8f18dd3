#define __MINGW_EXCPT_DEFINE_PSDK 1
#include "control_rpc/windows/guarded_call.h"

#include <windows.h>

#include <excpt.h>
#include <setjmp.h>

/* The code of the exception caught on this thread. */
static _Thread_local unsigned long caughtCode;

/* RPC failures are Win32 error codes or RPC status values; NT error statuses
 * (0xC0000000 and up, outside the RPC facilities) are faults of the program
 * and keep going to the next handler. */
static int IsRpcException(unsigned long code) {
  if (code < 0x80000000ul) return 1;
  const unsigned long facility = (code >> 16) & 0x0FFFu;
  return (code & 0xC0000000ul) == 0xC0000000ul && (facility == 2 || facility == 3);
}

#if defined(__x86_64__)

/* Filter of the scope that __try1 installs (named only in its assembly): when
 * it takes the exception, the stack unwinds to the end of the guarded scope. */
__attribute__((used)) static long RpcExceptionOnly(EXCEPTION_POINTERS* exception, void* frame) {
  (void)frame;
  const unsigned long code = exception->ExceptionRecord->ExceptionCode;
  if (!IsRpcException(code)) return EXCEPTION_CONTINUE_SEARCH;
  caughtCode = code;
  return EXCEPTION_EXECUTE_HANDLER;
}

/* One guarded scope per function (the macros use fixed labels). */
__attribute__((noinline)) unsigned long VxGuardedCall(void (*call)(void* context), void* context) {
  caughtCode = 0;
  __try1(RpcExceptionOnly) call(context);
  __except1;
  return caughtCode;
}

#else

/* On x86 the handler is a frame-based one. The <excpt.h> macro pushes its
 * record with an instruction the compiler does not know of, which breaks
 * stack-relative addressing in the function; the same record is made here as
 * a local variable instead, which is what the macro builds. The handler
 * resumes after the guarded call through a jump buffer taken once the record
 * is installed, and msvcrt's longjmp unwinds the frames above the record
 * (running their termination handlers) on the way back. */
static _Thread_local jmp_buf* resumePoint;

static EXCEPTION_DISPOSITION RpcExceptionOnly(struct _EXCEPTION_RECORD* record, void* frame, struct _CONTEXT* context,
                                              void* dispatcher) {
  (void)frame;
  (void)context;
  (void)dispatcher;
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
      !IsRpcException(record->ExceptionCode))
    return ExceptionContinueSearch;
  caughtCode = record->ExceptionCode;
  longjmp(*resumePoint, 1);
}

__attribute__((noinline)) unsigned long VxGuardedCall(void (*call)(void* context), void* context) {
  jmp_buf resume;
  jmp_buf* volatile outer = resumePoint;
  volatile EXCEPTION_REGISTRATION registration;
  caughtCode = 0;
  resumePoint = &resume;
  registration.prev = (PEXCEPTION_REGISTRATION)__readfsdword(0);
  registration.handler = RpcExceptionOnly;
  __writefsdword(0, (DWORD)(DWORD_PTR)&registration);
  if (setjmp(resume) == 0) call(context);
  __writefsdword(0, (DWORD)(DWORD_PTR)registration.prev);
  resumePoint = outer;
  return caughtCode;
}

#endif
