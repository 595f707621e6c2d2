#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>

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
}

}  // namespace
}  // namespace tflux
