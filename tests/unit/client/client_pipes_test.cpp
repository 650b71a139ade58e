// The client's ends of the two pipes, on FIFOs in a scratch directory.
#include "client/client_pipes.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
    unique_fd writer_;  // the request's write end, kept by send_request

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

TEST_F(ClientPipes, ReusesAnExistingPrivateReplyPipeEmptied) {
    ASSERT_EQ(mkfifo(reply_.c_str(), 0600), 0);
    const ino_t before = stat_of(reply_).st_ino;
    // An outcome nobody read, still held in the pipe by some other process.
    const int leftover = open(reply_.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_EQ(write(leftover, "\x01\x01\x01\x01\x01\x01", 6), 6);
    reply_listener listener;
    ASSERT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value());
    EXPECT_EQ(stat_of(reply_).st_ino, before);
    char byte = 0;
    EXPECT_EQ(read(listener.reader.get(), &byte, 1), -1) << "the stale outcome is gone";
    close(leftover);
}

// Plants at the reply pipe's path each thing pairgate-pair must not use as it
// is; run_check(owner) is called after each.
template <typename Check>
void plant_each(const std::string &path, const std::string &elsewhere, Check run_check) {
    std::ofstream(path) << "keep me";
    run_check("a regular file");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    ASSERT_EQ(chmod(path.c_str(), 0620), 0);  // the group could forge an outcome
    run_check("a named pipe");
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkfifo(elsewhere.c_str(), 0600), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
    run_check("a symbolic link");
    ASSERT_EQ(unlink(path.c_str()), 0);
}

// Runs check in a child process with uid and gid 65534; true when it passed.
template <typename Check>
bool as_nobody(Check check) {
    const pid_t child = fork();
    if (child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 && check() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(ClientPipes, AnyOtherUserRefusesWhatIsNotItsPrivatePipeNamingTheOwner) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to plant as one user and look as another";
    }
    ASSERT_EQ(chmod(dir_.path("").c_str(), 01777), 0);  // like /var/tmp
    plant_each(reply_, dir_.path("elsewhere.fifo"), [&](const std::string &kind) {
        EXPECT_TRUE(as_nobody([&] {
            reply_listener listener;
            const auto failure = open_reply_pipe(reply_.c_str(), listener);
            return failure && failure->result == run_result::local_error &&
                   failure->message.find(reply_ + " is " + kind + " of uid 0 with mode") !=
                       std::string::npos;
        })) << kind;
    });
}

TEST_F(ClientPipes, RootReplacesWhatIsNotItsPrivatePipe) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "replacing is for root";
    }
    const std::string elsewhere = dir_.path("elsewhere.fifo");
    plant_each(reply_, elsewhere, [&](const std::string &kind) {
        reply_listener listener;
        EXPECT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value()) << kind;
        const struct stat info = stat_of(reply_);
        EXPECT_TRUE(S_ISFIFO(info.st_mode)) << kind;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << kind;
    });
    EXPECT_TRUE(S_ISFIFO(stat_of(elsewhere).st_mode)) << "a link is replaced, never followed";

    ASSERT_EQ(mkfifo(reply_.c_str(), 0600), 0);
    ASSERT_EQ(chown(reply_.c_str(), 65534, 65534), 0);
    reply_listener listener;
    EXPECT_FALSE(open_reply_pipe(reply_.c_str(), listener).has_value());
    EXPECT_EQ(stat_of(reply_).st_uid, 0u);
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
    EXPECT_EQ(failure->result, run_result::busy);
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
    auto failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13", writer_);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::not_running);
    EXPECT_EQ(failure->message, "pairgated is not running");

    ASSERT_EQ(mkfifo(request_.c_str(), 0600), 0);
    failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13", writer_);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::not_running);
}

TEST_F(ClientPipes, TheRequestArrivesAsSeventeenBytesInOneRead) {
    ASSERT_EQ(mkfifo(request_.c_str(), 0600), 0);
    const int daemon = open(request_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(daemon, 0);
    EXPECT_FALSE(send_request(request_.c_str(), "00:1A:7D:DA:71:13", writer_).has_value());
    EXPECT_TRUE(request_unread(writer_.get()));
    char bytes[64];
    EXPECT_EQ(read(daemon, bytes, sizeof bytes), 17);
    EXPECT_EQ(std::string(bytes, 17), "00:1A:7D:DA:71:13");
    EXPECT_FALSE(request_unread(writer_.get()));
    close(daemon);
}

TEST_F(ClientPipes, RefusesARequestPipeThatIsNoFifoOrIsFull) {
    write_file(request_, "");
    auto failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13", writer_);
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
    failure = send_request(request_.c_str(), "00:1A:7D:DA:71:13", writer_);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->result, run_result::local_error);
    EXPECT_NE(failure->message.find("full"), std::string::npos) << failure->message;
    close(stuffer);
    close(daemon);
}
