// The benchmark's floor: the same exchange as the module (a Beast WebSocket server sending Request frames
// and waiting for each Response in turn), in C++ alone, against the same peer. No Python anywhere, so
// what it reaches is what the loopback link and the WebSocket layer allow.
//
//   tarnel_bench_floor --ports P1[,P2...] --fn FNID [--snapshot N] [--sync N ROWS COLS] [--ohlc ROWS COLS]
//                      [--candles ROWS COLS] [--warmup W] [--seconds S] [--min-calls M] [--max-calls X]
//
// One thread per port accepts one connection, greets it, then runs W verified calls and timed calls
// for S seconds (at least M, at most X). Prints one JSON object on standard output.
#include <sys/resource.h>

#include <algorithm>
#include <barrier>
#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/frame.hpp"
#include "codec/payload_codec.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using tarnel::Bytes;
using tarnel::ByteView;

constexpr std::size_t kMessageLimit = 64 * 1024 * 1024;  // the module's settings
constexpr std::size_t kWriteBufferBytes = 128 * 1024;
const std::string kGreeting = R"({"type":"handshake","python_library_version":"0.1.0"})";

struct Options {
    std::vector<std::uint16_t> ports;
    std::uint16_t fn_id = 12;
    std::uint32_t snapshot_n = 16;
    std::uint32_t sync_n = 16, sync_rows = 256, sync_cols = 5;
    std::uint32_t ohlc_rows = 1000, ohlc_cols = 5;
    std::uint32_t candle_rows = 1000, candle_cols = 5;
    int warmup = 20;
    double seconds = 1.0;
    long min_calls = 1;
    long max_calls = 1L << 40;
};

bool values_ok(const std::uint8_t* at, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        double v;
        std::memcpy(&v, at + 8 * i, 8);
        if (v != 0.5 * static_cast<double>(i)) return false;
    }
    return true;
}

// The response payload's layout and shape; with `full`, every value as well.
bool payload_ok(const Options& o, ByteView payload, bool full) {
    switch (o.fn_id) {
        case 12: {
            auto v = tarnel::check_vec_f64(payload);
            return v && v->n == o.snapshot_n && (!full || values_ok(v->values, v->n));
        }
        case 130: {
            auto both = tarnel::check_vec_mat_f64(payload);
            return both && both->vec.n == o.sync_n && both->mat.rows == o.sync_rows && both->mat.cols == o.sync_cols &&
                   (!full || (values_ok(both->vec.values, both->vec.n) && values_ok(both->mat.data, both->mat.size())));
        }
        case 15: {
            auto m = tarnel::check_mat_f64(payload);
            return m && m->rows == o.ohlc_rows && m->cols == o.ohlc_cols && (!full || values_ok(m->data, m->size()));
        }
        default:
            return payload.empty();
    }
}

Bytes request_payload(const Options& o) {
    if (o.fn_id != 100) return {};
    std::vector<double> values(std::size_t{o.candle_rows} * o.candle_cols);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i);
    return std::move(tarnel::encode_mat_f64(o.candle_rows, o.candle_cols, values).value());
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Marks the start and the end of the timed phase: the process's CPU time between the two is the cost.
struct Phase {
    std::vector<double>* marks;
    void operator()() noexcept { marks->push_back(cpu_seconds()); }
};

struct PortResult {
    long calls = 0;
    std::vector<std::int64_t> latencies_ns;
    double wall_s = 0;
    std::string failure;
};

// One engine's worth: accept, upgrade, greet, then the calls.
void run_port(const Options& o, std::uint16_t port, const Bytes& payload, std::barrier<Phase>& phase,
              PortResult& result) {
    asio::io_context ioc;
    tcp::acceptor acceptor(ioc);
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(128);
    websocket::stream<tcp::socket> ws(acceptor.accept());
    ws.read_message_max(kMessageLimit);
    ws.write_buffer_bytes(kWriteBufferBytes);
    ws.accept();
    ws.text(true);
    ws.write(asio::buffer(kGreeting));
    ws.binary(true);

    std::array<std::uint8_t, tarnel::frame::kHeaderLen> header;
    beast::flat_buffer buffer;
    std::uint32_t seq = 1;
    auto call = [&](bool full) {
        tarnel::frame::write_request_header(header.data(), seq, o.fn_id, static_cast<std::uint32_t>(payload.size()));
        const std::array<asio::const_buffer, 2> out{asio::buffer(header), asio::buffer(payload)};
        ws.write(out);
        for (;;) {
            buffer.clear();
            ws.read(buffer);
            const auto data = buffer.data();
            const ByteView frame(static_cast<const std::uint8_t*>(data.data()), data.size());
            auto outcome = tarnel::frame::classify(frame, seq, o.fn_id);
            if (std::holds_alternative<tarnel::frame::outcome::Ignore>(outcome)) continue;
            auto* success = std::get_if<tarnel::frame::outcome::Success>(&outcome);
            if (!success) throw std::runtime_error("call " + std::to_string(seq) + " failed");
            if (!payload_ok(o, success->payload, full)) {
                throw std::runtime_error("wrong response to call " + std::to_string(seq));
            }
            break;
        }
        ++seq;
    };
    for (int i = 0; i < o.warmup; ++i) call(true);
    phase.arrive_and_wait();  // every port starts its timed calls together
    const auto start = Clock::now();
    const auto stop = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    result.latencies_ns.reserve(1 << 16);
    for (;;) {
        const auto now = Clock::now();
        if (result.calls >= o.max_calls || (result.calls >= o.min_calls && now >= stop)) break;
        const bool last = result.calls + 1 == o.max_calls;
        const auto t0 = Clock::now();
        call(last);
        result.latencies_ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
        ++result.calls;
    }
    result.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    phase.arrive_and_wait();
    call(true);  // one more result, checked in full outside the timing
}

std::vector<std::uint16_t> split_ports(const std::string& text) {
    std::vector<std::uint16_t> ports;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) ports.push_back(static_cast<std::uint16_t>(std::stoul(item)));
    return ports;
}

Options parse(int argc, char** argv) {
    Options o;
    auto next = [&](int& i) -> std::string {
        if (i + 1 >= argc) throw std::runtime_error(std::string("missing value after ") + argv[i]);
        return argv[++i];
    };
    auto u32 = [&](int& i) { return static_cast<std::uint32_t>(std::stoul(next(i))); };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ports") o.ports = split_ports(next(i));
        else if (arg == "--fn") o.fn_id = static_cast<std::uint16_t>(u32(i));
        else if (arg == "--snapshot") o.snapshot_n = u32(i);
        else if (arg == "--sync") { o.sync_n = u32(i); o.sync_rows = u32(i); o.sync_cols = u32(i); }
        else if (arg == "--ohlc") { o.ohlc_rows = u32(i); o.ohlc_cols = u32(i); }
        else if (arg == "--candles") { o.candle_rows = u32(i); o.candle_cols = u32(i); }
        else if (arg == "--warmup") o.warmup = static_cast<int>(u32(i));
        else if (arg == "--seconds") o.seconds = std::stod(next(i));
        else if (arg == "--min-calls") o.min_calls = std::stol(next(i));
        else if (arg == "--max-calls") o.max_calls = std::stol(next(i));
        else throw std::runtime_error("unknown argument " + arg);
    }
    if (o.ports.empty()) throw std::runtime_error("--ports is required");
    return o;
}

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long status_bytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1)) * 1024;
    }
    return -1;
}

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    try {
        o = parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "floor: %s\n", e.what());
        return 2;
    }
    const Bytes payload = request_payload(o);
    reset_peak_rss();
    const long rss_before = status_bytes("VmRSS");
    std::vector<PortResult> results(o.ports.size());
    std::vector<double> marks;
    marks.reserve(2);
    std::barrier<Phase> phase(static_cast<std::ptrdiff_t>(o.ports.size()), Phase{&marks});
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                run_port(o, o.ports[i], payload, phase, results[i]);
            } catch (const std::exception& e) {
                results[i].failure = e.what();
                phase.arrive_and_drop();  // the others need not wait for this port any more
            }
        });
    }
    for (auto& t : threads) t.join();
    const double cpu = marks.size() == 2 ? marks[1] - marks[0] : 0.0;
    const long rss_peak = status_bytes("VmHWM");

    std::string failures;
    long calls = 0;
    double wall = 0;
    std::ostringstream latencies;
    bool first = true;
    for (const auto& r : results) {
        if (!r.failure.empty()) failures += (failures.empty() ? "" : "; ") + r.failure;
        calls += r.calls;
        wall = std::max(wall, r.wall_s);
        for (auto ns : r.latencies_ns) {
            latencies << (first ? "" : ",") << ns;
            first = false;
        }
    }
    std::string escaped;
    for (char c : failures) escaped += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    std::printf("{\"ok\": %s, \"failure\": \"%s\", \"calls\": %ld, \"wall_s\": %.6f, \"cpu_s\": %.6f, "
                "\"rss_before\": %ld, \"rss_peak\": %ld, \"latencies_ns\": [%s]}\n",
                failures.empty() ? "true" : "false", escaped.c_str(), calls, wall, cpu, rss_before,
                rss_peak, latencies.str().c_str());
    return failures.empty() ? 0 : 1;
}
