// Package writer: bzip2-compressed entries, the index and the header.
#include "archive/writer.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "archive/package_format.h"
#include "base/byte_order.h"
#include "base/durable_file.h"
#include "base/fd.h"
#include "base/status.h"

namespace {

constexpr size_t kChunk = 1 << 16;

// Feeds bytes into a bzip2 stream and hands each piece of output to `sink`.
struct Compressor {
  bz_stream stream;
  int (*sink)(void* context, const char* data, size_t size);
  void* context;
  char out[kChunk];
};

int compressor_start(Compressor* c, int block_size) {
  memset(&c->stream, 0, sizeof c->stream);
  return BZ2_bzCompressInit(&c->stream, block_size, 0, 0) == BZ_OK ? OK : ERR_NO_MEMORY;
}

// Compresses `size` bytes; `action` BZ_RUN, or BZ_FLUSH to also end the
// current block (the stream goes on), or BZ_FINISH to end the stream.
int compressor_feed(Compressor* c, const char* data, size_t size, int action) {
  c->stream.next_in = const_cast<char*>(data);
  c->stream.avail_in = static_cast<unsigned>(size);
  for (;;) {
    c->stream.next_out = c->out;
    c->stream.avail_out = kChunk;
    int r = BZ2_bzCompress(&c->stream, action);
    if (r != BZ_RUN_OK && r != BZ_FLUSH_OK && r != BZ_FINISH_OK && r != BZ_STREAM_END)
      return ERR_NO_MEMORY;
    size_t produced = kChunk - c->stream.avail_out;
    if (produced > 0) {
      int rc = c->sink(c->context, c->out, produced);
      if (rc != OK) return rc;
    }
    if (action == BZ_FINISH ? r == BZ_STREAM_END
                            : c->stream.avail_in == 0 && (action == BZ_RUN || r == BZ_RUN_OK))
      return OK;
  }
}

// Compresses a whole buffer, ending a block at each of the `cut_count`
// offsets in `cuts`, and ends the stream; avail_in is 32-bit, so large
// buffers go in pieces.
int compressor_feed_all(Compressor* c, const char* p, size_t size, const size_t* cuts = nullptr,
                        size_t cut_count = 0) {
  size_t at = 0;
  for (size_t i = 0; i <= cut_count; i++) {
    size_t end = i < cut_count ? cuts[i] : size;
    if (end < at || end > size) return ERR_BAD_DATA;
    while (end - at > kChunk) {
      int rc = compressor_feed(c, p + at, kChunk, BZ_RUN);
      if (rc != OK) return rc;
      at += kChunk;
    }
    int rc = compressor_feed(c, p + at, end - at, i < cut_count ? BZ_FLUSH : BZ_FINISH);
    if (rc != OK) return rc;
    at = end;
  }
  return OK;
}

int write_to_package(void* context, const char* data, size_t size) {
  PackageWriter* w = static_cast<PackageWriter*>(context);
  if (w->position + static_cast<int64_t>(size) > kPackageMaxSize) return ERR_BAD_DATA;
  if (fwrite(data, size, 1, w->file) != 1) return ERR_WRITE;
  w->position += static_cast<int64_t>(size);
  return OK;
}

int count_bytes(void* context, const char*, size_t size) {
  *static_cast<int64_t*>(context) += static_cast<int64_t>(size);
  return OK;
}

// Runs `feed` (which calls compressor_feed) on a compressor that writes into
// the package, and records the entry when it succeeds.
template <typename Feed>
int add_entry(PackageWriter* w, const char* name, uint32_t permissions, Feed feed) {
  Compressor* c = new (std::nothrow) Compressor;
  if (c == nullptr) return ERR_NO_MEMORY;
  c->sink = write_to_package;
  c->context = w;
  int64_t start = w->position;
  int rc = compressor_start(c, w->block_size);
  if (rc == OK) {
    rc = feed(c);
    BZ2_bzCompressEnd(&c->stream);
  }
  delete c;
  if (rc != OK) return rc;
  w->records.push_back({name, static_cast<uint32_t>(start),
                        static_cast<uint32_t>(w->position - start), permissions});
  return OK;
}

}  // namespace

int package_writer_open(PackageWriter* writer, const char* path) {
  // A new file: a link planted at the name is replaced, never written through.
  UniqueFd fd(create_output_file(path, O_RDWR, 0644));
  writer->file = fd.ok() ? fdopen(fd.fd, "wb") : nullptr;
  if (writer->file == nullptr) return ERR_WRITE;
  fd.release();  // the stream's now
  writer->path = path;
  writer->records.clear();
  unsigned char header[kPackageHeaderSize];
  memcpy(header, kPackageMagic, sizeof kPackageMagic);
  store_be32(header + 4, 0);  // filled in by package_writer_finish
  if (fwrite(header, sizeof header, 1, writer->file) != 1) {
    package_writer_abort(writer);
    return ERR_WRITE;
  }
  writer->position = kPackageHeaderSize;
  return OK;
}

int package_writer_add_buffer(PackageWriter* writer, const char* name, const void* data,
                              size_t size, uint32_t permissions, const size_t* cuts,
                              size_t cut_count) {
  return add_entry(writer, name, permissions, [&](Compressor* c) {
    return compressor_feed_all(c, static_cast<const char*>(data), size, cuts, cut_count);
  });
}

int package_writer_add_file(PackageWriter* writer, const char* name, const char* src_path,
                            uint32_t permissions) {
  UniqueFd fd(open(src_path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return ERR_READ;
  return package_writer_add_fd(writer, name, fd.fd, permissions);
}

int package_writer_add_fd(PackageWriter* writer, const char* name, int fd, uint32_t permissions) {
  return add_entry(writer, name, permissions, [&](Compressor* c) {
    std::vector<char> buffer(kChunk);
    for (;;) {
      ssize_t n = read(fd, buffer.data(), buffer.size());
      if (n < 0) return static_cast<int>(ERR_READ);
      int frc = compressor_feed(c, buffer.data(), static_cast<size_t>(n),
                                n == 0 ? BZ_FINISH : BZ_RUN);
      if (frc != OK || n == 0) return frc;
    }
  });
}

int package_writer_finish(PackageWriter* writer) {
  std::vector<unsigned char> index(4);
  for (const PackageRecord& r : writer->records) {
    size_t at = index.size();
    index.resize(at + kIndexRecordFixedSize + r.name.size() + 1);
    store_be32(&index[at], r.offset);
    store_be32(&index[at + 4], r.size);
    store_be32(&index[at + 8], r.permissions);
    memcpy(&index[at + kIndexRecordFixedSize], r.name.c_str(), r.name.size() + 1);
  }
  store_be32(&index[0], static_cast<uint32_t>(index.size() - 4));
  int64_t index_offset = writer->position;
  int rc = write_to_package(writer, reinterpret_cast<const char*>(index.data()), index.size());
  if (rc == OK) {
    unsigned char offset_bytes[4];
    store_be32(offset_bytes, static_cast<uint32_t>(index_offset));
    if (fseek(writer->file, 4, SEEK_SET) != 0 || fwrite(offset_bytes, 4, 1, writer->file) != 1)
      rc = ERR_WRITE;
  }
  if (rc != OK) {
    package_writer_abort(writer);
    return rc;
  }
  int closed = fclose(writer->file);
  writer->file = nullptr;
  if (closed != 0) {
    unlink(writer->path.c_str());
    return ERR_WRITE;
  }
  return OK;
}

void package_writer_abort(PackageWriter* writer) {
  if (writer->file != nullptr) fclose(writer->file);
  writer->file = nullptr;
  unlink(writer->path.c_str());
}

int64_t bzip2_compressed_size(const void* data, size_t size, const size_t* cuts,
                              size_t cut_count) {
  Compressor* c = new (std::nothrow) Compressor;
  if (c == nullptr) return -1;
  int64_t total = 0;
  c->sink = count_bytes;
  c->context = &total;
  int rc = compressor_start(c, 9);
  if (rc == OK) {
    rc = compressor_feed_all(c, static_cast<const char*>(data), size, cuts, cut_count);
    BZ2_bzCompressEnd(&c->stream);
  }
  delete c;
  return rc == OK ? total : -1;
}
