#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>

#include "rom/errors.h"
#include "rom/identify.h"
#include "support/test_util.h"

namespace tflux {
namespace {

namespace fs = std::filesystem;

// A sparse image of `size` bytes with the given header text at 0x20 and region bytes.
fs::path MakeImage(const test::ScratchDir& dir, const std::string& name, std::uint64_t size,
                   const std::string& header, char at3E, char at3F = 0) {
    const fs::path path = dir / name;
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(0x20);
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
        out.seekp(0x3E);
        out.put(at3E);
        out.put(at3F);
    }
    fs::resize_file(path, size);
    return path;
}

const std::string kZ64 = "T-FLUX X            ";
const std::string kV64 = "-TLFXUX             ";

TEST(IdentifyRom, AcceptsEachRegionInEitherOrder) {
    test::ScratchDir dir;
    RomState state;
    for (const char region : {'E', 'J', 'P'}) {
        const auto z64 = MakeImage(dir, "z.z64", kRomSize, kZ64, region);
        EXPECT_EQ(IdentifyRom(state, z64.string()), kRomOk);
        EXPECT_TRUE(state.RomFile.IsOpen());
        EXPECT_EQ(state.RegionCode, std::string(1, region));
        EXPECT_FALSE(state.IsByteSwapped);
        CloseRom(state);
        // V64 reads the letter at 0x3F and ignores 0x3E.
        const auto v64 = MakeImage(dir, "v.v64", kRomSize, kV64, 'X', region);
        EXPECT_EQ(IdentifyRom(state, v64.string()), kRomOk);
        EXPECT_EQ(state.RegionCode, std::string(1, region));
        EXPECT_TRUE(state.IsByteSwapped);
        CloseRom(state);
    }
}

TEST(IdentifyRom, WrongSizeOrNameIsNotTheGame) {
    test::ScratchDir dir;
    RomState state;
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "a", kRomSize - 1, kZ64, 'E').string()), 2);
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "b", kRomSize + 1, kZ64, 'E').string()), 2);
    EXPECT_EQ(
        IdentifyRom(state, MakeImage(dir, "c", kRomSize, "t-flux x            ", 'E').string()), 2);
    EXPECT_EQ(
        IdentifyRom(state, MakeImage(dir, "d", kRomSize, "T-FLUX XYZABCDEFGHIJ", 'E').string()), 2);
    CloseRom(state);
}

TEST(IdentifyRom, BadRegionKeepsTheLetterRead) {
    test::ScratchDir dir;
    RomState state;
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "e", kRomSize, kZ64, 'e').string()), 3);
    EXPECT_EQ(state.RegionCode, "e");
    EXPECT_FALSE(state.IsByteSwapped);
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "u", kRomSize, kZ64, 'U').string()), 3);
    EXPECT_EQ(state.RegionCode, "U");
    CloseRom(state);
}

TEST(IdentifyRom, EarlyFailuresKeepTheLastIdentification) {
    test::ScratchDir dir;
    RomState state;
    ASSERT_EQ(IdentifyRom(state, MakeImage(dir, "v", kRomSize, kV64, 0, 'P').string()), 0);
    EXPECT_EQ(IdentifyRom(state, (dir / "missing").string()), 1);
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "s", 100, kZ64, 'E').string()), 2);
    EXPECT_EQ(
        IdentifyRom(state, MakeImage(dir, "n", kRomSize, "OTHER GAME          ", 'E').string()), 2);
    EXPECT_TRUE(state.IsByteSwapped);
    EXPECT_EQ(state.RegionCode, "P");
    CloseRom(state);
}

TEST(IdentifyRom, UnreadablePathsAreAccessErrorsAndCreateNothing) {
    test::ScratchDir dir;
    RomState state;
    EXPECT_EQ(IdentifyRom(state, (dir / "missing.z64").string()), 1);
    EXPECT_FALSE(fs::exists(dir / "missing.z64"));
    EXPECT_FALSE(state.RomFile.IsOpen());
    EXPECT_EQ(IdentifyRom(state, ""), 1);
    EXPECT_EQ(IdentifyRom(state, dir.path().string()), 1);
#ifdef _WIN32
    EXPECT_EQ(IdentifyRom(state, "NUL"), 1);
#else
    // A FIFO with no writer would block a plain open for reading.
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(IdentifyRom(state, fifo.string()), 1);
    EXPECT_EQ(IdentifyRom(state, "/dev/zero"), 1);
#endif
}

// The cause says what was found instead of the game, in words a person can check.
TEST(IdentifyRom, SaysWhyItRefuses) {
    test::ScratchDir dir;
    RomState state;
    std::string cause;
    const auto identify = [&](const fs::path& path) {
        cause.clear();
        const std::int16_t code = IdentifyRom(state, path.string(), &cause);
        CloseRom(state);
        return code;
    };
    const fs::path small = MakeImage(dir, "small", 4096, kZ64, 'E');
    EXPECT_EQ(identify(small), kRomNotTFlux);
    EXPECT_EQ(cause, small.string() + " is 4,096 bytes, not 16,777,216");
    const fs::path big = MakeImage(dir, "big", kRomSize + 1, kZ64, 'E');
    EXPECT_EQ(identify(big), kRomNotTFlux);
    EXPECT_EQ(cause, big.string() + " is 16,777,217 bytes, not 16,777,216");

    // The patched name in either byte order, padded with spaces or NULs.
    EXPECT_EQ(identify(MakeImage(dir, "k", kRomSize, "T-FLUX KRN          ", 'E')), kRomNotTFlux);
    EXPECT_EQ(cause, "internal name is \"T-FLUX KRN\": this image has already been patched");
    EXPECT_EQ(identify(MakeImage(dir, "kv", kRomSize, "-TLFXUK NR          ", 0, 'E')),
              kRomNotTFlux);
    EXPECT_EQ(cause, "internal name is \"T-FLUX KRN\": this image has already been patched");
    EXPECT_EQ(identify(MakeImage(dir, "o", kRomSize, std::string("OTHER\tGAME\xE9\0\0 ", 14), 'E')),
              kRomNotTFlux);
    EXPECT_EQ(cause, "internal name is \"OTHER\\x09GAME\\xE9\", not \"T-FLUX X\"");
    EXPECT_EQ(identify(MakeImage(dir, "blank", kRomSize, "", 'E')), kRomNotTFlux);
    EXPECT_EQ(cause, "internal name is \"\", not \"T-FLUX X\"");
    // "KRN" padded differently is some other image, not a patched one.
    EXPECT_EQ(identify(MakeImage(dir, "k2", kRomSize, "T-FLUX KRN 2        ", 'E')), kRomNotTFlux);
    EXPECT_EQ(cause, "internal name is \"T-FLUX KRN 2\", not \"T-FLUX X\"");

    EXPECT_EQ(identify(MakeImage(dir, "u", kRomSize, kZ64, 'U')), kRomBadRegion);
    EXPECT_EQ(cause, "region letter is 'U'");
    EXPECT_EQ(identify(MakeImage(dir, "v", kRomSize, kV64, 'E', '\0')), kRomBadRegion);
    EXPECT_EQ(cause, "region letter is '\\x00'");

    EXPECT_EQ(identify(dir / "missing.z64"), kRomAccessError);
    EXPECT_NE(cause.find((dir / "missing.z64").string()), std::string::npos) << cause;
    EXPECT_EQ(identify(dir.path()), kRomAccessError);
    EXPECT_EQ(cause, dir.path().string() + " is a folder");

    // Accepted: no cause, and the caller's string is left alone.
    cause = "untouched";
    EXPECT_EQ(IdentifyRom(state, MakeImage(dir, "e", kRomSize, kZ64, 'E').string(), &cause),
              kRomOk);
    CloseRom(state);
    EXPECT_EQ(cause, "untouched");
}

TEST(UnreadableCause, NamesThePathAndTheReason) {
    test::ScratchDir dir;
    const fs::path image = MakeImage(dir, "e", kRomSize, kZ64, 'E');
    EXPECT_EQ(UnreadableCause(image.string()), "");
    EXPECT_TRUE(CanOpenForReading(image.string()));
    EXPECT_EQ(UnreadableCause(dir.path().string()), dir.path().string() + " is a folder");
    EXPECT_FALSE(CanOpenForReading(dir.path().string()));
    const std::string missing = UnreadableCause((dir / "none.z64").string());
    EXPECT_NE(missing.find((dir / "none.z64").string()), std::string::npos) << missing;
#ifndef _WIN32
    EXPECT_EQ(missing,
              "cannot open " + (dir / "none.z64").string() + ": No such file or directory");
    EXPECT_EQ(UnreadableCause("/dev/zero"), "cannot open /dev/zero: not a regular file");
#endif
    EXPECT_FALSE(UnreadableCause("").empty());
}

TEST(IsUnpatchedImage, IsWhatIdentificationAccepts) {
    test::ScratchDir dir;
    EXPECT_TRUE(IsUnpatchedImage(MakeImage(dir, "z", kRomSize, kZ64, 'J').string()));
    EXPECT_TRUE(IsUnpatchedImage(MakeImage(dir, "v", kRomSize, kV64, 0, 'P').string()));
    EXPECT_FALSE(
        IsUnpatchedImage(MakeImage(dir, "k", kRomSize, "T-FLUX KRN          ", 'E').string()));
    EXPECT_FALSE(IsUnpatchedImage(MakeImage(dir, "u", kRomSize, kZ64, 'U').string()));
    EXPECT_FALSE(IsUnpatchedImage(MakeImage(dir, "s", 100, kZ64, 'E').string()));
    EXPECT_FALSE(IsUnpatchedImage((dir / "missing").string()));
    EXPECT_FALSE(IsUnpatchedImage(dir.path().string()));
}

// Whether a file is somebody's dump cannot be told when reading it fails, so the question fails
// too; a file that is not there, or that may not be opened, is simply not one.
TEST(IsUnpatchedImage, AReadThatFailsIsNotTakenForAnAnswer) {
    test::ScratchDir dir;
    const std::string image = MakeImage(dir, "z", kRomSize, kZ64, 'J').string();
    test::FaultHook failing;
    failing.FailOps({IoOp::Read});
    try {
        IsUnpatchedImage(image, &failing);
        ADD_FAILURE() << "a failed read was taken for an answer";
    } catch (const EngineError& e) {
        EXPECT_EQ(e.what(), failing.Cause());
        EXPECT_EQ(e.Code(), std::errc::io_error);
    }
    test::FaultHook denied;
    denied.FailOps({IoOp::Open}).WithErrno(EACCES);
    EXPECT_FALSE(IsUnpatchedImage(image, &denied));
    EXPECT_EQ(denied.Failures(), 1);
}

TEST(RomCheckMessage, MapsEveryCode) {
    EXPECT_EQ(RomCheckMessage(0), "Successful");
    EXPECT_EQ(RomCheckMessage(1), "File access error");
    EXPECT_EQ(RomCheckMessage(2), "Not T-Flux X");
    EXPECT_EQ(RomCheckMessage(3), "Bad ROM region code");
    EXPECT_EQ(RomCheckMessage(-1), "Unknown error");
    EXPECT_EQ(RomCheckMessage(4), "(Invalid error number)");
    EXPECT_EQ(RomCheckMessage(-2), "(Invalid error number)");
}

TEST(CloseRom, IsHarmlessWhenNothingIsOpen) {
    RomState state;
    CloseRom(state);
    CloseRom(state);
    EXPECT_FALSE(state.RomFile.IsOpen());
}

TEST(CheckInput, GivesTheStatusLineTexts) {
    test::ScratchDir dir;
    RomState state;
    EXPECT_EQ(CheckInput(state, (dir / "none").string()).text, "Invalid input file");
    EXPECT_EQ(CheckInput(state, dir.path().string()).text, "Invalid input file");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "s", 10, kZ64, 'E').string()).text,
              "File Error: Not T-Flux X");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "r", kRomSize, kZ64, 'U').string()).text,
              "File Error: Bad ROM region code");
    const InputStatus pal = CheckInput(state, MakeImage(dir, "p", kRomSize, kV64, 0, 'P').string());
    EXPECT_TRUE(pal.accepted);
    EXPECT_EQ(pal.text, "File Version: PAL (V64)");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "j", kRomSize, kZ64, 'J').string()).text,
              "File Version: Japanese (Z64)");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "e", kRomSize, kZ64, 'E').string()).text,
              "File Version: North American (Z64)");
    EXPECT_FALSE(state.RomFile.IsOpen());
    // Every refusal carries its cause; an accepted image none.
    EXPECT_EQ(CheckInput(state, dir.path().string()).cause, dir.path().string() + " is a folder");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "r", kRomSize, kZ64, 'U').string()).cause,
              "region letter is 'U'");
    EXPECT_EQ(CheckInput(state, MakeImage(dir, "e", kRomSize, kZ64, 'E').string()).cause, "");
}

}  // namespace
}  // namespace tflux
