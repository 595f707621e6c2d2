#pragma once

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace tflux::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);

// The names of the entries of a folder.
std::set<std::string> DirectoryNames(const std::filesystem::path& dir);

// Whether a file name is that of an unfinished output the patch assembles beside its output.
bool IsPendingName(const std::string& name);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// ../shared/testdata beside the checkout, or empty when it is not there.
std::filesystem::path SharedTestData();

// Runs a program with arguments (no shell), capturing standard output and standard error.
struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// `extraEnv` holds NAME=value entries; each replaces the inherited variable of that name.
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {});

// build/bin/<name>
std::filesystem::path BinPath(const std::string& name);

}  // namespace tflux::test

namespace tflux::test {

// One parameter of a track record.
struct RecordParam {
    std::uint8_t code;
    float value;
};

// A 2,109-byte track record as the payload carries it; the course block is filled from `seed`.
std::vector<std::uint8_t> MakeTrackRecord(const std::string& name, const std::string& subtitle,
                                          std::uint8_t attr, const std::vector<RecordParam>& params,
                                          std::uint32_t seed);

// A container file at `path` with `updater` as entry 0 and the given 24 records.
void WriteContainer(const std::filesystem::path& path, const std::vector<std::uint8_t>& updater,
                    const std::vector<std::vector<std::uint8_t>>& records);

// Points TMPDIR at a folder of its own while it lives, so runs do not share a temporary folder.
class TempDirOverride {
  public:
    explicit TempDirOverride(const std::filesystem::path& dir);
    ~TempDirOverride();
    TempDirOverride(const TempDirOverride&) = delete;
    TempDirOverride& operator=(const TempDirOverride&) = delete;

  private:
    std::string previous_;
    bool hadPrevious_ = false;
};

}  // namespace tflux::test
