// The update log stream and the process-wide update directory.
#include "base/log.h"

#include <cstdarg>

const char* update_dir = nullptr;
FILE* log_file = nullptr;

int log_printf(const char* format, ...) {
  if (log_file == nullptr) return 0;
  va_list args;
  va_start(args, format);
  int n = vfprintf(log_file, format, args);
  va_end(args);
  fflush(log_file);
  return n;
}
