// A pushed installer: the bytes after an updatePush header become "VXUP.exe"
// in the install directory, which is then started.
#pragma once

#include <string>

#include "management/connection.h"
#include "management/outcome.h"
#include "management/protocol/message_header.h"
#include "management/update_installer.h"

namespace vx::management {

inline constexpr std::size_t kUpdateChunkSize = 65536;
inline constexpr wchar_t kUpdateFileName[] = L"VXUP.exe";

// The installer's path, and its command line: the path in double quotes.
[[nodiscard]] std::wstring UpdateTargetPath(const std::wstring& installDir);
[[nodiscard]] std::wstring UpdateCommandLine(const std::wstring& installDir);

// Reads the `header.length` file bytes in chunks of 65,536 (2000 empty polls
// each), writing each chunk as it completes, then starts the file with its
// quoted path as the command line and `installDir` as its directory.
//
// The connection ends only when the bytes stop short: the chunks written so
// far stay, nothing is started. A file that cannot be opened is read and
// discarded; a file that could not be written or closed in full is not
// started; neither ends the connection.
[[nodiscard]] Outcome ReceiveUpdate(const Connection& connection, MessageHeader header, const std::wstring& installDir,
                                    UpdateInstaller& installer);

}  // namespace vx::management
