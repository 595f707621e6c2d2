#include "rom/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include "rom/errors.h"
#include "rom/file_detail.h"
#include "rom/text.h"

namespace tflux {

namespace fs = std::filesystem;

namespace {

void AnnounceTo(IoHook* hook, IoOp op, const fs::path& path) {
    if (hook != nullptr) {
        hook->Before(op, path);
    }
}

int OpenFlags(OpenMode mode, Links links) {
    int flags = O_CLOEXEC | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not hang the open
    switch (mode) {
        case OpenMode::Read:
            flags |= O_RDONLY;
            break;
        case OpenMode::Write:
            flags |= O_WRONLY;
            break;
        case OpenMode::CreateExclusive:
            flags |= O_RDWR | O_CREAT | O_EXCL;
            break;
        case OpenMode::CreateOrOpen:
            flags |= O_WRONLY | O_CREAT;
            break;
        case OpenMode::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    if (links == Links::NoFollow) {
        flags |= O_NOFOLLOW;
    }
    return flags;
}

// A system call, asked again for as long as a signal interrupts it.
template <class Call>
auto Retried(const Call& call) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR) {
            return result;
        }
    }
}

}  // namespace

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      hook_(std::exchange(other.hook_, nullptr)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        hook_ = std::exchange(other.hook_, nullptr);
    }
    return *this;
}

File::~File() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

File File::Open(const fs::path& path, OpenMode mode, Links links, IoHook* hook) {
    const char* verb = BeginOpen(path, mode, hook);
    return Adopt(::open(path.c_str(), OpenFlags(mode, links), 0666), path, verb, links, hook);
}

File File::Adopt(int fd, const fs::path& path, const char* verb, Links links, IoHook* hook) {
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP && links == Links::NoFollow) {
            throw EngineError(
                std::string("cannot ") + verb + " " + PathText(path) + ": it is a symbolic link",
                verb, path, std::error_code(error, std::generic_category()));
        }
        throw SystemError(verb, path, error);
    }
    File file;
    file.fd_ = fd;
    file.path_ = path;
    file.hook_ = hook;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        file.Fail(verb);
    }
    if (!S_ISREG(st.st_mode)) {
        throw EngineError(std::string("cannot ") + verb + " " + PathText(path) +
                          ": not a regular file");
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        file.Fail(verb);
    }
    return file;
}

void File::Announce(IoOp op) const {
    AnnounceTo(hook_, op, path_);
}

void File::Fail(const char* what) const {
    throw SystemError(what, path_, errno);
}

std::uint64_t File::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Fail("examine");
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::ReadOnce(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    const ssize_t n = Retried(
        [&] { return ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset)); });
    if (n < 0) {
        Fail("read");
    }
    return static_cast<std::size_t>(n);
}

std::size_t File::WriteOnce(std::uint64_t offset, std::span<const std::uint8_t> data) {
    const ssize_t n = Retried(
        [&] { return ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset)); });
    if (n < 0) {
        Fail("write");
    }
    return static_cast<std::size_t>(n);
}

File::Stamp File::Examine() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Fail("examine");
    }
    const auto nanoseconds = [](const struct timespec& t) {
        return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    return {static_cast<std::uint64_t>(st.st_size), nanoseconds(st.st_mtim),
            nanoseconds(st.st_ctim)};
}

bool File::IsOwnedByUs() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Fail("examine");
    }
    return st.st_uid == ::geteuid();
}

void File::MakeExecutable() {
    Announce(IoOp::Permissions);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Fail("examine");
    }
    const mode_t mode = (st.st_mode & 07777) | ((st.st_mode & 0444) >> 2);
    if (::fchmod(fd_, mode) != 0) {
        Fail("make executable");
    }
}

void File::Sync() {
    Announce(IoOp::Sync);
    if (::fsync(fd_) != 0) {
        Fail("flush");
    }
}

void File::Close() {
    if (fd_ < 0) {
        return;
    }
    Announce(IoOp::Close);
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0 && errno != EINTR) {
        throw SystemError("close", path_, errno);
    }
}

namespace {

// flock's answers for a file system that has no locks at all, as opposed to one that could not
// take this lock now (ENOLCK: the system is out of lock records).
bool LocksUnsupported(int error) {
    return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL;
}

}  // namespace

namespace {

// The folder at `path` opened to be locked, `flags` added to the open's; both steps announced.
int OpenFolderToLock(const fs::path& path, int flags, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
    if (fd < 0) {
        throw SystemError("open folder", path, errno);
    }
    try {
        AnnounceTo(hook, IoOp::Lock, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    return fd;
}

// Waits for an exclusive lock on an open folder; takes ownership of the descriptor, which holds
// the lock until it is closed.
int LockFolder(int fd, const fs::path& path) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (LocksUnsupported(errno)) {
            break;  // a file system without locks: runs cannot take turns, but each still runs
        }
        const int error = errno;
        ::close(fd);
        throw SystemError("lock", path, error);
    }
    return fd;
}

}  // namespace

DirectoryLock::DirectoryLock(const fs::path& path, IoHook* hook) {
    fd_ = LockFolder(OpenFolderToLock(path, 0, hook), path);
}

// A descriptor of its own, so that the lock goes when this object does, not when the folder
// closes.
DirectoryLock::DirectoryLock(const Folder& folder) {
    AnnounceTo(folder.Hook(), IoOp::Lock, folder.Path());
    const int fd = ::openat(folder.native_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open folder", folder.Path(), errno);
    }
    fd_ = LockFolder(fd, folder.Path());
}

DirectoryLock::DirectoryLock(const fs::path& path, IfFree, IoHook* hook) {
    const int fd = OpenFolderToLock(path, O_NOFOLLOW, hook);
    struct stat st {};
    bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    // A file system without locks cannot tell a live holder from none: taken as held by one.
    while (ours && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            ours = false;
        }
    }
    if (ours) {
        fd_ = fd;
    } else {
        ::close(fd);
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
    }
}

bool DirectoryLock::Held() const {
    return fd_ >= 0;
}

void CopyPermissions(const fs::path& previous, const File& to) {
    AnnounceTo(to.Hook(), IoOp::Examine, previous);
    struct stat st {};
    struct stat created {};
    if (::stat(previous.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;  // nothing is replaced: the new file keeps the folder's defaults
        }
        throw SystemError("examine", previous, errno);
    }
    if (::fstat(to.Descriptor(), &created) != 0) {
        throw SystemError("examine", to.Path(), errno);
    }
    // What the umask let the new file have, and running it where reading it is allowed.
    const mode_t allowed = (created.st_mode & 0666) | ((created.st_mode & 0444) >> 2);
    const mode_t owner = (st.st_mode & 0700) >> 6;
    const mode_t mode = st.st_mode & allowed & (0700 | owner << 3 | owner);
    AnnounceTo(to.Hook(), IoOp::Permissions, to.Path());
    // A file system without permissions refuses them all; the copy changes nothing there.
    if (::fchmod(to.Descriptor(), mode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
        throw SystemError("set permissions of", to.Path(), errno);
    }
}

FileLock TryLockFile(const File& file) {
    AnnounceTo(file.Hook(), IoOp::Lock, file.Path());
    while (::flock(file.Descriptor(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EWOULDBLOCK) {
            return FileLock::InUse;
        }
        if (LocksUnsupported(errno)) {
            return FileLock::Unsupported;
        }
        throw SystemError("lock", file.Path(), errno);
    }
    return FileLock::Taken;
}

Folder::~Folder() {
    if (native_ >= 0) {
        ::close(native_);
    }
}

Folder Folder::Open(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, dir);
    Folder folder;
    folder.native_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.native_ < 0) {
        throw SystemError("open folder", dir, errno);
    }
    folder.path_ = dir;
    folder.hook_ = hook;
    return folder;
}

namespace {

EngineError RefusedTemporaryFolder(const fs::path& dir, const std::string& reason) {
    return EngineError("refusing the temporary folder " + PathText(dir) + ": " + reason);
}

// Only a folder of ours that nobody else may enter is used; anything planted in one that was
// ever open to others could be held open by them.
void CheckPrivate(const Folder& folder, const struct stat& st, bool created) {
    const auto fix = "; remove it, and the next run makes a private one";
    if (!S_ISDIR(st.st_mode)) {
        throw RefusedTemporaryFolder(folder.Path(), "it is not a folder");
    }
    if (st.st_uid != ::geteuid()) {
        throw RefusedTemporaryFolder(folder.Path(),
                                     std::string("it belongs to another user") + fix);
    }
    const mode_t mode = st.st_mode & 07777;
    if (mode == 0700) {
        return;
    }
    // One we just made has what the umask left of 0700: nobody else could have been in it.
    if (created && (mode & 07077) == 0) {
        AnnounceTo(folder.Hook(), IoOp::Permissions, folder.Path());
        if (::fchmod(folder.Descriptor(), 0700) != 0) {
            throw SystemError("set permissions of", folder.Path(), errno);
        }
        return;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    throw RefusedTemporaryFolder(folder.Path(),
                                 std::string("other users may use it (mode ") + octal + ")" + fix);
}

}  // namespace

Folder Folder::OpenPrivate(const fs::path& named, IoHook* hook) {
    // Without its closing separator, which would have lstat and O_NOFOLLOW follow a link.
    const fs::path dir = named.has_filename() ? named : named.parent_path();
    AnnounceTo(hook, IoOp::MakeFolder, dir);
    const bool created = ::mkdir(dir.c_str(), 0700) == 0;
    if (!created && errno != EEXIST) {
        throw SystemError("create folder", dir, errno);
    }
    AnnounceTo(hook, IoOp::Examine, dir);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        throw SystemError("examine", dir, errno);
    }
    if (S_ISLNK(st.st_mode)) {
        throw RefusedTemporaryFolder(dir, "it is a symbolic link");
    }
    if (!S_ISDIR(st.st_mode)) {
        throw RefusedTemporaryFolder(dir, "it is not a folder");
    }
    // Checked again on the opened folder, which every later step goes through, so that a swap
    // after lstat changes nothing.
    AnnounceTo(hook, IoOp::Open, dir);
    Folder folder;
    folder.native_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.native_ < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        throw RefusedTemporaryFolder(dir, "it was replaced while it was checked");
    }
    if (folder.native_ < 0) {
        throw SystemError("open folder", dir, errno);
    }
    folder.path_ = dir;
    folder.hook_ = hook;
    if (::fstat(folder.native_, &st) != 0) {
        throw SystemError("examine", dir, errno);
    }
    CheckPrivate(folder, st, created);
    return folder;
}

File Folder::OpenFile(const std::string& name, OpenMode mode) const {
    const fs::path path = PathOf(name);
    const char* verb = BeginOpen(path, mode, hook_);
    return File::Adopt(::openat(native_, name.c_str(), OpenFlags(mode, Links::NoFollow), 0666),
                       path, verb, Links::NoFollow, hook_);
}

void Folder::Remove(const std::string& name) const {
    AnnounceTo(hook_, IoOp::Remove, PathOf(name));
    if (::unlinkat(native_, name.c_str(), 0) != 0 && errno != ENOENT) {
        throw SystemError("remove", PathOf(name), errno);
    }
}

namespace {

// fstatat without following a link; false when nothing is at the name.
bool StatAt(const Folder& folder, int fd, const std::string& name, struct stat& st) {
    AnnounceTo(folder.Hook(), IoOp::Examine, folder.PathOf(name));
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return false;
    }
    throw SystemError("examine", folder.PathOf(name), errno);
}

}  // namespace

FileKind Folder::Examine(const std::string& name) const {
    struct stat st {};
    if (!StatAt(*this, native_, name, st)) {
        return FileKind::None;
    }
    if (S_ISREG(st.st_mode)) {
        return FileKind::Regular;
    }
    if (S_ISDIR(st.st_mode)) {
        return FileKind::Folder;
    }
    return S_ISLNK(st.st_mode) ? FileKind::Link : FileKind::Other;
}

std::uintmax_t Folder::LinkCount(const std::string& name) const {
    struct stat st {};
    return StatAt(*this, native_, name, st) ? static_cast<std::uintmax_t>(st.st_nlink) : 0;
}

bool Folder::Is(const fs::path& path) const {
    AnnounceTo(hook_, IoOp::Examine, path);
    struct stat at {};
    struct stat held {};
    if (::stat(path.c_str(), &at) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return false;
        }
        throw SystemError("examine", path, errno);
    }
    if (::fstat(native_, &held) != 0) {
        throw SystemError("examine", path_, errno);
    }
    return at.st_dev == held.st_dev && at.st_ino == held.st_ino;
}

void ExpectReplaceable(const fs::path& path, IoHook* hook) {
    File::Open(path, OpenMode::Write, Links::Follow, hook);
}

bool CanCreateFileIn(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Create, dir);
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::faccessat(AT_FDCWD, dir.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

void RemoveFile(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Remove, path);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw SystemError("remove", path, errno);
    }
}

void RenameFile(const fs::path& from, const fs::path& to, IoHook* hook) {
    AnnounceTo(hook, IoOp::Rename, to);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        throw SystemError("replace", to, errno);
    }
}

std::uint64_t CopyFileHead(const File& from, File& to, std::uint64_t size) {
    AnnounceTo(to.Hook(), IoOp::Copy, to.Path());
    std::uint64_t done = 0;
#if defined(__linux__)
    // In-kernel copy: no user-space buffer, and a reflink where the file system offers one.
    // A slice at a time, each slice's writeback started once it is in place: the disk writes
    // while the rest is copied, and the flush that follows has little left to wait for.
    constexpr std::uint64_t kSlice = 1 << 20;
    while (done < size) {
        loff_t in = static_cast<loff_t>(done);
        loff_t out = static_cast<loff_t>(done);
        const ssize_t n =
            ::copy_file_range(from.Descriptor(), &in, to.Descriptor(), &out,
                              static_cast<std::size_t>(std::min(kSlice, size - done)), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (done == 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
                break;  // fall back to the plain loop below
            }
            throw SystemError("copy into", to.Path(), errno);
        }
        if (n == 0)
            break;
        // Only a head start: whatever goes wrong here, the caller's Sync reports.
        ::sync_file_range(to.Descriptor(), static_cast<off_t>(done), n, SYNC_FILE_RANGE_WRITE);
        done += static_cast<std::uint64_t>(n);
    }
#endif
    return CopyRemainder(from, to, done, size);
}

void SyncDirectory(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Sync, dir);
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open folder", dir, errno);
    }
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0 && error != EINVAL) {
        throw SystemError("flush folder", dir, error);
    }
}

}  // namespace tflux
