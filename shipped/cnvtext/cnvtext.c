/* cnvtext.dll - plain text in eight-bit code pages, UTF-8 and UTF-16, with
 * their line ends.
 *
 * Readers turn a text into the shared intermediate form (sdk/GUIDE.md): a
 * header mark, then the text in UTF-8 with LF line ends.  The header records
 * the line ends the text had, so that a writer "as read" gives them back and
 * a text comes back byte for byte through the same encoding.  A literal ESC
 * in the text is doubled, so that text can never be taken for a mark. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvtext/code_pages.h"

#define MARK 0x1B
#define BLOCK_SIZE (1 << 16)
#define HEADER_NAME "morphex-text 1"

enum encoding { windows_1252, dos_437, dos_850, iso_8859_1, utf_8, utf_16 };
enum line_end { as_read, crlf, lf, cr, mixed };
enum bom_rule { bom_never, bom_always, bom_as_read };

static const uint16_t *const eight_bit_tables[] = {windows_1252_to_unicode, dos_437_to_unicode, dos_850_to_unicode,
                                                   iso_8859_1_to_unicode};
static const char *const line_end_names[] = {"", "crlf", "lf", "cr", "mixed"};

typedef struct buffer {
    unsigned char *data;
    size_t size;
    size_t capacity;
    int failed;
} buffer;

static int reserve(buffer *b, size_t extra)
{
    size_t capacity;
    unsigned char *grown;
    if (b->failed)
        return 0;
    if (b->size + extra <= b->capacity)
        return 1;
    capacity = b->capacity ? b->capacity : BLOCK_SIZE;
    while (capacity < b->size + extra)
        capacity *= 2;
    grown = (unsigned char *)realloc(b->data, capacity);
    if (!grown) {
        b->failed = 1;
        return 0;
    }
    b->data = grown;
    b->capacity = capacity;
    return 1;
}

static void put_byte(buffer *b, unsigned char c)
{
    if (b->size < b->capacity || reserve(b, 1))
        b->data[b->size++] = c;
}

static void put_bytes(buffer *b, const void *bytes, size_t n)
{
    if (reserve(b, n)) {
        memcpy(b->data + b->size, bytes, n);
        b->size += n;
    }
}

static void put_utf8(buffer *b, uint32_t c)
{
    unsigned char *p;
    if (b->size + 4 > b->capacity && !reserve(b, 4))
        return;
    p = b->data + b->size;
    if (c < 0x80) {
        p[0] = (unsigned char)c;
        b->size += 1;
    } else if (c < 0x800) {
        p[0] = (unsigned char)(0xC0 | (c >> 6));
        p[1] = (unsigned char)(0x80 | (c & 0x3F));
        b->size += 2;
    } else if (c < 0x10000) {
        p[0] = (unsigned char)(0xE0 | (c >> 12));
        p[1] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        p[2] = (unsigned char)(0x80 | (c & 0x3F));
        b->size += 3;
    } else {
        p[0] = (unsigned char)(0xF0 | (c >> 18));
        p[1] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
        p[2] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
        p[3] = (unsigned char)(0x80 | (c & 0x3F));
        b->size += 4;
    }
}

static int read_all(FILE *in, buffer *b)
{
    size_t got;
    /* Room for the whole file at once where its length is known. */
    if (fseek(in, 0, SEEK_END) == 0) {
        const long length = ftell(in);
        if (length > 0)
            reserve(b, (size_t)length + 1);
        rewind(in);
    }
    do {
        if (!reserve(b, BLOCK_SIZE))
            return 0;
        got = fread(b->data + b->size, 1, BLOCK_SIZE, in);
        b->size += got;
    } while (got == BLOCK_SIZE);
    return !ferror(in);
}

/* The whole input; -2 when it is empty, -1 when it cannot be read. */
static int32_t load_input(FILE *in, buffer *raw)
{
    if (read_all(in, raw) && raw->size > 0)
        return CONVERT_OK;
    free(raw->data);
    raw->data = NULL;
    return raw->failed || ferror(in) ? CONVERT_WRONG_FORMAT : CONVERT_EMPTY_INPUT;
}

static int write_all(FILE *out, const buffer *b)
{
    return !b->failed && fwrite(b->data, 1, b->size, out) == b->size;
}

/* Decodes one UTF-8 sequence at *pos; 0xFFFFFFFF when it is not valid
 * (overlong forms, surrogates and values past U+10FFFF included). */
static uint32_t next_utf8(const unsigned char *s, size_t size, size_t *pos)
{
    const unsigned char lead = s[*pos];
    uint32_t c, minimum;
    size_t length, i;
    if (lead < 0x80) {
        ++*pos;
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        return 0xFFFFFFFFu;
    }
    if (*pos + length > size)
        return 0xFFFFFFFFu;
    for (i = 1; i < length; ++i) {
        if ((s[*pos + i] & 0xC0) != 0x80)
            return 0xFFFFFFFFu;
        c = (c << 6) | (s[*pos + i] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0xFFFFFFFFu;
    *pos += length;
    return c;
}

/* Length of the run from pos of bytes that stand for themselves in every
 * form: ASCII other than NUL, ESC, CR and LF. */
static size_t plain_run(const unsigned char *s, size_t size, size_t pos)
{
    size_t end = pos;
    while (end < size && s[end] < 0x80 && s[end] != 0 && s[end] != MARK && s[end] != '\r' && s[end] != '\n')
        ++end;
    return end - pos;
}

static void put_text_char(buffer *text, uint32_t c)
{
    if (c == MARK)
        put_byte(text, MARK);
    put_utf8(text, c);
}

/* Text of the input in UTF-8, ESC doubled; -1 when it is not in the
 * encoding, 0 when it holds no character. */
static int decode(const buffer *raw, enum encoding encoding, buffer *text, int *had_bom)
{
    const unsigned char *s = raw->data;
    size_t pos = 0;
    *had_bom = 0;
    if (encoding == utf_8) {
        if (raw->size >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
            *had_bom = 1;
            pos = 3;
        }
        while (pos < raw->size) {
            const size_t run = plain_run(s, raw->size, pos);
            uint32_t c;
            if (run > 0) {
                put_bytes(text, s + pos, run);
                pos += run;
                continue;
            }
            c = next_utf8(s, raw->size, &pos);
            if (c == 0xFFFFFFFFu || c == 0)
                return -1;
            put_text_char(text, c);
        }
    } else if (encoding == utf_16) {
        int big_endian;
        if (raw->size < 2 || raw->size % 2 != 0)
            return -1;
        if (s[0] == 0xFF && s[1] == 0xFE)
            big_endian = 0;
        else if (s[0] == 0xFE && s[1] == 0xFF)
            big_endian = 1;
        else
            return -1;
        for (pos = 2; pos < raw->size; pos += 2) {
            uint32_t c = big_endian ? (uint32_t)(s[pos] << 8 | s[pos + 1]) : (uint32_t)(s[pos + 1] << 8 | s[pos]);
            if (c >= 0xDC00 && c <= 0xDFFF)
                return -1;
            if (c >= 0xD800 && c <= 0xDBFF) {
                uint32_t low;
                if (pos + 3 >= raw->size)
                    return -1;
                pos += 2;
                low = big_endian ? (uint32_t)(s[pos] << 8 | s[pos + 1]) : (uint32_t)(s[pos + 1] << 8 | s[pos]);
                if (low < 0xDC00 || low > 0xDFFF)
                    return -1;
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            if (c == 0)
                return -1;
            put_text_char(text, c);
        }
    } else {
        const uint16_t *table = eight_bit_tables[encoding];
        while (pos < raw->size) {
            const size_t run = plain_run(s, raw->size, pos);
            if (run > 0) {
                put_bytes(text, s + pos, run);
                pos += run;
                continue;
            }
            if (s[pos] == 0) /* a binary file, not a text */
                return -1;
            put_text_char(text, table[s[pos]]);
            ++pos;
        }
    }
    return text->size > 0 ? 1 : 0;
}

static enum line_end line_ends_of(const buffer *text)
{
    size_t pairs = 0, lone_cr = 0, lone_lf = 0, i;
    for (i = 0; i < text->size; ++i) {
        if (text->data[i] == '\r') {
            if (i + 1 < text->size && text->data[i + 1] == '\n') {
                ++pairs;
                ++i;
            } else {
                ++lone_cr;
            }
        } else if (text->data[i] == '\n') {
            ++lone_lf;
        }
    }
    if (lone_cr == 0 && lone_lf == 0 && pairs > 0)
        return crlf;
    if (lone_cr == 0 && pairs == 0)
        return lf;
    if (lone_lf == 0 && pairs == 0)
        return cr;
    return mixed;
}

static int32_t read_text(FILE *in, FILE *out, enum encoding encoding)
{
    buffer raw = {0}, text = {0}, result = {0};
    char header[96];
    int had_bom, decoded, ok;
    int32_t loaded;
    enum line_end ends;
    size_t i;
    loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    reserve(&text, raw.size + raw.size / 2);
    decoded = decode(&raw, encoding, &text, &had_bom);
    free(raw.data);
    if (decoded <= 0 || text.failed) {
        free(text.data);
        return decoded == 0 ? CONVERT_EMPTY_INPUT : CONVERT_WRONG_FORMAT;
    }
    ends = line_ends_of(&text);
    snprintf(header, sizeof header, "%c[" HEADER_NAME " eol=%s bom=%d]\n", MARK, line_end_names[ends], had_bom);
    reserve(&result, text.size + sizeof header);
    put_bytes(&result, header, strlen(header));
    if (ends == lf || ends == mixed) {
        put_bytes(&result, text.data, text.size);
    } else {
        for (i = 0; i < text.size;) {
            const unsigned char *cr_at = (const unsigned char *)memchr(text.data + i, '\r', text.size - i);
            const size_t run = cr_at ? (size_t)(cr_at - (text.data + i)) : text.size - i;
            put_bytes(&result, text.data + i, run);
            i += run;
            if (i < text.size) {
                if (ends == cr)
                    put_byte(&result, '\n');
                ++i;
            }
        }
    }
    free(text.data);
    ok = write_all(out, &result);
    free(result.data);
    return ok ? CONVERT_OK : CONVERT_WRONG_FORMAT;
}

/* Reverse tables, built at the first use: Unicode to byte, 0 for none. */
static unsigned char *reverse_table(enum encoding encoding)
{
    static unsigned char *tables[4];
    if (!tables[encoding]) {
        unsigned char *table = (unsigned char *)calloc(0x10000, 1);
        int byte;
        if (!table)
            return NULL;
        for (byte = 255; byte > 0; --byte)
            table[eight_bit_tables[encoding][byte]] = (unsigned char)byte;
        tables[encoding] = table;
    }
    return tables[encoding];
}

static uint32_t fallback(uint32_t c)
{
    if (c >= FOLD_FIRST && c <= FOLD_LAST && fold_to_ascii[c - FOLD_FIRST])
        return (unsigned char)fold_to_ascii[c - FOLD_FIRST];
    switch (c) {
    case 0x2018: case 0x2019: case 0x201A: return '\'';
    case 0x201C: case 0x201D: case 0x201E: return '"';
    case 0x2013: case 0x2014: return '-';
    case 0x00A0: return ' ';
    }
    return '?';
}

static void put_encoded(buffer *out, enum encoding encoding, const unsigned char *reverse, uint32_t c)
{
    if (encoding == utf_8) {
        put_utf8(out, c);
    } else if (encoding == utf_16) {
        if (c >= 0x10000) {
            const uint32_t v = c - 0x10000;
            const uint32_t high = 0xD800 + (v >> 10), low = 0xDC00 + (v & 0x3FF);
            put_byte(out, (unsigned char)(high & 0xFF));
            put_byte(out, (unsigned char)(high >> 8));
            put_byte(out, (unsigned char)(low & 0xFF));
            put_byte(out, (unsigned char)(low >> 8));
        } else {
            put_byte(out, (unsigned char)(c & 0xFF));
            put_byte(out, (unsigned char)(c >> 8));
        }
    } else {
        unsigned char byte = c < 0x10000 ? reverse[c] : 0;
        if (byte == 0 && c != 0)
            byte = reverse[fallback(c)];
        put_byte(out, byte ? byte : '?');
    }
}

static void put_line_end(buffer *out, enum encoding encoding, const unsigned char *reverse, enum line_end ends)
{
    if (ends == crlf || ends == cr)
        put_encoded(out, encoding, reverse, '\r');
    if (ends != cr)
        put_encoded(out, encoding, reverse, '\n');
}

/* Reads the header mark; leaves *pos after it.  A text without one is plain
 * UTF-8 with LF line ends. */
static void read_header(const buffer *in, size_t *pos, enum line_end *ends, int *had_bom)
{
    const char *s = (const char *)in->data;
    const size_t name_length = strlen(HEADER_NAME);
    size_t end;
    *ends = lf;
    *had_bom = 0;
    if (in->size < name_length + 2 || s[0] != MARK || s[1] != '[' || memcmp(s + 2, HEADER_NAME, name_length) != 0)
        return;
    for (end = 2; end < in->size && s[end] != ']'; ++end)
        ;
    if (end < in->size) {
        char fields[128];
        size_t length = end - 2 < sizeof fields - 1 ? end - 2 : sizeof fields - 1;
        int kind;
        memcpy(fields, s + 2, length);
        fields[length] = '\0';
        for (kind = crlf; kind <= mixed; ++kind) {
            char wanted[16];
            snprintf(wanted, sizeof wanted, "eol=%s ", line_end_names[kind]);
            if (strstr(fields, wanted))
                *ends = (enum line_end)kind;
        }
        *had_bom = strstr(fields, "bom=1") != NULL;
        *pos = end + 1;
        if (*pos < in->size && s[*pos] == '\n')
            ++*pos;
    }
}

static int32_t write_text(FILE *in, FILE *out, enum encoding encoding, enum line_end wanted, enum bom_rule bom)
{
    buffer raw = {0}, result = {0};
    const unsigned char *reverse = NULL;
    size_t pos = 0;
    enum line_end ends;
    int had_bom, ok;
    int32_t loaded;
    loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    read_header(&raw, &pos, &ends, &had_bom);
    if (wanted != as_read)
        ends = wanted;
    if (encoding != utf_8 && encoding != utf_16 && !(reverse = reverse_table(encoding))) {
        free(raw.data);
        return CONVERT_WRONG_FORMAT;
    }
    reserve(&result, raw.size + 16);
    if (encoding == utf_16)
        put_bytes(&result, "\xFF\xFE", 2);
    if (encoding == utf_8 && (bom == bom_always || (bom == bom_as_read && had_bom)))
        put_bytes(&result, "\xEF\xBB\xBF", 3);
    while (pos < raw.size) {
        uint32_t c;
        if (encoding != utf_16) {
            /* ASCII is the same in every eight-bit page written here */
            const size_t run = plain_run(raw.data, raw.size, pos);
            if (run > 0) {
                put_bytes(&result, raw.data + pos, run);
                pos += run;
                continue;
            }
        }
        c = next_utf8(raw.data, raw.size, &pos);
        if (c == 0xFFFFFFFFu) {
            free(raw.data);
            free(result.data);
            return CONVERT_WRONG_FORMAT;
        }
        if (c == MARK && pos < raw.size && raw.data[pos] == '[') {
            /* a structure mark: plain text has no place for it */
            while (pos < raw.size && raw.data[pos] != ']')
                ++pos;
            ++pos;
        } else if (c == MARK && pos < raw.size && raw.data[pos] == MARK) {
            ++pos;
            put_encoded(&result, encoding, reverse, MARK);
        } else if (ends == mixed) {
            put_encoded(&result, encoding, reverse, c);
        } else if (c == '\n') {
            put_line_end(&result, encoding, reverse, ends);
        } else if (c == '\r') {
            if (pos < raw.size && raw.data[pos] == '\n')
                ++pos;
            put_line_end(&result, encoding, reverse, ends);
        } else {
            put_encoded(&result, encoding, reverse, c);
        }
    }
    free(raw.data);
    ok = write_all(out, &result);
    free(result.data);
    return ok ? CONVERT_OK : CONVERT_WRONG_FORMAT;
}

#define READER(function, encoding) \
    static int32_t __cdecl function(FILE *in, FILE *out) { return read_text(in, out, encoding); }
#define WRITER(function, encoding, ends, bom) \
    static int32_t __cdecl function(FILE *in, FILE *out) { return write_text(in, out, encoding, ends, bom); }

READER(read_1252, windows_1252)
READER(read_437, dos_437)
READER(read_850, dos_850)
READER(read_8859_1, iso_8859_1)
READER(read_utf8, utf_8)
READER(read_utf16, utf_16)

WRITER(write_1252, windows_1252, as_read, bom_never)
WRITER(write_1252_crlf, windows_1252, crlf, bom_never)
WRITER(write_1252_lf, windows_1252, lf, bom_never)
WRITER(write_437, dos_437, as_read, bom_never)
WRITER(write_437_crlf, dos_437, crlf, bom_never)
WRITER(write_850, dos_850, as_read, bom_never)
WRITER(write_850_crlf, dos_850, crlf, bom_never)
WRITER(write_8859_1, iso_8859_1, as_read, bom_never)
WRITER(write_8859_1_lf, iso_8859_1, lf, bom_never)
WRITER(write_utf8, utf_8, as_read, bom_as_read)
WRITER(write_utf8_bom, utf_8, as_read, bom_always)
WRITER(write_utf8_crlf, utf_8, crlf, bom_never)
WRITER(write_utf8_lf, utf_8, lf, bom_never)
WRITER(write_utf16, utf_16, as_read, bom_always)

typedef struct format_description {
    const char *name;
    const char *ext;
    convert_fn converter;
} format_description;

static const format_description sources[] = {
    {"Text - DOS (437)", "txt", read_437},
    {"Text - DOS multilingual (850)", "txt", read_850},
    {"Text - ISO 8859-1", "txt", read_8859_1},
    {"Text - UTF-16", "txt", read_utf16},
    {"Text - UTF-8", "txt", read_utf8},
    {"Text - Windows ANSI (1252)", "txt", read_1252},
};

static const format_description targets[] = {
    {"Text - DOS (437)", "txt", write_437},
    {"Text - DOS (437), CR LF", "txt", write_437_crlf},
    {"Text - DOS multilingual (850)", "txt", write_850},
    {"Text - DOS multilingual (850), CR LF", "txt", write_850_crlf},
    {"Text - ISO 8859-1", "txt", write_8859_1},
    {"Text - ISO 8859-1, LF", "txt", write_8859_1_lf},
    {"Text - UTF-16", "txt", write_utf16},
    {"Text - UTF-8", "txt", write_utf8},
    {"Text - UTF-8 with BOM", "txt", write_utf8_bom},
    {"Text - UTF-8, CR LF", "txt", write_utf8_crlf},
    {"Text - UTF-8, LF", "txt", write_utf8_lf},
    {"Text - Windows ANSI (1252)", "txt", write_1252},
    {"Text - Windows ANSI (1252), CR LF", "txt", write_1252_crlf},
    {"Text - Windows ANSI (1252), LF", "txt", write_1252_lf},
};

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    const format_description *formats = list == FORMAT_LIST_SOURCE ? sources : targets;
    const int count = list == FORMAT_LIST_SOURCE ? (int)(sizeof sources / sizeof *sources)
                                                 : (int)(sizeof targets / sizeof *targets);
    int i;
    (void)always_one;
    for (i = 0; i < count; ++i) {
        memset(&first[i], 0, sizeof first[i]);
        snprintf(first[i].name, sizeof first[i].name, "%s", formats[i].name);
        snprintf(first[i].ext, sizeof first[i].ext, "%s", formats[i].ext);
        first[i].converter = formats[i].converter;
    }
    return count;
}
