// UTF-8 validation and lossy decoding (each maximal invalid subpart becomes U+FFFD).
#pragma once

#include <string>

#include "codec/payload_codec.hpp"

namespace tarnel::utf8 {

bool is_valid(ByteView bytes);
std::string decode_lossy(ByteView bytes);

}  // namespace tarnel::utf8
