// The address check and the case rules of pairgate-pair.
#include "client/address_text.h"

#include <gtest/gtest.h>

TEST(AddressText, AcceptsTheColonFormInEitherCase) {
    EXPECT_TRUE(is_colon_address("00:1A:7D:DA:71:13"));
    EXPECT_TRUE(is_colon_address("00:1a:7d:da:71:13"));
    EXPECT_TRUE(is_colon_address("FF:ff:09:aB:00:Ef"));
}

TEST(AddressText, RejectsEverythingElse) {
    for (const char *text :
         {"", "00:1A:7D:DA:71:1", "00:1A:7D:DA:71:133", "00:1A:7D:DA:71:13\n", "001A7DDA7113",
          "00-1A-7D-DA-71-13", "00:1A:7D:DA:71:1G", "00:1A:7D:DA:71 13", "0:01A:7D:DA:71:13",
          ":00:1A:7D:DA:71:1", "00:1A:7D:DA:71::", "/org/bluez/hci0/d", "00:1A:7D:DA:7\xc3\xa9"}) {
        EXPECT_FALSE(is_colon_address(text)) << text;
    }
    EXPECT_FALSE(is_colon_address(std::string_view("00:1A:7D\0DA:71:13", 17)));
}

TEST(AddressText, UpperCasesOnlyTheLetters) {
    EXPECT_EQ(upper_case_address("00:1a:7d:da:71:13"), "00:1A:7D:DA:71:13");
    EXPECT_EQ(upper_case_address("00:1A:7D:DA:71:13"), "00:1A:7D:DA:71:13");
}

TEST(AddressText, SameAddressIgnoresCaseOnly) {
    EXPECT_TRUE(same_address("00:1a:7d:da:71:13", "00:1A:7D:DA:71:13"));
    EXPECT_FALSE(same_address("00:1A:7D:DA:71:14", "00:1A:7D:DA:71:13"));
    EXPECT_FALSE(same_address("", "00:1A:7D:DA:71:13"));
}
