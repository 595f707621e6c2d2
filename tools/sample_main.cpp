// Writes a synthetic image of the game, for trying the patcher without a real one.

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "rom/byteorder.h"
#include "rom/exit_status.h"
#include "rom/file.h"
#include "romtables/sample_image.h"

int main(int argc, char** argv) {
    CLI::App app{"Writes a synthetic image of T-Flux X, for trying the patcher without a real one.",
                 "tflux-krn-sample"};
    std::string path;
    std::string region = "E";
    std::string order = "z64";
    app.add_option("PATH", path, "Image file to write")->required();
    app.add_option("REGION", region, "Release: E (North American), J (Japanese) or P (PAL)")
        ->check(CLI::IsMember({"E", "J", "P"}))
        ->capture_default_str();
    app.add_option("ORDER", order,
                   "Byte order: z64, v64 (pairs swapped) or n64 (32-bit words little-endian)")
        ->check(CLI::IsMember({"z64", "v64", "n64"}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return tflux::ParseErrorExit(app, e);
    }
    tflux::SampleOptions options;
    options.region = region[0];
    options.v64 = order == "v64";
    try {
        if (order == "n64") {
            // Converting to Z64 is its own inverse, so it also turns Z64 into N64.
            std::vector<std::uint8_t> image = tflux::MakeSampleImage(options);
            tflux::ToZ64(image, tflux::ImageOrder::N64);
            tflux::WriteFileWhole(path, image);
        } else {
            tflux::WriteSampleImage(path, options);
        }
    } catch (const std::exception& e) {
        std::cerr << "tflux-krn-sample: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
