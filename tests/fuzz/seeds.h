#pragma once

// Starting inputs for the fuzzers, built from the real formats: containers packed by the
// engine's own packer, track records and courses compiled from the bundled pack, table areas and
// headers of generated sample images. The regular suite runs every seed through its harness too, so
// a seed that no longer reaches the end of a harness is noticed.

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fuzz/harness.h"

namespace tflux::fuzz {

struct Seed {
    std::string name;
    Bytes bytes;
    Outcome expected;
};

// packDir: the bundled pack's source folder (trackpack.json and its courses).
std::vector<Seed> MakeSeeds(const std::string& harness, const std::filesystem::path& packDir);

}  // namespace tflux::fuzz
