// EngineError kinds and the text each one shows to Python.
#include "codec/engine_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tarnel {
namespace {

TEST(RpcErrorText, Rendering) {
    EXPECT_EQ(render(RpcError{7, 31, 2, 5, "bad index"}), "RpcError(seq=7, fnId=31, err=2, sub=5): bad index");
    EXPECT_EQ(render(RpcError{4294967295u, 65535, 65535, 65535, "x"}),
              "RpcError(seq=4294967295, fnId=65535, err=65535, sub=65535): x");
}

TEST(RpcErrorText, EmptyMessageEndsAfterColonAndBlank) {
    EXPECT_EQ(render(RpcError{0, 120, 0, 0, ""}), "RpcError(seq=0, fnId=120, err=0, sub=0): ");
}

TEST(RpcTransportErrorText, PresentAndAbsentNumbers) {
    EXPECT_EQ(render(RpcTransportError{7, 31, "timeout waiting response"}),
              "RpcTransportError(seq=Some(7), fnId=Some(31)): timeout waiting response");
    EXPECT_EQ(render(RpcTransportError{std::nullopt, 2, "no websocket connected"}),
              "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected");
    EXPECT_EQ(render(RpcTransportError{std::nullopt, std::nullopt, "wait_connected timed out"}),
              "RpcTransportError(seq=None, fnId=None): wait_connected timed out");
    EXPECT_EQ(render(RpcTransportError{4294967295u, 130, "m"}),
              "RpcTransportError(seq=Some(4294967295), fnId=Some(130)): m");
    // Zero is present, not absent.
    EXPECT_EQ(render(RpcTransportError{0, 0, "z"}), "RpcTransportError(seq=Some(0), fnId=Some(0)): z");
    EXPECT_EQ(render(RpcTransportError{5, std::nullopt, ""}), "RpcTransportError(seq=Some(5), fnId=None): ");
}

TEST(EngineErrorKinds, KindAndText) {
    const EngineError value = EngineError::value("VecF64 payload too short");
    EXPECT_EQ(value.kind(), EngineError::Kind::Value);
    EXPECT_EQ(value.text(), "VecF64 payload too short");
    EXPECT_EQ(std::get<ValueError>(value.detail()).message, "VecF64 payload too short");

    // A Value text is shown unchanged, even when it looks like another kind's rendering.
    EXPECT_EQ(EngineError::value("RpcError(seq=1, fnId=2, err=3, sub=4): x").text(),
              "RpcError(seq=1, fnId=2, err=3, sub=4): x");
    EXPECT_EQ(EngineError::value("").text(), "");

    const EngineError rpc = EngineError::rpc(RpcError{7, 31, 2, 5, "bad index"});
    EXPECT_EQ(rpc.kind(), EngineError::Kind::Rpc);
    EXPECT_EQ(rpc.text(), "RpcError(seq=7, fnId=31, err=2, sub=5): bad index");
    EXPECT_EQ(std::get<RpcError>(rpc.detail()).err, 2);

    const EngineError transport = EngineError::transport(std::nullopt, 2, "no websocket connected");
    EXPECT_EQ(transport.kind(), EngineError::Kind::RpcTransport);
    EXPECT_EQ(transport.text(), "RpcTransportError(seq=None, fnId=Some(2)): no websocket connected");
    EXPECT_EQ(std::get<RpcTransportError>(transport.detail()).fn_id, std::optional<std::uint16_t>(2));

    EXPECT_EQ(EngineError::rpc(RpcError{0, 120, 0, 0, ""}).text(), "RpcError(seq=0, fnId=120, err=0, sub=0): ");
    EXPECT_EQ(EngineError::transport(1, 2, "").text(), "RpcTransportError(seq=Some(1), fnId=Some(2)): ");
}

TEST(EngineErrorKinds, ValueErrorHelperAndEquality) {
    const Expected<int> failed = value_error("MatF64 payload too short");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), EngineError::value("MatF64 payload too short"));

    EXPECT_NE(EngineError::value("a"), EngineError::value("b"));
    EXPECT_EQ(EngineError::transport(1, 2, "m"), EngineError::transport(1, 2, "m"));
    EXPECT_NE(EngineError::transport(1, 2, "m"), EngineError::transport(std::nullopt, 2, "m"));
    EXPECT_NE(EngineError::transport(1, 2, "m"), EngineError::transport(1, std::nullopt, "m"));
    EXPECT_NE(EngineError::rpc(RpcError{1, 2, 3, 4, "m"}), EngineError::rpc(RpcError{1, 2, 3, 5, "m"}));
    // Same message, different kinds.
    EXPECT_NE(EngineError::value("m"), EngineError::transport(std::nullopt, std::nullopt, "m"));
}

}  // namespace
}  // namespace tarnel
