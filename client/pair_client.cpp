// A web-requested pairing from the web side: the request, then the wait for
// the passkey and the outcome on the reply pipe.
#include "client/pair_client.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/address_text.h"
#include "client/client_pipes.h"
#include "common/reply_message.h"
#include "io/monotonic_clock.h"

namespace {

// How long cancelling an abandoned pairing may add to the time limit.
constexpr int cancel_timeout_ms = 1000;

// A deadline after a duration of the options (at most 86400 s, which fits).
deadline after(std::chrono::milliseconds duration) {
    return deadline(static_cast<int>(duration.count()));
}

// One wait for the outcome. Before a passkey the daemon always writes the
// outcome; after one it writes only a failure, so silence for a grace period
// sends the question to BlueZ, again after each grace period.
class outcome_waiter {
  public:
    outcome_waiter(const pair_request &request, event_sink &events, pairing_lookup &lookup,
                   int reader, int request_writer)
        : request_(request),
          events_(events),
          lookup_(lookup),
          reader_(reader),
          request_writer_(request_writer),
          deadline_(after(request.timeout)) {}

    run_result wait();

  private:
    bool ending() const {
        return request_.ending_signal != nullptr && *request_.ending_signal != 0;
    }
    std::optional<run_result> wait_once();
    std::optional<run_result> read_messages();
    std::optional<run_result> take_message(const std::string &message);
    std::optional<run_result> ask(pairing_lookup::answer &answer);
    std::optional<run_result> ask_bluez();
    std::optional<run_result> confirm_paired();
    run_result finish(event_kind kind, run_result result);
    run_result time_out();
    run_result interrupted();
    run_result fail(run_result result, std::string message);

    const pair_request &request_;
    event_sink &events_;
    pairing_lookup &lookup_;
    const int reader_;
    const int request_writer_;
    const deadline deadline_;
    std::optional<deadline> next_check_;  // set once a passkey came
    reply_splitter splitter_;
};

run_result outcome_waiter::wait() {
    for (;;) {
        if (auto result = wait_once()) {
            return *result;
        }
    }
}

std::optional<run_result> outcome_waiter::wait_once() {
    if (ending()) {
        return interrupted();
    }
    if (deadline_.passed()) {
        return time_out();
    }
    if (next_check_ && next_check_->passed()) {
        return ask_bluez();
    }
    pollfd watch{reader_, POLLIN, 0};
    const int wait_ms =
        next_check_ ? std::min(next_check_->left_ms(), deadline_.left_ms()) : deadline_.left_ms();
    const timespec wait_time{wait_ms / 1000, (wait_ms % 1000) * 1000000L};
    const int ready = ppoll(&watch, 1, &wait_time, request_.wait_mask);
    if (ready < 0 && errno != EINTR) {
        return fail(run_result::local_error,
                    std::string("cannot wait on the reply pipe: ") + std::strerror(errno));
    }
    return ready > 0 ? read_messages() : std::nullopt;
}

std::optional<run_result> outcome_waiter::read_messages() {
    // The daemon takes our request only once the reply pipe is empty, and we
    // are its one reader. So while our request still waits, what the pipe
    // holds answers an earlier client's (killed before its pairing ended),
    // and only those bytes are read now: any written after this look stay for
    // the next. Once our request has been taken, all it holds is ours.
    const bool earlier_pairing = request_unread(request_writer_);
    std::size_t left = earlier_pairing ? unread_bytes(reader_) : SIZE_MAX;
    while (left > 0) {
        char bytes[64];
        const ssize_t count = read(reader_, bytes, std::min(sizeof bytes, left));
        if (count > 0) {
            splitter_.add(std::string_view(bytes, static_cast<std::size_t>(count)));
            left -= earlier_pairing ? static_cast<std::size_t>(count) : 0;
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return fail(run_result::local_error,
                        std::string("cannot read the reply pipe: ") + std::strerror(errno));
        }
        break;
    }
    std::string message;
    while (splitter_.next(message)) {
        if (earlier_pairing) {
            continue;
        }
        if (auto result = take_message(message)) {
            return result;
        }
    }
    return std::nullopt;
}

std::optional<run_result> outcome_waiter::take_message(const std::string &message) {
    switch (classify_reply(message)) {
        case reply_kind::passkey:
            events_.report({event_kind::passkey, message});
            next_check_ = after(request_.grace);
            return std::nullopt;
        case reply_kind::paired:
            return confirm_paired();
        case reply_kind::failed:
            return finish(event_kind::failed, run_result::failed);
        case reply_kind::invalid:
            break;
    }
    return fail(run_result::local_error,
                "protocol error: unexpected message on the reply pipe: " + hex_bytes(message));
}

// Whether BlueZ has our device paired, in `answer`; how the run ends when it
// cannot be asked.
std::optional<run_result> outcome_waiter::ask(pairing_lookup::answer &answer) {
    const auto failure =
        lookup_.is_paired(request_.address, std::max(deadline_.left_ms(), 1), answer);
    if (!failure) {
        return std::nullopt;
    }
    if (ending()) {
        return interrupted();
    }
    if (deadline_.passed()) {
        return time_out();
    }
    return fail(failure->result, failure->message);
}

std::optional<run_result> outcome_waiter::ask_bluez() {
    auto answer = pairing_lookup::answer::not_paired;
    if (auto result = ask(answer)) {
        return result;
    }
    // A failure written while BlueZ was being asked outranks its answer.
    if (auto result = read_messages()) {
        return result;
    }
    if (answer == pairing_lookup::answer::paired) {
        return finish(event_kind::paired, run_result::paired);
    }
    next_check_ = after(request_.grace);
    return std::nullopt;
}

// Six 0x01 bytes name no device: they may end a pairing that an earlier
// client gave up (killed outright, or cancelling too late) while our request
// waited in the pipe. Only BlueZ can tie them to our device; when it does not,
// our own outcome is still to come.
std::optional<run_result> outcome_waiter::confirm_paired() {
    auto answer = pairing_lookup::answer::not_paired;
    if (auto result = ask(answer)) {
        return result;
    }
    if (answer == pairing_lookup::answer::paired) {
        return finish(event_kind::paired, run_result::paired);
    }
    return std::nullopt;
}

run_result outcome_waiter::finish(event_kind kind, run_result result) {
    events_.report({kind, request_.address});
    return result;
}

// The daemon may still be pairing for us. Cancelling makes BlueZ fail it at
// once, so its outcome goes to us (about to close the pipe, which drops it)
// and not to whoever asks next.
run_result outcome_waiter::time_out() {
    lookup_.cancel_pairing(request_.address, cancel_timeout_ms);
    return finish(event_kind::timeout, run_result::timed_out);
}

// As at the time limit: whoever ends us (a CGI's time limit, Ctrl-C) must not
// leave our pairing to end for the next client.
run_result outcome_waiter::interrupted() {
    lookup_.cancel_pairing(request_.address, cancel_timeout_ms);
    return run_result::interrupted;
}

run_result outcome_waiter::fail(run_result result, std::string message) {
    events_.report({event_kind::error, std::move(message)});
    return result;
}

}  // namespace

run_result request_pairing(const pair_request &request, event_sink &events, pairing_lookup &lookup,
                           const pipe_paths &paths) {
    pair_request upper = request;
    upper.address = upper_case_address(request.address);
    // The reader must be open before the request goes out: the daemon opens
    // the reply pipe non-blocking and loses the passkey when nobody reads.
    reply_listener listener;
    auto failure = open_reply_pipe(paths.reply, listener);
    if (!listener.notice.empty()) {
        // Not an event: the run goes on as if the path had been free.
        static_cast<void>(std::fprintf(stderr, "pairgate-pair: %s\n", listener.notice.c_str()));
    }
    unique_fd request_writer;
    if (!failure) {
        failure = send_request(paths.request, upper.address, request_writer);
    }
    if (failure) {
        events.report({event_kind::error, failure->message});
        return failure->result;
    }
    return outcome_waiter(upper, events, lookup, listener.reader.get(), request_writer.get())
        .wait();
}
