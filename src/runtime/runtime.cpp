// The process-wide Asio context and the detached worker threads that serve it.
#include "runtime/runtime.hpp"

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <system_error>
#include <thread>

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

}  // namespace

unsigned worker_count() {
    static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    return count;
}

asio::io_context& context() {
    static asio::io_context* const ctx = start_runtime();
    return *ctx;
}

}  // namespace tarnel::runtime
