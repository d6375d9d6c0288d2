// A first-come-first-served asynchronous mutex: waiting suspends the coroutine, never a thread.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

namespace tarnel::runtime {

class AsyncMutex {
    struct Waiter;

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

    // A place in the line, taken at once and waited for later (wait()): for a caller whose place must be
    // fixed by something it does before it waits, such as the order of its request on a connection. A
    // free lock is taken at once. A place dropped without being waited for leaves the line, or passes the
    // lock on when it had been granted meanwhile.
    class Place {
    public:
        Place(Place&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), waiter_(std::move(other.waiter_)) {}
        Place& operator=(Place&&) = delete;
        ~Place();

    private:
        friend class AsyncMutex;
        Place(AsyncMutex* owner, std::shared_ptr<Waiter> waiter) : owner_(owner), waiter_(std::move(waiter)) {}
        AsyncMutex* owner_;               // null once waited for (or moved from)
        std::shared_ptr<Waiter> waiter_;  // null: the lock was free and is this place's already
    };

    AsyncMutex() = default;
    AsyncMutex(const AsyncMutex&) = delete;
    AsyncMutex& operator=(const AsyncMutex&) = delete;

    // Waits for the lock in arrival order. If the awaiting coroutine is cancelled while queued, it leaves
    // the queue and the cancellation propagates (as boost::system::system_error); a lock granted to a
    // waiter that was cancelled at the same moment is passed on to the next waiter, never lost.
    boost::asio::awaitable<Guard> lock();

    // Takes a place in the line now, in arrival order (the lock itself when it is free and nobody waits).
    Place enqueue(const boost::asio::any_io_executor& executor);
    // Waits for the lock at `place`; cancellation as for lock().
    static boost::asio::awaitable<Guard> wait(Place place);

    // Takes the lock only if it is free and nobody waits.
    Guard try_lock();

    // For tests and diagnostics: whether the lock is held, and how many wait.
    bool is_locked() const;
    std::size_t waiting() const;

private:
    void release();
    // A queued waiter gives up its place: it leaves the line, or passes the lock on if it was granted.
    void leave(const std::shared_ptr<Waiter>& waiter);

    mutable std::mutex mutex_;
    bool locked_ = false;
    // A list, so that a cancelled waiter leaves it in constant time wherever it stands (its position is
    // kept in the waiter): cancelling N queued calls costs N steps, not N squared.
    std::list<std::shared_ptr<Waiter>> queue_;
};

}  // namespace tarnel::runtime
