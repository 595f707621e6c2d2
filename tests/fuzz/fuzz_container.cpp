#include <algorithm>
#include <array>
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

// A longer container left over from an earlier run: extraction writes over it without
// truncating, so its tail must not change what is found.
Bytes LeftOver(Input data) {
    Bytes bytes(data.begin(), data.end());
    const std::string tail = "QUINTARA\x01\x00\x00\x00QUINTARA";
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
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

    if (!whole) {
        return Outcome::Refused;
    }
    const fs::path dir = ScratchFolder() / "container";
    fs::create_directories(dir);
    WriteFileBytes(dir / kPayloadFileName, LeftOver(data));
    ExtractPayload(dir, data);
    Require(!fs::exists(dir / kPayloadFileName), "the container file is left behind");
    for (int i = 0; i < kPayloadEntries; ++i) {
        const PayloadEntry& entry = (*whole)[static_cast<std::size_t>(i)];
        const std::string content = ReadWholeFile(dir / PayloadEntryName(i), entry.length);
        Require(content.size() == entry.length &&
                    std::equal(
                        content.begin(), content.end(),
                        data.begin() + static_cast<std::ptrdiff_t>(entry.offset),
                        [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; }),
                "unpacked " + PayloadEntryName(i) + " differs from its entry");
    }
    return Outcome::Accepted;
}

}  // namespace tflux::fuzz
