// Every reach into a dependency's internals, in one place, with the versions it was checked against.
//
// The link needs two things its dependencies do not offer: the descriptor of Asio's reactor (an event loop
// watches it to learn that link work is ready) and whether the WebSocket layer holds bytes of its own
// (the direct lane may use the socket only when it does not). The handshake reuses the WebSocket layer's
// accept-key helpers. Each reach is checked by the compiler where it can be (a renamed member fails to
// build), and each run-time assumption by the test named beside it. On a Boost outside the tested range
// the build stops here: check the reaches below against it (read the members they name, run the tests
// named), then widen the range.
#pragma once

#include <boost/version.hpp>
#include <string>
#include <string_view>

#if !defined(__linux__)
#error "py_engine_tarnel builds on Linux only: its link watches the descriptor of Asio's epoll reactor."
#endif

// The Boost versions whose internals were read and tested against the reaches below.
#define TARNEL_TESTED_BOOST_OLDEST 108100  // 1.81 (Debian 12)
#define TARNEL_TESTED_BOOST_NEWEST 108500  // 1.85 (the boost-headers package on PyPI)
#if BOOST_VERSION < TARNEL_TESTED_BOOST_OLDEST
#error "py_engine_tarnel needs Boost 1.81 or later (checked against 1.81 and 1.85)."
#elif BOOST_VERSION > TARNEL_TESTED_BOOST_NEWEST && !defined(TARNEL_ALLOW_UNTESTED_BOOST)
#error "py_engine_tarnel was checked against Boost 1.81 to 1.85: see src/runtime/dependency_internals.hpp, or define TARNEL_ALLOW_UNTESTED_BOOST."
#endif

#include <boost/asio/detail/config.hpp>
#if !defined(BOOST_ASIO_HAS_EPOLL) || defined(BOOST_ASIO_HAS_IO_URING_AS_DEFAULT)
#error "py_engine_tarnel needs Asio's epoll reactor as the default reactor (not io_uring, not select)."
#endif

namespace boost::asio {
class io_context;
}

namespace tarnel::internals {

// Asio: the epoll descriptor of `context`'s reactor (the private `epoll_reactor::epoll_fd_`), with the
// reactor put in the context's handler queue so that poll() runs it (`epoll_reactor::init_task()`, a
// detail-namespace service). Assumed: the descriptor is readable whenever a socket, timer or posted
// handler of the context is ready, and polling the context consumes that readiness. Guarded by
// tests/runtime/link_test.cpp (work handed over wakes a watcher; a loop that runs the link sees its
// answers) and tests/ws/direct_call_test.cpp (a run that consumes an answer's notice loses no call).
int reactor_descriptor(boost::asio::io_context& context);

// Beast: true when the WebSocket stream holds no bytes read ahead, no half-read message and no read or
// write of its own in progress (the private `stream::impl_` and its `rd_buf`, `rd_done`, `rd_block`,
// `wr_block`). Assumed: after a message is read whole, everything of the next one that Beast read is in
// `rd_buf`. Guarded by tests/bridge/test_bridge_direct_calls.py (pings, fragments and answers cut
// short, before and after a call: every one is read by the WebSocket layer as it would be alone).
// Defined for the connection's stream type only (ws::Connection::Stream).
template <class WebSocketStream>
bool websocket_between_messages(const WebSocketStream& stream);

// Beast: the Sec-WebSocket-Accept value for `key` (`websocket::detail::make_sec_ws_accept`), and the
// longest key it takes (`detail::sec_ws_key_type`). Guarded by tests/ws/upgrade_request_test.cpp (the
// RFC 6455 example key, byte for byte).
std::string websocket_accept_key(std::string_view key);
std::size_t websocket_key_capacity();

}  // namespace tarnel::internals
