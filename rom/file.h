#pragma once

// The engine's only way to touch the file system: files, folders, links, locks and permissions.
// Every handle is an RAII object, and every operation reports failure as an EngineError naming
// the operation, the file and the system's reason.
//
// IoHook is the seam for fault tests: each operation announces itself to the hook first, and
// a hook that throws makes that operation fail exactly as the system call would.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rom/errors.h"

namespace tflux {

enum class IoOp {
    Open,
    Create,
    Read,
    Write,
    Sync,
    Close,
    Remove,
    Rename,
    Copy,
    Examine,  // what is at a path: its kind, its identity, where its links lead
    List,     // the names in a folder
    MakeFolder,
    Permissions,  // reading or setting a file's access rights
    Lock,
};

const char* IoOpName(IoOp op);

class IoHook {
  public:
    virtual ~IoHook() = default;
    // Called before the operation; throw EngineError to make it fail. Image hashing reads on two
    // threads at once, so a hook may be called from both.
    virtual void Before(IoOp op, const std::filesystem::path& path) = 0;
};

enum class OpenMode {
    Read,             // existing regular file, read only
    Write,            // existing file, write only, never truncated
    CreateExclusive,  // new file, read and write; fails when anything exists at the path
    CreateOrOpen,     // create, or open an existing file without truncating it
    ReadWrite,        // existing file, read and write, never truncated (in-place updates)
};

// Temporary-directory files are opened without following links, so a planted link cannot
// redirect a write; user-chosen paths may be links.
enum class Links { Follow, NoFollow };

class File {
  public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    ~File();

    // Regular files only: a directory, a FIFO or a device is refused without blocking.
    static File Open(const std::filesystem::path& path, OpenMode mode, Links links = Links::Follow,
                     IoHook* hook = nullptr);

#ifdef _WIN32
    bool IsOpen() const {
        return handle_ != nullptr;
    }
    void* Handle() const {
        return handle_;
    }  // the Win32 HANDLE
#else
    bool IsOpen() const {
        return fd_ >= 0;
    }
    int Descriptor() const {
        return fd_;
    }
#endif
    const std::filesystem::path& Path() const {
        return path_;
    }
    IoHook* Hook() const {
        return hook_;
    }

    std::uint64_t Size() const;
    // Reads exactly buffer.size() bytes at offset; a short read is an error.
    void ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    // Reads up to buffer.size() bytes at offset; returns how many there were.
    std::size_t ReadSome(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data);
    void Sync();
    // Whether the file belongs to the user this program runs as; always true on Windows, where
    // a file's owner is not what decides who may remove it.
    bool IsOwnedByUs() const;
    // Lets whoever may read the file run it too (a no-op where files carry no such right).
    void MakeExecutable();
    // Closes and reports a failed close (which can carry a deferred write error).
    void Close();

    // The size and the times of the last change, to tell whether the file changed meanwhile.
    // `changed` is the status change time, which nobody can set back, as `modified` can be.
    struct Stamp {
        std::uint64_t size = 0;
        std::int64_t modified = 0;  // in the system's own units
        std::int64_t changed = 0;
        bool operator==(const Stamp&) const = default;
    };
    Stamp Examine() const;
    // Fails ("the input changed while it was read") unless the file is still as `read` and the
    // reader got all it asked for: for a reader that checked the file, then read it.
    void ExpectUnchanged(const Stamp& read, bool gotAll = true) const;

  private:
    friend class Folder;
    // One read or write as the system does it: as much as it takes, EINTR retried; 0 at the
    // end of the file (a read) or when it takes nothing (a write).
    std::size_t ReadOnce(std::uint64_t offset, std::span<std::uint8_t> buffer) const;
    std::size_t WriteOnce(std::uint64_t offset, std::span<const std::uint8_t> data);
    void Announce(IoOp op) const;
    [[noreturn]] void Fail(const char* what) const;
#ifndef _WIN32
    // Takes over a descriptor just opened (or the failure to open one, fd < 0, with errno).
    static File Adopt(int fd, const std::filesystem::path& path, const char* verb, Links links,
                      IoHook* hook);
#endif

#ifdef _WIN32
    void* handle_ = nullptr;  // never INVALID_HANDLE_VALUE
#else
    int fd_ = -1;
#endif
    std::filesystem::path path_;
    IoHook* hook_ = nullptr;
};

enum class FileKind { None, Regular, Folder, Link, Other };

// An open folder, and the files in it reached through that handle: once the folder is open,
// whatever is put at its path (another folder, a link) changes nothing done here. On Windows the
// folder is held open without the right to be renamed or removed, so the names under its path
// reach the folder that was checked.
class Folder {
  public:
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    ~Folder();

    // An existing folder, links in its path followed.
    static Folder Open(const std::filesystem::path& dir, IoHook* hook = nullptr);
    // The private temporary folder: created when missing, and refused ("refusing the temporary
    // folder ...: it is a symbolic link") when it is a link, not a folder, another user's, or
    // open to anyone else.
    static Folder OpenPrivate(const std::filesystem::path& dir, IoHook* hook = nullptr);

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path PathOf(const std::string& name) const;
    IoHook* Hook() const { return hook_; }
#ifndef _WIN32
    int Descriptor() const {
        return native_;
    }
#endif

    // A file directly in the folder, never through a link.
    File OpenFile(const std::string& name, OpenMode mode) const;
    // A name that is not there is not an error.
    void Remove(const std::string& name) const;
    // What is at the name, links not followed.
    FileKind Examine(const std::string& name) const;
    std::uintmax_t LinkCount(const std::string& name) const;
    // Whether `path`, links followed, is this folder.
    bool Is(const std::filesystem::path& path) const;

  private:
    friend class DirectoryLock;
#ifdef _WIN32
    using Native = void*;
    static constexpr Native kClosed = nullptr;
#else
    using Native = int;
    static constexpr Native kClosed = -1;
#endif
    Native native_ = kClosed;
    std::filesystem::path path_;
    IoHook* hook_ = nullptr;
};

// Holds an exclusive lock on a directory while it lives, so that two patches sharing one
// temporary directory take turns instead of overwriting each other's extracted files.
class DirectoryLock {
  public:
    explicit DirectoryLock(const std::filesystem::path& path, IoHook* hook = nullptr);
    explicit DirectoryLock(const Folder& folder);
    // Without waiting, and only a folder of ours: Held() tells whether the lock was taken.
    struct IfFree {};
    DirectoryLock(const std::filesystem::path& path, IfFree, IoHook* hook = nullptr);
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock();
    bool Held() const;

  private:
#ifdef _WIN32
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// Gives `to` the permissions of the file at `previous`, when there is one, so that a replaced
// file keeps them: the access rights only (never set-user-ID, set-group-ID or sticky), no more
// than `to` was created with allows (the user's umask), and nobody more than the owner had. A
// file system without permissions changes nothing.
void CopyPermissions(const std::filesystem::path& previous, const File& to);

enum class FileLock { Taken, InUse, Unsupported };
// Takes an exclusive lock on an open file without waiting; it is held until the handle closes.
// InUse when another handle holds one, Unsupported when the file system has no locks; any
// other failure throws.
FileLock TryLockFile(const File& file);

// What is at `path` (with Links::NoFollow, a link is reported as one). None when nothing is,
// and then `missing`, when given, says why (no such file, or a part of the path is a file); a
// path that cannot be looked at (a name too long, a loop of links) throws.
FileKind Examine(const std::filesystem::path& path, Links links = Links::Follow,
                 IoHook* hook = nullptr, std::error_code* missing = nullptr);
// How many names the file at `path` has; 0 when there is nothing there.
std::uintmax_t LinkCount(const std::filesystem::path& path, IoHook* hook = nullptr);
// Whether two paths name one file; false when either is missing.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b,
              IoHook* hook = nullptr);
// The path with every link in it followed, as far as the path exists.
std::filesystem::path ResolveLinks(const std::filesystem::path& path, IoHook* hook = nullptr);
// The entries of a folder, in no particular order.
std::vector<std::filesystem::path> ListFolder(const std::filesystem::path& dir,
                                              IoHook* hook = nullptr);
// Folder::OpenPrivate, for a caller that does not keep the folder open.
void EnsureTemporaryFolder(const std::filesystem::path& dir, IoHook* hook = nullptr);

// The device Windows takes a file named `name` for in any folder (CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, in any case, with any extension and the spaces and dots the system
// drops), in upper case; "" when `name` names a file. Windows alone reserves these names, but
// the rule is the same on every system.
std::string DeviceNamed(std::string_view name);

// Fails as opening the file at `path` for writing would, unless that file may be replaced. On
// Windows a read-only one may, when its attributes may be changed: RenameFile carries the
// attribute over to the file that replaces it.
void ExpectReplaceable(const std::filesystem::path& path, IoHook* hook = nullptr);

// Whether a new file may be created in `dir` (an existing folder that may be written and listed:
// the replacement looks there for the files of killed runs first).
bool CanCreateFileIn(const std::filesystem::path& dir, IoHook* hook = nullptr);

// Removes a file; a path that does not exist is not an error.
void RemoveFile(const std::filesystem::path& path, IoHook* hook = nullptr);
// Atomically replaces `to` with `from` (same directory). On Windows, a read-only `to` leaves
// `from` read-only in its place, and stays as it was when the rename fails.
void RenameFile(const std::filesystem::path& from, const std::filesystem::path& to,
                IoHook* hook = nullptr);
// Copies the whole of `from` into `to` (both open) with the system's in-kernel copy where it
// has one.
void CopyFileContents(const File& from, File& to);
// Copies the first `size` bytes of `from` into `to`; returns how many there were, fewer when
// the file ends sooner.
std::uint64_t CopyFileHead(const File& from, File& to, std::uint64_t size);
// Flushes a directory's entries (after a rename) so the new name survives a crash.
void SyncDirectory(const std::filesystem::path& dir, IoHook* hook = nullptr);

// Replaces the file at `path` whole (see FileReplacement): a failure leaves whatever was there,
// and no half-written file.
void WriteFileWhole(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    IoHook* hook = nullptr);

// Builds a folder whole: `fill` writes into a new folder beside `target`, which is then renamed
// into place. `target` must be absent or an empty folder (the folders above it are made when
// missing); a failure of `fill` or of the rename removes the new folder and leaves `target` as
// it was, so that nobody finds it half made.
void WriteFolderWhole(const std::filesystem::path& target,
                      const std::function<void(const std::filesystem::path&)>& fill,
                      IoHook* hook = nullptr);

// Writes a new file whole; fails when anything is already at the path.
void WriteNewFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

// Creates a folder and the folders above it that are missing.
void CreateDirectories(const std::filesystem::path& dir, IoHook* hook = nullptr);

// Whether anything, a dangling link included, is at the path.
bool PathExists(const std::filesystem::path& path, IoHook* hook = nullptr);

// Reads a whole regular file of at most maxBytes; one that changes while it is read fails.
std::string ReadWholeFile(const std::filesystem::path& path, std::size_t maxBytes,
                          IoHook* hook = nullptr);

// "cannot <what> <path>: <reason>"
std::string DescribeFailure(const char* what, const std::filesystem::path& path, int error);
#ifdef _WIN32
// The same for a Win32 error code (GetLastError()), with the system's text for it.
std::string DescribeWin32Failure(const char* what, const std::filesystem::path& path,
                                 unsigned long error);
// An EngineError for a failed Win32 call, carrying its code.
EngineError Win32Error(const char* what, const std::filesystem::path& path, unsigned long error);
#endif

}  // namespace tflux
