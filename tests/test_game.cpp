#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "rom/byteorder.h"
#include "rom/game.h"
#include "rom/identify.h"

namespace tflux {
namespace {

TEST(GameFacts, V64NamesAreTheZ64NamesPairSwapped) {
    struct Case {
        InternalName z64;
        InternalName v64;
        std::string shown;
    };
    const Case cases[] = {{kGameNameZ64, kGameNameV64, "T-FLUX X"},
                          {kPatchedNameZ64, kPatchedNameV64, "T-FLUX KRN"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        std::vector<std::uint8_t> bytes(c.z64.begin(), c.z64.end());
        SwapPairs(bytes, bytes.size());
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string(NameText(c.v64)));
        EXPECT_EQ(TrimmedName(NameText(c.z64)), c.shown);
        EXPECT_EQ(std::string(NameText(c.z64)), c.shown + std::string(20 - c.shown.size(), ' '));
    }
}

TEST(GameFacts, EntryTrackExchangeSwapsNineAndTenOnly) {
    for (int entry = 0; entry <= kTrackCount + 1; ++entry) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(TrackOfEntry(TrackOfEntry(entry)), entry);
        EXPECT_EQ(EntryOfTrack(TrackOfEntry(entry)), entry);
        EXPECT_EQ(TrackOfEntry(entry) != entry, entry == 9 || entry == 10);
    }
    EXPECT_EQ(TrackOfEntry(9), 10);
}

TEST(GameFacts, RegionLettersNameTheirReleases) {
    struct Case {
        std::string code;
        std::optional<Region> region;
        std::string name;
    };
    const Case cases[] = {{"E", Region::E, "North American"},
                          {"J", Region::J, "Japanese"},
                          {"P", Region::P, "PAL"},
                          {"U", std::nullopt, ""},
                          {"e", std::nullopt, ""},
                          {"EJ", std::nullopt, ""},
                          {"", std::nullopt, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.code + "\"");
        EXPECT_EQ(RegionFromCode(c.code), c.region);
        EXPECT_EQ(RegionName(c.code), c.name);
        if (c.region) {
            EXPECT_EQ(RegionCodeOf(*c.region), c.code);
        }
    }
}

}  // namespace
}  // namespace tflux
