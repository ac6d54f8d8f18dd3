// The crash reporter of the service program. Once installed, an exception
// that nothing handles, on any thread, leaves one crash bundle (".clg") in
// the program's directory holding the crash information file ("info") and a
// minidump ("dump"), and ends the process with exit code -1 (0xFFFFFFFF).
//
// Needs no Windows header: the service entry calls
//   vx::crash::InstallCrashHandler("VXDC", 1, 5, 0, 1155);
// before it examines its command line.
#pragma once

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace vx::crash {

// Records the program's directory, the start time, the application code (four
// characters) and the version, seeds the C runtime's generator, starts the
// reporter thread (which only waits for a crash) and registers CrashFilter as
// the unhandled-exception filter. Call once, before other threads start.
void InstallCrashHandler(const char (&appCode)[5], int32_t versionMajor, int32_t versionMinor, int32_t versionBuild,
                         int32_t versionRevision);

// Hands the crash to the reporter thread and waits: the reporter writes the
// minidump (naming the faulting thread) and the information file, bundles
// them, deletes the loose files and ends the process with ExitProcess(-1).
// Never returns. `pointers` may be null, or carry no exception record: the
// report then says "No Exception Info". Without a reporter thread the report
// is written on the faulting thread.
long __stdcall CrashFilter(_EXCEPTION_POINTERS* pointers);

}  // namespace vx::crash
