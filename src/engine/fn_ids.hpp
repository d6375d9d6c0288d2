// The function identifier of each RPC method: fixed, part of the wire protocol.
#pragma once

#include <cstdint>

namespace tarnel::engine::fn {

inline constexpr std::uint16_t kStepNext = 2;
inline constexpr std::uint16_t kGetTicketList = 10;
inline constexpr std::uint16_t kGetSnapshot = 12;
inline constexpr std::uint16_t kGetOhlc = 15;
inline constexpr std::uint16_t kPlaceOrder = 20;
inline constexpr std::uint16_t kPlaceTicket = 21;
inline constexpr std::uint16_t kFetchEvents = 30;
inline constexpr std::uint16_t kClosePositions = 31;
inline constexpr std::uint16_t kEndSession = 40;
inline constexpr std::uint16_t kInitCandles = 100;
inline constexpr std::uint16_t kResetEpisode = 101;
inline constexpr std::uint16_t kGetRlConfig = 102;
inline constexpr std::uint16_t kGetSyncPolicy = 120;
inline constexpr std::uint16_t kStepAndSync = 130;

}  // namespace tarnel::engine::fn
