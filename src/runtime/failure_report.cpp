// The failure sink, and its default: one line on standard error, written with one write(2).
#include "runtime/failure_report.hpp"

#include <unistd.h>

#include <atomic>

namespace tarnel::runtime {

namespace {

void write_line(std::string_view where, std::string_view what) {
    std::string line = "py_engine_tarnel: an exception escaped ";
    line.append(where).append(": ").append(what).append("\n");
    [[maybe_unused]] const auto written = ::write(2, line.data(), line.size());
}

std::atomic<FailureSink> g_sink{write_line};

}  // namespace

void set_failure_sink(FailureSink sink) { g_sink.store(sink ? sink : write_line); }

std::string describe_failure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        const char* text = e.what();
        return text && *text ? text : "unknown exception";
    } catch (...) {
        return "unknown exception";
    }
}

void report_caught(std::string_view where) noexcept {
    try {
        g_sink.load()(where, describe_failure(std::current_exception()));
    } catch (...) {
        // Reporting failed as well (no memory): nothing more can be done here.
    }
}

}  // namespace tarnel::runtime
