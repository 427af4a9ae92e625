// update-client: the update client's four calls from the command line.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/update_client.h"

namespace {

const char kUsage[] =
    "usage: update-client check  FEED_URL CURRENT_VERSION [--key PUBLIC_KEY_FILE]\n"
    "       update-client fetch  FEED_URL CURRENT_VERSION UPDATE_DIR --key PUBLIC_KEY_FILE\n"
    "       update-client apply  UPDATE_DIR [--updater PATH] [working-dir callback args...]\n"
    "       update-client status UPDATE_DIR\n";

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// One line rewritten in place on a terminal.
void show_progress(long long done, long long total, void*) {
  fprintf(stderr, "\r\033[Kupdate-client: %lld of %lld bytes", done, total);
  fflush(stderr);
}

// Takes "NAME VALUE" out of args when present; false when NAME has no value.
bool take_option(std::vector<const char*>* args, const char* name, const char** value) {
  for (size_t i = 0; i < args->size(); i++) {
    if (strcmp((*args)[i], name) != 0) continue;
    if (i + 1 >= args->size()) return false;
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

int finish(int rc, const char* message) {
  fprintf(rc == UPDATE_CLIENT_OK ? stdout : stderr, "%s%s\n",
          rc == UPDATE_CLIENT_OK ? "" : "update-client: ", message);
  if (rc == UPDATE_CLIENT_OK) return 0;
  return rc == UPDATE_CLIENT_ERR_USAGE ? 2 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc < 3) return usage();
  std::string command = argv[1];
  std::vector<const char*> args(argv + 2, argv + argc);
  char message[4096];
  const char* key = nullptr;

  if (command == "check" || command == "fetch") {
    if (!take_option(&args, "--key", &key)) return usage();
    update_client_offer offer;
    if (command == "check") {
      if (args.size() != 2) return usage();
      return finish(update_client_check(args[0], args[1], key, &offer, message, sizeof message),
                    message);
    }
    if (args.size() != 3 || key == nullptr) return usage();
    bool terminal = isatty(STDERR_FILENO);
    int rc = update_client_fetch(args[0], args[1], args[2], key, terminal ? show_progress : nullptr,
                                 nullptr, &offer, message, sizeof message);
    if (terminal && offer.downloaded > 0) fputs("\r\033[K", stderr);
    return finish(rc, message);
  }
  if (command == "apply") {
    const char* updater = nullptr;
    // --updater only before the callback's own arguments, which are passed on as they are.
    if (args.size() >= 2 && strcmp(args[1], "--updater") == 0) {
      if (args.size() < 3) return usage();
      updater = args[2];
      args.erase(args.begin() + 1, args.begin() + 3);
    }
    if (args.size() == 2) return usage();  // a working directory needs its callback
    std::vector<const char*> relaunch(args.begin() + 1, args.end());
    relaunch.push_back(nullptr);
    // The caller of update-client is the application that will exit.
    return finish(update_client_apply(args[0], updater, static_cast<long>(getppid()),
                                      relaunch.data(), message, sizeof message),
                  message);
  }
  if (command == "status") {
    if (args.size() != 1) return usage();
    return finish(update_client_status(args[0], message, sizeof message), message);
  }
  return usage();
}
