/* ZIP archives: reading one that lies whole in memory, writing one to a
 * stream.  Office packages are small archives of XML parts and pictures;
 * what this reads is what their writers make (stored and deflated
 * entries, ZIP64 where sizes need it), and nothing an archive says is
 * used before it is checked against the archive's own size. */
#include "shipped/core/zip.h"

#include <stdlib.h>
#include <zlib.h>

#include "plugins/morphex_plugin.h"
#include "shipped/core/refusal.h"

enum {
    END_RECORD_SIZE = 22,
    END_COMMENT_MOST = 0xFFFF,
    ZIP64_LOCATOR_SIZE = 20,
    ZIP64_END_RECORD_SIZE = 56,
    DIRECTORY_RECORD_SIZE = 46,
    LOCAL_HEADER_SIZE = 30,
    FLAG_ENCRYPTED = 1,
    FLAG_UTF8 = 1 << 11,
    METHOD_STORED = 0,
    METHOD_DEFLATED = 8,
    EXTRA_ZIP64 = 1,
};
#define NO_32 0xFFFFFFFFu
#define NO_16 0xFFFFu

static uint16_t u16(const unsigned char *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
static uint32_t u32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint64_t u64(const unsigned char *p)
{
    return (uint64_t)u32(p) | (uint64_t)u32(p + 4) << 32;
}

/* ---- reading ---- */

static int damaged(const zip_archive *z, const char *what)
{
    return refusal_setf("It is damaged or cut short, and cannot be read as %s: %s.", z->format_name, what);
}

/* The end of central directory record: the last one whose comment ends
 * the file, searched back over the longest comment there can be. */
static const unsigned char *find_end_record(const zip_archive *z)
{
    size_t at, lowest;
    if (z->size < END_RECORD_SIZE)
        return NULL;
    lowest = z->size - END_RECORD_SIZE > END_COMMENT_MOST ? z->size - END_RECORD_SIZE - END_COMMENT_MOST : 0;
    for (at = z->size - END_RECORD_SIZE + 1; at-- > lowest;) {
        const unsigned char *p = z->data + at;
        if (p[0] == 'P' && p[1] == 'K' && p[2] == 5 && p[3] == 6 && at + END_RECORD_SIZE + u16(p + 20) == z->size)
            return p;
    }
    return NULL;
}

typedef struct directory_place {
    uint64_t offset, size, count;
} directory_place;

/* Where the central directory is, from the end record, or from the ZIP64
 * end record that stands before it when the end record's fields are full. */
static int find_directory(const zip_archive *z, directory_place *d)
{
    const unsigned char *end = find_end_record(z);
    size_t end_at;
    if (!end)
        return refusal_setf("It is not %s: it is no ZIP package, or it is cut short (the list of its parts at "
                            "its end is missing).", z->format_name);
    end_at = (size_t)(end - z->data);
    d->count = u16(end + 10);
    d->size = u32(end + 12);
    d->offset = u32(end + 16);
    if (d->count == NO_16 || d->size == NO_32 || d->offset == NO_32) {
        const unsigned char *locator = end_at >= ZIP64_LOCATOR_SIZE ? end - ZIP64_LOCATOR_SIZE : NULL;
        uint64_t record_at;
        if (!locator || u32(locator) != 0x07064B50)
            return damaged(z, "its ZIP64 directory is missing");
        record_at = u64(locator + 8);
        if (record_at > end_at - ZIP64_LOCATOR_SIZE || end_at - ZIP64_LOCATOR_SIZE - record_at < ZIP64_END_RECORD_SIZE ||
            u32(z->data + record_at) != 0x06064B50)
            return damaged(z, "its ZIP64 directory lies outside the file");
        d->count = u64(z->data + record_at + 32);
        d->size = u64(z->data + record_at + 40);
        d->offset = u64(z->data + record_at + 48);
    }
    if (d->offset > z->size || d->size > z->size - d->offset)
        return damaged(z, "the list of its parts lies outside the file");
    if (d->count > ZIP_ENTRIES_MOST)
        return refusal_setf("It is refused: it lists %llu parts, more than the %d of any document.",
                            (unsigned long long)d->count, ZIP_ENTRIES_MOST);
    return 1;
}

/* ZIP64's extra field gives, in this order, those of the sizes and the
 * offset whose 32-bit fields are full. */
static int read_zip64_extra(zip_entry *e, const unsigned char *extra, size_t n, int need_size, int need_compressed,
                            int need_offset)
{
    while (n >= 4) {
        const uint16_t id = u16(extra), length = u16(extra + 2);
        const unsigned char *field = extra + 4;
        size_t left;
        if ((size_t)length > n - 4)
            return 0;
        left = length;
        if (id == EXTRA_ZIP64) {
            if (need_size) {
                if (left < 8)
                    return 0;
                e->size = u64(field), field += 8, left -= 8;
            }
            if (need_compressed) {
                if (left < 8)
                    return 0;
                e->compressed_size = u64(field), field += 8, left -= 8;
            }
            if (need_offset) {
                if (left < 8)
                    return 0;
                e->header_offset = u64(field);
            }
            return 1;
        }
        extra += 4 + length;
        n -= 4 + (size_t)length;
    }
    return !need_size && !need_compressed && !need_offset;
}

static int read_directory_record(zip_archive *z, const unsigned char *p, size_t room, zip_entry *e, size_t *length)
{
    size_t name_length, extra_length, comment_length;
    if (room < DIRECTORY_RECORD_SIZE || u32(p) != 0x02014B50)
        return damaged(z, "the list of its parts is broken");
    name_length = u16(p + 28);
    extra_length = u16(p + 30);
    comment_length = u16(p + 32);
    if (DIRECTORY_RECORD_SIZE + name_length + extra_length + comment_length > room)
        return damaged(z, "the list of its parts is broken");
    e->flags = u16(p + 8);
    e->method = u16(p + 10);
    e->crc = u32(p + 16);
    e->compressed_size = u32(p + 20);
    e->size = u32(p + 24);
    e->header_offset = u32(p + 42);
    e->name = (const char *)p + DIRECTORY_RECORD_SIZE;
    e->name_length = name_length;
    if (!read_zip64_extra(e, p + DIRECTORY_RECORD_SIZE + name_length, extra_length, e->size == NO_32,
                          e->compressed_size == NO_32, e->header_offset == NO_32))
        return damaged(z, "a part's ZIP64 sizes are missing");
    *length = DIRECTORY_RECORD_SIZE + name_length + extra_length + comment_length;
    return 1;
}

static int by_name(const void *a, const void *b)
{
    const zip_entry *x = (const zip_entry *)a, *y = (const zip_entry *)b;
    const size_t shorter = x->name_length < y->name_length ? x->name_length : y->name_length;
    const int order = memcmp(x->name, y->name, shorter);
    return order ? order : (x->name_length > y->name_length) - (x->name_length < y->name_length);
}

int zip_open(zip_archive *z, const unsigned char *data, size_t size, const char *format_name)
{
    directory_place d = {0, 0, 0};
    size_t at, i;
    uint64_t budget;
    memset(z, 0, sizeof *z);
    z->data = data;
    z->size = size;
    z->format_name = format_name;
    if (!find_directory(z, &d))
        return 0;
    budget = (uint64_t)size * ZIP_INFLATE_PER_BYTE;
    z->inflate_left = budget < ZIP_INFLATE_FLOOR ? ZIP_INFLATE_FLOOR : budget > ZIP_INFLATE_CEILING ? ZIP_INFLATE_CEILING : budget;
    if (d.count > d.size / DIRECTORY_RECORD_SIZE)
        return damaged(z, "the list of its parts is shorter than it says");
    z->entries = (zip_entry *)calloc(d.count ? (size_t)d.count : 1, sizeof *z->entries);
    if (!z->entries)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0, at = (size_t)d.offset; i < d.count; ++i) {
        size_t length = 0;
        if (!read_directory_record(z, data + at, (size_t)(d.offset + d.size) - at, &z->entries[i], &length)) {
            zip_close(z);
            return 0;
        }
        at += length;
    }
    z->count = (size_t)d.count;
    qsort(z->entries, z->count, sizeof *z->entries, by_name);
    return 1;
}

const zip_entry *zip_find(const zip_archive *z, const char *name)
{
    zip_entry key;
    key.name = name;
    key.name_length = strlen(name);
    return z->count ? (const zip_entry *)bsearch(&key, z->entries, z->count, sizeof key, by_name) : NULL;
}

/* Room for the rest of an entry: what it says it holds (a part's size is
 * most often true), never more than the budget allows, and a block at
 * least, so that an entry that lies about its size still gets on. */
static size_t room_to_inflate(const zip_archive *z, const zip_entry *e, size_t produced)
{
    uint64_t wanted = e->size > produced ? e->size - produced + 1 : 1 << 16;
    const uint64_t allowed = z->inflate_left > produced ? z->inflate_left - produced + 1 : 1;
    if (wanted > allowed)
        wanted = allowed;
    return (size_t)(wanted < (1 << 16) ? 1 << 16 : wanted);
}

static int inflate_entry(zip_archive *z, const zip_entry *e, const unsigned char *data, buffer *out)
{
    z_stream stream;
    int status = Z_OK;
    size_t start = out->size;
    memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    stream.next_in = (Bytef *)(uintptr_t)data;
    while (status == Z_OK) {
        const size_t consumed = (size_t)(stream.next_in - data);
        if (out->capacity == out->size && !reserve(out, room_to_inflate(z, e, out->size - start)))
            break;
        stream.next_out = out->data + out->size;
        stream.avail_out = (uInt)((out->capacity - out->size) > (1u << 30) ? 1u << 30 : out->capacity - out->size);
        stream.avail_in = (uInt)(e->compressed_size - consumed > (1u << 30) ? 1u << 30 : e->compressed_size - consumed);
        status = inflate(&stream, Z_NO_FLUSH);
        out->size = (size_t)(stream.next_out - out->data);
        if (out->size - start > z->inflate_left) {
            inflateEnd(&stream);
            return refusal_setf("It is refused: its part \"%.*s\" inflates to more than a document of its size "
                                "holds (%llu MiB), as a ZIP bomb does.", (int)(e->name_length < 80 ? e->name_length : 80),
                                e->name, (unsigned long long)(z->inflate_left >> 20));
        }
        if (status == Z_BUF_ERROR && stream.avail_in == 0)
            break; /* the compressed data ended before its stream did */
        if (status == Z_BUF_ERROR)
            status = Z_OK;
    }
    inflateEnd(&stream);
    if (out->failed)
        return 0;
    if (status != Z_STREAM_END)
        return refusal_setf("It is damaged: its part \"%.*s\" cannot be decompressed.",
                            (int)(e->name_length < 80 ? e->name_length : 80), e->name);
    return 1;
}

int zip_read(zip_archive *z, const zip_entry *e, buffer *out)
{
    const int shown = (int)(e->name_length < 80 ? e->name_length : 80);
    const size_t start = out->size;
    const unsigned char *header;
    uint64_t data_at;
    if (e->flags & FLAG_ENCRYPTED)
        return refusal_setf("It is encrypted: its part \"%.*s\" needs a password.", shown, e->name);
    if (e->header_offset > z->size || z->size - e->header_offset < LOCAL_HEADER_SIZE ||
        u32(z->data + e->header_offset) != 0x04034B50)
        return refusal_setf("It is damaged: its part \"%.*s\" lies outside the file.", shown, e->name);
    header = z->data + e->header_offset;
    data_at = e->header_offset + LOCAL_HEADER_SIZE + u16(header + 26) + u16(header + 28);
    if (data_at > z->size || e->compressed_size > z->size - data_at)
        return refusal_setf("It is damaged or cut short: its part \"%.*s\" runs past the file's end.", shown, e->name);
    if (e->method == METHOD_STORED) {
        if (e->compressed_size > z->inflate_left)
            return refusal_setf("It is refused: its part \"%.*s\" is larger than a document holds.", shown, e->name);
        put_bytes(out, z->data + data_at, (size_t)e->compressed_size);
        if (out->failed)
            return 0;
    } else if (e->method == METHOD_DEFLATED) {
        if (!inflate_entry(z, e, z->data + data_at, out))
            return 0;
    } else {
        return refusal_setf("Its part \"%.*s\" is compressed by a method (%d) other than deflate, which no "
                            "document's writer uses.", shown, e->name, e->method);
    }
    z->inflate_left -= out->size - start;
    if (out->size - start != e->size ||
        (uint32_t)crc32_z(crc32(0, Z_NULL, 0), out->data + start, out->size - start) != e->crc)
        return refusal_setf("It is damaged: its part \"%.*s\" fails its checksum.", shown, e->name);
    return 1;
}

void zip_close(zip_archive *z)
{
    free(z->entries);
    z->entries = NULL;
    z->count = 0;
}

/* ---- writing ---- */

static int write_out(zip_writer *w, const void *bytes, size_t n)
{
    if (w->failed)
        return 0;
    if (fwrite(bytes, 1, n, w->out) != n) {
        w->failed = 1;
        return refusal_set(REFUSAL_WRITE_ERROR);
    }
    w->offset += n;
    return 1;
}

static void put_u16(unsigned char *p, unsigned v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
static void put_u32(unsigned char *p, uint32_t v)
{
    put_u16(p, v & 0xFFFF);
    put_u16(p + 2, v >> 16);
}

/* Every entry is stamped 1980-01-01 00:00, the first time MS-DOS kept:
 * the same document gives the same package, whenever and on whichever
 * thread it is converted. */
enum { DOS_TIME = 0, DOS_DATE = 1 << 5 | 1 };

void zip_write_begin(zip_writer *w, FILE *out)
{
    memset(w, 0, sizeof *w);
    w->out = out;
}

int zip_entry_begin(zip_writer *w, const char *name, int stored)
{
    const size_t length = strlen(name);
    if (w->failed)
        return 0;
    w->name = (char *)malloc(length + 1);
    if (!w->name) {
        w->failed = 1;
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    }
    memcpy(w->name, name, length + 1);
    w->crc = (uint32_t)crc32(0, Z_NULL, 0);
    w->size = 0;
    w->compressed.size = 0;
    w->stored = stored;
    if (!stored) {
        z_stream *stream = (z_stream *)calloc(1, sizeof *stream);
        if (!stream || deflateInit2(stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            free(stream);
            w->failed = 1;
            return refusal_set(REFUSAL_OUT_OF_MEMORY);
        }
        w->stream = stream;
    }
    return 1;
}

/* Deflates into the entry's held bytes until zlib wants no more room. */
static int deflate_into(zip_writer *w, int flush)
{
    z_stream *stream = (z_stream *)w->stream;
    int status;
    do {
        if (!reserve(&w->compressed, 1 << 16)) {
            w->failed = 1;
            return 0;
        }
        stream->next_out = w->compressed.data + w->compressed.size;
        stream->avail_out = (uInt)(w->compressed.capacity - w->compressed.size);
        status = deflate(stream, flush);
        w->compressed.size = (size_t)(stream->next_out - w->compressed.data);
    } while (status == Z_OK && (stream->avail_out == 0 || flush == Z_FINISH));
    return status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR;
}

int zip_entry_write(zip_writer *w, const void *data, size_t n)
{
    const unsigned char *bytes = (const unsigned char *)data;
    if (w->failed || !w->name)
        return 0;
    w->crc = (uint32_t)crc32_z(w->crc, bytes, n);
    w->size += n;
    if (w->stored) {
        put_bytes(&w->compressed, bytes, n);
        return !(w->failed = w->compressed.failed);
    }
    while (n > 0) {
        z_stream *stream = (z_stream *)w->stream;
        const size_t piece = n > (1u << 30) ? 1u << 30 : n;
        stream->next_in = (Bytef *)(uintptr_t)bytes;
        stream->avail_in = (uInt)piece;
        if (!deflate_into(w, Z_NO_FLUSH))
            return 0;
        bytes += piece;
        n -= piece;
    }
    return 1;
}

static void add_directory_record(zip_writer *w, unsigned time_field, unsigned date_field, uint64_t header_at)
{
    unsigned char record[DIRECTORY_RECORD_SIZE] = {'P', 'K', 1, 2};
    const size_t name_length = strlen(w->name);
    put_u16(record + 4, 20);
    put_u16(record + 6, 20);
    put_u16(record + 8, FLAG_UTF8);
    put_u16(record + 10, w->stored ? METHOD_STORED : METHOD_DEFLATED);
    put_u16(record + 12, time_field);
    put_u16(record + 14, date_field);
    put_u32(record + 16, w->crc);
    put_u32(record + 20, (uint32_t)w->compressed.size);
    put_u32(record + 24, (uint32_t)w->size);
    put_u16(record + 28, (unsigned)name_length);
    put_u32(record + 42, (uint32_t)header_at);
    put_bytes(&w->directory, record, sizeof record);
    put_bytes(&w->directory, w->name, name_length);
}

int zip_entry_end(zip_writer *w)
{
    unsigned char header[LOCAL_HEADER_SIZE] = {'P', 'K', 3, 4};
    const uint64_t header_at = w->offset;
    const unsigned time_field = DOS_TIME, date_field = DOS_DATE;
    size_t name_length;
    int ok = !w->failed && w->name;
    if (ok && w->stream) {
        ((z_stream *)w->stream)->avail_in = 0;
        ok = deflate_into(w, Z_FINISH);
    }
    if (w->stream) {
        deflateEnd((z_stream *)w->stream);
        free(w->stream);
        w->stream = NULL;
    }
    if (ok && (w->size > 0xFFFFFFFEu || w->compressed.size > 0xFFFFFFFEu || header_at > 0xFFFFFFFEu ||
               w->count >= NO_16 - 1))
        ok = refusal_set("The converted document would pass the 4 GiB that a package holds.");
    if (ok) {
        name_length = strlen(w->name);
        put_u16(header + 4, 20);
        put_u16(header + 6, FLAG_UTF8);
        put_u16(header + 8, w->stored ? METHOD_STORED : METHOD_DEFLATED);
        put_u16(header + 10, time_field);
        put_u16(header + 12, date_field);
        put_u32(header + 14, w->crc);
        put_u32(header + 18, (uint32_t)w->compressed.size);
        put_u32(header + 22, (uint32_t)w->size);
        put_u16(header + 26, (unsigned)name_length);
        ok = write_out(w, header, sizeof header) && write_out(w, w->name, name_length) &&
             write_out(w, w->compressed.data, w->compressed.size);
        if (ok) {
            add_directory_record(w, time_field, date_field, header_at);
            ++w->count;
        }
    }
    free(w->name);
    w->name = NULL;
    if (!ok || w->compressed.failed || w->directory.failed)
        w->failed = 1;
    return !w->failed;
}

int zip_add(zip_writer *w, const char *name, const void *data, size_t n, int stored)
{
    return zip_entry_begin(w, name, stored) && zip_entry_write(w, data, n) && zip_entry_end(w);
}

int32_t zip_write_end(zip_writer *w)
{
    unsigned char end[END_RECORD_SIZE] = {'P', 'K', 5, 6};
    const uint64_t directory_at = w->offset;
    int ok = !w->failed && !w->name;
    if (ok) {
        put_u16(end + 8, w->count);
        put_u16(end + 10, w->count);
        put_u32(end + 12, (uint32_t)w->directory.size);
        put_u32(end + 16, (uint32_t)directory_at);
        ok = write_out(w, w->directory.data, w->directory.size) && write_out(w, end, sizeof end) &&
             fflush(w->out) == 0;
        if (!ok)
            refusal_set(REFUSAL_WRITE_ERROR);
    }
    if (w->stream) {
        deflateEnd((z_stream *)w->stream);
        free(w->stream);
    }
    free(w->name);
    free(w->compressed.data);
    free(w->directory.data);
    memset(w, 0, sizeof *w);
    return ok ? CONVERT_OK : CONVERT_READ_WRITE_FAILED;
}
