// The engine state record: where to listen, and the shared records its background tasks work on.
// Seen by code that must not include the networking headers; the records themselves are opaque here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "codec/payload_codec.hpp"
#include "runtime/duration.hpp"
#include "runtime/task.hpp"

namespace tarnel::ws {

struct SharedRecords;  // connection slot, seq counter, connected notifier

// Immutable after construction; copies share the records. Creating one starts nothing: no thread,
// no socket, no name lookup.
class EngineLink {
public:
    EngineLink(std::string host, std::uint16_t port, std::uint32_t start_seq);

    const std::string& host() const { return host_; }
    std::uint16_t port() const { return port_; }
    std::uint32_t start_seq() const { return start_seq_; }

    // Binds host:port and leaves the accept loop running for the life of the process.
    runtime::Task start() const;
    // Resolves once a connection is installed; with a time-out, fails with "wait_connected timed out".
    runtime::Task wait_connected(std::optional<runtime::Duration> timeout) const;
    // Sends one request and yields the payload of its response.
    runtime::Task call(std::uint16_t fn_id, Bytes payload, runtime::Duration timeout) const;
    // Stops listening, closes the connection and fails every operation in flight or to come with
    // "engine closed". Idempotent.
    runtime::Task close() const;

    // True once start() has bound a listener and close() has not run: the engine serves until the process
    // ends unless it is closed.
    bool left_listening() const;

    // True in a process forked from the one that made this engine: its records belong to a runtime whose
    // threads exist only in the parent, and must not be touched here.
    bool inherited() const;

private:
    std::string host_;
    std::uint16_t port_;
    std::uint32_t start_seq_;
    std::shared_ptr<SharedRecords> records_;
    unsigned generation_;  // of the process that made it (runtime::process_generation)
};

// The text message that greets every user interface once its upgrade is accepted.
std::string handshake_message();

}  // namespace tarnel::ws
