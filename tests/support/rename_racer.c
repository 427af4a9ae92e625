/* An attacker on the update directory for the tests:
 *
 *   rename_racer DIR NAME=SOURCE...
 *
 * watches DIR and, the moment a file NAME that was open for writing is
 * closed, renames SOURCE over it (once per NAME) and then creates
 * "NAME.go", which lets a reader held by the fault shim (FAULT_HOLD_PATH
 * with FAULT_HOLD_READS) go on: the race is then won every time. Prints
 * "ready" when the watch is in place; ends when every NAME was replaced. */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int fd = inotify_init1(IN_CLOEXEC);
  if (fd < 0 || inotify_add_watch(fd, argv[1], IN_CLOSE_WRITE) < 0) return 1;
  puts("ready");
  fflush(stdout);
  int left = argc - 2;
  char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  while (left > 0) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return 1;
    for (char* p = buffer; p < buffer + n;) {
      struct inotify_event* e = (struct inotify_event*)p;
      p += sizeof *e + e->len;
      for (int i = 2; e->len > 0 && i < argc; i++) {
        size_t name_length = strcspn(argv[i], "=");
        if (argv[i][name_length] != '=' || strlen(e->name) != name_length ||
            strncmp(argv[i], e->name, name_length) != 0)
          continue;
        char target[PATH_MAX];
        snprintf(target, sizeof target, "%s/%s", argv[1], e->name);
        if (rename(argv[i] + name_length + 1, target) == 0) left--;
        strncat(target, ".go", sizeof target - strlen(target) - 1);
        FILE* go = fopen(target, "w");
        if (go != NULL) fclose(go);
        argv[i][name_length] = '\0'; /* once per name */
      }
    }
  }
  return 0;
}
