#pragma once

// What the four table routines share beyond the byte-order helpers: choosing the region's
// layout and reaching the output file from the read-only state a writer is given.

#include <string>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/rom_state.h"
#include "romtables/regions.h"

namespace tflux {

// Identification admits only E, J and P, so any other code here means the tables were asked
// for before the image was accepted; refuse rather than guess offsets.
inline RegionLayout TableLayoutFor(const RomState& state) {
    if (const auto layout = LayoutFor(state.RegionCode)) {
        return *layout;
    }
    throw EngineError("cannot place the track tables of " + state.RomFile.Path().string() +
                      ": unknown region code \"" + state.RegionCode + "\"");
}

// Writers take the state read-only because they must not change the per-track arrays; a
// positioned write changes the file's contents, never the handle itself.
inline File& OutputFile(const RomState& state) {
    return const_cast<File&>(state.RomFile);
}

}  // namespace tflux
