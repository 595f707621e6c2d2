#pragma once

#include <stdexcept>
#include <string>

namespace tflux {

// A failure inside the engine. what() is the cause as a person reads it: the system's error
// text and the file involved ("cannot write /roms/out.z64: No space left on device").
class EngineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tflux
