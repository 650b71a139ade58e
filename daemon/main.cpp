// pairgated: the gateway's Bluetooth pairing agent. Reads no command line and
// no environment; its configuration is the settings file.
#include "daemon/lifecycle.h"

int main() {
    return run_daemon();
}
