// The two output forms of pairgate-pair: lines for a person, JSON lines for a CGI.
#include "client/client_output.h"

#include <cstdio>
#include <iterator>

#include "common/reply_message.h"

namespace {

bool is_continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_continuation(byte(i))) {
            return 0;
        }
    }
    return length;
}

namespace {

void append_escaped_ascii(std::string &out, char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    const auto code = static_cast<unsigned char>(c);
    if (code < 0x20 || code == 0x7F) {
        out += "\\u00";
        append_hex_byte(out, code);
        return;
    }
    out += c;
}

// Each event's name and the field that carries its text (none for a
// timeout), in the order of event_kind.
struct event_form {
    const char *name;
    const char *field;
};
constexpr event_form event_forms[] = {{"passkey", "passkey"},
                                      {"paired", "address"},
                                      {"failed", "address"},
                                      {"timeout", nullptr},
                                      {"error", "message"}};
static_assert(std::size(event_forms) == static_cast<std::size_t>(event_kind::error) + 1);

}  // namespace

std::string json_quoted(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        if (static_cast<unsigned char>(text[0]) < 0x80) {
            append_escaped_ascii(out, text[0]);
            text.remove_prefix(1);
            continue;
        }
        const std::size_t length = utf8_sequence_length(text);
        if (length == 0) {
            out += "\\ufffd";
            text.remove_prefix(1);
            continue;
        }
        out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    out += '"';
    return out;
}

json_object &json_object::member(std::string_view name, std::string_view json_value) {
    if (body_.size() > 1) {
        body_ += ',';
    }
    body_ += json_quoted(name);
    body_ += ':';
    body_ += json_value;
    return *this;
}

json_object &json_object::text(std::string_view name, std::string_view value) {
    return member(name, json_quoted(value));
}

json_object &json_object::flag(std::string_view name, bool value) {
    return member(name, value ? "true" : "false");
}

json_object &json_object::number(std::string_view name, long value) {
    return member(name, std::to_string(value));
}

std::string json_line(const client_event &event) {
    const event_form &form = event_forms[static_cast<std::size_t>(event.kind)];
    json_object line;
    line.text("event", form.name);
    if (form.field != nullptr) {
        line.text(form.field, event.text);
    }
    return line.str();
}

std::string human_line(const client_event &event) {
    switch (event.kind) {
        case event_kind::passkey:
            return "Passkey: " + event.text;
        case event_kind::paired:
            return "Paired with " + event.text;
        case event_kind::failed:
            return "Pairing with " + event.text + " failed";
        case event_kind::timeout:
            return "Pairing with " + event.text + " timed out";
        case event_kind::error:
            break;
    }
    return "pairgate-pair: " + event.text;
}

bool is_error_line(const client_event &event) {
    return event.kind == event_kind::error;
}

void printing_sink::report(const client_event &event) {
    std::FILE *stream = !json_ && is_error_line(event) ? stderr : stdout;
    const std::string line = (json_ ? json_line(event) : human_line(event)) + "\n";
    // Nothing useful is left to do when the caller stopped reading.
    static_cast<void>(std::fwrite(line.data(), 1, line.size(), stream));
    // The caller may be a CGI relaying each line to a browser as it comes.
    static_cast<void>(std::fflush(stream));
}
