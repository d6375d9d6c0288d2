// The benchmark's user interface: a WebSocket client that answers every request at once with prebuilt
// payloads whose values are known (element i = 0.5 * i), reconnecting when dropped, until a time limit.
//
//   tarnel_bench_peer --port P [--host H] [--seconds S] [--snapshot N] [--sync N ROWS COLS]
//                     [--ohlc ROWS COLS] [--candles ROWS COLS] [--verify-first K]
//
// Responses per fnId: 12 get_snapshot VecF64 of N values; 130 step_and_sync VecMatF64 (N values, then a
// ROWS x COLS matrix); 15 get_ohlc MatF64 ROWS x COLS; 100 init_candles and every other fnId an empty
// Response. The first K init_candles requests of each connection are checked (shape and values); a wrong
// one is answered with an ErrorResponse, which the driver sees as a failed call.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kRequest = 1;
constexpr std::uint8_t kResponse = 2;
constexpr std::uint8_t kErrorResponse = 3;
constexpr std::size_t kHeaderLen = 16;
constexpr std::uint16_t kGetSnapshot = 12;
constexpr std::uint16_t kGetOhlc = 15;
constexpr std::uint16_t kInitCandles = 100;
constexpr std::uint16_t kStepAndSync = 130;

struct Options {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    double seconds = 60;
    std::uint32_t snapshot_n = 16;
    std::uint32_t sync_n = 16, sync_rows = 256, sync_cols = 5;
    std::uint32_t ohlc_rows = 1000, ohlc_cols = 5;
    std::uint32_t candle_rows = 0, candle_cols = 0;  // 0 x 0: any shape is accepted, values still checked
    int verify_first = 2;
};

void put_u32(Bytes& out, std::uint32_t v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);  // the wire is little-endian, and so is every machine this runs on
    out.insert(out.end(), b, b + 4);
}

void put_values(Bytes& out, std::size_t count) {
    const std::size_t at = out.size();
    out.resize(at + 8 * count);
    for (std::size_t i = 0; i < count; ++i) {
        const double v = 0.5 * static_cast<double>(i);
        std::memcpy(out.data() + at + 8 * i, &v, 8);
    }
}

Bytes vec_f64(std::uint32_t n) {
    Bytes out;
    out.reserve(4 + 8 * std::size_t{n});
    put_u32(out, n);
    put_values(out, n);
    return out;
}

Bytes mat_f64(std::uint32_t rows, std::uint32_t cols) {
    Bytes out;
    out.reserve(8 + 8 * std::size_t{rows} * cols);
    put_u32(out, rows);
    put_u32(out, cols);
    put_values(out, std::size_t{rows} * cols);
    return out;
}

void write_header(std::uint8_t* out, std::uint8_t kind, std::uint32_t seq, std::uint16_t fn_id, std::uint32_t len) {
    std::memset(out, 0, kHeaderLen);
    out[0] = kVersion;
    out[1] = kind;
    std::memcpy(out + 4, &seq, 4);
    std::memcpy(out + 8, &fn_id, 2);
    std::memcpy(out + 12, &len, 4);
}

// An init_candles request payload: MatF64 of the expected shape with element i = 0.5 * i.
bool candles_ok(const std::uint8_t* payload, std::size_t size, const Options& options) {
    if (size < 8) return false;
    std::uint32_t rows, cols;
    std::memcpy(&rows, payload, 4);
    std::memcpy(&cols, payload + 4, 4);
    if (options.candle_rows != 0 && (rows != options.candle_rows || cols != options.candle_cols)) return false;
    const std::size_t count = std::size_t{rows} * cols;
    if (size != 8 + 8 * count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        double v;
        std::memcpy(&v, payload + 8 + 8 * i, 8);
        if (v != 0.5 * static_cast<double>(i)) return false;
    }
    return true;
}

Bytes error_body(const std::string& message) {
    Bytes out(8);
    const std::uint16_t err = 1, sub = 0;
    const auto len = static_cast<std::uint32_t>(message.size());
    std::memcpy(out.data(), &err, 2);
    std::memcpy(out.data() + 2, &sub, 2);
    std::memcpy(out.data() + 4, &len, 4);
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

// One connection: handshake, then answer requests until the connection ends.
void serve(websocket::stream<tcp::socket>& ws, const Options& options,
           const std::unordered_map<std::uint16_t, Bytes>& responses) {
    beast::flat_buffer buffer;
    ws.read(buffer);  // the greeting text message
    buffer.consume(buffer.size());
    const Bytes empty;
    const Bytes rejected = error_body("bad init_candles payload");
    int candles_checked = 0;
    std::array<std::uint8_t, kHeaderLen> header;
    for (;;) {
        ws.read(buffer);
        const auto data = buffer.data();
        const auto* frame = static_cast<const std::uint8_t*>(data.data());
        const std::size_t size = data.size();
        if (!ws.got_binary() || size < kHeaderLen || frame[0] != kVersion || frame[1] != kRequest) {
            buffer.consume(size);
            continue;
        }
        std::uint32_t seq;
        std::uint16_t fn_id;
        std::memcpy(&seq, frame + 4, 4);
        std::memcpy(&fn_id, frame + 8, 2);
        const Bytes* body = &empty;
        std::uint8_t kind = kResponse;
        if (auto found = responses.find(fn_id); found != responses.end()) body = &found->second;
        if (fn_id == kInitCandles && candles_checked < options.verify_first) {
            ++candles_checked;
            if (!candles_ok(frame + kHeaderLen, size - kHeaderLen, options)) {
                body = &rejected;
                kind = kErrorResponse;
            }
        }
        buffer.consume(size);
        write_header(header.data(), kind, seq, fn_id, static_cast<std::uint32_t>(body->size()));
        const std::array<asio::const_buffer, 2> out{asio::buffer(header), asio::buffer(*body)};
        ws.binary(true);
        ws.write(out);
    }
}

bool parse(int argc, char** argv, Options& o) {
    auto number = [&](int& i) -> unsigned long {
        if (i + 1 >= argc) throw std::runtime_error(std::string("missing value after ") + argv[i]);
        return std::stoul(argv[++i]);
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) o.host = argv[++i];
        else if (arg == "--port") o.port = static_cast<std::uint16_t>(number(i));
        else if (arg == "--seconds" && i + 1 < argc) o.seconds = std::stod(argv[++i]);
        else if (arg == "--snapshot") o.snapshot_n = static_cast<std::uint32_t>(number(i));
        else if (arg == "--sync") {
            o.sync_n = static_cast<std::uint32_t>(number(i));
            o.sync_rows = static_cast<std::uint32_t>(number(i));
            o.sync_cols = static_cast<std::uint32_t>(number(i));
        } else if (arg == "--ohlc") {
            o.ohlc_rows = static_cast<std::uint32_t>(number(i));
            o.ohlc_cols = static_cast<std::uint32_t>(number(i));
        } else if (arg == "--candles") {
            o.candle_rows = static_cast<std::uint32_t>(number(i));
            o.candle_cols = static_cast<std::uint32_t>(number(i));
        } else if (arg == "--verify-first") o.verify_first = static_cast<int>(number(i));
        else return false;
    }
    return o.port != 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        if (!parse(argc, argv, options)) {
            std::fprintf(stderr, "usage: %s --port P [--host H] [--seconds S] [--snapshot N] [--sync N ROWS COLS] "
                                 "[--ohlc ROWS COLS] [--candles ROWS COLS] [--verify-first K]\n", argv[0]);
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "peer: %s\n", e.what());
        return 2;
    }
    // The time limit holds whatever the peer is blocked in.
    const auto limit = std::chrono::duration<double>(options.seconds);
    std::thread([limit] {
        std::this_thread::sleep_for(limit);
        std::_Exit(0);
    }).detach();

    std::unordered_map<std::uint16_t, Bytes> responses;
    responses[kGetSnapshot] = vec_f64(options.snapshot_n);
    Bytes sync = vec_f64(options.sync_n);
    const Bytes sync_matrix = mat_f64(options.sync_rows, options.sync_cols);
    sync.insert(sync.end(), sync_matrix.begin(), sync_matrix.end());
    responses[kStepAndSync] = std::move(sync);
    responses[kGetOhlc] = mat_f64(options.ohlc_rows, options.ohlc_cols);

    asio::io_context ioc;
    const tcp::endpoint endpoint(asio::ip::make_address(options.host), options.port);
    for (;;) {
        try {
            websocket::stream<tcp::socket> ws(ioc);
            beast::get_lowest_layer(ws).connect(endpoint);
            beast::get_lowest_layer(ws).set_option(tcp::no_delay(true));
            ws.read_message_max(256u << 20);
            ws.auto_fragment(false);
            ws.write_buffer_bytes(1u << 20);  // masking copies through this buffer: big chunks, few writes
            ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
                request.set(beast::http::field::origin, "http://localhost");
            }));
            ws.handshake(options.host + ":" + std::to_string(options.port), "/");
            serve(ws, options, responses);
        } catch (const std::exception&) {
            // Not listening yet, refused, or dropped: try again shortly.
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
