#include <gtest/gtest.h>

#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/identify.h"
#include "romtables/sample_image.h"
#include "support/test_util.h"

namespace tflux {
namespace {

// Every other test trusts these images to be what the patcher expects of a real one.
TEST(SampleImage, IsAnAcceptedImageWithAValidChecksumInEveryForm) {
    test::ScratchDir dir;
    for (const char region : {'E', 'J', 'P'}) {
        const auto z64 = MakeSampleImage({region, false, 3});
        auto v64 = MakeSampleImage({region, true, 3});
        const auto path = dir / "image";
        test::WriteBytes(path, v64);
        RomState state;
        EXPECT_EQ(CheckInput(state, path.string()).text,
                  "File Version: " + RegionName(std::string(1, region)) + " (V64)");
        SwapPairs(v64, v64.size());
        EXPECT_EQ(v64, z64);
        EXPECT_EQ(CalculateChecksum(z64, DetectCic(z64)),
                  (HeaderCrc{GetBE32(z64, 0x11), GetBE32(z64, 0x15)}));
    }
    EXPECT_NE(MakeSampleImage({'E', false, 1}), MakeSampleImage({'E', false, 2}));
}

}  // namespace
}  // namespace tflux
