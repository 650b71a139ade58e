// A child for the runner tests: reports what it was given, or waits as asked.
//
//   runner_helper fds FILE     writes where fds 0..2 lead and how many others are open
//   runner_helper args FILE .. writes argc and every argument, argv[0] included
//   runner_helper echo TEXT    writes TEXT to stdout
//   runner_helper exit CODE    exits with CODE
//   runner_helper wait FIFO    reads FIFO until end of file
//   runner_helper sleep        never ends by itself
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string fd_target(int fd) {
    char link[64];
    char target[4096];
    (void)snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0) {
        return "closed";
    }
    return std::string(target, static_cast<size_t>(length));
}

int count_fds_above_2() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (dirent *entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > 2 && fd != dirfd(dir)) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

int write_file(const char *path, const std::string &text) {
    FILE *file = fopen(path, "w");
    if (file == nullptr) {
        return 2;
    }
    (void)fputs(text.c_str(), file);
    return fclose(file) == 0 ? 0 : 2;
}

int report_fds(const char *path) {
    std::string text;
    for (int fd = 0; fd < 3; ++fd) {
        text += std::to_string(fd) + " " + fd_target(fd) + "\n";
    }
    text += "others " + std::to_string(count_fds_above_2()) + "\n";
    return write_file(path, text);
}

int report_args(const char *path, int argc, char **argv) {
    std::string text = std::to_string(argc) + "\n";
    for (int i = 0; i < argc; ++i) {
        text += std::string(argv[i]) + "\n";
    }
    return write_file(path, text);
}

int drain_fifo(const char *path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return 2;
    }
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fds" && argc > 2) {
        return report_fds(argv[2]);
    }
    if (mode == "args" && argc > 2) {
        return report_args(argv[2], argc, argv);
    }
    if (mode == "echo" && argc > 2) {
        return write(1, argv[2], strlen(argv[2])) < 0 ? 2 : 0;
    }
    if (mode == "exit" && argc > 2) {
        return atoi(argv[2]);
    }
    if (mode == "wait" && argc > 2) {
        return drain_fifo(argv[2]);
    }
    if (mode == "sleep") {
        for (;;) {
            pause();
        }
    }
    (void)fprintf(stderr, "runner_helper: unknown mode\n");
    return 2;
}
