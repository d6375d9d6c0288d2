// The methods of TarnelEngineAsync: binding and conversion on the caller's thread, then one background
// task (start, wait_connected or an RPC) whose outcome completes the returned future.
#include <unistd.h>

#include <array>
#include <optional>

#include "bridge/exceptions.hpp"
#include "bridge/future_bridge.hpp"
#include "codec/byte_order.hpp"
#include "decode/arrays.hpp"
#include "decode/responses.hpp"
#include "engine/engine_object.hpp"
#include "engine/fn_ids.hpp"
#include "engine/order_request.hpp"
#include "engine/sequence_arguments.hpp"
#include "engine/timeout.hpp"
#include "module/binding.hpp"
#include "module/conversions.hpp"
#include "module/method_def.hpp"

namespace tarnel::engine {

namespace {

constexpr double kDefaultTimeout = 10.0;
constexpr double kSyncPolicyTimeout = 5.0;

using Bound = py::Result<py::BoundArguments>;
using Call = py::Result<py::object>;

Bound bind(const py::Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::bind(signature, args, static_cast<std::size_t>(nargs), kwnames);
}

// An engine made before fork() belongs to the parent: its runtime's threads do not exist in this process,
// so its operations fail at once, through their future, without touching anything of the engine.
Call inherited_failure(std::optional<std::uint16_t> fn_id) {
    const std::string text = "engine belongs to the parent process (pid " + std::to_string(::getppid()) +
                             "): a process made by fork() must create engines of its own";
    py::Error error = bridge::to_python(EngineError::transport(std::nullopt, fn_id, text));
    return bridge::done_future(py::handle(), error.value());
}

// The frame's length field is 32 bits wide: a larger payload cannot be sent, and is refused at the call.
std::optional<py::Error> frame_size_problem(std::uint64_t payload_bytes) {
    constexpr std::uint64_t kLimit = 0xFFFFFFFFu;
    if (payload_bytes <= kLimit) return std::nullopt;
    return py::Error::make(PyExc_ValueError, "request payload too large: " + std::to_string(payload_bytes) +
                                                 " bytes, a frame carries at most " + std::to_string(kLimit));
}

// Starts `make_task`'s background work, or fails at once for an engine inherited across fork().
template <class MakeTask>
Call run(PyObject* self, std::optional<std::uint16_t> fn_id, MakeTask&& make_task, bridge::ResultBuilder build) {
    if (link_of(self).inherited()) return inherited_failure(fn_id);
    return bridge::spawn(std::forward<MakeTask>(make_task), std::move(build));
}

// The common tail of every RPC method: the duration is formed last, after every argument check, then
// the task starts and its future is returned.
Call rpc(PyObject* self, std::uint16_t fn_id, Bytes payload, double timeout_secs, bridge::ResultBuilder build) {
    if (auto refused = frame_size_problem(payload.size())) return py::fail(std::move(*refused));
    const runtime::Duration timeout = seconds_to_duration(timeout_secs);
    return run(self, fn_id, [&] { return link_of(self).call(fn_id, std::move(payload), timeout); }, std::move(build));
}

template <std::size_t N>
Bytes vector_payload(const std::array<double, N>& values) {
    return std::move(encode_vec_f64(values).value());  // N fits the u32 count
}

// ---- start, wait_connected ------------------------------------------------------------------------

PyObject* start(PyObject* self, PyObject*) {
    return bridge::guarded(
        [&]() -> Call { return run(self, std::nullopt, [&] { return link_of(self).start(); }, bridge::none_result); });
}

const py::Signature kWaitConnected{"TarnelEngineAsync.wait_connected()", {"timeout_secs"}, 0};

PyObject* wait_connected(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kWaitConnected, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        std::optional<runtime::Duration> timeout;
        if (!bound->is_none(0)) {
            auto seconds = timeout_seconds((*bound)[0], 0.0);
            if (!seconds) return py::fail(std::move(seconds.error()));
            timeout = seconds_to_duration(*seconds);
        }
        return run(self, std::nullopt, [&] { return link_of(self).wait_connected(timeout); }, bridge::none_result);
    });
}

// ---- close, and the asynchronous context manager ----------------------------------------------------

// An inherited engine has nothing in this process to close: the parent's listener and connection are
// the parent's, so closing it here succeeds without touching them.
PyObject* close(PyObject* self, PyObject*) {
    return bridge::guarded([&]() -> Call {
        if (link_of(self).inherited()) return bridge::done_future(py::handle(Py_None));
        return bridge::spawn([&] { return link_of(self).close(); }, bridge::none_result);
    });
}

PyObject* aenter(PyObject* self, PyObject*) {
    return bridge::guarded([&]() -> Call { return bridge::done_future(py::handle(self)); });
}

// Closes the engine whatever ended the block; the exception, if any, propagates (close gives None).
PyObject* aexit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "TarnelEngineAsync.__aexit__() takes 3 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    return close(self, nullptr);
}

// ---- RPC methods without arguments of their own ----------------------------------------------------

struct PlainRpc {
    py::Signature signature;
    std::uint16_t fn_id;
    double default_timeout;
    bridge::ResultBuilder (*builder)();
};

template <const PlainRpc& Method>
PyObject* plain_rpc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(Method.signature, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto seconds = timeout_seconds((*bound)[0], Method.default_timeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        return rpc(self, Method.fn_id, Bytes(), *seconds, Method.builder());
    });
}

std::string method_name(const char* name) { return std::string("TarnelEngineAsync.") + name + "()"; }

template <py::Result<py::object> (*Build)(Bytes&&)>
bridge::ResultBuilder builder() {
    return Build;
}

const PlainRpc kGetRlConfig{{method_name("get_rl_config"), {"timeout_secs"}, 0}, fn::kGetRlConfig, kDefaultTimeout,
                            builder<decode::text_response>};
const PlainRpc kStepNext{{method_name("step_next"), {"timeout_secs"}, 0}, fn::kStepNext, kDefaultTimeout,
                         builder<bridge::none_result>};
const PlainRpc kStepAndSync{{method_name("step_and_sync"), {"timeout_secs"}, 0}, fn::kStepAndSync, kDefaultTimeout,
                            builder<decode::vector_matrix_response>};
const PlainRpc kGetSnapshot{{method_name("get_snapshot"), {"timeout_secs"}, 0}, fn::kGetSnapshot, kDefaultTimeout,
                            builder<decode::vector_response>};
const PlainRpc kGetTicketList{{method_name("get_ticket_list"), {"timeout_secs"}, 0}, fn::kGetTicketList,
                              kDefaultTimeout, builder<decode::matrix_response>};
const PlainRpc kGetOhlc{{method_name("get_ohlc"), {"timeout_secs"}, 0}, fn::kGetOhlc, kDefaultTimeout,
                        builder<decode::matrix_response>};
const PlainRpc kFetchEvents{{method_name("fetch_events"), {"timeout_secs"}, 0}, fn::kFetchEvents, kDefaultTimeout,
                            builder<decode::matrix_response>};
const PlainRpc kEndSession{{method_name("end_session"), {"timeout_secs"}, 0}, fn::kEndSession, kDefaultTimeout,
                           builder<decode::matrix_response>};
const PlainRpc kGetSyncPolicy{{method_name("get_sync_policy"), {"timeout_secs"}, 0}, fn::kGetSyncPolicy,
                              kSyncPolicyTimeout, builder<decode::policy_response>};

// ---- RPC methods with arguments --------------------------------------------------------------------

const py::Signature kInitCandles{method_name("init_candles"), {"ohlc5", "timeout_secs"}, 1};

PyObject* init_candles(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kInitCandles, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto seconds = timeout_seconds((*bound)[1], kDefaultTimeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        auto candles = decode::check_array((*bound)[0], 2, decode::DType::Float64);
        if (!candles) return py::fail(std::move(candles.error()));
        // Refused before the payload is made: it would be a copy of gigabytes that cannot be sent.
        if (auto refused = frame_size_problem(8 + 8 * std::uint64_t{candles->size()})) {
            return py::fail(std::move(*refused));
        }
        auto payload = decode::checked_array_to_mat_payload(*candles);
        if (!payload) return py::fail(std::move(payload.error()));
        return rpc(self, fn::kInitCandles, std::move(*payload), *seconds, bridge::none_result);
    });
}

const py::Signature kResetEpisode{method_name("reset_episode"), {"episode_index", "episode_type", "timeout_secs"}, 2};

// 1 when the text, lower-cased by full Unicode case mapping, is exactly "test"; 0 otherwise.
py::Result<std::uint8_t> episode_type_byte(py::handle text) {
    // str.lower itself, not a method a subclass may have put in its place.
    auto lowered = py::checked(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", text.ptr()));
    if (!lowered) return py::fail(std::move(lowered.error()));
    const int is_test = PyUnicode_CompareWithASCIIString(lowered->ptr(), "test");
    return static_cast<std::uint8_t>(is_test == 0 ? 1 : 0);
}

PyObject* reset_episode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kResetEpisode, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto index = py::argument("episode_index", (*bound)[0], py::to_u32);
        if (!index) return py::fail(std::move(index.error()));
        auto type_text = py::argument("episode_type", (*bound)[1], py::to_text);
        if (!type_text) return py::fail(std::move(type_text.error()));
        auto seconds = timeout_seconds((*bound)[2], kDefaultTimeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        auto type_byte = episode_type_byte((*bound)[1]);
        if (!type_byte) return py::fail(std::move(type_byte.error()));
        Bytes payload(5);
        le::store<std::uint32_t>(payload.data(), *index);
        payload[4] = *type_byte;
        return rpc(self, fn::kResetEpisode, std::move(payload), *seconds, decode::int_response);
    });
}

const py::Signature kClosePositions{method_name("close_positions"),
                                    {"position_ids", "actions", "ratios", "timeout_secs"}, 3};

PyObject* close_positions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kClosePositions, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto seconds = timeout_seconds((*bound)[3], kDefaultTimeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        auto ids = to_i32_list((*bound)[0]);
        if (!ids) return py::fail(std::move(ids.error()));
        auto actions = to_i32_list((*bound)[1]);
        if (!actions) return py::fail(std::move(actions.error()));
        auto ratios = to_float_list((*bound)[2]);
        if (!ratios) return py::fail(std::move(ratios.error()));
        auto request = close_request({std::move(*ids), std::move(*actions), std::move(*ratios)});
        if (!request) return py::fail(bridge::to_python(request.error()));
        auto payload = encode_close_step(request->position_ids, request->actions, request->ratios);
        if (!payload) return py::fail(bridge::to_python(payload.error()));
        return rpc(self, fn::kClosePositions, std::move(*payload), *seconds, decode::matrix_response);
    });
}

const py::Signature kPlaceOrder{method_name("place_order"),
                                {"side", "order_type", "price", "units", "take_profit", "stop_loss",
                                 "trailing_stop", "time_limit", "timeout_secs"},
                                4};

// Converts the optional amounts named in `names` (bound at `first`..) in parameter order.
template <std::size_t N>
py::Result<std::array<std::optional<double>, N>> optional_floats(const py::BoundArguments& bound, std::size_t first,
                                                                 const std::array<const char*, N>& names) {
    std::array<std::optional<double>, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        auto value = py::argument(names[i], bound[first + i], py::to_optional_float);
        if (!value) return py::fail(std::move(value.error()));
        values[i] = *value;
    }
    return values;
}

PyObject* place_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kPlaceOrder, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto side = py::argument("side", (*bound)[0], py::to_text);
        if (!side) return py::fail(std::move(side.error()));
        auto order_type = py::argument("order_type", (*bound)[1], py::to_text);
        if (!order_type) return py::fail(std::move(order_type.error()));
        auto price = py::argument("price", (*bound)[2], py::to_float);
        if (!price) return py::fail(std::move(price.error()));
        auto units = py::argument("units", (*bound)[3], py::to_i32);
        if (!units) return py::fail(std::move(units.error()));
        auto amounts = optional_floats<4>(*bound, 4, {"take_profit", "stop_loss", "trailing_stop", "time_limit"});
        if (!amounts) return py::fail(std::move(amounts.error()));
        auto seconds = timeout_seconds((*bound)[8], kDefaultTimeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        const auto& [take_profit, stop_loss, trailing_stop, time_limit] = *amounts;
        auto vector = order_vector({std::move(*side), std::move(*order_type), *price, *units, take_profit, stop_loss,
                                    trailing_stop, time_limit});
        if (!vector) return py::fail(bridge::to_python(vector.error()));
        return rpc(self, fn::kPlaceOrder, vector_payload(*vector), *seconds, decode::vector_response);
    });
}

const py::Signature kPlaceTicket{method_name("place_ticket"),
                                 {"side", "units", "take_profit", "stop_loss", "trailing_stop", "timeout_secs"},
                                 2};

PyObject* place_ticket(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bridge::guarded([&]() -> Call {
        auto bound = bind(kPlaceTicket, args, nargs, kwnames);
        if (!bound) return py::fail(std::move(bound.error()));
        auto side = py::argument("side", (*bound)[0], py::to_text);
        if (!side) return py::fail(std::move(side.error()));
        auto units = py::argument("units", (*bound)[1], py::to_i32);
        if (!units) return py::fail(std::move(units.error()));
        auto amounts = optional_floats<3>(*bound, 2, {"take_profit", "stop_loss", "trailing_stop"});
        if (!amounts) return py::fail(std::move(amounts.error()));
        auto seconds = timeout_seconds((*bound)[5], kDefaultTimeout);
        if (!seconds) return py::fail(std::move(seconds.error()));
        const auto& [take_profit, stop_loss, trailing_stop] = *amounts;
        auto vector = ticket_vector({std::move(*side), *units, take_profit, stop_loss, trailing_stop});
        if (!vector) return py::fail(bridge::to_python(vector.error()));
        return rpc(self, fn::kPlaceTicket, vector_payload(*vector), *seconds, decode::vector_response);
    });
}

// ---- the method table ------------------------------------------------------------------------------

using py::as_cfunction;
constexpr int kKeywords = py::kFastcallKeywords;

PyMethodDef g_methods[] = {
    {"start", start, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_connected", as_cfunction(wait_connected), kKeywords, "wait_connected($self, timeout_secs=None)\n--\n\n"},
    {"init_candles", as_cfunction(init_candles), kKeywords, "init_candles($self, ohlc5, timeout_secs=None)\n--\n\n"},
    {"reset_episode", as_cfunction(reset_episode), kKeywords,
     "reset_episode($self, episode_index, episode_type, timeout_secs=None)\n--\n\nReset to a specific episode by "
     "index.\nPayload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"},
    {"get_rl_config", as_cfunction(plain_rpc<kGetRlConfig>), kKeywords,
     "get_rl_config($self, timeout_secs=None)\n--\n\nGet RL config from UI (seed, episode counts, etc.). Returns "
     "JSON string."},
    {"step_next", as_cfunction(plain_rpc<kStepNext>), kKeywords, "step_next($self, timeout_secs=None)\n--\n\n"},
    {"step_and_sync", as_cfunction(plain_rpc<kStepAndSync>), kKeywords,
     "step_and_sync($self, timeout_secs=None)\n--\n\n"},
    {"get_snapshot", as_cfunction(plain_rpc<kGetSnapshot>), kKeywords,
     "get_snapshot($self, timeout_secs=None)\n--\n\n"},
    {"get_ticket_list", as_cfunction(plain_rpc<kGetTicketList>), kKeywords,
     "get_ticket_list($self, timeout_secs=None)\n--\n\n"},
    {"get_ohlc", as_cfunction(plain_rpc<kGetOhlc>), kKeywords, "get_ohlc($self, timeout_secs=None)\n--\n\n"},
    {"fetch_events", as_cfunction(plain_rpc<kFetchEvents>), kKeywords,
     "fetch_events($self, timeout_secs=None)\n--\n\n"},
    {"end_session", as_cfunction(plain_rpc<kEndSession>), kKeywords, "end_session($self, timeout_secs=None)\n--\n\n"},
    {"get_sync_policy", as_cfunction(plain_rpc<kGetSyncPolicy>), kKeywords,
     "get_sync_policy($self, timeout_secs=None)\n--\n\n"},
    {"close_positions", as_cfunction(close_positions), kKeywords,
     "close_positions($self, position_ids, actions, ratios, timeout_secs=None)\n--\n\n"},
    {"place_order", as_cfunction(place_order), kKeywords,
     "place_order($self, side, order_type, price, units, take_profit=None, stop_loss=None, trailing_stop=None, "
     "time_limit=None, timeout_secs=None)\n--\n\n"},
    {"place_ticket", as_cfunction(place_ticket), kKeywords,
     "place_ticket($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
     "timeout_secs=None)\n--\n\n"},
    {"close", close, METH_NOARGS,
     "close($self)\n--\n\nStop the engine: close the listening sockets and the connection, and fail calls in "
     "flight and later calls with \"engine closed\". The port is free again when the future is done. "
     "Idempotent."},
    {"__aenter__", aenter, METH_NOARGS, "__aenter__($self)\n--\n\nReturns the engine."},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(aexit)), METH_FASTCALL,
     "__aexit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the engine."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* engine_method_defs() { return g_methods; }

}  // namespace tarnel::engine
