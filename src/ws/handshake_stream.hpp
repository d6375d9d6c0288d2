// A stream layer under the WebSocket stream that can swallow what the WebSocket layer writes.
//
// The WebSocket layer writes its own 101 response during accept, with fields of its choosing (a Server
// field, "Connection: upgrade"). We want exactly Connection: Upgrade, Upgrade: websocket and
// Sec-WebSocket-Accept, in that order. So while the accept runs, this layer reports every write as done
// without sending anything, and the connection writes the exact response bytes itself afterwards.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <chrono>
#include <memory>
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

// After a close frame (received and answered, or sent because the peer broke the protocol), the teardown
// in the server role waits for the peer to close its side. A peer that never does would hold the read, and
// the call waiting for it, until the call's time-out (for ever with a large one, keeping every later user
// interface out, as installing one waits for that call). So the wait is bounded: then the socket is closed,
// and the read ends with the reason it was going to end with anyway.
inline constexpr auto kTeardownLimit = std::chrono::seconds(1);

template <class NextLayer, class Handler>
void async_teardown(boost::beast::role_type role, HandshakeStream<NextLayer>& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    struct Limit {
        explicit Limit(typename NextLayer::executor_type executor) : timer(executor, kTeardownLimit) {}
        boost::asio::steady_timer timer;
        bool done = false;  // both handlers run on the socket's strand
        bool closed_here = false;
    };
    auto limit = std::make_shared<Limit>(stream.get_executor());
    NextLayer& socket = stream.next_layer();
    limit->timer.async_wait([limit, &socket](boost::system::error_code ec) {
        if (ec || limit->done) return;  // the socket lives at least until the teardown has completed
        limit->closed_here = true;
        boost::system::error_code ignored;
        socket.close(ignored);
    });
    auto executor = boost::asio::get_associated_executor(handler, stream.get_executor());
    async_teardown(role, socket,
                   boost::asio::bind_executor(executor, [limit, handler = std::forward<Handler>(handler)](
                                                            boost::system::error_code ec) mutable {
                       limit->done = true;
                       limit->timer.cancel();
                       if (limit->closed_here) ec = {};
                       std::move(handler)(ec);
                   }));
}

}  // namespace tarnel::ws
