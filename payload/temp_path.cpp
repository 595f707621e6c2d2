#include <filesystem>
#include <string>

#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "rom/text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace tflux {

#ifdef _WIN32

// The user's own temporary folder, which Windows already keeps private to that user.
std::string TempPath(IoHook* hook) {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    DWORD n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (n > buffer.size()) {  // the size it needs, terminator included
        buffer.resize(n);
        n = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    if (n == 0 || n >= buffer.size()) {
        throw Win32Error("find", "the temporary folder", GetLastError());
    }
    buffer.resize(n);
    if (buffer.back() != L'\\') {
        buffer += L'\\';
    }
    // TMP may name a folder that is not there yet.
    EnsureTemporaryFolder(buffer, hook);
    return PathText(buffer);
}

Folder TempFolder(IoHook* hook) {
    return Folder::OpenPrivate(PathFromText(TempPath(hook)), hook);
}

#else

namespace {

std::string PrivateFolderPath() {
    const char* env = std::getenv("TMPDIR");
    std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return (base == "/" ? base : base + "/") + "tflux-krn-" + std::to_string(::geteuid()) + "/";
}

}  // namespace

// A per-user folder, so that nobody else can plant or read the extracted files.
std::string TempPath(IoHook* hook) {
    const std::string dir = PrivateFolderPath();
    EnsureTemporaryFolder(dir, hook);
    return dir;
}

Folder TempFolder(IoHook* hook) {
    return Folder::OpenPrivate(PrivateFolderPath(), hook);
}

#endif

}  // namespace tflux
