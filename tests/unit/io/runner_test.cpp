// Tests of the child runner: stream choices, arguments, threads, waiting and its limits.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "io/child_runner.h"
#include "io_test_support.h"

namespace {

using io_test::is_open;
using io_test::read_file;
using io_test::read_lines;
using io_test::read_until_eof;

const char *const helper = RUNNER_HELPER;
const char *const end_of_args = nullptr;

struct test_pipe {
    int read_end = -1;
    int write_end = -1;
    test_pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            read_end = ends[0];
            write_end = ends[1];
        }
    }
    ~test_pipe() {
        close(read_end);
        if (write_end >= 0) {
            close(write_end);
        }
    }
    // The runner closes a write end that was handed to a child.
    void handed_over() { write_end = -1; }
    test_pipe(const test_pipe &) = delete;
    test_pipe &operator=(const test_pipe &) = delete;
};

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status;
}

// A scratch directory per test.
class Runner : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "pairgate-runner-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ASSERT_TRUE(io_test::has_no_children());
    }
    void TearDown() override {
        EXPECT_TRUE(io_test::has_no_children()) << "a child was left behind";
        std::filesystem::remove_all(dir);
    }
    std::string path(const char *name) const { return dir + "/" + name; }

    // Where the helper's fds 0, 1 and 2 lead, and the count of other fds.
    std::vector<std::string> child_streams() {
        std::string report = path("fds");
        EXPECT_EQ(exit_code(run_program(helper, "fds", report.c_str(), end_of_args)), 0);
        return read_lines(report);
    }

    std::string dir;
};

const std::vector<std::string> all_dev_null = {"0 /dev/null", "1 /dev/null", "2 /dev/null",
                                               "others 0"};

using RunnerStreams = Runner;

TEST_F(RunnerStreams, NoChoiceGivesDevNullOnAllThreeAndNothingElse) {
    test_pipe held;  // open in the parent, must not reach the child
    EXPECT_EQ(child_streams(), all_dev_null);
}

TEST_F(RunnerStreams, ParentWithClosedStreamsStillGivesDevNull) {
    std::string report = path("fds");
    pid_t parent = fork();
    ASSERT_GE(parent, 0);
    if (parent == 0) {
        close(0);
        close(1);
        close(2);
        _exit(exit_code(run_program(helper, "fds", report.c_str(), end_of_args)));
    }
    int status = -1;
    waitpid(parent, &status, 0);
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_EQ(read_lines(report), all_dev_null);
}

TEST_F(RunnerStreams, StdoutOneIsInherited) {
    test_pipe out;
    int saved_stdout = dup(1);
    ASSERT_GE(saved_stdout, 0);
    (void)fflush(stdout);
    dup2(out.write_end, 1);
    run_set_stdout(1);
    int status = run_program(helper, "echo", "inherited", end_of_args);
    dup2(saved_stdout, 1);
    close(saved_stdout);
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_TRUE(is_open(1));
    close(out.write_end);
    out.handed_over();
    EXPECT_EQ(read_until_eof(out.read_end), "inherited");
}

TEST_F(RunnerStreams, StdoutZeroAndTwoAreIgnored) {
    run_set_stdout(2);
    EXPECT_EQ(child_streams(), all_dev_null);

    test_pipe out;
    run_set_stdout(out.write_end);
    run_set_stdout(2);
    run_set_stdout(0);
    EXPECT_EQ(exit_code(run_program(helper, "echo", "kept", end_of_args)), 0);
    out.handed_over();
    EXPECT_EQ(read_until_eof(out.read_end), "kept");
}

TEST_F(RunnerStreams, ChoiceAppliesToNextRunOnly) {
    test_pipe out;
    run_set_stdout(out.write_end);
    EXPECT_EQ(exit_code(run_program(helper, "echo", "once", end_of_args)), 0);
    out.handed_over();
    EXPECT_EQ(child_streams(), all_dev_null);
    EXPECT_EQ(read_until_eof(out.read_end), "once");
}

TEST_F(RunnerStreams, HandedWriteEndIsClosedInParentSoReaderSeesEndOfFile) {
    test_pipe out;
    int write_end = out.write_end;
    run_set_stdout(write_end);
    EXPECT_EQ(exit_code(run_program(helper, "echo", "done", end_of_args)), 0);
    out.handed_over();
    EXPECT_FALSE(is_open(write_end));
    EXPECT_EQ(read_until_eof(out.read_end), "done");
}

TEST_F(RunnerStreams, ReleaseClosesRecordedDescriptorsAboveTwoOnly) {
    test_pipe out;
    int write_end = out.write_end;
    run_set_stdout(write_end);
    run_release_stdio();
    out.handed_over();
    EXPECT_FALSE(is_open(write_end));
    EXPECT_EQ(child_streams(), all_dev_null);

    run_set_stdout(1);
    run_release_stdio();
    EXPECT_TRUE(is_open(1));
    EXPECT_EQ(child_streams(), all_dev_null);
}

using RunnerArguments = Runner;

template <size_t N, size_t... I>
int run_with(const std::array<std::string, N> &args, std::index_sequence<I...>) {
    return run_program(helper, args[I].c_str()..., end_of_args);
}

TEST_F(RunnerArguments, SeventyReachTheChildAsPathAndFirstSixtyTwo) {
    std::array<std::string, 70> args;
    args[0] = "args";
    args[1] = path("args");
    for (size_t i = 2; i < args.size(); ++i) {
        args[i] = "a" + std::to_string(i);
    }
    EXPECT_EQ(exit_code(run_with(args, std::make_index_sequence<70>{})), 0);

    std::vector<std::string> expected = {std::to_string(1 + RUN_MAX_ARGS), helper};
    expected.insert(expected.end(), args.begin(), args.begin() + RUN_MAX_ARGS);
    EXPECT_EQ(read_lines(path("args")), expected);
}

TEST_F(RunnerArguments, PathWithoutSlashIsSearchedOnPath) {
    EXPECT_EQ(exit_code(run_program("true", end_of_args)), 0);
    EXPECT_EQ(exit_code(run_program("false", end_of_args)), 1);
}

using RunnerThreads = Runner;

TEST_F(RunnerThreads, ChoiceOfOneThreadDoesNotReachAnother) {
    test_pipe a_out;
    std::promise<void> a_chose;
    std::promise<void> b_ran;
    std::string b_report = path("b.fds");
    int a_status = -1;
    int b_status = -1;

    std::thread a([&] {
        run_set_stdout(a_out.write_end);
        a_chose.set_value();
        b_ran.get_future().wait();
        a_status = run_program(helper, "echo", "A", end_of_args);
    });
    std::thread b([&, chose = a_chose.get_future()] {
        chose.wait();
        b_status = run_program(helper, "fds", b_report.c_str(), end_of_args);
        b_ran.set_value();
    });
    a.join();
    b.join();
    a_out.handed_over();

    EXPECT_EQ(exit_code(a_status), 0);
    EXPECT_EQ(exit_code(b_status), 0);
    EXPECT_EQ(read_until_eof(a_out.read_end), "A");
    EXPECT_EQ(read_lines(b_report), all_dev_null);
}

TEST_F(RunnerThreads, ConcurrentRunsKeepTheirOwnStdout) {
    auto worker = [](const char *text) {
        for (int round = 0; round < 20; ++round) {
            test_pipe out;
            run_set_stdout(out.write_end);
            EXPECT_EQ(exit_code(run_program(helper, "echo", text, end_of_args)), 0);
            out.handed_over();
            EXPECT_EQ(read_until_eof(out.read_end), text);
        }
    };
    std::thread first(worker, "first");
    std::thread second(worker, "second");
    first.join();
    second.join();
}

using RunnerFailures = Runner;

TEST_F(RunnerFailures, MissingProgramGivesExitCodeOne) {
    EXPECT_EQ(exit_code(run_program("/nonexistent/pairgate-tool", end_of_args)), 1);
    EXPECT_EQ(exit_code(run_program("pairgate-no-such-tool", "x", end_of_args)), 1);
}

TEST_F(RunnerFailures, FailedWaitGivesMinusOne) {
    // With SIGCHLD ignored the kernel reaps children itself, so waitpid fails.
    struct sigaction ignore {};
    struct sigaction saved {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &saved);
    int status = run_program(helper, "exit", "3", end_of_args);
    sigaction(SIGCHLD, &saved, nullptr);
    EXPECT_EQ(status, -1);
}

TEST_F(RunnerFailures, WaitForNoChildGivesMinusOne) {
    pid_t pid = run_start(helper, "exit", "0", end_of_args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(run_wait(pid, -1, nullptr)), 0);
    EXPECT_EQ(run_wait(pid, -1, nullptr), -1);
    EXPECT_EQ(run_wait(pid, 1000, nullptr), -1);
    EXPECT_EQ(run_wait(getpid(), -1, nullptr), -1);
}

using RunWait = Runner;

TEST_F(RunWait, ChildEndingInTimeGivesItsStatus) {
    volatile sig_atomic_t never = 0;
    pid_t pid = run_start(helper, "exit", "7", end_of_args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exit_code(run_wait(pid, 60000, &never)), 7);
}

TEST_F(RunWait, TimeLimitKillsAndReaps) {
    pid_t pid = run_start(helper, "sleep", end_of_args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(run_wait(pid, 100, nullptr), RUN_WAIT_ABANDONED);
    EXPECT_TRUE(io_test::has_no_children());
}

TEST_F(RunWait, CancelFlagAlreadySetKillsAndReaps) {
    volatile sig_atomic_t stop = 1;
    pid_t pid = run_start(helper, "sleep", end_of_args);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(run_wait(pid, -1, &stop), RUN_WAIT_ABANDONED);
    EXPECT_TRUE(io_test::has_no_children());
}

TEST_F(RunWait, CancelFlagSetWhileWaitingKillsAndReaps) {
    if (io_test::syscalls_hidden_by_emulator()) {
        GTEST_SKIP() << io_test::syscalls_hidden_reason;
    }
    volatile sig_atomic_t stop = 0;
    pid_t pid = run_start(helper, "sleep", end_of_args);
    ASSERT_GT(pid, 0);
    pid_t waiter = gettid();
    std::thread stopper([&] {
        io_test::wait_for_syscall(waiter, io_test::waiting_calls);
        stop = 1;
    });
    int status = run_wait(pid, -1, &stop);
    stopper.join();
    EXPECT_EQ(status, RUN_WAIT_ABANDONED);
    EXPECT_TRUE(io_test::has_no_children());
}

std::atomic<int> usr1_seen{0};
void count_usr1(int) {
    usr1_seen++;
}

TEST_F(RunWait, WaitInterruptedBySignalIsResumed) {
    if (io_test::syscalls_hidden_by_emulator()) {
        GTEST_SKIP() << io_test::syscalls_hidden_reason;
    }
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction counting {};
    struct sigaction saved {};
    counting.sa_handler = count_usr1;  // no SA_RESTART: waitpid fails with EINTR
    sigaction(SIGUSR1, &counting, &saved);
    usr1_seen = 0;

    pid_t pid = run_start(helper, "wait", fifo.c_str(), end_of_args);
    ASSERT_GT(pid, 0);
    pid_t waiter = gettid();
    pthread_t waiter_thread = pthread_self();
    std::thread interrupter([&] {
        if (io_test::wait_for_syscall(waiter, {SYS_wait4})) {
            pthread_kill(waiter_thread, SIGUSR1);
            auto deadline = io_test::steady::now() + io_test::patience;
            while (usr1_seen == 0 && io_test::steady::now() < deadline) {
                std::this_thread::yield();
            }
        }
        close(open(fifo.c_str(), O_WRONLY));  // lets the child end
    });
    int status = run_wait(pid, -1, nullptr);
    interrupter.join();
    sigaction(SIGUSR1, &saved, nullptr);

    EXPECT_EQ(usr1_seen, 1);
    EXPECT_EQ(exit_code(status), 0);
}

}  // namespace
