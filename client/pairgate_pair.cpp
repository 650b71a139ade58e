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
    printing_sink events(parsed.options.json);
    bluez_lookup bluez;
    return exit_status(request_pairing(request, events, bluez));
}
