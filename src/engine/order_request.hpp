// The checks on order, ticket and close arguments, and the numeric requests they become.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/engine_error.hpp"

namespace tarnel::engine {

struct OrderArguments {
    std::string side;
    std::string order_type;
    double price = 0.0;
    std::int32_t units = 0;
    std::optional<double> take_profit, stop_loss, trailing_stop, time_limit;
};

struct TicketArguments {
    std::string side;
    std::int32_t units = 0;
    std::optional<double> take_profit, stop_loss, trailing_stop;
};

struct CloseRequest {
    std::vector<std::int32_t> position_ids;
    std::vector<std::int32_t> actions;
    std::vector<double> ratios;  // kept for the reduce action (2), 0.0 for every other action
};

inline constexpr std::int32_t kReduceAction = 2;

// Checks in their fixed order; the first failure is a Value error with its fixed text.
Expected<std::array<double, 13>> order_vector(const OrderArguments& order);
Expected<std::array<double, 9>> ticket_vector(const TicketArguments& ticket);
Expected<CloseRequest> close_request(CloseRequest request);

// Whether `text`, without leading and trailing Unicode white space and with ASCII letters lower-cased,
// equals `word` (a lower-case ASCII word).
bool matches_word(std::string_view text, std::string_view word);

}  // namespace tarnel::engine
