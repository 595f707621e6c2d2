#pragma once

// What the four table routines share beyond the byte-order helpers: choosing the region's layout.

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

}  // namespace tflux
