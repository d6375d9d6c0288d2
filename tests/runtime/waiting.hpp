// Test helpers for work on the runtime's threads: bounded waits, and a probe of a task's completion.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/task.hpp"

namespace tarnel::runtime::test_support {

using namespace std::chrono_literals;

// Failing out of a test while coroutines still use its locals would crash later, far from the cause:
// a hang or a broken precondition stops the run instead.
inline void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "gave up waiting for %s\n", what);
        std::abort();
    }
}

inline void require_ready(const std::future<void>& done, const char* what) {
    require(done.wait_for(10s) == std::future_status::ready, what);
}

template <class T>
T wait_for(std::future<T>& future, const char* what) {
    require(future.wait_for(10s) == std::future_status::ready, what);
    return future.get();
}

inline bool eventually(const std::function<bool()>& condition) {
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(50us);
    }
    return true;
}

// What one launched task reported. `released` is set once the completion is destroyed, which is when
// it has either been called or can no longer be.
struct Probe {
    std::mutex mutex;
    std::vector<TaskOutcome> outcomes;
    std::thread::id thread;
    std::promise<void> released;
    std::future<void> released_future = released.get_future();

    std::vector<TaskOutcome> wait() {
        require(released_future.wait_for(10s) == std::future_status::ready, "a task's completion");
        std::lock_guard hold(mutex);
        return outcomes;
    }
};

inline Completion record(const std::shared_ptr<Probe>& probe) {
    struct Release {
        std::shared_ptr<Probe> probe;
        ~Release() { probe->released.set_value(); }
    };
    auto release = std::shared_ptr<Release>(new Release{probe});
    return [probe = probe.get(), release](TaskOutcome outcome) {
        std::lock_guard hold(probe->mutex);
        probe->outcomes.push_back(std::move(outcome));
        probe->thread = std::this_thread::get_id();
    };
}

}  // namespace tarnel::runtime::test_support
