// The exit status of each way a run ends: callers (the web UI's CGI) rely on them.
#include "client/run_result.h"

#include <gtest/gtest.h>

#include "client/client_options.h"

TEST(ExitStatus, IsDistinctAndAsDocumented) {
    EXPECT_EQ(exit_status(run_result::paired), 0);
    EXPECT_EQ(exit_status(run_result::failed), 1);
    EXPECT_EQ(exit_status(run_result::usage_error), 2);
    EXPECT_EQ(exit_status(run_result::not_running), 3);
    EXPECT_EQ(exit_status(run_result::timed_out), 4);
    EXPECT_EQ(exit_status(run_result::local_error), 5);
    EXPECT_EQ(exit_status(run_result::busy), 6);
}

TEST(ExitStatus, HelpTextNamesEachStatus) {
    const std::string help = usage_text();
    EXPECT_NE(help.find("\n  0  paired\n"), std::string::npos);
    EXPECT_NE(help.find("\n  1  pairing failed\n"), std::string::npos);
    EXPECT_NE(help.find("\n  2  usage error\n"), std::string::npos);
    EXPECT_NE(help.find("\n  3  pairgated is not running\n"), std::string::npos);
    EXPECT_NE(help.find("\n  4  timed out\n"), std::string::npos);
    EXPECT_NE(help.find("\n  5  other local error"), std::string::npos);
    EXPECT_NE(help.find("\n  6  another pairgate-pair is already waiting"), std::string::npos);
}
