// The web UI's pairing road through pairgated's two named pipes, timed.
#include "bench/web_road.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "common/pipe_protocol.h"
#include "common/reply_message.h"

namespace bench {

namespace {

constexpr dbus_uint32_t passkey = 42;

// The pipes' names of pairgated's own, in the bench's directory.
std::string pipe_in(const std::string &directory, const char *daemon_path) {
    return directory + strrchr(daemon_path, '/');
}
constexpr auto road_limit = std::chrono::seconds(5);
// Before each request; see pause_at_random().
constexpr std::chrono::microseconds shortest_pause{1000};
constexpr std::chrono::microseconds longest_pause{3000};

}  // namespace

// The web UI's end of the reply pipe. It holds a writer of its own too, so
// that poll() never reports a hang-up between the daemon's messages.
class reply_reader {
  public:
    ~reply_reader() {
        for (int fd : {reader_, writer_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    bool open_pipe(const std::string &path) {
        if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
            return false;
        }
        reader_ = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer_ = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return reader_ >= 0 && writer_ >= 0;
    }

    int fd() const { return reader_; }

    // Reads what has come; each whole message is kept with its arrival time.
    void read_available() {
        char buffer[64];
        const ssize_t got = read(reader_, buffer, sizeof buffer);
        if (got <= 0) {
            return;
        }
        splitter_.add(std::string_view(buffer, static_cast<size_t>(got)));
        std::string message;
        while (splitter_.next(message)) {
            messages_.emplace_back(message, clock::now());
        }
    }

    const std::vector<std::pair<std::string, clock::time_point>> &messages() const {
        return messages_;
    }
    void forget() { messages_.clear(); }

  private:
    int reader_ = -1;
    int writer_ = -1;
    reply_splitter splitter_;
    std::vector<std::pair<std::string, clock::time_point>> messages_;
};

namespace {

bool write_request(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t written = write(fd, standin_device_address, request_size);
    close(fd);
    return written == static_cast<ssize_t>(request_size);
}

// Files the times of one road that ended; a wrong first message is a failure.
void file_road(road_times *times, const reply_reader &reply, clock::time_point began,
               clock::time_point ended) {
    const auto &[message, at] = reply.messages().front();
    if (message != (times->confirmation ? passkey_reply(passkey) : outcome_reply(true))) {
        ++times->failures;
        return;
    }
    const double end_ms = to_milliseconds(ended - began);
    times->end_ms.push_back(end_ms);
    if (times->confirmation) {
        times->passkey_ms.push_back(to_milliseconds(at - began));
        times->outcome_ms.push_back(end_ms);  // a success adds nothing to the pipe
    } else {
        times->outcome_ms.push_back(to_milliseconds(at - began));
    }
}

// A request written at once after the previous road would reach the daemon at
// the same point of its loop every time; a user's comes at any point.
void pause_at_random(DBusConnection *connection, std::mt19937 &random) {
    std::uniform_int_distribution<long> pause(shortest_pause.count(), longest_pause.count());
    serve_for(connection, std::chrono::microseconds(pause(random)));
}

}  // namespace

web_road::web_road(std::string pipe_dir) : pipe_dir_(std::move(pipe_dir)) {
    confirmed_.confirmation = true;
}

web_road::~web_road() = default;

bool web_road::pair_once(DBusConnection *connection, bluez_standin &standin, bool confirmation,
                         std::mt19937 &random) {
    road_times &road = times(confirmation);
    if (!reply_) {
        reply_ = std::make_unique<reply_reader>();
        if (!reply_->open_pipe(pipe_in(pipe_dir_, reply_pipe_path))) {
            road.problem = "cannot open the reply pipe: " + std::string(strerror(errno));
            return false;
        }
    }
    standin.ask_confirmation(confirmation, passkey);
    pause_at_random(connection, random);
    return run_road(connection, standin, &road);
}

// One pairing, from the request to the agent registered again as "NoInputNoOutput".
bool web_road::run_road(DBusConnection *connection, bluez_standin &standin, road_times *times) {
    const uint64_t ends_before = standin.events().plain_registrations;
    reply_reader &reply = *reply_;
    reply.forget();
    const clock::time_point began = clock::now();
    if (!write_request(pipe_in(pipe_dir_, request_pipe_path))) {
        times->problem = "cannot write the request pipe: " + std::string(strerror(errno));
        return false;
    }
    const auto ended = [&] {
        return standin.events().plain_registrations > ends_before && !reply.messages().empty();
    };
    if (!run_until(connection, began + road_limit, ended,
                   {{reply.fd(), [&reply] { reply.read_available(); }}})) {
        times->problem = "a pairing did not end within 5 s";
        return false;
    }
    file_road(times, reply, began, standin.events().last_plain_registration);
    return true;
}

}  // namespace bench
