// start: bind the listening socket; the accept loop; upgrading, greeting and installing connections.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "runtime/link.hpp"
#include "ws/engine_link.hpp"
#include "ws/listen_address.hpp"
#include "ws/log.hpp"
#include "ws/shared_records.hpp"

namespace tarnel::ws {

namespace {

using namespace asio::experimental::awaitable_operators;
using tcp = asio::ip::tcp;
constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);

constexpr int kBacklog = 128;
// A peer that opens a connection and never finishes its upgrade is dropped after this long.
constexpr auto kUpgradeLimit = std::chrono::seconds(10);
// After a failed accept (for example, no file descriptor left) wait before the next one instead of
// spinning on the same failure.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

constexpr std::string_view kLibraryVersion = "0.1.0";

// Installs the connection under the slot lock and the write lock, which together guard the slot and the
// seq counter (ws/shared_records.hpp); the notifier is woken while they are held, so a woken waiter finds
// the new connection in the slot.
asio::awaitable<void> install(std::shared_ptr<SharedRecords> records, std::shared_ptr<Connection> connection,
                              std::uint32_t start_seq) {
    auto slot_guard = co_await records->slot_lock.lock();
    auto write_guard = co_await records->write_lock.lock();
    if (records->closed) {
        connection->discard();
        co_return;
    }
    if (records->slot) records->slot->discard();
    records->slot = std::move(connection);
    records->seq = start_seq;
    records->connected.notify_all();
    write_guard.unlock();
    slot_guard.unlock();
}

asio::awaitable<std::optional<std::string>> upgrade_within_limit(Connection& connection) {
    asio::steady_timer limit(co_await asio::this_coro::executor, kUpgradeLimit);
    auto outcome = co_await (connection.upgrade() || limit.async_wait(use_tuple));
    if (outcome.index() == 1) co_return std::string("upgrade not completed within 10 seconds");
    co_return std::get<0>(std::move(outcome));
}

// One accepted socket: upgrade (bounded in time), greet, install. Runs beside the accept loop, so a slow
// peer holds up nobody; installations still happen one at a time, in the order upgrades complete. The
// upgrade and the greeting run on the worker threads (no event loop need be running); the greeted
// connection then moves to the link, where the calls use it.
asio::awaitable<void> serve_connection(std::shared_ptr<SharedRecords> records, tcp::socket socket,
                                       std::uint32_t start_seq) {
    auto connection = std::make_shared<Connection>(std::move(socket));
    std::erase_if(records->upgrading, [](const std::weak_ptr<Connection>& c) { return c.expired(); });
    records->upgrading.push_back(connection);
    if (auto failure = co_await upgrade_within_limit(*connection)) {
        connection->discard();
        if (!records->closed) log_line("accept failed: " + *failure);
        co_return;
    }
    const std::string greeting = handshake_message();
    // The greeting is small enough for any socket buffer; the limit only guards against the impossible.
    const Deadline greeting_deadline = std::chrono::steady_clock::now() + kUpgradeLimit;
    if (auto ec = co_await connection->send(Bytes(greeting.begin(), greeting.end()), true, greeting_deadline)) {
        log_line("handshake send failed: " + ec.message());  // installed all the same
    }
    std::erase_if(records->upgrading, [&](const std::weak_ptr<Connection>& c) { return c.lock() == connection; });
    const asio::any_io_executor link_strand = records->strand();
    connection->move_to(link_strand);
    {
        // Installed at once, from this worker thread, whether or not an event loop is running.
        runtime::RunningLinkSoon soon;
        asio::co_spawn(link_strand, install(std::move(records), std::move(connection), start_seq), asio::detached);
    }
    runtime::run_ready_link_work();
}

asio::awaitable<void> accept_loop(std::shared_ptr<SharedRecords> records, std::shared_ptr<tcp::acceptor> acceptor,
                                  std::uint32_t start_seq) {
    asio::steady_timer pause(acceptor->get_executor());
    for (;;) {
        auto [ec, socket] = co_await acceptor->async_accept(records->accept_strand(), use_tuple);
        if (records->closed) co_return;
        if (ec) {
            log_line("accept failed: " + ec.message());
            pause.expires_after(kAcceptRetryDelay);
            co_await pause.async_wait(use_tuple);
            continue;
        }
        asio::co_spawn(records->accept_strand(), serve_connection(records, std::move(socket), start_seq),
                       asio::detached);
    }
}

// Opens, configures, binds and listens, each step with its own error.
std::optional<std::string> listen_on(tcp::acceptor& acceptor, const tcp::endpoint& endpoint) {
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    // Without it a restart fails for a minute after every run: the sockets of the last run linger in
    // TIME_WAIT. A port another listener still holds stays refused.
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(kBacklog, ec);
    if (!ec) return std::nullopt;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return ec.message();
}

std::string address_text(const std::string& host, std::uint16_t port) { return host + ":" + std::to_string(port); }

}  // namespace

std::string handshake_message() {
    std::string message = R"({"type":"handshake","python_library_version":")";
    message.append(kLibraryVersion).append(R"("})");
    return message;
}

runtime::Task EngineLink::start() const {
    auto records = records_;
    const std::string address = address_text(host_, port_);
    const std::uint32_t start_seq = start_seq_;
    return runtime::make_task(records->accept_strand(), [records, address, start_seq]() -> asio::awaitable<Expected<Bytes>> {
        auto transport_error = [&](const std::string& description) {
            return Unexpected<EngineError>(
                EngineError::transport(std::nullopt, std::nullopt, "bind failed on " + address + ": " + description));
        };
        auto engine_closed = [] {
            return Unexpected<EngineError>(EngineError::transport(std::nullopt, std::nullopt, std::string(kEngineClosed)));
        };
        if (records->closed) co_return engine_closed();
        auto resolved = co_await resolve_listen_address(address);
        if (records->closed) co_return engine_closed();
        if (auto* failure = std::get_if<std::string>(&resolved)) co_return transport_error(*failure);
        std::optional<std::string> last_failure;
        for (const tcp::endpoint& endpoint : std::get<Endpoints>(resolved)) {
            auto acceptor = std::make_shared<tcp::acceptor>(records->accept_strand());
            last_failure = listen_on(*acceptor, endpoint);
            if (last_failure) continue;
            records->listeners.push_back(acceptor);
            records->listening = true;
            asio::co_spawn(records->accept_strand(), accept_loop(records, std::move(acceptor), start_seq),
                           asio::detached);
            co_return Bytes{};
        }
        co_return transport_error(last_failure.value_or("could not resolve to any address"));
    });
}

}  // namespace tarnel::ws
