// Package reader: index loading, lookup and bzip2 decompression of entries.
#include "archive/reader.h"

#include <bzlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/byte_order.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"

PackageReader package_reader;

namespace {

constexpr int kChunk = 8192;

int archive_insert_entry(UpdateArchive* archive, const char* name, size_t name_length,
                         int32_t offset, int32_t size, uint32_t permissions) {
  ArchiveEntry* entry = static_cast<ArchiveEntry*>(malloc(sizeof(ArchiveEntry) + name_length + 1));
  if (entry == nullptr) return -1;
  entry->next = nullptr;
  entry->offset = offset;
  entry->size = size;
  entry->permissions = permissions;
  memcpy(entry->name, name, name_length);
  entry->name[name_length] = '\0';

  ArchiveEntry** link = &archive->buckets[entry_name_hash(entry->name)];
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  return 0;
}

int archive_parse_record(UpdateArchive* archive, const unsigned char** cursor,
                         const unsigned char* end) {
  const unsigned char* p = *cursor;
  assert(p <= end);
  // The fixed fields, at least one name byte or the NUL, and one more: an
  // empty-named record is accepted only when something follows it.
  if (end - p <= kIndexRecordFixedSize + 1) return -1;
  int32_t offset = static_cast<int32_t>(load_be32(p));
  int32_t size = static_cast<int32_t>(load_be32(p + 4));
  uint32_t permissions = load_be32(p + 8);
  const char* name = reinterpret_cast<const char*>(p + kIndexRecordFixedSize);
  const void* nul = memchr(name, '\0', static_cast<size_t>(end - (p + kIndexRecordFixedSize)));
  if (nul == nullptr) return -1;
  size_t name_length = static_cast<size_t>(static_cast<const char*>(nul) - name);
  *cursor = static_cast<const unsigned char*>(nul) + 1;
  return archive_insert_entry(archive, name, name_length, offset, size, permissions);
}

int archive_load_index(UpdateArchive* archive) {
  unsigned char header[kPackageHeaderSize];
  if (fread(header, 1, sizeof header, archive->file) != sizeof header) return -1;
  if (memcmp(header, kPackageMagic, sizeof kPackageMagic) != 0) return -1;
  int32_t index_offset = static_cast<int32_t>(load_be32(header + 4));
  if (index_offset < 0 || fseek(archive->file, index_offset, SEEK_SET) != 0) return -1;

  unsigned char length_bytes[4];
  if (fread(length_bytes, 1, 4, archive->file) != 4) return -1;
  uint32_t index_length = load_be32(length_bytes);
  if (index_length == 0) return -1;
  // A length beyond the end of the file cannot be read whole; refuse it
  // before allocating, so a crafted length cannot ask for gigabytes.
  struct stat st;
  if (fstat(fileno(archive->file), &st) != 0) return -1;
  if (static_cast<int64_t>(index_length) > st.st_size - (static_cast<int64_t>(index_offset) + 4))
    return -1;

  unsigned char* index = static_cast<unsigned char*>(malloc(index_length));
  if (index == nullptr) return -1;
  if (fread(index, index_length, 1, archive->file) != 1) {
    free(index);
    return -1;
  }
  const unsigned char* cursor = index;
  const unsigned char* end = index + index_length;
  while (cursor < end) {
    if (archive_parse_record(archive, &cursor, end) != 0) {
      free(index);
      return -1;
    }
  }
  free(index);
  return 0;
}

}  // namespace

UpdateArchive* archive_open(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return nullptr;
  return archive_open_file(file);
}

UpdateArchive* archive_open_file(FILE* file) {
  if (fseek(file, 0, SEEK_SET) != 0) {
    fclose(file);
    return nullptr;
  }
  UpdateArchive* archive = static_cast<UpdateArchive*>(malloc(sizeof(UpdateArchive)));
  if (archive == nullptr) {
    fclose(file);
    return nullptr;
  }
  archive->file = file;
  for (ArchiveEntry*& head : archive->buckets) head = nullptr;
  if (archive_load_index(archive) != 0) {
    archive_close(archive);
    return nullptr;
  }
  return archive;
}

void archive_close(UpdateArchive* archive) {
  fclose(archive->file);
  for (ArchiveEntry* entry : archive->buckets) {
    while (entry != nullptr) {
      ArchiveEntry* next = entry->next;
      free(entry);
      entry = next;
    }
  }
  free(archive);
}

ArchiveEntry* archive_find(UpdateArchive* archive, const char* name) {
  for (ArchiveEntry* e = archive->buckets[entry_name_hash(name)]; e != nullptr; e = e->next)
    if (strcmp(e->name, name) == 0) return e;
  return nullptr;
}

int archive_for_each(UpdateArchive* archive,
                     int (*visitor)(UpdateArchive*, ArchiveEntry*, void*), void* context) {
  for (ArchiveEntry* entry : archive->buckets) {
    for (; entry != nullptr; entry = entry->next) {
      int rc = visitor(archive, entry, context);
      if (rc != 0) return rc;
    }
  }
  return 0;
}

int32_t archive_read(UpdateArchive* archive, ArchiveEntry* entry, int32_t position,
                     void* buffer, int32_t length) {
  if (position == entry->size) return 0;
  if (position > entry->size) return -1;
  int32_t n = length < entry->size - position ? length : entry->size - position;
  if (n < 0) return -1;
  // Positions are signed 32-bit; a sum beyond that range is a failed seek,
  // not an overflow.
  int64_t at = static_cast<int64_t>(entry->offset) + position;
  if (at < 0 || at > INT32_MAX) return -1;
  if (fseek(archive->file, static_cast<long>(at), SEEK_SET) != 0) return -1;
  return static_cast<int32_t>(fread(buffer, 1, static_cast<size_t>(n), archive->file));
}

int PackageReader::Open(const char* path) {
  Close();
  archive = archive_open(path);
  return archive != nullptr ? OK : ERR_READ;
}

int PackageReader::OpenFile(FILE* file) {
  Close();
  archive = archive_open_file(file);
  return archive != nullptr ? OK : ERR_READ;
}

void PackageReader::Close() {
  verified = false;
  if (archive != nullptr) {
    archive_close(archive);
    archive = nullptr;
  }
}

int PackageReader::DecompressEntry(ArchiveEntry* entry, FILE* out) {
  bz_stream stream;
  memset(&stream, 0, sizeof stream);
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return ERR_BAD_DATA;

  char in_buffer[kChunk];
  char out_buffer[kChunk];
  int32_t position = 0;
  int rc = OK;
  for (;;) {
    if (position < entry->size && stream.avail_in == 0) {
      int32_t n = archive_read(archive, entry, position, in_buffer, kChunk);
      if (n <= 0) {
        rc = ERR_READ;
        break;
      }
      stream.next_in = in_buffer;
      stream.avail_in = static_cast<unsigned>(n);
      position += n;
    }
    // With every entry byte consumed, a call that yields nothing can never
    // reach the stream's end: the entry was cut short.
    bool input_exhausted = position >= entry->size && stream.avail_in == 0;
    stream.next_out = out_buffer;
    stream.avail_out = kChunk;
    int r = BZ2_bzDecompress(&stream);
    if (r != BZ_OK && r != BZ_STREAM_END) {
      rc = ERR_BAD_DATA;
      break;
    }
    size_t produced = kChunk - stream.avail_out;
    if (produced > 0 && fwrite(out_buffer, produced, 1, out) != 1) {
      rc = ERR_WRITE;
      break;
    }
    if (r == BZ_STREAM_END) break;
    if (input_exhausted && produced == 0) {
      rc = ERR_BAD_DATA;
      break;
    }
  }
  BZ2_bzDecompressEnd(&stream);
  return rc;
}

int PackageReader::ExtractEntry(const char* name, const char* dest_path) {
  if (archive == nullptr) return ERR_READ;
  ArchiveEntry* entry = archive_find(archive, name);
  if (entry == nullptr) return ERR_READ;
  // A link planted at the name is replaced, never written through.
  UniqueFd fd(create_output_file(dest_path, O_WRONLY, static_cast<mode_t>(entry->permissions & 07777)));
  if (!fd.ok()) return ERR_WRITE;
  return ExtractEntryToFd(entry, fd.fd);
}

int PackageReader::ExtractEntryToFd(ArchiveEntry* entry, int fd) {
  // The stream gets a descriptor of its own, so the caller's stays open.
  UniqueFd own(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!own.ok()) return ERR_WRITE;
  FILE* out = fdopen(own.fd, "wb");
  if (out == nullptr) return ERR_WRITE;
  own.release();  // the stream's now
  int rc = DecompressEntry(entry, out);
  int error = errno;
  // A write error that stdio held back shows at close; the caller relies on
  // OK meaning every byte reached the file.
  if (fclose(out) != 0 && rc == OK) {
    rc = ERR_WRITE;
    error = errno;
  }
  errno = error;
  return rc;
}
