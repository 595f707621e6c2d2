// Replays every input a fuzzer once failed on (fuzz/regressions/<harness>/) and every seed
// through the harness that found it, so that a fixed fault stays fixed and the seeds keep
// reaching the end of their harness.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "rom/file.h"
#include "tests/fuzz/harness.h"
#include "tests/fuzz/seeds.h"

namespace tflux::fuzz {
namespace {

namespace fs = std::filesystem;

}  // namespace

// Test names and failure messages show the harness by name.
void PrintTo(const Harness& harness, std::ostream* out) {
    *out << harness.name;
}

namespace {

const char* OutcomeName(Outcome outcome) {
    return outcome == Outcome::Accepted ? "accepted" : "refused";
}

std::string RunHarness(const Harness& harness, Input input) {
    try {
        harness.run(input);
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

class FuzzHarness : public testing::TestWithParam<Harness> {};

TEST_P(FuzzHarness, KeptFindingsPass) {
    const fs::path dir = fs::path(TFLUX_FUZZ_REGRESSIONS) / GetParam().name;
    if (!fs::is_directory(dir)) {
        GTEST_SKIP() << "no findings kept for " << GetParam().name;
    }
    int replayed = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string content = ReadWholeFile(entry.path(), 1 << 20);
        const Input input(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
        EXPECT_EQ(RunHarness(GetParam(), input), "") << entry.path();
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << dir << " is empty";
}

TEST_P(FuzzHarness, SeedsReachTheirExpectedEnd) {
    const std::vector<Seed> seeds = MakeSeeds(GetParam().name, TFLUX_PACK_DIR);
    bool anyAccepted = false;
    for (const Seed& seed : seeds) {
        Outcome outcome = Outcome::Refused;
        try {
            outcome = GetParam().run(seed.bytes);
        } catch (const std::exception& e) {
            ADD_FAILURE() << seed.name << ": " << e.what();
            continue;
        }
        EXPECT_EQ(OutcomeName(outcome), std::string(OutcomeName(seed.expected))) << seed.name;
        anyAccepted = anyAccepted || seed.expected == Outcome::Accepted;
    }
    EXPECT_TRUE(anyAccepted) << "no seed takes the harness to its end";
}

TEST(FuzzHarnessInputs, TakeEmptyAndTinyInputs) {
    for (const Harness& harness : Harnesses()) {
        for (const Bytes& input : {Bytes{}, Bytes{0}, Bytes{0xFF, 0xFF}}) {
            EXPECT_EQ(RunHarness(harness, input), "")
                << harness.name << " on " << input.size() << " bytes";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, FuzzHarness,
                         testing::ValuesIn(Harnesses().begin(), Harnesses().end()),
                         [](const testing::TestParamInfo<Harness>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace tflux::fuzz
