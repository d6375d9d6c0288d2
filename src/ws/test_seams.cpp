// The transport's test seams: unset unless a test sets them.
#include "ws/test_seams.hpp"

#include <utility>

namespace tarnel::ws::test_seams {

namespace {
// Set by tests only, before any call and after the last: read without a lock.
std::function<void(CallStep)>* g_call_step = nullptr;
std::function<void(std::size_t)>* g_large_receive_allocation = nullptr;

template <class Function>
void replace(Function*& slot, Function seam) {
    delete std::exchange(slot, seam ? new Function(std::move(seam)) : nullptr);
}
}  // namespace

void set_call_step(std::function<void(CallStep)> seam) { replace(g_call_step, std::move(seam)); }

void call_step(CallStep step) {
    if (g_call_step) (*g_call_step)(step);
}

void set_large_receive_allocation(std::function<void(std::size_t)> seam) {
    replace(g_large_receive_allocation, std::move(seam));
}

void large_receive_allocation(std::size_t bytes) {
    if (g_large_receive_allocation) (*g_large_receive_allocation)(bytes);
}

}  // namespace tarnel::ws::test_seams
