// The process-wide Asio context and the detached worker threads that serve it.
#include "runtime/runtime.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <mutex>
#include <system_error>
#include <thread>

#include "runtime/failure_report.hpp"

namespace tarnel::runtime {

namespace {

void serve(asio::io_context* ctx) {
    // A handler that throws unwinds out of run(); running again keeps this worker alive instead of
    // letting the exception end the thread (and with it the process).
    for (;;) {
        try {
            ctx->run();
            return;
        } catch (...) {
            report_caught("a worker thread");
        }
    }
}

asio::io_context* start_runtime() {
    // Deliberately leaked, with its work guard: workers are never joined and may still be running
    // while the process exits, so nothing they use may be destroyed by static destruction.
    auto* ctx = new asio::io_context();
    new asio::executor_work_guard<asio::io_context::executor_type>(ctx->get_executor());
    unsigned started = 0;
    for (unsigned i = 0; i < worker_count(); ++i) {
        try {
            std::thread(serve, ctx).detach();
            ++started;
        } catch (const std::system_error&) {
            // Serve with the threads we could get; with none the runtime cannot work at all.
            if (started == 0) throw;
            break;
        }
    }
    return ctx;
}

// The runtime of this process. After fork() only the forking thread exists in the child: the parent's
// runtime has no threads there and its mutexes may be held for ever, so the child forgets it without
// touching it (it is leaked, never destroyed) and makes its own on first need.
std::atomic<asio::io_context*> g_context{nullptr};
std::mutex* g_start_mutex = new std::mutex();

void forget_runtime_in_child() {
    g_context.store(nullptr);
    g_start_mutex = new std::mutex();  // the parent's may have been held by another thread
}

}  // namespace

unsigned worker_count() {
    static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

asio::io_context& context() {
    if (auto* ctx = g_context.load(std::memory_order_acquire)) return *ctx;
    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { ::pthread_atfork(nullptr, nullptr, forget_runtime_in_child); });
    std::lock_guard hold(*g_start_mutex);
    if (auto* ctx = g_context.load(std::memory_order_acquire)) return *ctx;
    auto* ctx = start_runtime();
    g_context.store(ctx, std::memory_order_release);
    return *ctx;
}

void after_fork_in_child(void (*handler)()) { ::pthread_atfork(nullptr, nullptr, handler); }

namespace {
std::atomic<unsigned> g_process_generation{0};
[[maybe_unused]] const bool g_generation_counted = [] {
    after_fork_in_child([] { g_process_generation.fetch_add(1); });
    return true;
}();
}  // namespace

unsigned process_generation() { return g_process_generation.load(std::memory_order_relaxed); }

}  // namespace tarnel::runtime
