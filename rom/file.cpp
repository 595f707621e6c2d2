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
    const bool creates = mode == OpenMode::CreateExclusive || mode == OpenMode::CreateOrOpen;
    const char* verb = creates ? "create" : "open";
    AnnounceTo(hook, creates ? IoOp::Create : IoOp::Open, path);
    if (path.empty()) {
        throw EngineError(std::string("cannot ") + verb + " a file without a name");
    }
    int fd = ::open(path.c_str(), OpenFlags(mode, links), 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP && links == Links::NoFollow) {
            throw EngineError(std::string("cannot ") + verb + " " + path.string() +
                              ": it is a symbolic link");
        }
        throw EngineError(DescribeFailure(verb, path, error));
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
    throw EngineError(DescribeFailure(what, path_, errno));
}

std::uint64_t File::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Fail("examine");
    }
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::ReadSome(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    Announce(IoOp::Read);
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("read");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void File::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
    Announce(IoOp::Write);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("write");
        }
        done += static_cast<std::size_t>(n);
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
        throw EngineError(DescribeFailure("close", path_, errno));
    }
}

DirectoryLock::DirectoryLock(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Open, path);
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) {
        throw EngineError(DescribeFailure("open folder", path, errno));
    }
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) {
            break;  // a file system without locks: runs cannot take turns, but each still runs
        }
        if (errno != EINTR) {
            const int error = errno;
            ::close(fd_);
            throw EngineError(DescribeFailure("lock", path, error));
        }
    }
}

DirectoryLock::~DirectoryLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
    }
}

void CopyPermissions(const fs::path& previous, const File& to) {
    struct stat st {};
    if (::stat(previous.c_str(), &st) == 0) {
        ::fchmod(to.Descriptor(), st.st_mode & 07777);
    }
}

FileLock TryLockFile(const File& file) {
    if (::flock(file.Descriptor(), LOCK_EX | LOCK_NB) == 0) {
        return FileLock::Taken;
    }
    return errno == EWOULDBLOCK ? FileLock::InUse : FileLock::Unsupported;
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
        throw EngineError(DescribeFailure("remove", path, errno));
    }
}

void RenameFile(const fs::path& from, const fs::path& to, IoHook* hook) {
    AnnounceTo(hook, IoOp::Rename, to);
    if (::rename(from.c_str(), to.c_str()) != 0) {
        throw EngineError(DescribeFailure("replace", to, errno));
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
            throw EngineError(DescribeFailure("copy into", to.Path(), errno));
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
        throw EngineError(DescribeFailure("open folder", dir, errno));
    }
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0 && error != EINVAL) {
        throw EngineError(DescribeFailure("flush folder", dir, error));
    }
}

}  // namespace tflux
