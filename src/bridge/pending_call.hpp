// A call in flight as the bridge sees it: the Python objects it holds and where its outcome goes.
#pragma once

#include <memory>

#include "bridge/callbacks.hpp"
#include "bridge/future_bridge.hpp"
#include "module/pyref.hpp"

namespace tarnel::bridge {

class LoopInbox;

// Its loop and future are strong references held from C++, which the cyclic garbage collector
// would take for references from outside and so never free a loop dropped with calls in flight. The loop's
// inbox therefore keeps a list of its calls, and the loop's inbox reader reports their references to the
// collector (LoopInbox::visit_calls). Released with the interpreter lock held, or left alone once the
// interpreter exits (releasing them then would need the lock).
struct PendingCall {
    std::shared_ptr<LoopInbox> inbox;  // where the outcome goes; set before the task starts
    std::shared_ptr<CancelRelay> relay;
    py::object loop;
    py::object future;
    ResultBuilder build;

    PendingCall() = default;
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    ~PendingCall();

    // With the interpreter lock held: leaves the inbox's list and drops the references. The outcome of a
    // released call is dropped wherever it arrives (the call was abandoned with its loop).
    void release_held();
    bool released() const { return !future; }

    // The inbox's list; touched under the inbox's lock only.
    PendingCall* previous = nullptr;
    PendingCall* next = nullptr;
    bool tracked = false;
};

}  // namespace tarnel::bridge
