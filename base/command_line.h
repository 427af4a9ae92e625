// The command-line conventions every program of the system follows: -h and
// --help print the usage and the options on standard output (exit 0), -V
// and --version print the program's name and version (exit 0), a wrong call
// prints the usage on standard error (exit 2), and an old spelling of an
// option still works for a release, with one line on standard error.
#pragma once

constexpr int kExitUsage = 2;

// When argv[1] is -h, --help, -V or --version: prints what it asks for and
// returns true, the program then exits with 0. `usage` and `help` are the
// program's texts; `help` ends with its exit statuses.
bool standard_option(int argc, char** argv, const char* program, const char* usage, const char* help);

// Prints `usage` on standard error; returns kExitUsage.
int usage_error(const char* usage);

// Says on standard error that `old_spelling` is deprecated for `spelling`.
void deprecated_option(const char* program, const char* old_spelling, const char* spelling);
