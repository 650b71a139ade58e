// The whole client road against a stand-in daemon thread on FIFOs in a scratch
// directory, with BlueZ's answers scripted.
#include "client/pair_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

using namespace std::string_literals;
using std::chrono::milliseconds;

namespace {

const std::string paired_bytes(6, '\x01');
const std::string failed_bytes(6, '\0');

struct recording_sink : event_sink {
    void report(const client_event &event) override { events.push_back(event); }
    std::vector<client_event> events;
};

// BlueZ's answers in order; the last one repeats. `before_answer` runs inside
// the question, as if the daemon wrote something while BlueZ was being asked.
struct scripted_lookup : pairing_lookup {
    std::optional<run_failure> is_paired(std::string_view address, int, answer &result) override {
        addresses.emplace_back(address);
        if (before_answer) {
            before_answer();
        }
        const std::optional<answer> next = answers.front();
        if (answers.size() > 1) {
            answers.pop_front();
        }
        if (!next) {
            return run_failure{run_result::local_error,
                               "cannot connect to the system bus: nobody home"};
        }
        result = *next;
        return std::nullopt;
    }
    void cancel_pairing(std::string_view address, int) override { cancelled.emplace_back(address); }
    std::deque<std::optional<answer>> answers{answer::not_paired};  // none: BlueZ unreachable
    std::vector<std::string> addresses;
    std::vector<std::string> cancelled;
    std::function<void()> before_answer;
};

// The daemon's side of both pipes: reads one request, then writes each reply
// the way the daemon does (open non-blocking, one write, close).
class stand_in_daemon {
  public:
    stand_in_daemon(std::string request_path, std::string reply_path)
        : request_path_(std::move(request_path)), reply_path_(std::move(reply_path)) {
        EXPECT_EQ(mkfifo(request_path_.c_str(), 0600), 0);
        request_fd_ = open(request_path_.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(request_fd_, 0);
    }
    ~stand_in_daemon() {
        if (thread_.joinable()) {
            thread_.join();
        }
        close(request_fd_);
    }

    // Once the request came (within ten seconds), writes `replies` one by one.
    void serve(std::vector<std::string> replies) {
        thread_ = std::thread([this, replies = std::move(replies)] {
            if (!take_request()) {
                return;
            }
            for (const auto &reply : replies) {
                write_reply(reply);
            }
        });
    }

    void write_reply(const std::string &reply) const {
        const int fd = open(reply_path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            ssize_t written = write(fd, reply.data(), reply.size());
            static_cast<void>(written);
            close(fd);
        }
    }

    std::string request;

  private:
    bool take_request() {
        pollfd watch{request_fd_, POLLIN, 0};
        char bytes[64];
        while (request.size() < 17 && poll(&watch, 1, 10000) == 1) {
            const ssize_t count = read(request_fd_, bytes, sizeof bytes);
            if (count > 0) {
                request.append(bytes, static_cast<std::size_t>(count));
            }
        }
        return request.size() == 17;
    }

    std::string request_path_;
    std::string reply_path_;
    int request_fd_ = -1;
    std::thread thread_;
};

class PairClient : public ::testing::Test {
  protected:
    run_result run(milliseconds timeout = milliseconds(20000)) {
        pair_request request;
        request.address = "00:1a:7d:DA:71:13";
        request.timeout = timeout;
        request.grace = milliseconds(100);
        return request_pairing(request, sink_, lookup_, {request_.c_str(), reply_.c_str()});
    }

    std::vector<std::string> events() const {
        std::vector<std::string> lines;
        for (const auto &event : sink_.events) {
            static const char *names[] = {"passkey", "paired", "failed", "timeout", "error"};
            lines.push_back(names[static_cast<int>(event.kind)] + " "s + event.text);
        }
        return lines;
    }

    temp_dir dir_;
    const std::string request_ = dir_.path("duskpair.fifo");
    const std::string reply_ = dir_.path("duskweb.fifo");
    recording_sink sink_;
    scripted_lookup lookup_;
};

using lines = std::vector<std::string>;
using answer = pairing_lookup::answer;

}  // namespace

TEST_F(PairClient, WithoutPasskeyTheDaemonsOutcomeIsFinal) {
    for (const auto &[bytes, result, line] :
         {std::tuple{paired_bytes, run_result::paired, "paired 00:1A:7D:DA:71:13"},
          std::tuple{failed_bytes, run_result::failed, "failed 00:1A:7D:DA:71:13"}}) {
        sink_.events.clear();
        stand_in_daemon daemon(request_, reply_);
        daemon.serve({bytes});
        lookup_.answers = {answer::paired};
        EXPECT_EQ(run(), result);
        EXPECT_EQ(events(), lines{line});
        // Six 0x01 bytes name no device: BlueZ confirms they are ours.
        EXPECT_EQ(lookup_.addresses.size(), result == run_result::paired ? 1u : 0u);
        lookup_.addresses.clear();
        ASSERT_EQ(unlink(request_.c_str()), 0);
    }
}

TEST_F(PairClient, SixOnesForADeviceOtherThanOursAreNotOurs) {
    lookup_.answers = {answer::not_paired, answer::paired};
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({paired_bytes, failed_bytes});
    EXPECT_EQ(run(), run_result::failed);
    EXPECT_EQ(events(), lines{"failed 00:1A:7D:DA:71:13"});
}

TEST_F(PairClient, AnEndingSignalCancelsThePairing) {
    const volatile sig_atomic_t ending = SIGTERM;
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({});
    pair_request request;
    request.address = "00:1A:7D:DA:71:13";
    request.ending_signal = &ending;
    EXPECT_EQ(request_pairing(request, sink_, lookup_, {request_.c_str(), reply_.c_str()}),
              run_result::interrupted);
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_EQ(lookup_.cancelled, lines{"00:1A:7D:DA:71:13"});
}

TEST_F(PairClient, SendsTheAddressInUpperCase) {
    lookup_.answers = {answer::paired};
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({paired_bytes});
    run();
    EXPECT_EQ(daemon.request, "00:1A:7D:DA:71:13");
}

TEST_F(PairClient, AfterAPasskeySilenceIsSettledByBluez) {
    lookup_.answers = {answer::not_paired, answer::paired};
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"000042"});
    EXPECT_EQ(run(), run_result::paired);
    EXPECT_EQ(events(), (lines{"passkey 000042", "paired 00:1A:7D:DA:71:13"}));
    EXPECT_EQ(lookup_.addresses, (lines{"00:1A:7D:DA:71:13", "00:1A:7D:DA:71:13"}));
}

TEST_F(PairClient, AfterAPasskeyAFailureIsReported) {
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"000042", failed_bytes});
    EXPECT_EQ(run(), run_result::failed);
    EXPECT_EQ(events(), (lines{"passkey 000042", "failed 00:1A:7D:DA:71:13"}));
}

TEST_F(PairClient, AFailureWrittenWhileBluezWasAskedOutranksItsAnswer) {
    stand_in_daemon daemon(request_, reply_);
    lookup_.answers = {answer::paired};
    lookup_.before_answer = [&] { daemon.write_reply(failed_bytes); };
    daemon.serve({"000042"});
    EXPECT_EQ(run(), run_result::failed);
    EXPECT_EQ(events(), (lines{"passkey 000042", "failed 00:1A:7D:DA:71:13"}));
}

TEST_F(PairClient, JoinsMessagesSplitAcrossWrites) {
    lookup_.answers = {answer::paired};
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"000", "042\x01\x01\x01", "\x01\x01\x01"});
    EXPECT_EQ(run(), run_result::paired);
    EXPECT_EQ(events(), (lines{"passkey 000042", "paired 00:1A:7D:DA:71:13"}));
}

TEST_F(PairClient, AMessageThatMakesNoSenseIsAProtocolError) {
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"ABC\x00\x01\xff"s});
    EXPECT_EQ(run(), run_result::local_error);
    ASSERT_EQ(sink_.events.size(), 1u);
    EXPECT_EQ(sink_.events[0].kind, event_kind::error);
    EXPECT_NE(sink_.events[0].text.find("protocol error"), std::string::npos);
    EXPECT_NE(sink_.events[0].text.find("41 42 43 00 01 ff"), std::string::npos);
}

TEST_F(PairClient, TimesOutWithOrWithoutAPasskey) {
    {
        stand_in_daemon daemon(request_, reply_);
        daemon.serve({});
        EXPECT_EQ(run(milliseconds(300)), run_result::timed_out);
        EXPECT_EQ(events(), lines{"timeout 00:1A:7D:DA:71:13"});
    }
    ASSERT_EQ(unlink(request_.c_str()), 0);
    sink_.events.clear();
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"123456"});
    EXPECT_EQ(run(milliseconds(500)), run_result::timed_out);
    EXPECT_EQ(events(), (lines{"passkey 123456", "timeout 00:1A:7D:DA:71:13"}));
    // Both runs gave up the pairing they had asked for.
    EXPECT_EQ(lookup_.cancelled, lines(2, "00:1A:7D:DA:71:13"));
}

TEST_F(PairClient, BluezOutOfReachIsALocalError) {
    lookup_.answers = {std::nullopt};
    stand_in_daemon daemon(request_, reply_);
    daemon.serve({"000042"});
    EXPECT_EQ(run(), run_result::local_error);
    EXPECT_EQ(events(),
              (lines{"passkey 000042", "error cannot connect to the system bus: nobody home"}));
}

TEST_F(PairClient, NoDaemonIsReportedAndTheReplyPipeStays) {
    EXPECT_EQ(run(), run_result::not_running);
    EXPECT_EQ(events(), lines{"error pairgated is not running"});
    struct stat info {};
    ASSERT_EQ(lstat(reply_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}
