#pragma once

// The game's four per-track tables. Readers decode the input image (state.RomFile open for
// reading) into the state's arrays; writers rebuild the tables from the arrays and write them
// into the output image (state.RomFile open for writing), never reading it.

#include "rom/rom_state.h"

namespace tflux {

void ReadNameTable(RomState& state);
void ReadSubtitleTable(RomState& state);
void ReadParamTable(RomState& state);
void ReadAttrTable(RomState& state);

void WriteNameTable(RomState& state);
void WriteSubtitleTable(RomState& state);
void WriteParamTable(RomState& state);
void WriteAttrTable(RomState& state);

// Names, subtitles, parameters, attributes, in that order.
void ReadRomTables(RomState& state);
void WriteRomTables(RomState& state);

}  // namespace tflux
