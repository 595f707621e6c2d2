// Tries hard to make a patch harm something the user owns: a failure at every file operation,
// failures that persist to the end, files that cannot be removed, abandoned files of killed
// runs, a private temporary folder with links planted in it or put in its place, and patches
// that share that folder at the same time.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <thread>

#include "app/patch.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/checksum.h"
#include "rom/digest.h"
#include "rom/errors.h"
#include "rom/identify.h"
#include "rom/replacement.h"
#include "romtables/image_tracks.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A copy of the container the programs carry, for runs that patch with it.
std::vector<std::uint8_t> BuiltInContainer() {
    const auto bytes = BuiltInPayload();
    return {bytes.begin(), bytes.end()};
}

const char* const kUnknown = "An unknown error occured.\nRebooting may solve the problem.";

std::vector<fs::path> Pending(const fs::path& dir) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (test::IsPendingName(entry.path().filename().string())) {
            found.push_back(entry.path());
        }
    }
    return found;
}

bool IsPendingPath(const fs::path& path) {
    return test::IsPendingName(path.filename().string());
}

// What the extraction may leave in the private folder, and nothing else.
bool IsPayloadName(const std::string& name) {
    if (name == kPayloadFileName || name == kUpdaterFileName) {
        return true;
    }
    for (int track = 1; track <= kTrackCount; ++track) {
        if (name == std::to_string(track) + ".dat") {
            return true;
        }
    }
    return false;
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

class TrustTest : public ::testing::Test {
  protected:
    TrustTest() : tmp_(scratch_ / "tmp") {
        fs::create_directory(inDir_);
        fs::create_directory(outDir_);
        WriteSampleImage(input_, {'J', true, 11});
        inputBytes_ = test::ReadBytes(input_);
    }

    PatchResult Patch(IoHook* hook = nullptr, const fs::path& out = {}) {
        RomState state;
        state.Io = hook;
        return PatchRom(state, {input_.string(), (out.empty() ? output_ : out).string(), payload_});
    }

    fs::path TempDir() const {
        return scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid()));
    }

    // The image a clean run makes of the input.
    const Bytes& Expected() {
        if (expected_.empty()) {
            const fs::path reference = scratch_ / "reference.v64";
            const PatchResult result = Patch(nullptr, reference);
            EXPECT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
            File image = File::Open(reference, OpenMode::Read);
            const ChecksumReport report = VerifyChecksum(image);
            EXPECT_EQ(report.stored, report.computed);
            expected_ = test::ReadBytes(reference);
            fs::remove(reference);
        }
        return expected_;
    }

    void ExpectOnlyPayloadFilesInTheTemporaryFolder() const {
        if (!fs::exists(TempDir())) {
            return;
        }
        for (const std::string& name : test::DirectoryNames(TempDir())) {
            EXPECT_TRUE(IsPayloadName(name)) << "unexpected file in the temporary folder: " << name;
        }
    }

    test::ScratchDir scratch_;
    test::TempDirOverride tmp_;
    const fs::path inDir_ = scratch_ / "in";
    const fs::path outDir_ = scratch_ / "out";
    const fs::path input_ = inDir_ / "game.v64";
    const fs::path output_ = outDir_ / "game_krn.v64";
    Bytes inputBytes_;
    Bytes expected_;
    Bytes payload_ = BuiltInContainer();
};

// Where each operation of a clean run falls, to pick the operations worth failing.
struct Layout {
    std::vector<test::SeenOp> ops;
    int pendingCreated = 0;  // number of the operation that creates the pending file
    int renamed = 0;         // number of the rename into place
};

Layout RecordRun(const std::function<PatchResult(IoHook*)>& run) {
    test::FaultHook recorder;
    const PatchResult result = run(&recorder);
    EXPECT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
    Layout layout{recorder.Ops()};
    for (std::size_t i = 0; i < layout.ops.size(); ++i) {
        const test::SeenOp& op = layout.ops[i];
        const int number = static_cast<int>(i) + 1;
        if (op.op == IoOp::Create && test::IsPendingName(op.path.filename().string()) &&
            layout.pendingCreated == 0) {
            layout.pendingCreated = number;
        }
        if (op.op == IoOp::Rename) {
            layout.renamed = number;
        }
    }
    return layout;
}

// The role a path plays in a run, so that operations can be grouped by what they touch.
std::string Role(const fs::path& named, const fs::path& tempDir, const fs::path& input,
                 const fs::path& output) {
    // A folder may be named with its closing separator.
    const fs::path path = named.has_filename() ? named : named.parent_path();
    const std::string name = path.filename().string();
    if (path == input)
        return "input";
    if (path == output)
        return "output";
    if (path == output.parent_path())
        return "output folder";
    if (path == input.parent_path())
        return "input folder";
    if (path == tempDir)
        return "temporary folder";
    if (test::IsPendingName(name))
        return "pending";
    if (path.parent_path() == tempDir) {
        return name.ends_with(".dat") && name != kPayloadFileName ? "record" : name;
    }
    return "elsewhere: " + path.string();
}

// The first and the last operation of every kind on every role: where a persistent fault or a
// missing output could behave differently.
std::vector<int> Representatives(const Layout& layout, const fs::path& tempDir,
                                 const fs::path& input, const fs::path& output) {
    std::map<std::string, std::pair<int, int>> seen;
    for (std::size_t i = 0; i < layout.ops.size(); ++i) {
        const test::SeenOp& op = layout.ops[i];
        const std::string key =
            std::string(IoOpName(op.op)) + " " + Role(op.path, tempDir, input, output);
        const int number = static_cast<int>(i) + 1;
        auto [it, inserted] = seen.try_emplace(key, number, number);
        if (!inserted) {
            it->second.second = number;
        }
    }
    std::set<int> numbers;
    for (const auto& [key, range] : seen) {
        numbers.insert(range.first);
        numbers.insert(range.second);
    }
    return {numbers.begin(), numbers.end()};
}

TEST_F(TrustTest, APatchReachesEveryKindOfOperationAndWritesOnlyInItsTwoFolders) {
    test::FaultHook recorder;
    ASSERT_EQ(Patch(&recorder).outcome, PatchOutcome::Success);
    std::set<IoOp> kinds;
    for (const test::SeenOp& op : recorder.Ops()) {
        kinds.insert(op.op);
        const bool changes = op.op == IoOp::Create || op.op == IoOp::Write ||
                             op.op == IoOp::Remove || op.op == IoOp::Rename ||
                             op.op == IoOp::Copy || op.op == IoOp::Sync ||
                             op.op == IoOp::MakeFolder || op.op == IoOp::Permissions;
        const std::string role = Role(op.path, TempDir(), input_, output_);
        EXPECT_EQ(role.rfind("elsewhere", 0), std::string::npos) << IoOpName(op.op) << " " << role;
        if (changes) {
            EXPECT_NE(role, "input") << IoOpName(op.op) << " on the input";
            EXPECT_NE(role, "input folder") << IoOpName(op.op) << " in the input's folder";
        }
    }
    EXPECT_EQ(kinds,
              (std::set<IoOp>{IoOp::Open, IoOp::Create, IoOp::Read, IoOp::Write, IoOp::Sync,
                              IoOp::Close, IoOp::Remove, IoOp::Rename, IoOp::Copy, IoOp::Examine,
                              IoOp::List, IoOp::MakeFolder, IoOp::Permissions, IoOp::Lock}));
}

TEST_F(TrustTest, AFailureAtEachOperationLeavesEverythingAsItWas) {
    const Bytes old(3000, 0xA5);
    test::WriteBytes(output_, old);
    const Layout layout = RecordRun([this](IoHook* hook) { return Patch(hook); });
    ASSERT_GT(layout.pendingCreated, 0);
    ASSERT_GT(layout.renamed, layout.pendingCreated);
    const int descriptors = OpenDescriptors();

    int failed = 0;
    const int total = static_cast<int>(layout.ops.size());
    for (int n = 1; n <= total; ++n) {
        test::WriteBytes(output_, old);
        test::FaultHook fault;
        fault.FailAt(n);
        const PatchResult result = Patch(&fault);
        SCOPED_TRACE("failed: " + fault.Failed());
        EXPECT_EQ(OpenDescriptors(), descriptors) << "a file was left open";
        if (n > layout.renamed) {
            // Only flushing the folder after the rename may fail without failing the patch, and
            // the result says that it did.
            EXPECT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
            EXPECT_NE(result.warning.find(fault.Cause()), std::string::npos) << result.warning;
            EXPECT_EQ(result.error, std::errc::io_error);
            EXPECT_TRUE(test::ReadBytes(output_) == Expected());
            continue;
        }
        if (n < layout.pendingCreated && result.outcome == PatchOutcome::Refused) {
            EXPECT_FALSE(result.message.empty());  // a check that could not read: a refusal
        } else {
            ASSERT_EQ(result.outcome, PatchOutcome::Failed);
            EXPECT_EQ(result.message, kUnknown);
            EXPECT_FALSE(fault.Cause().empty());
            EXPECT_NE(result.cause.find(fault.Cause()), std::string::npos) << result.cause;
            // The system's reason reaches the caller as a code, not only as text.
            const bool full = result.error == std::errc::no_space_on_device;
            EXPECT_TRUE(full || result.error == std::errc::io_error) << result.error.message();
            ++failed;
        }
        EXPECT_EQ(test::ReadBytes(output_), old);
        EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.v64"});
        EXPECT_EQ(test::DirectoryNames(inDir_), std::set<std::string>{"game.v64"});
        ExpectOnlyPayloadFilesInTheTemporaryFolder();
    }
    EXPECT_GE(failed, layout.renamed - layout.pendingCreated + 1);
    EXPECT_EQ(test::ReadBytes(input_), inputBytes_);
    RecordProperty("operations", total);
    std::cout << "[ figures  ] " << total << " operations failed in turn, " << failed
              << " of them failed the patch\n";
    ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
    EXPECT_TRUE(test::ReadBytes(output_) == Expected());
}

TEST_F(TrustTest, AFailureWithoutAnEarlierOutputLeavesNoOutput) {
    const Layout layout = RecordRun([this](IoHook* hook) {
        const PatchResult result = Patch(hook);
        fs::remove(output_);
        return result;
    });
    for (const int n : Representatives(layout, TempDir(), input_, output_)) {
        if (n > layout.renamed) {
            continue;
        }
        test::FaultHook fault;
        fault.FailAt(n);
        const PatchResult result = Patch(&fault);
        SCOPED_TRACE("failed: " + fault.Failed());
        EXPECT_NE(result.outcome, PatchOutcome::Success);
        EXPECT_TRUE(test::DirectoryNames(outDir_).empty())
            << "something was left where there was nothing";
    }
    EXPECT_EQ(test::ReadBytes(input_), inputBytes_);
}

TEST_F(TrustTest, AFailureThatPersistsToTheEndStillNeverReachesTheOutputPath) {
    const Bytes old(5000, 0x3C);
    test::WriteBytes(output_, old);
    const Layout layout = RecordRun([this](IoHook* hook) { return Patch(hook); });
    const int descriptors = OpenDescriptors();
    int leftovers = 0;
    for (const int n : Representatives(layout, TempDir(), input_, output_)) {
        if (n > layout.renamed) {
            continue;
        }
        test::WriteBytes(output_, old);
        test::FaultHook fault;
        fault.FailAt(n).Persistently();  // as a disk that fails and stays failed
        const PatchResult result = Patch(&fault);
        SCOPED_TRACE("failing from: " + fault.Failed());
        EXPECT_NE(result.outcome, PatchOutcome::Success);
        EXPECT_EQ(OpenDescriptors(), descriptors);
        if (result.outcome == PatchOutcome::Failed) {
            // The first failure is the one reported, not what failed while tidying up.
            EXPECT_FALSE(fault.Cause().empty());
            EXPECT_EQ(result.cause.rfind(fault.Cause(), 0), 0u) << result.cause;
        }
        EXPECT_EQ(test::ReadBytes(output_), old);
        // The unfinished file may stay only when it could not be removed, and then the cause
        // says where it is.
        const std::vector<fs::path> left = Pending(outDir_);
        ASSERT_LE(left.size(), 1u);
        if (!left.empty()) {
            ++leftovers;
            EXPECT_NE(result.cause.find(left.front().string()), std::string::npos) << result.cause;
        }
        // The next run, with the fault gone, succeeds and tidies up after this one.
        ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
        EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.v64"});
        EXPECT_TRUE(test::ReadBytes(output_) == Expected());
    }
    EXPECT_GT(leftovers, 0) << "no case left an unremovable file: the case is not exercised";
    EXPECT_EQ(test::ReadBytes(input_), inputBytes_);
}

TEST_F(TrustTest, AFailureBehindALinkedOutputLeavesTheLinkAndItsFileAlone) {
    const fs::path elsewhere = scratch_ / "elsewhere";
    fs::create_directory(elsewhere);
    const Bytes old(777, 0x21);
    test::WriteBytes(elsewhere / "target.v64", old);
    fs::create_symlink(elsewhere / "target.v64", output_);
    test::FaultHook hook;
    hook.FailOps({IoOp::Write}).FailIf(IsPendingPath);
    const PatchResult result = Patch(&hook);
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_NE(result.cause.find("No space left on device"), std::string::npos) << result.cause;
    EXPECT_TRUE(fs::is_symlink(output_));
    EXPECT_EQ(test::ReadBytes(elsewhere / "target.v64"), old);
    EXPECT_EQ(test::DirectoryNames(elsewhere), std::set<std::string>{"target.v64"});
    EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.v64"});
}

TEST_F(TrustTest, AnUnfinishedFileThatCannotBeRemovedIsNamedAndRemovedByALaterRun) {
    const Bytes old{1, 2, 3};
    test::WriteBytes(output_, old);
    // The first write into the unfinished image fails, and so does its removal.
    test::FaultHook hook;
    hook.FailOps({IoOp::Copy, IoOp::Remove}).FailIf(IsPendingPath).WithErrno(EIO);
    const PatchResult result = Patch(&hook);
    ASSERT_EQ(result.outcome, PatchOutcome::Failed);
    const std::vector<fs::path> left = Pending(outDir_);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(result.cause, "cannot copy " + left.front().string() +
                                ": Input/output error\ncannot remove " + left.front().string() +
                                ": Input/output error");
    EXPECT_EQ(test::ReadBytes(output_), old);

    // Its run is over and nobody holds it any more: the next run removes it.
    ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
    EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.v64"});
}

TEST_F(TrustTest, AbandonedFilesAreRemovedOnlyWhenTheyAreOursAndNobodyHoldsThem) {
    const fs::path victims = scratch_ / "victims";
    fs::create_directory(victims);
    const Bytes precious{'m', 'i', 'n', 'e'};
    test::WriteBytes(victims / "a", precious);
    test::WriteBytes(victims / "b", precious);

    const auto plant = [this](const std::string& name) {
        test::WriteBytes(outDir_ / name, {7, 7, 7});
        return outDir_ / name;
    };
    // Named as a run names its files; a name merely shaped like theirs is the user's own.
    const fs::path abandoned = plant(NewReplacementName());
    const fs::path held = plant(NewReplacementName());
    const std::string hardLink = NewReplacementName();
    const std::string link = NewReplacementName();
    const std::string folder = NewReplacementName();
    fs::create_hard_link(victims / "b", outDir_ / hardLink);
    fs::create_symlink(victims / "a", outDir_ / link);
    fs::create_directory(outDir_ / folder);
    const std::vector<std::string> notOurs = {
        ".tflux-krn-abc.tmp",      ".tflux-krn-ABCDEFGH.tmp", ".tflux-krn-abcdefgh.tmp",
        ".tflux-krn-zzzzzzzz.tmp", "tflux-krn-abcdefgh.tmp",  ".tflux-krn-abcdefgh.tmp.bak",
        ".tflux-krn-x.z64"};
    for (const std::string& name : notOurs) {
        plant(name);
    }
    // Named as ours are, but another user's: theirs, whoever runs the patch.
    const fs::path othersFile = plant(NewReplacementName());
    const bool givenAway = getuid() == 0 && ::chown(othersFile.c_str(), 65534, 65534) == 0;
    // A run still writing its file holds a lock on it.
    const int holder = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
    ::close(holder);

    const std::set<std::string> names = test::DirectoryNames(outDir_);
    EXPECT_FALSE(names.contains(abandoned.filename().string()));
    EXPECT_FALSE(names.contains(hardLink));  // only the name went
    EXPECT_TRUE(names.contains(held.filename().string()));
    EXPECT_TRUE(fs::is_symlink(outDir_ / link));
    EXPECT_TRUE(fs::is_directory(outDir_ / folder));
    for (const std::string& name : notOurs) {
        EXPECT_TRUE(names.contains(name)) << name;
    }
    EXPECT_EQ(names.contains(othersFile.filename().string()), givenAway);
    EXPECT_EQ(test::ReadBytes(victims / "a"), precious);
    EXPECT_EQ(test::ReadBytes(victims / "b"), precious);
    EXPECT_EQ(test::ReadBytes(held), (Bytes{7, 7, 7}));

    // Once its holder is gone, the held one goes too.
    ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
    EXPECT_FALSE(fs::exists(held));
}

TEST_F(TrustTest, AnInputOrOutputNamedLikeAnUnfinishedFileIsNeverTakenForOne) {
    const fs::path input = outDir_ / ".tflux-krn-myinput1.tmp";
    const fs::path output = outDir_ / ".tflux-krn-output12.tmp";
    fs::copy_file(input_, input);
    const Bytes old(10, 0x0F);
    test::WriteBytes(output, old);
    // A failed patch must find the old output where it was.
    test::FaultHook hook;
    hook.FailOps({IoOp::Rename});
    RomState state;
    state.Io = &hook;
    EXPECT_EQ(PatchRom(state, {input.string(), output.string(), payload_}).outcome,
              PatchOutcome::Failed);
    EXPECT_EQ(test::ReadBytes(output), old);
    EXPECT_EQ(test::ReadBytes(input), inputBytes_);
    RomState clean;
    EXPECT_EQ(PatchRom(clean, {input.string(), output.string(), payload_}).outcome,
              PatchOutcome::Success);
    EXPECT_EQ(test::ReadBytes(input), inputBytes_);
    EXPECT_EQ(test::DirectoryNames(outDir_),
              (std::set<std::string>{input.filename().string(), output.filename().string()}));
}

TEST_F(TrustTest, AFileTakenForAbandonedWhileBeingCreatedFailsThePatchCleanly) {
    const Bytes old{4, 5, 6};
    test::WriteBytes(output_, old);
    // Another run tidying the folder locks the new file before its creator can.
    struct Descriptor {
        int fd = -1;
        ~Descriptor() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } tidier;
    test::FaultHook hook;
    hook.OnEveryOp([&tidier](IoOp op, const fs::path& path) {
        if (op == IoOp::Open && IsPendingPath(path) && tidier.fd < 0) {
            tidier.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(::flock(tidier.fd, LOCK_EX | LOCK_NB), 0);
        }
    });
    const PatchResult result = Patch(&hook);
    ASSERT_GE(tidier.fd, 0) << "the new file is not locked by its creator";
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_NE(result.cause.find("another run is removing it"), std::string::npos) << result.cause;
    EXPECT_EQ(test::ReadBytes(output_), old);
    EXPECT_EQ(test::DirectoryNames(outDir_), std::set<std::string>{"game_krn.v64"});
}

// ---- the private temporary folder under attack ----

class TemporaryFolderTest : public TrustTest {
  protected:
    TemporaryFolderTest() {
        fs::create_directory(victims_);
        for (const char* name : {"a", "b", "c"}) {
            test::WriteBytes(victims_ / name, precious_);
        }
    }
    void ExpectVictimsUnharmed() const {
        EXPECT_EQ(test::DirectoryNames(victims_), (std::set<std::string>{"a", "b", "c"}));
        for (const char* name : {"a", "b", "c"}) {
            EXPECT_EQ(test::ReadBytes(victims_ / name), precious_) << name;
        }
    }
    void MakeTempDir() const {
        fs::create_directories(TempDir());
        fs::permissions(TempDir(), fs::perms::owner_all);
    }

    const fs::path victims_ = scratch_ / "victims";
    const Bytes precious_ = Bytes(64, 0xEE);
};

TEST_F(TemporaryFolderTest, LinksPlantedAtTheExtractedFilesAreReplacedNotWrittenThrough) {
    MakeTempDir();
    fs::create_symlink(victims_ / "a", TempDir() / "0.dat.exe");
    for (int track = 1; track <= kTrackCount; ++track) {
        const fs::path name = TempDir() / (std::to_string(track) + ".dat");
        if (track % 3 == 0) {
            fs::create_hard_link(victims_ / "b", name);
        } else if (track % 3 == 1) {
            fs::create_symlink(victims_ / "c", name);
        } else {
            fs::create_symlink(victims_ / ("new" + std::to_string(track)), name);  // dangling
        }
    }
    const PatchResult result = Patch();
    ASSERT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
    EXPECT_TRUE(test::ReadBytes(output_) == Expected());
    ExpectVictimsUnharmed();
    EXPECT_FALSE(fs::is_symlink(TempDir() / "0.dat.exe"));
    EXPECT_EQ(test::DirectoryNames(TempDir()), std::set<std::string>{"0.dat.exe"});
}

TEST_F(TemporaryFolderTest, ALinkAtTheContainerFileIsNeverWrittenThrough) {
    for (const std::string kind : {"symbolic", "dangling", "hard"}) {
        SCOPED_TRACE(kind);
        MakeTempDir();
        const fs::path carrier = TempDir() / kPayloadFileName;
        if (kind == "symbolic") {
            fs::create_symlink(victims_ / "a", carrier);
        } else if (kind == "dangling") {
            fs::create_symlink(victims_ / "d", carrier);
        } else {
            fs::create_hard_link(victims_ / "b", carrier);
        }
        const PatchResult result = Patch();
        ExpectVictimsUnharmed();
        if (result.outcome != PatchOutcome::Success) {
            // Refusing is sound too, as long as the message says what is in the way.
            EXPECT_EQ(result.outcome, PatchOutcome::Failed);
            EXPECT_NE(result.cause.find(carrier.string()), std::string::npos) << result.cause;
            EXPECT_NE(result.cause.find("link"), std::string::npos) << result.cause;
            EXPECT_FALSE(fs::exists(output_));
            fs::remove(carrier);
            ASSERT_EQ(Patch().outcome, PatchOutcome::Success);
        }
        EXPECT_TRUE(test::ReadBytes(output_) == Expected());
        EXPECT_TRUE(Pending(outDir_).empty());
        fs::remove(output_);
        fs::remove_all(TempDir());
    }
}

TEST_F(TemporaryFolderTest, AFolderInThePrivateFoldersPlaceIsRefusedWithTheReason) {
    struct Case {
        const char* what;
        std::function<void()> plant;
        const char* reason;
    };
    const fs::path tempDir = TempDir();
    const std::vector<Case> cases = {
        {"a link to another folder", [&] { fs::create_directory_symlink(victims_, tempDir); },
         "it is a symbolic link"},
        {"a dangling link", [&] { fs::create_directory_symlink(victims_ / "none", tempDir); },
         "it is a symbolic link"},
        {"a regular file", [&] { test::WriteBytes(tempDir, precious_); }, "it is not a folder"},
        {"another user's folder",
         [&] {
             fs::create_directory(tempDir);
             test::WriteBytes(tempDir / "Quintara.dat", precious_);
             ASSERT_EQ(::chown(tempDir.c_str(), 65534, 65534), 0);
         },
         "it belongs to another user; remove it, and the next run makes a private one"},
        {"a folder open to everyone",
         [&] {
             fs::create_directory(tempDir);
             test::WriteBytes(tempDir / "Quintara.dat", precious_);
             fs::permissions(tempDir, fs::perms::all);
         },
         "other users may use it (mode 0777); remove it, and the next run makes a private one"},
        {"a folder its group may write",
         [&] {
             fs::create_directory(tempDir);
             test::WriteBytes(tempDir / "Quintara.dat", precious_);
             fs::permissions(tempDir, fs::perms::owner_all | fs::perms::group_write);
         },
         "other users may use it (mode 0720); remove it, and the next run makes a private one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (getuid() != 0 && std::string(c.what) == "another user's folder") {
            continue;  // only root can give a folder away
        }
        c.plant();
        const PatchResult result = Patch();
        EXPECT_EQ(result.outcome, PatchOutcome::Failed);
        EXPECT_EQ(result.message, kUnknown);
        EXPECT_EQ(result.cause,
                  "refusing the temporary folder " + tempDir.string() + ": " + c.reason);
        EXPECT_TRUE(test::DirectoryNames(outDir_).empty());
        ExpectVictimsUnharmed();
        if (fs::is_directory(fs::symlink_status(tempDir))) {
            EXPECT_EQ(test::DirectoryNames(tempDir), std::set<std::string>{"Quintara.dat"});
            EXPECT_EQ(test::ReadBytes(tempDir / "Quintara.dat"), precious_);
            fs::remove_all(tempDir);
        } else if (fs::is_regular_file(fs::symlink_status(tempDir))) {
            EXPECT_EQ(test::ReadBytes(tempDir), precious_);
            fs::remove(tempDir);
        } else {
            fs::remove(tempDir);
        }
    }
}

TEST_F(TemporaryFolderTest, FilesKeptInThePrivateFolderAreNeitherInputNorOutput) {
    MakeTempDir();
    // An image kept under a name the extraction rewrites, reached directly or through a link.
    const fs::path kept = TempDir() / "5.dat";
    test::WriteBytes(kept, inputBytes_);
    fs::create_symlink(kept, scratch_ / "link.v64");
    const fs::path carrier = TempDir() / kPayloadFileName;
    test::WriteBytes(carrier, inputBytes_);
    for (const fs::path& in : {kept, scratch_ / "link.v64", carrier}) {
        RomState state;
        const PatchResult result = PatchRom(state, {in.string(), output_.string(), payload_});
        EXPECT_EQ(result.outcome, PatchOutcome::Refused) << in;
        EXPECT_EQ(result.message, "Invalid input ROM file") << in;
    }
    const Bytes old(100, 0x33);
    test::WriteBytes(TempDir() / "0.dat.exe", old);
    RomState state;
    const PatchResult result =
        PatchRom(state, {input_.string(), (TempDir() / "0.dat.exe").string(), payload_});
    EXPECT_EQ(result.message, "Invalid output file");
    EXPECT_EQ(test::ReadBytes(TempDir() / "0.dat.exe"), old);
    EXPECT_EQ(test::ReadBytes(kept), inputBytes_);
    EXPECT_EQ(test::ReadBytes(carrier), inputBytes_);
    EXPECT_FALSE(fs::exists(output_));
}

// A file planted while the folder was open to others, and held open by its planter, must never
// receive the container: the folder is refused, and is left for its owner to remove.
TEST_F(TemporaryFolderTest, AnOpenedUpPrivateFolderIsRefusedAndNothingPlantedReceivesData) {
    MakeTempDir();
    fs::permissions(TempDir(), fs::perms::all);
    const fs::path planted = TempDir() / kPayloadFileName;
    test::WriteBytes(planted, {});
    const int held = ::open(planted.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const PatchResult result = Patch();
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_NE(result.cause.find("remove it"), std::string::npos) << result.cause;
    struct stat st {};
    ASSERT_EQ(::fstat(held, &st), 0);
    EXPECT_EQ(st.st_size, 0) << "the held file received the container";
    ::close(held);
    EXPECT_EQ(fs::status(TempDir()).permissions() & fs::perms::all, fs::perms::all);
    fs::remove_all(TempDir());
    ASSERT_EQ(Patch().outcome, PatchOutcome::Success);  // the fix the cause names works
    EXPECT_EQ(fs::status(TempDir()).permissions() & fs::perms::all, fs::perms::owner_all);
}

// The folder is swapped with a link to somebody else's folder at every operation once it is
// open: what the patch does still happens in the folder it checked, and nothing of theirs is
// written, read or removed.
TEST_F(TemporaryFolderTest, SwappingTheFolderForALinkDuringPatchesChangesNothingWeDo) {
    for (const char* name : {"1.dat", "6.dat", "13.dat", "24.dat", "0.dat.exe"}) {
        test::WriteBytes(victims_ / name, precious_);
    }
    const std::set<std::string> victimNames = test::DirectoryNames(victims_);
    const fs::path link = scratch_ / "tmp" / "swap";
    fs::create_directory_symlink(victims_, link);
    constexpr int kPatches = 4;
    for (int run = 0; run < kPatches; ++run) {
        SCOPED_TRACE(run);
        MakeTempDir();
        bool opened = false;
        int swaps = 0;
        test::FaultHook swapper;
        // From the operation after the folder's opening, which is announced before it is done.
        swapper.OnEveryOp([&](IoOp op, const fs::path& path) {
            const bool armed = opened;
            opened = opened || (op == IoOp::Open && path == TempDir());
            if (armed && ::renameat2(AT_FDCWD, TempDir().c_str(), AT_FDCWD, link.c_str(),
                                     RENAME_EXCHANGE) == 0) {
                ++swaps;
            }
        });
        const PatchResult result = Patch(&swapper);
        if (swaps % 2 != 0) {
            ASSERT_EQ(
                ::renameat2(AT_FDCWD, TempDir().c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE),
                0);
        }
        EXPECT_GT(swaps, 50);
        ASSERT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
        EXPECT_TRUE(test::ReadBytes(output_) == Expected());
        EXPECT_EQ(test::DirectoryNames(victims_), victimNames);
        for (const std::string& name : victimNames) {
            EXPECT_EQ(test::ReadBytes(victims_ / name), precious_) << name;
        }
        EXPECT_TRUE(fs::is_symlink(link));
        ExpectOnlyPayloadFilesInTheTemporaryFolder();
    }
    // Swapped once between its check and its opening, it is refused, and nothing is done.
    test::FaultHook swapper;
    swapper.OnEveryOp([&](IoOp op, const fs::path& path) {
        if (op == IoOp::Open && path == TempDir()) {
            ASSERT_EQ(
                ::renameat2(AT_FDCWD, TempDir().c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE),
                0);
        }
    });
    const PatchResult result = Patch(&swapper);
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_EQ(result.cause, "refusing the temporary folder " + TempDir().string() +
                                ": it was replaced while it was checked");
    EXPECT_EQ(test::DirectoryNames(victims_), victimNames);
}

// Patches that share the temporary folder must not use each other's extracted records.
TEST_F(TrustTest, PatchesSharingTheTemporaryFolderTakeTurns) {
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 1; i <= kTrackCount; ++i) {
        records.push_back(test::MakeTrackRecord("Other " + std::to_string(i), "Sub", 2, {{3, 1.5f}},
                                                static_cast<std::uint32_t>(i + 99)));
    }
    test::WriteContainer(scratch_ / "other.dat", {0x7F, 'E', 'L', 'F'}, records);
    const std::array<Bytes, 2> payloads = {BuiltInContainer(),
                                           test::ReadBytes(scratch_ / "other.dat")};
    std::array<Bytes, 2> expected;
    for (std::size_t p = 0; p < payloads.size(); ++p) {
        RomState state;
        const fs::path out = scratch_ / ("expected" + std::to_string(p));
        ASSERT_EQ(PatchRom(state, {input_.string(), out.string(), payloads[p]}).outcome,
                  PatchOutcome::Success);
        expected[p] = test::ReadBytes(out);
    }
    ASSERT_NE(expected[0], expected[1]);

    constexpr int kRuns = 6;
    std::array<PatchResult, kRuns> results;
    std::vector<std::thread> runs;
    for (int i = 0; i < kRuns; ++i) {
        runs.emplace_back([&, i] {
            RomState state;
            const fs::path out = outDir_ / ("run" + std::to_string(i) + ".v64");
            results[static_cast<std::size_t>(i)] = PatchRom(
                state, {input_.string(), out.string(), payloads[static_cast<std::size_t>(i % 2)]});
        });
    }
    for (std::thread& run : runs) {
        run.join();
    }
    for (int i = 0; i < kRuns; ++i) {
        SCOPED_TRACE(i);
        const PatchResult& result = results[static_cast<std::size_t>(i)];
        ASSERT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
        EXPECT_TRUE(test::ReadBytes(outDir_ / ("run" + std::to_string(i) + ".v64")) ==
                    expected[static_cast<std::size_t>(i % 2)]);
    }
}

// An input cut short or rewritten between its identification and its copy fails the patch; the
// copy never passes off part of an image, or another image, as the one identified.
TEST_F(TrustTest, AnInputThatChangesWhileItIsCopiedFailsThePatch) {
    const struct {
        const char* what;
        std::function<void()> change;
    } cases[] = {
        {"cut to 8 MiB", [&] { fs::resize_file(input_, kRomSize / 2); }},
        {"rewritten in place",
         [&] {
             const struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, input_.c_str(), times, 0), 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::WriteBytes(input_, inputBytes_);
        test::FaultHook hook;
        hook.OnEveryOp([&](IoOp op, const fs::path&) {
            if (op == IoOp::Copy) {
                c.change();
            }
        });
        const PatchResult result = Patch(&hook);
        EXPECT_EQ(result.outcome, PatchOutcome::Failed);
        EXPECT_EQ(result.message, kUnknown);
        EXPECT_EQ(result.cause, "the input changed while it was read");
        EXPECT_TRUE(test::DirectoryNames(outDir_).empty());
    }
}

// Every reader that looks at a file first and reads it afterwards fails when the file grows or
// is rewritten in between, even when the rewriter puts its modification time back.
TEST_F(TrustTest, EveryReaderThatChecksThenReadsFailsWhenTheFileChangesMeanwhile) {
    const auto grow = [this] { fs::resize_file(input_, kRomSize + 1); };
    const auto rewriteAndPutTimeBack = [this] {
        struct stat before {};
        ASSERT_EQ(::stat(input_.c_str(), &before), 0);
        // Past the coarse clock's tick, so that the change time can differ from the last one.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const int fd = ::open(input_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::uint8_t other = static_cast<std::uint8_t>(~inputBytes_[0x2000]);
        ASSERT_EQ(::pwrite(fd, &other, 1, 0x2000), 1);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    };
    const struct {
        const char* what;
        std::function<void(IoHook*)> read;
    } readers[] = {
        {"checksum",
         [&](IoHook* hook) {
             VerifyChecksum(File::Open(input_, OpenMode::Read, Links::Follow, hook));
         }},
        {"image tracks", [&](IoHook* hook) { ReadImageTracks(input_.string(), hook); }},
        {"whole file", [&](IoHook* hook) { ReadWholeFile(input_, 2 * kRomSize, hook); }},
        {"hashes", [&](IoHook* hook) { HashImageFile(input_, ImageOrder::V64, hook); }},
        {"identify, then hashes",
         [&](IoHook* hook) {
             RomState state;
             state.Io = hook;
             ASSERT_TRUE(CheckInput(state, input_.string()).accepted);
             HashImageFile(input_, state.Order(), nullptr, &state.RomStamp);
         }},
        {"patch",
         [&](IoHook* hook) {
             const PatchResult result = Patch(hook);
             if (result.outcome != PatchOutcome::Success) {
                 throw EngineError(result.cause);
             }
         }},
    };
    const struct {
        const char* what;
        std::function<void()> change;
    } changes[] = {{"unchanged", nullptr}, {"grown", grow}, {"rewritten", rewriteAndPutTimeBack}};
    for (const auto& reader : readers) {
        for (const auto& change : changes) {
            SCOPED_TRACE(std::string(reader.what) + ", " + change.what);
            test::WriteBytes(input_, inputBytes_);
            fs::remove(output_);
            bool changed = false;
            test::FaultHook hook;
            // At the first read of the input, or the copy of it: after it was looked at.
            hook.OnEveryOp([&](IoOp op, const fs::path& path) {
                const bool reads = (op == IoOp::Read && path == input_) || op == IoOp::Copy;
                if (reads && change.change && !changed) {
                    changed = true;
                    change.change();
                }
            });
            std::string failure;
            try {
                reader.read(&hook);
            } catch (const EngineError& e) {
                failure = e.what();
            }
            if (change.change == nullptr) {
                EXPECT_EQ(failure, "");
            } else {
                EXPECT_TRUE(changed);
                EXPECT_NE(failure.find("the input changed while it was read"), std::string::npos)
                    << failure;
                EXPECT_FALSE(fs::exists(output_));
            }
        }
    }
}

// The replacement is durable only in this order: the new file's data on disk, then the rename,
// then the folder that holds the new name.
TEST_F(TrustTest, TheOutputIsFlushedThenRenamedThenItsFolderFlushed) {
    const auto expectOrder = [](const test::FaultHook& hook, const fs::path& target) {
        int data = -1;
        int renamed = -1;
        int folder = -1;
        fs::path pending;
        for (int i = 0; i < hook.Count(); ++i) {
            const test::SeenOp& op = hook.Ops()[static_cast<std::size_t>(i)];
            if (op.op == IoOp::Create && test::IsPendingName(op.path.filename().string())) {
                pending = op.path;
            }
            if (op.op == IoOp::Sync && op.path == pending && renamed < 0) {
                data = i;
            }
            if (op.op == IoOp::Rename && op.path == target) {
                renamed = i;
            }
            if (op.op == IoOp::Sync && op.path == target.parent_path() && renamed >= 0) {
                folder = i;
            }
        }
        EXPECT_GE(data, 0) << "the new file's data is never flushed before the rename";
        EXPECT_GT(renamed, data);
        EXPECT_GT(folder, renamed) << "the folder is not flushed after the rename";
    };
    {
        SCOPED_TRACE("the patch");
        test::FaultHook hook;
        ASSERT_EQ(Patch(&hook).outcome, PatchOutcome::Success);
        expectOrder(hook, output_);
    }
    {
        SCOPED_TRACE("WriteFileWhole");
        test::FaultHook hook;
        WriteFileWhole(outDir_ / "whole.bin", inputBytes_, &hook);
        expectOrder(hook, outDir_ / "whole.bin");
    }
    {
        // Whatever the filling left unflushed, in the folder or below it, is flushed before the
        // folder is renamed into place, and the folder above it after.
        SCOPED_TRACE("WriteFolderWhole");
        const fs::path target = outDir_ / "folder";
        test::FaultHook hook;
        WriteFolderWhole(
            target,
            [&](const fs::path& work) {
                fs::create_directory(work / "sub");
                for (const fs::path& name : {work / "a", work / "sub" / "b"}) {
                    File file = File::Open(name, OpenMode::CreateExclusive, Links::NoFollow, &hook);
                    file.WriteAt(0, inputBytes_);
                    file.Close();
                }
            },
            &hook);
        const std::vector<test::SeenOp>& ops = hook.Ops();
        const auto at = [&](IoOp op, const fs::path& path) {
            const auto found = std::find(ops.begin(), ops.end(), test::SeenOp{op, path});
            return found == ops.end() ? -1 : static_cast<int>(found - ops.begin());
        };
        const int renamed = at(IoOp::Rename, target);
        ASSERT_GE(renamed, 0);
        const std::vector<fs::path> created = hook.PathsOf({IoOp::Create});
        ASSERT_EQ(created.size(), 2u);
        const fs::path work = created.front().parent_path();
        for (const fs::path& flushed : {created[0], created[1], created[1].parent_path(), work}) {
            SCOPED_TRACE(flushed.string());
            EXPECT_GE(at(IoOp::Sync, flushed), 0) << "never flushed";
            EXPECT_LT(at(IoOp::Sync, flushed), renamed);
        }
        EXPECT_LT(at(IoOp::Sync, work / "a"), at(IoOp::Sync, work)) << "the folder before its file";
        const auto last = std::find(ops.rbegin(), ops.rend(), test::SeenOp{IoOp::Sync, outDir_});
        ASSERT_NE(last, ops.rend()) << "the folder above is not flushed";
        EXPECT_GT(static_cast<int>(ops.rend() - last) - 1, renamed);
        EXPECT_EQ(test::DirectoryNames(target), (std::set<std::string>{"a", "sub"}));
    }
}

}  // namespace
}  // namespace tflux
