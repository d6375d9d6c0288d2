// The HTTP upgrade request as the server handles it: parsed with the header limit (whole, and as it may
// arrive in two reads), validated, the origin decided from the first Origin field, and the 101 response
// built; the response must be exact, with an accept key computed here from the request's key.
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/parser.hpp>
#include <optional>

#include "fuzz_support.hpp"
#include "ws/origin_check.hpp"
#include "ws/upgrade_request.hpp"

using namespace tarnel::ws;
namespace beast = boost::beast;

namespace {

struct Parsed {
    bool complete = false;
    std::string failure;
    std::optional<UpgradeRequest> request;
};

// Feeds the bytes as reads would deliver them: whatever the parser leaves unused stays in front.
Parsed parse(std::string_view text, std::size_t split) {
    http::request_parser<http::empty_body> parser;
    parser.header_limit(kUpgradeHeaderLimit);
    boost::system::error_code ec;
    std::string pending;
    auto arrive = [&](std::string_view chunk) {
        pending.append(chunk);
        while (!ec && !parser.is_done() && !pending.empty()) {
            const std::size_t used = parser.put(boost::asio::buffer(pending), ec);
            pending.erase(0, used);
            if (ec == http::error::need_more) {
                ec = {};
                break;
            }
            if (used == 0) break;
        }
    };
    arrive(text.substr(0, split));
    arrive(text.substr(split));
    if (!ec && !parser.is_done()) {
        // The peer closed; as in http::read, nothing at all is the end of the stream, not a message.
        if (parser.got_some()) {
            parser.put_eof(ec);
        } else {
            ec = http::error::end_of_stream;
        }
    }
    Parsed parsed;
    if (ec || !parser.is_done()) {
        parsed.failure = ec ? ec.message() : "not done";
        return parsed;
    }
    parsed.complete = true;
    parsed.request = parser.release();
    return parsed;
}

std::string flatten(const UpgradeRequest& r) {
    std::string out = std::string(r.method_string()) + " " + std::string(r.target()) + " " + std::to_string(r.version());
    for (const auto& field : r) out += "\n" + std::string(field.name_string()) + ": " + std::string(field.value());
    return out;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return out;
}

// A field value that is exactly one token (blanks around it allowed), compared without regard to case.
bool is_single_token(std::string_view value, std::string_view token) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return lower(value) == token;
}

std::string_view view(beast::string_view s) { return std::string_view(s.data(), s.size()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto bytes = fuzz::exact_copy(data, size);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const Parsed whole = parse(text, text.size());
    const Parsed in_two = parse(text, text.size() * 2 / 3);
    FUZZ_CHECK(whole.complete == in_two.complete, "split reads disagree: " + whole.failure + " / " + in_two.failure);
    if (!whole.complete) return 0;
    const UpgradeRequest& request = *whole.request;
    FUZZ_CHECK(flatten(request) == flatten(*in_two.request), "split reads parsed different requests");
    const std::size_t header_end = text.find("\r\n\r\n");
    FUZZ_CHECK(header_end != std::string_view::npos && header_end + 4 <= kUpgradeHeaderLimit,
               "a header over the limit was accepted: " + std::to_string(header_end));

    const std::optional<std::string> problem = upgrade_request_problem(request);
    const std::string_view connection = view(request[http::field::connection]);
    const std::string_view upgrade = view(request[http::field::upgrade]);
    const std::string_view key = view(request[http::field::sec_websocket_key]);
    const std::string prefix = "not a WebSocket upgrade: ";
    if (request.method_string() != "GET") {
        FUZZ_CHECK(problem == prefix + "method is not GET", problem.value_or("(valid)"));
        return 0;
    }
    if (request.version() < 11) {
        FUZZ_CHECK(problem == prefix + "HTTP version below 1.1", problem.value_or("(valid)"));
        return 0;
    }
    if (problem) {
        const bool known = *problem == prefix + "no Connection: upgrade" || *problem == prefix + "no Upgrade: websocket" ||
                           *problem == prefix + "missing or malformed Sec-WebSocket-Key" ||
                           *problem == prefix + "Sec-WebSocket-Version is not 13";
        FUZZ_CHECK(known, "unknown problem text: " + *problem);
        FUZZ_CHECK(*problem != prefix + "no Connection: upgrade" || !is_single_token(connection, "upgrade"),
                   "'" + std::string(connection) + "' lists upgrade");
        FUZZ_CHECK(*problem != prefix + "no Upgrade: websocket" || !is_single_token(upgrade, "websocket"),
                   "'" + std::string(upgrade) + "' lists websocket");
        return 0;
    }
    FUZZ_CHECK(lower(connection).find("upgrade") != std::string::npos, "accepted Connection: " + std::string(connection));
    FUZZ_CHECK(lower(upgrade).find("websocket") != std::string::npos, "accepted Upgrade: " + std::string(upgrade));
    FUZZ_CHECK(!key.empty() && key.size() <= 24, "accepted key: " + std::string(key));
    FUZZ_CHECK(request[http::field::sec_websocket_version] == "13", "accepted a version other than 13");

    // The origin decision takes the first field named Origin, whatever the case of its name.
    std::optional<std::string_view> origin;
    for (const auto& field : request) {
        if (lower(view(field.name_string())) == "origin") {
            origin = view(field.value());
            break;
        }
    }
    const auto found = request.find(http::field::origin);
    FUZZ_CHECK((found == request.end()) == !origin, "the Origin field was not found");
    FUZZ_CHECK(!origin || view(found->value()).data() == origin->data(), "not the first Origin field");
    if (!check_origin(origin).accepted) return 0;

    const std::string response = switching_protocols_response(request);
    const std::string key_text(key);
    const auto digest = fuzz::sha1(key_text + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    const std::string accept = fuzz::base64(digest.data(), digest.size());
    const unsigned version = request.version();
    const std::string want = "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10) +
                             " 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                             "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
    FUZZ_CHECK(response == want, "response:\n" + response + "\nwanted:\n" + want);

    // And it reads back as a complete 101 response with exactly those three fields.
    http::response_parser<http::empty_body> reader;
    boost::system::error_code ec;
    const std::size_t used = reader.put(boost::asio::buffer(response), ec);
    FUZZ_CHECK(!ec && reader.is_header_done() && used == response.size(), "response unreadable: " + ec.message());
    const auto& parsed = reader.get();
    FUZZ_CHECK(parsed.result_int() == 101 && std::distance(parsed.begin(), parsed.end()) == 3, response);
    FUZZ_CHECK(parsed[http::field::sec_websocket_accept] == accept, response);
    return 0;
}
