// Unit tests of code that logs: this executable keeps every line logged.
#pragma once

#include <string>
#include <vector>

// "PRIORITY TEXT" per line logged since the last clear().
std::vector<std::string> &logged_lines();
