// Deciding patch or whole file by compressed size, and writing the entries.
#include "packaging/package_build.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/writer.h"
#include "base/fd.h"
#include "base/scanned_file.h"
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

int fail(std::string* error, int rc, const std::string& what) {
  if (error->empty()) *error = what;
  return rc;
}

// Opens a scanned input, refusing it unless it is still the file the scan
// saw: a link or another file swapped in since would put something else into
// the package under its name.
int open_input(const std::string& path, const FileIdentity& seen, UniqueFd* fd, std::string* error) {
  int rc = open_as_scanned(path.c_str(), seen, fd);
  if (rc == ERR_BAD_DATA) return fail(error, rc, path + ": changed since it was scanned");
  if (rc != OK) return fail(error, rc, path + ": cannot read it");
  return OK;
}

// Writes one changed file as a patch (of a version up to `max_version`) when
// its compressed patch is smaller than the compressed file, else whole.
// *as_patch tells which and *version the patch's.
int write_changed(PackageWriter* writer, const std::string& old_path, const std::string& new_path,
                  const PlannedChange& change, uint32_t max_version, bool* as_patch,
                  uint32_t* version, int64_t* saved, std::string* error) {
  // Refused before either file is read: the patch format cannot hold them.
  if (change.old_file.size >= kDeltaMaxInput || change.new_file.size >= kDeltaMaxInput)
    return fail(error, ERR_BAD_DATA, (change.old_file.size >= kDeltaMaxInput ? old_path : new_path) +
                                         ": files of 2 GiB or more cannot be patched");
  Inputs in;
  UniqueFd old_fd, new_fd;
  int rc = open_input(old_path, change.old_file, &old_fd, error);
  if (rc == OK) rc = open_input(new_path, change.new_file, &new_fd, error);
  if (rc != OK) return rc;
  if (read_whole_fd(old_fd.fd, &in.old_data, &in.old_size) != OK)
    return fail(error, ERR_READ, old_path + ": cannot read it");
  if (read_whole_fd(new_fd.fd, &in.new_data, &in.new_size) != OK)
    return fail(error, ERR_READ, new_path + ": cannot read it");
  PatchImage patch;
  PatchPacking packing;
  rc = make_smallest_patch(max_version, in.old_data, in.old_size, in.new_data, in.new_size,
                               &patch, &packing);
  if (rc == ERR_BAD_DATA) return fail(error, rc, old_path + ": files of 2 GiB or more cannot be patched");
  if (rc != OK) return fail(error, rc, new_path + ": not enough memory to make its patch");
  rc = verify_patch(patch, in.old_data, in.old_size, in.new_data, in.new_size);
  if (rc != OK) {
    patch_image_free(&patch);
    if (rc == ERR_BAD_DATA)
      return fail(error, rc, new_path + ": its patch does not rebuild it (a fault in zqdiff's generator)");
    return fail(error, rc, new_path + ": not enough memory to check its patch");
  }
  int64_t patch_cost = packing.size;
  int64_t whole_cost = bzip2_compressed_size(in.new_data, in.new_size);
  if (whole_cost < 0) {
    patch_image_free(&patch);
    return fail(error, ERR_NO_MEMORY, new_path + ": not enough memory to compress it");
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
                  BuildProgress progress, BuildTotals* totals, std::string* error,
                  uint32_t max_patch_version) {
  *totals = BuildTotals{};
  error->clear();
  PackageWriter writer;
  if (package_writer_open(&writer, package_path.c_str()) != OK)
    return fail(error, ERR_WRITE, package_path + ": cannot create it");

  std::string manifest =
      "# Made by make-update: " + std::to_string(plan.changes.size()) + " changes.\n";
  int rc = OK;
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
      UniqueFd fd;
      rc = open_input(new_path, c.new_file, &fd, error);
      if (rc == OK) rc = package_writer_add_fd(&writer, c.path.c_str(), fd.fd, c.mode);
      if (rc == ERR_READ) fail(error, rc, new_path + ": cannot read it");
      totals->added++;
    } else {
      int64_t saved = 0;
      uint32_t version = 1;
      rc = write_changed(&writer, old_root + "/" + c.path, new_path, c, max_patch_version,
                         &as_patch, &version, &saved, error);
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
    if (rc != OK) return fail(error, rc, package_path + ": cannot write it");
    struct stat st;
    if (stat(package_path.c_str(), &st) == 0) totals->package_size = st.st_size;
    return OK;
  }
  if (rc == ERR_BAD_DATA) fail(error, rc, package_path + ": a package must stay below 2 GiB");
  if (rc == ERR_WRITE) fail(error, rc, package_path + ": cannot write it");
  if (rc == ERR_NO_MEMORY) fail(error, rc, package_path + ": not enough memory to write it");
  package_writer_abort(&writer);
  return rc;
}
