// One RPC: connection check, seq, request frame and send under the engine's write lock, then the wait for
// the matching response under its slot lock, in the order of the requests (ws/shared_records.hpp).
#include <array>
#include <exception>
#include <optional>

#include "codec/frame.hpp"
#include "runtime/link.hpp"
#include "ws/direct_lane.hpp"
#include "ws/engine_link.hpp"
#include "ws/shared_records.hpp"
#include "ws/test_seams.hpp"

namespace tarnel::ws {

namespace {

// Remembers a request whose caller gave up after the frame was handed to the connection, so that its
// late answer is recognised and skipped by the next call instead of failing it.
class AbandonedCallGuard {
public:
    AbandonedCallGuard(std::shared_ptr<Connection> connection, std::uint32_t seq, std::uint16_t fn_id)
        : connection_(std::move(connection)), seq_(seq), fn_id_(fn_id) {}
    AbandonedCallGuard(AbandonedCallGuard&&) noexcept = default;
    AbandonedCallGuard& operator=(AbandonedCallGuard&&) = delete;
    ~AbandonedCallGuard() {
        if (connection_) connection_->remember_abandoned(seq_, fn_id_);
    }
    void call_ended() { connection_.reset(); }

private:
    std::shared_ptr<Connection> connection_;
    std::uint32_t seq_;
    std::uint16_t fn_id_;
};

// The header of a received message of at least 16 bytes whose declared length matches its size.
std::optional<frame::Header> whole_frame_header(const FrameBuffer& message) {
    if (message.size() < frame::kHeaderLen) return std::nullopt;
    const frame::Header h = frame::read_header(message.head());
    if (frame::kHeaderLen + std::uint64_t{h.payload_len} != message.size()) return std::nullopt;
    return h;
}

// The Response this call waits for: what frame::classify calls Success, recognised from the
// header alone so that the payload need not be copied next to it first.
bool is_matching_response(const std::optional<frame::Header>& h, std::uint32_t seq, std::uint16_t fn_id) {
    return h && h->version == frame::kProtocolVersion && h->kind == static_cast<std::uint8_t>(frame::Kind::Response) &&
           h->seq == seq && h->fn_id == fn_id;
}

// A Response or ErrorResponse that answers an abandoned request of this connection.
bool is_late_answer(Connection& connection, const std::optional<frame::Header>& header, std::uint32_t seq,
                    std::uint16_t fn_id) {
    if (!header) return false;
    const frame::Header& h = *header;
    if (h.version != frame::kProtocolVersion) return false;
    if (h.kind != static_cast<std::uint8_t>(frame::Kind::Response) &&
        h.kind != static_cast<std::uint8_t>(frame::Kind::ErrorResponse)) {
        return false;
    }
    if (h.seq == seq && h.fn_id == fn_id) return false;
    return connection.forget_abandoned(h.seq, h.fn_id);
}

struct TransportFailure {
    std::string text;
};
// A received frame that failed its length checks: the call fails with it, but the frame's header cannot
// be trusted to say whether it was this call's answer, so the answer is taken to be still on its way and
// is skipped by the next call like the late answer of an abandoned call.
struct StrayFrameFailure {
    EngineError error;
};
// The read threw (an allocation failure, say): the stream's state is unknown.
struct BrokenRead {
    std::exception_ptr exception;
};
using ReceiveEnding = std::variant<Bytes, EngineError, TransportFailure, StrayFrameFailure, BrokenRead>;

constexpr std::string_view kTimeoutText = "timeout waiting response";

// Reads until the matching response, answering echo requests; pings are answered inside the reads.
// Every message that is not the answer is released once dealt with, so a huge one does not stay resident.
asio::awaitable<ReceiveEnding> receive_response(SharedRecords& records, Connection& connection, std::uint32_t seq,
                                                std::uint16_t fn_id, Deadline deadline) {
    for (;;) {
        auto received = co_await connection.receive(deadline, Connection::AnswerTo{seq, fn_id});
        if (!received) co_return TransportFailure{std::string(kTimeoutText)};
        switch (received->kind) {
            case Received::Kind::Closed:
                co_return TransportFailure{"websocket closed"};
            case Received::Kind::Failed:
                co_return TransportFailure{"websocket recv failed: " + received->failure};
            case Received::Kind::Broken:
                co_return BrokenRead{received->exception};
            case Received::Kind::Text:
                continue;
            case Received::Kind::Binary:
                break;
        }
        FrameBuffer& message = connection.message();
        const std::optional<frame::Header> header = whole_frame_header(message);
        if (is_matching_response(header, seq, fn_id)) co_return message.take_body();
        if (is_late_answer(connection, header, seq, fn_id)) {
            message.release();
            continue;
        }
        // Everything else takes the general path, on the message made contiguous (they are small).
        const Bytes whole = message.contiguous();
        message.release();
        frame::Outcome outcome = frame::classify(whole, seq, fn_id);
        if (auto* success = std::get_if<frame::outcome::Success>(&outcome)) {
            co_return Bytes(success->payload.begin(), success->payload.end());
        }
        if (auto* remote = std::get_if<frame::outcome::RemoteError>(&outcome)) {
            co_return EngineError::rpc(std::move(remote->error));
        }
        if (auto* echo = std::get_if<frame::outcome::Echo>(&outcome)) {
            // A failed echo reply is ignored, but one still unwritten at the deadline ends the call as
            // the deadline does, and the connection with it (the peer stopped reading). Another call's
            // request may be on its way out: the reply waits for it.
            auto write_guard = records.write_lock.try_lock();
            if (!write_guard.owns_lock()) {
                auto waited = co_await records.write_lock.lock();
                write_guard = std::move(waited);
            }
            const auto replied = co_await connection.send(std::move(echo->reply), false, deadline);
            write_guard.unlock();
            if (replied == asio::error::timed_out) co_return TransportFailure{std::string(kTimeoutText)};
            continue;
        }
        if (auto* decode = std::get_if<frame::outcome::DecodeFailure>(&outcome)) {
            co_return StrayFrameFailure{EngineError::value(std::move(decode->text))};
        }
        if (auto* transport = std::get_if<frame::outcome::TransportFailure>(&outcome)) {
            co_return TransportFailure{std::move(transport->text)};
        }
        // Ignore: another kind of frame; read on.
    }
}

// The end of every call: its answer received, under the slot lock (held by the caller), and the
// connection dropped if the link failed.
asio::awaitable<Expected<Bytes>> receive_answer(SharedRecords& records, std::shared_ptr<Connection> connection,
                                                AbandonedCallGuard abandoned, std::uint32_t seq, std::uint16_t fn_id,
                                                Deadline deadline) {
    auto failure = [&](std::string text) { return Unexpected<EngineError>(EngineError::transport(seq, fn_id, std::move(text))); };
    ReceiveEnding ending = co_await receive_response(records, *connection, seq, fn_id, deadline);
    // A call that failed on a stray frame stays remembered (when the guard goes with this frame).
    if (!std::holds_alternative<StrayFrameFailure>(ending)) abandoned.call_ended();
    if (auto* broken = std::get_if<BrokenRead>(&ending)) {
        // The connection goes as after a transport failure, and the call fails at once with the exception,
        // which the task turns into a panic.
        connection->discard();
        if (records.slot == connection) records.slot.reset();
        if (!records.closed) std::rethrow_exception(broken->exception);
    }
    if (records.closed) co_return failure(std::string(kEngineClosed));
    if (auto* stray = std::get_if<StrayFrameFailure>(&ending)) co_return Unexpected<EngineError>(std::move(stray->error));
    if (auto* transport = std::get_if<TransportFailure>(&ending)) {
        // Emptied while the lock is held, so a connection installed later is never discarded for this.
        connection->discard();
        if (records.slot == connection) records.slot.reset();
        co_return failure(std::move(transport->text));
    }
    if (auto* error = std::get_if<EngineError>(&ending)) co_return Unexpected<EngineError>(std::move(*error));
    co_return std::get<Bytes>(std::move(ending));
}

// The wait for a call's turn to read, taken in line right after its request went out, and then its
// receive. The connection its request went on may have gone meanwhile (an earlier call's link failed, or a
// new page connected): its answer cannot come then.
asio::awaitable<Expected<Bytes>> answer_in_turn(std::shared_ptr<SharedRecords> records,
                                                std::shared_ptr<Connection> connection, AbandonedCallGuard abandoned,
                                                runtime::AsyncMutex::Place place, std::uint32_t seq,
                                                std::uint16_t fn_id, runtime::Duration timeout) {
    auto slot_guard = co_await runtime::AsyncMutex::wait(std::move(place));
    if (records->closed) {
        abandoned.call_ended();
        co_return Unexpected<EngineError>(EngineError::transport(seq, fn_id, std::string(kEngineClosed)));
    }
    if (records->slot != connection) {
        abandoned.call_ended();
        co_return Unexpected<EngineError>(EngineError::transport(seq, fn_id, "websocket closed"));
    }
    auto answer = co_await receive_answer(*records, connection, std::move(abandoned), seq, fn_id,
                                          runtime::deadline_after(timeout));
    co_return answer;
}

// A call sends under the write lock and reads its answer under the slot lock, taking its place in the
// slot lock's line before the next request may go out: while it waits for its answer, later calls can
// already send theirs, and the answers are read in the order of the requests. Each lock is taken at once
// when it is free (the usual case), without the coroutine frame of a wait in turn.
asio::awaitable<Expected<Bytes>> rpc_call(std::shared_ptr<SharedRecords> records, std::uint16_t fn_id, Bytes payload,
                                          runtime::Duration timeout) {
    auto write_guard = records->write_lock.try_lock();
    if (!write_guard.owns_lock()) {
        auto waited = co_await records->write_lock.lock();
        write_guard = std::move(waited);
    }
    if (records->closed) co_return Unexpected<EngineError>(EngineError::transport(std::nullopt, fn_id, std::string(kEngineClosed)));
    std::shared_ptr<Connection> connection = records->slot;
    if (!connection) co_return Unexpected<EngineError>(EngineError::transport(std::nullopt, fn_id, "no websocket connected"));
    const std::uint32_t seq = records->seq++;  // wraps from 4294967295 to 0
    auto failure = [&](std::string text) { return Unexpected<EngineError>(EngineError::transport(seq, fn_id, std::move(text))); };
    // The frame is the header and the payload written together: the payload is not copied behind it.
    std::array<std::uint8_t, frame::kHeaderLen> header;
    frame::write_request_header(header.data(), seq, fn_id, static_cast<std::uint32_t>(payload.size()));
    test_seams::call_step(test_seams::CallStep::Numbered);

    AbandonedCallGuard abandoned(connection, seq, fn_id);
    {
        // The send is limited by the call's time-out too, counted from here.
        // A large request is written by the link's own thread (see runtime/link.hpp).
        std::optional<runtime::LargeTransfer> large;
        if (payload.size() >= runtime::kLargeTransferBytes) large.emplace();
        const auto sent = co_await connection->send(header, std::move(payload), runtime::deadline_after(timeout));
        large.reset();
        if (auto ec = sent) {
            abandoned.call_ended();
            connection->discard();
            if (records->slot == connection) records->slot.reset();
            if (records->closed) co_return failure(std::string(kEngineClosed));
            co_return failure("websocket send failed: " +
                              (ec == asio::error::timed_out ? std::string("send timed out") : ec.message()));
        }
    }
    test_seams::call_step(test_seams::CallStep::Sent);
    auto executor = co_await asio::this_coro::executor;
    runtime::AsyncMutex::Place place = records->slot_lock.enqueue(executor);
    write_guard.unlock();
    auto answer = co_await answer_in_turn(records, std::move(connection), std::move(abandoned), std::move(place), seq,
                                          fn_id, timeout);
    co_return answer;
}

// A request written directly (see Connection::idle()) whose answer was not there yet: what the call hands
// to its coroutine, the slot lock with it (held until the coroutine's receive ends), and the write lock
// while part of the frame is still to be written.
struct DirectStart {
    runtime::AsyncMutex::Guard slot_guard;
    runtime::AsyncMutex::Guard write_guard;
    std::shared_ptr<Connection> connection;
    std::uint32_t seq;
    Bytes unsent;       // the end of the frame, which the socket did not take at once
    Deadline deadline;  // of the call's wait for its answer
};

// Requests up to this size may be written directly: beyond, the socket would rarely take them whole.
constexpr std::size_t kDirectRequestBytes = 64 * 1024;

// On the calling thread, before the call's coroutine starts: when the connection is idle and the lane's
// lock, the slot lock and the write lock are free, the request is written with one system call and, if the
// page answered meanwhile, its answer read with another, and the call ends here. Nothing is done (and the
// coroutine makes the whole call) when anything else is going on; what is left (the rest of the write, the
// wait for the answer) is left to the coroutine through `started`, with the slot lock. The write lock goes
// as soon as the whole request is out, so that the next call may send its own.
std::optional<Expected<Bytes>> call_directly(SharedRecords& records, std::uint16_t fn_id, ByteView payload,
                                             runtime::Duration timeout, std::optional<DirectStart>& started) {
    if (payload.size() > kDirectRequestBytes) return std::nullopt;
    auto lane = records.direct_lane.try_hold();
    if (!lane || records.closed) return std::nullopt;
    auto slot_guard = records.slot_lock.try_lock();
    if (!slot_guard.owns_lock()) return std::nullopt;
    auto write_guard = records.write_lock.try_lock();
    if (!write_guard.owns_lock()) return std::nullopt;
    std::shared_ptr<Connection> connection = records.slot;
    if (!connection || !connection->idle()) return std::nullopt;
    const std::uint32_t seq = records.seq++;  // wraps from 4294967295 to 0

    RequestHeader header;
    frame::write_request_header(header.data(), seq, fn_id, static_cast<std::uint32_t>(payload.size()));
    Connection& link = *connection;  // `connection` itself goes to `started` at the end
    try {
        auto unsent = link.write_directly(lane, header, payload);
        if (!unsent) {
            link.discard_from_outside();
            records.slot.reset();
            return Unexpected<EngineError>(EngineError::transport(seq, fn_id, "websocket send failed: " + unsent.error().message()));
        }
        if (unsent->empty() && link.worth_reading_directly(lane)) {
            auto answer = link.read_directly(lane, seq, fn_id);
            link.note_direct_read(lane);
            if (answer) return std::move(answer->payload);
        }
        if (unsent->empty()) write_guard.unlock();
        started.emplace(DirectStart{std::move(slot_guard), std::move(write_guard), std::move(connection), seq,
                                    std::move(*unsent), runtime::deadline_after(timeout)});
        return std::nullopt;
    } catch (...) {
        // A frame half written, or bytes read and half given back (no memory, say): the stream's state is
        // unknown, so the connection goes as after a failed transport, and the call fails with the exception
        // (a panic). `connection` still holds it: nothing throws once it went to `started`.
        link.discard_from_outside();
        records.slot.reset();
        throw;
    }
}

// The rest of a call begun directly: the end of its write, if any, then the wait for its answer.
asio::awaitable<Expected<Bytes>> finish_direct_call(std::shared_ptr<SharedRecords> records, DirectStart start,
                                                    std::uint16_t fn_id) {
    const std::uint32_t seq = start.seq;
    auto failure = [&](std::string text) { return Unexpected<EngineError>(EngineError::transport(seq, fn_id, std::move(text))); };
    std::shared_ptr<Connection> connection = std::move(start.connection);
    AbandonedCallGuard abandoned(connection, seq, fn_id);
    const Deadline deadline = start.deadline;
    if (!start.unsent.empty()) {
        const auto sent = co_await connection->send_rest(std::move(start.unsent), deadline);
        start.write_guard.unlock();
        if (auto ec = sent) {
            abandoned.call_ended();
            connection->discard();
            if (records->slot == connection) records->slot.reset();
            if (records->closed) co_return failure(std::string(kEngineClosed));
            co_return failure("websocket send failed: " +
                              (ec == asio::error::timed_out ? std::string("send timed out") : ec.message()));
        }
    }
    test_seams::call_step(test_seams::CallStep::Sent);
    if (records->closed) {
        abandoned.call_ended();
        co_return failure(std::string(kEngineClosed));
    }
    auto answer = co_await receive_answer(*records, connection, std::move(abandoned), seq, fn_id, deadline);
    co_return answer;
}

// What a call's two parts share: the payload, and what the direct part leaves to the coroutine.
struct CallParts {
    Bytes payload;
    std::optional<DirectStart> started;
};

}  // namespace

runtime::Task EngineLink::call(std::uint16_t fn_id, Bytes payload, runtime::Duration timeout) const {
    auto records = records_;
    auto parts = std::make_shared<CallParts>(CallParts{std::move(payload), std::nullopt});
    return runtime::make_task(
        records->strand(),
        [records, fn_id, parts, timeout]() {
            if (parts->started) return finish_direct_call(records, std::move(*parts->started), fn_id);
            return rpc_call(records, fn_id, std::move(parts->payload), timeout);
        },
        [records, fn_id, parts, timeout]() -> std::optional<Expected<Bytes>> {
            auto outcome = call_directly(*records, fn_id, parts->payload, timeout, parts->started);
            // Written, not answered yet: the coroutine waits for the answer, through the reactor.
            if (!outcome && parts->started) test_seams::call_step(test_seams::CallStep::AnswerNotThereYet);
            return outcome;
        });
}

}  // namespace tarnel::ws
