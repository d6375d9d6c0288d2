// Lossy UTF-8 decoding: each maximal ill-formed subpart becomes one U+FFFD, valid text passes unchanged.
#include "codec/utf8.hpp"

#include <gtest/gtest.h>

#include "support/hex_bytes.hpp"

#include <sstream>
#include <string>

namespace tarnel::utf8 {
namespace {

using tarnel::test_support::hex;

const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
    const char* what;
    const char* input;
    std::string expected;
};

// Expected values are what a lossy decoder following the Unicode maximal-subpart practice produces
// (the same as Python's bytes.decode("utf-8", "replace")).
const Case kInvalid[] = {
    {"truncated 2-byte at end", "C2", R},
    {"truncated 3-byte at end", "E2 82", R},
    {"truncated 3-byte before ASCII", "E2 82 41", R + "A"},
    {"truncated 4-byte at end", "F0 9F 98", R},
    {"truncated 4-byte then truncated 3-byte then truncated 2-byte", "F1 80 80 E1 80 C2", R + R + R},
    {"surrogate D800", "ED A0 80", R + R + R},
    {"surrogate DFFF", "ED BF BF", R + R + R},
    {"overlong 2-byte NUL", "C0 80", R + R},
    {"overlong 2-byte C1", "C1 BF", R + R},
    {"overlong 3-byte", "E0 80 80", R + R + R},
    {"overlong 4-byte", "F0 80 80 80", R + R + R + R},
    {"above U+10FFFF", "F4 90 80 80", R + R + R + R},
    {"F5 lead", "F5 80 80 80", R + R + R + R},
    {"5-byte form", "F8 88 80 80 80", R + R + R + R + R},
    {"FF", "FF", R},
    {"lone continuation", "61 80 62", "a" + R + "b"},
    {"lead followed by lead", "E2 E2 82 AC", R + "\xE2\x82\xAC"},
    {"lead then ASCII", "C3 41", R + "A"},
};

TEST(Utf8DecodeLossy, InvalidSequencesAreReplacedPerMaximalSubpart) {
    for (const Case& c : kInvalid) {
        SCOPED_TRACE(c.what);
        const Bytes input = hex(c.input);
        EXPECT_EQ(decode_lossy(input), c.expected);
        EXPECT_FALSE(is_valid(input));
    }
}

TEST(Utf8DecodeLossy, ValidTextIsUnchanged) {
    const char* valid[] = {
        "",
        "68 65 6C 6C 6F",
        "00",
        "7F",
        "C2 80",
        "DF BF",
        "E0 A0 80",
        "ED 9F BF",         // U+D7FF, just below the surrogates
        "EE 80 80",         // U+E000, just above them
        "EF BF BD",         // U+FFFD itself
        "EF BF BF",         // U+FFFF
        "F0 90 80 80",      // U+10000
        "F4 8F BF BF",      // U+10FFFF
        "C3 A9 E2 82 AC F0 9F 98 80",
    };
    for (const char* text : valid) {
        SCOPED_TRACE(text);
        const Bytes input = hex(text);
        EXPECT_TRUE(is_valid(input));
        EXPECT_EQ(decode_lossy(input), std::string(input.begin(), input.end()));
    }
}

}  // namespace
}  // namespace tarnel::utf8
