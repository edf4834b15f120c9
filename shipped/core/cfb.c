/* Compound files ([MS-CFB]): the header, the allocation tables, the
 * directory, and streams read whole by following their chains. */
#include "shipped/core/cfb.h"

#include <stdlib.h>

#include "shipped/core/refusal.h"

#define END_OF_CHAIN 0xFFFFFFFEu
#define FREE_SECTOR 0xFFFFFFFFu
#define MINI_SHIFT 6
#define ENTRY_SIZE 128
#define HEADER_DIFAT 109
#define ENTRY_STORAGE 1
#define ENTRY_STREAM 2
#define ENTRY_ROOT 5
#define NO_ENTRY 0xFFFFFFFFu
/* A chain whose length the file does not give (the directory's in a
 * version 3 file): it is followed to its end mark. */
#define WHOLE_CHAIN UINT64_MAX

#define DAMAGED "The compound file that holds the document is damaged: "

static uint32_t u32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static unsigned u16(const unsigned char *p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8;
}

int cfb_is_compound(const unsigned char *data, size_t size)
{
    return size >= 8 && memcmp(data, CFB_SIGNATURE, 8) == 0;
}

/* What a chain is read from: the file's sectors, or the mini stream's. */
typedef struct chain_source {
    const uint32_t *table;
    uint32_t count;      /* sectors that are both in the table and in the source */
    unsigned shift;
    const unsigned char *bytes;
    size_t size;
    size_t first_offset; /* where sector 0 begins: after the header in the file */
} chain_source;

static chain_source file_sectors(const cfb_file *f)
{
    chain_source s = {f->fat, f->fat_count < f->sector_count ? f->fat_count : f->sector_count, f->sector_shift,
                      f->data, f->size, (size_t)1 << f->sector_shift};
    return s;
}

static chain_source mini_sectors(const cfb_file *f)
{
    const size_t held = (f->mini_stream.size + (1u << MINI_SHIFT) - 1) >> MINI_SHIFT;
    chain_source s = {f->mini_fat, f->mini_fat_count < held ? f->mini_fat_count : (uint32_t)held, MINI_SHIFT,
                      f->mini_stream.data, f->mini_stream.size, 0};
    return s;
}

/* Appends `length` bytes of the chain from `start` (to its end mark for
 * WHOLE_CHAIN); a sector met twice is a loop.  A short last sector of the
 * file reads as zeros past its end, as writers that trim the file expect. */
static int read_chain(cfb_file *f, const chain_source *src, uint32_t start, uint64_t length, buffer *out,
                      const char *what)
{
    const size_t sector = (size_t)1 << src->shift;
    uint64_t left = length;
    uint32_t s = start;
    if (length != WHOLE_CHAIN && length > (uint64_t)src->count << src->shift)
        return refusal_setf(DAMAGED "%s claims %llu bytes, more than its sectors hold.", what,
                            (unsigned long long)length);
    if (length != WHOLE_CHAIN && !reserve(out, (size_t)length))
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    memset(f->seen, 0, (size_t)src->count + 1);
    while (left > 0) {
        size_t offset, take, held;
        if (s == END_OF_CHAIN && length == WHOLE_CHAIN)
            break;
        if (s == END_OF_CHAIN)
            return refusal_setf(DAMAGED "%s ends %llu bytes before its length.", what, (unsigned long long)left);
        if (s >= src->count)
            return refusal_setf(DAMAGED "%s leads to sector %lu, past the end of the file.", what, (unsigned long)s);
        if (f->seen[s])
            return refusal_setf(DAMAGED "%s loops back to sector %lu.", what, (unsigned long)s);
        f->seen[s] = 1;
        offset = src->first_offset + ((size_t)s << src->shift);
        take = left < sector ? (size_t)left : sector;
        held = offset < src->size ? (src->size - offset < take ? src->size - offset : take) : 0;
        put_bytes(out, src->bytes + offset, held);
        while (held++ < take)
            put_byte(out, 0);
        if (length != WHOLE_CHAIN)
            left -= take;
        s = src->table[s];
    }
    return out->failed ? refusal_set(REFUSAL_OUT_OF_MEMORY) : 1;
}

/* The sector numbers of the allocation table: the header's first 109,
 * then the DIFAT sectors' chain, each sector's last entry its next. */
static int read_fat(cfb_file *f, const unsigned char *header)
{
    const uint32_t fat_sectors = u32(header + 44), per_sector = (1u << f->sector_shift) / 4;
    uint32_t difat = u32(header + 68), difat_left = u32(header + 72), i;
    const unsigned char *list = header + 76;
    uint32_t in_list = HEADER_DIFAT;
    if (fat_sectors > f->sector_count)
        return refusal_setf(DAMAGED "its allocation table claims %lu sectors, more than the file holds.",
                            (unsigned long)fat_sectors);
    f->fat_count = fat_sectors * per_sector;
    f->fat = (uint32_t *)malloc(((size_t)f->fat_count + 1) * sizeof *f->fat);
    if (!f->fat)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; i < fat_sectors; ++i) {
        uint32_t where, j;
        if (in_list == 0) {
            /* a DIFAT chain longer than the header says would loop */
            if (difat_left-- == 0 || difat >= f->sector_count)
                return refusal_set(DAMAGED "the list of its allocation table's sectors ends early or leaves the file.");
            list = f->data + ((size_t)(difat + 1) << f->sector_shift);
            if ((size_t)(list - f->data) + ((size_t)per_sector << 2) > f->size)
                return refusal_set(DAMAGED "the list of its allocation table's sectors leaves the file.");
            in_list = per_sector - 1;
            difat = u32(list + 4 * in_list);
        }
        where = u32(list);
        list += 4;
        --in_list;
        if (where >= f->sector_count)
            return refusal_setf(DAMAGED "its allocation table's sector %lu is past the end of the file.",
                                (unsigned long)where);
        for (j = 0; j < per_sector; ++j) {
            const size_t at = ((size_t)(where + 1) << f->sector_shift) + 4 * j;
            f->fat[i * per_sector + j] = at + 4 <= f->size ? u32(f->data + at) : FREE_SECTOR;
        }
    }
    return 1;
}

static const unsigned char *entry_at(const cfb_file *f, uint32_t i)
{
    return f->directory.data + (size_t)i * ENTRY_SIZE;
}

static uint64_t entry_size(const cfb_file *f, const unsigned char *e)
{
    /* version 3 files may leave garbage in the high half */
    return f->sector_shift == 9 ? u32(e + 120) : (uint64_t)u32(e + 120) | (uint64_t)u32(e + 124) << 32;
}

static int read_mini_fat(cfb_file *f, const unsigned char *header)
{
    const uint32_t first = u32(header + 60), count = u32(header + 64);
    const chain_source src = file_sectors(f);
    buffer table = {0};
    const unsigned char *root = entry_at(f, 0);
    uint32_t i;
    if (count == 0 || first == END_OF_CHAIN)
        return 1;
    if (!read_chain(f, &src, first, (uint64_t)count << f->sector_shift, &table, "the small streams' table")) {
        free(table.data);
        return 0;
    }
    f->mini_fat_count = (uint32_t)(table.size / 4);
    f->mini_fat = (uint32_t *)malloc(((size_t)f->mini_fat_count + 1) * sizeof *f->mini_fat);
    if (!f->mini_fat) {
        free(table.data);
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    }
    for (i = 0; i < f->mini_fat_count; ++i)
        f->mini_fat[i] = u32(table.data + 4 * i);
    free(table.data);
    return read_chain(f, &src, u32(root + 116), entry_size(f, root), &f->mini_stream, "the small streams' store");
}

int cfb_open(cfb_file *f, const unsigned char *data, size_t size)
{
    unsigned version;
    chain_source src;
    memset(f, 0, sizeof *f);
    f->data = data;
    f->size = size;
    if (!cfb_is_compound(data, size))
        return refusal_first_bytes("a compound file", data, size);
    if (size < CFB_HEADER_SIZE)
        return refusal_setf(DAMAGED "it ends at byte %lu, within its header.", (unsigned long)size);
    version = u16(data + 26);
    if ((version != 3 && version != 4) || u16(data + 28) != 0xFFFE || u16(data + 32) != MINI_SHIFT ||
        u16(data + 30) != (version == 3 ? 9u : 12u))
        return refusal_setf(DAMAGED "its header gives version %u with sectors of 2^%u bytes, which no writer makes.",
                            version, u16(data + 30));
    f->sector_shift = u16(data + 30);
    f->sector_count = (uint32_t)(((size >> f->sector_shift) + ((size & ((1u << f->sector_shift) - 1)) != 0)) - 1);
    /* room for a mark per sector of the file, or per small sector of the mini stream it holds */
    f->seen = (unsigned char *)malloc(((size_t)f->sector_count << (f->sector_shift - MINI_SHIFT)) + 1);
    if (!f->seen)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    if (!read_fat(f, data))
        return 0;
    src = file_sectors(f);
    if (!read_chain(f, &src, u32(data + 48), WHOLE_CHAIN, &f->directory, "its directory"))
        return 0;
    f->entry_count = (uint32_t)(f->directory.size / ENTRY_SIZE);
    if (f->entry_count == 0 || entry_at(f, 0)[66] != ENTRY_ROOT)
        return refusal_set(DAMAGED "its directory has no root entry.");
    return read_mini_fat(f, data);
}

static int name_is(const unsigned char *e, const char *name)
{
    const unsigned length = u16(e + 64) / 2;
    unsigned i;
    if (length == 0 || length > 32 || length - 1 != strlen(name))
        return 0;
    for (i = 0; i + 1 < length; ++i)
        if (u16(e + 2 * i) >= 0x80 || ascii_lower((int)u16(e + 2 * i)) != ascii_lower((unsigned char)name[i]))
            return 0;
    return 1;
}

long cfb_find(const cfb_file *f, const char *name)
{
    /* the root's children are a tree of siblings; a mark per entry keeps a
     * tree that points back into itself from being walked for ever */
    uint32_t *stack = (uint32_t *)malloc((2 * (size_t)f->entry_count + 1) * sizeof *stack);
    unsigned char *seen = (unsigned char *)calloc(f->entry_count + 1, 1);
    uint32_t depth = 0;
    long found = -1;
    if (stack && seen)
        stack[depth++] = u32(entry_at(f, 0) + 76);
    while (depth > 0 && found < 0) {
        const uint32_t i = stack[--depth];
        const unsigned char *e;
        if (i >= f->entry_count || seen[i])
            continue;
        seen[i] = 1;
        e = entry_at(f, i);
        if (e[66] == ENTRY_STREAM && name_is(e, name))
            found = (long)i;
        stack[depth++] = u32(e + 68);
        stack[depth++] = u32(e + 72);
    }
    free(stack);
    free(seen);
    return found;
}

int cfb_read(cfb_file *f, long entry, buffer *out)
{
    const unsigned char *e = entry_at(f, (uint32_t)entry);
    const uint64_t size = entry_size(f, e);
    chain_source src;
    if (size == 0)
        return 1;
    src = size < u32(f->data + 56) ? mini_sectors(f) : file_sectors(f);
    return read_chain(f, &src, u32(e + 116), size, out, "a stream's sector chain");
}

void cfb_close(cfb_file *f)
{
    free(f->fat);
    free(f->mini_fat);
    free(f->directory.data);
    free(f->mini_stream.data);
    free(f->seen);
    memset(f, 0, sizeof *f);
}
