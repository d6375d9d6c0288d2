// Order and close-request validation: each check in its order, then the vectors the page decodes.
#include "engine/order_request.hpp"

#include <cmath>

namespace tarnel::engine {

namespace {

// Length of the UTF-8 encoded White_Space character at the start (or end) of `text`, or 0.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::string_view trim_white_space(std::string_view text) {
    for (bool trimmed = true; trimmed;) {
        trimmed = false;
        for (std::string_view space : kWhiteSpace) {
            if (text.starts_with(space)) {
                text.remove_prefix(space.size());
                trimmed = true;
            }
            if (text.ends_with(space)) {
                text.remove_suffix(space.size());
                trimmed = true;
            }
        }
    }
    return text;
}

bool valid_amount(const std::optional<double>& value) {
    return !value || (std::isfinite(*value) && *value >= 0.0);
}

double presence(const std::optional<double>& value, double absent) { return value ? 1.0 : absent; }

}  // namespace

bool matches_word(std::string_view text, std::string_view word) {
    text = trim_white_space(text);
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

Expected<std::array<double, 13>> order_vector(const OrderArguments& o) {
    const bool buy = matches_word(o.side, "buy");
    if (!buy && !matches_word(o.side, "sell")) return value_error("side must be 'buy' or 'sell'");
    const bool limit = matches_word(o.order_type, "limit");
    if (!limit && !matches_word(o.order_type, "stop")) return value_error("order_type must be 'limit' or 'stop'");
    if (!std::isfinite(o.price)) return value_error("price must be finite");
    if (o.units <= 0) return value_error("units must be > 0");
    for (const auto* amount : {&o.take_profit, &o.stop_loss, &o.trailing_stop}) {
        if (!valid_amount(*amount)) return value_error("value must be finite and >= 0");
    }
    // Amounts go as 100 * value - 1; absence is -1.0 here (the ticket vector uses other conventions).
    auto scaled = [](const std::optional<double>& v) { return v ? *v * 100.0 - 1.0 : 0.0; };
    return std::array<double, 13>{
        1.0,
        o.price,
        presence(o.take_profit, -1.0),
        presence(o.stop_loss, -1.0),
        presence(o.trailing_stop, -1.0),
        presence(o.time_limit, -1.0),
        buy ? 1.0 : -1.0,
        limit ? 1.0 : -1.0,
        static_cast<double>(o.units),
        scaled(o.take_profit),
        scaled(o.stop_loss),
        scaled(o.trailing_stop),
        o.time_limit.value_or(0.0),
    };
}

Expected<std::array<double, 9>> ticket_vector(const TicketArguments& t) {
    const bool buy = matches_word(t.side, "buy");
    if (!buy && !matches_word(t.side, "sell")) return value_error("side must be 'buy' or 'sell'");
    if (t.units <= 0) return value_error("units must be > 0");
    for (const auto* amount : {&t.take_profit, &t.stop_loss, &t.trailing_stop}) {
        if (!valid_amount(*amount)) return value_error("value must be finite and >= 0");
    }
    auto shifted = [](const std::optional<double>& v) { return v ? *v - 1.0 : 0.0; };
    return std::array<double, 9>{
        1.0,
        presence(t.take_profit, 0.0),
        presence(t.stop_loss, 0.0),
        presence(t.trailing_stop, 0.0),
        buy ? 1.0 : 0.0,
        static_cast<double>(t.units),
        shifted(t.take_profit),
        shifted(t.stop_loss),
        shifted(t.trailing_stop),
    };
}

Expected<CloseRequest> close_request(CloseRequest request) {
    const std::size_t n = request.position_ids.size();
    if (request.actions.size() != n || request.ratios.size() != n) {
        return value_error("close_positions: arrays must have equal length");
    }
    for (std::size_t i = 0; i < n; ++i) {
        double& ratio = request.ratios[i];
        if (request.actions[i] != kReduceAction) {
            ratio = 0.0;
        } else if (!(ratio >= 0.0 && ratio <= 1.0)) {
            return value_error("ratio out of range for reduce");
        }
    }
    return request;
}

}  // namespace tarnel::engine
