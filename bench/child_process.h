// One agent process the benchmark starts, watches and ends by its pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class child_process {
  public:
    child_process() = default;
    ~child_process();
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    // Starts ARGV[0] with ARGV, its output appended to LOG_PATH; it gets
    // SIGTERM should the benchmark die first.
    bool spawn(const std::vector<std::string> &argv, const std::string &log_path);

    pid_t pid() const { return pid_; }
    // Readable once the process has ended (a pidfd).
    int exit_fd() const { return exit_fd_; }
    // True once the process has ended; reaps it.
    bool ended();
    // Its wait status once ended.
    int status() const { return status_; }
    void signal(int number) const;

  private:
    pid_t pid_ = -1;
    int exit_fd_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

}  // namespace bench
