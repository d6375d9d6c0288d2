// Validation of parsed upgrade requests, the accept key and the exact 101 response bytes.
#include <gtest/gtest.h>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <string>
#include <string_view>

#include "ws/upgrade_request.hpp"

namespace tarnel::ws {
namespace {

namespace http = boost::beast::http;

constexpr std::string_view kExampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr std::string_view kExampleAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

// Parses a complete request head the way the server reads it.
UpgradeRequest parse(std::string_view text) {
    http::request_parser<http::empty_body> parser;
    parser.header_limit(kUpgradeHeaderLimit);
    parser.eager(true);
    boost::beast::error_code ec;
    const std::size_t used = parser.put(boost::asio::buffer(text.data(), text.size()), ec);
    EXPECT_FALSE(ec) << ec.message() << " in:\n" << text;
    EXPECT_EQ(used, text.size()) << text;
    EXPECT_TRUE(parser.is_done()) << text;
    return parser.release();
}

// A request line and fields, ended by the empty line.
std::string request(std::string_view start_line, std::string_view fields) {
    return std::string(start_line) + "\r\n" + std::string(fields) + "\r\n";
}

const std::string kValidFields =
    "Host: 127.0.0.1:8765\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n";

const std::string kExpectedResponse =
    "HTTP/1.1 101 Switching Protocols\r\n"
    "Connection: Upgrade\r\n"
    "Upgrade: websocket\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
    "\r\n";

TEST(AcceptKey, Rfc6455Example) { EXPECT_EQ(websocket_accept_key(kExampleKey), kExampleAccept); }

TEST(AcceptKey, OtherKeys) {
    // base64(SHA-1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), computed independently.
    EXPECT_EQ(websocket_accept_key("x3JJHMbDL1EzLkh9GBhXDw=="), "HSmrc0sMlYUkAGmm5OPpG2HaGWk=");
    EXPECT_EQ(websocket_accept_key("AAAAAAAAAAAAAAAAAAAAAA=="), "ICX+Yqv66kxgM0FcWaLWlFLwTAI=");
    EXPECT_NE(websocket_accept_key("x3JJHMbDL1EzLkh9GBhXDw=="), websocket_accept_key(kExampleKey));
}

TEST(UpgradeRequest, TheRfcExampleIsValidAndGetsTheExactResponse) {
    const UpgradeRequest req = parse(request("GET /chat HTTP/1.1", kValidFields));
    EXPECT_EQ(upgrade_request_problem(req), std::nullopt);
    EXPECT_EQ(switching_protocols_response(req), kExpectedResponse);
}

TEST(UpgradeRequest, ExtraFieldsAndOriginAddNothingToTheResponse) {
    const UpgradeRequest req = parse(request("GET / HTTP/1.1", kValidFields +
                                                                   "Origin: http://localhost:5173\r\n"
                                                                   "Sec-WebSocket-Protocol: chat, superchat\r\n"
                                                                   "Sec-WebSocket-Extensions: permessage-deflate\r\n"
                                                                   "User-Agent: test\r\n"));
    EXPECT_EQ(upgrade_request_problem(req), std::nullopt);
    EXPECT_EQ(switching_protocols_response(req), kExpectedResponse);
}

TEST(UpgradeRequest, TheResponseCarriesTheRequestKeysAcceptValue) {
    const UpgradeRequest req = parse(request("GET / HTTP/1.1",
                                             "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                             "Sec-WebSocket-Key: x3JJHMbDL1EzLkh9GBhXDw==\r\n"
                                             "Sec-WebSocket-Version: 13\r\n"));
    EXPECT_EQ(upgrade_request_problem(req), std::nullopt);
    EXPECT_EQ(switching_protocols_response(req),
              "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
              "Sec-WebSocket-Accept: HSmrc0sMlYUkAGmm5OPpG2HaGWk=\r\n\r\n");
}

TEST(UpgradeRequest, TokensAndFieldNamesAreComparedWithoutRegardToCase) {
    for (const std::string fields : {
             "upgrade: WebSocket\r\nconnection: upgrade\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "sec-websocket-version: 13\r\n",
             "UPGRADE: WEBSOCKET\r\nCONNECTION: UPGRADE\r\nSEC-WEBSOCKET-KEY: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "SEC-WEBSOCKET-VERSION: 13\r\n",
         }) {
        const UpgradeRequest req = parse(request("GET / HTTP/1.1", fields));
        EXPECT_EQ(upgrade_request_problem(req), std::nullopt) << fields;
        EXPECT_EQ(switching_protocols_response(req), kExpectedResponse) << fields;
    }
}

TEST(UpgradeRequest, ConnectionMayListOtherTokens) {
    for (std::string_view connection : {"keep-alive, Upgrade", "Upgrade, keep-alive", "foo,upgrade , bar"}) {
        const UpgradeRequest req = parse(request(
            "GET / HTTP/1.1", "Upgrade: websocket\r\nConnection: " + std::string(connection) +
                                  "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"));
        EXPECT_EQ(upgrade_request_problem(req), std::nullopt) << connection;
    }
}

TEST(UpgradeRequest, AKeyOfUpToTwentyFourBytesIsAccepted) {
    const std::string key24 = "AAAAAAAAAAAAAAAAAAAAAA==";
    ASSERT_EQ(key24.size(), 24u);
    const UpgradeRequest req = parse(request(
        "GET / HTTP/1.1",
        "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key24 + "\r\nSec-WebSocket-Version: 13\r\n"));
    EXPECT_EQ(upgrade_request_problem(req), std::nullopt);
    EXPECT_EQ(switching_protocols_response(req),
              "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
              "Sec-WebSocket-Accept: ICX+Yqv66kxgM0FcWaLWlFLwTAI=\r\n\r\n");
}

struct Invalid {
    const char* what;
    std::string text;
};

TEST(UpgradeRequest, InvalidRequestsAreNamed) {
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const std::string version = "Sec-WebSocket-Version: 13\r\n";
    const std::string upgrade = "Upgrade: websocket\r\n";
    const std::string connection = "Connection: Upgrade\r\n";
    const Invalid cases[] = {
        {"plain GET", request("GET / HTTP/1.1", "Host: 127.0.0.1\r\n")},
        {"POST", request("POST / HTTP/1.1", kValidFields + "Content-Length: 0\r\n")},
        {"PUT", request("PUT / HTTP/1.1", kValidFields + "Content-Length: 0\r\n")},
        {"HEAD", request("HEAD / HTTP/1.1", kValidFields)},
        {"HTTP/1.0", request("GET / HTTP/1.0", kValidFields)},
        {"no Connection", request("GET / HTTP/1.1", upgrade + key + version)},
        {"Connection keep-alive", request("GET / HTTP/1.1", upgrade + "Connection: keep-alive\r\n" + key + version)},
        {"Connection upgraded", request("GET / HTTP/1.1", upgrade + "Connection: upgraded\r\n" + key + version)},
        {"no Upgrade", request("GET / HTTP/1.1", connection + key + version)},
        {"Upgrade h2c", request("GET / HTTP/1.1", "Upgrade: h2c\r\n" + connection + key + version)},
        {"Upgrade websockets", request("GET / HTTP/1.1", "Upgrade: websockets\r\n" + connection + key + version)},
        {"no key", request("GET / HTTP/1.1", upgrade + connection + version)},
        {"empty key", request("GET / HTTP/1.1", upgrade + connection + "Sec-WebSocket-Key: \r\n" + version)},
        {"key of 25 bytes",
         request("GET / HTTP/1.1",
                 upgrade + connection + "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAAA==\r\n" + version)},
        {"no version", request("GET / HTTP/1.1", upgrade + connection + key)},
        {"version 12", request("GET / HTTP/1.1", upgrade + connection + key + "Sec-WebSocket-Version: 12\r\n")},
        {"version 8", request("GET / HTTP/1.1", upgrade + connection + key + "Sec-WebSocket-Version: 8\r\n")},
        {"version 130", request("GET / HTTP/1.1", upgrade + connection + key + "Sec-WebSocket-Version: 130\r\n")},
    };
    for (const Invalid& c : cases) {
        const UpgradeRequest req = parse(c.text);
        const auto problem = upgrade_request_problem(req);
        ASSERT_TRUE(problem.has_value()) << c.what;
        EXPECT_FALSE(problem->empty()) << c.what;
    }
}

}  // namespace
}  // namespace tarnel::ws
