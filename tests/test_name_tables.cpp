#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "rom/errors.h"
#include "romtables/regions.h"
#include "romtables/romtables.h"
#include "table_image.h"

namespace tflux {
namespace {

using test::Bytes;
using test::TableImage;
using Strings = std::array<std::string, kTrackCount>;

Strings AllOf(const std::string& s) {
    Strings out;
    out.fill(s);
    return out;
}

struct Written {
    Bytes table;
    Bytes pool;
    std::uint32_t Pointer(int k) const { return GetBE32(table, 4 * (k - 1) + 1); }
};

Written Write(TableImage& image, bool names, const Strings& strings) {
    const RegionLayout layout = *LayoutFor(image.state.RegionCode);
    const StringTableLayout& t = names ? layout.names : layout.subtitles;
    (names ? image.state.TrackNames : image.state.TrackSubtitles) = strings;
    image.OpenForWrite();
    (names ? WriteNameTable : WriteSubtitleTable)(image.state);
    const Bytes before = image.Before();
    const Bytes after = image.Close();
    const std::size_t tableSize = names ? 124 : 96;
    test::ExpectOnlyChanged(before, after,
                            {{t.pointerTableOffset, tableSize}, {t.poolOffset, t.poolSize}});
    return {image.Read(t.pointerTableOffset, tableSize), image.Read(t.poolOffset, t.poolSize)};
}

Strings ReadBack(TableImage& image, bool names, const std::string& fill = "untouched") {
    Strings& target = names ? image.state.TrackNames : image.state.TrackSubtitles;
    target.fill(fill);
    image.OpenForRead();
    (names ? ReadNameTable : ReadSubtitleTable)(image.state);
    image.Close();
    return target;
}

TEST(NameTableWrite, WorkedLayout) {
    TableImage image("E");
    Strings names = AllOf("C");
    names[0] = names[2] = "AB";
    const Written w = Write(image, true, names);

    EXPECT_EQ(Bytes(w.pool.begin(), w.pool.begin() + 5), (Bytes{0x41, 0x42, 0x00, 0x43, 0x00}));
    EXPECT_EQ(Bytes(w.pool.begin() + 5, w.pool.begin() + 398), Bytes(393, 0));
    EXPECT_EQ(w.pool[398], 0x78);
    EXPECT_EQ(w.pool[399], 0x00);
    EXPECT_EQ(Bytes(w.table.begin(), w.table.begin() + 8),
              (Bytes{0x80, 0x0D, 0x43, 0x10, 0x80, 0x0D, 0x43, 0x13}));
    EXPECT_EQ(w.Pointer(3), 0x800D4310u);
    for (int k = 4; k <= 24; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x800D4313u) << k;
    }
    for (int k = 25; k <= 30; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x800D449Fu) << k;
    }
    EXPECT_EQ(w.Pointer(31), 0x800D449Eu);
}

TEST(NameTableWrite, DistinctNamesArePackedInOrderAndCaseMatters) {
    TableImage image("P");
    Strings names;
    Bytes expected;
    for (int k = 1; k <= 24; ++k) {
        names[k - 1] = (k == 2) ? "ALPHA" : (k == 1) ? "Alpha" : "Track" + std::to_string(k);
        expected.insert(expected.end(), names[k - 1].begin(), names[k - 1].end());
        expected.push_back(0);
    }
    const Written w = Write(image, true, names);

    std::uint32_t at = 0x800C6C90;
    for (int k = 1; k <= 24; ++k) {
        EXPECT_EQ(w.Pointer(k), at) << k;
        at += static_cast<std::uint32_t>(names[k - 1].size() + 1);
    }
    expected.resize(398, 0);
    expected.insert(expected.end(), {0x78, 0x00});
    EXPECT_EQ(w.pool, expected);
}

TEST(NameTableWrite, EmptyStringsGetOneTerminatorAndShareIt) {
    TableImage image("E");
    Strings names = AllOf("");
    names[0] = "Alpha";
    names[3] = "Alpha";
    const Written w = Write(image, true, names);

    EXPECT_EQ(w.Pointer(1), 0x800D4310u);
    EXPECT_EQ(w.Pointer(2), 0x800D4316u);  // "Alpha" and its terminator come first
    EXPECT_EQ(w.Pointer(3), 0x800D4316u);
    EXPECT_EQ(w.Pointer(4), 0x800D4310u);
    EXPECT_EQ(w.pool[5], 0);
    EXPECT_EQ(w.pool[6], 0);
    EXPECT_EQ(std::count(w.pool.begin(), w.pool.end(), 0), 400 - 6);
}

TEST(SubtitleTableWrite, AllEmptyInRegionJ) {
    TableImage image("J");
    const Written w = Write(image, false, AllOf(""));
    EXPECT_EQ(w.pool, Bytes(428, 0));
    for (int k = 1; k <= 24; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x80118DE0u) << k;
    }
}

// A name of `bytes - 1` characters, distinct for each n.
std::string Filler(std::size_t bytes, char n) {
    return std::string(1, n) + std::string(bytes - 2, '.');
}

TEST(NameTableWrite, PoolFullAtReservedTail) {
    TableImage image("E");
    Strings names;
    for (int k = 0; k < 24; ++k) {
        names[k] = Filler(40, static_cast<char>('a' + k));
    }
    names[9] = Filler(38, 'Z');  // 9 x 40 + 38: offsets 0..397 are used
    names[10] = names[0];        // equal to a written name, but the pool is full
    const Written w = Write(image, true, names);

    EXPECT_EQ(w.Pointer(10), 0x800D4310u + 360);
    for (int k = 11; k <= 30; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x800D449Fu) << k;
    }
    EXPECT_EQ(w.pool[397], 0);
    EXPECT_EQ(w.pool[398], 0x78);
    EXPECT_EQ(w.pool[399], 0);

    const Strings back = ReadBack(image, true);
    EXPECT_EQ(back[9], names[9]);
    EXPECT_EQ(back[10], "");
    EXPECT_EQ(back[23], "");
}

TEST(NameTableWrite, NameReachingPoolEndIsCut) {
    TableImage image("E");
    Strings names;
    for (int k = 0; k < 24; ++k) {
        names[k] = Filler(40, static_cast<char>('a' + k));
    }
    names[9] = Filler(37, 'Z');  // the next name starts at 397
    names[10] = "XYZ";
    const Written w = Write(image, true, names);

    EXPECT_EQ(w.Pointer(11), 0x800D4310u + 397);
    EXPECT_EQ(w.pool[397], 'X');
    EXPECT_EQ(w.pool[398], 'Y');
    EXPECT_EQ(w.pool[399], 0);
    EXPECT_EQ(w.Pointer(31), 0x800D449Eu);  // now the name's second character
    for (int k = 12; k <= 30; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x800D449Fu) << k;
    }

    const Strings back = ReadBack(image, true);
    EXPECT_EQ(back[10], "XY");
    EXPECT_EQ(back[11], "");
}

TEST(SubtitleTableWrite, OneCharacterAtLastFreeByte) {
    TableImage image("E");  // a 368-byte pool
    Strings subs;
    for (int k = 0; k < 24; ++k) {
        subs[k] = Filler(61, static_cast<char>('a' + k));  // 6 x 61: the 7th starts at 366
    }
    subs[6] = "Q";
    subs[7] = subs[0];
    const Written w = Write(image, false, subs);

    EXPECT_EQ(w.Pointer(7), 0x80119550u + 366);
    EXPECT_EQ(w.pool[366], 'Q');
    EXPECT_EQ(w.pool[367], 0);
    for (int k = 8; k <= 24; ++k) {
        EXPECT_EQ(w.Pointer(k), 0x801196BFu) << k;
    }
    const Strings back = ReadBack(image, false);
    EXPECT_EQ(back[6], "Q");
    EXPECT_EQ(back[7], "");
}

TEST(StringTableWrite, EndOfPoolPointersPerRegion) {
    struct Case {
        const char* region;
        std::uint32_t nameEnd, nameX, subtitleEnd;
    };
    for (const Case& c : {Case{"E", 0x800D449F, 0x800D449E, 0x801196BF},
                          Case{"J", 0x800D457F, 0x800D457E, 0x80118F8B},
                          Case{"P", 0x800C6E1F, 0x800C6E1E, 0x80125E9F}}) {
        SCOPED_TRACE(c.region);
        TableImage image(c.region);
        Strings longOnes;
        for (int k = 0; k < 24; ++k) {
            longOnes[k] = Filler(30, static_cast<char>('a' + k));  // 720 bytes: never fits
        }
        const Written names = Write(image, true, longOnes);
        const Written subs = Write(image, false, longOnes);
        EXPECT_EQ(names.Pointer(24), c.nameEnd);
        EXPECT_EQ(names.Pointer(30), c.nameEnd);
        EXPECT_EQ(names.Pointer(31), c.nameX);
        EXPECT_EQ(names.pool.back(), 0);
        EXPECT_EQ(subs.Pointer(24), c.subtitleEnd);
        EXPECT_EQ(subs.pool.back(), 0);
    }
}

TEST(StringTables, V64IsZ64PairSwappedAndRoundTrips) {
    Strings names;
    Strings subs;
    for (int k = 0; k < 24; ++k) {
        names[k] = "N" + std::to_string(k % 5) + "\xE9\x80\xFF";  // high bytes pass through
        subs[k] = (k % 3 == 0) ? "" : "Sub " + std::to_string(k);
    }
    for (const char* region : {"E", "J", "P"}) {
        SCOPED_TRACE(region);
        TableImage z64(region, false);
        TableImage v64(region, true);
        // Read() undoes the pair swap, so equal results mean the V64 file holds the Z64
        // bytes pair-swapped.
        const Written zNames = Write(z64, true, names);
        const Written vNames = Write(v64, true, names);
        EXPECT_EQ(zNames.table, vNames.table);
        EXPECT_EQ(zNames.pool, vNames.pool);
        const Written zSubs = Write(z64, false, subs);
        const Written vSubs = Write(v64, false, subs);
        EXPECT_EQ(zSubs.table, vSubs.table);
        EXPECT_EQ(zSubs.pool, vSubs.pool);

        for (TableImage* image : {&z64, &v64}) {
            EXPECT_EQ(ReadBack(*image, true), names);
            EXPECT_EQ(ReadBack(*image, false), subs);
        }
    }
}

TEST(StringTableRead, PointersOutsidePoolAndUnterminatedStrings) {
    for (const bool names : {true, false}) {
        for (const bool v64 : {false, true}) {
            SCOPED_TRACE(std::string(names ? "names" : "subtitles") + (v64 ? " V64" : " Z64"));
            TableImage image("E", v64);
            const StringTableLayout t = names ? kRegionE.names : kRegionE.subtitles;
            const std::uint32_t a = t.poolAddress;
            Bytes pool(t.poolSize, 'z');  // no terminator after offset 3
            pool[0] = 'H';
            pool[1] = 'i';
            pool[2] = 0;
            pool[3] = 0;
            std::vector<std::uint32_t> pointers(24, a);
            pointers[1] = a + 3;           // an empty string
            pointers[2] = a + 1;           // into a string
            pointers[3] = a + t.poolSize;  // just past the pool
            pointers[4] = a - 1;           // just below it
            pointers[5] = 0;
            pointers[6] = 0xFFFFFFFF;
            pointers[7] = a + 4;               // runs off the pool's end
            pointers[8] = a + t.poolSize - 1;  // the last byte, not a terminator
            image.Place(t.poolOffset, pool);
            image.Place(t.pointerTableOffset, test::BE32Bytes(pointers));

            const Strings back = ReadBack(image, names, "old");
            EXPECT_EQ(back[0], "Hi");
            EXPECT_EQ(back[1], "");
            EXPECT_EQ(back[2], "i");
            for (int k = 3; k <= 8; ++k) {
                EXPECT_EQ(back[k], "old") << k;
            }
            EXPECT_EQ(back[23], "Hi");
        }
    }
}

TEST(StringTables, UnknownRegionIsRefusedWithoutTouchingTheFile) {
    TableImage image("U");
    image.OpenForRead();
    EXPECT_THROW(ReadNameTable(image.state), EngineError);
    EXPECT_THROW(ReadSubtitleTable(image.state), EngineError);
    image.Close();
    image.OpenForWrite();
    EXPECT_THROW(WriteNameTable(image.state), EngineError);
    EXPECT_THROW(WriteSubtitleTable(image.state), EngineError);
    const Bytes before = image.Before();
    EXPECT_EQ(image.Close(), before);
}

}  // namespace
}  // namespace tflux
