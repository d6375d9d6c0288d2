// A stream layer under the WebSocket stream that serves bytes given back to it before reading the socket.
//
// A call's answer may be read straight from the socket, without the WebSocket layer (see
// ws/connection_direct.cpp). When what was read is not simply that answer (a ping, the late answer of an abandoned
// call, a frame cut short, an error), it is given back here, and the WebSocket layer's next read takes it
// first, as if it had just arrived: nothing is lost and nothing is reordered. Only ever used between
// messages, when the WebSocket layer has nothing of its own buffered.
#pragma once

#include <algorithm>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cstddef>
#include <utility>

#include "codec/payload_codec.hpp"

namespace tarnel::ws {

template <class NextLayer>
class ReplayStream {
public:
    using next_layer_type = NextLayer;
    using executor_type = typename NextLayer::executor_type;

    template <class... Args>
    explicit ReplayStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    next_layer_type& next_layer() noexcept { return next_; }
    const next_layer_type& next_layer() const noexcept { return next_; }

    // Bytes read from the socket by someone else, to be read again (in order, before anything newer).
    void give_back(ByteView bytes) { given_back_.insert(given_back_.end(), bytes.begin(), bytes.end()); }
    // The failure the socket reported to someone else: the next read that finds no bytes given back ends
    // with it, as it would have.
    void give_back_failure(boost::system::error_code ec) { failure_ = ec; }
    bool holds_anything() const { return given_back_.size() > served_ || failure_; }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const MutableBuffers& buffers) {
                if (!holds_anything()) {
                    next_.async_read_some(buffers, std::move(handler));
                    return;
                }
                boost::system::error_code ec;
                std::size_t copied = 0;
                if (given_back_.size() > served_) {
                    copied = boost::asio::buffer_copy(
                        buffers, boost::asio::buffer(given_back_.data() + served_, given_back_.size() - served_));
                    served_ += copied;
                    if (served_ == given_back_.size()) {
                        given_back_.clear();
                        served_ = 0;
                    }
                } else {
                    ec = std::exchange(failure_, boost::system::error_code());
                }
                // Completed through the handler's executor, never inside the initiating call.
                auto executor = boost::asio::get_associated_executor(handler, get_executor());
                boost::asio::post(executor, [handler = std::move(handler), ec, copied]() mutable {
                    std::move(handler)(ec, copied);
                });
            },
            token, buffers);
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return next_.async_write_some(buffers, std::forward<Token>(token));
    }

private:
    NextLayer next_;
    Bytes given_back_;
    std::size_t served_ = 0;
    boost::system::error_code failure_;
};

template <class NextLayer>
void teardown(boost::beast::role_type role, ReplayStream<NextLayer>& stream, boost::system::error_code& ec) {
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class Handler>
void async_teardown(boost::beast::role_type role, ReplayStream<NextLayer>& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

}  // namespace tarnel::ws
