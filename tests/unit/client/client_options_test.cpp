// The command line of pairgate-pair.
#include "client/client_options.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

using std::chrono::milliseconds;

namespace {

parsed_options parse(const std::vector<std::string_view> &arguments) {
    return parse_client_options(arguments);
}

}  // namespace

TEST(ClientOptions, DefaultsWithOnlyAnAddress) {
    const auto parsed = parse({"00:1a:7D:DA:71:13"});
    ASSERT_EQ(parsed.usage_error, "");
    EXPECT_EQ(parsed.options.address, "00:1a:7D:DA:71:13");
    EXPECT_EQ(parsed.options.timeout, milliseconds(60000));
    EXPECT_EQ(parsed.options.grace, milliseconds(2000));
    EXPECT_FALSE(parsed.options.json);
    EXPECT_FALSE(parsed.options.help);
}

TEST(ClientOptions, TakesOptionsInAnyOrderAndBothSpellings) {
    const auto parsed = parse({"--timeout", "5", "00:1A:7D:DA:71:13", "--json", "--grace=0.25"});
    ASSERT_EQ(parsed.usage_error, "");
    EXPECT_EQ(parsed.options.timeout, milliseconds(5000));
    EXPECT_EQ(parsed.options.grace, milliseconds(250));
    EXPECT_TRUE(parsed.options.json);
    EXPECT_EQ(parse({"--timeout=90.5", "--", "00:1A:7D:DA:71:13"}).options.timeout,
              milliseconds(90500));
}

TEST(ClientOptions, ListTakesNoAddress) {
    const auto parsed = parse({"--list", "--json", "--timeout", "3"});
    ASSERT_EQ(parsed.usage_error, "");
    EXPECT_TRUE(parsed.options.list);
    EXPECT_TRUE(parsed.options.json);
    EXPECT_EQ(parsed.options.timeout, milliseconds(3000));
    EXPECT_FALSE(parse({"00:1A:7D:DA:71:13"}).options.list);
    EXPECT_EQ(parse({"--list", "00:1A:7D:DA:71:13"}).usage_error, "--list takes no device address");
}

TEST(ClientOptions, HelpWinsOverEverythingElse) {
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"-h", "not-an-address"}).options.help);
    EXPECT_TRUE(parse({"--json", "--help"}).options.help);
}

TEST(ClientOptions, RefusesBadCommandLines) {
    const std::vector<std::vector<std::string_view>> bad = {
        {},
        {"00:1A:7D:DA:71:13", "00:1A:7D:DA:71:14"},
        {"00:1A:7D:DA:71"},
        {"00:1A:7D:DA:71:13", "--timeout"},
        {"--timeout", "abc", "00:1A:7D:DA:71:13"},
        {"--timeout=", "00:1A:7D:DA:71:13"},
        {"--grace", "-1", "00:1A:7D:DA:71:13"},
        {"--verbose", "00:1A:7D:DA:71:13"},
        {"--jsonx", "00:1A:7D:DA:71:13"},
        {"--timeoutx=5", "00:1A:7D:DA:71:13"},
        {"-j", "00:1A:7D:DA:71:13"},
        {"--", "--json"},
    };
    for (const auto &arguments : bad) {
        EXPECT_NE(parse(arguments).usage_error, "") << ::testing::PrintToString(arguments);
    }
}

TEST(ParseSeconds, AcceptsWholeAndDecimalSecondsInRange) {
    EXPECT_EQ(parse_seconds("2"), milliseconds(2000));
    EXPECT_EQ(parse_seconds("0.1"), milliseconds(100));
    EXPECT_EQ(parse_seconds("1.5"), milliseconds(1500));
    EXPECT_EQ(parse_seconds("1.005"), milliseconds(1005));
    EXPECT_EQ(parse_seconds("86400"), milliseconds(86400000));
    EXPECT_EQ(parse_seconds("007"), milliseconds(7000));
}

TEST(ParseSeconds, RefusesJunkZeroAndOverflow) {
    for (const char *text :
         {"",       "0",    "0.0", "0.09",  "86400.001", "99999", "100000000000000000000",
          "1.0000", "1.",   ".5",  "-1",    "+1",        "1e3",   " 1",
          "1 ",     "0x10", "1,5", "1.5.0", "inf",       "nan"}) {
        EXPECT_FALSE(parse_seconds(text).has_value()) << text;
    }
}
