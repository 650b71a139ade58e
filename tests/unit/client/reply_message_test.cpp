// The six-byte reply messages, written by the daemon and read by the client.
#include "common/reply_message.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(ClassifyReply, KnowsTheThreeMessagesAsTheyAreWritten) {
    EXPECT_EQ(passkey_reply(0), "000000");
    EXPECT_EQ(passkey_reply(42), "000042");
    EXPECT_EQ(passkey_reply(1234567), "123456");
    EXPECT_EQ(classify_reply(passkey_reply(999999)), reply_kind::passkey);
    EXPECT_EQ(classify_reply(outcome_reply(true)), reply_kind::paired);
    EXPECT_EQ(classify_reply(outcome_reply(false)), reply_kind::failed);
}

TEST(ClassifyReply, DistrustsAnythingElse) {
    for (const std::string &message :
         {"00004a"s, " 00042"s, "-00042"s, "00042\n"s, "\x01\x01\x01\x01\x01\x00"s,
          "\x00\x00\x00\x00\x00\x01"s, "\x00\x00\x000042"s, std::string(6, '\x02'),
          std::string(6, '\xff'), "00042"s, "0000042"s, ""s, std::string(5, '\0'),
          std::string(7, '\x01')}) {
        EXPECT_EQ(classify_reply(message), reply_kind::invalid) << hex_bytes(message);
    }
}

TEST(ReplySplitter, JoinsAndCutsMessagesWhateverTheReads) {
    reply_splitter splitter;
    std::string message;
    splitter.add("000");
    EXPECT_FALSE(splitter.next(message));
    splitter.add("042" + outcome_reply(true) + "7");
    ASSERT_TRUE(splitter.next(message));
    EXPECT_EQ(message, "000042");
    ASSERT_TRUE(splitter.next(message));
    EXPECT_EQ(message, outcome_reply(true));
    EXPECT_FALSE(splitter.next(message));
}
