// One agent process the benchmark starts, watches and ends by its pid.
#include "bench/child_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace bench {

namespace {

// In the child, between fork and exec.
[[noreturn]] void exec_child(const std::vector<std::string> &argv, const std::string &log_path) {
    (void)prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log < 0 || null < 0 || dup2(null, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0) {
        _exit(126);
    }
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

}  // namespace

child_process::~child_process() {
    if (pid_ > 0 && !ended()) {
        signal(SIGKILL);
        (void)waitpid(pid_, &status_, 0);
    }
    if (exit_fd_ >= 0) {
        close(exit_fd_);
    }
}

bool child_process::spawn(const std::vector<std::string> &argv, const std::string &log_path) {
    pid_ = fork();
    if (pid_ == 0) {
        exec_child(argv, log_path);
    }
    if (pid_ < 0) {
        return false;
    }
    exit_fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return exit_fd_ >= 0;
}

bool child_process::ended() {
    if (!ended_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) {
        ended_ = true;
    }
    return ended_;
}

void child_process::signal(int number) const {
    if (pid_ > 0 && !ended_) {
        (void)kill(pid_, number);
    }
}

}  // namespace bench
