// The link's context, its readiness descriptor, the kick, and the thread that runs it while no loop does.
#include "runtime/link.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/strand.hpp>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "runtime/after_fork.hpp"
#include "runtime/dependency_internals.hpp"
#include "runtime/failure_report.hpp"
#include "runtime/link_executor.hpp"

namespace tarnel::runtime {

namespace asio = boost::asio;

namespace {

thread_local bool t_running_soon = false;

thread_local int t_run_depth = 0;
thread_local bool t_own_thread = false;
std::atomic<int> g_large_transfers{0};

void write_one(int fd) {
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void drain(int fd) {
    std::uint64_t count;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

class Link {
public:
    Link()
        : context_(1),  // handlers handed over inside a handler stay with the thread that runs it
          work_(context_.get_executor()),
          kick_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          wake_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          kick_(context_) {
        if (kick_fd_ < 0 || wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        readiness_fd_ = internals::reactor_descriptor(context_);
        kick_.assign(kick_fd_);
        arm_kick();
        std::thread([this] { drive(); }).detach();
    }

    asio::io_context& context() { return context_; }
    int readiness_fd() const { return readiness_fd_; }

    // Makes the readiness descriptor readable: the kick descriptor is one the reactor watches.
    void kick() { write_one(kick_fd_); }

    void loop_started() {
        std::lock_guard hold(mutex_);
        ++watching_loops_;
        loop_arrived_ = true;
        changed();
    }
    void loop_stopped(bool for_a_large_transfer) {
        std::lock_guard hold(mutex_);
        if (watching_loops_ > 0) --watching_loops_;
        if (for_a_large_transfer) ++stepped_back_loops_;
        changed();
    }
    void loop_came_back() {
        std::lock_guard hold(mutex_);
        if (stepped_back_loops_ > 0) --stepped_back_loops_;
        loop_arrived_ = true;
        changed();
    }

    // Counted by every run of the link on a thread other than its own.
    void ran_elsewhere() { runs_elsewhere_.fetch_add(1, std::memory_order_relaxed); }

    void set_grace(std::chrono::milliseconds grace) {
        grace_ms_.store(static_cast<int>(grace.count()));
        write_one(wake_fd_);
    }

private:
    void arm_kick() {
        kick_.async_wait(asio::posix::stream_descriptor::wait_read, [this](boost::system::error_code ec) {
            if (ec) return;
            drain(kick_fd_);
            arm_kick();
        });
    }

    // The own thread drives the link alone while no loop watches it, and while a loop has stepped back for a
    // large transfer (that loop's calls are then this thread's to finish, and the others may not be running).
    bool drives_alone() {
        std::lock_guard hold(mutex_);
        return watching_loops_ == 0 || stepped_back_loops_ > 0;
    }

    // Under mutex_: the own thread looks again at who watches.
    void changed() { write_one(wake_fd_); }

    // Waits until the readiness descriptor is readable, the watchers change, or `timeout_ms` passes (-1: no
    // limit); true when the link has work ready.
    bool wait_for_ready(int timeout_ms) {
        pollfd fds[2] = {{readiness_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        if (::poll(fds, 2, timeout_ms) <= 0) return false;
        if (fds[1].revents & POLLIN) drain(wake_fd_);
        return (fds[0].revents & POLLIN) != 0;
    }
    // Sleeps for the grace, or less if the watchers change; true if no other thread ran the link meanwhile.
    bool nobody_ran_during_grace() {
        const auto before = runs_elsewhere_.load(std::memory_order_relaxed);
        pollfd wake{wake_fd_, POLLIN, 0};
        if (::poll(&wake, 1, grace_ms_.load()) > 0) {
            drain(wake_fd_);
            return false;  // the watchers changed: look again
        }
        return runs_elsewhere_.load(std::memory_order_relaxed) == before;
    }

    // The backstop behind the one guarantee of the link (see link.hpp). While loops watch, this thread
    // leaves ready work to them for a grace; work that nobody took in that time it runs itself, and then
    // goes on driving until a loop runs the link again. So a loop that runs costs this thread one wake-up
    // per grace at most, not one per call, an idle link costs nothing, and a loop that is kept without
    // running, blocked in user code, closed or dropped holds nothing up.
    void drive() {
        t_own_thread = true;
        bool took_over = false;
        for (;;) {
            // A loop that (re)starts watching runs the link next: what this thread took over is its again.
            if (loop_arrived_.exchange(false)) took_over = false;
            if (took_over || drives_alone()) {
                const auto before = runs_elsewhere_.load(std::memory_order_relaxed);
                if (wait_for_ready(-1)) run_ready_link_work(false);
                if (runs_elsewhere_.load(std::memory_order_relaxed) != before) took_over = false;  // a loop is back
                continue;
            }
            if (!wait_for_ready(-1)) continue;  // nothing ready: sleep, at no cost, until there is
            bool grace_passed = false;
            while (!grace_passed && !drives_alone()) grace_passed = nobody_ran_during_grace();
            if (!grace_passed || !wait_for_ready(0)) continue;  // the loops took it, or now drive alone
            took_over = true;
            run_ready_link_work(false);
        }
    }

    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;  // poll() must never find it out of work
    int readiness_fd_ = -1;
    int kick_fd_;
    int wake_fd_;
    asio::posix::stream_descriptor kick_;
    std::mutex mutex_;
    int watching_loops_ = 0;
    int stepped_back_loops_ = 0;
    std::atomic<bool> loop_arrived_{false};
    std::atomic<std::uint64_t> runs_elsewhere_{0};
    std::atomic<int> grace_ms_{static_cast<int>(kTakeOverGrace.count())};
};

// Like the worker runtime, the link lives for the life of the process (its thread is never joined), and a
// child made by fork() forgets its parent's and makes its own on first need.
std::atomic<Link*> g_link{nullptr};
std::mutex* g_link_mutex = new std::mutex();

[[maybe_unused]] const bool g_forget_link_after_fork = [] {
    after_fork_in_child([] {
        g_large_transfers.store(0);
        g_link.store(nullptr);
        g_link_mutex = new std::mutex();
    });
    return true;
}();

Link& link() {
    if (Link* existing = g_link.load(std::memory_order_acquire)) return *existing;
    std::lock_guard hold(*g_link_mutex);
    if (Link* existing = g_link.load(std::memory_order_acquire)) return *existing;
    Link* made = new Link();
    g_link.store(made, std::memory_order_release);
    return *made;
}

// The link's io_context executor, with one addition: work handed to it from a thread that is not running
// the link kicks it. Without that, nobody would run the work: the threads that run the link only poll,
// and Asio wakes a polling context for nothing.
template <class Inner>
class KickingExecutor {
public:
    KickingExecutor(Inner inner, Link* owner) noexcept : inner_(std::move(inner)), link_(owner) {}

    template <class Property>
    auto query(const Property& property) const noexcept -> decltype(asio::query(std::declval<const Inner&>(), property)) {
        return asio::query(inner_, property);
    }
    template <class Property>
    auto require(const Property& property) const
        -> KickingExecutor<std::decay_t<decltype(asio::require(std::declval<const Inner&>(), property))>> {
        return {asio::require(inner_, property), link_};
    }
    template <class Property>
    auto prefer(const Property& property) const
        -> KickingExecutor<std::decay_t<decltype(asio::prefer(std::declval<const Inner&>(), property))>> {
        return {asio::prefer(inner_, property), link_};
    }

    template <class Function>
    void execute(Function&& function) const {
        const bool outside = !inner_.running_in_this_thread();
        inner_.execute(std::forward<Function>(function));
        if (outside && !t_running_soon) link_->kick();
    }

    friend bool operator==(const KickingExecutor& a, const KickingExecutor& b) noexcept { return a.inner_ == b.inner_; }
    friend bool operator!=(const KickingExecutor& a, const KickingExecutor& b) noexcept { return !(a == b); }

private:
    Inner inner_;
    Link* link_;
};

}  // namespace

int link_readiness_fd() { return link().readiness_fd(); }

bool run_ready_link_work(bool yield_to_large_transfers) noexcept {
    if (t_run_depth > 0) return true;
    Link& owner = link();
    ++t_run_depth;
    bool finished = true;
    // A handler that throws unwinds out of poll(); polling again runs the rest.
    for (int attempt = 0; attempt < 64; ++attempt) {
        try {
            if (!yield_to_large_transfers) {
                owner.context().poll();
                break;
            }
            while (!large_transfer_in_progress()) {
                if (owner.context().poll_one() == 0) break;
            }
            if (large_transfer_in_progress()) {
                finished = false;
                owner.kick();  // handlers may be left queued: make sure the next watcher looks
            }
            break;
        } catch (...) {
            report_caught("the link");
        }
    }
    --t_run_depth;
    if (!t_own_thread) owner.ran_elsewhere();
    return finished;
}

LargeTransfer::LargeTransfer() { g_large_transfers.fetch_add(1, std::memory_order_relaxed); }
LargeTransfer::~LargeTransfer() { g_large_transfers.fetch_sub(1, std::memory_order_relaxed); }
bool large_transfer_in_progress() { return g_large_transfers.load(std::memory_order_relaxed) != 0; }

void set_link_take_over_grace(std::chrono::milliseconds grace) { link().set_grace(grace); }

void loop_started_watching_link() { link().loop_started(); }
void loop_stopped_watching_link(bool for_a_large_transfer) { link().loop_stopped(for_a_large_transfer); }
void loop_came_back_to_link() { link().loop_came_back(); }

RunningLinkSoon::RunningLinkSoon() : outer_(!t_running_soon) { t_running_soon = true; }
RunningLinkSoon::~RunningLinkSoon() {
    if (outer_) t_running_soon = false;
}

using LinkStrand = asio::strand<KickingExecutor<asio::io_context::executor_type>>;

asio::any_io_executor make_link_strand() {
    Link& owner = link();
    return LinkStrand(KickingExecutor<asio::io_context::executor_type>(owner.context().get_executor(), &owner));
}

bool runs_on_link(const asio::any_io_executor& executor) { return executor.target<LinkStrand>() != nullptr; }

}  // namespace tarnel::runtime
