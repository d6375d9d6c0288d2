// The origin check of the upgrade: normalise the value, then match it against the allow-list.
#include "ws/origin_check.hpp"

namespace tarnel::ws {

namespace {
bool printable(std::string_view value) {
    for (unsigned char c : value) {
        if (c != '\t' && (c < 32 || c > 126)) return false;
    }
    return true;
}

bool admitted_by(std::string_view origin, std::string_view entry) {
    if (!origin.starts_with(entry)) return false;
    return origin.size() == entry.size() || origin[entry.size()] == ':';
}
}  // namespace

OriginDecision check_origin(std::optional<std::string_view> origin) {
    std::string_view value = origin && printable(*origin) ? *origin : std::string_view();
    while (value.ends_with('/')) value.remove_suffix(1);
    OriginDecision decision{true, std::string(value)};
    if (value.empty()) return decision;
    for (std::string_view entry : kAllowedOrigins) {
        if (admitted_by(value, entry)) return decision;
    }
    decision.accepted = false;
    return decision;
}

}  // namespace tarnel::ws
