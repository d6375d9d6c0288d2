// The one error type every operation of the module reports, and its text renderings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "codec/expected.hpp"

namespace tarnel {

// The user interface answered a call with an ErrorResponse frame.
struct RpcError {
    std::uint32_t seq = 0;
    std::uint16_t fn_id = 0;
    std::uint16_t err = 0;
    std::uint16_t sub = 0;
    std::string message;
};

// The exchange itself failed or was not possible.
struct RpcTransportError {
    std::optional<std::uint32_t> seq;
    std::optional<std::uint16_t> fn_id;
    std::string message;
};

// Malformed data: a payload or frame that fails its checks.
struct ValueError {
    std::string message;
};

class EngineError {
public:
    enum class Kind { Value, Rpc, RpcTransport };

    static EngineError value(std::string message) { return EngineError(ValueError{std::move(message)}); }
    static EngineError rpc(RpcError error) { return EngineError(std::move(error)); }
    static EngineError transport(std::optional<std::uint32_t> seq, std::optional<std::uint16_t> fn_id,
                                 std::string message) {
        return EngineError(RpcTransportError{seq, fn_id, std::move(message)});
    }

    Kind kind() const { return static_cast<Kind>(detail_.index()); }
    const std::variant<ValueError, RpcError, RpcTransportError>& detail() const { return detail_; }

    // The exception text Python sees: the bare text for Value, the record's rendering otherwise.
    std::string text() const;

    bool operator==(const EngineError&) const = default;

private:
    explicit EngineError(std::variant<ValueError, RpcError, RpcTransportError> detail)
        : detail_(std::move(detail)) {}
    std::variant<ValueError, RpcError, RpcTransportError> detail_;
};

bool operator==(const ValueError&, const ValueError&);
bool operator==(const RpcError&, const RpcError&);
bool operator==(const RpcTransportError&, const RpcTransportError&);

std::string render(const RpcError& error);
std::string render(const RpcTransportError& error);

template <class T>
using Expected = BasicExpected<T, EngineError>;

inline Unexpected<EngineError> value_error(std::string message) {
    return Unexpected<EngineError>(EngineError::value(std::move(message)));
}

}  // namespace tarnel
