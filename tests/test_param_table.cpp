#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <utility>

#include "rom/errors.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"
#include "table_image.h"

namespace tflux {
namespace {

using test::Bytes;
using test::TableImage;
using Sets = std::array<TrackParamSet, kTrackCount>;

TrackParamSet Set(std::initializer_list<std::pair<std::uint8_t, float>> entries) {
    TrackParamSet set;
    for (const auto& [code, value] : entries) {
        set.Codes[set.Count] = code;
        set.Values[set.Count] = value;
        ++set.Count;
    }
    return set;
}

// Six entries, distinct for each seed.
TrackParamSet Full(int seed) {
    TrackParamSet set;
    set.Count = 6;
    for (int k = 0; k < 6; ++k) {
        set.Codes[k] = static_cast<std::uint8_t>(10 + k);
        set.Values[k] = static_cast<float>(seed * 10 + k) + 0.5f;
    }
    return set;
}

struct Written {
    Bytes table;
    Bytes pool;
    std::uint32_t Slot(int i) const { return GetBE32(table, 4 * (i - 1) + 1); }
    Bytes Entry(std::size_t offset) const {
        return Bytes(pool.begin() + offset, pool.begin() + offset + 8);
    }
};

Written Write(TableImage& image, const Sets& sets) {
    const ParamTableLayout t = LayoutFor(image.state.RegionCode)->params;
    image.state.TrackParams = sets;
    image.OpenForWrite();
    WriteParamTable(image.state);
    const Bytes before = image.Before();
    const Bytes after = image.Close();
    // The 56 bytes between pool and table, and everything around them, stay as they were.
    test::ExpectOnlyChanged(before, after, {{t.poolOffset, 800}, {t.pointerTableOffset, 96}});
    return {image.Read(t.pointerTableOffset, 96), image.Read(t.poolOffset, 800)};
}

// Reads into sets that start as `prior`, so that untouched positions can be seen.
Sets ReadBack(TableImage& image, const TrackParamSet& prior) {
    image.state.TrackParams.fill(prior);
    image.OpenForRead();
    ReadParamTable(image.state);
    image.Close();
    return image.state.TrackParams;
}

void ExpectSameList(const TrackParamSet& got, const TrackParamSet& want) {
    ASSERT_EQ(got.Count, want.Count);
    for (int k = 0; k < want.Count; ++k) {
        EXPECT_EQ(got.Codes[k], want.Codes[k]) << k;
        EXPECT_EQ(got.Values[k], want.Values[k]) << k;
    }
}

// What every track holds before a read; none of its codes or values is in any pool.
const TrackParamSet kPrior = [] {
    TrackParamSet set;
    set.Count = 3;
    for (int k = 0; k < 6; ++k) {
        set.Codes[k] = static_cast<std::uint8_t>(200 + k);
        set.Values[k] = -1000.0f - static_cast<float>(k);
    }
    return set;
}();

TEST(ParamTableWrite, AllTracksShareOneList) {
    TableImage image("E");
    Sets sets;
    sets.fill(Set({{3, 1.5f}, {7, -2.0f}}));
    const Written w = Write(image, sets);

    EXPECT_EQ(w.Entry(0), (Bytes{0x00, 0x03, 0x00, 0x00, 0x3F, 0xC0, 0x00, 0x00}));
    EXPECT_EQ(w.Entry(8), (Bytes{0x00, 0x07, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(w.pool.begin() + 16, w.pool.end()), Bytes(800 - 16, 0));
    for (int i = 1; i <= 24; ++i) {
        EXPECT_EQ(w.Slot(i), 0x80140B00u) << i;
    }
}

TEST(ParamTableWrite, DistinctListsFollowEachOther) {
    TableImage image("J");
    Sets sets;
    sets.fill(Set({{2, 0.25f}}));
    sets[0] = Set({{1, 0.5f}});
    const Written w = Write(image, sets);

    EXPECT_EQ(w.Slot(1), 0x80140390u);
    EXPECT_EQ(w.Entry(0), (Bytes{0x00, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x00}));
    EXPECT_EQ(w.Entry(8), Bytes(8, 0));
    for (int i = 2; i <= 24; ++i) {
        EXPECT_EQ(w.Slot(i), 0x80140390u + 16) << i;
    }
    EXPECT_EQ(w.Entry(16), (Bytes{0x00, 0x02, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00}));
    EXPECT_EQ(Bytes(w.pool.begin() + 24, w.pool.end()), Bytes(800 - 24, 0));
}

TEST(ParamTableWrite, PositionsBeyondCountTakePartAndValuesCompareAsNumbers) {
    TableImage image("E");
    Sets sets;
    sets.fill(Set({}));  // Count 0: one terminator, shared
    sets[0] = Set({{4, 1.0f}});
    sets[1] = sets[0];
    sets[1].Codes[1] = 9;  // differs only past Count
    sets[2] = sets[1];
    sets[2].Values[3] = -0.0f;  // equal to +0 as a number
    const Written w = Write(image, sets);

    EXPECT_EQ(w.Slot(1), 0x80140B00u);
    EXPECT_EQ(w.Slot(2), 0x80140B00u + 16);
    EXPECT_EQ(w.Slot(3), 0x80140B00u + 16);
    EXPECT_EQ(w.Slot(4), 0x80140B00u + 32);
    EXPECT_EQ(w.Slot(24), 0x80140B00u + 32);
    EXPECT_EQ(w.Entry(16), w.Entry(0));
}

// Fourteen six-entry sets fill offsets 0..783; track 15's list then starts at 784, one entry
// before the last.
TEST(ParamTableWrite, LastEntryIsAlwaysATerminator) {
    for (const int count15 : {1, 6}) {
        SCOPED_TRACE(count15);
        TableImage image("P");
        Sets sets;
        for (int i = 0; i < 24; ++i) {
            sets[i] = Full(i);
        }
        sets[14].Count = static_cast<std::uint8_t>(count15);
        sets[15] = sets[0];  // already in the pool, but the pool is full
        const Written w = Write(image, sets);

        EXPECT_EQ(w.Slot(15), 0x8014C3C0u + 784);
        EXPECT_EQ(w.Entry(784)[1], 10);
        EXPECT_EQ(w.Entry(792), Bytes(8, 0));
        for (int i = 16; i <= 24; ++i) {
            EXPECT_EQ(w.Slot(i), 0x8014C3C0u + 792) << i;
        }

        const Sets back = ReadBack(image, kPrior);
        for (int i = 0; i < 14; ++i) {
            ExpectSameList(back[i], sets[i]);
        }
        TrackParamSet cut = sets[14];
        cut.Count = 1;
        ExpectSameList(back[14], cut);
        for (int i = 15; i < 24; ++i) {
            EXPECT_EQ(back[i].Count, 0) << i;
            EXPECT_EQ(back[i].Codes, kPrior.Codes) << i;
            EXPECT_EQ(back[i].Values, kPrior.Values) << i;
        }
    }
}

TEST(ParamTables, V64IsZ64PairSwappedAndRoundTrips) {
    Sets sets;
    for (int i = 0; i < 24; ++i) {
        sets[i] = Full(i % 7);  // tracks i and i + 7 share a list
        sets[i].Count = static_cast<std::uint8_t>(i % 7);
    }
    for (const char* region : {"E", "J", "P"}) {
        SCOPED_TRACE(region);
        TableImage z64(region, false);
        TableImage v64(region, true);
        // Read() undoes the pair swap: equal results mean V64 holds Z64 pair-swapped.
        const Written z = Write(z64, sets);
        const Written v = Write(v64, sets);
        EXPECT_EQ(z.table, v.table);
        EXPECT_EQ(z.pool, v.pool);
        for (TableImage* image : {&z64, &v64}) {
            const Sets back = ReadBack(*image, kPrior);
            for (int i = 0; i < 24; ++i) {
                SCOPED_TRACE(i);
                ExpectSameList(back[i], sets[i]);
            }
        }
    }
}

TEST(ParamTableRead, ListsEndAtTerminatorSixEntriesOrPoolEnd) {
    for (const bool v64 : {false, true}) {
        SCOPED_TRACE(v64 ? "V64" : "Z64");
        TableImage image("E", v64);
        const std::uint32_t a = kRegionE.params.poolAddress;
        Bytes pool(800, 0);
        const auto entry = [&pool](std::size_t offset, std::uint8_t code, std::uint32_t bits) {
            pool[offset + 1] = code;
            const Bytes value = test::BE32Bytes({bits});
            std::copy(value.begin(), value.end(), pool.begin() + offset + 4);
            pool[offset] = pool[offset + 2] = pool[offset + 3] = 0xEE;  // never examined
        };
        for (std::size_t k = 0; k < 7; ++k) {
            entry(8 + 8 * k, static_cast<std::uint8_t>(k + 1), 0x3F800000u + (k << 20));
        }
        entry(792, 0x55, 0xC1200000u);  // no room for a terminator after it
        std::vector<std::uint32_t> slots(24, a);
        slots[1] = a + 8;    // seven entries before the terminator
        slots[2] = a + 793;  // no whole entry fits
        slots[3] = a - 8;    // below the pool
        slots[4] = a + 792;  // the last entry
        slots[5] = 0xFFFFFFFF;
        slots[6] = a + 8 * 7;  // the seventh entry alone
        image.Place(kRegionE.params.poolOffset, pool);
        image.Place(kRegionE.params.pointerTableOffset, test::BE32Bytes(slots));

        const Sets back = ReadBack(image, kPrior);
        for (const int i : {0, 2, 3, 5}) {
            EXPECT_EQ(back[i].Count, 0) << i;
            EXPECT_EQ(back[i].Codes, kPrior.Codes) << i;
            EXPECT_EQ(back[i].Values, kPrior.Values) << i;
        }
        ASSERT_EQ(back[1].Count, 6);
        EXPECT_EQ(back[1].Codes, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(back[1].Values[0], 1.0f);
        EXPECT_EQ(back[1].Values[5], 1.625f);  // 0x3F800000 + (5 << 20)
        ASSERT_EQ(back[4].Count, 1);
        EXPECT_EQ(back[4].Codes[0], 0x55);
        EXPECT_EQ(back[4].Values[0], -10.0f);
        EXPECT_EQ(back[4].Codes[1], kPrior.Codes[1]);
        ASSERT_EQ(back[6].Count, 1);
        EXPECT_EQ(back[6].Codes[0], 7);
    }
}

TEST(ParamTables, UnknownRegionIsRefusedWithoutTouchingTheFile) {
    TableImage image("");
    image.OpenForRead();
    EXPECT_THROW(ReadParamTable(image.state), EngineError);
    image.Close();
    image.OpenForWrite();
    EXPECT_THROW(WriteParamTable(image.state), EngineError);
    const Bytes before = image.Before();
    EXPECT_EQ(image.Close(), before);
}

}  // namespace
}  // namespace tflux
