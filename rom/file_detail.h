#pragma once

// Shared by the platforms' file layers; not for use outside them.

#include <cstdint>

#include "rom/file.h"

namespace tflux {

// Copies bytes done..size of `from` into `to` through a buffer, where the system's own copy
// stopped or was not available; returns where the copy ended (`size`, unless `from` ends sooner).
std::uint64_t CopyRemainder(const File& from, File& to, std::uint64_t done, std::uint64_t size);

// The start of File::Open on every system: announces the opening to the hook and refuses an
// empty name. Returns the verb its errors use, "open" or "create".
const char* BeginOpen(const std::filesystem::path& path, OpenMode mode, IoHook* hook);

#ifdef _WIN32
// Whether `path` begins with \\?\, which the standard library takes for a folder named "?".
bool IsVerbatim(const std::filesystem::path& path);
// ResolveLinks for such a path, which the system resolves itself.
std::filesystem::path ResolveVerbatim(const std::filesystem::path& path);
#endif

}  // namespace tflux
