// The connection's WebSocket stream: the WebSocket layer over the stream layers that add what it lacks.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "ws/continuation_stream.hpp"
#include "ws/handshake_stream.hpp"
#include "ws/replay_stream.hpp"

namespace tarnel::ws {

using WebSocketStream =
    boost::beast::websocket::stream<ContinuationStream<ReplayStream<HandshakeStream<boost::asio::ip::tcp::socket>>>>;

}  // namespace tarnel::ws
