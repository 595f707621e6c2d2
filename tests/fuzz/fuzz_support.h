#pragma once

// What the harnesses share: checking a property, and a scratch folder for the files the
// file-based parsers read.

#include <filesystem>
#include <string>

#include "tests/fuzz/harness.h"

namespace tflux::fuzz {

inline void Require(bool condition, const std::string& what) {
    if (!condition) {
        throw FuzzFailure(what);
    }
}

// A folder of this process's own under the system's temporary folder, made on first use and
// removed with everything in it when the process ends. One per process keeps executions cheap.
const std::filesystem::path& ScratchFolder();

// Replaces whatever is at `path` with a new file holding exactly `bytes`.
void WriteFileBytes(const std::filesystem::path& path, Input bytes);

}  // namespace tflux::fuzz
