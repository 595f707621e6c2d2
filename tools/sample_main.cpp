// Writes a synthetic image of the game, for trying the patcher without a real one.

#include <cstdlib>
#include <iostream>
#include <string>

#include "rom/errors.h"
#include "tools/sample_image.h"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: tflux-krn-sample OUTPUT [E|J|P] [z64|v64]\n";
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
