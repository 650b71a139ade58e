// How a run of pairgate-pair ends, and the exit status each ending has.
#include "client/run_result.h"

int exit_status(run_result result) {
    switch (result) {
        case run_result::paired:
            return 0;
        case run_result::failed:
            return 1;
        case run_result::usage_error:
            return 2;
        case run_result::not_running:
            return 3;
        case run_result::timed_out:
            return 4;
        case run_result::busy:
            return 6;
        case run_result::local_error:
        case run_result::interrupted:
            break;
    }
    return 5;
}
