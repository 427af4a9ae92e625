// update-client: the update client's calls from the command line, on the
// library's API.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/update_client.h"

namespace {

const char kUsage[] =
    "usage: update-client check  METADATA_URL CURRENT_VERSION UPDATE_DIR --root ROOT_FILE [OPTIONS]\n"
    "       update-client fetch  METADATA_URL CURRENT_VERSION UPDATE_DIR --root ROOT_FILE [OPTIONS]\n"
    "       update-client apply  UPDATE_DIR [--updater PATH] [working-dir callback args...]\n"
    "       update-client status UPDATE_DIR\n"
    "OPTIONS: --channel NAME      the channel followed (stable)\n"
    "         --manual            a check the user asked for: do not wait for the rollout\n"
    "         --public-key FILE   the updater's key file: check the package as it will\n"
    "         --deadline SECONDS  the most one download may take (600)\n"
    "         --time UNIX_TIME    the time taken as now for expiry and rollouts\n"
    "Exit status: 0 success, 1 other failure, 2 wrong call, 3 network (try again later),\n"
    "4 refused (does not verify, older, expired), 5 local (update directory, disk).\n";

int usage() {
  fputs(kUsage, stderr);
  return 2;
}

// One line rewritten in place on a terminal.
int show_progress(long long done, long long total, void*) {
  fprintf(stderr, "\r\033[Kupdate-client: %lld of %lld bytes", done, total);
  fflush(stderr);
  return 0;
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

bool take_flag(std::vector<const char*>* args, const char* name) {
  for (size_t i = 0; i < args->size(); i++) {
    if (strcmp((*args)[i], name) != 0) continue;
    args->erase(args->begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

int exit_code(int rc) {
  switch (rc) {
    case UPDATE_CLIENT_OK: return 0;
    case UPDATE_CLIENT_ERR_USAGE: return 2;
    case UPDATE_CLIENT_ERR_NETWORK: return 3;
    case UPDATE_CLIENT_ERR_REFUSED: return 4;
    case UPDATE_CLIENT_ERR_LOCAL: return 5;
    default: return 1;
  }
}

int finish(update_client* client, int rc) {
  fprintf(rc == UPDATE_CLIENT_OK ? stdout : stderr, "%s%s\n", rc == UPDATE_CLIENT_OK ? "" : "update-client: ",
          update_client_message(client));
  const char* notes = update_client_get_offer(client)->notes;
  if (rc == UPDATE_CLIENT_OK && notes[0] != '\0') printf("notes: %s%s", notes, notes[strlen(notes) - 1] == '\n' ? "" : "\n");
  return exit_code(rc);
}

// check and fetch: the settings from the arguments, then the call.
int check_or_fetch(update_client* client, bool fetch, std::vector<const char*> args) {
  const char *root = nullptr, *channel = nullptr, *key = nullptr, *old_key = nullptr, *deadline = nullptr,
             *time = nullptr;
  bool manual = take_flag(&args, "--manual");
  if (!take_option(&args, "--root", &root) || !take_option(&args, "--channel", &channel) ||
      !take_option(&args, "--public-key", &key) || !take_option(&args, "--key", &old_key) ||
      !take_option(&args, "--deadline", &deadline) || !take_option(&args, "--time", &time) ||
      args.size() != 3 || root == nullptr)
    return usage();
  if (old_key != nullptr) {
    fputs("update-client: --key is deprecated; use --public-key\n", stderr);
    if (key == nullptr) key = old_key;
  }
  int rc = update_client_set_metadata_url(client, args[0]);
  if (rc == UPDATE_CLIENT_OK) rc = update_client_set_current_version(client, args[1]);
  if (rc == UPDATE_CLIENT_OK) rc = update_client_set_update_dir(client, args[2]);
  if (rc == UPDATE_CLIENT_OK) rc = update_client_set_trusted_root(client, root);
  if (rc == UPDATE_CLIENT_OK && channel != nullptr) rc = update_client_set_channel(client, channel);
  if (rc == UPDATE_CLIENT_OK && key != nullptr) rc = update_client_set_public_key(client, key);
  if (rc == UPDATE_CLIENT_OK && deadline != nullptr) rc = update_client_set_deadline(client, atol(deadline));
  if (rc == UPDATE_CLIENT_OK && time != nullptr) rc = update_client_set_time(client, atoll(time));
  if (rc == UPDATE_CLIENT_OK) rc = update_client_set_manual(client, manual);
  if (rc != UPDATE_CLIENT_OK) return finish(client, rc);
  bool terminal = fetch && isatty(STDERR_FILENO);
  if (terminal) update_client_set_progress(client, show_progress, nullptr);
  rc = fetch ? update_client_fetch(client) : update_client_check(client);
  if (terminal && update_client_get_offer(client)->downloaded > 0) fputs("\r\033[K", stderr);
  return finish(client, rc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0)) {
    printf("update-client %s\n", update_client_version());
    return 0;
  }
  if (argc < 3) return usage();
  std::string command = argv[1];
  std::vector<const char*> args(argv + 2, argv + argc);
  // Freed however main returns.
  std::unique_ptr<update_client, void (*)(update_client*)> owner(update_client_new(), update_client_free);
  update_client* client = owner.get();
  if (client == nullptr) {
    fputs("update-client: out of memory\n", stderr);
    return 1;
  }
  if (command == "check" || command == "fetch") return check_or_fetch(client, command == "fetch", args);
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
    update_client_set_update_dir(client, args[0]);
    // The caller of update-client is the application that will exit.
    return finish(client, update_client_apply(client, updater, static_cast<long>(getppid()), relaunch.data()));
  }
  if (command == "status" && args.size() == 1) {
    update_client_set_update_dir(client, args[0]);
    return finish(client, update_client_status(client));
  }
  return usage();
}
