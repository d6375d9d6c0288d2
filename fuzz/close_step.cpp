// CloseStep decoding: the fixed texts of every failure, the three columns read from their own offsets,
// and decode then encode giving back the input.
#include "codec/payload_codec.hpp"
#include "fuzz_support.hpp"

using namespace tarnel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = fuzz::exact_copy(data, size);
    const ByteView payload(input);
    const auto decoded = decode_close_step(payload);
    FUZZ_CHECK(decoded.has_value() == check_close_step(payload).has_value(), fuzz::hex(data, size));

    if (size < 4) {
        FUZZ_CHECK(!decoded && decoded.error().text() == "CloseStep payload too short", fuzz::hex(data, size));
        return 0;
    }
    const std::uint64_t n = fuzz::load_le(input.data(), 4);
    const unsigned __int128 expected = 4 + static_cast<unsigned __int128>(16) * n;
    if (expected != size) {
        const std::string text =
            "CloseStep length mismatch: expected " + fuzz::decimal(expected) + ", got " + std::to_string(size);
        FUZZ_CHECK(!decoded && decoded.error() == EngineError::value(text), fuzz::hex(data, size));
        return 0;
    }
    FUZZ_CHECK(decoded && decoded->flags.size() == n && decoded->actions.size() == n && decoded->ratios.size() == n,
               fuzz::hex(data, size));
    for (std::uint64_t i = 0; i < n; ++i) {
        const auto flag = static_cast<std::int32_t>(static_cast<std::uint32_t>(fuzz::load_le(&input[4 + 4 * i], 4)));
        const auto action =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(fuzz::load_le(&input[4 + 4 * n + 4 * i], 4)));
        const std::uint64_t ratio_bits = fuzz::load_le(&input[4 + 8 * n + 8 * i], 8);
        std::uint64_t decoded_bits;
        std::memcpy(&decoded_bits, &decoded->ratios[i], 8);
        FUZZ_CHECK(decoded->flags[i] == flag && decoded->actions[i] == action && decoded_bits == ratio_bits,
                   "entry " + std::to_string(i) + " differs: " + fuzz::hex(data, size));
    }
    const auto encoded = encode_close_step(decoded->flags, decoded->actions, decoded->ratios);
    FUZZ_CHECK(encoded && *encoded == input, "re-encoding differs: " + fuzz::hex(data, size));
    return 0;
}
