// Releasing a call's references: under the interpreter lock, after leaving its inbox's list.
#include "bridge/pending_call.hpp"

#include "bridge/interpreter_lock.hpp"
#include "bridge/loop_inbox.hpp"

namespace tarnel::bridge {

void PendingCall::release_held() {
    if (inbox) inbox->untrack(*this);
    loop = py::object();
    future = py::object();
    build = nullptr;  // may hold Python objects of its own
}

PendingCall::~PendingCall() {
    if (inbox) inbox->untrack(*this);  // first: the collector must no longer be shown these references
    if (!loop && !future && !build) return;  // released by release_held()
    auto lock = InterpreterLock::acquire();
    if (!lock) {
        (void)loop.release();
        (void)future.release();
        return;
    }
    release_held();
}

}  // namespace tarnel::bridge
