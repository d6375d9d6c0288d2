// UTF-8 validation after RFC 3629, with the "maximal subpart" replacement practice of Unicode 3.9.
#include "codec/utf8.hpp"

namespace tarnel::utf8 {

namespace {
// Length of the valid sequence starting at `i`, or 0 with `invalid_len` set to the bytes to replace.
std::size_t valid_sequence(ByteView s, std::size_t i, std::size_t& invalid_len) {
    const std::uint8_t b0 = s[i];
    invalid_len = 1;
    if (b0 < 0x80) return 1;
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            invalid_len = k;
            return 0;
        }
        const std::uint8_t b = s[i + k];
        const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) {
            invalid_len = k;
            return 0;
        }
    }
    return need + 1;
}
}  // namespace

bool is_valid(ByteView bytes) {
    std::size_t invalid_len = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = valid_sequence(bytes, i, invalid_len);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string decode_lossy(ByteView bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t invalid_len = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = valid_sequence(bytes, i, invalid_len);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            i += invalid_len;
        } else {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), n);
            i += n;
        }
    }
    return out;
}

}  // namespace tarnel::utf8
