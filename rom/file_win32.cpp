// The file layer on Win32. Paths arrive as std::filesystem::path and reach the system as UTF-16,
// so every name the user can type is reachable.

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <utility>
#include <vector>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/file_detail.h"
#include "rom/text.h"

namespace tflux {

namespace fs = std::filesystem;

namespace {

// The system's own text for a Win32 error, in UTF-8, without the closing period and line break.
std::string SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n > 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L'.' || message.back() == L' ')) {
        message.pop_back();
    }
    if (message.empty()) {
        return "error " + std::to_string(error);
    }
    return Utf8FromWide(message);
}

[[noreturn]] void ThrowLastError(const char* what, const fs::path& path) {
    throw Win32Error(what, path, GetLastError());
}

void AnnounceTo(IoHook* hook, IoOp op, const fs::path& path) {
    if (hook != nullptr) {
        hook->Before(op, path);
    }
}

HANDLE AsHandle(void* handle) {
    return static_cast<HANDLE>(handle);
}

// The attributes a replaced file passes on to the file that replaces it; read-only only once the
// new file is written.
constexpr DWORD kPassedOn =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// ReadFile and WriteFile take a DWORD count.
constexpr std::size_t kMaxTransfer = 1u << 30;

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return overlapped;
}

bool IsLink(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return false;
    }
    return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           IsReparseTagNameSurrogate(info.ReparseTag);
}

}  // namespace

std::string DescribeWin32Failure(const char* what, const fs::path& path, unsigned long error) {
    return std::string("cannot ") + what + " " + PathText(path) + ": " + SystemMessage(error);
}

EngineError Win32Error(const char* what, const fs::path& path, unsigned long error) {
    return EngineError(DescribeWin32Failure(what, path, error), what, path,
                       std::error_code(static_cast<int>(error), std::system_category()));
}

File::File(File&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      hook_(std::exchange(other.hook_, nullptr)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (handle_ != nullptr) {
            CloseHandle(AsHandle(handle_));
        }
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        hook_ = std::exchange(other.hook_, nullptr);
    }
    return *this;
}

File::~File() {
    if (handle_ != nullptr) {
        CloseHandle(AsHandle(handle_));
    }
}

File File::Open(const fs::path& path, OpenMode mode, Links links, IoHook* hook) {
    const char* verb = BeginOpen(path, mode, hook);
    // A device opens like a file and may wait for whatever is at its other end: a name the system
    // keeps for one is not opened at all.
    if (const std::string device = DeviceNamed(PathText(path.filename())); !device.empty()) {
        throw EngineError(std::string("cannot ") + verb + " " + PathText(path) +
                          ": not a regular file but the device " + device);
    }
    DWORD access = 0;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case OpenMode::Read:
            access = GENERIC_READ;
            break;
        case OpenMode::Write:
            access = GENERIC_WRITE;
            break;
        case OpenMode::CreateExclusive:
            access = GENERIC_READ | GENERIC_WRITE;
            disposition = CREATE_NEW;
            break;
        case OpenMode::CreateOrOpen:
            access = GENERIC_WRITE;
            disposition = OPEN_ALWAYS;
            break;
        case OpenMode::ReadWrite:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
    }
    // Full sharing, as on POSIX: an open file can still be read, renamed over and removed
    // by others, which is what lets the finished output replace a file someone has open.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (links == Links::NoFollow) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            throw EngineError(std::string("cannot ") + verb + " " + PathText(path) +
                              ": not a regular file");
        }
        throw Win32Error(verb, path, error);
    }
    File file;
    file.handle_ = handle;
    file.path_ = path;
    file.hook_ = hook;
    if (links == Links::NoFollow && IsLink(handle)) {
        throw EngineError(std::string("cannot ") + verb + " " + PathText(path) +
                          ": it is a symbolic link");
    }
    // Devices, consoles and pipes open like files here; only a file on a disk is one.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        throw EngineError(std::string("cannot ") + verb + " " + PathText(path) +
                          ": not a regular file");
    }
    return file;
}

void File::Announce(IoOp op) const {
    AnnounceTo(hook_, op, path_);
}

void File::Fail(const char* what) const {
    ThrowLastError(what, path_);
}

std::uint64_t File::Size() const {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(AsHandle(handle_), &size)) {
        Fail("examine");
    }
    return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t File::ReadOnce(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min(buffer.size(), kMaxTransfer));
    if (!ReadFile(AsHandle(handle_), buffer.data(), want, &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) {
            return 0;
        }
        Fail("read");
    }
    return got;
}

std::size_t File::WriteOnce(std::uint64_t offset, std::span<const std::uint8_t> data) {
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    const auto want = static_cast<DWORD>(std::min(data.size(), kMaxTransfer));
    if (!WriteFile(AsHandle(handle_), data.data(), want, &put, &at)) {
        Fail("write");
    }
    return put;
}

bool File::IsOwnedByUs() const {
    return true;
}

// Windows runs a file by its name, not by a right the file carries.
void File::MakeExecutable() {
    Announce(IoOp::Permissions);
}

void File::Sync() {
    Announce(IoOp::Sync);
    if (!FlushFileBuffers(AsHandle(handle_))) {
        Fail("flush");
    }
}

void File::Close() {
    if (handle_ == nullptr) {
        return;
    }
    Announce(IoOp::Close);
    if (!CloseHandle(AsHandle(std::exchange(handle_, nullptr)))) {
        Fail("close");
    }
}

// Windows cannot lock a folder itself, and a lock file would be left in the folder. A named
// mutex keyed by the folder's full path serialises the patches of this session instead, and is
// released by the system when its holder dies.
namespace {

// The mutex that stands for the lock on the folder at `path`, its opening and locking announced
// as a folder's would be.
HANDLE FolderMutex(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, path);
    AnnounceTo(hook, IoOp::Lock, path);
    std::error_code ec;
    std::wstring key = fs::absolute(path, ec).lexically_normal().wstring();
    if (ec) {
        key = path.wstring();
    }
    while (!key.empty() && (key.back() == L'\\' || key.back() == L'/')) {
        key.pop_back();
    }
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the case-folded path
    for (wchar_t c : key) {
        hash = (hash ^ static_cast<std::uint64_t>(towlower(c))) * 1099511628211ull;
    }
    wchar_t name[64];
    swprintf(name, sizeof name / sizeof name[0], L"Local\\tflux-krn-%016llx",
             static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) {
        ThrowLastError("lock", path);
    }
    return mutex;
}

}  // namespace

DirectoryLock::DirectoryLock(const fs::path& path, IoHook* hook) {
    HANDLE mutex = FolderMutex(path, hook);
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    // An abandoned mutex is ours all the same: its holder died, and the files it left are
    // rewritten from the start.
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        const DWORD error = GetLastError();
        CloseHandle(mutex);
        throw Win32Error("lock", path, error);
    }
    mutex_ = mutex;
}

// The folders of this session's user are the only ones a named mutex of the session reaches.
DirectoryLock::DirectoryLock(const fs::path& path, IfFree, IoHook* hook) {
    HANDLE mutex = FolderMutex(path, hook);
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        mutex_ = mutex;
    } else {
        CloseHandle(mutex);
    }
}

DirectoryLock::~DirectoryLock() {
    if (mutex_ != nullptr) {
        ReleaseMutex(AsHandle(mutex_));
        CloseHandle(AsHandle(mutex_));
    }
}

bool DirectoryLock::Held() const {
    return mutex_ != nullptr;
}

// Access rights come from the folder a new file is created in, as the output's did; what a
// replaced output can pass on is its attributes (hidden, say). Read-only is passed on by the
// rename, since the new file is written after this.
void CopyPermissions(const fs::path& previous, const File& to) {
    AnnounceTo(to.Hook(), IoOp::Examine, previous);
    const DWORD attributes = GetFileAttributesW(previous.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    AnnounceTo(to.Hook(), IoOp::Permissions, to.Path());
    const DWORD kept = attributes & kPassedOn;
    if (kept != 0) {
        FILE_BASIC_INFO info{};  // zero times: left as they are
        info.FileAttributes = kept;
        SetFileInformationByHandle(AsHandle(to.Handle()), FileBasicInfo, &info, sizeof info);
    }
}

// Windows locks byte ranges, and a locked range cannot be read or written through any other
// handle: the lock is taken on a byte far past any end a file can have, so it marks the file
// without getting in the way of its data.
FileLock TryLockFile(const File& file) {
    AnnounceTo(file.Hook(), IoOp::Lock, file.Path());
    OVERLAPPED at = At(0xFFFFFFFFFFFFFFFEull);
    if (LockFileEx(AsHandle(file.Handle()), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   1, 0, &at)) {
        return FileLock::Taken;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return FileLock::InUse;
    }
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION) {
        return FileLock::Unsupported;
    }
    throw Win32Error("lock", file.Path(), error);
}

Folder::~Folder() {
    if (native_ != nullptr) {
        CloseHandle(AsHandle(native_));
    }
}

// Held without FILE_SHARE_DELETE: while it is open the folder cannot be renamed, removed or
// replaced, so the operations below, which go by full path, reach the folder that was opened.
Folder Folder::Open(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, dir);
    const fs::path folderPath = dir.empty() ? fs::path(".") : dir;
    HANDLE handle =
        CreateFileW(folderPath.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("open folder", dir);
    }
    Folder folder;
    folder.native_ = handle;
    folder.path_ = dir;
    folder.hook_ = hook;
    return folder;
}

// Windows already keeps the user's own temporary folder private to that user.
Folder Folder::OpenPrivate(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::MakeFolder, dir);
    if (!CreateDirectoryW(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        ThrowLastError("create folder", dir);
    }
    return Open(dir, hook);
}

File Folder::OpenFile(const std::string& name, OpenMode mode) const {
    return File::Open(PathOf(name), mode, Links::NoFollow, hook_);
}

void Folder::Remove(const std::string& name) const {
    RemoveFile(PathOf(name), hook_);
}

FileKind Folder::Examine(const std::string& name) const {
    return tflux::Examine(PathOf(name), Links::NoFollow, hook_);
}

std::uintmax_t Folder::LinkCount(const std::string& name) const {
    return tflux::LinkCount(PathOf(name), hook_);
}

bool Folder::Is(const fs::path& path) const {
    return SameFile(path, path_, hook_);
}

DirectoryLock::DirectoryLock(const Folder& folder) : DirectoryLock(folder.Path(), folder.Hook()) {}

File::Stamp File::Examine() const {
    FILE_BASIC_INFO times{};
    if (!GetFileInformationByHandleEx(AsHandle(handle_), FileBasicInfo, &times, sizeof times)) {
        Fail("examine");
    }
    return {Size(), times.LastWriteTime.QuadPart, times.ChangeTime.QuadPart};
}

bool CanCreateFileIn(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Create, dir);
    const fs::path folder = dir.empty() ? fs::path(".") : dir;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // Asking for the right to add a file is the access check itself; nothing is created.
    HANDLE handle = CreateFileW(folder.c_str(), FILE_ADD_FILE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

void RemoveFile(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Remove, path);
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            throw Win32Error("remove", path, error);
        }
    }
}

namespace {

bool IsReadOnlyFile(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// While it lives, the read-only attribute is on `from` and off `to`, so that `from` may be renamed
// over `to` and be read-only there; unless kept, both get their attributes back.
class ReadOnlyHandOver {
  public:
    ReadOnlyHandOver(const fs::path& from, const fs::path& to, DWORD target, IoHook* hook)
        : from_(from), to_(to), target_(target), source_(GetFileAttributesW(from.c_str())) {
        AnnounceTo(hook, IoOp::Permissions, from);
        if (source_ == INVALID_FILE_ATTRIBUTES ||
            !SetFileAttributesW(from.c_str(), (target & kPassedOn) | FILE_ATTRIBUTE_READONLY)) {
            ThrowLastError("set permissions of", from);
        }
        try {
            AnnounceTo(hook, IoOp::Permissions, to);
            if (!SetFileAttributesW(to.c_str(), target & ~FILE_ATTRIBUTE_READONLY)) {
                ThrowLastError("set permissions of", to);
            }
        } catch (...) {
            SetFileAttributesW(from.c_str(), source_);
            throw;
        }
        armed_ = true;
    }
    ReadOnlyHandOver(const ReadOnlyHandOver&) = delete;
    ReadOnlyHandOver& operator=(const ReadOnlyHandOver&) = delete;
    ~ReadOnlyHandOver() {
        if (armed_) {
            SetFileAttributesW(to_.c_str(), target_);
            SetFileAttributesW(from_.c_str(), source_);
        }
    }
    void Keep() { armed_ = false; }

  private:
    fs::path from_;
    fs::path to_;
    DWORD target_;
    DWORD source_;
    bool armed_ = false;
};

}  // namespace

void RenameFile(const fs::path& from, const fs::path& to, IoHook* hook) {
    AnnounceTo(hook, IoOp::Rename, to);
    // Windows renames nothing over a read-only file, and the replaced file was read-only for a
    // reason: the new one takes the attribute over.
    const DWORD target = GetFileAttributesW(to.c_str());
    std::optional<ReadOnlyHandOver> handOver;
    if (IsReadOnlyFile(target)) {
        handOver.emplace(from, to, target, hook);
    }
    // Write-through: the call returns once the new name is on disk, which is what
    // SyncDirectory does after a rename elsewhere.
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ThrowLastError("replace", to);
    }
    if (handOver) {
        handOver->Keep();
    }
}

void ExpectReplaceable(const fs::path& path, IoHook* hook) {
    if (!IsReadOnlyFile(GetFileAttributesW(path.c_str()))) {
        File::Open(path, OpenMode::Write, Links::Follow, hook);
        return;
    }
    AnnounceTo(hook, IoOp::Permissions, path);
    // What the replacement needs of a read-only file: to take its attribute off.
    HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("open", path);
    }
    CloseHandle(handle);
}

bool IsVerbatim(const fs::path& path) {
    return path.native().starts_with(L"\\\\?\\");
}

fs::path ResolveVerbatim(const fs::path& path) {
    fs::path existing = path;
    fs::path missing;
    for (;;) {
        HANDLE handle =
            CreateFileW(existing.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            std::wstring resolved(MAX_PATH, L'\0');
            DWORD n = 0;
            for (int attempt = 0; attempt < 2; ++attempt) {
                n = GetFinalPathNameByHandleW(handle, resolved.data(),
                                              static_cast<DWORD>(resolved.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
                if (n < resolved.size()) {
                    break;
                }
                resolved.resize(n);
            }
            const DWORD error = GetLastError();
            CloseHandle(handle);
            if (n == 0 || n >= resolved.size()) {
                throw Win32Error("examine", path, error);
            }
            resolved.resize(n);
            return missing.empty() ? fs::path(resolved) : fs::path(resolved) / missing;
        }
        const DWORD error = GetLastError();
        fs::path parent = existing.parent_path();
        // A drive's root is named with its backslash: without it, the name is the volume's.
        if (!parent.empty() && parent.native().back() == L':') {
            parent += L"\\";
        }
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) || parent.empty() ||
            parent == existing) {
            throw Win32Error("examine", path, error);
        }
        missing = missing.empty() ? existing.filename() : existing.filename() / missing;
        existing = parent;
    }
}

// Both files are already open, so CopyFileExW, which wants names, does not apply.
std::uint64_t CopyFileHead(const File& from, File& to, std::uint64_t size) {
    AnnounceTo(to.Hook(), IoOp::Copy, to.Path());
    return CopyRemainder(from, to, 0, size);
}

// RenameFile already wrote the folder's entry through; Windows has no call to flush a folder.
void SyncDirectory(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Sync, dir);
}

}  // namespace tflux
