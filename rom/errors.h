#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tflux {

// A refusal or a failure inside the engine. what() is the whole cause as a person reads it
// ("cannot write /roms/out.z64: No space left on device"); beside it the error keeps, where
// there was one, the operation that failed, the path it failed on and the system's own code,
// so that a front end can tell a full disk from a missing file without reading the text.
class EngineError : public std::runtime_error {
  public:
    explicit EngineError(const std::string& message) : std::runtime_error(message) {}
    EngineError(const std::string& message, std::string operation, std::filesystem::path path,
                std::error_code code)
        : std::runtime_error(message),
          operation_(std::move(operation)),
          path_(std::move(path)),
          code_(code) {}

    // "write", "open folder", ...; empty when no file operation failed.
    const std::string& Operation() const noexcept { return operation_; }
    const std::filesystem::path& Path() const noexcept { return path_; }
    // The system's reason; empty (false) for refusals the engine makes itself.
    const std::error_code& Code() const noexcept { return code_; }

    // The same failure with `context` in front of its text ("entry 5: ..."), cause kept.
    EngineError Within(const std::string& context) const {
        return EngineError(context + what(), operation_, path_, code_);
    }

  private:
    std::string operation_;
    std::filesystem::path path_;
    std::error_code code_;
};

// "cannot <operation> <path>: <the system's text for errno `error`>", carrying that errno.
EngineError SystemError(const char* operation, const std::filesystem::path& path, int error);

}  // namespace tflux
