// A stream layer under the WebSocket stream that can swallow what the WebSocket layer writes.
//
// The WebSocket layer writes its own 101 response during accept, with fields of its choosing (a Server
// field, "Connection: upgrade"). We want exactly Connection: Upgrade, Upgrade: websocket and
// Sec-WebSocket-Accept, in that order. So while the accept runs, this layer reports every write as done
// without sending anything, and the connection writes the exact response bytes itself afterwards.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <utility>

namespace tarnel::ws {

template <class NextLayer>
class HandshakeStream {
public:
    using next_layer_type = NextLayer;
    using executor_type = typename NextLayer::executor_type;

    template <class... Args>
    explicit HandshakeStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    next_layer_type& next_layer() noexcept { return next_; }
    const next_layer_type& next_layer() const noexcept { return next_; }

    void swallow_writes(bool on) { swallow_ = on; }
    bool swallowing_writes() const { return swallow_; }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return next_.async_read_some(buffers, std::forward<Token>(token));
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const ConstBuffers& buffers) {
                if (!swallow_) {
                    next_.async_write_some(buffers, std::move(handler));
                    return;
                }
                const std::size_t size = boost::asio::buffer_size(buffers);
                auto executor = boost::asio::get_associated_executor(handler, get_executor());
                boost::asio::post(executor, [handler = std::move(handler), size]() mutable {
                    std::move(handler)(boost::system::error_code(), size);
                });
            },
            token, buffers);
    }

private:
    NextLayer next_;
    bool swallow_ = false;
};

// Closing the WebSocket tears down the layer below.
template <class NextLayer>
void teardown(boost::beast::role_type role, HandshakeStream<NextLayer>& stream, boost::system::error_code& ec) {
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class Handler>
void async_teardown(boost::beast::role_type role, HandshakeStream<NextLayer>& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

}  // namespace tarnel::ws
