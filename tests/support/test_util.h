#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>
#endif

#include "rom/file.h"

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

// How a program ended, and what it wrote to the streams that were captured.
struct RunResult {
    int exitCode = -1;  // 128 + the signal when a signal ended it
    int signal = 0;     // the signal that ended it, 0 when it exited
    std::string out;
    std::string err;
};

#ifndef _WIN32  // the suites that run programs are not built for Windows

enum class Output { Capture, Discard };

struct SpawnOptions {
    // NAME=value entries; each replaces the inherited variable of that name.
    std::vector<std::string> extraEnv;
    Output out = Output::Capture;
    Output err = Output::Capture;
};

// A program started with arguments (no shell), standard input from /dev/null, and the
// signals a terminal delivers at their default actions even when this test ignores them.
// One that is never waited for is killed and reaped when the handle goes.
class Process {
  public:
    Process(const std::vector<std::string>& argv, const SpawnOptions& options = {});
    Process(Process&& other) noexcept;
    Process& operator=(Process&&) = delete;
    Process(const Process&) = delete;
    ~Process();

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;
    // Reads the captured streams to their end and reaps the program; once only.
    RunResult Wait();

  private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
};

// Starts a program and waits for it, capturing standard output and standard error.
RunResult RunProgram(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extraEnv = {});

#endif

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

// One file operation as a hook was told of it.
struct SeenOp {
    IoOp op;
    std::filesystem::path path;
    bool operator==(const SeenOp&) const = default;
};

// The file layer's fault seam for tests: records every operation it is told of, and fails the
// ones it is set up to fail with the error the system would give. An operation is a candidate
// when it meets every condition set (its kind, its path); with none set, nothing fails. Among
// the candidates, FailAt(n) picks the n-th (from 1), and Persistently() every one after it too,
// as a disk that fails and stays failed.
class FaultHook : public IoHook {
  public:
    using PathTest = std::function<bool(const std::filesystem::path&)>;
    using Action = std::function<void(IoOp, const std::filesystem::path&)>;

    FaultHook& FailAt(int n);
    FaultHook& Persistently();
    FaultHook& FailOps(std::initializer_list<IoOp> ops);
    FaultHook& FailUnder(const std::filesystem::path& dir);
    FaultHook& FailIf(PathTest test);
    // The failure's errno; by default ENOSPC for what writes (write, copy, create), EIO for the
    // rest.
    FaultHook& WithErrno(int error);
    // Runs at every operation, after it is recorded and before it may fail: for a test that
    // does something to the file system in the middle of a run.
    FaultHook& OnEveryOp(Action action);

    void Before(IoOp op, const std::filesystem::path& path) override;

    const std::vector<SeenOp>& Ops() const { return ops_; }
    int Count() const { return static_cast<int>(ops_.size()); }
    // The paths of the operations of these kinds, in order.
    std::vector<std::filesystem::path> PathsOf(std::initializer_list<IoOp> ops) const;
    int Failures() const { return failures_; }
    // The first failure: its text as the engine sees it, and "<op> <path>".
    const std::string& Cause() const { return cause_; }
    const std::string& Failed() const { return failed_; }

  private:
    bool IsCandidate(IoOp op, const std::filesystem::path& path) const;

    // Before may be called from two threads at once; held by pointer so a hook can be returned.
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
    std::vector<SeenOp> ops_;
    bool conditioned_ = false;
    int failAt_ = 0;  // 0: every candidate
    bool persistent_ = false;
    std::vector<IoOp> kinds_;
    std::vector<std::filesystem::path> folders_;
    std::vector<PathTest> tests_;
    int errno_ = 0;  // 0: by the kind of operation
    std::vector<Action> actions_;
    int candidates_ = 0;
    int failures_ = 0;
    std::string cause_;
    std::string failed_;
};

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
