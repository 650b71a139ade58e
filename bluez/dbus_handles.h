// Small owners for libdbus resources. They only release what they hold; every
// libdbus call stays visible at its call site.
#pragma once

#include <dbus/dbus.h>

#include <memory>

struct message_unref {
    void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};

// Owns one reference to a message.
using message_ptr = std::unique_ptr<DBusMessage, message_unref>;

// Takes over a reference the caller already holds (a new message, a reply).
inline message_ptr adopt_message(DBusMessage *message) {
    return message_ptr(message);
}

// Takes a reference of its own to a borrowed message.
inline message_ptr ref_message(DBusMessage *message) {
    return message_ptr(dbus_message_ref(message));
}

// A DBusError initialised on construction and freed on destruction.
class error_guard {
  public:
    error_guard() { dbus_error_init(&error_); }
    ~error_guard() { dbus_error_free(&error_); }
    error_guard(const error_guard &) = delete;
    error_guard &operator=(const error_guard &) = delete;

    DBusError *get() { return &error_; }
    explicit operator bool() const { return dbus_error_is_set(&error_) != 0; }

  private:
    DBusError error_;
};

// The text of an error record for a log line; never null.
inline const char *error_text(const DBusError *error) {
    if (dbus_error_is_set(error) && error->message != nullptr) {
        return error->message;
    }
    return "no error details";
}
