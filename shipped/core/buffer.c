/* Buffers, and the input file as one copy-on-write view. */
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/core/buffer.h"
#include "shipped/core/refusal.h"
#include "shipped/core/utf.h"

int reserve(buffer *b, size_t extra)
{
    size_t capacity;
    unsigned char *grown;
    if (b->failed)
        return 0;
    if (b->size + extra <= b->capacity)
        return 1;
    if (b->mapped) {
        /* a view of the input grows as a copy in memory */
        unsigned char *copy = (unsigned char *)malloc(b->size + extra);
        if (!copy) {
            b->failed = 1;
            refusal_set(REFUSAL_OUT_OF_MEMORY);
            return 0;
        }
        memcpy(copy, b->data, b->size);
        release_input(b);
        b->data = copy;
        b->capacity = b->size + extra;
        return 1;
    }
    if (b->sink && b->size > 0) {
        /* an output: written out, and the same memory used again */
        if (fwrite(b->data, 1, b->size, b->sink) != b->size) {
            b->failed = 1;
            refusal_set(REFUSAL_WRITE_ERROR);
            return 0;
        }
        b->size = 0;
        if (extra <= b->capacity)
            return 1;
    }
    capacity = b->capacity ? b->capacity : b->sink ? SINK_SIZE : 256;
    while (capacity < b->size + extra)
        capacity *= 2;
#ifdef CORE_BUFFER_LIMIT
    /* a test build whose memory runs out early */
    grown = capacity <= CORE_BUFFER_LIMIT ? (unsigned char *)realloc(b->data, capacity) : NULL;
#else
    grown = (unsigned char *)realloc(b->data, capacity);
#endif
    if (!grown) {
        b->failed = 1;
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        return 0;
    }
    b->data = grown;
    b->capacity = capacity;
    return 1;
}

/* room_for_one when the array is full: out of line, as it is seldom called. */
void *grow_for_one(void *items, int *capacity, int first, size_t size)
{
    const int grown_capacity = *capacity ? *capacity * 2 : first;
    void *grown;
    grown = realloc(items, (size_t)grown_capacity * size);
    if (grown)
        *capacity = grown_capacity;
    else
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    return grown;
}

void put_number(buffer *b, long value)
{
    char digits[24];
    int n = 0;
    unsigned long magnitude = value < 0 ? 0ul - (unsigned long)value : (unsigned long)value;
    if (value < 0)
        put_byte(b, '-');
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    while (n > 0)
        put_byte(b, (unsigned char)digits[--n]);
}

void put_utf8(buffer *b, uint32_t c)
{
    if (b->size + 4 <= b->capacity || reserve(b, 4))
        b->size += utf8_encode(b->data + b->size, c);
}


/* The file as a copy-on-write view: no copy of it through the runtime, no
 * fresh pages to clear.  Only where the last page leaves room after the
 * data; the test build with tiny blocks reads, so that both ways run. */
static int map_input(FILE *in, long length, buffer *raw)
{
#ifdef _WIN32
    SYSTEM_INFO system;
    HANDLE file = (HANDLE)_get_osfhandle(_fileno(in)), mapping;
    void *view;
    GetSystemInfo(&system);
    if (CORE_BLOCK_SIZE < 4096 || file == INVALID_HANDLE_VALUE || length % (long)system.dwPageSize == 0)
        return 0;
    mapping = CreateFileMappingA(file, NULL, PAGE_WRITECOPY, 0, 0, NULL);
    if (!mapping)
        return 0;
    view = MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, (SIZE_T)length);
    CloseHandle(mapping);
    if (!view)
        return 0;
    raw->data = (unsigned char *)view;
    raw->size = raw->capacity = (size_t)length;
    raw->mapped = 1;
    return 1;
#else
    (void)in, (void)length, (void)raw;
    return 0;
#endif
}

int32_t load_input(FILE *in, buffer *raw)
{
    size_t got;
    if (fseek(in, 0, SEEK_END) == 0) {
        const long length = ftell(in);
        rewind(in);
        if (length > 0 && map_input(in, length, raw))
            return CONVERT_OK;
        if (length > 0)
            reserve(raw, (size_t)length + CORE_BLOCK_SIZE); /* the last read needs a block's room */
    }
    do {
        if (!reserve(raw, CORE_BLOCK_SIZE))
            break;
        got = fread(raw->data + raw->size, 1, CORE_BLOCK_SIZE, in);
        raw->size += got;
    } while (got == CORE_BLOCK_SIZE);
    if (!raw->failed && !ferror(in) && raw->size > 0)
        return CONVERT_OK;
    free(raw->data);
    raw->data = NULL;
    if (ferror(in))
        refusal_set(REFUSAL_READ_ERROR);
    return raw->failed || ferror(in) ? CONVERT_WRONG_FORMAT : CONVERT_EMPTY_INPUT;
}

void release_input(buffer *raw)
{
    if (!raw->data)
        return;
#ifdef _WIN32
    if (raw->mapped) {
        UnmapViewOfFile(raw->data);
    } else
#endif
        free(raw->data);
    raw->data = NULL;
    raw->mapped = 0;
}

int32_t finish_output(FILE *out, buffer *b)
{
    const int ok = !b->failed && fwrite(b->data, 1, b->size, out) == b->size;
    if (!ok)
        refusal_set(REFUSAL_WRITE_ERROR);
    free(b->data);
    b->data = NULL;
    return ok ? CONVERT_OK : CONVERT_WRONG_FORMAT;
}

