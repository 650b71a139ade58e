// Tests of the binary input readers against the stand-in I/O tool and GPIO driver.
//
// Runs inside sim/sandbox with the GPIO stand-in preloaded: "/usr/bin/io" and
// "/dev/gpio" are then private to this test, which creates and removes them
// per case. Support states are final for a process, so every case runs in a
// fresh process of its own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/input_readers.h"
#include "io_test_support.h"

namespace {

namespace fs = std::filesystem;
using io_test::read_lines;
using io_test::write_file;

const char *const fake_io = FAKE_IO;
const char *const tool_path = "/usr/bin/io";
const char *const gpio_path = "/dev/gpio";
const char *const log_path = "/dev/log";

constexpr int user_err = LOG_USER | LOG_ERR;

// The stand-in tool with its stdout closed early: the probe's wait for the
// tool's end, not the draining, is what has to give up.
const char *const tool_closing_stdout_then_hanging =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$*\" >>\"$PAIRGATE_SIM_DIR/io.calls\"\n"
    "printf 1\n"
    "exec >&-\n"
    "exec sleep infinity\n";

std::string link_target(const char *link) {
    std::error_code error;
    return fs::read_symlink(link, error).string();
}

int count_open_fds() {
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    while (dirent *entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

bool wait_for_file(const std::string &path) {
    auto deadline = io_test::steady::now() + io_test::patience;
    while (!fs::exists(path)) {
        if (io_test::steady::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// A datagram socket at "/dev/log" that collects what syslog() sends.
class syslog_catcher {
  public:
    syslog_catcher() {
        unlink(log_path);
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, log_path, sizeof address.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~syslog_catcher() {
        close(fd_);
        unlink(log_path);
    }
    syslog_catcher(const syslog_catcher &) = delete;
    syslog_catcher &operator=(const syslog_catcher &) = delete;

    bool bound() const { return bound_; }

    // The messages sent so far at the given priority, without their header.
    // syslog() sends before it returns, so nothing is still on its way.
    std::vector<std::string> texts(int priority) {
        while (true) {
            char buffer[2048];
            ssize_t got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) {
                break;
            }
            received_.emplace_back(buffer, static_cast<size_t>(got));
        }
        std::vector<std::string> found;
        std::string prefix = "<" + std::to_string(priority) + ">";
        for (const std::string &message : received_) {
            size_t text = message.find(": ");  // after "<pri>timestamp identity"
            if (message.rfind(prefix, 0) == 0 && text != std::string::npos) {
                std::string body = message.substr(text + 2);
                if (!body.empty() && body.back() == '\n') {
                    body.pop_back();
                }
                found.push_back(body);
            }
        }
        return found;
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> received_;
};

// Every case gets its own simulator directory and a fresh process.
class Readers : public ::testing::Test {
  protected:
    void SetUp() override {
        static const char *const root = getenv("PAIRGATE_SIM_DIR");
        ASSERT_NE(root, nullptr) << "run through sim/sandbox: this test replaces /usr/bin/io";
        ASSERT_NE(link_target("/proc/self/ns/mnt"), link_target("/proc/1/ns/mnt"))
            << "not in a private mount namespace; run through sim/sandbox";
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::string(root) + "/" + test->test_suite_name() + "." + test->name();
        std::replace(dir.begin() + static_cast<long>(strlen(root)) + 1, dir.end(), '/', '-');
        fs::remove_all(dir);
        fs::create_directories(dir);
        setenv("PAIRGATE_SIM_DIR", dir.c_str(), 1);
        install_tool();
        set_gpio("10 11 12 13");
    }

    // Runs body in a forked process whose assertion failures print there;
    // the case passes when that process ends with 0.
    void in_fresh_process(const std::function<void()> &body) {
        (void)fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setpgid(0, 0);
            body();
            EXPECT_TRUE(io_test::has_no_children()) << "a tool process was left behind";
            (void)fflush(stdout);
            _exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int status = wait_bounded(pid);
        EXPECT_EQ(status, 0) << "the case's process failed (its messages are above)";
    }

    void install_tool() {
        fs::copy_file(fake_io, tool_path, fs::copy_options::overwrite_existing);
        chmod(tool_path, 0755);
    }
    void install_tool_script(const char *script) {
        write_file(tool_path, script);
        chmod(tool_path, 0755);
    }
    static void remove_tool() { unlink(tool_path); }
    static void set_gpio(const std::string &levels) { write_file(gpio_path, levels); }
    static void remove_gpio() { unlink(gpio_path); }

    void control(const std::string &name, const std::string &content) {
        write_file(dir + "/" + name, content);
    }
    std::vector<std::string> tool_calls() { return read_lines(dir + "/io.calls"); }
    std::vector<std::string> gpio_log() { return read_lines(dir + "/gpio.log"); }
    bool tool_started() { return wait_for_file(dir + "/io.calls"); }

    std::string dir;

  private:
    // The status of the case's process; kills its whole group after a while.
    static int wait_bounded(pid_t pid) {
        auto deadline = io_test::steady::now() + 4 * io_test::patience;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (io_test::steady::now() > deadline) {
                kill(-pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "the case's process did not end";
                return -1;
            }
            usleep(1000);
        }
        return status;
    }
};

// One "open N" line with a descriptor above the standard streams.
void expect_opened(const std::string &line) {
    ASSERT_EQ(line.rfind("open ", 0), 0u) << line;
    EXPECT_GT(std::stoi(line.substr(5)), 2) << line;
}

using ReaderSupported = Readers;

TEST_F(ReaderSupported, ToolPrintingOneGivesExitCodeFirstThenIoctlsWithoutProcesses) {
    in_fresh_process([&] {
        int fds_before = count_open_fds();
        for (int input = 0; input < INPUT_COUNT; ++input) {
            EXPECT_EQ(input_readers[input](), 0) << "bin" << input;
            EXPECT_EQ(input_readers[input](), 10 + input) << "bin" << input;
            EXPECT_EQ(input_readers[input](), 10 + input) << "bin" << input;
        }
        EXPECT_EQ(count_open_fds(), fds_before + 1) << "only the GPIO device stays open";
        EXPECT_EQ(tool_calls(),
                  (std::vector<std::string>{"get bin0", "get bin1", "get bin2", "get bin3"}));
        std::vector<std::string> log = gpio_log();
        ASSERT_EQ(log.size(), 9u);
        expect_opened(log[0]);
        EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()),
                  (std::vector<std::string>{"ioctl 0x80004207 10", "ioctl 0x80004207 10",
                                            "ioctl 0x8000421B 11", "ioctl 0x8000421B 11",
                                            "ioctl 0x8000422E 12", "ioctl 0x8000422E 12",
                                            "ioctl 0x8000422F 13", "ioctl 0x8000422F 13"}));
    });
}

TEST_F(ReaderSupported, TableHoldsTheReadersInOrder) {
    EXPECT_EQ(input_readers[0], &read_bin0);
    EXPECT_EQ(input_readers[1], &read_bin1);
    EXPECT_EQ(input_readers[2], &read_bin2);
    EXPECT_EQ(input_readers[3], &read_bin3);
}

TEST_F(ReaderSupported, ExitCodeThreeIsTheFirstReading) {
    control("io.exit", "3\n");
    in_fresh_process([&] {
        EXPECT_EQ(read_bin1(), 3);
        EXPECT_EQ(read_bin1(), 11);
    });
}

TEST_F(ReaderSupported, DigitZeroAlsoMeansSupported) {
    control("io.output", "0");
    in_fresh_process([&] {
        input_record record{"bin2", INPUT_SUPPORT_UNKNOWN};
        EXPECT_EQ(input_probe(&record), 0);
        EXPECT_EQ(record.support, INPUT_SUPPORTED);
    });
}

TEST_F(ReaderSupported, ToolKilledBySignalAfterPrintingOneReadsZeroFirst) {
    control("io.exit", "3");
    control("io.mode", "signal");
    in_fresh_process([&] {
        input_record record{"bin0", INPUT_SUPPORT_UNKNOWN};
        EXPECT_EQ(input_probe(&record), 0) << "a signal leaves no exit code";
        EXPECT_EQ(record.support, INPUT_SUPPORTED);
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin0(), 10);
    });
}

TEST_F(ReaderSupported, PerInputControlFilesWinOverGeneralOnes) {
    control("io.exit", "3");
    control("io.bin2.exit", "5");
    control("io.bin1.output", "");
    in_fresh_process([&] {
        EXPECT_EQ(read_bin0(), 3);
        EXPECT_EQ(read_bin2(), 5);
        input_record bin1{"bin1", INPUT_SUPPORT_UNKNOWN};
        EXPECT_EQ(input_probe(&bin1), -1);
        EXPECT_EQ(bin1.support, INPUT_UNSUPPORTED);
    });
}

using ReaderUnsupported = Readers;

TEST_F(ReaderUnsupported, NoOutputReadsZeroForeverWithOneProbe) {
    control("io.output", "");
    control("io.exit", "4");
    in_fresh_process([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(read_bin3(), 0);
        }
        EXPECT_EQ(tool_calls(), std::vector<std::string>{"get bin3"});
        EXPECT_TRUE(gpio_log().empty()) << "the device is never opened";
    });
}

TEST_F(ReaderUnsupported, FirstByteOtherThanZeroOrOne) {
    for (const char *output : {"7", "\n1", "x"}) {
        control("io.output", output);
        in_fresh_process([&] {
            input_record record{"bin0", INPUT_SUPPORT_UNKNOWN};
            EXPECT_EQ(input_probe(&record), -1) << output;
            EXPECT_EQ(record.support, INPUT_UNSUPPORTED) << output;
        });
    }
}

TEST_F(ReaderUnsupported, MissingToolReadsZeroAndStaysUnsupported) {
    remove_tool();
    in_fresh_process([&] {
        input_record record{"bin1", INPUT_SUPPORT_UNKNOWN};
        EXPECT_EQ(input_probe(&record), -1);
        EXPECT_EQ(record.support, INPUT_UNSUPPORTED);

        EXPECT_EQ(read_bin1(), 0);
        install_tool();
        EXPECT_EQ(read_bin1(), 0);
        EXPECT_TRUE(tool_calls().empty()) << "the state is final: no second probe";
        EXPECT_TRUE(gpio_log().empty());
    });
}

using GpioDevice = Readers;

TEST_F(GpioDevice, MissingWhileSupportedReadsZeroAndIsOpenedOnEveryCall) {
    remove_gpio();
    in_fresh_process([&] {
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(gpio_log(), (std::vector<std::string>{"open -1", "open -1"}));

        set_gpio("4");
        EXPECT_EQ(read_bin0(), 4);
        EXPECT_EQ(read_bin0(), 4);
        std::vector<std::string> log = gpio_log();
        ASSERT_EQ(log.size(), 5u);
        expect_opened(log[2]);
        EXPECT_EQ(log[3], "ioctl 0x80004207 4");
        EXPECT_EQ(log[4], "ioctl 0x80004207 4");
    });
}

TEST_F(GpioDevice, FailingIoctlReadsZero) {
    set_gpio("e 7 e x");
    in_fresh_process([&] {
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin1(), 0);
        EXPECT_EQ(read_bin1(), 7);
        EXPECT_EQ(read_bin2(), 0);
        EXPECT_EQ(read_bin2(), 0);
        EXPECT_EQ(read_bin3(), 0);
        EXPECT_EQ(read_bin3(), 0) << "a malformed level fails too";
        EXPECT_EQ(gpio_ioctl(0x80004207, 0), -1);
        std::vector<std::string> log = gpio_log();
        ASSERT_EQ(log.size(), 6u);
        EXPECT_EQ(log[1], "ioctl 0x80004207 -1");
        EXPECT_EQ(log[3], "ioctl 0x8000422E -1");
        EXPECT_EQ(log[4], "ioctl 0x8000422F -1");
    });
}

TEST_F(GpioDevice, ThreadsShareOneLazyOpen) {
    in_fresh_process([&] {
        std::vector<std::thread> readers;
        std::vector<int> results(8, -2);
        for (size_t i = 0; i < results.size(); ++i) {
            readers.emplace_back([&results, i] { results[i] = gpio_ioctl(0x8000421B, 0); });
        }
        for (std::thread &reader : readers) {
            reader.join();
        }
        EXPECT_EQ(results, std::vector<int>(8, 11));
        int opens = 0;
        for (const std::string &line : gpio_log()) {
            opens += line.rfind("open ", 0) == 0;
        }
        EXPECT_EQ(opens, 1);
    });
}

TEST_F(GpioDevice, StandInPassesOtherRequestsToTheDevice) {
    set_gpio("1 2 3 4\n");
    in_fresh_process([&] {
        int fd = open(gpio_path, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int size = -1;
        EXPECT_EQ(ioctl(fd, FIONREAD, &size), 0);
        EXPECT_EQ(size, 8);
        EXPECT_EQ(ioctl(fd, 0x8000422F, 0), 4);
        close(fd);
        std::vector<std::string> log = gpio_log();
        ASSERT_EQ(log.size(), 2u);
        expect_opened(log[0]);
        EXPECT_EQ(log[1], "ioctl 0x8000422F 4");
    });
}

// A request the stand-in passed on to the system for a file that is not the
// device: the kernel refuses it with ENOTTY; qemu-user, which does not know
// the request, with ENOSYS.
static bool passed_on(int error) {
    return error == ENOTTY || error == ENOSYS;
}

// The stand-in remembers the descriptors of the device, so that a reading
// costs one system call as on a gateway; one that is closed or replaced must
// not be answered for the file that takes its number.
TEST_F(GpioDevice, StandInForgetsADescriptorOnceItRefersToAnotherFile) {
    set_gpio("1 2 3 4\n");
    in_fresh_process([&] {
        int fd = open(gpio_path, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ASSERT_GE(copy, 0);
        EXPECT_EQ(ioctl(copy, 0x8000421B, 0), 2) << "a duplicate is the device too";
        close(fd);
        ASSERT_EQ(open(tool_path, O_RDONLY | O_CLOEXEC), fd) << "the lowest number is reused";
        errno = 0;
        EXPECT_EQ(ioctl(fd, 0x8000421B, 0), -1);
        EXPECT_TRUE(passed_on(errno)) << "a closed number reused by another file: " << errno;
        int other = open(tool_path, O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(dup2(other, copy), copy);
        errno = 0;
        EXPECT_EQ(ioctl(copy, 0x8000421B, 0), -1);
        EXPECT_TRUE(passed_on(errno)) << "another file put in its place with dup2: " << errno;
        EXPECT_EQ(gpio_log().size(), 2u) << "only the duplicate's request was answered";
    });
}

using ProbeFaults = Readers;

TEST_F(ProbeFaults, ClosedStandardStreamsDoNotHangOrLeak) {
    control("io.exit", "4");
    set_gpio("5");
    in_fresh_process([&] {
        int saved_stdout = fcntl(1, F_DUPFD_CLOEXEC, 10);
        int saved_stderr = fcntl(2, F_DUPFD_CLOEXEC, 10);
        close(0);
        close(1);
        close(2);
        int first = read_bin0();
        bool closed_after_probe =
            !io_test::is_open(0) && !io_test::is_open(1) && !io_test::is_open(2);
        int second = read_bin0();
        bool closed_after_ioctl =
            !io_test::is_open(0) && !io_test::is_open(1) && !io_test::is_open(2);
        dup2(saved_stdout, 1);
        dup2(saved_stderr, 2);

        EXPECT_EQ(first, 4);
        EXPECT_EQ(second, 5);
        EXPECT_TRUE(closed_after_probe) << "the probe left a descriptor on 0, 1 or 2";
        EXPECT_TRUE(closed_after_ioctl) << "the device was opened on 0, 1 or 2";
        EXPECT_EQ(tool_calls(), std::vector<std::string>{"get bin0"});
    });
}

TEST_F(ProbeFaults, MebibyteOfOutputDoesNotHangAndOnlyFirstByteCounts) {
    control("io.mode", "flood");
    control("io.exit", "2");
    in_fresh_process([&] {
        syslog_catcher log;
        ASSERT_TRUE(log.bound());
        EXPECT_EQ(read_bin2(), 2);
        EXPECT_EQ(read_bin2(), 12);
        EXPECT_TRUE(log.texts(user_err).empty());
    });
}

// A tool that never ends: the probe gives up, kills and reaps it, and the
// input stays unknown, so the next reading probes again.
class HangingTool : public Readers, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Readers::SetUp();
        if (GetParam()) {
            control("io.mode", "hang");
        } else {
            install_tool_script(tool_closing_stdout_then_hanging);
        }
    }
    const char *phase() const {
        return GetParam() ? "while draining" : "while waiting for the end";
    }
    std::initializer_list<long> phase_calls() const {
        return GetParam() ? io_test::polling_calls : io_test::waiting_calls;
    }
};

TEST_P(HangingTool, TimeLimitKillsToolAndLogsTimeout) {
    in_fresh_process([&] {
        syslog_catcher log;
        ASSERT_TRUE(log.bound());
        input_set_probe_timeout(500);
        EXPECT_EQ(read_bin0(), 0) << phase();
        EXPECT_TRUE(io_test::has_no_children()) << phase();
        EXPECT_EQ(read_bin0(), 0) << phase();
        EXPECT_EQ(tool_calls(), (std::vector<std::string>{"get bin0", "get bin0"})) << phase();
        EXPECT_EQ(log.texts(user_err),
                  (std::vector<std::string>{"gpio: timeout when checking support for bin0",
                                            "gpio: timeout when checking support for bin0"}))
            << phase();
        EXPECT_TRUE(gpio_log().empty()) << phase();
    });
}

TEST_P(HangingTool, CancelFlagKillsToolQuietly) {
    if (io_test::syscalls_hidden_by_emulator()) {
        GTEST_SKIP() << io_test::syscalls_hidden_reason;
    }
    in_fresh_process([&] {
        syslog_catcher log;
        ASSERT_TRUE(log.bound());
        static volatile sig_atomic_t stop = 0;
        input_set_cancel_flag(&stop);
        input_set_probe_timeout(60 * 1000);  // only the flag ends this probe quietly
        pid_t prober = gettid();
        bool in_phase = false;
        std::thread stopper([&] {
            // Stops the probe in the phase this case is about.
            in_phase = tool_started() && io_test::wait_for_syscall(prober, phase_calls());
            stop = 1;
        });
        input_record record{"bin3", INPUT_SUPPORT_UNKNOWN};
        int result = input_probe(&record);
        stopper.join();
        EXPECT_TRUE(in_phase) << "the probe never waited " << phase();
        EXPECT_EQ(result, -1) << phase();
        EXPECT_EQ(record.support, INPUT_SUPPORT_UNKNOWN) << phase();
        EXPECT_TRUE(io_test::has_no_children()) << phase();
        EXPECT_TRUE(log.texts(user_err).empty()) << phase();
    });
}

INSTANTIATE_TEST_SUITE_P(ProbeFaults, HangingTool, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "OutputStaysOpen" : "OutputClosed";
                         });

TEST_F(ProbeFaults, FailedWaitCountsAsReadErrorAndProbesAgain) {
    in_fresh_process([&] {
        syslog_catcher log;
        ASSERT_TRUE(log.bound());
        // With SIGCHLD ignored the kernel reaps the tool, so waitpid fails.
        (void)signal(SIGCHLD, SIG_IGN);
        input_record record{"bin0", INPUT_SUPPORT_UNKNOWN};
        EXPECT_EQ(input_probe(&record), -1);
        EXPECT_EQ(record.support, INPUT_SUPPORT_UNKNOWN);
        EXPECT_EQ(read_bin0(), 0);
        (void)signal(SIGCHLD, SIG_DFL);
        EXPECT_EQ(read_bin0(), 0);
        EXPECT_EQ(read_bin0(), 10);
        EXPECT_EQ(tool_calls().size(), 3u);
        // The second failure, within a second of the first, is counted once the probe works.
        EXPECT_EQ(log.texts(user_err),
                  (std::vector<std::string>{
                      "gpio: read error when checking support for bin0",
                      "gpio: 1 more failures when checking support for bin0 were not logged"}));
    });
}

TEST_F(ProbeFaults, NoDescriptorsLeftLogsPipeFailure) {
    in_fresh_process([&] {
        syslog_catcher log;
        ASSERT_TRUE(log.bound());
        syslog(LOG_INFO, "connects syslog while descriptors are left");
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        rlimit low = limit;
        low.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> fillers;
        for (int fd; (fd = dup(0)) >= 0;) {
            fillers.push_back(fd);
        }
        input_record record{"bin2", INPUT_SUPPORT_UNKNOWN};
        int result = input_probe(&record);
        for (int fd : fillers) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &limit);

        EXPECT_EQ(result, -1);
        EXPECT_EQ(record.support, INPUT_SUPPORT_UNKNOWN);
        EXPECT_TRUE(tool_calls().empty());
        EXPECT_EQ(
            log.texts(user_err),
            std::vector<std::string>{"gpio: cannot create pipe when checking support for bin2"});
    });
}

}  // namespace
