#pragma once

// Replacing a file as one step, in the file layer: the new version is assembled beside the
// file under a hidden name of its own and renamed over it once complete, so that until then the
// file is untouched, and afterwards it is wholly the new version.

#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "rom/file.h"

namespace tflux {

// The folder a file is in; "." for a bare name.
std::filesystem::path FolderOf(const std::filesystem::path& path);

class FileReplacement {
  public:
    // Creates the new file in the target's folder, with the permissions the target has, and
    // marks it as in use for as long as this object lives (see RemoveAbandonedReplacements).
    // A failed removal of the unfinished file is described in `leftover`, when given, since the
    // file then stays; it is written from the destructor, so it must outlive this object.
    FileReplacement(const std::filesystem::path& target, IoHook* hook,
                    std::string* leftover = nullptr);
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    // Removes the new file unless it was committed.
    ~FileReplacement();

    File& file() { return file_; }
    const std::filesystem::path& path() const { return path_; }

    // Renames the new file (already closed) over the target and flushes the folder, so that the
    // new name survives a crash. Once the rename is done, a failed flush is returned rather
    // than thrown: the replacement has happened, only its durability is in doubt.
    [[nodiscard]] std::optional<EngineError> Commit();

  private:
    void Discard() noexcept;

    std::filesystem::path target_;
    IoHook* hook_;
    std::string* leftover_;
    File lock_;
    File file_;
    std::filesystem::path path_;
    bool committed_ = false;
};

// A name FileReplacement gives its new files: random, and carrying a check of itself.
std::string NewReplacementName();
// Whether `name` is one FileReplacement gave; one merely shaped like it is not.
bool IsReplacementName(const std::string& name);

// A killed run leaves its unfinished file behind. A live one holds a lock on it, so one that
// nobody holds, named by NewReplacementName and owned by this user, is abandoned, and is
// removed here. Nothing that is one of `keep` is taken for one, whatever it is called; a file
// that cannot be opened, locked or removed is left as it is, but a folder that cannot be
// listed throws.
void RemoveAbandonedReplacements(const std::filesystem::path& dir,
                                 std::span<const std::filesystem::path> keep, IoHook* hook);

}  // namespace tflux
