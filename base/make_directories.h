// mkdir -p, for the directories a program writes its output into.
#pragma once

#include <string>

// Makes `dir` and every missing directory on the way to it (mode 0755, less
// the umask). OK when `dir` is a directory afterwards, else ERR_WRITE with
// errno set.
int make_directories(const std::string& dir);
