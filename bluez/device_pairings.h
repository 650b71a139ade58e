// When the pairing of each device of the selected adapter began, as the
// trust rule judged it, and which devices BlueZ had paired before: BlueZ
// announces a responder's Paired only after its service discovery, a second
// or more after the pairing, and announces a stored bond paired again after
// the first service discovery of a new run. This file is the one writer of
// the table; the adapter's selection fills it from BlueZ's object list, the
// following of BlueZ, the trust rule and the end of a web pairing from
// BlueZ's signals and answers.
//
// The table is fixed: device_pairings_max devices. When it is full, a device
// is not recorded, and its Paired is judged by the window when it is
// announced, as if nothing were known of it: a device that began pairing
// with the window open may then be removed, never a stranger trusted.
#pragma once

#include <dbus/dbus.h>

#include <cstddef>

enum class pairing_began : unsigned char {
    unseen,         // no sign of a pairing yet, or not recorded
    window_open,    // with the window open and no web pairing under way: trusted once paired
    window_closed,  // with the window closed: removed
    other_pairing,  // during the web pairing of another device: removed
    before,         // paired already: exported paired or bonded, paired on request, or trusted
};

inline constexpr std::size_t device_pairings_max = 64;

// What is recorded of the device at object path device.
pairing_began device_pairing(const char *device);

// Records state for the device; false when it was not recorded (not a
// device of the selected adapter, the table full, or a path longer than any
// BlueZ gives a device).
bool note_device_pairing(const char *device, pairing_began state);

void forget_device_pairing(const char *device);

// Forgets every device: the adapter is gone, or BlueZ.
void forget_device_pairings();

// BlueZ's InterfacesRemoved, known to come from BlueZ: a device removed is
// forgotten.
void device_pairings_removed(DBusMessage *message);
