// Text renderings of the engine error records.
#include "codec/engine_error.hpp"

namespace tarnel {

namespace {
template <class T>
std::string optional_text(const std::optional<T>& value) {
    return value ? "Some(" + std::to_string(*value) + ")" : std::string("None");
}
}  // namespace

bool operator==(const ValueError& a, const ValueError& b) { return a.message == b.message; }
bool operator==(const RpcError& a, const RpcError& b) {
    return a.seq == b.seq && a.fn_id == b.fn_id && a.err == b.err && a.sub == b.sub && a.message == b.message;
}
bool operator==(const RpcTransportError& a, const RpcTransportError& b) {
    return a.seq == b.seq && a.fn_id == b.fn_id && a.message == b.message;
}

std::string render(const RpcError& e) {
    return "RpcError(seq=" + std::to_string(e.seq) + ", fnId=" + std::to_string(e.fn_id) +
           ", err=" + std::to_string(e.err) + ", sub=" + std::to_string(e.sub) + "): " + e.message;
}

std::string render(const RpcTransportError& e) {
    return "RpcTransportError(seq=" + optional_text(e.seq) + ", fnId=" + optional_text(e.fn_id) + "): " + e.message;
}

std::string EngineError::text() const {
    return std::visit(
        [](const auto& d) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(d)>, ValueError>) {
                return d.message;
            } else {
                return render(d);
            }
        },
        detail_);
}

}  // namespace tarnel
