#include "tests/fuzz/fuzz_support.h"

#include <stdlib.h>

#include <system_error>

#include "rom/errors.h"
#include "rom/file.h"

namespace tflux::fuzz {

namespace fs = std::filesystem;

namespace {

class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "tflux-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw EngineError("cannot create a scratch folder from " + pattern);
        }
        path_ = pattern;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

}  // namespace

const fs::path& ScratchFolder() {
    static const Scratch scratch;
    return scratch.path();
}

void WriteFileBytes(const fs::path& path, Input bytes) {
    RemoveFile(path);
    File file = File::Open(path, OpenMode::CreateExclusive, Links::NoFollow);
    file.WriteAt(0, bytes);
    file.Close();
}

}  // namespace tflux::fuzz
