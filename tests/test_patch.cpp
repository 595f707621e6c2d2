#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <set>

#include "app/patch.h"
#include "payload/builtin_payload.h"
#include "payload/container.h"
#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/identify.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

// A copy of the container the programs carry, for runs that patch with it.
std::vector<std::uint8_t> BuiltInContainer() {
    const auto bytes = BuiltInPayload();
    return {bytes.begin(), bytes.end()};
}

namespace fs = std::filesystem;

class PatchTest : public ::testing::Test {
  protected:
    PatchTest() : tmp_(scratch_ / "tmp") {
        input_ = scratch_ / "game.z64";
        WriteSampleImage(input_, {'E', false, 7});
        inputBytes_ = test::ReadBytes(input_);
    }

    PatchResult Patch(const fs::path& in, const fs::path& out, IoHook* hook = nullptr) {
        RomState state;
        state.Io = hook;
        return PatchRom(state, {in.string(), out.string(), payload_});
    }

    fs::path TempDir() const {
#ifdef _WIN32
        return scratch_ / "tmp";
#else
        return scratch_ / "tmp" / ("tflux-krn-" + std::to_string(getuid()));
#endif
    }

    std::set<std::string> Names(const fs::path& dir) const {
        return test::DirectoryNames(dir);
    }

    void ExpectInputUnharmed() const {
        EXPECT_EQ(test::ReadBytes(input_), inputBytes_);
    }

    test::ScratchDir scratch_;
    test::TempDirOverride tmp_;
    fs::path input_;
    std::vector<std::uint8_t> inputBytes_;
    std::vector<std::uint8_t> payload_ = BuiltInContainer();
};

TEST_F(PatchTest, SucceedsAndLeavesOnlyTheUpdaterInTheTemporaryFolder) {
    const fs::path out = scratch_ / "game_krn.z64";
    const PatchResult result = Patch(input_, out);
    ASSERT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
    EXPECT_EQ(result.message, "Patch successful.");
    ExpectInputUnharmed();
    EXPECT_EQ(Names(TempDir()), std::set<std::string>{"0.dat.exe"});
    EXPECT_EQ(Names(scratch_.path()), (std::set<std::string>{"game.z64", "game_krn.z64", "tmp"}));

    File patched = File::Open(out, OpenMode::Read);
    const ChecksumReport report = VerifyChecksum(patched);
    EXPECT_EQ(report.stored, report.computed);
    RomState state;
    EXPECT_EQ(CheckInput(state, out.string()).text, "File Error: Not T-Flux X")
        << "a patched image carries the new name, which is not patched again";
}

TEST_F(PatchTest, ReplacesAnExistingOutputAndKeepsItsPermissions) {
    const fs::path out = scratch_ / "out.z64";
    test::WriteBytes(out, {1, 2, 3});
#ifdef _WIN32
    ASSERT_TRUE(SetFileAttributesW(out.c_str(), FILE_ATTRIBUTE_HIDDEN));
#else
    fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
    ASSERT_EQ(Patch(input_, out).outcome, PatchOutcome::Success);
    EXPECT_EQ(fs::file_size(out), kRomSize);
#ifdef _WIN32
    EXPECT_NE(GetFileAttributesW(out.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
#else
    EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
#endif
}

TEST_F(PatchTest, RefusalsLeaveInputAndExistingOutputAlone) {
    const fs::path out = scratch_ / "keep.z64";
    const std::vector<std::uint8_t> old = {9, 8, 7, 6};
    test::WriteBytes(out, old);

    const PatchResult missing = Patch(scratch_ / "missing.z64", out);
    EXPECT_EQ(missing.outcome, PatchOutcome::Refused);
    EXPECT_EQ(missing.message, "Invalid input ROM file");
    // The payload is extracted before any check.
    EXPECT_EQ(Names(TempDir()).size(), 25u);

    const fs::path wrong = scratch_ / "wrong.z64";
    auto bytes = inputBytes_;
    bytes[0x20] = 'X';
    test::WriteBytes(wrong, bytes);
    const PatchResult notGame = Patch(wrong, out);
    EXPECT_EQ(notGame.outcome, PatchOutcome::Refused);
    EXPECT_EQ(notGame.message, "Not T-Flux X");

    const fs::path region = scratch_ / "region.z64";
    WriteSampleImage(region, {'U', false, 3});
    EXPECT_EQ(Patch(region, out).message, "Bad ROM region code");

    EXPECT_EQ(test::ReadBytes(out), old) << "an existing output was harmed by a refused patch";
    EXPECT_EQ(test::ReadBytes(wrong), bytes);
    ExpectInputUnharmed();
}

TEST_F(PatchTest, RefusalsCarryTheirCause) {
    const fs::path out = scratch_ / "out.z64";
    PatchResult result = Patch(scratch_ / "missing.z64", out);
    EXPECT_EQ(result.message, "Invalid input ROM file");
    EXPECT_NE(result.cause.find((scratch_ / "missing.z64").string()), std::string::npos)
        << result.cause;
    result = Patch(input_, scratch_ / "no" / "out.z64");
    EXPECT_EQ(result.message, "Invalid output file");
    EXPECT_TRUE(result.cause.starts_with((scratch_ / "no").string() + ": ")) << result.cause;
    fs::create_directory(scratch_ / "folder");
    EXPECT_EQ(Patch(input_, scratch_ / "folder").cause,
              (scratch_ / "folder").string() + " is a folder");
    EXPECT_EQ(Patch(input_, "").cause, "no output file was named");
    EXPECT_EQ(Patch(input_, input_).cause,
              input_.string() + " and " + input_.string() + " are one file");
    const fs::path region = scratch_ / "region.z64";
    WriteSampleImage(region, {'U', false, 3});
    result = Patch(region, out);
    EXPECT_EQ(result.cause, "region letter is 'U'");
    EXPECT_FALSE(result.outputIsGameImage);

    std::string cause;
    EXPECT_EQ(CheckFile(input_.string(), (scratch_ / "folder").string(), nullptr, &cause),
              "Invalid output file");
    EXPECT_EQ(cause, (scratch_ / "folder").string() + " is a folder");
    cause = "untouched";
    EXPECT_EQ(CheckFile(input_.string(), out.string(), nullptr, &cause), "");
    EXPECT_EQ(cause, "untouched");
    EXPECT_FALSE(fs::exists(out));
}

// An unpatched image at the output may be the user's only dump of the game.
TEST_F(PatchTest, AnUnpatchedImageAtTheOutputIsReplacedOnlyWhenAsked) {
    const fs::path dump = scratch_ / "dump.v64";
    WriteSampleImage(dump, {'J', true, 9});
    const auto dumpBytes = test::ReadBytes(dump);
    RomState state;
    PatchRequest request{input_.string(), dump.string(), payload_};
    PatchResult result = PatchRom(state, request);
    EXPECT_EQ(result.outcome, PatchOutcome::Refused);
    EXPECT_EQ(result.message, "Invalid output file");
    EXPECT_EQ(result.cause, dump.string() + " is an unpatched image of T-Flux X");
    EXPECT_TRUE(result.outputIsGameImage);
    EXPECT_FALSE(state.RomFile.IsOpen());
    EXPECT_TRUE(test::ReadBytes(dump) == dumpBytes);
    ExpectInputUnharmed();

    // Through a link, the file it names is what is protected.
#ifndef _WIN32
    const fs::path link = scratch_ / "link.v64";
    fs::create_symlink(dump, link);
    EXPECT_TRUE(Patch(input_, link).outputIsGameImage);
    EXPECT_TRUE(test::ReadBytes(dump) == dumpBytes);
#endif

    request.replaceGameImage = true;
    result = PatchRom(state, request);
    ASSERT_EQ(result.outcome, PatchOutcome::Success) << result.cause;
    EXPECT_FALSE(result.outputIsGameImage);
    EXPECT_EQ(test::ReadBytes(dump).size(), kRomSize);
    EXPECT_FALSE(IsUnpatchedImage(dump.string()));
    // Once patched it is replaced like any other file.
    EXPECT_EQ(Patch(input_, dump).outcome, PatchOutcome::Success);
}

TEST_F(PatchTest, UnusableOutputPathsAreInvalidOutput) {
    EXPECT_EQ(Patch(input_, scratch_ / "no" / "such" / "out.z64").message, "Invalid output file");
    fs::create_directory(scratch_ / "folder");
    EXPECT_EQ(Patch(input_, scratch_ / "folder").message, "Invalid output file");
    EXPECT_EQ(Patch(input_, "").message, "Invalid output file");
    // Both bad: the input is named first.
    EXPECT_EQ(Patch(scratch_ / "none", scratch_ / "no" / "out").message, "Invalid input ROM file");
    ExpectInputUnharmed();
    EXPECT_TRUE(fs::is_directory(scratch_ / "folder"));
#ifndef _WIN32
    // A folder that may be written but not listed is refused before the work, not after it.
    if (geteuid() != 0) {
        fs::create_directory(scratch_ / "unlisted");
        fs::permissions(scratch_ / "unlisted", fs::perms::owner_write | fs::perms::owner_exec);
        const PatchResult result = Patch(input_, scratch_ / "unlisted" / "out.z64");
        fs::permissions(scratch_ / "unlisted", fs::perms::owner_all);
        EXPECT_EQ(result.outcome, PatchOutcome::Refused);
        EXPECT_EQ(result.message, "Invalid output file");
        EXPECT_TRUE(fs::is_empty(scratch_ / "unlisted"));
    }
#endif
}

TEST_F(PatchTest, AnOutputThatIsTheInputIsRefusedHoweverItIsSpelled) {
    std::vector<fs::path> spellings = {input_, scratch_ / "." / "game.z64"};
    std::error_code noLinks;
    fs::create_symlink(input_, scratch_ / "link.z64", noLinks);
    if (!noLinks) {
        spellings.push_back(scratch_ / "link.z64");
    }
    std::error_code noHardLinks;
    fs::create_hard_link(input_, scratch_ / "hard.z64", noHardLinks);
    if (!noHardLinks) {
        spellings.push_back(scratch_ / "hard.z64");
    }
#ifndef _WIN32
    ASSERT_FALSE(noLinks) << noLinks.message();
    ASSERT_FALSE(noHardLinks) << noHardLinks.message();
#else
    spellings.push_back(scratch_ / "GAME.Z64");  // names do not differ by case here
    spellings.push_back(fs::path(input_.string() + "."));
#endif
    for (const fs::path& out : spellings) {
        const PatchResult result = Patch(input_, out);
        EXPECT_EQ(result.outcome, PatchOutcome::Refused) << out;
        EXPECT_EQ(result.message, "The output file must not be the input ROM file.") << out;
    }
    ExpectInputUnharmed();
    EXPECT_EQ(fs::is_symlink(scratch_ / "link.z64"), !noLinks);
}

TEST_F(PatchTest, AnOutputLinkReplacesTheFileItPointsTo) {
    const fs::path target = scratch_ / "target.z64";
    test::WriteBytes(target, {1});
    std::error_code ec;
    fs::create_symlink(target, scratch_ / "out.z64", ec);
    if (ec) {
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    }
    ASSERT_EQ(Patch(input_, scratch_ / "out.z64").outcome, PatchOutcome::Success);
    EXPECT_TRUE(fs::is_symlink(scratch_ / "out.z64"));
    EXPECT_EQ(fs::file_size(target), kRomSize);
}

TEST_F(PatchTest, CheckFileNeverEmptiesAnExistingOutput) {
    const fs::path out = scratch_ / "existing.z64";
    test::WriteBytes(out, {1, 2, 3});
    EXPECT_EQ(CheckFile(input_.string(), out.string()), "");
    EXPECT_EQ(test::ReadBytes(out), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(Names(scratch_.path()), (std::set<std::string>{"existing.z64", "game.z64", "tmp"}));
}

TEST_F(PatchTest, AFailureAtAnyFileOperationLosesNothing) {
    const fs::path out = scratch_ / "out.z64";
    const std::vector<std::uint8_t> old(1000, 0x5A);
    test::FaultHook counter;
    ASSERT_EQ(Patch(input_, out, &counter).outcome, PatchOutcome::Success);
    ASSERT_GT(counter.Count(), 60);

    int failures = 0;
    int refusals = 0;
    int unflushed = 0;
    for (int n = 1; n <= counter.Count(); ++n) {
        test::WriteBytes(out, old);
        test::FaultHook hook;
        hook.FailAt(n);
        const PatchResult result = Patch(input_, out, &hook);
        ASSERT_FALSE(hook.Cause().empty()) << "operation " << n << " was not reached";
        if (result.outcome == PatchOutcome::Success) {
            // Only flushing the folder after the rename may fail without failing the patch, and
            // the result still says so.
            ++unflushed;
            EXPECT_NE(result.warning.find(hook.Cause()), std::string::npos) << result.warning;
            File patched = File::Open(out, OpenMode::Read);
            const ChecksumReport report = VerifyChecksum(patched);
            EXPECT_EQ(report.stored, report.computed) << hook.Failed();
            continue;
        }
        if (result.outcome == PatchOutcome::Failed) {
            ++failures;
            EXPECT_EQ(result.message,
                      "An unknown error occured.\nRebooting may solve the problem.");
        } else {
            ++refusals;  // a check that could not look: the input or the output is refused
        }
        EXPECT_NE(result.cause.find(hook.Cause()), std::string::npos) << result.cause;
        EXPECT_EQ(test::ReadBytes(out), old) << "output harmed by a failure at " << hook.Failed();
        EXPECT_EQ(Names(scratch_.path()), (std::set<std::string>{"game.z64", "out.z64", "tmp"}))
            << "left behind after a failure at " << hook.Failed();
    }
    EXPECT_EQ(failures + refusals + unflushed, counter.Count());
    EXPECT_LE(unflushed, 1);
    EXPECT_GE(failures, counter.Count() - 20);
    ExpectInputUnharmed();
    // And the next run, without the fault, succeeds.
    ASSERT_EQ(Patch(input_, out).outcome, PatchOutcome::Success);
}

TEST_F(PatchTest, ADamagedPayloadFailsBeforeAnyOutputIsWritten) {
    const fs::path out = scratch_ / "out.z64";
    payload_ = std::vector<std::uint8_t>(500, 0);  // no magic
    PatchResult result = Patch(input_, out);
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_FALSE(result.cause.empty());
    EXPECT_FALSE(fs::exists(out));

    // A track record that is too short.
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 1; i <= 24; ++i) {
        records.push_back(test::MakeTrackRecord("T" + std::to_string(i), "S", 1, {{1, 2.0f}},
                                                static_cast<std::uint32_t>(i)));
    }
    records[4].resize(2000);
    const fs::path container = scratch_ / "short.dat";
    test::WriteContainer(container, {0x7F, 'E', 'L', 'F'}, records);
    payload_ = test::ReadBytes(container);
    result = Patch(input_, out);
    EXPECT_EQ(result.outcome, PatchOutcome::Failed);
    EXPECT_NE(result.cause.find("entry 5 has 2000 bytes"), std::string::npos) << result.cause;
    EXPECT_FALSE(fs::exists(out));
    ExpectInputUnharmed();
}

TEST(DeriveOutputPath, InsertsBeforeTheFileNamesExtensionOnly) {
    EXPECT_EQ(DeriveOutputPath("/roms/game.z64"), "/roms/game_krn.z64");
    EXPECT_EQ(DeriveOutputPath("/my.roms/game.z64"), "/my.roms/game_krn.z64");
    EXPECT_EQ(DeriveOutputPath("/roms/game"), "/roms/game_krn");
    EXPECT_EQ(DeriveOutputPath("/my.roms/game"), "/my.roms/game_krn");
    EXPECT_EQ(DeriveOutputPath("game.v1.v64"), "game.v1_krn.v64");
    EXPECT_EQ(DeriveOutputPath("game.z64"), "game_krn.z64");
}

}  // namespace
}  // namespace tflux
