// The stand-in for std::expected used by compilers whose standard library lacks it (the fuzzing build).
#include "codec/expected.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/engine_error.hpp"
#include "codec/payload_codec.hpp"

namespace tarnel {
namespace {

using fallback::BadExpectedAccess;
using Fallback = fallback::Expected<std::vector<int>, std::string>;
using FallbackUnexpected = fallback::Unexpected<std::string>;

#if TARNEL_STD_EXPECTED
TEST(Expected, IsTheStandardTypeWhereTheLibraryHasIt) {
    static_assert(std::is_same_v<Expected<Bytes>, std::expected<Bytes, EngineError>>);
    static_assert(std::is_same_v<Unexpected<EngineError>, std::unexpected<EngineError>>);
}
#endif

TEST(FallbackExpected, HoldsAValue) {
    Fallback result(std::vector<int>{1, 2, 3});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(static_cast<bool>(result));
    EXPECT_EQ(*result, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(result->size(), 3u);
    EXPECT_EQ(result.value().back(), 3);
    result->push_back(4);
    EXPECT_EQ(result.value_or(std::vector<int>{}), (std::vector<int>{1, 2, 3, 4}));
}

TEST(FallbackExpected, HoldsAnError) {
    Fallback result = FallbackUnexpected(std::string("broken"));
    ASSERT_FALSE(result.has_value());
    EXPECT_FALSE(static_cast<bool>(result));
    EXPECT_EQ(result.error(), "broken");
    EXPECT_THROW((void)result.value(), BadExpectedAccess);
    EXPECT_EQ(result.value_or(std::vector<int>{9}), std::vector<int>{9});
}

TEST(FallbackExpected, ValueAndErrorOfTheSameTypeStayApart) {
    fallback::Expected<std::string, std::string> value(std::string("v"));
    fallback::Expected<std::string, std::string> error = fallback::Unexpected<std::string>(std::string("e"));
    EXPECT_TRUE(value.has_value());
    EXPECT_EQ(*value, "v");
    EXPECT_FALSE(error.has_value());
    EXPECT_EQ(error.error(), "e");
    EXPECT_FALSE(value == error);
}

TEST(FallbackExpected, CopiesAndMovesKeepTheAlternative) {
    Fallback value(std::vector<int>(1000, 7));
    Fallback error = FallbackUnexpected(std::string(100, 'x'));
    Fallback value_copy = value;
    Fallback error_copy = error;
    EXPECT_EQ(value_copy, value);
    EXPECT_EQ(error_copy, error);
    Fallback moved = std::move(value_copy);
    EXPECT_EQ(moved->size(), 1000u);
    moved = error_copy;  // assignment across alternatives
    ASSERT_FALSE(moved.has_value());
    EXPECT_EQ(moved.error(), std::string(100, 'x'));
    moved = value;
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(moved->at(999), 7);
    std::vector<int> taken = *std::move(moved);
    EXPECT_EQ(taken.size(), 1000u);
    std::string error_taken = std::move(error).error();
    EXPECT_EQ(error_taken, std::string(100, 'x'));
}

TEST(FallbackExpected, MoveOnlyValues) {
    fallback::Expected<std::unique_ptr<int>, std::string> owner(std::make_unique<int>(5));
    auto other = std::move(owner);
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(**other, 5);
    std::unique_ptr<int> taken = std::move(other).value();
    EXPECT_EQ(*taken, 5);
}

TEST(FallbackExpected, CarriesEngineErrorsAsTheCodecDoes) {
    using Result = fallback::Expected<Bytes, EngineError>;
    Result failed = fallback::Unexpected<EngineError>(EngineError::value("VecF64 payload too short"));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().text(), "VecF64 payload too short");
    Result passed_on = fallback::Unexpected<EngineError>(failed.error());
    EXPECT_EQ(passed_on.error(), failed.error());
    Result ok = Bytes{1, 2};
    EXPECT_EQ(*ok, (Bytes{1, 2}));
}

TEST(FallbackExpected, DefaultConstructsAValueAsStdExpectedDoes) {
    // asio::co_spawn default-constructs the result it hands to its completion.
    static_assert(std::is_default_constructible_v<fallback::Expected<Bytes, EngineError>>);
    static_assert(!std::is_default_constructible_v<fallback::Expected<std::reference_wrapper<int>, std::string>>);
    fallback::Expected<int, std::string> zero;
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(*zero, 0);  // value-initialised, not left indeterminate
    Fallback empty;
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
    empty = FallbackUnexpected(std::string("later"));
    EXPECT_EQ(empty.error(), "later");
}

TEST(FallbackExpected, VoidCarriesOnlySuccessOrAnError) {
    using Done = fallback::Expected<void, std::string>;
    Done ok;
    EXPECT_TRUE(ok.has_value());
    EXPECT_TRUE(static_cast<bool>(ok));
    EXPECT_NO_THROW(ok.value());
    Done failed = FallbackUnexpected(std::string("refused"));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), "refused");
    EXPECT_THROW(failed.value(), BadExpectedAccess);
    EXPECT_FALSE(ok == failed);
    EXPECT_EQ(failed, Done(FallbackUnexpected(std::string("refused"))));
    Done copy = failed;
    failed = Done();  // back to success; the copy keeps its error
    EXPECT_TRUE(failed.has_value());
    EXPECT_EQ(std::move(copy).error(), "refused");
}

#if !TARNEL_STD_EXPECTED
TEST(Expected, IsTheFallbackWhereTheLibraryLacksStdExpected) {
    static_assert(std::is_same_v<Expected<Bytes>, fallback::Expected<Bytes, EngineError>>);
    static_assert(std::is_same_v<BasicExpected<void, int>, fallback::Expected<void, int>>);
}
#endif

TEST(FallbackUnexpected, ComparesByError) {
    EXPECT_EQ(FallbackUnexpected(std::string("a")), FallbackUnexpected(std::string("a")));
    EXPECT_FALSE(FallbackUnexpected(std::string("a")) == FallbackUnexpected(std::string("b")));
    fallback::Unexpected deduced(std::string("c"));
    static_assert(std::is_same_v<decltype(deduced), FallbackUnexpected>);
}

}  // namespace
}  // namespace tarnel
