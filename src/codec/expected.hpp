// Expected values: std::expected where the standard library has it, otherwise a small equivalent.
//
// libstdc++ 12 offers <expected> only to compilers that report the final concepts feature level, which
// clang before 19 does not (the fuzzing build uses clang 14). The whole tree therefore names these aliases
// only, never std::expected; with g++ and clang 19 they are std::expected and std::unexpected themselves.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <version>

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202202L
#include <expected>
#define TARNEL_STD_EXPECTED 1
#else
#define TARNEL_STD_EXPECTED 0
#endif

namespace tarnel {

// The subset of std::expected / std::unexpected that the wire-format code uses, with the same meaning.
// Always compiled, so that it is tested with the compiler that also has std::expected.
namespace fallback {

template <class E>
class Unexpected {
public:
    template <class G = E,
              std::enable_if_t<!std::is_same_v<std::remove_cvref_t<G>, Unexpected> && std::is_constructible_v<E, G>,
                               int> = 0>
    constexpr explicit Unexpected(G&& error) : error_(std::forward<G>(error)) {}

    constexpr const E& error() const& noexcept { return error_; }
    constexpr E& error() & noexcept { return error_; }
    constexpr E&& error() && noexcept { return std::move(error_); }

    friend constexpr bool operator==(const Unexpected& a, const Unexpected& b) { return a.error_ == b.error_; }

private:
    E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class U>
inline constexpr bool is_unexpected = false;
template <class G>
inline constexpr bool is_unexpected<Unexpected<G>> = true;

class BadExpectedAccess : public std::exception {
public:
    const char* what() const noexcept override { return "bad access to Expected without expected value"; }
};

template <class T, class E>
class Expected {
public:
    using value_type = T;
    using error_type = E;
    using unexpected_type = Unexpected<E>;

    // A value-initialised value, as std::expected: asio::co_spawn default-constructs the result it hands on.
    template <class U = T, std::enable_if_t<std::is_default_constructible_v<U>, int> = 0>
    constexpr Expected() : state_(std::in_place_index<0>) {}

    template <class U = T,
              std::enable_if_t<!std::is_same_v<std::remove_cvref_t<U>, Expected> &&
                                   !is_unexpected<std::remove_cvref_t<U>> &&
                                   !std::is_same_v<std::remove_cvref_t<U>, std::in_place_t> &&
                                   std::is_constructible_v<T, U>,
                               int> = 0>
    constexpr Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    template <class G, std::enable_if_t<std::is_constructible_v<E, const G&>, int> = 0>
    constexpr Expected(const Unexpected<G>& unexpected) : state_(std::in_place_index<1>, unexpected.error()) {}

    template <class G, std::enable_if_t<std::is_constructible_v<E, G>, int> = 0>
    constexpr Expected(Unexpected<G>&& unexpected) : state_(std::in_place_index<1>, std::move(unexpected).error()) {}

    template <class... Args>
    constexpr explicit Expected(std::in_place_t, Args&&... args)
        : state_(std::in_place_index<0>, std::forward<Args>(args)...) {}

    constexpr bool has_value() const noexcept { return state_.index() == 0; }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    // Like std::expected, these do not check: the caller has tested has_value().
    constexpr T& operator*() & noexcept { return *std::get_if<0>(&state_); }
    constexpr const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
    constexpr T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    constexpr T* operator->() noexcept { return std::get_if<0>(&state_); }
    constexpr const T* operator->() const noexcept { return std::get_if<0>(&state_); }
    constexpr E& error() & noexcept { return *std::get_if<1>(&state_); }
    constexpr const E& error() const& noexcept { return *std::get_if<1>(&state_); }
    constexpr E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

    constexpr T& value() & { return checked(), **this; }
    constexpr const T& value() const& { return checked(), **this; }
    constexpr T&& value() && { return checked(), std::move(**this); }

    template <class U>
    constexpr T value_or(U&& other) const& {
        return has_value() ? **this : static_cast<T>(std::forward<U>(other));
    }

    friend constexpr bool operator==(const Expected& a, const Expected& b) { return a.state_ == b.state_; }

private:
    constexpr void checked() const {
        if (!has_value()) throw BadExpectedAccess();
    }

    std::variant<T, E> state_;  // alternatives chosen by index: T and E may be the same type
};

// Expected<void, E>: success carries nothing, as std::expected<void, E>.
template <class E>
class Expected<void, E> {
public:
    using value_type = void;
    using error_type = E;
    using unexpected_type = Unexpected<E>;

    constexpr Expected() noexcept = default;

    template <class G, std::enable_if_t<std::is_constructible_v<E, const G&>, int> = 0>
    constexpr Expected(const Unexpected<G>& unexpected) : error_(std::in_place, unexpected.error()) {}

    template <class G, std::enable_if_t<std::is_constructible_v<E, G>, int> = 0>
    constexpr Expected(Unexpected<G>&& unexpected) : error_(std::in_place, std::move(unexpected).error()) {}

    constexpr bool has_value() const noexcept { return !error_.has_value(); }
    constexpr explicit operator bool() const noexcept { return has_value(); }

    constexpr void operator*() const noexcept {}
    constexpr void value() const {
        if (!has_value()) throw BadExpectedAccess();
    }
    constexpr E& error() & noexcept { return *error_; }
    constexpr const E& error() const& noexcept { return *error_; }
    constexpr E&& error() && noexcept { return std::move(*error_); }

    friend constexpr bool operator==(const Expected& a, const Expected& b) { return a.error_ == b.error_; }

private:
    std::optional<E> error_;  // empty: success
};

}  // namespace fallback

#if TARNEL_STD_EXPECTED
template <class T, class E>
using BasicExpected = std::expected<T, E>;
template <class E>
using Unexpected = std::unexpected<E>;
#else
template <class T, class E>
using BasicExpected = fallback::Expected<T, E>;
template <class E>
using Unexpected = fallback::Unexpected<E>;
#endif

}  // namespace tarnel
