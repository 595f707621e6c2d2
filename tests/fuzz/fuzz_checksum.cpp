#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "rom/byteorder.h"
#include "rom/checksum.h"
#include "rom/errors.h"
#include "rom/file.h"
#include "tests/fuzz/fuzz_support.h"

namespace tflux::fuzz {

namespace {

constexpr std::size_t kBootEnd = 0x1000;

std::optional<ImageOrder> OrderChoice(std::uint8_t flags) {
    switch (flags & 3) {
        case 1:
            return ImageOrder::Z64;
        case 2:
            return ImageOrder::V64;
        case 3:
            return ImageOrder::N64;
        default:
            return std::nullopt;
    }
}

std::optional<CicVariant> VariantChoice(std::uint8_t flags) {
    switch ((flags >> 2) & 7) {
        case 1:
            return CicVariant::Cic6101;
        case 2:
            return CicVariant::Cic6102;
        case 3:
            return CicVariant::Cic6103;
        case 4:
            return CicVariant::Cic6105;
        case 5:
            return CicVariant::Cic6106;
        default:
            return std::nullopt;
    }
}

template <class F>
bool Throws(F&& f) {
    try {
        f();
        return false;
    } catch (const EngineError&) {
        return true;
    }
}

// The checksum tool's update on a file: detection or the choices given, and an update in place
// that changes the eight bytes at 0x10 alone, to the words computed, in the image's own order.
void CheckTool(Input head, std::uint8_t flags) {
    Bytes image(kChecksumEnd + (flags >> 5), 0);
    if (!head.empty()) {
        std::memcpy(image.data(), head.data(), std::min(head.size(), image.size()));
        for (std::size_t filled = head.size(); filled < image.size(); filled *= 2) {
            std::memcpy(image.data() + filled, image.data(),
                        std::min(filled, image.size() - filled));
        }
    }
    const auto order = OrderChoice(flags);
    const auto variant = VariantChoice(flags);
    const auto path = ScratchFolder() / "checksum.z64";
    WriteFileBytes(path, image);

    // One pass over the image: the update alone, its report checked against the choices.
    File file = File::Open(path, OpenMode::ReadWrite, Links::NoFollow);
    const ChecksumReport updated = UpdateChecksum(file, order, variant);
    Require(updated.order == order.value_or(DetectOrder(image)),
            "the order used is not the one given or detected");
    Require(!variant || updated.variant == *variant, "the variant given was not used");
    Require(updated.stored == updated.computed, "the words read back are not the ones computed");
    file.Close();

    const std::string text = ReadWholeFile(path, image.size());
    const Bytes after(text.begin(), text.end());
    Require(after.size() == image.size(), "the update changed the image's size");
    Require(std::memcmp(after.data(), image.data(), kCrcOffset) == 0 &&
                std::memcmp(after.data() + kCrcOffset + 8, image.data() + kCrcOffset + 8,
                            image.size() - kCrcOffset - 8) == 0,
            "the update changed bytes outside the checksum words");
    Bytes words(after.begin() + kCrcOffset, after.begin() + kCrcOffset + 8);
    ToZ64(words, updated.order);
    Require(HeaderCrc{GetBE32(words, 1), GetBE32(words, 5)} == updated.computed,
            "the words in the file are not the ones computed, in the image's order");
}

}  // namespace

Outcome FuzzChecksum(Input head) {
    for (const ImageOrder each : {ImageOrder::Z64, ImageOrder::V64, ImageOrder::N64}) {
        Bytes there(head.begin(), head.end());
        ToZ64(there, each);
        ToZ64(there, each);
        Require(std::equal(there.begin(), there.end(), head.begin(), head.end()),
                "converting to Z64 and back changed the bytes");
    }
    const ImageOrder order = DetectOrder(head);
    Bytes z64(head.begin(), head.end());
    ToZ64(z64, order);
    Require(order == ImageOrder::Z64 || DetectOrder(z64) == ImageOrder::Z64,
            "an image converted to Z64 is not detected as Z64");

    const bool hasBootCode = z64.size() >= kBootEnd;
    Require(Throws([&] { DetectCic(z64); }) != hasBootCode,
            "boot-code detection on " + std::to_string(z64.size()) + " bytes");
    Require(
        Throws([&] { CalculateChecksum(z64, CicVariant::Cic6105); }) == (z64.size() < kChecksumEnd),
        "a checksum over " + std::to_string(z64.size()) + " bytes");
    return hasBootCode ? Outcome::Accepted : Outcome::Refused;
}

Outcome FuzzChecksumUpdate(Input data) {
    const std::uint8_t flags = data.size() > 0 ? data[0] : 0;
    CheckTool(data.size() > 1 ? data.subspan(1) : Input(), flags);
    return Outcome::Accepted;
}

}  // namespace tflux::fuzz
