// The origin check: the value as compared (no bytes outside tab and 32..126, no trailing "/"), the
// allow-list rule (equal to an entry, or the entry followed by ":"), and decisions stable under
// re-checking, an added trailing "/" and an added port.
//
// Input: one byte saying whether the request has an Origin field at all, then the field's value.
#include <optional>

#include "fuzz_support.hpp"
#include "ws/origin_check.hpp"

using namespace tarnel::ws;

namespace {

std::string show(const OriginDecision& d) { return (d.accepted ? "accept '" : "refuse '") + d.origin + "'"; }

OriginDecision reference(std::optional<std::string_view> origin) {
    std::string value;
    if (origin) {
        bool printable = true;
        for (char ch : *origin) {
            const auto c = static_cast<unsigned char>(ch);
            printable = printable && (c == 9 || (c >= 32 && c <= 126));
        }
        if (printable) value = std::string(*origin);
    }
    while (!value.empty() && value.back() == '/') value.pop_back();
    if (value.empty()) return {true, value};
    for (std::string_view entry : {"http://127.0.0.1", "http://localhost", "https://127.0.0.1", "https://localhost",
                                   "https://tarnel.app", "https://beta.tarnel.app"}) {
        if (value == entry || value.rfind(std::string(entry) + ":", 0) == 0) return {true, value};
    }
    return {false, value};
}

bool same(const OriginDecision& a, const OriginDecision& b) { return a.accepted == b.accepted && a.origin == b.origin; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto bytes = fuzz::exact_copy(data + 1, size - 1);
    const std::string_view value(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const std::optional<std::string_view> origin = (data[0] & 1) ? std::optional(value) : std::nullopt;

    const OriginDecision decision = check_origin(origin);
    const OriginDecision want = reference(origin);
    FUZZ_CHECK(same(decision, want), "got " + show(decision) + ", want " + show(want) + " for " + fuzz::hex(data, size));
    FUZZ_CHECK(decision.accepted || !decision.origin.empty(), "an empty origin was refused");

    FUZZ_CHECK(same(check_origin(std::string_view(decision.origin)), decision), "re-checking changed " + show(decision));
    if (!decision.origin.empty()) {
        const std::string slashed = decision.origin + "//";
        FUZZ_CHECK(same(check_origin(std::string_view(slashed)), decision), "trailing slashes changed " + show(decision));
        const std::string with_port = decision.origin + ":8765";
        const OriginDecision ported = check_origin(std::string_view(with_port));
        FUZZ_CHECK(!decision.accepted || ported.accepted, "a port made " + show(decision) + " refused");
    }
    return 0;
}
