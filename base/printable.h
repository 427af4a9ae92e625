// Text from outside (file names, entry names, link targets) as a terminal
// may show it: control characters escaped, so that a name cannot clear the
// screen or set the window title of whoever reads a tool's report.
#pragma once

#include <string>

// `text` with every byte below 0x20, and 0x7f, written as \n, \r, \t or \xNN,
// and every backslash doubled; other bytes (UTF-8 included) unchanged.
std::string printable(const std::string& text);
