// Large byte buffers (a megabyte and more: big payloads in either direction), recycled between calls.
//
// A fresh buffer of tens of megabytes costs, on the virtual machines this runs on, about 2 us of page
// fault per 4 KiB page the first time it is written, and the kernel clears every page it hands out: some
// 20 ms for 40 MB, as long as the whole exchange over loopback. A trainer moves payloads of the same size
// over and over (its candles, its price history), so the last large buffers are kept and used again; and
// new ones ask for transparent huge pages, as NumPy does for its own large arrays.
#pragma once

#include <cstddef>

#include "codec/payload_codec.hpp"

namespace tarnel::ws {

inline constexpr std::size_t kLargeBuffer = 1024 * 1024;
// At most this many buffers are kept for reuse (the process then holds on to their memory).
inline constexpr std::size_t kKeptLargeBuffers = 2;

// A buffer with room for at least `capacity` bytes: one given back earlier if one is large enough (its
// size and contents are as they were left, so writing into the part it already has costs no zero-fill),
// otherwise a new, empty one. Thread-safe.
Bytes take_large_buffer(std::size_t capacity);

// Keeps `buffer` for a later take_large_buffer if it is large, freeing the smallest kept one when too
// many are kept; frees it otherwise. Thread-safe.
void give_back_large_buffer(Bytes&& buffer);

// The payload bytes `prefix` followed by `data`, written once into a large buffer.
Bytes large_payload(ByteView prefix, ByteView data);

}  // namespace tarnel::ws
