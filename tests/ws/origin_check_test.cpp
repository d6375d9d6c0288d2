// The origin check: normalisation of the Origin value, the allow-list rule and the refusal bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "ws/origin_check.hpp"

namespace tarnel::ws {
namespace {

using namespace std::string_literals;

struct Case {
    std::optional<std::string> origin;
    bool accepted;
    std::string logged;  // the value as compared, trailing "/" removed
};

void expect_decision(const Case& c) {
    std::optional<std::string_view> origin;
    if (c.origin) origin = std::string_view(*c.origin);
    const OriginDecision decision = check_origin(origin);
    const std::string shown = c.origin ? "'" + *c.origin + "'" : "no origin";
    EXPECT_EQ(decision.accepted, c.accepted) << shown;
    EXPECT_EQ(decision.origin, c.logged) << shown;
}

TEST(OriginCheck, RefusalResponseIsABareStatusLine) {
    EXPECT_EQ(kForbiddenResponse, "HTTP/1.1 403 Forbidden\r\n\r\n");
    EXPECT_EQ(kForbiddenResponse.size(), 26u);
}

TEST(OriginCheck, AllowListEntriesInOrder) {
    ASSERT_EQ(kAllowedOrigins.size(), 6u);
    EXPECT_EQ(kAllowedOrigins[0], "http://127.0.0.1");
    EXPECT_EQ(kAllowedOrigins[1], "http://localhost");
    EXPECT_EQ(kAllowedOrigins[2], "https://127.0.0.1");
    EXPECT_EQ(kAllowedOrigins[3], "https://localhost");
    EXPECT_EQ(kAllowedOrigins[4], "https://tarnel.app");
    EXPECT_EQ(kAllowedOrigins[5], "https://beta.tarnel.app");
}

TEST(OriginCheck, NoOriginOrAnEmptyValuePasses) {
    for (const Case& c : {
             Case{std::nullopt, true, ""},
             Case{"", true, ""},
             Case{"/", true, ""},
             Case{"////", true, ""},
         }) {
        expect_decision(c);
    }
}

TEST(OriginCheck, AValueWithAByteOutsideTabAndPrintableAsciiCountsAsNone) {
    for (const std::string& value : {
             "http://example.org\x01"s,
             "http://example.org\x1f"s,
             "\x7f"s,
             "http://example.org\x7f"s,
             "http://example.org\x80"s,
             "https://\xc3\xa9vil.example"s,
             "http://example.org\r"s,
             "http://example.org\n"s,
             std::string("http://exa\0mple.org", 19),
         }) {
        expect_decision(Case{value, true, ""});
    }
}

TEST(OriginCheck, TabAndPrintableBytesAreKept) {
    // Tab and 32..126 are ordinary bytes: the value is compared, and refused, as it is.
    expect_decision(Case{"http://example.org\t", false, "http://example.org\t"});
    expect_decision(Case{"\t", false, "\t"});
    expect_decision(Case{" ", false, " "});
    expect_decision(Case{"~", false, "~"});
    expect_decision(Case{"http://localhost\t", false, "http://localhost\t"});
}

TEST(OriginCheck, EveryEntryAdmitsItselfWithOrWithoutAPortOrTrailingSlashes) {
    for (std::string_view entry : kAllowedOrigins) {
        const std::string e(entry);
        expect_decision(Case{e, true, e});
        expect_decision(Case{e + "/", true, e});
        expect_decision(Case{e + "///", true, e});
        expect_decision(Case{e + ":8080", true, e + ":8080"});
        expect_decision(Case{e + ":8080/", true, e + ":8080"});
        expect_decision(Case{e + ":", true, e + ":"});
    }
}

TEST(OriginCheck, LoopbackAndHostedOriginsPass) {
    for (const Case& c : {
             Case{"http://localhost:5173", true, "http://localhost:5173"},
             Case{"http://127.0.0.1:8080", true, "http://127.0.0.1:8080"},
             Case{"https://localhost/", true, "https://localhost"},
             Case{"https://tarnel.app", true, "https://tarnel.app"},
             Case{"https://beta.tarnel.app:443", true, "https://beta.tarnel.app:443"},
             Case{"https://127.0.0.1:65535", true, "https://127.0.0.1:65535"},
         }) {
        expect_decision(c);
    }
}

TEST(OriginCheck, OtherOriginsAreRefused) {
    for (const Case& c : {
             Case{"null", false, "null"},
             Case{"http://example.org", false, "http://example.org"},
             Case{"http://example.org///", false, "http://example.org"},
             Case{"HTTP://LOCALHOST", false, "HTTP://LOCALHOST"},
             Case{"http://LocalHost", false, "http://LocalHost"},
             Case{"http://127.0.0.10", false, "http://127.0.0.10"},
             Case{"http://127.0.0.1.evil.example", false, "http://127.0.0.1.evil.example"},
             Case{"http://localhost.evil.example", false, "http://localhost.evil.example"},
             Case{"https://tarnel.app.evil.example", false, "https://tarnel.app.evil.example"},
             Case{"https://beta.tarnel.app.evil.example:443", false, "https://beta.tarnel.app.evil.example:443"},
             Case{"http://localhostx", false, "http://localhostx"},
             Case{"http://localhost/app", false, "http://localhost/app"},
             Case{"http://localhost@evil.example", false, "http://localhost@evil.example"},
             Case{"http://localhos", false, "http://localhos"},
             Case{"http://tarnel.app", false, "http://tarnel.app"},
             Case{"http://beta.tarnel.app", false, "http://beta.tarnel.app"},
             Case{"https://alpha.tarnel.app", false, "https://alpha.tarnel.app"},
             Case{"ws://localhost", false, "ws://localhost"},
             Case{"file://", false, "file:"},
             Case{" http://localhost", false, " http://localhost"},
             Case{"http://[::1]:8080", false, "http://[::1]:8080"},
         }) {
        expect_decision(c);
    }
}

TEST(OriginCheck, OnlyTrailingSlashesAreRemoved) {
    expect_decision(Case{"//http://example.org", false, "//http://example.org"});
    expect_decision(Case{"http://example.org/path/", false, "http://example.org/path"});
    expect_decision(Case{"/http://localhost", false, "/http://localhost"});
}

}  // namespace
}  // namespace tarnel::ws
