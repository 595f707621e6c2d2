#pragma once

// Synthetic images of the game for tests, benchmarks and demonstrations: the right size,
// header and internal name, plausible tables for the region, pseudo-random bytes elsewhere
// and valid header checksums. Real images never enter the repository.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tflux {

struct SampleOptions {
    char region = 'E';       // 'E', 'J' or 'P' (any byte may be given, for refusal tests)
    bool v64 = false;        // pair-swapped storage
    std::uint32_t seed = 1;  // varies names, tables and filler
};

// 16 MiB, in the order the options ask for.
std::vector<std::uint8_t> MakeSampleImage(const SampleOptions& options);

void WriteSampleImage(const std::filesystem::path& path, const SampleOptions& options);

}  // namespace tflux
