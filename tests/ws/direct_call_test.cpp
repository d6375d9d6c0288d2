// A call whose answer arrives while it is being made never waits for its deadline: the link is run
// between the call's direct read, which found nothing, and the start of its wait (the interleaving a busy
// machine makes now and then), and the call must still end at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "codec/frame.hpp"
#include "runtime/link.hpp"
#include "runtime/task.hpp"
#include "ws/direct_lane.hpp"
#include "ws/engine_link.hpp"

namespace tarnel::ws {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;

// A loopback port kept from every other program while the engine, binding it the same way, may listen.
class HeldPort {
public:
    HeldPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t size = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~HeldPort() { ::close(fd_); }
    std::uint16_t port() const { return port_; }

private:
    int fd_;
    std::uint16_t port_ = 0;
};

// A page that answers each request only when told to, so the test decides where the answer arrives.
class Page {
public:
    explicit Page(std::uint16_t port) : thread_([this, port] { run(port); }) {}
    ~Page() {
        {
            std::lock_guard hold(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // Lets the page answer one more request, and waits until it has written that answer.
    void answer_one() {
        std::unique_lock hold(mutex_);
        ++allowed_;
        changed_.notify_all();
        ASSERT_TRUE(changed_.wait_for(hold, 10s, [&] { return answered_ == allowed_ || stopping_; }));
    }

private:
    void run(std::uint16_t port) {
        asio::io_context context;
        beast::websocket::stream<asio::ip::tcp::socket> ws(context);
        boost::system::error_code ec;
        ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        if (!ec) ws.handshake("127.0.0.1", "/", ec);
        beast::flat_buffer greeting;
        if (!ec) ws.read(greeting, ec);
        ws.binary(true);
        while (!ec) {
            beast::flat_buffer request;
            ws.read(request, ec);
            if (ec || request.size() < frame::kHeaderLen) break;
            Bytes answer(static_cast<const std::uint8_t*>(request.data().data()),
                         static_cast<const std::uint8_t*>(request.data().data()) + frame::kHeaderLen);
            answer[1] = static_cast<std::uint8_t>(frame::Kind::Response);
            answer[12] = answer[13] = answer[14] = answer[15] = 0;  // no payload
            std::unique_lock hold(mutex_);
            changed_.wait(hold, [&] { return allowed_ > answered_ || stopping_; });
            if (stopping_) break;
            ws.write(asio::buffer(answer), ec);
            ++answered_;
            changed_.notify_all();
        }
        boost::system::error_code ignored;
        ws.next_layer().close(ignored);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int allowed_ = 0;
    int answered_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

bool readiness_readable(std::chrono::milliseconds wait) {
    pollfd watched{runtime::link_readiness_fd(), POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(wait.count())) == 1;
}

// Plays an event loop that watches the link and runs it when it is ready, so that no other thread runs it
// (the link's own thread takes over only after a grace that is made far longer than the test).
class WatchingLoop {
public:
    WatchingLoop() {
        runtime::set_link_take_over_grace(std::chrono::minutes(10));
        runtime::loop_started_watching_link();
    }
    ~WatchingLoop() {
        runtime::loop_stopped_watching_link();
        runtime::set_link_take_over_grace(runtime::kTakeOverGrace);
    }

    // Runs the link whenever it is ready, until `ended` is ready or `limit` passes.
    template <class Future>
    bool run_until(Future& ended, std::chrono::seconds limit) {
        const auto give_up = std::chrono::steady_clock::now() + limit;
        while (ended.wait_for(0s) != std::future_status::ready) {
            if (std::chrono::steady_clock::now() > give_up) return false;
            if (readiness_readable(10ms)) runtime::run_ready_link_work();
        }
        return true;
    }
};

void run_to_end(WatchingLoop& loop, runtime::Task task) {
    auto done = std::make_shared<std::promise<void>>();
    auto ended = done->get_future();
    runtime::launch(std::move(task), [done](runtime::TaskOutcome) { done->set_value(); });
    ASSERT_TRUE(loop.run_until(ended, 10s));
}

TEST(DirectCall, AnAnswerWhoseReadinessARunConsumedBeforeTheWaitStillEndsTheCallAtOnce) {
    WatchingLoop loop;
    HeldPort port;
    EngineLink engine("127.0.0.1", port.port(), 1);
    run_to_end(loop, engine.start());
    Page page(port.port());
    run_to_end(loop, engine.wait_connected(std::nullopt));

    // The page answers after the request is written and the direct read found nothing, before the call's
    // wait starts; the link is then run as another thread would, which polls the reactor and consumes the
    // socket's readiness.
    std::atomic<int> seams_run{0};
    test_seams::set_answer_not_there_yet([&] {
        page.answer_one();
        ASSERT_TRUE(readiness_readable(10s));
        runtime::run_ready_link_work();
        ASSERT_FALSE(readiness_readable(0ms)) << "the run left the answer's readiness";
        ++seams_run;
    });
    constexpr runtime::Duration kTimeout{60, 0};
    constexpr std::uint16_t kGetSnapshot = 12;
    for (int call = 0; call < 6; ++call) {
        const int seams_before = seams_run;
        // Shared with the completion: a call that fails this test still ends later, at its deadline.
        auto outcome = std::make_shared<std::promise<bool>>();
        auto ended = outcome->get_future();
        runtime::launch(engine.call(kGetSnapshot, {}, kTimeout), [outcome](runtime::TaskOutcome result) {
            outcome->set_value(std::holds_alternative<Bytes>(result));
        });
        // A call that did not reach the wait (the first ones: answers have not come late yet) is answered now.
        if (seams_run == seams_before) page.answer_one();
        // Far less than the call's time-out: the answer is there, so only a lost wake-up could hold it.
        ASSERT_TRUE(loop.run_until(ended, 5s)) << "call " << call << " waited for its deadline";
        EXPECT_TRUE(ended.get());
    }
    test_seams::set_answer_not_there_yet(nullptr);
    EXPECT_GE(seams_run.load(), 3) << "the calls' answers were always there at the call";
    run_to_end(loop, engine.close());
}

}  // namespace
}  // namespace tarnel::ws
