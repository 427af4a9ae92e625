// Extracting package entries into fresh files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "actions/file_utils.h"
#include "archive/reader.h"
#include "base/fd.h"
#include "base/log.h"
#include "base/status.h"

int extract_fresh(const char* name, const char* path, int* fd) {
  ArchiveEntry* entry =
      package_reader.archive != nullptr ? archive_find(package_reader.archive, name) : nullptr;
  if (entry == nullptr) return ERR_READ;
  mode_t mode = static_cast<mode_t>(entry->permissions & 07777);
  if ((mode & (S_ISUID | S_ISGID)) != 0 && !package_reader.verified) {
    // Only a package that the vendor signed may install a privileged program.
    log_printf("set-user-ID and set-group-ID bits dropped: %s\n", path);
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
  }
  UniqueFd out(create_fresh_file(path, O_RDWR, mode));
  if (!out.ok()) return ERR_WRITE;
  int rc = package_reader.ExtractEntryToFd(entry, out.fd);
  if (rc == OK && fd != nullptr && lseek(out.fd, 0, SEEK_SET) != 0) rc = ERR_READ;
  if (rc != OK) {
    // A partial file would hold the disk space that the restore needs.
    if (rc == ERR_WRITE) log_printf("cannot write %s: %d\n", path, errno);
    out.reset();
    unlink(path);
    return rc;
  }
  if (fd != nullptr) {
    *fd = out.release();
  } else if (out.close_checked() != 0) {
    log_printf("cannot write %s: %d\n", path, errno);
    unlink(path);
    return ERR_WRITE;
  }
  return OK;
}
