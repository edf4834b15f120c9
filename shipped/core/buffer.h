/* The shipped plug-ins' byte buffers: memory that grows by doubling, or an
 * output that is written out whenever it is full; the input file as one
 * view; and the scans their hot paths make sixteen bytes at a time. */
#ifndef SHIPPED_CORE_BUFFER_H
#define SHIPPED_CORE_BUFFER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "shipped/core/utf.h"

/* A test build makes the input's blocks and the output's buffer tiny, so
 * that every byte is cut by a boundary somewhere. */
#ifndef CORE_BLOCK_SIZE
#define CORE_BLOCK_SIZE (1 << 16)
#endif
#ifndef CORE_SINK_SIZE
#define CORE_SINK_SIZE (1 << 20)
#endif

typedef struct buffer {
    unsigned char *data;
    size_t size;
    size_t capacity;
    int failed;
    FILE *sink; /* an output written out whenever it is full */
    int mapped; /* data is a copy-on-write view of the input file (load_input) */
} buffer;

#define SINK_SIZE CORE_SINK_SIZE
/* A read or write error: the converter stops and leaves the stream's error
 * flag set for the host to report. */
#define CONVERT_READ_WRITE_FAILED (-3)

int reserve(buffer *b, size_t extra);
void *grow_for_one(void *items, int *capacity, int first, size_t size);
/* Room for one more item in an array of `count` items of `size` bytes that
 * grows by doubling from `first`: the array, moved if it grew, or NULL when
 * memory runs out (the old array is then left as it was). */
static inline void *room_for_one(void *items, int count, int *capacity, int first, size_t size)
{
    return count < *capacity ? items : grow_for_one(items, capacity, first, size);
}
void put_utf8(buffer *b, uint32_t c);
void put_number(buffer *b, long value);

/* The calls of every character and word: inline, and short copies without
 * a call into the C runtime. */
static inline void put_byte(buffer *b, unsigned char c)
{
    if (b->size < b->capacity || reserve(b, 1))
        b->data[b->size++] = c;
}

static inline void put_bytes(buffer *b, const void *bytes, size_t n)
{
    unsigned char *d;
    const unsigned char *s = (const unsigned char *)bytes;
    if (n == 0 || (b->size + n > b->capacity && !reserve(b, n)))
        return;
    d = b->data + b->size;
    if (n > 16 && n <= 64) {
        /* overlapping sixteen-byte copies: a runtime memcpy, or the rep movs
         * the compiler puts in its place, is slow to start for a word */
        __builtin_memcpy(d, s, 16);
        __builtin_memcpy(d + n - 16, s + n - 16, 16);
        if (n > 32) {
            __builtin_memcpy(d + 16, s + 16, 16);
            __builtin_memcpy(d + n - 32, s + n - 32, 16);
        }
    } else if (n >= 8 && n <= 16) {
        __builtin_memcpy(d, s, 8);
        __builtin_memcpy(d + n - 8, s + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        __builtin_memcpy(d, s, 4);
        __builtin_memcpy(d + n - 4, s + n - 4, 4);
    } else if (n < 4) {
        d[0] = s[0];
        d[n / 2] = s[n / 2];
        d[n - 1] = s[n - 1];
    } else {
        memcpy(d, s, n);
    }
    b->size += n;
}

/* The first byte c in s[0..n), NULL when none: sixteen bytes at a time
 * where SSE2 is there (always on x86_64), else eight (the runtime's memchr
 * goes byte by byte in some C runtimes). */
static inline const unsigned char *find_byte(const unsigned char *s, size_t n, unsigned char c)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull, pattern = ones * c;
    const unsigned char *end = s + n;
#ifdef __SSE2__
    if (n >= 16) {
        const __m128i wanted = _mm_set1_epi8((char)c);
        unsigned hits;
        for (; end - s >= 16; s += 16) {
            hits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)s), wanted));
            if (hits)
                return s + __builtin_ctz(hits);
        }
        if (s == end)
            return NULL;
        /* the last sixteen bytes, less those already seen */
        hits = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(end - 16)), wanted)) >>
               (16 - (end - s));
        return hits ? s + __builtin_ctz(hits) : NULL;
    }
#endif
    while (end - s >= 8) {
        uint64_t word;
        __builtin_memcpy(&word, s, 8);
        word ^= pattern;
        if ((word - ones) & ~word & highs)
            break;
        s += 8;
    }
    for (; s < end; ++s)
        if (*s == c)
            return s;
    return NULL;
}

/* The bytes of `word` that are zero, as their high bits: exact as to
 * whether there is one. */
static inline uint64_t zero_bytes(uint64_t word)
{
    return (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
}

/* Whether s[0..n) holds byte c: a run shorter than sixteen bytes, the most
 * common between two marks, is two overlapping loads, not a loop. */
static inline int holds_byte(const unsigned char *s, size_t n, unsigned char c)
{
    if (n >= 16)
        return find_byte(s, n, c) != NULL;
    if (n >= 8) {
        const uint64_t pattern = 0x0101010101010101ull * c;
        uint64_t first, last;
        __builtin_memcpy(&first, s, 8);
        __builtin_memcpy(&last, s + n - 8, 8);
        return (zero_bytes(first ^ pattern) | zero_bytes(last ^ pattern)) != 0;
    }
    if (n >= 4) {
        const uint32_t pattern = 0x01010101u * c;
        uint32_t first, last;
        __builtin_memcpy(&first, s, 4);
        __builtin_memcpy(&last, s + n - 4, 4);
        return (zero_bytes((uint64_t)(first ^ pattern) << 32 | (last ^ pattern))) != 0;
    }
    return n > 0 && (s[0] == c || s[n / 2] == c || s[n - 1] == c);
}

/* The length of the run of ASCII bytes that s[0..n) begins with, sixteen
 * or eight bytes at a time. */
static inline size_t ascii_run(const unsigned char *s, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; n - i >= 16; i += 16) {
        const unsigned high = (unsigned)_mm_movemask_epi8(_mm_loadu_si128((const __m128i *)(s + i)));
        if (high)
            return i + (size_t)__builtin_ctz(high);
    }
#endif
    for (; n - i >= 8; i += 8) {
        uint64_t word;
        __builtin_memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (i < n && s[i] < 0x80)
        ++i;
    return i;
}

/* Base64 of the bytes; and base64 decoded, white space passed over and the
 * padding optional, as browsers read a data: address (0 when it is not
 * base64). */
void put_base64(buffer *out, const unsigned char *data, size_t n);
/* UTF-16 as UTF-8, a surrogate without its other half as U+FFFD and NULs
 * left out; the offset of the first NUL, n when there is none. */
size_t put_utf16_as_utf8(buffer *out, const unsigned char *s, size_t n, int big_endian);
int decode_base64(buffer *out, const unsigned char *s, size_t n);

/* A letter of ASCII in lower case, as names and labels compare. */
static inline int ascii_lower(int c)
{
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

static inline void put_str(buffer *b, const char *s)
{
    put_bytes(b, s, strlen(s));
}

/* The entry named `name` in a table sorted by name (as strcmp orders them)
 * whose entries, `size` bytes each, begin with their name; NULL when there
 * is none. */
static inline const void *find_named(const void *table, size_t count, size_t size, const char *name)
{
    size_t low = 0, high = count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const void *entry = (const char *)table + middle * size;
        const int order = strcmp(*(const char *const *)entry, name);
        if (order == 0)
            return entry;
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return NULL;
}

/* A byte as %XX, as URLs and the intermediate form's values carry it. */
static inline void put_percent_byte(buffer *b, unsigned char c)
{
    static const char hex[] = "0123456789ABCDEF";
    put_byte(b, '%');
    put_byte(b, (unsigned char)hex[c >> 4]);
    put_byte(b, (unsigned char)hex[c & 15]);
}
/* The whole input; CONVERT_EMPTY_INPUT or CONVERT_WRONG_FORMAT on failure.
 * At least one byte of room follows the data, for a scanner's end mark. */
int32_t load_input(FILE *in, buffer *raw);
/* Frees what load_input gave, a view of the file or memory. */
void release_input(buffer *raw);
int32_t finish_output(FILE *out, buffer *b);

#endif
