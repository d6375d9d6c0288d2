// The kept large buffers, and new ones asking for huge pages.
#include "ws/large_buffers.hpp"

#include "runtime/after_fork.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

namespace tarnel::ws {

namespace {

// Never destroyed: worker threads outlive statics. A child made by fork() starts with a pool of its own,
// since a worker of the parent may have held the mutex at that moment.
struct Pool {
    std::mutex mutex;
    std::vector<Bytes> buffers;
};
Pool* g_pool = [] {
    runtime::after_fork_in_child([] { g_pool = new Pool(); });
    return new Pool();
}();

// Only a hint: where transparent huge pages are unavailable nothing changes.
void advise_huge_pages(const std::uint8_t* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
    const std::uintptr_t page = 4096;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

Bytes take_large_buffer(std::size_t capacity) {
    {
        std::lock_guard hold(g_pool->mutex);
        auto& buffers = g_pool->buffers;
        // The smallest that is large enough.
        auto best = buffers.end();
        for (auto it = buffers.begin(); it != buffers.end(); ++it) {
            if (it->capacity() >= capacity && (best == buffers.end() || it->capacity() < best->capacity())) best = it;
        }
        if (best != buffers.end()) {
            Bytes taken = std::move(*best);
            buffers.erase(best);
            return taken;
        }
    }
    Bytes fresh;
    fresh.reserve(capacity);
    if (capacity >= kLargeBuffer) advise_huge_pages(fresh.data(), fresh.capacity());
    return fresh;
}

void give_back_large_buffer(Bytes&& buffer) {
    if (buffer.capacity() < kLargeBuffer) return;  // the caller's buffer is freed as usual
    Bytes dropped;  // freed after the mutex is released
    {
        std::lock_guard hold(g_pool->mutex);
        auto& buffers = g_pool->buffers;
        buffers.push_back(std::move(buffer));
        if (buffers.size() > kKeptLargeBuffers) {
            auto smallest = std::min_element(buffers.begin(), buffers.end(),
                                             [](const Bytes& a, const Bytes& b) { return a.capacity() < b.capacity(); });
            dropped = std::move(*smallest);
            buffers.erase(smallest);
        }
    }
}

Bytes large_payload(ByteView prefix, ByteView data) {
    const std::size_t total = prefix.size() + data.size();
    Bytes out = take_large_buffer(total);
    if (out.size() >= total) {
        out.resize(total);  // shrinking: the bytes are overwritten below, nothing is filled
        if (!prefix.empty()) std::memcpy(out.data(), prefix.data(), prefix.size());
        if (!data.empty()) std::memcpy(out.data() + prefix.size(), data.data(), data.size());
    } else {
        out.clear();  // appending into reserved room copies without zero-filling first
        out.insert(out.end(), prefix.begin(), prefix.end());
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

}  // namespace tarnel::ws
