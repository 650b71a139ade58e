// The output lines of pairgate-pair; a CGI parses the JSON ones.
#include "client/client_output.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(JsonQuoted, EscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(json_quoted(""), R"("")");
    EXPECT_EQ(json_quoted(R"(say "hi" \ bye)"), R"("say \"hi\" \\ bye")");
    EXPECT_EQ(json_quoted("a\nb\rc\td"), R"("a\nb\rc\td")");
    EXPECT_EQ(json_quoted("\x01\x1f\x7f"s), R"("\u0001\u001f\u007f")");
    EXPECT_EQ(json_quoted("nul\0byte"s), R"("nul\u0000byte")");
    EXPECT_EQ(json_quoted("</script>"), R"("</script>")");
}

TEST(JsonQuoted, KeepsValidUtf8AndReplacesInvalidBytes) {
    EXPECT_EQ(json_quoted("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91"),
              "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91\"");
    EXPECT_EQ(json_quoted("\xff"), R"("\ufffd")");
    EXPECT_EQ(json_quoted("\xc3"), R"("\ufffd")");                      // cut short at the end
    EXPECT_EQ(json_quoted("\xc3("), R"("\ufffd(")");                    // bad continuation
    EXPECT_EQ(json_quoted("\xc0\xaf"), R"("\ufffd\ufffd")");            // overlong
    EXPECT_EQ(json_quoted("\xed\xa0\x80"), R"("\ufffd\ufffd\ufffd")");  // surrogate
    EXPECT_EQ(json_quoted("\xf4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")");  // > U+10FFFF
    EXPECT_EQ(json_quoted("\x80"), R"("\ufffd")");
}

TEST(JsonLine, HasOneObjectPerEventWithTheDocumentedFields) {
    EXPECT_EQ(json_line({event_kind::passkey, "000042"}),
              R"({"event":"passkey","passkey":"000042"})");
    EXPECT_EQ(json_line({event_kind::paired, "00:1A:7D:DA:71:13"}),
              R"({"event":"paired","address":"00:1A:7D:DA:71:13"})");
    EXPECT_EQ(json_line({event_kind::failed, "00:1A:7D:DA:71:13"}),
              R"({"event":"failed","address":"00:1A:7D:DA:71:13"})");
    EXPECT_EQ(json_line({event_kind::timeout, "00:1A:7D:DA:71:13"}), R"({"event":"timeout"})");
    EXPECT_EQ(json_line({event_kind::error, "pairgated is not running"}),
              R"({"event":"error","message":"pairgated is not running"})");
}

TEST(JsonLine, EscapesErrorMessages) {
    EXPECT_EQ(json_line({event_kind::error, "bad \"x\"\n"}),
              R"({"event":"error","message":"bad \"x\"\n"})");
}

TEST(HumanLine, ReadsAsASentenceAndOnlyErrorsGoToStandardError) {
    EXPECT_EQ(human_line({event_kind::passkey, "000042"}), "Passkey: 000042");
    EXPECT_EQ(human_line({event_kind::paired, "00:1A:7D:DA:71:13"}),
              "Paired with 00:1A:7D:DA:71:13");
    EXPECT_EQ(human_line({event_kind::failed, "00:1A:7D:DA:71:13"}),
              "Pairing with 00:1A:7D:DA:71:13 failed");
    EXPECT_EQ(human_line({event_kind::timeout, "00:1A:7D:DA:71:13"}),
              "Pairing with 00:1A:7D:DA:71:13 timed out");
    EXPECT_EQ(human_line({event_kind::error, "pairgated is not running"}),
              "pairgate-pair: pairgated is not running");
    EXPECT_TRUE(is_error_line({event_kind::error, ""}));
    for (auto kind :
         {event_kind::passkey, event_kind::paired, event_kind::failed, event_kind::timeout}) {
        EXPECT_FALSE(is_error_line({kind, ""}));
    }
}
