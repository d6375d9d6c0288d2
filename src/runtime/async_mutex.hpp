// A first-come-first-served asynchronous mutex: waiting suspends the coroutine, never a thread.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <list>
#include <memory>
#include <mutex>

namespace tarnel::runtime {

class AsyncMutex {
public:
    // Holds the lock; releasing it (destruction or unlock()) hands it to the oldest waiter.
    class Guard {
    public:
        Guard() = default;
        explicit Guard(AsyncMutex* owner) : owner_(owner) {}
        Guard(Guard&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
        Guard& operator=(Guard&& other) noexcept;
        ~Guard() { unlock(); }
        void unlock();
        bool owns_lock() const { return owner_ != nullptr; }

    private:
        AsyncMutex* owner_ = nullptr;
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    // Waits for the lock in arrival order. If the awaiting coroutine is cancelled while queued, it leaves
    // the queue and the cancellation propagates (as boost::system::system_error); a lock granted to a
    // waiter that was cancelled at the same moment is passed on to the next waiter, never lost.
    boost::asio::awaitable<Guard> lock();

    // Takes the lock only if it is free and nobody waits.
    Guard try_lock();

    // For tests and diagnostics: whether the lock is held, and how many wait.
    bool is_locked() const;
    std::size_t waiting() const;

private:
    struct Waiter;
    void release();

    mutable std::mutex mutex_;
    bool locked_ = false;
    // A list, so that a cancelled waiter leaves it in constant time wherever it stands (its position is
    // kept in the waiter): cancelling N queued calls costs N steps, not N squared.
    std::list<std::shared_ptr<Waiter>> queue_;
};

}  // namespace tarnel::runtime
