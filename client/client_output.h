// The two output forms of pairgate-pair: lines for a person, JSON lines for a CGI.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "client/client_events.h"

// Length of the valid UTF-8 sequence at the start of `text`, or 0 when it is
// not one (stray continuation byte, overlong form, surrogate, beyond U+10FFFF).
std::size_t utf8_sequence_length(std::string_view text);

// `text` as a JSON string literal, quotes included. Bytes that are not valid
// UTF-8 become U+FFFD so that the line stays valid JSON whatever the text.
std::string json_quoted(std::string_view text);

// One JSON object, written member by member in order:
// json_object().text("event", "device").flag("paired", true).str()
// gives {"event":"device","paired":true}.
class json_object {
  public:
    json_object &text(std::string_view name, std::string_view value);
    json_object &flag(std::string_view name, bool value);
    json_object &number(std::string_view name, long value);
    std::string str() const { return body_ + "}"; }

  private:
    json_object &member(std::string_view name, std::string_view json_value);

    std::string body_ = "{";
};

// One JSON object for the event, without the line end.
std::string json_line(const client_event &event);

// The human-readable line for the event, without the line end.
std::string human_line(const client_event &event);

// Whether the event goes to standard error in the human-readable form.
bool is_error_line(const client_event &event);

// Prints every event at once as one line, so a CGI can pass each on as it comes.
class printing_sink : public event_sink {
  public:
    explicit printing_sink(bool json) : json_(json) {}
    void report(const client_event &event) override;

  private:
    bool json_;
};
