// The first-come-first-served asynchronous mutex: direct hand-off to the oldest waiter, cancellation-safe.
#include "runtime/async_mutex.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

namespace tarnel::runtime {

namespace asio = boost::asio;

struct AsyncMutex::Waiter {
    explicit Waiter(const asio::any_io_executor& executor) : wake(executor, 1) {}

    // One slot of buffer, so a grant sent before the receive starts (or after it was cancelled) is kept
    // rather than lost; the `granted` flag, not the channel, is what says who owns the lock.
    asio::experimental::concurrent_channel<void(boost::system::error_code)> wake;
    bool granted = false;  // under AsyncMutex::mutex_
    std::list<std::shared_ptr<Waiter>>::iterator place;  // in the queue while not granted; under mutex_
};

AsyncMutex::Guard& AsyncMutex::Guard::operator=(Guard&& other) noexcept {
    if (this != &other) {
        unlock();
        owner_ = std::exchange(other.owner_, nullptr);
    }
    return *this;
}

void AsyncMutex::Guard::unlock() {
    if (auto* owner = std::exchange(owner_, nullptr)) owner->release();
}

AsyncMutex::Place::~Place() {
    if (owner_ == nullptr) return;
    if (waiter_) {
        owner_->leave(waiter_);
    } else {
        owner_->release();  // the lock was taken for this place and never used
    }
}

AsyncMutex::Place AsyncMutex::enqueue(const asio::any_io_executor& executor) {
    std::lock_guard hold(mutex_);
    // The lock is only ever free with nobody queued, so a free lock can be taken without barging.
    if (!locked_) {
        locked_ = true;
        return Place(this, nullptr);
    }
    auto waiter = std::make_shared<Waiter>(executor);
    waiter->place = queue_.insert(queue_.end(), waiter);
    return Place(this, std::move(waiter));
}

void AsyncMutex::leave(const std::shared_ptr<Waiter>& waiter) {
    bool granted = false;
    {
        std::lock_guard hold(mutex_);
        granted = waiter->granted;
        if (!granted) queue_.erase(waiter->place);
    }
    // The lock was handed to this waiter as it left: it owns it, so it passes it on like any owner would.
    if (granted) release();
}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::lock() {
    auto executor = co_await asio::this_coro::executor;
    Place place = enqueue(executor);
    Guard guard = co_await wait(std::move(place));
    co_return guard;
}

asio::awaitable<AsyncMutex::Guard> AsyncMutex::wait(Place place) {
    AsyncMutex* mutex = std::exchange(place.owner_, nullptr);
    std::shared_ptr<Waiter> waiter = std::move(place.waiter_);
    if (!waiter) co_return Guard(mutex);

    // Runs on every way out but a granted receive: the co_await below throws at once for a coroutine
    // that is already cancelled, and a cancelled receive may race the grant.
    struct Abandon {
        AsyncMutex* mutex;
        std::shared_ptr<Waiter> waiter;
        ~Abandon() {
            if (waiter) mutex->leave(waiter);
        }
    } abandon{mutex, waiter};

    auto [ec] = co_await waiter->wake.async_receive(asio::as_tuple(asio::use_awaitable));
    if (!ec) {
        abandon.waiter.reset();
        co_return Guard(mutex);
    }
    throw boost::system::system_error(asio::error::operation_aborted);
}

AsyncMutex::Guard AsyncMutex::try_lock() {
    std::lock_guard hold(mutex_);
    if (locked_) return Guard();
    locked_ = true;
    return Guard(this);
}

bool AsyncMutex::is_locked() const {
    std::lock_guard hold(mutex_);
    return locked_;
}

std::size_t AsyncMutex::waiting() const {
    std::lock_guard hold(mutex_);
    return queue_.size();
}

void AsyncMutex::release() {
    std::shared_ptr<Waiter> next;
    {
        std::lock_guard hold(mutex_);
        if (queue_.empty()) {
            locked_ = false;
            return;
        }
        // Direct hand-off: the lock stays taken and now belongs to the oldest waiter.
        next = std::move(queue_.front());
        queue_.pop_front();
        next->granted = true;
    }
    // Outside mutex_: the wake-up only posts the waiter's resumption, but keep foreign code out of it.
    next->wake.try_send(boost::system::error_code{});
}

}  // namespace tarnel::runtime
