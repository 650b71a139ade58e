// pairgate-pair's command line: the input's zero bytes separate the
// arguments. Accepted times must lie within their documented range.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "client/client_options.h"

namespace {

bool in_range(std::chrono::milliseconds time) {
    return time.count() >= 100 && time.count() <= 86400000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> arguments;
    std::size_t start = 0;
    while (start <= input.size()) {
        const std::size_t zero = std::min(input.find('\0', start), input.size());
        arguments.emplace_back(input.data() + start, zero - start);
        start = zero + 1;
    }
    const parsed_options parsed = parse_client_options(arguments);
    if (parsed.usage_error.empty() && !parsed.options.help &&
        (!in_range(parsed.options.timeout) || !in_range(parsed.options.grace))) {
        abort();
    }
    const auto seconds = parse_seconds(input);
    if (seconds && !in_range(*seconds)) {
        abort();
    }
    return 0;
}
