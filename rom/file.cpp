#include "rom/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include "rom/errors.h"
#include "rom/file_detail.h"

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
    int fd = ::open(path.c_str(), OpenFlags(mode, links), 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP && links == Links::NoFollow) {
            throw EngineError(
                std::string("cannot ") + verb + " " + path.string() + ": it is a symbolic link",
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
        throw EngineError(std::string("cannot ") + verb + " " + path.string() +
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
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            Fail("read");
        }
    }
}

std::size_t File::WriteOnce(std::uint64_t offset, std::span<const std::uint8_t> data) {
    for (;;) {
        const ssize_t n = ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset));
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno != EINTR) {
            Fail("write");
        }
    }
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

DirectoryLock::DirectoryLock(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throw SystemError("open folder", path, errno);
    }
    try {
        AnnounceTo(hook, IoOp::Lock, path);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (LocksUnsupported(errno)) {
            break;  // a file system without locks: runs cannot take turns, but each still runs
        }
        const int error = errno;
        ::close(fd_);
        throw SystemError("lock", path, error);
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
    }
}

void CopyPermissions(const fs::path& previous, const File& to) {
    AnnounceTo(to.Hook(), IoOp::Examine, previous);
    struct stat st {};
    if (::stat(previous.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return;  // nothing is replaced: the new file keeps the folder's defaults
        }
        throw SystemError("examine", previous, errno);
    }
    AnnounceTo(to.Hook(), IoOp::Permissions, to.Path());
    // A file system without permissions refuses them all; the copy changes nothing there.
    if (::fchmod(to.Descriptor(), st.st_mode & 07777) != 0 && errno != EPERM &&
        errno != EOPNOTSUPP) {
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

void EnsureTemporaryFolder(const fs::path& dir, IoHook* hook) {
    const auto refuse = [&dir](const char* reason) {
        return EngineError("refusing the temporary folder " + dir.string() + ": " + reason);
    };
    AnnounceTo(hook, IoOp::MakeFolder, dir);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw SystemError("create folder", dir, errno);
    }
    AnnounceTo(hook, IoOp::Examine, dir);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        throw SystemError("examine", dir, errno);
    }
    if (S_ISLNK(st.st_mode)) {
        throw refuse("it is a symbolic link");
    }
    if (!S_ISDIR(st.st_mode)) {
        throw refuse("it is not a folder");
    }
    // Checked again on the opened folder, so that a swap after lstat changes nothing.
    AnnounceTo(hook, IoOp::Open, dir);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open folder", dir, errno);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } const closer{fd};
    if (::fstat(fd, &st) != 0) {
        throw SystemError("examine", dir, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        throw refuse("it is not a folder");
    }
    if (st.st_uid != ::geteuid()) {
        throw refuse("it belongs to another user");
    }
    if ((st.st_mode & 0777) != 0700) {
        AnnounceTo(hook, IoOp::Permissions, dir);
        if (::fchmod(fd, 0700) != 0) {
            throw SystemError("restrict access to", dir, errno);
        }
    }
}

bool CanCreateFileIn(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::Create, dir);
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
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

void CopyFileContents(const File& from, File& to) {
    AnnounceTo(to.Hook(), IoOp::Copy, to.Path());
    const std::uint64_t size = from.Size();
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
    CopyRemainder(from, to, done, size);
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
