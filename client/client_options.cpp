// The command line of pairgate-pair.
#include "client/client_options.h"

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

// The value of an option that takes one: "--name=VALUE" or "--name VALUE".
// Advances `index` past what it used; none when the value is missing.
std::optional<std::string_view> option_value(const std::vector<std::string_view> &arguments,
                                             std::size_t &index, std::string_view name) {
    const std::string_view argument = arguments[index];
    if (argument.size() > name.size() && argument[name.size()] == '=') {
        return argument.substr(name.size() + 1);
    }
    if (index + 1 >= arguments.size()) {
        return std::nullopt;
    }
    return arguments[++index];
}

bool is_option(std::string_view argument, std::string_view name) {
    return argument.substr(0, name.size()) == name &&
           (argument.size() == name.size() || argument[name.size()] == '=');
}

// Handles the option at `index`; returns the usage error, empty when it was good.
std::string take_option(const std::vector<std::string_view> &arguments, std::size_t &index,
                        client_options &options) {
    const std::string_view argument = arguments[index];
    if (argument == "--json") {
        options.json = true;
        return {};
    }
    if (argument == "--list") {
        options.list = true;
        return {};
    }
    for (auto [name, target] : {std::pair{std::string_view("--timeout"), &options.timeout},
                                std::pair{std::string_view("--grace"), &options.grace}}) {
        if (!is_option(argument, name)) {
            continue;
        }
        const auto value = option_value(arguments, index, name);
        if (!value) {
            return std::string(name) + " needs a number of seconds";
        }
        const auto seconds = parse_seconds(*value);
        if (!seconds) {
            return std::string(name) + " takes seconds from 0.1 to 86400, not \"" +
                   std::string(*value) + "\"";
        }
        *target = *seconds;
        return {};
    }
    return "unknown option " + std::string(argument);
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
    std::vector<std::string_view> positional;
    bool options_ended = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (options_ended || argument.empty() || argument[0] != '-') {
            positional.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "-h") {
            parsed.options.help = true;
            return parsed;
        } else {
            parsed.usage_error = take_option(arguments, i, parsed.options);
            if (!parsed.usage_error.empty()) {
                return parsed;
            }
        }
    }
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
the outcome. With --list, it shows the devices BlueZ knows under its first
adapter instead: address, name, paired, trusted, connected and RSSI.

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
                     with --list, one object per device:
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
  5  other local error (a pipe that cannot be created or opened, another
     pairgate-pair already waiting, a message that makes no sense, the system
     bus or BlueZ unreachable when asked)
)";
}
