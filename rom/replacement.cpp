#include "rom/replacement.h"

#include "rom/text.h"

#include <random>
#include <string_view>
#include <vector>

namespace tflux {

namespace fs = std::filesystem;

namespace {

constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kPrefix = ".tflux-krn-";
constexpr std::string_view kSuffix = ".tmp";
// The part between prefix and suffix: random characters, then a check of them that a name
// somebody chose is most unlikely to carry, so that only our own files are ever taken for
// abandoned ones.
constexpr std::size_t kRandomLength = 4;
constexpr std::size_t kCheckLength = 4;
constexpr int kAttempts = 16;

std::string CheckOf(std::string_view random) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, keyed by the program's name
    for (const char c : std::string_view("tflux-krn unfinished output ")) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    for (const char c : random) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    std::string check;
    for (std::size_t i = 0; i < kCheckLength; ++i, hash /= sizeof kDigits - 1) {
        check += kDigits[hash % (sizeof kDigits - 1)];
    }
    return check;
}

// A new, uniquely named file in `dir`; hidden, so a file manager does not show a half-made file.
// The name does not grow with the target's, which may already be as long as names can be.
File CreateUniqueFile(const fs::path& dir, IoHook* hook, fs::path& created) {
    for (int attempt = 0;; ++attempt) {
        const fs::path candidate = dir / PathFromText(NewReplacementName());
        try {
            File file = File::Open(candidate, OpenMode::CreateExclusive, Links::NoFollow, hook);
            created = candidate;
            return file;
        } catch (const EngineError&) {
            // Only a name that is taken is worth another try; when even that cannot be told,
            // the creation's own failure is the one to report.
            bool taken = false;
            try {
                taken = PathExists(candidate, hook);
            } catch (const EngineError&) {
            }
            if (attempt + 1 >= kAttempts || !taken) {
                throw;
            }
        }
    }
}

}  // namespace

fs::path FolderOf(const fs::path& path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

std::string NewReplacementName() {
    std::random_device entropy;
    std::string random;
    for (std::size_t i = 0; i < kRandomLength; ++i) {
        random += kDigits[entropy() % (sizeof kDigits - 1)];
    }
    return std::string(kPrefix) + random + CheckOf(random) + std::string(kSuffix);
}

bool IsReplacementName(const std::string& name) {
    if (name.size() != kPrefix.size() + kRandomLength + kCheckLength + kSuffix.size() ||
        !name.starts_with(kPrefix) || !name.ends_with(kSuffix)) {
        return false;
    }
    const std::string_view random(name.data() + kPrefix.size(), kRandomLength);
    const std::string_view check(name.data() + kPrefix.size() + kRandomLength, kCheckLength);
    return random.find_first_not_of(kDigits) == std::string_view::npos && check == CheckOf(random);
}

FileReplacement::FileReplacement(const fs::path& target, IoHook* hook, std::string* leftover)
    : target_(target), hook_(hook), leftover_(leftover) {
    file_ = CreateUniqueFile(FolderOf(target), hook, path_);
    try {
        // A second handle holds the lock, so that closing the written file keeps it.
        lock_ = File::Open(path_, OpenMode::Read, Links::NoFollow, hook_);
        if (TryLockFile(lock_) == FileLock::InUse) {
            throw EngineError("cannot lock " + PathText(path_) + ": another run is removing it");
        }
        CopyPermissions(target_, file_);
    } catch (...) {
        // The destructor does not run for an object that was never made.
        Discard();
        throw;
    }
}

FileReplacement::~FileReplacement() {
    if (!committed_) {
        Discard();
    }
}

void FileReplacement::Discard() noexcept {
    try {
        file_ = File();
        RemoveFile(path_, hook_);
    } catch (const std::exception& e) {
        if (leftover_ != nullptr) {
            *leftover_ = e.what();
        }
    }
}

std::optional<EngineError> FileReplacement::Commit() {
    RenameFile(path_, target_, hook_);
    committed_ = true;
    lock_ = File();
    try {
        SyncDirectory(FolderOf(target_), hook_);
    } catch (const EngineError& e) {
        return e.Within(PathText(target_) + " is in place, but may not survive a crash: ");
    }
    return std::nullopt;
}

void RemoveAbandonedReplacements(const fs::path& dir, std::span<const fs::path> keep,
                                 IoHook* hook) {
    // A folder that cannot be read is no place to write the new file either: that failure is
    // passed on.
    std::vector<fs::path> candidates;
    for (const fs::path& entry : ListFolder(dir, hook)) {
        if (!IsReplacementName(PathText(entry.filename()))) {
            continue;
        }
        bool kept = false;
        for (const fs::path& own : keep) {
            kept = kept || SameFile(entry, own, hook);
        }
        if (!kept) {
            candidates.push_back(entry);
        }
    }
    for (const fs::path& candidate : candidates) {
        try {
            // Our runs make their files as the user they run as: one of another user's, even
            // named as ours are, is that user's own.
            const File file = File::Open(candidate, OpenMode::Read, Links::NoFollow, hook);
            if (file.IsOwnedByUs() && TryLockFile(file) == FileLock::Taken) {
                RemoveFile(candidate, hook);
            }
        } catch (const EngineError&) {
            // Not a regular file, or not removable: left as it is.
        }
    }
}

}  // namespace tflux
