// Helpers for tests that run an engine on the link against a page on a thread of its own: a held loopback
// port, a stand-in for the event loop that drives the link, and a page whose answers the test releases.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "codec/frame.hpp"
#include "runtime/link.hpp"
#include "runtime/task.hpp"

namespace tarnel::ws::test_support {

using namespace std::chrono_literals;

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

inline bool readiness_readable(std::chrono::milliseconds wait) {
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

inline void run_to_end(WatchingLoop& loop, runtime::Task task) {
    auto done = std::make_shared<std::promise<void>>();
    auto ended = done->get_future();
    runtime::launch(std::move(task), [done](runtime::TaskOutcome) { done->set_value(); });
    ASSERT_TRUE(loop.run_until(ended, 10s));
}

// A launched task's outcome, shared with its completion: a task that fails a test still ends later.
inline std::shared_future<runtime::TaskOutcome> launch_for_outcome(runtime::Task task) {
    auto outcome = std::make_shared<std::promise<runtime::TaskOutcome>>();
    std::shared_future<runtime::TaskOutcome> ended = outcome->get_future().share();
    runtime::launch(std::move(task), [outcome](runtime::TaskOutcome result) { outcome->set_value(std::move(result)); });
    return ended;
}

// What an outcome says, for a failure message.
inline std::string describe(const runtime::TaskOutcome& outcome) {
    if (auto* payload = std::get_if<Bytes>(&outcome)) {
        std::string text = "a payload of " + std::to_string(payload->size()) + " bytes";
        if (payload->size() <= 16) {
            static constexpr char kHex[] = "0123456789abcdef";
            text += ":";
            for (std::uint8_t byte : *payload) text += {' ', kHex[byte >> 4], kHex[byte & 15]};
        }
        return text;
    }
    if (auto* error = std::get_if<EngineError>(&outcome)) return "EngineError: " + error->text();
    return "a panic: " + std::get<runtime::Abnormal>(outcome).message;
}

// A page that connects, reads the greeting, and answers each request (in the order they come) with a
// Response carrying the payload `answer(seq, fn_id)`, but only as far as the test has allowed answers.
// With `read_ahead` n it reads n requests before it answers the first of them (then one at a time as
// before): requests that only go out once an earlier one is answered never come, and their calls hang.
class Page {
public:
    using Answer = std::function<Bytes(std::uint32_t seq, std::uint16_t fn_id)>;

    Page(std::uint16_t port, Answer answer, int read_ahead = 1)
        : answer_(std::move(answer)), read_ahead_(read_ahead), thread_([this, port] { run(port); }) {}
    ~Page() {
        {
            std::lock_guard hold(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // Lets the page answer `count` more requests, without waiting for it to do so.
    void allow(int count) {
        std::lock_guard hold(mutex_);
        allowed_ += count;
        changed_.notify_all();
    }
    // Lets the page answer one more request, and waits until it has written that answer; false if the
    // connection ended first.
    bool answer_one() {
        std::unique_lock hold(mutex_);
        ++allowed_;
        changed_.notify_all();
        changed_.wait_for(hold, 10s, [&] { return answered_ == allowed_ || ended_; });
        return answered_ == allowed_;
    }
    // Waits until the engine has closed the connection (the page's read failed).
    bool ended_within(std::chrono::seconds limit) {
        std::unique_lock hold(mutex_);
        return changed_.wait_for(hold, limit, [&] { return ended_; });
    }

private:
    void run(std::uint16_t port) {
        namespace asio = boost::asio;
        asio::io_context context;
        boost::beast::websocket::stream<asio::ip::tcp::socket> ws(context);
        boost::system::error_code ec;
        ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
        if (!ec) ws.handshake("127.0.0.1", "/", ec);
        boost::beast::flat_buffer greeting;
        if (!ec) ws.read(greeting, ec);
        ws.binary(true);
        std::deque<Bytes> answers;  // read, not written yet
        while (!ec) {
            while (!ec && answers.size() < static_cast<std::size_t>(read_ahead_)) {
                boost::beast::flat_buffer request;
                ws.read(request, ec);
                if (ec || request.size() < frame::kHeaderLen) {
                    ec = ec ? ec : boost::asio::error::invalid_argument;
                    break;
                }
                const auto* head = static_cast<const std::uint8_t*>(request.data().data());
                const frame::Header h = frame::read_header(ByteView(head, frame::kHeaderLen));
                Bytes answer(head, head + frame::kHeaderLen);
                const Bytes payload = answer_(h.seq, h.fn_id);
                answer[1] = static_cast<std::uint8_t>(frame::Kind::Response);
                for (int i = 0; i < 4; ++i) answer[12 + i] = static_cast<std::uint8_t>(payload.size() >> (8 * i));
                answer.insert(answer.end(), payload.begin(), payload.end());
                answers.push_back(std::move(answer));
            }
            if (ec) break;
            read_ahead_ = 1;
            Bytes answer = std::move(answers.front());
            answers.pop_front();
            std::unique_lock hold(mutex_);
            changed_.wait(hold, [&] { return allowed_ > answered_ || stopping_; });
            if (stopping_) break;
            hold.unlock();
            ws.write(asio::buffer(answer), ec);
            hold.lock();
            if (!ec) ++answered_;
            changed_.notify_all();
        }
        boost::system::error_code ignored;
        ws.next_layer().close(ignored);
        std::lock_guard hold(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    Answer answer_;
    int read_ahead_;  // on the page's thread only
    std::mutex mutex_;
    std::condition_variable changed_;
    int allowed_ = 0;
    int answered_ = 0;
    bool stopping_ = false;
    bool ended_ = false;
    std::thread thread_;
};

}  // namespace tarnel::ws::test_support
