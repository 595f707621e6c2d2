#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/track_record.h"
#include "rom/errors.h"
#include "support/test_util.h"

namespace tflux {
namespace {

using test::ScratchDir;

struct Slot {
    std::uint8_t code;
    std::array<std::uint8_t, 4> value;
};

class Record {
  public:
    Record() : bytes_(kTrackRecordSize, 0) {
        for (std::size_t i = 0; i < kTrackBlockSize; ++i) {
            bytes_[93 + i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
    }
    Record& Name(const std::string& text) { return Text(0, 20, text); }
    Record& Subtitle(const std::string& text) { return Text(20, 24, text); }
    Record& Attr(std::uint8_t value) {
        bytes_[44] = value;
        return *this;
    }
    Record& Param(int k, Slot slot) {
        const std::size_t at = 45 + 8 * static_cast<std::size_t>(k - 1);
        bytes_[at + 1] = slot.code;
        std::copy(slot.value.begin(), slot.value.end(), bytes_.begin() + at + 4);
        return *this;
    }
    // Bytes 0, 2 and 3 of a slot, which carry nothing.
    Record& SlotFiller(int k, std::uint8_t value) {
        const std::size_t at = 45 + 8 * static_cast<std::size_t>(k - 1);
        bytes_[at] = bytes_[at + 2] = bytes_[at + 3] = value;
        return *this;
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

  private:
    Record& Text(std::size_t at, std::size_t width, const std::string& text) {
        std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), width, 0);
        std::copy(text.begin(), text.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
        return *this;
    }
    std::vector<std::uint8_t> bytes_;
};

constexpr std::array<std::uint8_t, 4> k240 = {0x43, 0x70, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kOne = {0x3F, 0x80, 0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kMinus2_5 = {0xC0, 0x20, 0x00, 0x00};

// A state whose track 5 holds what a table reader found in the image.
void FillFromImage(RomState& state) {
    state.RegionCode = "E";
    for (int t = 0; t < kTrackCount; ++t) {
        const auto i = static_cast<std::size_t>(t);
        state.TrackNames[i] = "old name " + std::to_string(t);
        state.TrackSubtitles[i] = "old sub " + std::to_string(t);
        state.TrackAttrs[i] = static_cast<std::uint8_t>(0x80 + t);
        state.TrackParams[i] = {6, {11, 12, 13, 14, 15, 16}, {1, 2, 3, 4, 5, 6}};
    }
    state.TrackBlock.fill(0xEE);
}

class LoadDatTest : public ::testing::Test {
  protected:
    void SetUp() override { FillFromImage(state); }

    // Writes the record with `before` bytes in front of it and parses it as track 5.
    void Load(Record& record, std::size_t before = 0) {
        std::vector<std::uint8_t> file(before, 0x5A);
        file.insert(file.end(), record.bytes().begin(), record.bytes().end());
        test::WriteBytes(dir / "5.dat", file);
        const File f = File::Open(dir / "5.dat", OpenMode::Read);
        LoadDat(state, f, before + 1, 5);
    }
    const TrackParamSet& Params() const { return state.TrackParams[4]; }

    ScratchDir dir;
    RomState state;
};

TEST_F(LoadDatTest, OverridesOnlyItsTrack) {
    Record r;
    r.Name("Canyon Run")
        .Subtitle("The Long Way")
        .Attr(0x3C)
        .Param(1, {7, k240})
        .Param(2, {9, kOne});
    Load(r, 100);  // starts at position 101

    EXPECT_EQ(state.TrackNames[4], "Canyon Run");
    EXPECT_EQ(state.TrackSubtitles[4], "The Long Way");
    EXPECT_EQ(state.TrackAttrs[4], 0x3C);
    EXPECT_EQ(Params().Count, 2);
    EXPECT_EQ(Params().Values[0], 240.0f);
    EXPECT_EQ(Params().Values[1], 1.0f);
    EXPECT_TRUE(
        std::equal(state.TrackBlock.begin(), state.TrackBlock.end(), r.bytes().begin() + 93));

    EXPECT_EQ(state.TrackNames[3], "old name 3");
    EXPECT_EQ(state.TrackNames[5], "old name 5");
    EXPECT_EQ(state.TrackSubtitles[5], "old sub 5");
    EXPECT_EQ(state.TrackAttrs[3], 0x83);
    EXPECT_EQ(state.TrackParams[5].Count, 6);
}

TEST_F(LoadDatTest, TextFields) {
    Record r;
    r.Name("ABCDEFGHIJKLMNOPQRST").Subtitle("abcdefghijklmnopqrstuvwx");  // no NUL in either
    Load(r);
    EXPECT_EQ(state.TrackNames[4], "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(state.TrackSubtitles[4], "abcdefghijklmnopqrstuvwx");

    r.Name("").Subtitle("Hi");
    r.bytes()[5] = 'Z';  // after the NUL: not part of the text
    Load(r);
    EXPECT_EQ(state.TrackNames[4], "");
    EXPECT_EQ(state.TrackSubtitles[4], "Hi");

    r.Name(std::string("\xC4\xE9", 2));  // one byte per character, kept as is
    Load(r);
    EXPECT_EQ(state.TrackNames[4], std::string("\xC4\xE9", 2));
}

TEST_F(LoadDatTest, JapaneseImageTakesNoSubtitle) {
    state.RegionCode = "J";
    Record r;
    r.Name("Kairo").Subtitle("Night");
    Load(r);
    EXPECT_EQ(state.TrackNames[4], "Kairo");
    EXPECT_EQ(state.TrackSubtitles[4], "");
}

TEST_F(LoadDatTest, FirstCodeZeroLeavesTheRestAsTheImageHadIt) {
    Record r;
    r.Param(1, {0, k240}).Param(2, {5, kOne});
    Load(r);
    const TrackParamSet expected{0, {0, 12, 13, 14, 15, 16}, {1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(Params(), expected);
}

TEST_F(LoadDatTest, ZeroCodeEndsTheListEvenBeforeLaterEntries) {
    Record r;
    r.Param(1, {3, kMinus2_5}).Param(2, {4, k240}).Param(3, {0, kOne}).Param(4, {8, kOne});
    r.Param(5, {9, k240});
    Load(r);
    const TrackParamSet expected{2, {3, 4, 0, 14, 15, 16}, {-2.5f, 240.0f, 3, 4, 5, 6}};
    EXPECT_EQ(Params(), expected);
}

TEST_F(LoadDatTest, SixCodesFillTheSet) {
    Record r;
    for (int k = 1; k <= 6; ++k) {
        r.Param(k,
                {static_cast<std::uint8_t>(20 + k), k == 6 ? std::array<std::uint8_t, 4>{} : kOne});
    }
    Load(r);
    const TrackParamSet expected{6, {21, 22, 23, 24, 25, 26}, {1, 1, 1, 1, 1, 0.0f}};
    EXPECT_EQ(Params(), expected);
}

TEST_F(LoadDatTest, SlotBytes0To3AreIgnored) {
    Record r;
    r.Param(1, {3, k240}).Param(2, {4, kOne});
    for (int k = 1; k <= 6; ++k) {
        r.SlotFiller(k, 0xFF);
    }
    Load(r);
    const TrackParamSet expected{2, {3, 4, 0, 14, 15, 16}, {240.0f, 1.0f, 3, 4, 5, 6}};
    EXPECT_EQ(Params(), expected);
}

TEST_F(LoadDatTest, ShortRecordChangesNothing) {
    Record r;
    r.Name("New").Param(1, {3, k240});
    r.bytes().pop_back();  // 2,108 bytes
    test::WriteBytes(dir / "5.dat", r.bytes());
    const File f = File::Open(dir / "5.dat", OpenMode::Read);
    try {
        LoadDat(state, f, 1, 5);
        FAIL() << "a short record was accepted";
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find((dir / "5.dat").string()), std::string::npos)
            << e.what();
    }
    RomState untouched;
    FillFromImage(untouched);
    EXPECT_EQ(state.TrackNames, untouched.TrackNames);
    EXPECT_EQ(state.TrackSubtitles, untouched.TrackSubtitles);
    EXPECT_EQ(state.TrackAttrs, untouched.TrackAttrs);
    EXPECT_EQ(state.TrackParams, untouched.TrackParams);
    EXPECT_EQ(state.TrackBlock, untouched.TrackBlock);

    const std::span<const std::uint8_t> inMemory(r.bytes());
    EXPECT_THROW(LoadDat(state, inMemory, 5), EngineError);
    EXPECT_EQ(state.TrackNames, untouched.TrackNames);
    EXPECT_EQ(state.TrackParams, untouched.TrackParams);

    // A whole record that starts too late in its file is just as short.
    r.bytes().push_back(0);
    test::WriteBytes(dir / "6.dat", r.bytes());
    const File g = File::Open(dir / "6.dat", OpenMode::Read);
    EXPECT_THROW(LoadDat(state, g, 2, 6), EngineError);
    EXPECT_EQ(state.TrackNames, untouched.TrackNames);
}

TEST_F(LoadDatTest, RecordInMemoryReadsLikeTheFile) {
    Record r;
    r.Name("Harbour").Subtitle("Dusk").Attr(9).Param(1, {2, kMinus2_5});
    Load(r);
    RomState fromMemory;
    FillFromImage(fromMemory);
    std::vector<std::uint8_t> longer = r.bytes();
    longer.push_back(0xFF);  // bytes past the record are not part of it
    LoadDat(fromMemory, longer, 5);
    EXPECT_EQ(fromMemory.TrackNames, state.TrackNames);
    EXPECT_EQ(fromMemory.TrackSubtitles, state.TrackSubtitles);
    EXPECT_EQ(fromMemory.TrackAttrs, state.TrackAttrs);
    EXPECT_EQ(fromMemory.TrackParams, state.TrackParams);
    EXPECT_EQ(fromMemory.TrackBlock, state.TrackBlock);
    EXPECT_THROW(LoadDat(fromMemory, longer, 25), EngineError);
}

TEST_F(LoadDatTest, TrackOutsideTheRangeIsRefused) {
    Record r;
    test::WriteBytes(dir / "x.dat", r.bytes());
    const File f = File::Open(dir / "x.dat", OpenMode::Read);
    EXPECT_THROW(LoadDat(state, f, 1, 0), EngineError);
    EXPECT_THROW(LoadDat(state, f, 1, 25), EngineError);
    EXPECT_THROW(LoadDat(state, f, 0, 1), EngineError);
}

}  // namespace
}  // namespace tflux
