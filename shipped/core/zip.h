/* ZIP archives, as office documents are packaged (.docx, .odt): reading
 * one that lies whole in memory, and writing one to a stream.
 *
 * Reading trusts nothing the archive says: the central directory is found
 * from the end and every entry's offsets and sizes are checked against the
 * archive before use; an entry is inflated only within the archive's
 * budget, and its CRC is checked.  Each failure sets the conversion's
 * refusal reason and returns 0. */
#ifndef SHIPPED_CORE_ZIP_H
#define SHIPPED_CORE_ZIP_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "shipped/core/buffer.h"

/* What all the entries of one archive may inflate to, together: a
 * document's parts compress about ten to one, and deflate can reach a
 * thousand to one, so an archive may inflate to this many times its size,
 * with a floor that no real document meets and a ceiling for any. */
#define ZIP_INFLATE_PER_BYTE 100
#define ZIP_INFLATE_FLOOR ((uint64_t)256 << 20)
#define ZIP_INFLATE_CEILING ((uint64_t)(sizeof(void *) > 4 ? 4096 : 768) << 20)
/* More entries than any document package holds. */
#define ZIP_ENTRIES_MOST 65536

typedef struct zip_entry {
    const char *name; /* in the central directory, not NUL-ended */
    size_t name_length;
    uint64_t compressed_size, size, header_offset;
    uint32_t crc;
    int method; /* 0 stored, 8 deflated */
    unsigned flags;
} zip_entry;

typedef struct zip_archive {
    const unsigned char *data; /* the whole archive, owned by the caller */
    size_t size;
    zip_entry *entries;
    size_t count;
    uint64_t inflate_left; /* what entries may still inflate to */
    const char *format_name; /* "a Word document (.docx)": named in refusals */
} zip_archive;

/* Reads the central directory; 0 (with the reason) when the data is no
 * ZIP archive, or a damaged or encrypted one. */
int zip_open(zip_archive *z, const unsigned char *data, size_t size, const char *format_name);
/* The entry of that name (exact bytes), NULL when there is none. */
const zip_entry *zip_find(const zip_archive *z, const char *name);
/* The entry's bytes appended to `out`, its CRC checked, within the budget. */
int zip_read(zip_archive *z, const zip_entry *e, buffer *out);
void zip_close(zip_archive *z);

/* Writing: each entry's compressed bytes are held until it ends, then
 * written after a local header that knows its sizes, so the output needs
 * no seeking and no data descriptors. */
typedef struct zip_writer {
    FILE *out;
    uint64_t offset;     /* bytes written to out */
    buffer directory;    /* the central directory, written by zip_finish */
    uint32_t count;
    buffer compressed;   /* the open entry's bytes */
    void *stream;        /* zlib's, while a deflated entry is open */
    char *name;          /* the open entry's */
    uint32_t crc;
    uint64_t size;
    int stored;
    int failed;
} zip_writer;

void zip_write_begin(zip_writer *w, FILE *out);
/* Opens an entry; stored (not compressed) when `stored`, as an ODF
 * package's mimetype must be. */
int zip_entry_begin(zip_writer *w, const char *name, int stored);
int zip_entry_write(zip_writer *w, const void *data, size_t n);
int zip_entry_end(zip_writer *w);
/* A whole entry in one call. */
int zip_add(zip_writer *w, const char *name, const void *data, size_t n, int stored);
/* Writes the central directory; CONVERT_OK, or CONVERT_READ_WRITE_FAILED
 * with the reason.  Frees what the writer holds either way. */
int32_t zip_write_end(zip_writer *w);

#endif
