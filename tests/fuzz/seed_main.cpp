// tflux-krn-fuzz-seeds DIR: writes each fuzzer's starting inputs to DIR/<harness>/<name>.

#include <exception>
#include <iostream>

#include "rom/file.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/seeds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tflux-krn-fuzz-seeds DIR\n";
        return 2;
    }
    try {
        const std::filesystem::path root = argv[1];
        for (const tflux::fuzz::Harness& harness : tflux::fuzz::Harnesses()) {
            const auto dir = root / harness.name;
            std::filesystem::create_directories(dir);
            for (const auto& seed : tflux::fuzz::MakeSeeds(harness.name, TFLUX_PACK_DIR)) {
                tflux::fuzz::WriteFileBytes(dir / seed.name, seed.bytes);
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "tflux-krn-fuzz-seeds: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
