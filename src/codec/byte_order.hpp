// Little-endian loads and stores on unaligned bytes: the wire's only byte order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace tarnel::le {

template <class T>
T load(const std::uint8_t* at) {
    static_assert(std::is_trivially_copyable_v<T>);
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        T value;
        std::memcpy(&value, at, sizeof(T));
        return value;
    } else {
        std::uint8_t reversed[sizeof(T)];
        for (std::size_t i = 0; i < sizeof(T); ++i) reversed[i] = at[sizeof(T) - 1 - i];
        T value;
        std::memcpy(&value, reversed, sizeof(T));
        return value;
    }
}

template <class T>
void store(std::uint8_t* at, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(at, &value, sizeof(T));
    if constexpr (std::endian::native != std::endian::little && sizeof(T) > 1) {
        for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(at[i], at[sizeof(T) - 1 - i]);
    }
}

// Copies `count` little-endian elements of T from `from` to native memory at `to`.
template <class T>
void load_array(T* to, const std::uint8_t* from, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        if (count != 0) std::memcpy(to, from, count * sizeof(T));
    } else {
        for (std::size_t i = 0; i < count; ++i) to[i] = load<T>(from + i * sizeof(T));
    }
}

// Copies `count` native elements of T from `from` to little-endian bytes at `to`.
template <class T>
void store_array(std::uint8_t* to, const T* from, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        if (count != 0) std::memcpy(to, from, count * sizeof(T));
    } else {
        for (std::size_t i = 0; i < count; ++i) store<T>(to + i * sizeof(T), from[i]);
    }
}

}  // namespace tarnel::le
