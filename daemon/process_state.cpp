// Storage for the state declared in process_state.h.
#include "daemon/process_state.h"

int pairable_state = -1;
int web_pairing_state = 0;
char adapter_path[adapter_path_max + 1] = "";
volatile sig_atomic_t stop_requested = 0;
pairing_request_record pairing_request = {};
char bluez_owner[bus_name_max + 1] = "";
