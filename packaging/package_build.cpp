// Deciding patch or whole file by compressed size, and writing the entries.
#include "packaging/package_build.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/writer.h"
#include "base/status.h"
#include "delta/delta.h"
#include "delta/smallest_patch.h"
#include "delta/whole_file.h"
#include "patch/patch_format.h"

namespace {

// Patch entries are extracted to temporary files, so their mode is moot.
constexpr uint32_t kPatchEntryMode = 0644;

struct Inputs {
  unsigned char* old_data = nullptr;
  size_t old_size = 0;
  unsigned char* new_data = nullptr;
  size_t new_size = 0;
  ~Inputs() {
    free(old_data);
    free(new_data);
  }
};

int fail(int rc, const std::string& what) {
  fprintf(stderr, "make-update: %s\n", what.c_str());
  return rc;
}

// Writes one changed file as a patch (of a version up to `max_version`) when
// its compressed patch is smaller than the compressed file, else whole.
// *as_patch tells which and *version the patch's; *reported whether a
// failure was already explained (else it came from the writer).
int write_changed(PackageWriter* writer, const std::string& old_path, const std::string& new_path,
                  const PlannedChange& change, uint32_t max_version, bool* as_patch,
                  uint32_t* version, int64_t* saved, bool* reported) {
  auto fail = [reported](int rc, const std::string& what) {
    *reported = true;
    return ::fail(rc, what);
  };
  // Refused before either file is read: the patch format cannot hold them.
  for (const std::string& path : {old_path, new_path}) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) >= kDeltaMaxInput)
      return fail(ERR_BAD_DATA, path + ": files of 2 GiB or more cannot be patched");
  }
  Inputs in;
  if (read_whole_file(old_path.c_str(), &in.old_data, &in.old_size) != OK)
    return fail(ERR_READ, old_path + ": cannot read it");
  if (read_whole_file(new_path.c_str(), &in.new_data, &in.new_size) != OK)
    return fail(ERR_READ, new_path + ": cannot read it");
  PatchImage patch;
  PatchPacking packing;
  int rc = make_smallest_patch(max_version, in.old_data, in.old_size, in.new_data, in.new_size,
                               &patch, &packing);
  if (rc == ERR_BAD_DATA) return fail(rc, old_path + ": files of 2 GiB or more cannot be patched");
  if (rc != OK) return fail(rc, new_path + ": not enough memory to make its patch");
  rc = verify_patch(patch, in.old_data, in.old_size, in.new_data, in.new_size);
  if (rc != OK) {
    patch_image_free(&patch);
    if (rc == ERR_BAD_DATA)
      return fail(rc, new_path + ": its patch does not rebuild it (a fault in zqdiff's generator)");
    return fail(rc, new_path + ": not enough memory to check its patch");
  }
  int64_t patch_cost = packing.size;
  int64_t whole_cost = bzip2_compressed_size(in.new_data, in.new_size);
  if (whole_cost < 0) {
    patch_image_free(&patch);
    return fail(ERR_NO_MEMORY, new_path + ": not enough memory to compress it");
  }
  // The installed manifest name is also the package's manifest entry, so
  // that file can only ever be patched.
  *as_patch = patch_cost < whole_cost || change.path == "update.manifest";
  if (*as_patch) {
    rc = package_writer_add_buffer(writer, change.patch_entry.c_str(), patch.data, patch.size,
                                   kPatchEntryMode, packing.cuts.data(), packing.cuts.size());
    *saved = whole_cost - patch_cost;
    *version = memcmp(patch.data, kPatchMagicV2, sizeof kPatchMagicV2) == 0 ? 2 : 1;
  } else {
    rc = package_writer_add_buffer(writer, change.path.c_str(), in.new_data, in.new_size,
                                   change.mode);
  }
  patch_image_free(&patch);
  return rc;
}

}  // namespace

std::string manifest_line(ChangeKind kind, bool as_patch, const PlannedChange& c) {
  auto q = [](const std::string& s) { return "\"" + s + "\""; };
  if (kind == ChangeKind::kRemove) return "remove " + q(c.path);
  if (kind == ChangeKind::kRmdir) return "rmdir " + q(c.path);
  if (kind == ChangeKind::kMkdir)
    return "mkdir " + q(c.path) + (c.target.empty() ? "" : " " + q(c.target));
  if (kind == ChangeKind::kLink) return "link " + q(c.path) + " " + q(c.target);
  if (as_patch) {
    if (!c.guard.empty()) return "patch-if " + q(c.guard) + " " + q(c.patch_entry) + " " + q(c.path);
    return "patch " + q(c.patch_entry) + " " + q(c.path);
  }
  if (!c.guard.empty()) return "add-if " + q(c.guard) + " " + q(c.path);
  return "add " + q(c.path);
}

int build_package(const std::string& old_root, const std::string& new_root,
                  const UpdatePlan& plan, const std::string& package_path,
                  BuildProgress progress, BuildTotals* totals, uint32_t max_patch_version) {
  *totals = BuildTotals{};
  PackageWriter writer;
  if (package_writer_open(&writer, package_path.c_str()) != OK)
    return fail(ERR_WRITE, package_path + ": cannot create it");

  std::string manifest =
      "# Made by make-update: " + std::to_string(plan.changes.size()) + " changes.\n";
  int rc = OK;
  bool reported = false;
  for (size_t i = 0; i < plan.changes.size() && rc == OK; i++) {
    const PlannedChange& c = plan.changes[i];
    if (progress) progress(i, plan.changes.size(), c.path);
    std::string new_path = new_root + "/" + c.path;
    bool as_patch = false;
    if (c.kind == ChangeKind::kRemove) {
      totals->removed++;
    } else if (c.kind == ChangeKind::kLink) {
      totals->linked++;
    } else if (c.kind == ChangeKind::kMkdir) {
      totals->dirs_made++;
    } else if (c.kind == ChangeKind::kRmdir) {
      totals->dirs_removed++;
    } else if (c.kind == ChangeKind::kAdd) {
      rc = package_writer_add_file(&writer, c.path.c_str(), new_path.c_str(), c.mode);
      if (rc == ERR_READ) fail(rc, new_path + ": cannot read it");
      totals->added++;
    } else {
      int64_t saved = 0;
      uint32_t version = 1;
      rc = write_changed(&writer, old_root + "/" + c.path, new_path, c, max_patch_version,
                         &as_patch, &version, &saved, &reported);
      if (as_patch) {
        totals->patched++;
        if (version == 2) totals->patched_v2++;
        totals->saved_by_patching += saved;
      } else {
        totals->added++;
      }
    }
    manifest += manifest_line(c.kind, as_patch, c) + "\n";
  }
  if (progress) progress(plan.changes.size(), plan.changes.size(), "");
  if (rc == OK)
    rc = package_writer_add_buffer(&writer, "update.manifest", manifest.data(), manifest.size(),
                                   0644);
  if (rc == OK) {
    totals->package_size = writer.position;
    rc = package_writer_finish(&writer);
    if (rc != OK) return fail(rc, package_path + ": cannot write it");
    struct stat st;
    if (stat(package_path.c_str(), &st) == 0) totals->package_size = st.st_size;
    return OK;
  }
  if (rc == ERR_BAD_DATA && !reported) fail(rc, package_path + ": a package must stay below 2 GiB");
  if (rc == ERR_WRITE && !reported) fail(rc, package_path + ": cannot write it");
  package_writer_abort(&writer);
  return rc;
}
