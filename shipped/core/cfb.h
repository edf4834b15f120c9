/* Compound files, the container of the legacy office formats (.doc, .xls,
 * .ppt), as [MS-CFB] describes them (versions 3 and 4): a file of sectors
 * whose streams are chains in a file allocation table, the small ones in a
 * mini stream of 64-byte sectors, named in a directory.
 *
 * Reading trusts nothing the file says: every chain is followed with a
 * mark per sector, so that a chain that loops, leaves the file or ends
 * before its stream's length is refused with the reason, and no stream is
 * longer than the file that holds it.  Each failure sets the conversion's
 * refusal reason and returns 0. */
#ifndef SHIPPED_CORE_CFB_H
#define SHIPPED_CORE_CFB_H

#include <stddef.h>
#include <stdint.h>

#include "shipped/core/buffer.h"

#define CFB_SIGNATURE "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"
#define CFB_HEADER_SIZE 512

typedef struct cfb_file {
    const unsigned char *data; /* the whole file, owned by the caller */
    size_t size;
    unsigned sector_shift;     /* 9 or 12 */
    uint32_t sector_count;     /* sectors the file holds, a short last one counted */
    uint32_t *fat;             /* the allocation table, sector_count entries at most */
    uint32_t fat_count;
    uint32_t *mini_fat;
    uint32_t mini_fat_count;
    buffer directory;          /* the directory's sectors, 128 bytes an entry */
    uint32_t entry_count;
    buffer mini_stream;        /* the root entry's stream, which holds the small streams */
    unsigned char *seen;       /* a mark per sector while a chain is followed */
} cfb_file;

/* Whether the data begins as a compound file does. */
int cfb_is_compound(const unsigned char *data, size_t size);
/* Reads the header, the allocation tables and the directory; 0 (with the
 * reason) when the file is not a compound file or is damaged. */
int cfb_open(cfb_file *f, const unsigned char *data, size_t size);
/* The entry of the stream named `name` (ASCII, case ignored as the format
 * compares names) among the root storage's children; -1 when none. */
long cfb_find(const cfb_file *f, const char *name);
/* The stream's bytes appended to `out`. */
int cfb_read(cfb_file *f, long entry, buffer *out);
void cfb_close(cfb_file *f);

#endif
