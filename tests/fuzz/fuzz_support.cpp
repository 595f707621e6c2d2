#include "tests/fuzz/fuzz_support.h"

#include "rom/file.h"
#include "support/test_util.h"

namespace tflux::fuzz {

namespace fs = std::filesystem;

const fs::path& ScratchFolder() {
    static const test::ScratchDir scratch;
    return scratch.path();
}

void WriteFileBytes(const fs::path& path, Input bytes) {
    RemoveFile(path);
    File file = File::Open(path, OpenMode::CreateExclusive, Links::NoFollow);
    file.WriteAt(0, bytes);
    file.Close();
}

}  // namespace tflux::fuzz
