// The client's ends of the two pipes, on FIFOs in a scratch directory.
#include "client/client_pipes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "temp_dir.h"

namespace {

class ClientPipes : public ::testing::Test {
  protected:
    temp_dir dir_;
    const std::string reply_ = dir_.path("duskweb.fifo");
    const std::string request_ = dir_.path("duskpair.fifo");

    struct stat stat_of(const std::string &path) const {
        struct stat info {};
        EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
        return info;
    }

    void write_file(const std::string &path, const std::string &text) const {
        std::ofstream(path) << text;
    }

    std::string read_file(const std::string &path) const {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Expects the reply pipe to be refused as a local error naming it.
    void expect_reply_pipe_refused() const {
        reply_listener listener;
        const auto failure = open_reply_pipe(reply_.c_str(), listener);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->result, run_result::local_error);
        EXPECT_NE(failure->message.find(reply_), std::string::npos) << failure->message;
    }
};

}  // namespace

TEST_F(ClientPipes, CreatesAMissingReplyPipeWithMode0600) {
    reply_listener listener;
    ASSERT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value());
    const struct stat info = stat_of(reply_);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_TRUE(listener.reader);
    EXPECT_TRUE(listener.writer);
}

TEST_F(ClientPipes, ReusesAnExistingPrivateReplyPipe) {
    ASSERT_EQ(mkfifo(reply_.c_str(), 0600), 0);
    const ino_t before = stat_of(reply_).st_ino;
    reply_listener listener;
    ASSERT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value());
    EXPECT_EQ(stat_of(reply_).st_ino, before);
}

TEST_F(ClientPipes, RefusesAReplyPipeThatIsNotAPrivateFifoAndLeavesItAlone) {
    write_file(reply_, "keep me");
    expect_reply_pipe_refused();
    EXPECT_EQ(read_file(reply_), "keep me");
    ASSERT_EQ(unlink(reply_.c_str()), 0);

    ASSERT_EQ(mkfifo(reply_.c_str(), 0600), 0);
    ASSERT_EQ(chmod(reply_.c_str(), 0644), 0);  // others could read the passkey
    expect_reply_pipe_refused();
    ASSERT_EQ(chmod(reply_.c_str(), 0620), 0);  // the group could forge an outcome
    expect_reply_pipe_refused();
    ASSERT_EQ(unlink(reply_.c_str()), 0);

    const std::string target = dir_.path("elsewhere.fifo");
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
    ASSERT_EQ(symlink(target.c_str(), reply_.c_str()), 0);
    expect_reply_pipe_refused();
}

TEST_F(ClientPipes, RefusesAReplyPipeOfAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the pipe away";
    }
    ASSERT_EQ(mkfifo(reply_.c_str(), 0600), 0);
    ASSERT_EQ(chown(reply_.c_str(), 65534, 65534), 0);
    expect_reply_pipe_refused();
}

TEST_F(ClientPipes, ReportsAReplyPipeThatCannotBeCreated) {
    const std::string nowhere = dir_.path("missing-dir/duskweb.fifo");
    reply_listener listener;
    const auto failure = open_reply_pipe(nowhere.c_str(), listener);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::local_error);
    EXPECT_NE(failure->message.find("No such file or directory"), std::string::npos);
}

TEST_F(ClientPipes, OnlyOneClientListensAtATime) {
    reply_listener first;
    ASSERT_FALSE(open_reply_pipe(reply_.c_str(), first).has_value());
    reply_listener second;
    const auto failure = open_reply_pipe(reply_.c_str(), second);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->message.find("already waiting"), std::string::npos) << failure->message;

    first = reply_listener{};
    reply_listener third;
    EXPECT_FALSE(open_reply_pipe(reply_.c_str(), third).has_value());
}

TEST_F(ClientPipes, TheListenerSeesNoHangUpWhenTheDaemonClosesItsEnd) {
    reply_listener listener;
    ASSERT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value());
    // What the daemon does for each message: open, write six bytes, close.
    const int daemon = open(reply_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(daemon, 0);
    ASSERT_EQ(write(daemon, "000042", 6), 6);
    close(daemon);

    pollfd watch{listener.reader.get(), POLLIN, 0};
    ASSERT_EQ(poll(&watch, 1, 5000), 1);
    EXPECT_EQ(watch.revents, POLLIN);
    char bytes[16];
    ASSERT_EQ(read(listener.reader.get(), bytes, sizeof bytes), 6);
    EXPECT_EQ(poll(&watch, 1, 0), 0);
}

TEST_F(ClientPipes, AMissingRequestPipeOrOneWithoutReaderMeansNotRunning) {
    auto failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::not_running);
    EXPECT_EQ(failure->message, "pairgated is not running");

    ASSERT_EQ(mkfifo(request_.c_str(), 0600), 0);
    failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::not_running);
}

TEST_F(ClientPipes, TheRequestArrivesAsSeventeenBytesInOneRead) {
    ASSERT_EQ(mkfifo(request_.c_str(), 0600), 0);
    const int daemon = open(request_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(daemon, 0);
    EXPECT_FALSE(send_request(request_.c_str(), "00:1A:7D:DA:71:13").has_value());
    char bytes[64];
    EXPECT_EQ(read(daemon, bytes, sizeof bytes), 17);
    EXPECT_EQ(std::string(bytes, 17), "00:1A:7D:DA:71:13");
    close(daemon);
}

TEST_F(ClientPipes, RefusesARequestPipeThatIsNoFifoOrIsFull) {
    write_file(request_, "");
    auto failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::local_error);
    EXPECT_EQ(read_file(request_), "");
    ASSERT_EQ(unlink(request_.c_str()), 0);

    ASSERT_EQ(mkfifo(request_.c_str(), 0600), 0);
    const int daemon = open(request_.c_str(), O_RDONLY | O_NONBLOCK);
    const int stuffer = open(request_.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(daemon, 0);
    ASSERT_GE(stuffer, 0);
    const std::string block(4096, 'x');
    while (write(stuffer, block.data(), block.size()) > 0) {
    }
    while (write(stuffer, "x", 1) > 0) {
    }
    failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13");
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::local_error);
    EXPECT_NE(failure->message.find("full"), std::string::npos) << failure->message;
    close(stuffer);
    close(daemon);
}
