// pairgate-pair: asks pairgated to pair with a device and reports the passkey
// and the outcome, for the web UI's CGI and for an installer at a shell.
#include <csignal>
#include <cstdio>
#include <string_view>
#include <vector>

#include "client/bluez_lookup.h"
#include "client/client_options.h"
#include "client/client_output.h"
#include "client/device_list.h"
#include "client/pair_client.h"

namespace {

volatile sig_atomic_t ending_signal = 0;

void note_ending_signal(int number) {
    ending_signal = number;
}

constexpr int ending_signals[] = {SIGTERM, SIGINT, SIGHUP};

// Catches the signals that end a run, blocked everywhere but in the wait for
// the reply (`wait_mask`), where the run notices them and cancels its pairing.
void take_ending_signals(sigset_t &wait_mask) {
    sigset_t blocked;
    sigemptyset(&blocked);
    struct sigaction action {};
    action.sa_handler = note_ending_signal;
    sigemptyset(&action.sa_mask);
    for (const int number : ending_signals) {
        sigaddset(&blocked, number);
        static_cast<void>(sigaction(number, &action, nullptr));
    }
    static_cast<void>(sigprocmask(SIG_BLOCK, &blocked, &wait_mask));
    // Also when our caller left them blocked: they must reach the wait.
    for (const int number : ending_signals) {
        sigdelset(&wait_mask, number);
    }
}

// Ends the process by the signal that asked it to end, as it would have
// without a handler, so that the caller sees what ended it.
int end_by_signal(int number) {
    static_cast<void>(std::signal(number, SIG_DFL));
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    static_cast<void>(sigprocmask(SIG_UNBLOCK, &only, nullptr));
    static_cast<void>(raise(number));
    return 128 + number;
}

int usage_failure(const parsed_options &parsed) {
    printing_sink(parsed.options.json).report({event_kind::error, parsed.usage_error});
    static_cast<void>(std::fputs("Try 'pairgate-pair --help'.\n", stderr));
    return exit_status(run_result::usage_error);
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const parsed_options parsed = parse_client_options(arguments);
    if (parsed.options.help) {
        static_cast<void>(std::fputs(usage_text().c_str(), stdout));
        return 0;
    }
    if (!parsed.usage_error.empty()) {
        return usage_failure(parsed);
    }
    // A daemon that dies between our open and our write must give EPIPE, not
    // end us silently; likewise a CGI reader that went away.
    static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
    if (parsed.options.list) {
        const auto timeout_ms = static_cast<int>(parsed.options.timeout.count());
        return list_devices(parsed.options.json, timeout_ms) ? 0
                                                             : exit_status(run_result::local_error);
    }

    pair_request request;
    request.address = parsed.options.address;
    request.timeout = parsed.options.timeout;
    request.grace = parsed.options.grace;
    sigset_t wait_mask;
    take_ending_signals(wait_mask);
    request.ending_signal = &ending_signal;
    request.wait_mask = &wait_mask;
    printing_sink events(parsed.options.json);
    bluez_lookup bluez(&ending_signal, &wait_mask);
    const run_result result = request_pairing(request, events, bluez);
    if (result == run_result::interrupted) {
        return end_by_signal(ending_signal);
    }
    return exit_status(result);
}
