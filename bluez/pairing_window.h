// The pairing window on the adapter: whether the daemon holds the adapter
// pairable (the binary input reads active) or shut. Decided and written by
// daemon/pairable_control.cpp alone; declared here, below the agent, which
// reads it to know whether a confirmation is expected.
#pragma once

enum class pairable : int {
    undecided = -1,  // before the loop's first decision
    closed = 0,
    open = 1,
};
inline pairable pairable_state = pairable::undecided;
