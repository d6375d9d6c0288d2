// A stream layer under the WebSocket stream that marks each read and write of the layer below as a
// continuation of the operation that started it.
//
// A WebSocket read or write is a chain of socket operations. When one completes at once (the socket
// takes a whole request frame, as it nearly always does), the runtime queues its completion; unless the
// completion is marked as a continuation, the queue wakes the other worker thread to run it, although
// the thread that started it is about to become free: one needless thread wake-up per call, which costs
// tens of microseconds on a small virtual machine. Marked, the completion stays with the thread that
// started the operation and runs as soon as its current handler returns. Nothing else changes: the
// handler's executor (the engine's strand), allocator and cancellation slot are those of the wrapped one.
#pragma once

#include <boost/asio/associator.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarnel::ws {

template <class Handler>
struct ContinuationHandler {
    Handler handler;

    template <class... Args>
    void operator()(Args&&... args) {
        std::move(handler)(std::forward<Args>(args)...);
    }

    friend bool asio_handler_is_continuation(ContinuationHandler*) { return true; }
};

template <class NextLayer>
class ContinuationStream {
public:
    using next_layer_type = NextLayer;
    using executor_type = typename NextLayer::executor_type;

    template <class... Args>
    explicit ContinuationStream(Args&&... args) : next_(std::forward<Args>(args)...) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    next_layer_type& next_layer() noexcept { return next_; }
    const next_layer_type& next_layer() const noexcept { return next_; }

    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const MutableBuffers& buffers) {
                next_.async_read_some(buffers, ContinuationHandler<decltype(handler)>{std::move(handler)});
            },
            token, buffers);
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const ConstBuffers& buffers) {
                next_.async_write_some(buffers, ContinuationHandler<decltype(handler)>{std::move(handler)});
            },
            token, buffers);
    }

private:
    NextLayer next_;
};

// Closing the WebSocket tears down the layer below, as that layer defines it.
template <class NextLayer>
void teardown(boost::beast::role_type role, ContinuationStream<NextLayer>& stream, boost::system::error_code& ec) {
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class Handler>
void async_teardown(boost::beast::role_type role, ContinuationStream<NextLayer>& stream, Handler&& handler) {
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<Handler>(handler));
}

}  // namespace tarnel::ws

// The wrapped handler's associated executor, allocator and cancellation slot are the wrapper's.
template <template <typename, typename> class Associator, class Handler, class DefaultCandidate>
struct boost::asio::associator<Associator, tarnel::ws::ContinuationHandler<Handler>, DefaultCandidate>
    : Associator<Handler, DefaultCandidate> {
    static typename Associator<Handler, DefaultCandidate>::type get(
        const tarnel::ws::ContinuationHandler<Handler>& h) noexcept {
        return Associator<Handler, DefaultCandidate>::get(h.handler);
    }

    static auto get(const tarnel::ws::ContinuationHandler<Handler>& h, const DefaultCandidate& c) noexcept
        -> decltype(Associator<Handler, DefaultCandidate>::get(h.handler, c)) {
        return Associator<Handler, DefaultCandidate>::get(h.handler, c);
    }
};
