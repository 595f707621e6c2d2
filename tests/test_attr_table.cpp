#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "rom/errors.h"
#include "romtables/romtables.h"
#include "table_image.h"

namespace tflux {
namespace {

using test::Bytes;
using test::TableImage;
using Attrs = std::array<std::uint8_t, kTrackCount>;

Attrs Sample() {
    Attrs attrs{};
    for (std::size_t i = 0; i < attrs.size(); ++i) {
        attrs[i] = static_cast<std::uint8_t>(37 * i);
    }
    attrs[5] = 0xFF;
    attrs[6] = 0x80;
    return attrs;
}

TEST(AttrTable, RoundTripAtEachRegionsOffsetTouchesOnlyItsBytes) {
    struct Case {
        const char* region;
        std::size_t offset;
    };
    for (const Case& c : {Case{"E", 0x694D8}, Case{"J", 0x695C8}, Case{"P", 0x5C2FC}}) {
        for (const bool v64 : {false, true}) {
            SCOPED_TRACE(std::string(c.region) + (v64 ? " V64" : " Z64"));
            TableImage image(c.region, v64);
            image.state.TrackAttrs = Sample();
            image.OpenForWrite();
            WriteAttrTable(image.state);
            const Bytes before = image.Before();
            test::ExpectOnlyChanged(before, image.Close(), {{c.offset, 24}});
            const Attrs sample = Sample();
            EXPECT_EQ(image.Read(static_cast<std::uint32_t>(c.offset), 24),
                      Bytes(sample.begin(), sample.end()));

            image.state.TrackAttrs.fill(0x5A);
            image.OpenForRead();
            ReadAttrTable(image.state);
            image.Close();
            EXPECT_EQ(image.state.TrackAttrs, Sample());
        }
    }
}

TEST(AttrTable, V64StoresTrackOneAfterTrackTwo) {
    TableImage image("E");
    Bytes raw(24);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    image.Place(0x694D8, raw);  // placed as stored: the image is Z64 until now
    image.state.IsByteSwapped = true;

    image.OpenForRead();
    ReadAttrTable(image.state);
    image.Close();
    EXPECT_EQ(image.state.TrackAttrs[0], 0x11);
    EXPECT_EQ(image.state.TrackAttrs[1], 0x10);
    EXPECT_EQ(image.state.TrackAttrs[23], 0x26);

    // Written back unchanged, the table is byte for byte what it was.
    image.OpenForWrite();
    WriteAttrTable(image.state);
    const Bytes before = image.Before();
    EXPECT_EQ(image.Close(), before);

    image.state.TrackAttrs[0] = 0xAB;
    image.OpenForWrite();
    WriteAttrTable(image.state);
    const Bytes after = image.Close();
    EXPECT_EQ(after[0x694D8], 0x10);
    EXPECT_EQ(after[0x694D8 + 1], 0xAB);
}

TEST(AttrTable, UnknownRegionIsRefused) {
    TableImage image("X");
    image.OpenForRead();
    EXPECT_THROW(ReadAttrTable(image.state), EngineError);
    image.Close();
    image.OpenForWrite();
    EXPECT_THROW(WriteAttrTable(image.state), EngineError);
    const Bytes before = image.Before();
    EXPECT_EQ(image.Close(), before);
}

TEST(RomTables, BothPassesCoverAllFourTables) {
    TableImage image("J", true);
    for (int i = 0; i < kTrackCount; ++i) {
        image.state.TrackNames[i] = "Name " + std::to_string(i % 9);
        image.state.TrackSubtitles[i] = (i % 2) ? "" : "Sub";
        image.state.TrackParams[i].Count = 1;
        image.state.TrackParams[i].Codes[0] = static_cast<std::uint8_t>(i + 1);
        image.state.TrackParams[i].Values[0] = 0.125f * static_cast<float>(i);
    }
    image.state.TrackAttrs = Sample();
    image.OpenForWrite();
    WriteRomTables(image.state);
    image.Close();

    const RomState& written = image.state;
    RomState read;
    read.RegionCode = written.RegionCode;
    read.IsByteSwapped = true;
    read.RomFile = File::Open(image.Path(), OpenMode::Read);
    ReadRomTables(read);
    EXPECT_EQ(read.TrackNames, written.TrackNames);
    EXPECT_EQ(read.TrackSubtitles, written.TrackSubtitles);
    EXPECT_EQ(read.TrackParams, written.TrackParams);
    EXPECT_EQ(read.TrackAttrs, written.TrackAttrs);
}

}  // namespace
}  // namespace tflux
