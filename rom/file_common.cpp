// The parts of the file layer that are the same on every system.

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "rom/errors.h"
#include "rom/file.h"
#include "rom/file_detail.h"

namespace tflux {

namespace fs = std::filesystem;

const char* IoOpName(IoOp op) {
    switch (op) {
        case IoOp::Open:
            return "open";
        case IoOp::Create:
            return "create";
        case IoOp::Read:
            return "read";
        case IoOp::Write:
            return "write";
        case IoOp::Sync:
            return "flush";
        case IoOp::Close:
            return "close";
        case IoOp::Remove:
            return "remove";
        case IoOp::Rename:
            return "rename";
        case IoOp::Copy:
            return "copy";
    }
    return "use";
}

std::string DescribeFailure(const char* what, const fs::path& path, int error) {
    return std::string("cannot ") + what + " " + path.string() + ": " + std::strerror(error);
}

void File::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
    const std::size_t got = ReadSome(offset, buffer);
    if (got != buffer.size()) {
        throw EngineError("cannot read " + path_.string() + ": the file ends at byte " +
                          std::to_string(offset + got) + ", before the " +
                          std::to_string(buffer.size()) + " bytes at offset " +
                          std::to_string(offset));
    }
}

std::string ReadWholeFile(const fs::path& path, std::size_t maxBytes) {
    File file = File::Open(path, OpenMode::Read);
    const std::uint64_t size = file.Size();
    if (size > maxBytes) {
        throw EngineError("cannot read " + path.string() + ": larger than " +
                          std::to_string(maxBytes) + " bytes");
    }
    std::string content(static_cast<std::size_t>(size), '\0');
    file.ReadAt(0, std::span(reinterpret_cast<std::uint8_t*>(content.data()), content.size()));
    return content;
}

void CopyRemainder(const File& from, File& to, std::uint64_t done, std::uint64_t size) {
    // The buffer is only needed when there is something left to copy.
    std::vector<std::uint8_t> chunk(done < size ? 1 << 20 : 0);
    while (done < size) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
        const std::size_t got = from.ReadSome(done, std::span(chunk).first(want));
        if (got == 0)
            break;
        to.WriteAt(done, std::span(chunk).first(got));
        done += got;
    }
    if (done != size) {
        throw EngineError("cannot copy " + from.Path().string() + ": it shrank while being read");
    }
}

void WriteFileWhole(const fs::path& path, std::span<const std::uint8_t> bytes) {
    fs::path partial = path;
    partial += ".partial";
    RemoveFile(partial);
    // Removes the half-built file on every way out but success.
    struct Cleanup {
        const fs::path& path;
        bool armed = true;
        ~Cleanup() {
            if (armed) {
                try {
                    RemoveFile(path);
                } catch (const EngineError&) {
                    // The failure that brought us here is the one worth reporting.
                }
            }
        }
    } cleanup{partial};
    File out = File::Open(partial, OpenMode::CreateExclusive, Links::NoFollow);
    out.WriteAt(0, bytes);
    out.Sync();
    out.Close();
    RenameFile(partial, path);
    cleanup.armed = false;
}

void WriteNewFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
    File file = File::Open(path, OpenMode::CreateExclusive);
    file.WriteAt(0, bytes);
    file.Close();
}

void CreateDirectories(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        throw EngineError("cannot create the folder " + dir.string() + ": " + ec.message());
    }
}

bool PathExists(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::symlink_status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        throw EngineError("cannot examine " + path.string() + ": " + ec.message());
    }
    return fs::exists(status);
}

}  // namespace tflux
