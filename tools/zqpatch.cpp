// zqpatch: applies a patch file, with the same header check, source check
// and applier as the updater's patch action.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/command_line.h"
#include "base/fd.h"
#include "base/status.h"
#include "patch/patch_apply.h"
#include "patch/patch_format.h"

namespace {

const char kUsage[] = "usage: zqpatch OLD NEW PATCH\n       zqpatch -h|--help|-V|--version\n";
const char kHelp[] =
    "Writes NEW from OLD and PATCH with the updater's own checks and applier.\n"
    "Exit status: 0 written, 1 failed, 2 wrong call, 3 OLD is not the file the\n"
    "patch was made for, 4 malformed patch.\n";

// Exit codes: a script tells a wrong OLD from a broken patch without
// parsing messages.
constexpr int kExitFailure = 1;
constexpr int kExitWrongSource = 3;
constexpr int kExitBadPatch = 4;

int fail(int code, const char* path, const char* what) {
  fprintf(stderr, "zqpatch: %s: %s\n", path, what);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (standard_option(argc, argv, "zqpatch", kUsage, kHelp)) return 0;
  if (argc != 4) return usage_error(kUsage);
  const char* old_path = argv[1];
  const char* new_path = argv[2];
  const char* patch_path = argv[3];

  UniqueFd patch(open(patch_path, O_RDONLY));
  if (patch.fd < 0) return fail(kExitFailure, patch_path, "cannot open the patch");
  PatchHeader header;
  int rc = read_patch_header(patch.fd, &header);
  if (rc == ERR_READ) return fail(kExitBadPatch, patch_path, "not a patch (shorter than its header)");
  if (rc != OK)
    return fail(kExitBadPatch, patch_path,
                "not a patch zqpatch knows (wrong magic, version, transform or block sizes)");

  UniqueFd source(open(old_path, O_RDONLY));
  if (source.fd < 0) return fail(kExitFailure, old_path, "cannot open it");
  struct stat st;
  if (fstat(source.fd, &st) != 0) return fail(kExitFailure, old_path, "cannot examine it");
  unsigned char* source_data = nullptr;
  rc = LoadSourceFile(&header, source.fd, &source_data);
  std::unique_ptr<unsigned char, decltype(&free)> owned(source_data, free);
  if (rc == ERR_BAD_DATA) {
    fprintf(stderr, "zqpatch: %s: wrong file: %lld bytes, the patch is for %u bytes\n", old_path,
            static_cast<long long>(st.st_size), header.source_size);
    return kExitWrongSource;
  }
  if (rc == ERR_CRC_MISMATCH)
    return fail(kExitWrongSource, old_path, "wrong file: its CRC is not the one the patch is for");
  if (rc == ERR_NO_MEMORY) return fail(kExitFailure, old_path, "not enough memory to load it");
  if (rc != OK) return fail(kExitFailure, old_path, "cannot read it");

  // The result goes to a temporary name beside NEW and is renamed at the
  // end, so a failed run never leaves a partial NEW behind.
  std::string temp = std::string(new_path) + ".XXXXXX";
  UniqueFd out(mkstemp(&temp[0]));
  if (out.fd < 0) return fail(kExitFailure, new_path, "cannot create it");
  fchmod(out.fd, st.st_mode & 07777);
  rc = apply_patch(&header, patch.fd, owned.get(), out.fd);
  if (out.close_checked() != 0 && rc == OK) rc = ERR_WRITE;
  if (rc == OK && rename(temp.c_str(), new_path) != 0) rc = ERR_WRITE;
  if (rc != OK) {
    unlink(temp.c_str());
    if (rc == ERR_BAD_DATA)
      return fail(kExitBadPatch, patch_path,
                  "malformed patch (a triple reaches outside its blocks or OLD, or the result "
                  "is not the file it was made for)");
    if (rc == ERR_NO_MEMORY) return fail(kExitFailure, patch_path, "not enough memory for its blocks");
    if (rc == ERR_READ) return fail(kExitFailure, patch_path, "cannot read it");
    return fail(kExitFailure, new_path, "cannot write it");
  }
  return 0;
}
