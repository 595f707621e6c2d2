// Writes a synthetic image of the game, for trying the patcher without a real one.

#include <cstdlib>
#include <iostream>
#include <string>

#include "rom/errors.h"
#include "tools/sample_image.h"

int main(int argc, char** argv) {
    const std::string usage = "usage: tflux-krn-sample OUTPUT [E|J|P] [z64|v64]\n";
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::cout << usage;
        return 0;
    }
    // An option where the output belongs is a mistake, not a file name.
    if (argc < 2 || argc > 4 || argv[1][0] == '-') {
        std::cerr << usage;
        return 2;
    }
    tflux::SampleOptions options;
    if (argc >= 3) {
        options.region = argv[2][0];
    }
    if (argc == 4) {
        const std::string order = argv[3];
        if (order != "z64" && order != "v64") {
            std::cerr << "tflux-krn-sample: byte order must be z64 or v64\n";
            return 2;
        }
        options.v64 = order == "v64";
    }
    try {
        tflux::WriteSampleImage(argv[1], options);
    } catch (const std::exception& e) {
        std::cerr << "tflux-krn-sample: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
