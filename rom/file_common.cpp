// The parts of the file layer that are the same on every system.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/file_detail.h"
#include "rom/replacement.h"
#include "rom/text.h"

namespace tflux {

namespace fs = std::filesystem;

const char* IoOpName(IoOp op) {
    switch (op) {
        case IoOp::Open:
            return "open";
        case IoOp::Create:
            return "create";
        case IoOp::Read:
            return "read";
        case IoOp::Write:
            return "write";
        case IoOp::Sync:
            return "flush";
        case IoOp::Close:
            return "close";
        case IoOp::Remove:
            return "remove";
        case IoOp::Rename:
            return "rename";
        case IoOp::Copy:
            return "copy";
        case IoOp::Examine:
            return "examine";
        case IoOp::List:
            return "list";
        case IoOp::MakeFolder:
            return "create folder";
        case IoOp::Permissions:
            return "set permissions of";
        case IoOp::Lock:
            return "lock";
    }
    return "use";
}

std::string DescribeFailure(const char* what, const fs::path& path, int error) {
    return std::string("cannot ") + what + " " + PathText(path) + ": " + std::strerror(error);
}

EngineError SystemError(const char* operation, const fs::path& path, int error) {
    return EngineError(DescribeFailure(operation, path, error), operation, path,
                       std::error_code(error, std::generic_category()));
}

namespace {

void AnnounceTo(IoHook* hook, IoOp op, const fs::path& path) {
    if (hook != nullptr) {
        hook->Before(op, path);
    }
}

EngineError FilesystemError(const char* operation, const fs::path& path, std::error_code ec) {
    return EngineError(
        "cannot " + std::string(operation) + " " + PathText(path) + ": " + ec.message(), operation,
        path, ec);
}

bool IsMissing(std::error_code ec) {
    return ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
}

}  // namespace

std::size_t File::ReadSome(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    Announce(IoOp::Read);
    std::size_t done = 0;
    while (done < buffer.size()) {
        const std::size_t n = ReadOnce(offset + done, buffer.subspan(done));
        if (n == 0) {
            break;  // the end of the file
        }
        done += n;
    }
    return done;
}

void File::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
    Announce(IoOp::Write);
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t n = WriteOnce(offset + done, data.subspan(done));
        // Nothing written and no error: asking again would only get the same answer.
        if (n == 0) {
            throw EngineError("cannot write " + PathText(path_) + ": the system wrote nothing",
                              "write", path_, std::make_error_code(std::errc::io_error));
        }
        done += n;
    }
}

void File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    const std::size_t got = ReadSome(offset, buffer);
    if (got != buffer.size()) {
        throw EngineError("cannot read " + PathText(path_) + ": the file ends at byte " +
                          Thousands(offset + got) + ", before the " + Thousands(buffer.size()) +
                          " bytes at offset " + std::to_string(offset));
    }
}

void File::ExpectUnchanged(const Stamp& read, bool gotAll) const {
    if (!gotAll || Examine() != read) {
        throw EngineError("the input changed while it was read", "read", path_,
                          std::make_error_code(std::errc::io_error));
    }
}

std::string ReadWholeFile(const fs::path& path, std::size_t maxBytes, IoHook* hook) {
    File file = File::Open(path, OpenMode::Read, Links::Follow, hook);
    const File::Stamp stamp = file.Examine();
    if (stamp.size > maxBytes) {
        throw EngineError("cannot read " + PathText(path) + ": larger than " + Thousands(maxBytes) +
                          " bytes");
    }
    std::string content(static_cast<std::size_t>(stamp.size), '\0');
    file.ReadAt(0, std::span(reinterpret_cast<std::uint8_t*>(content.data()), content.size()));
    // A file that grew or was rewritten meanwhile would be read as neither version.
    file.ExpectUnchanged(stamp);
    return content;
}

const char* BeginOpen(const fs::path& path, OpenMode mode, IoHook* hook) {
    const bool creates = mode == OpenMode::CreateExclusive || mode == OpenMode::CreateOrOpen;
    const char* verb = creates ? "create" : "open";
    AnnounceTo(hook, creates ? IoOp::Create : IoOp::Open, path);
    if (path.empty()) {
        throw EngineError(std::string("cannot ") + verb + " a file without a name");
    }
    return verb;
}

std::uint64_t CopyRemainder(const File& from, File& to, std::uint64_t done, std::uint64_t size) {
    // The buffer is only needed when there is something left to copy.
    std::vector<std::uint8_t> chunk(done < size ? 1 << 20 : 0);
    while (done < size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
        const std::size_t got = from.ReadSome(done, std::span(chunk).first(want));
        if (got == 0)
            break;
        to.WriteAt(done, std::span(chunk).first(got));
        done += got;
    }
    return done;
}

void CopyFileContents(const File& from, File& to) {
    const std::uint64_t size = from.Size();
    if (CopyFileHead(from, to, size) != size) {
        throw EngineError("cannot copy " + PathText(from.Path()) + ": it shrank while being read");
    }
}

void EnsureTemporaryFolder(const fs::path& dir, IoHook* hook) {
    Folder::OpenPrivate(dir, hook);
}

void WriteFileWhole(const fs::path& path, std::span<const std::uint8_t> bytes, IoHook* hook) {
    // Whatever an earlier, killed write left beside the file goes first.
    const fs::path keep[] = {path};
    RemoveAbandonedReplacements(FolderOf(path), keep, hook);
    FileReplacement replacement(path, hook);
    replacement.file().WriteAt(0, bytes);
    replacement.file().Sync();
    replacement.file().Close();
    if (std::optional<EngineError> unflushed = replacement.Commit()) {
        throw *unflushed;
    }
}

namespace {

// A work folder's name: the target's after a prefix, so that a user who finds one left by a
// killed run knows what it was, then this many lowercase hex digits.
std::string WorkFolderPrefix(const fs::path& target) {
    return ".tflux-krn-" + PathText(target.filename()) + "-";
}
constexpr int kWorkFolderDigits = 8;

// A new folder beside `target`, named after it.
fs::path MakeFolderBeside(const fs::path& target, IoHook* hook) {
    std::random_device entropy;
    for (int attempt = 0;; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%0*x", kWorkFolderDigits,
                      static_cast<unsigned>(entropy()));
        const fs::path work =
            target.parent_path() / PathFromText(WorkFolderPrefix(target) + suffix);
        AnnounceTo(hook, IoOp::MakeFolder, work);
        std::error_code ec;
        if (fs::create_directory(work, ec)) {
            return work;
        }
        if (ec || attempt == 8) {
            throw EngineError("cannot create a folder beside " + PathText(target) + ": " +
                                  (ec ? ec.message() : "every name tried is taken"),
                              "create folder", work, ec);
        }
    }
}

// The work folders killed runs left beside `target`: named as MakeFolderBeside names them, and
// held by no live run. One that cannot be looked at or removed is left as it is.
void RemoveAbandonedFolders(const fs::path& target, IoHook* hook) {
    const std::string prefix = WorkFolderPrefix(target);
    for (const fs::path& entry : ListFolder(FolderOf(target), hook)) {
        const std::string name = PathText(entry.filename());
        if (name.size() != prefix.size() + kWorkFolderDigits || !name.starts_with(prefix) ||
            name.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos) {
            continue;
        }
        try {
            if (Examine(entry, Links::NoFollow, hook) != FileKind::Folder) {
                continue;
            }
            const DirectoryLock lock(entry, DirectoryLock::IfFree{}, hook);
            if (lock.Held()) {
                AnnounceTo(hook, IoOp::Remove, entry);
                std::error_code ignored;
                fs::remove_all(entry, ignored);
            }
        } catch (const EngineError&) {
        }
    }
}

// Puts on disk what `fill` wrote into `dir`, files and folders below it included: the rename
// into place must not come before the data it makes visible.
void FlushFolder(const fs::path& dir, IoHook* hook) {
    for (const fs::path& entry : ListFolder(dir, hook)) {
        switch (Examine(entry, Links::NoFollow, hook)) {
            case FileKind::Folder:
                FlushFolder(entry, hook);
                break;
            case FileKind::Regular: {
#ifdef _WIN32
                constexpr OpenMode kFlushable = OpenMode::Write;  // FlushFileBuffers needs it
#else
                constexpr OpenMode kFlushable = OpenMode::Read;
#endif
                File file = File::Open(entry, kFlushable, Links::NoFollow, hook);
                file.Sync();
                file.Close();
                break;
            }
            default:
                break;
        }
    }
    SyncDirectory(dir, hook);
}

}  // namespace

void WriteFolderWhole(const fs::path& requested, const std::function<void(const fs::path&)>& fill,
                      IoHook* hook) {
    const fs::path target = requested.has_filename() ? requested : requested.parent_path();
    if (!target.parent_path().empty()) {
        CreateDirectories(target.parent_path(), hook);
    }
    RemoveAbandonedFolders(target, hook);
    const fs::path work = MakeFolderBeside(target, hook);
    try {
        // Held until the folder is in place, so that no other run takes it for abandoned.
        const DirectoryLock held(work, hook);
        fill(work);
        FlushFolder(work, hook);
#ifdef _WIN32
        // Windows renames onto no existing folder, not even an empty one.
        std::error_code ignored;
        fs::remove(target, ignored);
#endif
        AnnounceTo(hook, IoOp::Rename, target);
        std::error_code ec;
        fs::rename(work, target, ec);
        if (ec) {
            throw EngineError("cannot put " + PathText(target) + " in place: " + ec.message(),
                              "rename", target, ec);
        }
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
        throw;
    }
    SyncDirectory(target.parent_path().empty() ? fs::path(".") : target.parent_path(), hook);
}

void WriteNewFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    File file = File::Open(path, OpenMode::CreateExclusive);
    file.WriteAt(0, bytes);
    file.Close();
}

void CreateDirectories(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::MakeFolder, dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        throw EngineError("cannot create the folder " + PathText(dir) + ": " + ec.message(),
                          "create folder", dir, ec);
    }
}

FileKind Examine(const fs::path& path, Links links, IoHook* hook, std::error_code* missing) {
    AnnounceTo(hook, IoOp::Examine, path);
    std::error_code ec;
    const fs::file_status status =
        links == Links::Follow ? fs::status(path, ec) : fs::symlink_status(path, ec);
    if (ec && !IsMissing(ec)) {
        throw FilesystemError("examine", path, ec);
    }
    if (missing != nullptr) {
        *missing = ec;
    }
    switch (status.type()) {
        case fs::file_type::not_found:
        case fs::file_type::none:
            return FileKind::None;
        case fs::file_type::regular:
            return FileKind::Regular;
        case fs::file_type::directory:
            return FileKind::Folder;
        case fs::file_type::symlink:
            return FileKind::Link;
        default:
            return FileKind::Other;
    }
}

std::string DeviceNamed(std::string_view name) {
    // What the system compares: the name without trailing colons, up to its first dot, without
    // trailing spaces.
    while (!name.empty() && name.back() == ':') {
        name.remove_suffix(1);
    }
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    std::string upper(name);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(std::begin(kDevices), std::end(kDevices), upper) != std::end(kDevices)) {
        return upper;
    }
    const bool numbered = upper.size() == 4 &&
                          (upper.starts_with("COM") || upper.starts_with("LPT")) &&
                          upper[3] >= '1' && upper[3] <= '9';
    return numbered ? upper : "";
}

bool PathExists(const fs::path& path, IoHook* hook) {
    return Examine(path, Links::NoFollow, hook) != FileKind::None;
}

std::uintmax_t LinkCount(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Examine, path);
    std::error_code ec;
    const std::uintmax_t count = fs::hard_link_count(path, ec);
    if (ec) {
        if (IsMissing(ec)) {
            return 0;
        }
        throw FilesystemError("examine", path, ec);
    }
    return count;
}

bool SameFile(const fs::path& a, const fs::path& b, IoHook* hook) {
    AnnounceTo(hook, IoOp::Examine, a);
    std::error_code ec;
    const bool same = fs::equivalent(a, b, ec);
    if (ec) {
        if (IsMissing(ec)) {
            return false;
        }
        throw FilesystemError("examine", a, ec);
    }
    return same;
}

fs::path ResolveLinks(const fs::path& path, IoHook* hook) {
    AnnounceTo(hook, IoOp::Examine, path);
#ifdef _WIN32
    if (IsVerbatim(path)) {
        return ResolveVerbatim(path);
    }
#endif
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    if (ec) {
        throw FilesystemError("examine", path, ec);
    }
    return resolved;
}

std::vector<fs::path> ListFolder(const fs::path& dir, IoHook* hook) {
    AnnounceTo(hook, IoOp::List, dir);
    std::vector<fs::path> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    if (ec) {
        throw FilesystemError("list", dir, ec);
    }
    return entries;
}

std::filesystem::path Folder::PathOf(const std::string& name) const {
    return path_ / PathFromText(name);
}

// The handle's type is each system's own; moving it is the same on both.
Folder::Folder(Folder&& other) noexcept
    : native_(std::exchange(other.native_, kClosed)),
      path_(std::move(other.path_)),
      hook_(std::exchange(other.hook_, nullptr)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    // What this object held goes with `taken`.
    Folder taken(std::move(other));
    std::swap(native_, taken.native_);
    std::swap(path_, taken.path_);
    std::swap(hook_, taken.hook_);
    return *this;
}

}  // namespace tflux
