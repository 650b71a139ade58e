// The command line of pairgate-pair.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct client_options {
    std::string address;  // as given; checked, not yet normalised
    std::chrono::milliseconds timeout{60000};
    std::chrono::milliseconds grace{2000};
    bool json = false;
    bool list = false;  // list the devices instead of pairing one
    bool help = false;
};

// Either the options or the reason they are not usable.
struct parsed_options {
    client_options options;
    std::string usage_error;  // empty when the command line is good
};

// Reads the arguments after the program name. With --help the rest is not checked.
parsed_options parse_client_options(const std::vector<std::string_view> &arguments);

// "2", "0.5", "90.125": a number of seconds with at most three decimals, from
// 0.1 to 86400; none for anything else.
std::optional<std::chrono::milliseconds> parse_seconds(std::string_view text);

// The text of --help.
std::string usage_text();
