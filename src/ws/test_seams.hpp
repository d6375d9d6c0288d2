// Test seams of the transport: points in the middle of a call where a test runs the competing path (another
// thread's call, the link run as another thread would) or makes a step fail.
//
// Each seam is a function that tests set before any call and clear after; unset (always, outside tests) a
// seam costs one load and one test. They are compiled into every build so that the tests exercise the very
// code the module runs.
#pragma once

#include <cstddef>
#include <functional>

namespace tarnel::ws::test_seams {

// The points between two steps of one call where the call holds the engine's slot lock but waits, or hands
// its work from one thread to another. Another call that arrives there must find the slot taken.
enum class CallStep {
    Numbered,            // the request has its seq and its frame; it is about to be sent
    Sent,                // the request went out; its answer is about to be read
    AnswerNotThereYet,   // sent directly from the calling thread, its answer not there yet: before the
                         // coroutine that waits for it starts (the slot lock goes with it)
};
void set_call_step(std::function<void(CallStep)> seam);
void call_step(CallStep step);

// Called before the receive buffer allocates room for `bytes` (only for messages of 1 MiB and more): a test
// throws here, as the allocator would when memory runs out.
void set_large_receive_allocation(std::function<void(std::size_t bytes)> seam);
void large_receive_allocation(std::size_t bytes);

}  // namespace tarnel::ws::test_seams
