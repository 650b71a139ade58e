// The command line of pairgate-pair.
#include "client/client_options.h"

#include <getopt.h>

#include <cstring>

#include "client/address_text.h"

namespace {

constexpr long long min_milliseconds = 100;
constexpr long long max_milliseconds = 86400LL * 1000;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, at most `max_digits` of them; none for anything else.
std::optional<long long> parse_digits(std::string_view text, std::size_t max_digits) {
    if (text.empty() || text.size() > max_digits) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) {
        if (!is_digit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// The options getopt_long knows; the value is the short name or a code of
// our own for those without one.
enum option_code : int { json_code = 'j', list_code = 'l', timeout_code = 't', grace_code = 'g' };

constexpr option long_options[] = {
    {"json", no_argument, nullptr, json_code},
    {"list", no_argument, nullptr, list_code},
    {"timeout", required_argument, nullptr, timeout_code},
    {"grace", required_argument, nullptr, grace_code},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

std::string seconds_option(const char *name, const char *value, std::chrono::milliseconds &target) {
    const auto seconds = parse_seconds(value);
    if (!seconds) {
        return std::string(name) + " takes seconds from 0.1 to 86400, not \"" + value + "\"";
    }
    target = *seconds;
    return {};
}

// What getopt_long refused, as the usage error. argv[optind - 1] is the
// argument it stopped at when that was a long option.
std::string refused_option(int code, char *const *argv) {
    const char *name = code == timeout_code ? "--timeout"
                       : code == grace_code ? "--grace"
                                            : nullptr;
    if (name != nullptr) {
        return std::string(name) + " needs a number of seconds";
    }
    const char *argument = argv[optind - 1];
    if (strncmp(argument, "--", 2) == 0 || optopt == 0) {
        return "unknown option " + std::string(argument);
    }
    return "unknown option -" + std::string(1, static_cast<char>(optopt));
}

// Handles one option getopt_long returned; the usage error, empty when good.
std::string take_option(int code, char *const *argv, client_options &options) {
    switch (code) {
        case json_code:
            options.json = true;
            return {};
        case list_code:
            options.list = true;
            return {};
        case timeout_code:
            return seconds_option("--timeout", optarg, options.timeout);
        case grace_code:
            return seconds_option("--grace", optarg, options.grace);
        case ':':
            return refused_option(optopt, argv);
        default:
            return refused_option(0, argv);
    }
}

}  // namespace

std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text) {
    const std::size_t dot = text.find('.');
    const auto whole = parse_digits(text.substr(0, dot), 5);
    if (!whole) {
        return std::nullopt;
    }
    long long milliseconds = *whole * 1000;
    if (dot != std::string_view::npos) {
        std::string decimals(text.substr(dot + 1));
        const auto fraction = parse_digits(decimals, 3);
        if (!fraction) {
            return std::nullopt;
        }
        decimals.resize(3, '0');
        milliseconds += *parse_digits(decimals, 3);
    }
    if (milliseconds < min_milliseconds || milliseconds > max_milliseconds) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(milliseconds);
}

parsed_options parse_client_options(const std::vector<std::string_view> &arguments) {
    parsed_options parsed;
    // getopt_long takes argv as main() has it: a program name, then the arguments.
    std::vector<std::string> texts{"pairgate-pair"};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &text : texts) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(texts.size());
    optind = 0;  // starts afresh, as for a new program
    opterr = 0;  // the usage error says what went wrong
    for (int code; (code = getopt_long(argc, argv.data(), ":h", long_options, nullptr)) != -1;) {
        if (code == 'h') {
            parsed.options.help = true;
            return parsed;
        }
        parsed.usage_error = take_option(code, argv.data(), parsed.options);
        if (!parsed.usage_error.empty()) {
            return parsed;
        }
    }
    const std::vector<std::string_view> positional(argv.begin() + optind, argv.end() - 1);
    if (parsed.options.list) {
        if (!positional.empty()) {
            parsed.usage_error = "--list takes no device address";
        }
        return parsed;
    }
    if (positional.size() != 1) {
        parsed.usage_error =
            positional.empty() ? "no device address given" : "only one device address can be given";
        return parsed;
    }
    if (!is_colon_address(positional[0])) {
        parsed.usage_error =
            "\"" + std::string(positional[0]) + "\" is not a device address like 00:1A:7D:DA:71:13";
        return parsed;
    }
    parsed.options.address = std::string(positional[0]);
    return parsed;
}

std::string usage_text() {
    return R"(Usage: pairgate-pair [--timeout SECONDS] [--grace SECONDS] [--json] ADDRESS
       pairgate-pair --list [--timeout SECONDS] [--json]
       pairgate-pair --help

Asks pairgated to pair the gateway's Bluetooth adapter with the device ADDRESS
(six pairs of hex digits separated by colons, such as 00:1A:7D:DA:71:13; letters
are sent in upper case), shows the passkey as soon as it is known, and reports
the outcome. With --list, it shows instead every adapter (address, pairable,
discoverable), then the devices BlueZ knows under its first adapter: address,
name, paired, trusted, connected and RSSI.

Options:
  --timeout SECONDS  give up after this long in all (default 60)
  --grace SECONDS    after a passkey, how long to wait for a failure before
                     asking BlueZ whether the device is paired, and again
                     between later checks (default 2)
  --json             print one JSON object per line on standard output:
                       {"event":"passkey","passkey":"000042"}
                       {"event":"paired","address":"00:1A:7D:DA:71:13"}
                       {"event":"failed","address":"00:1A:7D:DA:71:13"}
                       {"event":"timeout"}
                       {"event":"error","message":"pairgated is not running"}
                     with --list, one per adapter, then one per device:
                       {"event":"adapter","adapter":"/org/bluez/hci0",
                        "address":"00:AA:01:00:00:00","pairable":false,
                        "discoverable":false}
                       {"event":"device","address":"00:1A:7D:DA:71:13",
                        "name":"Phone","paired":false,"trusted":false,
                        "connected":false,"rssi":-60}
  --list             list the devices; --timeout bounds BlueZ's answer
  -h, --help         show this text
SECONDS may have up to three decimals and lies between 0.1 and 86400.

Exit status:
  0  paired
  1  pairing failed
  2  usage error
  3  pairgated is not running
  4  timed out
  5  other local error (a pipe that cannot be created or opened, a message
     that makes no sense, the system bus or BlueZ unreachable when asked)
  6  another pairgate-pair is already waiting (another pairing is running)
)";
}
