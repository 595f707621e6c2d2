// MD5 (RFC 1321), kept here so that the engine needs no third-party library on any platform.
// Only the boot-code recognition uses it, so it favours brevity over speed.

#include <array>
#include <bit>
#include <cstdint>
#include <span>

#include "rom/checksum.h"

namespace tflux {

namespace {

// Per-round left-rotation amounts, four per round.
constexpr std::array<int, 16> kShift = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32)
constexpr std::array<std::uint32_t, 64> kSine = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Compress(std::array<std::uint32_t, 4>& state, const std::uint8_t* block) {
    std::array<std::uint32_t, 16> m{};
    for (int k = 0; k < 16; ++k) {
        const std::uint8_t* p = block + 4 * k;
        m[k] = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
               (std::uint32_t{p[3]} << 24);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f = 0;
        int g = 0;
        switch (i / 16) {
            case 0:
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
        }
        const std::uint32_t next =
            b + std::rotl(a + f + kSine[i] + m[g], kShift[4 * (i / 16) + i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

std::array<std::uint8_t, 16> Md5(std::span<const std::uint8_t> data) {
    std::array<std::uint32_t, 4> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::size_t whole = data.size() - data.size() % 64;
    for (std::size_t k = 0; k < whole; k += 64) {
        Compress(state, data.data() + k);
    }
    // The tail, the 0x80 marker and the bit length fill one or two final blocks.
    std::array<std::uint8_t, 128> tail{};
    const std::size_t rest = data.size() - whole;
    for (std::size_t k = 0; k < rest; ++k) {
        tail[k] = data[whole + k];
    }
    tail[rest] = 0x80;
    const std::size_t tailSize = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
    for (int k = 0; k < 8; ++k) {
        tail[tailSize - 8 + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    }
    for (std::size_t k = 0; k < tailSize; k += 64) {
        Compress(state, tail.data() + k);
    }
    std::array<std::uint8_t, 16> digest{};
    for (int k = 0; k < 16; ++k) {
        digest[k] = static_cast<std::uint8_t>(state[k / 4] >> (8 * (k % 4)));
    }
    return digest;
}

}  // namespace tflux
