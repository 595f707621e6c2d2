#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string>

#include "payload/container.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

namespace {

namespace fs = std::filesystem;
using Entries = std::array<PayloadEntry, kPayloadEntries>;

std::optional<Entries> Locate(Input head, std::uint64_t fileSize) {
    try {
        const Entries entries = LocatePayloadEntries(head, fileSize);
        for (const PayloadEntry& entry : entries) {
            Require(entry.length >= 1, "an accepted entry is empty");
            Require(entry.offset <= fileSize && fileSize - entry.offset >= entry.length,
                    "an accepted entry runs past the end of the file");
        }
        return entries;
    } catch (const EngineError&) {
        return std::nullopt;
    }
}

bool SameEntries(const Entries& a, const Entries& b) {
    return std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
        return x.offset == y.offset && x.length == y.length;
    });
}

// A longer carrier left over from an earlier run: extraction writes over it without
// truncating, so its tail must not change what lands in the folder.
Bytes LeftOver(Input data) {
    static constexpr char kTail[] = "QUINTARA\x01\x00\x00\x00QUINTARA";
    Bytes bytes(data.begin(), data.end());
    bytes.insert(bytes.end(), kTail, kTail + sizeof kTail - 1);
    return bytes;
}

// Every entry's file holds exactly the entry's bytes.
void CheckUnpacked(const fs::path& dir, Input data, const Entries& entries) {
    for (int i = 0; i < kPayloadEntries; ++i) {
        const PayloadEntry& entry = entries[static_cast<std::size_t>(i)];
        const std::string content = ReadWholeFile(dir / PayloadEntryName(i), entry.length);
        Require(content.size() == entry.length &&
                    std::equal(
                        content.begin(), content.end(),
                        data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                        [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; }),
                "unpacked " + PayloadEntryName(i) + " differs from its entry");
    }
}

}  // namespace

Outcome FuzzContainer(Input data) {
    const std::optional<Entries> whole = Locate(data, data.size());

    // The same bytes as the head of a larger file: nothing that fit before stops fitting, and
    // fields beyond the head are refused rather than read.
    const std::optional<Entries> head = Locate(data, data.size() + 4096);
    if (whole) {
        Require(head && SameEntries(*whole, *head),
                "a container found in a file is not found the same in a larger one");
    }
    // A file shorter than the bytes at hand: its end, not the buffer's, bounds every entry.
    Locate(data, data.size() / 2);

    // From a file: found the same as in memory, or refused before any file is written.
    const fs::path dir = ScratchFolder() / "container";
    fs::remove_all(dir);
    fs::create_directories(dir);
    WriteFileBytes(dir / kPayloadFileName, data);
    bool unpacked = false;
    try {
        UnpackPayload(dir);
        unpacked = true;
    } catch (const EngineError&) {
        Require(std::distance(fs::directory_iterator(dir), fs::directory_iterator()) == 1,
                "a refused container left files behind");
    }
    Require(unpacked == whole.has_value(),
            unpacked ? "a container refused in memory was unpacked from a file"
                     : "a container accepted in memory was refused from a file");
    if (!whole) {
        return Outcome::Refused;
    }
    CheckUnpacked(dir, data, *whole);

    // From memory, over a longer carrier left from an earlier run.
    WriteFileBytes(dir / kPayloadFileName, LeftOver(data));
    ExtractPayload(dir, data);
    Require(!fs::exists(dir / kPayloadFileName), "the container file is left behind");
    CheckUnpacked(dir, data, *whole);
    return Outcome::Accepted;
}

}  // namespace tflux::fuzz
