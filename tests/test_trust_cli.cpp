// tflux-krn-cli against real faults: a file-size limit, a full file system, folders that cannot
// be written, SIGKILL at many moments of a run, a temporary folder under attack, runs at the
// same time and hostile paths. Whatever happens, the input and whatever was at the output path
// survive, and nothing half-made is left where a user would take it for the patched image.

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/patch.h"
#include "payload/container.h"
#include "payload/track_record.h"
#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/file.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Unfinished outputs anywhere under `root`.
std::vector<fs::path> PendingUnder(const fs::path& root) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (test::IsPendingName(entry.path().filename().string())) {
            found.push_back(entry.path());
        }
    }
    return found;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

fs::path Which(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// Starts a program with its output thrown away; the caller waits for it.
test::Process Spawn(const std::vector<std::string>& argv,
                    const std::vector<std::string>& extraEnv) {
    return test::Process(
        argv, {.extraEnv = extraEnv, .out = test::Output::Discard, .err = test::Output::Discard});
}

// A mount made for one test and undone after it, or the reason there is none.
class Mount {
  public:
    // A tmpfs of `bytes` at `where`.
    static Mount Small(const fs::path& where, std::size_t bytes) {
        fs::create_directories(where);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        Mount m(where);
        if (::mount("tflux-test", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) !=
            0) {
            m.refusal_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
        }
        return m;
    }
    // `where` seen through a read-only bind of itself.
    static Mount ReadOnly(const fs::path& where) {
        Mount m(where);
        if (::mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            m.refusal_ = std::string("cannot bind-mount: ") + std::strerror(errno);
        } else if (::mount(nullptr, where.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                           nullptr) != 0) {
            m.refusal_ = std::string("cannot make a bind read-only: ") + std::strerror(errno);
            ::umount2(where.c_str(), MNT_DETACH);
        }
        return m;
    }
    Mount(Mount&& other) noexcept
        : where_(std::move(other.where_)), refusal_(std::move(other.refusal_)) {
        other.where_.clear();
    }
    Mount& operator=(Mount&&) = delete;
    ~Mount() {
        if (!where_.empty() && refusal_.empty()) {
            ::umount2(where_.c_str(), MNT_DETACH);
        }
    }
    const std::string& refusal() const { return refusal_; }

  private:
    explicit Mount(fs::path where) : where_(std::move(where)) {}
    fs::path where_;
    std::string refusal_;
};

// The immutable attribute on a folder (`chattr +i`) while it lives.
class Immutable {
  public:
    explicit Immutable(const fs::path& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY)) {
        int flags = 0;
        if (fd_ < 0 || ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) != 0) {
            refusal_ = std::string("cannot read the folder's attributes: ") + std::strerror(errno);
            return;
        }
        flags |= FS_IMMUTABLE_FL;
        if (::ioctl(fd_, FS_IOC_SETFLAGS, &flags) != 0) {
            refusal_ = std::string("cannot make the folder immutable: ") + std::strerror(errno);
        }
    }
    ~Immutable() {
        int flags = 0;
        if (refusal_.empty() && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Immutable(const Immutable&) = delete;
    Immutable& operator=(const Immutable&) = delete;
    const std::string& refusal() const { return refusal_; }

  private:
    int fd_;
    std::string refusal_;
};

class TrustCliTest : public ::testing::Test {
  protected:
    TrustCliTest() : tmp_(scratch_ / "tmp") {
        fs::create_directory(outDir_);
        WriteSampleImage(input_, {'E', false, 5});
        inputBytes_ = test::ReadBytes(input_);
    }

    std::vector<std::string> Env() const { return {"TMPDIR=" + (scratch_ / "tmp").string()}; }

    test::RunResult Cli(const std::vector<std::string>& args,
                        const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(test::BinPath("tflux-krn-cli").string());
        argv.insert(argv.end(), args.begin(), args.end());
        return test::RunProgram(argv, Env());
    }

    // The image a clean run makes of the input.
    const Bytes& Expected() {
        if (expected_.empty()) {
            const fs::path reference = scratch_ / "reference.z64";
            const test::RunResult run = Cli({"patch", input_.string(), reference.string()});
            EXPECT_EQ(run.exitCode, 0) << run.err;
            File image = File::Open(reference, OpenMode::Read);
            const ChecksumReport report = VerifyChecksum(image);
            EXPECT_EQ(report.stored, report.computed);
            expected_ = test::ReadBytes(reference);
            fs::remove(reference);
        }
        return expected_;
    }

    static void ExpectFailure(const test::RunResult& run, const std::string& cause) {
        EXPECT_EQ(run.exitCode, 3) << run.err;
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_GE(lines.size(), 3u) << run.err;
        EXPECT_EQ(lines[0], "An unknown error occured.");
        EXPECT_EQ(lines[1], "Rebooting may solve the problem.");
        EXPECT_NE(lines[2].find(cause), std::string::npos) << run.err;
    }

    void ExpectInputUnharmed() const { EXPECT_TRUE(test::ReadBytes(input_) == inputBytes_); }

    // How long a whole run takes here over an existing output: the median of three.
    double RunTime(const std::vector<std::string>& argv, const Bytes& old) {
        return RunTime(argv, [&] { test::WriteBytes(output_, old); });
    }
    // The median of three runs, each after `before` has put things back as they were.
    double RunTime(const std::vector<std::string>& argv, const std::function<void()>& before) {
        std::vector<double> durations;
        for (int i = 0; i < 3; ++i) {
            before();
            const auto start = Clock::now();
            EXPECT_EQ(Spawn(argv, Env()).Wait().exitCode, 0);
            durations.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        std::sort(durations.begin(), durations.end());
        return durations[1];
    }

    test::ScratchDir scratch_;
    test::TempDirOverride tmp_;
    const fs::path input_ = scratch_ / "game.z64";
    const fs::path outDir_ = scratch_ / "out";
    const fs::path output_ = outDir_ / "game_krn.z64";
    Bytes inputBytes_;
    Bytes expected_;
};

// ---- real faults ----

TEST_F(TrustCliTest, AFileSizeLimitFailsThePatchWithoutLosingAnything) {
    const fs::path prlimit = Which("prlimit");
    if (prlimit.empty()) {
        GTEST_SKIP() << "prlimit (util-linux) is not installed";
    }
    const Bytes old(200000, 0x42);
    // In the payload's extraction, in the copy, at the image's very last byte.
    for (const std::uint64_t limit : {4096ull, 100000ull, 1ull << 20, (16ull << 20) - 1}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        test::WriteBytes(output_, old);
        fs::remove_all(scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid())));
        const test::RunResult run = Cli({"patch", input_.string(), output_.string()},
                                        {prlimit.string(), "--fsize=" + std::to_string(limit)});
        ExpectFailure(run, "File too large");
        EXPECT_EQ(test::ReadBytes(output_), old);
        EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.z64"});
    }
    ExpectInputUnharmed();
    // A limit the image fits in is no fault at all.
    const test::RunResult run = Cli({"patch", input_.string(), output_.string()},
                                    {prlimit.string(), "--fsize=" + std::to_string(16 << 20)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(test::ReadBytes(output_) == Expected());
}

TEST_F(TrustCliTest, AFullFileSystemFailsThePatchWithoutLosingAnything) {
    const fs::path small = scratch_ / "small";
    const Mount mount = Mount::Small(small, 20 << 20);
    if (!mount.refusal().empty()) {
        GTEST_SKIP() << mount.refusal();
    }
    // An old output of 6 MiB leaves 14 MiB: too little for the 16 MiB image beside it.
    const fs::path out = small / "game_krn.z64";
    const Bytes old(6 << 20, 0x99);
    test::WriteBytes(out, old);
    ExpectFailure(Cli({"patch", input_.string(), out.string()}), "No space left on device");
    EXPECT_TRUE(test::ReadBytes(out) == old);
    EXPECT_EQ(test::DirectoryNames(small), std::set<std::string>{"game_krn.z64"});

    // The temporary folder on the full file system: the payload cannot be extracted.
    const fs::path filler = small / "filler";
    {
        std::ofstream fill(filler, std::ios::binary);
        const std::string block(1 << 16, 'f');
        while (fill.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
    }
    {
        const test::TempDirOverride full(small);
        ExpectFailure(test::RunProgram({test::BinPath("tflux-krn-cli").string(), "patch",
                                        input_.string(), output_.string()}),
                      "No space left on device");
    }
    EXPECT_FALSE(fs::exists(output_));
    EXPECT_TRUE(test::ReadBytes(out) == old);

    // With room again, the same patch succeeds over the old output.
    fs::remove(filler);
    fs::remove_all(small / ("tflux-krn-" + std::to_string(getuid())));
    fs::resize_file(out, 1 << 20);
    const test::RunResult again = Cli({"patch", input_.string(), out.string()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(test::ReadBytes(out) == Expected());
    EXPECT_EQ(test::DirectoryNames(small), std::set<std::string>{"game_krn.z64"});
    ExpectInputUnharmed();
}

// The output check refuses a folder that cannot take the new file before anything is written.
TEST_F(TrustCliTest, AnOutputFolderThatCannotBeWrittenIsRefusedUpFront) {
    const Bytes old{'o', 'l', 'd'};
    int tried = 0;
    const auto check = [&](const fs::path& dir, const std::vector<std::string>& prefix) {
        ++tried;
        const fs::path out = dir / "game_krn.z64";
        const std::set<std::string> before = test::DirectoryNames(dir);
        const test::RunResult run = Cli({"patch", input_.string(), out.string()}, prefix);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        // The message as it stands, then why, naming the folder or the file in it.
        EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), "Invalid output file\n");
        EXPECT_NE(run.err.find(dir.string(), run.err.find('\n')), std::string::npos) << run.err;
        EXPECT_EQ(test::DirectoryNames(dir), before);
        if (before.contains("game_krn.z64")) {
            EXPECT_EQ(test::ReadBytes(out), old);
        }
        // A new name there fails too, and so does a folder output to be made there, at any
        // depth: each is built beside its name.
        const std::vector<std::string> fresh[] = {
            {"patch", input_.string(), (dir / "new.z64").string()},
            {"payload", "unpack", (dir / "unpacked").string()},
            {"payload", "from-image", input_.string(), (dir / "pack" / "deeper").string()},
        };
        for (const std::vector<std::string>& args : fresh) {
            SCOPED_TRACE(args[1]);
            const test::RunResult again = Cli(args, prefix);
            EXPECT_EQ(again.exitCode, 1) << again.err;
            EXPECT_EQ(again.err.substr(0, again.err.find('\n') + 1), "Invalid output file\n");
            EXPECT_EQ(test::DirectoryNames(dir), before);
        }
    };

    const fs::path readOnly = scratch_ / "read-only";
    fs::create_directory(readOnly);
    test::WriteBytes(readOnly / "game_krn.z64", old);
    {
        const Mount mount = Mount::ReadOnly(readOnly);
        if (mount.refusal().empty()) {
            SCOPED_TRACE("read-only file system");
            check(readOnly, {});
        } else {
            std::cout << "[ skipped  ] read-only bind: " << mount.refusal() << "\n";
        }
    }

    const fs::path immutable = scratch_ / "immutable";
    fs::create_directory(immutable);
    test::WriteBytes(immutable / "game_krn.z64", old);
    {
        const Immutable flag(immutable);
        if (flag.refusal().empty()) {
            SCOPED_TRACE("immutable folder");
            check(immutable, {});
        } else {
            std::cout << "[ skipped  ] immutable folder: " << flag.refusal() << "\n";
        }
    }

    // Permission bits stop everyone but root: as root, run as nobody where that can be done.
    const fs::path setpriv = Which("setpriv");
    if (getuid() != 0) {
        SCOPED_TRACE("folder without write permission");
        const fs::path closed = scratch_ / "closed";
        fs::create_directory(closed);
        test::WriteBytes(closed / "game_krn.z64", old);
        fs::permissions(closed, fs::perms::owner_read | fs::perms::owner_exec);
        check(closed, {});
    } else if (!setpriv.empty()) {
        SCOPED_TRACE("folder of another user");
        const uid_t nobody = 65534;
        fs::permissions(scratch_.path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        const fs::path theirs = scratch_ / "theirs";
        fs::create_directory(theirs);
        fs::permissions(theirs, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        test::WriteBytes(theirs / "game_krn.z64", old);
        ASSERT_EQ(::chown((theirs / "game_krn.z64").c_str(), nobody, nobody), 0);
        fs::permissions(input_, fs::perms::owner_read | fs::perms::owner_write |
                                    fs::perms::group_read | fs::perms::others_read);
        ASSERT_EQ(::chown((scratch_ / "tmp").c_str(), nobody, nobody), 0);
        check(theirs, {setpriv.string(), "--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        std::cout << "[ skipped  ] folder of another user: setpriv (util-linux) is missing\n";
    }
    ExpectInputUnharmed();
    if (tried == 0) {
        GTEST_SKIP() << "no way to make a folder unwritable here";
    }
}

TEST_F(TrustCliTest, AKilledPatchLeavesTheOldFileOrTheWholeNewOne) {
    const Bytes old(300000, 0x6B);
    const Bytes& expected = Expected();
    const std::vector<std::string> argv = {test::BinPath("tflux-krn-cli").string(), "patch",
                                           input_.string(), output_.string()};

    const double runTime = RunTime(argv, old);

    // Kill moments spread over the whole run, a little past its end included.
    constexpr int kMoments = 60;
    std::mt19937 random(20261208);
    std::uniform_real_distribution<double> jitter(0.0, 1.0);
    int killed = 0;
    int oldKept = 0;
    int newInPlace = 0;
    int whileWriting = 0;  // killed with its unfinished image beside the output
    int attempts = 0;
    for (; attempts < 3 * kMoments && (attempts < kMoments || killed < 50); ++attempts) {
        test::WriteBytes(output_, old);
        const std::set<std::string> before = test::DirectoryNames(outDir_);
        const double at = runTime * 1.05 * ((attempts % kMoments) + jitter(random)) / kMoments;
        test::Process run = Spawn(argv, Env());
        std::this_thread::sleep_for(std::chrono::duration<double>(at));
        run.Signal(SIGKILL);
        const test::RunResult status = run.Wait();
        if (status.signal == SIGKILL) {
            ++killed;
        } else {
            EXPECT_TRUE(status.signal == 0 && status.exitCode == 0) << status.exitCode;
        }
        const Bytes now = test::ReadBytes(output_);
        if (now == old) {
            ++oldKept;
        } else if (now == expected) {
            ++newInPlace;
        } else {
            ADD_FAILURE() << "after a kill at " << at * 1000 << " ms the output is " << now.size()
                          << " bytes, neither the old file nor the patched image";
        }
        for (const std::string& name : test::DirectoryNames(outDir_)) {
            EXPECT_TRUE(name == "game_krn.z64" || test::IsPendingName(name)) << name;
            whileWriting += before.contains(name) ? 0 : 1;
        }
    }
    std::cout << "[ figures  ] run " << runTime * 1000 << " ms; " << attempts << " runs, " << killed
              << " killed by SIGKILL: " << oldKept << " kept the old file, " << newInPlace
              << " had the whole new image; " << whileWriting << " were killed while writing it\n";
    EXPECT_GE(killed, 50);
    EXPECT_GT(oldKept, 0);
    EXPECT_GT(whileWriting, 0) << "no kill came while the image was being written";
    ExpectInputUnharmed();

    // The next run completes, and removes what the killed ones could not.
    const test::RunResult run = Cli({"patch", input_.string(), output_.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(test::ReadBytes(output_) == expected);
    EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.z64"});
}

TEST_F(TrustCliTest, CtrlCOrTerminateDuringAPatchLeaveNothingHalfMade) {
    const Bytes old(300000, 0x5E);
    const Bytes& expected = Expected();
    const std::vector<std::string> argv = {test::BinPath("tflux-krn-cli").string(), "patch",
                                           input_.string(), output_.string()};
    const double runTime = RunTime(argv, old);
    // A signal while the program is still starting ends it at once and unheard; the moments
    // fall after that, where the patch command holds signals back.
    const double startUp = std::min(RunTime({argv[0], "--version"}, old), runTime / 2);

    // Runs vary in length on a busy machine, so more moments follow until most of them
    // came while the patch was still at work.
    constexpr int kMoments = 24;
    int interrupted = 0;
    int told = 0;
    for (int i = 0; i < 3 * kMoments && (i < kMoments || interrupted <= kMoments / 2); ++i) {
        const int signal = i % 2 == 0 ? SIGINT : SIGTERM;
        test::WriteBytes(output_, old);
        test::Process run(argv, {.extraEnv = Env(), .out = test::Output::Discard});
        const double share = (i < kMoments ? 1.0 : 0.5) * ((i % kMoments) + 0.5) / kMoments;
        std::this_thread::sleep_for(
            std::chrono::duration<double>(startUp + (runTime - startUp) * share));
        run.Signal(signal);
        const test::RunResult status = run.Wait();
        if (status.signal != 0) {
            EXPECT_EQ(status.signal, signal);
            // Never silently once the patch command has begun: the run says what the signal
            // found done.
            if (status.err.find("stopped by signal " + std::to_string(signal)) !=
                std::string::npos) {
                ++told;
            }
            ++interrupted;
        } else {
            EXPECT_EQ(status.exitCode, 0);
        }
        const Bytes now = test::ReadBytes(output_);
        EXPECT_TRUE(now == old || now == expected) << "signal at moment " << i;
        // Not even an unfinished file beside it: the signal waits for the patch to tidy up.
        EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.z64"})
            << "moment " << i;
    }
    EXPECT_GT(interrupted, kMoments / 2);
#if defined(__SANITIZE_ADDRESS__)
    // Sanitized, the program's start and its leak check at exit take much of each run, and a
    // signal then ends it unheard with nothing half made; the runs above hold that.
    EXPECT_GT(told, 0);
#else
    EXPECT_GT(told, interrupted / 2);
#endif
    ExpectInputUnharmed();
}

// A folder output is built beside its place: Ctrl-C or a terminate request waits until it is in
// place or gone, and what a SIGKILL leaves beside it the next run of the command removes.
TEST_F(TrustCliTest, AStoppedOrKilledFolderWriteLeavesItWholeOrAbsent) {
    const fs::path source = scratch_ / "source";
    const std::vector<std::string> argv = {test::BinPath("tflux-krn-cli").string(), "payload",
                                           "from-image", input_.string(), source.string()};
    const auto contents = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(source)) {
            names.insert(entry.path().lexically_relative(source).string());
        }
        return names;
    };
    const double runTime = RunTime(argv, [&] { fs::remove_all(source); });
    const std::set<std::string> whole = contents();
    ASSERT_GT(whole.size(), 24u);
    const auto beside = [&] {
        std::set<std::string> names = test::DirectoryNames(scratch_.path());
        std::erase_if(names, [](const std::string& n) { return !n.starts_with(".tflux-krn-"); });
        return names;
    };
    constexpr int kMoments = 24;
    int told = 0;
    int leftByKill = 0;
    for (int i = 0; i < 2 * kMoments; ++i) {
        const bool kill = i >= kMoments;
        const int signal = kill ? SIGKILL : i % 2 == 0 ? SIGINT : SIGTERM;
        fs::remove_all(source);
        test::Process run(argv, {.extraEnv = Env(), .out = test::Output::Discard});
        std::this_thread::sleep_for(
            std::chrono::duration<double>(runTime * ((i % kMoments) + 0.5) / kMoments));
        run.Signal(signal);
        const test::RunResult status = run.Wait();
        told += status.err.find("stopped by signal") != std::string::npos ? 1 : 0;
        EXPECT_TRUE(!fs::exists(source) || contents() == whole) << "moment " << i;
        if (kill) {
            leftByKill += beside().empty() ? 0 : 1;
        } else {
            EXPECT_EQ(beside(), std::set<std::string>{}) << "moment " << i;
        }
    }
    std::cout << "[ figures  ] run " << runTime * 1000 << " ms; " << told
              << " stopped runs told what they left, " << leftByKill
              << " killed ones left a folder beside\n";
    EXPECT_GT(told, 0);
    fs::remove_all(source);
    EXPECT_EQ(Spawn(argv, Env()).Wait().exitCode, 0);
    EXPECT_EQ(contents(), whole);
    EXPECT_EQ(beside(), std::set<std::string>{}) << leftByKill << " kills left a folder";
    ExpectInputUnharmed();
}

TEST_F(TrustCliTest, RunsAtTheSameTimeEachGetTheirOwnTracks) {
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 1; i <= 24; ++i) {
        records.push_back(test::MakeTrackRecord("Night " + std::to_string(i), "Run", 1, {{2, 0.5f}},
                                                static_cast<std::uint32_t>(i * 7)));
    }
    const fs::path other = scratch_ / "other.dat";
    test::WriteContainer(other, {0x7F, 'E', 'L', 'F'}, records);
    const std::string cli = test::BinPath("tflux-krn-cli").string();
    const fs::path otherExpected = scratch_ / "other-expected.z64";
    ASSERT_EQ(Cli({"patch", "--payload", other.string(), input_.string(), otherExpected.string()})
                  .exitCode,
              0);
    const Bytes expectedOther = test::ReadBytes(otherExpected);
    const Bytes& expectedBuiltIn = Expected();

    for (int round = 0; round < 2; ++round) {
        std::vector<test::Process> runs;
        for (int i = 0; i < 4; ++i) {
            std::vector<std::string> argv = {cli, "patch"};
            if (i % 2 == 1) {
                argv.insert(argv.end(), {"--payload", other.string()});
            }
            argv.push_back(input_.string());
            argv.push_back((outDir_ / ("run" + std::to_string(i) + ".z64")).string());
            runs.push_back(Spawn(argv, Env()));
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].Wait().exitCode, 0) << "run " << i;
        }
        for (int i = 0; i < 4; ++i) {
            const Bytes got = test::ReadBytes(outDir_ / ("run" + std::to_string(i) + ".z64"));
            EXPECT_TRUE(got == (i % 2 == 1 ? expectedOther : expectedBuiltIn)) << "run " << i;
        }
    }
}

// ---- the temporary folder under attack ----

TEST_F(TrustCliTest, ATemporaryFolderThatIsNotOursIsRefusedWithTheReason) {
    const fs::path tempDir = scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid()));
    const fs::path victims = scratch_ / "victims";
    fs::create_directory(victims);
    fs::create_directory_symlink(victims, tempDir);
    ExpectFailure(Cli({"patch", input_.string(), output_.string()}),
                  "refusing the temporary folder " + tempDir.string() + ": it is a symbolic link");
    EXPECT_TRUE(fs::is_empty(victims));
    fs::remove(tempDir);

    test::WriteBytes(tempDir, {1, 2});
    ExpectFailure(Cli({"patch", input_.string(), output_.string()}),
                  "refusing the temporary folder " + tempDir.string() + ": it is not a folder");
    EXPECT_EQ(test::ReadBytes(tempDir), (Bytes{1, 2}));
    fs::remove(tempDir);

    if (getuid() == 0) {
        fs::create_directory(tempDir);
        ASSERT_EQ(::chown(tempDir.c_str(), 65534, 65534), 0);
        ExpectFailure(
            Cli({"patch", input_.string(), output_.string()}),
            "refusing the temporary folder " + tempDir.string() +
                ": it belongs to another user; remove it, and the next run makes a private one");
        EXPECT_TRUE(fs::is_empty(tempDir));
    }
    EXPECT_TRUE(test::DirectoryNames(outDir_).empty());

    // TMPDIR naming nothing, or a file.
    const fs::path missing = scratch_ / "missing";
    {
        const test::TempDirOverride gone(missing);
        fs::remove(missing);
        ExpectFailure(test::RunProgram({test::BinPath("tflux-krn-cli").string(), "patch",
                                        input_.string(), output_.string()}),
                      "cannot create folder " + missing.string() + "/tflux-krn-");
    }
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(test::DirectoryNames(outDir_).empty());
    ExpectInputUnharmed();
}

TEST_F(TrustCliTest, LinksPlantedInTheTemporaryFolderAreNotFollowed) {
    const fs::path tempDir = scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid()));
    fs::create_directories(tempDir);
    fs::permissions(tempDir, fs::perms::owner_all);
    const fs::path victims = scratch_ / "victims";
    fs::create_directory(victims);
    const Bytes precious(100, 0x11);
    test::WriteBytes(victims / "precious", precious);
    fs::create_symlink(victims / "precious", tempDir / "0.dat.exe");
    fs::create_symlink(victims / "precious", tempDir / "7.dat");
    fs::create_symlink(victims / "planted", tempDir / "12.dat");
    fs::create_hard_link(victims / "precious", tempDir / "Quintara.dat");

    const test::RunResult run = Cli({"patch", input_.string(), output_.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(test::DirectoryNames(victims), std::set<std::string>{"precious"});
    EXPECT_EQ(test::ReadBytes(victims / "precious"), precious);
    EXPECT_TRUE(test::ReadBytes(output_) == Expected());

    // A symbolic link at the container file is removed like any left-over, not followed.
    fs::remove(output_);
    fs::create_symlink(victims / "precious", tempDir / "Quintara.dat");
    const test::RunResult again = Cli({"patch", input_.string(), output_.string()});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(test::ReadBytes(victims / "precious"), precious);
    EXPECT_FALSE(fs::exists(tempDir / "Quintara.dat"));
    EXPECT_TRUE(test::ReadBytes(output_) == Expected());
}

// A sparse container whose entries all share one place would unpack to far more than it
// holds: it is refused whole and at once, naming its file, before anything is written.
TEST_F(TrustCliTest, AnOverlappingSparseContainerIsRefusedAtOnceWithNothingWritten) {
    Bytes bytes = PackContainer(std::vector<Bytes>(kPayloadEntries, Bytes(kTrackRecordSize, 1)));
    for (std::size_t i = 1; i < kPayloadEntries; ++i) {
        PutLE32(bytes, GetLE32(bytes, 8), 8 + 4 * i);
    }
    const fs::path file = scratch_ / "hostile.dat";
    test::WriteBytes(file, bytes);
    fs::resize_file(file, 64u << 20);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"patch", "--payload", file.string(), input_.string()},
          std::vector<std::string>{"payload", "unpack", "--payload", file.string(),
                                   (outDir_ / "unpacked").string()}}) {
        SCOPED_TRACE(args[1]);
        const auto start = Clock::now();
        const test::RunResult run = Cli(args);
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.err.rfind("tflux-krn-cli: " + file.string() + ": damaged payload: ", 0), 0u)
            << run.err;
        EXPECT_NE(run.err.find("overlap"), std::string::npos) << run.err;
        EXPECT_TRUE(test::DirectoryNames(outDir_).empty());
        EXPECT_FALSE(fs::exists(DeriveOutputPath(input_.string())));
        EXPECT_FALSE(fs::exists(scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid()))));
    }
    ExpectInputUnharmed();
}

// ---- hostile paths ----

TEST_F(TrustCliTest, HostilePathsAreRefusedQuicklyOrHandledCleanly) {
    const fs::path place = scratch_ / "place";
    fs::create_directory(place);
    const fs::path folder = place / "folder.z64";
    fs::create_directory(folder);
    const fs::path fifo = place / "pipe.z64";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path sparse = place / "sparse.z64";
    {
        File file = File::Open(sparse, OpenMode::CreateExclusive);
        file.WriteAt((4ull << 30) - 1, Bytes{0});
    }
    fs::create_symlink(input_, place / "link.z64");
    fs::create_hard_link(input_, place / "hard.z64");
    fs::create_directory_symlink(scratch_.path(), place / "via");
    fs::create_symlink(place / "loop-b", place / "loop-a");
    fs::create_symlink(place / "loop-a", place / "loop-b");
    fs::create_symlink("/dev/null", place / "null-link.z64");
    const std::string longName(300, 'n');
    const std::string maxName = std::string(251, 'm') + ".z64";  // "_krn" no longer fits
    test::WriteBytes(place / maxName, inputBytes_);
    const std::string in = input_.string();
    const std::string out = output_.string();
    const std::set<std::string> before = test::DirectoryNames(place);

    struct Case {
        std::string what;
        std::vector<std::string> args;
        int exit;
        std::string err;    // the message, as it stands
        std::string cause;  // found in the one line under it
    };
    const std::string invalidInput = "Invalid input ROM file\n";
    const std::string invalidOutput = "Invalid output file\n";
    const std::string same = "The output file must not be the input ROM file.\n";
    const std::vector<Case> cases = {
        {"input is a folder",
         {"patch", folder.string(), out},
         1,
         invalidInput,
         "folder.z64 is a folder"},
        {"input is a FIFO", {"patch", fifo.string(), out}, 1, invalidInput, "not a regular file"},
        {"input is /dev/zero", {"patch", "/dev/zero", out}, 1, invalidInput, "not a regular file"},
        {"input is a 4 GiB sparse file",
         {"patch", sparse.string(), out},
         1,
         "Not T-Flux X\n",
         "sparse.z64 is 4,294,967,296 bytes, not 16,777,216"},
        {"input name too long",
         {"patch", (place / longName).string(), out},
         1,
         invalidInput,
         "File name too long"},
        {"input is empty", {"patch", "", out}, 1, invalidInput, "without a name"},
        {"output is a folder", {"patch", in, folder.string()}, 1, invalidOutput, "is a folder"},
        {"output is a FIFO", {"patch", in, fifo.string()}, 1, invalidOutput, "is not a file"},
        {"output is /dev/null", {"patch", in, "/dev/null"}, 1, invalidOutput, "is not a file"},
        {"output links to /dev/null",
         {"patch", in, (place / "null-link.z64").string()},
         1,
         invalidOutput,
         "null-link.z64 is not a file"},
        {"output is a link loop",
         {"patch", in, (place / "loop-a").string()},
         1,
         invalidOutput,
         "Too many levels of symbolic links"},
        {"output name too long",
         {"patch", in, (place / longName).string()},
         1,
         invalidOutput,
         "File name too long"},
        {"derived output name too long",
         {"patch", (place / maxName).string()},
         1,
         invalidOutput,
         "_krn.z64: File name too long"},
        {"output ends in a slash",
         {"patch", in, (place / "new.z64/").string()},
         1,
         invalidOutput,
         "new.z64: No such file or directory"},
        {"output links to the input",
         {"patch", in, (place / "link.z64").string()},
         1,
         same,
         "link.z64 and " + in + " are one file"},
        {"output is a hard link of the input",
         {"patch", in, (place / "hard.z64").string()},
         1,
         same,
         "hard.z64 and " + in + " are one file"},
        {"output reaches the input through a linked folder",
         {"patch", in, (place / "via" / "game.z64").string()},
         1,
         same,
         "are one file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        const test::RunResult run = Cli(c.args);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(run.exitCode, c.exit) << run.err;
        const std::size_t end = run.err.find('\n');
        EXPECT_EQ(run.err.substr(0, end + 1), c.err);
        const std::string cause = end == std::string::npos ? "" : run.err.substr(end + 1);
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
        EXPECT_EQ(std::count(cause.begin(), cause.end(), '\n'), 1) << "one line: " << cause;
        EXPECT_LT(seconds, 3.0) << "not refused quickly";
    }
    ExpectInputUnharmed();
    EXPECT_TRUE(test::DirectoryNames(outDir_).empty());
    EXPECT_TRUE(PendingUnder(scratch_.path()).empty());
    EXPECT_TRUE(fs::is_directory(folder) && fs::is_empty(folder));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_symlink(place / "loop-a") && fs::is_symlink(place / "loop-b"));
    EXPECT_EQ(test::DirectoryNames(place), before);
    EXPECT_EQ(test::ReadBytes(place / maxName), inputBytes_);
    EXPECT_EQ(fs::file_size(sparse), 4ull << 30);
}

TEST_F(TrustCliTest, LongAndUnusualNamesArePatchedLikeAnyOther) {
    // Over 300 characters of path, with spaces, quotes and letters beyond ASCII.
    fs::path dir = scratch_ / "my roms" / "d'été \"quoted\" 日本";
    for (int i = 0; i < 4; ++i) {
        dir /= std::string(60, static_cast<char>('a' + i)) + " ü";
    }
    fs::create_directories(dir);
    const fs::path in = dir / "T-Flux \"X\" (E) ä ß 'copy'.z64";
    ASSERT_GT(in.string().size(), 300u);
    test::WriteBytes(in, inputBytes_);
    const test::RunResult run = Cli({"patch", in.string()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "Patch successful.\n");
    const fs::path out = dir / "T-Flux \"X\" (E) ä ß 'copy'_krn.z64";
    EXPECT_TRUE(test::ReadBytes(out) == Expected());
    EXPECT_EQ(test::DirectoryNames(dir),
              (std::set<std::string>{in.filename().string(), out.filename().string()}));
    EXPECT_TRUE(test::ReadBytes(in) == inputBytes_);
}

}  // namespace
}  // namespace tflux
