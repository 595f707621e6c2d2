#include "rom/digest.h"

#include <gcrypt.h>

#include <vector>

#include "rom/byteorder.h"
#include "rom/errors.h"

namespace tflux {

namespace {

constexpr std::array<int, 3> kAlgorithms = {GCRY_MD_CRC32, GCRY_MD_MD5, GCRY_MD_SHA1};

// libgcrypt must be told once, before any other call, that no secure memory is wanted: hashes
// of game images hold no secrets. A function-local static runs that exactly once.
void InitialiseLibrary() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
            throw EngineError(std::string("libgcrypt is older than ") + GCRYPT_VERSION +
                              ", the version this program was built with");
        }
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace

struct HashSet::Handle {
    gcry_md_hd_t md = nullptr;
    ~Handle() { gcry_md_close(md); }
};

HashSet::HashSet() : handle_(std::make_unique<Handle>()) {
    InitialiseLibrary();
    if (const gcry_error_t error = gcry_md_open(&handle_->md, 0, 0); error != 0) {
        throw EngineError(std::string("cannot start the hashes: ") + gcry_strerror(error));
    }
    for (const int algorithm : kAlgorithms) {
        if (const gcry_error_t error = gcry_md_enable(handle_->md, algorithm); error != 0) {
            throw EngineError(std::string("cannot start the hashes: ") + gcry_strerror(error));
        }
    }
}

HashSet::~HashSet() = default;

void HashSet::Update(std::span<const std::uint8_t> bytes) {
    gcry_md_write(handle_->md, bytes.data(), bytes.size());
}

ImageHashes HashSet::Finish() {
    gcry_md_final(handle_->md);
    std::array<std::string, kAlgorithms.size()> hex;
    for (std::size_t i = 0; i < kAlgorithms.size(); ++i) {
        hex[i] =
            Hex(gcry_md_read(handle_->md, kAlgorithms[i]), gcry_md_get_algo_dlen(kAlgorithms[i]));
    }
    return {hex[0], hex[1], hex[2]};
}

ImageHashes HashBytes(std::span<const std::uint8_t> bytes) {
    HashSet hashes;
    hashes.Update(bytes);
    return hashes.Finish();
}

ImageDigests HashImageFile(const std::filesystem::path& path, ImageOrder order, IoHook* hook) {
    const File file = File::Open(path, OpenMode::Read, Links::Follow, hook);
    std::vector<std::uint8_t> bytes(file.Size());
    file.ReadAt(0, bytes);
    ImageDigests digests;
    if (order != ImageOrder::Z64) {
        digests.stored = HashBytes(bytes);
        ToZ64(bytes, order);
    }
    digests.z64 = HashBytes(bytes);
    return digests;
}

std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> data) {
    InitialiseLibrary();
    std::array<std::uint8_t, 16> digest{};
    gcry_md_hash_buffer(GCRY_MD_MD5, digest.data(), data.data(), data.size());
    return digest;
}

}  // namespace tflux
