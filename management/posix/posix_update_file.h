// The pushed installer's file with the C library on a POSIX system, so the
// native tests write it to disk for real.
#pragma once

#include <memory>
#include <string>

#include "management/update_installer.h"

namespace vx::management {

// Opens `path` (wide text, taken as UTF-8 bytes) with fopen "wb". nullptr
// when it cannot be opened.
[[nodiscard]] std::unique_ptr<UpdateFile> CreatePosixUpdateFile(const std::wstring& path);

}  // namespace vx::management
