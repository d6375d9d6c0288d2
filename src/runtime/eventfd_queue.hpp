// A queue that other threads fill and one thread empties when its eventfd becomes readable: how work
// finished on the runtime's threads reaches a thread that sleeps in an event loop of its own.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarnel::runtime {

template <class Item>
class EventfdQueue {
public:
    // A queue with a new non-blocking eventfd, or nothing (errno set) when none can be made.
    static std::unique_ptr<EventfdQueue> create() {
        const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::unique_ptr<EventfdQueue>(new EventfdQueue(fd));
    }
    EventfdQueue(const EventfdQueue&) = delete;
    EventfdQueue& operator=(const EventfdQueue&) = delete;
    ~EventfdQueue() { ::close(fd_); }

    // The descriptor to watch: readable while items wait (and, at times, spuriously once after a take).
    int fd() const { return fd_; }

    // From any thread. The eventfd is written only when the queue was empty: a non-empty queue has
    // already made it readable. Without `signal` it is not written at all: for the emptying thread itself,
    // which takes the queue next anyway. False, with `item` left as it was, once the queue is closed.
    bool push(Item&& item, bool signal = true) {
        {
            std::lock_guard hold(mutex_);
            if (closed_) return false;
            items_.push_back(std::move(item));
            if (items_.size() != 1 || !signal) return true;
        }
        const std::uint64_t one = 1;
        while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        return true;
    }

    // Everything queued so far. The eventfd is reset before the queue is taken, so an item pushed after
    // the reset is either taken here or finds the queue empty and makes the eventfd readable again.
    // Without `reset` the eventfd is left as it is: for the emptying thread taking what it pushed itself
    // without the signal (a signal from another thread then shows once more, to a queue found empty).
    std::vector<Item> take(bool reset = true) {
        std::uint64_t count;
        while (reset && ::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::vector<Item> taken;
        std::lock_guard hold(mutex_);
        taken.swap(items_);
        return taken;
    }

    // Refuses every later push and gives back what was still queued.
    std::vector<Item> close() {
        std::vector<Item> left;
        std::lock_guard hold(mutex_);
        closed_ = true;
        left.swap(items_);
        return left;
    }

    bool closed() const {
        std::lock_guard hold(mutex_);
        return closed_;
    }

private:
    explicit EventfdQueue(int fd) : fd_(fd) {}

    int fd_;
    mutable std::mutex mutex_;
    std::vector<Item> items_;
    bool closed_ = false;
};

}  // namespace tarnel::runtime
