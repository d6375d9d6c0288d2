// Test helper: payload bytes written as hexadecimal text.
#pragma once

#include <sstream>
#include <string>

#include "codec/payload_codec.hpp"

namespace tarnel::test_support {

// "01 00 F0 3F" -> {0x01, 0x00, 0xF0, 0x3F}
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

}  // namespace tarnel::test_support
