// The programs' shared command-line conventions.
#include "base/command_line.h"

#include <cstdio>
#include <cstring>

#include "base/version.h"

bool standard_option(int argc, char** argv, const char* program, const char* usage, const char* help) {
  if (argc < 2) return false;
  const char* a = argv[1];
  if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
    fputs(usage, stdout);
    fputs(help, stdout);
    return true;
  }
  if (strcmp(a, "-V") == 0 || strcmp(a, "--version") == 0) {
    printf("%s %s\n", program, kUpdaterVersion);
    return true;
  }
  return false;
}

int usage_error(const char* usage) {
  fputs(usage, stderr);
  return kExitUsage;
}

void deprecated_option(const char* program, const char* old_spelling, const char* spelling) {
  fprintf(stderr, "%s: %s is deprecated; use %s\n", program, old_spelling, spelling);
}
