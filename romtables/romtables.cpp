#include "romtables/romtables.h"

namespace tflux {

void ReadRomTables(RomState& state) {
    ReadNameTable(state);
    ReadSubtitleTable(state);
    ReadParamTable(state);
    ReadAttrTable(state);
}

void WriteRomTables(RomState& state) {
    WriteNameTable(state);
    WriteSubtitleTable(state);
    WriteParamTable(state);
    WriteAttrTable(state);
}

}  // namespace tflux
