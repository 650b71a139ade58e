// Syslog levels of the settings file.
#include "daemon/log_mask.h"

#include <gtest/gtest.h>
#include <syslog.h>

namespace {

TEST(LogMask, TableAndLevelsAbove) {
    EXPECT_EQ(log_mask_for_level(0), LOG_MASK(LOG_EMERG));
    EXPECT_EQ(log_mask_for_level(1), LOG_UPTO(LOG_ERR));
    EXPECT_EQ(log_mask_for_level(2), LOG_UPTO(LOG_WARNING));
    EXPECT_EQ(log_mask_for_level(3), LOG_UPTO(LOG_NOTICE));
    EXPECT_EQ(log_mask_for_level(4), LOG_UPTO(LOG_INFO));
    EXPECT_EQ(log_mask_for_level(5), LOG_UPTO(LOG_INFO));
    EXPECT_EQ(log_mask_for_level(4294967295u), LOG_UPTO(LOG_INFO));
}

}  // namespace
