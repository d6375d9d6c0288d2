// What the fuzz targets share: a failing check that stops the run, exact-size copies of the input, and
// reference computations written independently of the code under test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codec/payload_codec.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "\n*** invariant broken at %s:%d: %s\n    %s\n", file, line, condition, detail.c_str());
    std::abort();  // reported by libFuzzer as a crash, with the input saved
}

#define FUZZ_CHECK(condition, detail)                                    \
    do {                                                                 \
        if (!(condition)) ::fuzz::fail(__FILE__, __LINE__, #condition, (detail)); \
    } while (false)

// The bytes in a heap block of exactly their size, so that AddressSanitizer reports any read before or
// after them (the fuzzer's own buffer may hold a prefix the code under test must not see).
inline tarnel::Bytes exact_copy(const std::uint8_t* data, std::size_t size) {
    return tarnel::Bytes(data, data + size);
}

inline std::uint64_t load_le(const std::uint8_t* at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

inline std::string decimal(unsigned __int128 value) {
    char digits[48];
    int at = sizeof digits;
    digits[--at] = '\0';
    do {
        digits[--at] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(digits + at);
}

// Hexadecimal digits of the first `limit` bytes (for messages; pass SIZE_MAX to compare whole buffers).
inline std::string hex(const std::uint8_t* data, std::size_t size, std::size_t limit = 64) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size && i < limit; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    if (size > limit) out += "...";
    return out;
}

// UTF-8 after RFC 3629, by decoding code points (the code under test compares byte ranges instead).
inline bool utf8_valid(const std::uint8_t* s, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t b = s[i];
        int extra;
        std::uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07;
        } else {
            return false;
        }
        if (i + extra >= size) return false;  // the sequence runs past the end
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// SHA-1 (FIPS 180-4) and base64, for the Sec-WebSocket-Accept value.
inline std::array<std::uint8_t, 20> sha1(std::string_view text) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::vector<std::uint8_t> m(text.begin(), text.end());
    const std::uint64_t bits = std::uint64_t{text.size()} * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    auto rotl = [](std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (std::size_t block = 0; block < m.size(); block += 64) {
        std::uint32_t w[80];
        for (int t = 0; t < 16; ++t) {
            const std::uint8_t* p = &m[block + 4 * t];
            w[t] = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
        }
        for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            std::uint32_t f, k;
            if (t < 20) {
                f = (b & c) | (~b & d), k = 0x5A827999;
            } else if (t < 40) {
                f = b ^ c ^ d, k = 0x6ED9EBA1;
            } else if (t < 60) {
                f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d, k = 0xCA62C1D6;
            }
            const std::uint32_t next = rotl(a, 5) + f + e + k + w[t];
            e = d, d = c, c = rotl(b, 30), b = a, a = next;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    std::array<std::uint8_t, 20> digest{};
    for (int i = 0; i < 20; ++i) digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    return digest;
}

inline std::string base64(const std::uint8_t* data, std::size_t size) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t group = (std::uint32_t{data[i]} << 16) | (i + 1 < size ? data[i + 1] << 8 : 0) |
                                    (i + 2 < size ? data[i + 2] : 0);
        out.push_back(alphabet[(group >> 18) & 63]);
        out.push_back(alphabet[(group >> 12) & 63]);
        out.push_back(i + 1 < size ? alphabet[(group >> 6) & 63] : '=');
        out.push_back(i + 2 < size ? alphabet[group & 63] : '=');
    }
    return out;
}

}  // namespace fuzz
