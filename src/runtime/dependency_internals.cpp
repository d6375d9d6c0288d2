// The reaches of dependency_internals.hpp. An explicit instantiation may name a private member, which is
// how the private ones are reached: checked by the compiler, so a version that renames or drops a
// member fails to build instead of misbehaving.
#include "runtime/dependency_internals.hpp"

#include <boost/asio/detail/epoll_reactor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>

#include "ws/websocket_stream.hpp"

namespace tarnel::internals {

namespace asio = boost::asio;

namespace {

template <int asio::detail::epoll_reactor::*Member>
struct ReactorDescriptor {
    friend int epoll_descriptor(const asio::detail::epoll_reactor& reactor) { return reactor.*Member; }
};
template struct ReactorDescriptor<&asio::detail::epoll_reactor::epoll_fd_>;
int epoll_descriptor(const asio::detail::epoll_reactor& reactor);

template <class MemberPointer, MemberPointer Member>
struct WebSocketState {
    friend bool between_messages(const ws::WebSocketStream& stream) {
        return (stream.*Member) && (stream.*Member)->rd_buf.size() == 0 && (stream.*Member)->rd_done &&
               !(stream.*Member)->rd_block.is_locked() && !(stream.*Member)->wr_block.is_locked();
    }
};
template struct WebSocketState<decltype(&ws::WebSocketStream::impl_), &ws::WebSocketStream::impl_>;
bool between_messages(const ws::WebSocketStream& stream);

}  // namespace

int reactor_descriptor(asio::io_context& context) {
    auto& reactor = asio::use_service<asio::detail::epoll_reactor>(context);
    reactor.init_task();
    return epoll_descriptor(reactor);
}

template <class WebSocketStream>
bool websocket_between_messages(const WebSocketStream& stream) {
    return between_messages(stream);
}
template bool websocket_between_messages(const ws::WebSocketStream& stream);

std::string websocket_accept_key(std::string_view key) {
    boost::beast::websocket::detail::sec_ws_accept_type accept;
    boost::beast::websocket::detail::make_sec_ws_accept(accept, boost::beast::string_view(key.data(), key.size()));
    return std::string(accept.data(), accept.size());
}

std::size_t websocket_key_capacity() { return boost::beast::websocket::detail::sec_ws_key_type::static_capacity; }

}  // namespace tarnel::internals
