#include <filesystem>
#include <string>

#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cstdlib>
#endif

namespace tflux {

#ifdef _WIN32

namespace {

// A narrow spelling of `wide` that std::filesystem::path reads back as the same path: the engine
// passes paths around as narrow strings. How a narrow path is read differs between standard
// libraries (the ANSI code page, the C runtime's locale), so each spelling is tried and checked;
// the 8.3 short name, plain ASCII, is the last resort.
std::string NarrowSpelling(const std::wstring& wide) {
    const auto readsBackAs = [](const std::string& narrow, const std::wstring& target) {
        try {
            return std::filesystem::path(narrow).native() == target;
        } catch (const std::exception&) {
            return false;
        }
    };
    const auto spelled = [](const std::wstring& name) {
        try {
            return std::filesystem::path(name).string();
        } catch (const std::exception&) {
            return std::string();
        }
    };
    if (const std::string own = spelled(wide); readsBackAs(own, wide)) {
        return own;
    }
    const int length = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size > 0) {
        std::string ansi(static_cast<std::size_t>(size), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide.data(), length, ansi.data(), size, nullptr, nullptr);
        if (readsBackAs(ansi, wide)) {
            return ansi;
        }
    }
    std::wstring shortName(wide.size() + 1, L'\0');
    const DWORD n =
        GetShortPathNameW(wide.c_str(), shortName.data(), static_cast<DWORD>(shortName.size()));
    if (n > 0 && n < shortName.size()) {
        shortName.resize(n);
        if (const std::string name = spelled(shortName); readsBackAs(name, shortName)) {
            return name;
        }
    }
    throw EngineError("refusing the temporary folder " + spelled(wide) +
                      ": its name cannot be passed on as it is");
}

}  // namespace

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
    return NarrowSpelling(buffer);
}

Folder TempFolder(IoHook* hook) {
    return Folder::OpenPrivate(TempPath(hook), hook);
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
