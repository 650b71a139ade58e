// Messages on the reply pipe, including a web UI that goes away between the
// daemon's open and its write.
#include "webui/reply_pipe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/reply_message.h"
#include "syslog_capture.h"

namespace {
int close_before_write = -1;  // a reader to close once the writer has opened
}  // namespace

// The writer checks what it opened with fstat, right before it writes: the
// moment for the reader to go away.
extern "C" int fstat(int fd, struct stat *status) {
    using real_fstat = int (*)(int, struct stat *);
    static auto real = reinterpret_cast<real_fstat>(dlsym(RTLD_NEXT, "fstat"));
    if (close_before_write >= 0) {
        close(close_before_write);
        close_before_write = -1;
    }
    return real(fd, status);
}

namespace {

class ReplyPipe : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pairgate-reply-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/reply.fifo";
        ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
        logged_lines().clear();
    }
    void TearDown() override {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    std::string dir_;
    std::string path_;
};

TEST_F(ReplyPipe, SixBytesReachTheReader) {
    const int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    write_reply_message(path_.c_str(), passkey_reply(42));
    char got[8] = {};
    EXPECT_EQ(read(reader, got, sizeof got), 6);
    EXPECT_STREQ(got, "000042");
    EXPECT_TRUE(logged_lines().empty());
    close(reader);
}

TEST_F(ReplyPipe, ReaderLeavingBeforeTheWriteIsLoggedNotFatal) {
    close_before_write = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(close_before_write, 0);
    write_reply_message(path_.c_str(), passkey_reply(42));  // SIGPIPE would end the test here
    ASSERT_EQ(logged_lines().size(), 1u);
    EXPECT_EQ(logged_lines()[0], "3 Writing to output FIFO (" + path_ + ") failed: Broken pipe");
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST_F(ReplyPipe, NoReader) {
    write_reply_message(path_.c_str(), passkey_reply(42));
    ASSERT_EQ(logged_lines().size(), 1u);
    EXPECT_EQ(logged_lines()[0],
              "3 Opening output FIFO (" + path_ + ") failed: No such device or address");
}

}  // namespace
