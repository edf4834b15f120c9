/* cnvtext.dll - plain text in the world's code pages, UTF-8 and UTF-16, with
 * their line ends.
 *
 * Readers turn a text into the shared intermediate form (sdk/GUIDE.md): a
 * header mark, then the text in UTF-8 with LF line ends.  The header records
 * the line ends the text had, its byte order mark and its encoding, so that
 * a writer "as read" gives them back and a text comes back byte for byte
 * through the same encoding.  A literal ESC in the text is doubled, so that
 * text can never be taken for a mark.
 *
 * Both stages stream: the input is read in blocks of BLOCK_SIZE bytes and
 * the output written in blocks, so a file of any length converts in a few
 * MiB.  A reader writes the header before it has seen the whole
 * text: it takes the line ends from the first one it meets, and where a
 * later one differs (or, detecting, where the text turns out not to be
 * UTF-8) it starts the output again from the beginning with what it now
 * knows, and cuts the file to the new length. */
#include <windows.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
/* Byte shuffles (SSSE3) and a test of a whole vector (SSE4.1) for the
 * processors that have them, chosen once at run time; the SSE2 loops stay
 * for the others.  128-bit vectors only: the stack of a thread is aligned
 * to 16 bytes, and a spilled 32-byte vector would fault. */
#include <smmintrin.h>
#include <tmmintrin.h>
#define SHUFFLES __attribute__((target("ssse3,sse4.1")))
#endif

#include "plugins/morphex_plugin.h"
#include "shipped/core/code_pages.h"
#include "shipped/core/form.h"
#include "shipped/core/refusal.h"
#include "shipped/core/utf.h"

/* Half a MiB: a text that grows (Cyrillic or Japanese in UTF-8) costs the
 * system measurably fewer writes than with a quarter.  A test build makes
 * the blocks tiny, so that every character, line end and mark is cut by a
 * block boundary somewhere. */
#ifndef CNVTEXT_BLOCK_SIZE
#define CNVTEXT_BLOCK_SIZE (1 << 19)
#endif
#define BLOCK_SIZE CNVTEXT_BLOCK_SIZE
#define DETECT_SAMPLE 4096      /* bytes looked at for the NUL pattern of UTF-16 */
#define CARRY (DETECT_SAMPLE + 8) /* bytes kept for the next block: a cut character, the sample */
#define HEADER_ROOM 160         /* the reader's header goes in front of its first block */
/* A block may grow fourfold (LF to CR LF in UTF-16), on top of less than a
 * block not yet written. */
#define OUT_ROOM (5 * BLOCK_SIZE + 256)
#define MARK_MAX 4096           /* longer marks are taken for text */
#define HEADER_NAME "morphex-text"


/* ------------------------------------------------------------------ */
/* Encodings                                                           */

/* Each encoding is a page of the document core's table, but for the
 * detection, which stands for whichever the text turns out to be in. */
enum encoding_id {
    enc_detect,
    enc_utf_8 = 1 + CODE_PAGE_65001, enc_utf_16le = 1 + CODE_PAGE_1200, enc_utf_16be = 1 + CODE_PAGE_1201,
    enc_1250 = 1 + CODE_PAGE_1250, enc_1251 = 1 + CODE_PAGE_1251, enc_1252 = 1 + CODE_PAGE_1252,
    enc_1253 = 1 + CODE_PAGE_1253, enc_1254 = 1 + CODE_PAGE_1254, enc_1255 = 1 + CODE_PAGE_1255,
    enc_1256 = 1 + CODE_PAGE_1256, enc_1257 = 1 + CODE_PAGE_1257, enc_1258 = 1 + CODE_PAGE_1258,
    enc_874 = 1 + CODE_PAGE_874, enc_437 = 1 + CODE_PAGE_437, enc_737 = 1 + CODE_PAGE_737,
    enc_850 = 1 + CODE_PAGE_850, enc_852 = 1 + CODE_PAGE_852, enc_857 = 1 + CODE_PAGE_857,
    enc_866 = 1 + CODE_PAGE_866, enc_8859_1 = 1 + CODE_PAGE_28591, enc_8859_2 = 1 + CODE_PAGE_28592,
    enc_8859_5 = 1 + CODE_PAGE_28595, enc_8859_7 = 1 + CODE_PAGE_28597, enc_8859_9 = 1 + CODE_PAGE_28599,
    enc_8859_15 = 1 + CODE_PAGE_28605, enc_koi8_r = 1 + CODE_PAGE_20866, enc_koi8_u = 1 + CODE_PAGE_21866,
    enc_mac_roman = 1 + CODE_PAGE_10000, enc_mac_greek = 1 + CODE_PAGE_10006, enc_mac_cyrillic = 1 + CODE_PAGE_10007,
    enc_mac_arabic = 1 + CODE_PAGE_10004, enc_mac_hebrew = 1 + CODE_PAGE_10005,
    enc_932 = 1 + CODE_PAGE_932, enc_936 = 1 + CODE_PAGE_936, enc_949 = 1 + CODE_PAGE_949, enc_950 = 1 + CODE_PAGE_950,
    enc_mac_japanese = 1 + CODE_PAGE_10001, enc_mac_chinese_traditional = 1 + CODE_PAGE_10002,
    enc_mac_korean = 1 + CODE_PAGE_10003, enc_mac_chinese_simplified = 1 + CODE_PAGE_10008,
    encoding_count = 1 + CODE_PAGE_COUNT
};
/* The double-byte pages come last, from enc_932 on. */
#define DOUBLE_BYTE_COUNT (encoding_count - enc_932)
_Static_assert(DOUBLE_BYTE_COUNT == 8 && enc_mac_chinese_simplified == encoding_count - 1,
               "the double-byte pages are the table's last");

static const code_page_entry *page_of(int id)
{
    return &code_page_entries[id - 1];
}

/* Tables built from the code pages at their first use; they live in
 * zero-filled memory that costs nothing until it is touched. */
static uint32_t utf8_of_byte[encoding_count][256]; /* length << 24 | bytes, first byte lowest; 0 for a lead byte */
static uint8_t byte_of_unicode[encoding_count][0x10000];
static uint16_t sequence_of_unicode[encoding_count][0x10000]; /* byte, or lead << 8 | trail */
static uint32_t utf8_of_pair[DOUBLE_BYTE_COUNT][0x10000]; /* as utf8_of_byte, by lead << 8 | trail; 0 for no pair */
/* Built once for each encoding, by whichever conversion first needs it. */
static INIT_ONCE built[encoding_count];

static uint32_t pack_utf8(uint32_t c)
{
    if (c < 0x80)
        return 1u << 24 | c;
    if (c < 0x800)
        return 2u << 24 | (0x80 | (c & 0x3F)) << 8 | (0xC0 | c >> 6);
    return 3u << 24 | (0x80 | (c & 0x3F)) << 16 | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0xE0 | c >> 12);
}

static BOOL CALLBACK build_tables_once(PINIT_ONCE once, PVOID encoding_id, PVOID *context)
{
    const int id = (int)(intptr_t)encoding_id;
    const code_page_entry *e = page_of(id);
    int byte, trail, i;
    (void)once, (void)context;
    if (e->family == PAGE_FAMILY_EIGHT_BIT) {
        for (byte = 255; byte >= 0; --byte) {
            utf8_of_byte[id][byte] = pack_utf8(e->to_unicode[byte]);
            byte_of_unicode[id][e->to_unicode[byte]] = (uint8_t)byte;
        }
    } else if (e->family == PAGE_FAMILY_DOUBLE_BYTE) {
        const double_byte_table *page = e->double_byte;
        /* The first sequence in byte order wins, then the encoder's own choices. */
        for (byte = 255; byte >= 0; --byte) {
            const uint16_t single = page->singles[byte];
            if (single < DBCS_NONE) {
                sequence_of_unicode[id][single] = (uint16_t)byte;
                utf8_of_byte[id][byte] = pack_utf8(single);
            }
            if (page->lead_row[byte])
                for (trail = 255; trail >= DBCS_TRAIL_FIRST; --trail) {
                    const uint16_t c = page->pairs[page->lead_row[byte] - 1][trail - DBCS_TRAIL_FIRST];
                    utf8_of_pair[id - enc_932][byte << 8 | trail] = c ? pack_utf8(c) : 0;
                    if (c && !(sequence_of_unicode[id][c] && sequence_of_unicode[id][c] < 0x100))
                        sequence_of_unicode[id][c] = (uint16_t)(byte << 8 | trail);
                }
        }
        for (i = 0; i < page->preferred_count; ++i)
            sequence_of_unicode[id][page->preferred[i] >> 16] = (uint16_t)(page->preferred[i] & 0xFFFF);
    }
    return TRUE;
}

static void build_tables(int id)
{
    InitOnceExecuteOnce(&built[id], build_tables_once, (PVOID)(intptr_t)id, NULL);
}

/* The user's legacy code page: the user locale's, not the process's. */
static int user_ansi_encoding(void)
{
    const code_page_entry *page = code_page_by_number(user_ansi_code_page());
    return page && (page->family == PAGE_FAMILY_EIGHT_BIT || page->family == PAGE_FAMILY_DOUBLE_BYTE)
               ? 1 + (int)(page - code_page_entries)
               : enc_1252;
}

/* ------------------------------------------------------------------ */
/* Blocks                                                              */

typedef struct input {
    FILE *file;
    unsigned char *data;
    size_t pos, end;
    int at_eof;
} input;

typedef struct output {
    FILE *file;
    unsigned char *begin; /* HEADER_ROOM bytes into the buffer */
    size_t length;
    uint64_t written;
    int failed;
} output;

/* A conversion's blocks, its own: a file of any length goes through them. */
typedef struct blocks {
    unsigned char input[CARRY + BLOCK_SIZE];
    unsigned char output[HEADER_ROOM + OUT_ROOM];
} blocks;

/* What _DLL_lost reports: the count of the calling thread's last conversion. */
static _Thread_local int32_t lost_characters;

static void open_input(input *in, FILE *file, unsigned char *block)
{
    in->file = file;
    in->data = block;
    in->pos = in->end = 0;
    in->at_eof = 0;
}

/* Keeps the bytes not yet taken and reads the next block after them; 0 when
 * nothing more came (end of file or a read error). */
static int refill(input *in)
{
    const size_t left = in->end - in->pos;
    size_t got;
    if (in->at_eof)
        return 0;
    memmove(in->data, in->data + in->pos, left);
    in->pos = 0;
    in->end = left;
    got = fread(in->data + left, 1, BLOCK_SIZE, in->file);
    in->end += got;
    if (got < BLOCK_SIZE)
        in->at_eof = 1;
    return got > 0;
}

/* At least n bytes from pos on, unless the file ends first. */
static int have_bytes(input *in, size_t n)
{
    while (in->end - in->pos < n)
        if (!refill(in))
            return 0;
    return 1;
}

static void open_output(output *out, FILE *file, unsigned char *block)
{
    out->file = file;
    out->begin = block + HEADER_ROOM;
    out->length = 0;
    out->written = 0;
    out->failed = 0;
}

static void write_block(output *out, const unsigned char *data, size_t n)
{
    if (!out->failed && n > 0 && fwrite(data, 1, n, out->file) != n)
        out->failed = 1;
    out->written += n;
}

static void flush_output(output *out)
{
    write_block(out, out->begin, out->length);
    out->length = 0;
}

static void emit_bytes(output *out, const void *bytes, size_t n)
{
    if (out->length + n > OUT_ROOM)
        flush_output(out);
    memcpy(out->begin + out->length, bytes, n);
    out->length += n;
}

static void emit_byte(output *out, unsigned char c)
{
    out->begin[out->length++] = c;
}

static void emit_utf8(output *out, uint32_t c)
{
    out->length += utf8_encode(out->begin + out->length, c);
}

/* Cuts the file where the output now ends (a restarted output can be
 * shorter than the first try). */
static int cut_here(FILE *file)
{
    HANDLE handle;
    if (fflush(file) != 0)
        return 0;
    handle = (HANDLE)_get_osfhandle(_fileno(file));
    return handle != INVALID_HANDLE_VALUE && SetEndOfFile(handle);
}

/* The bytes below 0x80 that a loop must stop at: ESC, and NUL and the line
 * ends where they need work.  `byte` holds them for the vector scan, with
 * 0x80 (never ASCII) for one that is not wanted. */
enum line_rule { line_ends_stop, read_crlf, read_lf, write_crlf };

typedef struct stops {
    enum line_rule line_rule; /* the line ends a hot loop may take itself */
    unsigned char byte[4];
    unsigned char ascii[256]; /* the stop bytes */
    unsigned char table[256]; /* the stop bytes and everything from 0x80 */
#ifdef __SSE2__
    __m128i vector[4]; /* the stop bytes, an unwanted one as ESC again */
    /* the stop byte by its low nibble, for a byte shuffle: ESC, NUL, CR and
     * LF each have their own, and 0xFF is no byte below 0x80 */
    __m128i by_low_nibble;
#endif
} stops;

static void make_stops(stops *s, int nul, int line_ends)
{
    int i;
    s->line_rule = line_ends_stop;
    s->byte[0] = MARK;
    s->byte[1] = nul ? 0 : 0x80;
    s->byte[2] = line_ends ? '\r' : 0x80;
    s->byte[3] = line_ends ? '\n' : 0x80;
    memset(s->ascii, 0, sizeof s->ascii);
    for (i = 0; i < 4; ++i)
        s->ascii[s->byte[i]] = s->byte[i] < 0x80;
    for (i = 0; i < 256; ++i)
        s->table[i] = i >= 0x80 || s->ascii[i];
#ifdef __SSE2__
    {
        unsigned char by_low_nibble[16];
        memset(by_low_nibble, 0xFF, sizeof by_low_nibble);
        for (i = 0; i < 4; ++i) {
            s->vector[i] = _mm_set1_epi8((char)(s->byte[i] < 0x80 ? s->byte[i] : MARK));
            if (s->byte[i] < 0x80)
                by_low_nibble[s->byte[i] & 0x0F] = s->byte[i];
        }
        s->by_low_nibble = _mm_loadu_si128((const __m128i *)by_low_nibble);
    }
#endif
}

/* Runs between two characters that need work are short: a call of the
 * runtime's memcpy would cost more than the copy. */
static inline void copy_bytes(unsigned char *q, const unsigned char *p, size_t n)
{
    if (n >= 64) {
        memcpy(q, p, n);
        return;
    }
    while (n--)
        *q++ = *p++;
}

/* Length of the run of ASCII from p that needs no work. */
static size_t plain_run(const stops *s, const unsigned char *p, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i a = _mm_set1_epi8((char)s->byte[0]), b = _mm_set1_epi8((char)s->byte[1]),
                  c = _mm_set1_epi8((char)s->byte[2]), d = _mm_set1_epi8((char)s->byte[3]);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128((const __m128i *)(p + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_cmpeq_epi8(v, d)));
        const int mask = _mm_movemask_epi8(_mm_or_si128(hit, v));
        if (mask)
            return i + (size_t)__builtin_ctz((unsigned)mask);
    }
#endif
    while (i < n && !s->table[p[i]])
        ++i;
    return i;
}

/* Where the next ESC is, or p + n. */
static const unsigned char *find_mark(const unsigned char *p, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i mark = _mm_set1_epi8(MARK);
    for (; i + 16 <= n; i += 16) {
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(p + i)), mark));
        if (mask)
            return p + i + __builtin_ctz((unsigned)mask);
    }
#endif
    while (i < n && p[i] != MARK)
        ++i;
    return p + i;
}

/* The hot loops: each takes characters from p while they need nothing but
 * a look-up, writes them at *o, and returns where it stopped: at a stop
 * byte, at what it cannot take (left to the careful path), or at limit.
 * A loop may read up to 3 bytes past limit, and write up to 32 bytes past
 * what it has written (a block copied ahead), so the callers leave room
 * for that. */

/* The line end at *p where it is one the loop may take: CR LF or LF read
 * into LF once the text's line ends are known, LF written as CR LF. */
static inline int take_line_end(const stops *stop, const unsigned char **p, const unsigned char *limit,
                                unsigned char **q)
{
    const unsigned char *s = *p;
    switch (stop->line_rule) {
    case read_crlf:
        if (s[0] != '\r' || s + 1 >= limit || s[1] != '\n')
            return 0;
        *(*q)++ = '\n';
        *p = s + 2;
        return 1;
    case read_lf:
        if (s[0] != '\n')
            return 0;
        *(*q)++ = '\n';
        *p = s + 1;
        return 1;
    case write_crlf:
        if (s[0] != '\n')
            return 0;
        (*q)[0] = '\r';
        (*q)[1] = '\n';
        *q += 2;
        *p = s + 1;
        return 1;
    default:
        return 0;
    }
}

/* ASCII from p up to a stop byte or limit, copied to *q as it is scanned;
 * 0 when p is at a stop byte.  Up to 15 bytes past the run may be written:
 * the output has room for them, and what follows overwrites them. */
static inline size_t copy_plain(const stops *stop, const unsigned char *p, const unsigned char *limit,
                                unsigned char **q)
{
    const size_t n = (size_t)(limit - p);
    unsigned char *o = *q;
    size_t i = 0;
#ifdef __SSE2__
    const __m128i a = _mm_set1_epi8((char)stop->byte[0]), b = _mm_set1_epi8((char)stop->byte[1]),
                  c = _mm_set1_epi8((char)stop->byte[2]), d = _mm_set1_epi8((char)stop->byte[3]);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128((const __m128i *)(p + i));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, c), _mm_cmpeq_epi8(v, d)));
        const int mask = _mm_movemask_epi8(_mm_or_si128(hit, v));
        _mm_storeu_si128((__m128i *)(o + i), v);
        if (mask) {
            i += (size_t)__builtin_ctz((unsigned)mask);
            *q = o + i;
            return i;
        }
    }
#endif
    while (i < n && !stop->table[p[i]]) {
        o[i] = p[i];
        ++i;
    }
    *q = o + i;
    return i;
}

/* The ASCII at *p copied up to the next stop, or the line end there taken;
 * 0 where *p is a stop the run must leave to its caller. */
static inline int take_ascii(const stops *stop, const unsigned char **p, const unsigned char *limit,
                             unsigned char **q)
{
    const size_t run = copy_plain(stop, *p, limit, q);
    if (run == 0)
        return take_line_end(stop, p, limit, q);
    *p += run;
    return 1;
}

#ifdef __SSE2__
/* Whole blocks of 16 bytes: a vector test finds the stop bytes and checks
 * the UTF-8 of all 16 at once, so that the characters between two stops
 * need no test of their own.  Each block starts at a character boundary;
 * a character cut by its end is taken whole by the next block.  A block
 * loop stops where the per-character path below must decide: at a stop
 * it cannot take, at what is not valid or has no look-up, or near limit. */

/* The stop bytes among the 16, one bit each. */
static inline unsigned first_stops(const stops *stop, __m128i v)
{
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, stop->vector[0]), _mm_cmpeq_epi8(v, stop->vector[1])),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, stop->vector[2]), _mm_cmpeq_epi8(v, stop->vector[3])));
    return (unsigned)_mm_movemask_epi8(hit);
}


/* Whether the 16 bytes v are valid UTF-8 after the three bytes before
 * them, given as the 16 bytes from 1, 2 and 3 bytes earlier (the first
 * block of a run has zeros shifted in); a character cut by the end of v is
 * checked by the next block. */
static inline int utf8_valid(__m128i v, __m128i back_1, __m128i back_2, __m128i back_3)
{
    const __m128i zero = _mm_setzero_si128();
    /* nonzero where a lead byte 1, 2 or 3 bytes before asks for a continuation byte */
    const __m128i required =
        _mm_or_si128(_mm_subs_epu8(back_1, _mm_set1_epi8((char)0xBF)),
                     _mm_or_si128(_mm_subs_epu8(back_2, _mm_set1_epi8((char)0xDF)),
                                  _mm_subs_epu8(back_3, _mm_set1_epi8((char)0xEF))));
    /* signed compare: 0x80..0xBF are the bytes below 0xC0 */
    const __m128i continuation = _mm_cmplt_epi8(v, _mm_set1_epi8((char)0xC0));
    /* all ones where a continuation byte is exactly where one is asked for */
    __m128i fine = _mm_xor_si128(_mm_cmpeq_epi8(required, zero), continuation);
    /* C0, C1 and F5..FF never occur */
    fine = _mm_andnot_si128(_mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8((char)0xFE)), _mm_set1_epi8((char)0xC0)),
                            fine);
    fine = _mm_and_si128(fine, _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8((char)0xF4)), zero));
    if (_mm_movemask_epi8(fine) != 0xFFFF)
        return 0;
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(back_1, _mm_set1_epi8((char)0xDF)), zero)) != 0xFFFF) {
        /* after a three- or four-byte lead: E0 80..9F and F0 80..8F are
         * overlong, ED A0..BF a surrogate, F4 90.. past U+10FFFF */
        const __m128i previous = back_1;
        __m128i error = _mm_and_si128(_mm_cmpeq_epi8(previous, _mm_set1_epi8((char)0xE0)),
                                      _mm_cmplt_epi8(v, _mm_set1_epi8((char)0xA0)));
        error = _mm_or_si128(error, _mm_and_si128(_mm_cmpeq_epi8(previous, _mm_set1_epi8((char)0xED)),
                                                  _mm_cmpgt_epi8(v, _mm_set1_epi8((char)0x9F))));
        error = _mm_or_si128(error, _mm_and_si128(_mm_cmpeq_epi8(previous, _mm_set1_epi8((char)0xF0)),
                                                  _mm_cmplt_epi8(v, _mm_set1_epi8((char)0x90))));
        error = _mm_or_si128(error, _mm_and_si128(_mm_cmpeq_epi8(previous, _mm_set1_epi8((char)0xF4)),
                                                  _mm_cmpgt_epi8(v, _mm_set1_epi8((char)0x8F))));
        return !_mm_movemask_epi8(error);
    }
    return 1;
}

/* How many of the 16 bytes before p end in a character cut short: a lead
 * byte last, a three- or four-byte one second last, a four-byte one third
 * last (in text checked valid at most one of these holds). */
static inline size_t cut_character(const unsigned char *p)
{
    return (size_t)(p[-1] >= 0xC0) + 2 * (size_t)(p[-2] >= 0xE0) + 3 * (size_t)(p[-3] >= 0xF0);
}

/* A block loop's first stop byte among the 16 at *p, the bytes before it
 * copied already: moves there and takes the line end, as take_line_end. */
static inline int take_line_end_at(const stops *stop, unsigned stops_here, const unsigned char **p,
                                   const unsigned char *limit, unsigned char **q)
{
    const unsigned at = (unsigned)__builtin_ctz(stops_here);
    *p += at;
    *q += at;
    return take_line_end(stop, p, limit, q);
}

/* Where a block loop stops: after its last whole character, when its last
 * round ended in the middle of one, which the next call takes whole. */
static inline const unsigned char *end_on_character(const unsigned char *p, unsigned char *q, int cut,
                                                    unsigned char **o)
{
    if (cut) {
        const size_t back = cut_character(p);
        p -= back;
        q -= back;
    }
    *o = q;
    return p;
}

/* The stop bytes among the 16 that a table cannot take: a CR LF pair whole
 * inside the block, read as LF, is left to the table (its CR of length 0). */
static inline unsigned untaken_stops(const stops *stop, __m128i v, unsigned stops_here)
{
    if (stop->line_rule == read_crlf) {
        const unsigned cr = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
        const unsigned pairs = cr & (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))) >> 1;
        return stops_here & ~(pairs | pairs << 1);
    }
    if (stop->line_rule == read_lf)
        return stops_here & ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
    return stops_here;
}
#endif

/* Each of n bytes looked up and its UTF-8 stored; no test, no branch, so
 * that text where most letters are beyond ASCII runs at one store a byte. */
static inline unsigned char *look_up_bytes(unsigned char *q, const unsigned char *p, size_t n, const uint32_t *utf8_of)
{
    size_t i;
    for (i = 0; i < n; ++i) {
        const uint32_t packed = utf8_of[p[i]];
        memcpy(q, &packed, 4);
        q += packed >> 24;
    }
    return q;
}

/* The same for a whole block, its bytes taken from two 8-byte loads. */
static inline unsigned char *look_up_block(unsigned char *q, const unsigned char *p, const uint32_t *utf8_of)
{
    int half, i;
    for (half = 0; half < 16; half += 8) {
        uint64_t bytes;
        memcpy(&bytes, p + half, 8);
        for (i = 0; i < 8; ++i) {
            const uint32_t packed = utf8_of[bytes & 0xFF];
            memcpy(q, &packed, 4);
            q += packed >> 24;
            bytes >>= 8;
        }
    }
    return q;
}

/* utf8_of holds every byte, ASCII too; where the line rule reads CR LF as
 * LF, its CR has length 0. */
static const unsigned char *decode_eight_bit_run(const unsigned char *p, const unsigned char *limit,
                                                 const stops *stop, const uint32_t *utf8_of, unsigned char **o)
{
    unsigned char *q = *o;
    while (p < limit) {
#ifdef __SSE2__
        while (limit - p >= 16) {
            const __m128i v = _mm_loadu_si128((const __m128i *)p);
            const unsigned stops_here = first_stops(stop, v);
            unsigned untaken;
            if (!stops_here && !_mm_movemask_epi8(v)) {
                _mm_storeu_si128((__m128i *)q, v);
                q += 16;
                p += 16;
                continue;
            }
            untaken = stops_here ? untaken_stops(stop, v, stops_here) : 0;
            if (!untaken) {
                q = look_up_block(q, p, utf8_of);
                p += 16;
                continue;
            }
            q = look_up_bytes(q, p, (size_t)__builtin_ctz(untaken), utf8_of);
            p += __builtin_ctz(untaken);
            if (!take_line_end(stop, &p, limit, &q))
                break;
        }
        if (p >= limit)
            break;
#endif
        if (*p < 0x80) {
            if (!take_ascii(stop, &p, limit, &q))
                break;
            continue;
        }
        do {
            const uint32_t packed = utf8_of[*p++];
            memcpy(q, &packed, 4);
            q += packed >> 24;
        } while (p < limit && *p >= 0x80);
    }
    *o = q;
    return p;
}

#ifdef __SSE2__
/* UTF-8 copied 16 bytes at a time, up to a stop it cannot take, what is not
 * valid, or the end; then back to the start of a character the last block
 * cut, for the per-character path.  The bytes before a block are read
 * again where it needs them, from the run itself after its first block. */
static inline const unsigned char *copy_utf8_blocks(const unsigned char *p, const unsigned char *limit,
                                                    const stops *stop, unsigned char **o)
{
    unsigned char *q = *o;
    const unsigned char *const start = p;
    int cut = 0; /* the last block may have cut a character */
    while (limit - p >= 13) {
        const __m128i v = _mm_loadu_si128((const __m128i *)p);
        const unsigned stops_here = first_stops(stop, v);
        int valid;
        if (p - start >= 3)
            valid = utf8_valid(v, _mm_loadu_si128((const __m128i *)(p - 1)), _mm_loadu_si128((const __m128i *)(p - 2)),
                               _mm_loadu_si128((const __m128i *)(p - 3)));
        else
            valid = utf8_valid(v, _mm_slli_si128(v, 1), _mm_slli_si128(v, 2), _mm_slli_si128(v, 3));
        if (!valid)
            break;
        _mm_storeu_si128((__m128i *)q, v);
        if (stops_here) {
            cut = 0;
            if (!take_line_end_at(stop, stops_here, &p, limit, &q))
                break;
            continue;
        }
        p += 16;
        q += 16;
        cut = 1;
    }
    return end_on_character(p, q, cut, o);
}
#endif

#ifdef __SSE2__
static int has_shuffles; /* the processor has SSSE3 and SSE4.1 */

/* Shuffles for half a block, by the bit mask of its 8 bytes: an LF at each
 * bit written as CR LF (the source holds the 8 bytes, then 8 CRs), and the
 * byte at each bit left out (the CR of a CR LF read as LF). */
static unsigned char crlf_for_lf[256][16] __attribute__((aligned(16)));
static unsigned char without_bytes[256][16] __attribute__((aligned(16)));
static uint8_t bits_set[256];
/* The 16-bit units at each bit of the mask, in order. */
static unsigned char units_at[256][16] __attribute__((aligned(16)));

static BOOL CALLBACK choose_vector_loops_once(PINIT_ONCE once, PVOID parameter, PVOID *context)
{
    int mask, i;
    (void)once, (void)parameter, (void)context;
    __builtin_cpu_init();
    has_shuffles = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("sse4.1");
    for (mask = 0; mask < 256; ++mask) {
        int wide = 0, narrow = 0;
        memset(crlf_for_lf[mask], 0x80, 16);
        memset(without_bytes[mask], 0x80, 16);
        for (i = 0; i < 8; ++i) {
            if (mask >> i & 1) {
                crlf_for_lf[mask][wide++] = 8;
            } else {
                without_bytes[mask][narrow++] = (unsigned char)i;
            }
            crlf_for_lf[mask][wide++] = (unsigned char)i;
        }
        bits_set[mask] = (uint8_t)(wide - 8);
        memset(units_at[mask], 0x80, 16);
        for (i = 0, wide = 0; i < 8; ++i)
            if (mask >> i & 1) {
                units_at[mask][wide++] = (unsigned char)(2 * i);
                units_at[mask][wide++] = (unsigned char)(2 * i + 1);
            }
    }
    return TRUE;
}

static void choose_vector_loops(void)
{
    static INIT_ONCE chosen = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(&chosen, choose_vector_loops_once, NULL, NULL);
}

/* Whether the 16 bytes v are valid UTF-8 after the bytes before them, as
 * utf8_valid; three nibble look-ups of each byte and the one before it
 * classify every fault of a pair of bytes at once (a bit per kind of
 * fault), and the bytes 2 and 3 back tell where a third or fourth byte
 * must continue a character. */
#define SHORT_LEAD 0x01    /* a lead byte not followed by a continuation */
#define LONE_TRAIL 0x02    /* a continuation after ASCII */
#define OVERLONG_3 0x04    /* E0 80..9F */
#define TOO_LARGE 0x08     /* F4 90..BF, F5.. */
#define SURROGATE 0x10     /* ED A0..BF */
#define OVERLONG_2 0x20    /* C0, C1 */
#define OVERLONG_4 0x40    /* F0 80..8F, and F5.. 80..8F */
#define TWO_TRAILS 0x80    /* a continuation after a continuation: fine only inside a long character */
#define ANY_LOW (SHORT_LEAD | LONE_TRAIL | TWO_TRAILS)
SHUFFLES static inline int utf8_valid_shuffled(__m128i v, __m128i back_1, __m128i back_2, __m128i back_3)
{
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i by_high_of_first = _mm_setr_epi8(
        LONE_TRAIL, LONE_TRAIL, LONE_TRAIL, LONE_TRAIL, LONE_TRAIL, LONE_TRAIL, LONE_TRAIL, LONE_TRAIL,
        TWO_TRAILS, TWO_TRAILS, TWO_TRAILS, TWO_TRAILS, SHORT_LEAD | OVERLONG_2, SHORT_LEAD,
        SHORT_LEAD | OVERLONG_3 | SURROGATE, SHORT_LEAD | TOO_LARGE | OVERLONG_4);
    const __m128i by_low_of_first = _mm_setr_epi8(
        ANY_LOW | OVERLONG_3 | OVERLONG_2 | OVERLONG_4, ANY_LOW | OVERLONG_2, ANY_LOW, ANY_LOW, ANY_LOW | TOO_LARGE,
        ANY_LOW | TOO_LARGE | OVERLONG_4, ANY_LOW | TOO_LARGE | OVERLONG_4, ANY_LOW | TOO_LARGE | OVERLONG_4,
        ANY_LOW | TOO_LARGE | OVERLONG_4, ANY_LOW | TOO_LARGE | OVERLONG_4, ANY_LOW | TOO_LARGE | OVERLONG_4,
        ANY_LOW | TOO_LARGE | OVERLONG_4, ANY_LOW | TOO_LARGE | OVERLONG_4,
        ANY_LOW | TOO_LARGE | OVERLONG_4 | SURROGATE, ANY_LOW | TOO_LARGE | OVERLONG_4,
        ANY_LOW | TOO_LARGE | OVERLONG_4);
    const __m128i by_high_of_second = _mm_setr_epi8(
        SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD,
        LONE_TRAIL | OVERLONG_2 | TWO_TRAILS | OVERLONG_3 | OVERLONG_4,
        LONE_TRAIL | OVERLONG_2 | TWO_TRAILS | OVERLONG_3 | TOO_LARGE,
        LONE_TRAIL | OVERLONG_2 | TWO_TRAILS | SURROGATE | TOO_LARGE,
        LONE_TRAIL | OVERLONG_2 | TWO_TRAILS | SURROGATE | TOO_LARGE, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD, SHORT_LEAD);
    const __m128i pair = _mm_and_si128(
        _mm_and_si128(_mm_shuffle_epi8(by_high_of_first, _mm_and_si128(_mm_srli_epi16(back_1, 4), nibble)),
                      _mm_shuffle_epi8(by_low_of_first, _mm_and_si128(back_1, nibble))),
        _mm_shuffle_epi8(by_high_of_second, _mm_and_si128(_mm_srli_epi16(v, 4), nibble)));
    /* the top bit where the byte 2 back is E0.. or the byte 3 back F0.. */
    const __m128i long_character =
        _mm_and_si128(_mm_or_si128(_mm_subs_epu8(back_2, _mm_set1_epi8((char)(0xE0 - 0x80))),
                                   _mm_subs_epu8(back_3, _mm_set1_epi8((char)(0xF0 - 0x80)))),
                      _mm_set1_epi8((char)0x80));
    const __m128i fault = _mm_xor_si128(pair, long_character);
    return _mm_testz_si128(fault, fault);
}

/* Half a block with its line ends rewritten by the table for its mask. */
SHUFFLES static inline unsigned char *put_half(unsigned char *q, __m128i source, const unsigned char table[16],
                                              size_t length)
{
    _mm_storeu_si128((__m128i *)q, _mm_shuffle_epi8(source, _mm_load_si128((const __m128i *)table)));
    return q + length;
}

/* copy_utf8_blocks with the shuffles: the line ends the loop may take are
 * rewritten inside the block (CR LF read as LF, LF written as CR LF), so
 * that a block stops only where there is more to do. */
SHUFFLES static const unsigned char *copy_utf8_blocks_shuffled(const unsigned char *p, const unsigned char *limit,
                                                               const stops *stop, unsigned char **o)
{
    unsigned char *q = *o;
    const unsigned char *const start = p;
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n'), stop_bytes = stop->by_low_nibble;
    int cut = 0;
    while (limit - p >= 13) {
        const __m128i v = _mm_loadu_si128((const __m128i *)p);
        /* a byte 0x80 or above looks up 0, which it is not */
        const unsigned stops_here = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_shuffle_epi8(stop_bytes, v)));
        int valid;
        if (p - start >= 3)
            valid = utf8_valid_shuffled(v, _mm_loadu_si128((const __m128i *)(p - 1)),
                                        _mm_loadu_si128((const __m128i *)(p - 2)),
                                        _mm_loadu_si128((const __m128i *)(p - 3)));
        else
            valid = utf8_valid_shuffled(v, _mm_slli_si128(v, 1), _mm_slli_si128(v, 2), _mm_slli_si128(v, 3));
        if (!valid)
            break;
        if (stops_here) {
            const unsigned lfs = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf));
            if (stop->line_rule == write_crlf && !(stops_here & ~lfs)) {
                q = put_half(q, _mm_unpacklo_epi64(v, cr), crlf_for_lf[lfs & 0xFF], 8 + bits_set[lfs & 0xFF]);
                q = put_half(q, _mm_unpackhi_epi64(v, cr), crlf_for_lf[lfs >> 8], 8 + bits_set[lfs >> 8]);
            } else if (stop->line_rule == read_crlf && !untaken_stops(stop, v, stops_here)) {
                const unsigned pairs = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, cr)) & lfs >> 1;
                q = put_half(q, v, without_bytes[pairs & 0xFF], 8 - bits_set[pairs & 0xFF]);
                q = put_half(q, _mm_srli_si128(v, 8), without_bytes[pairs >> 8], 8 - bits_set[pairs >> 8]);
            } else if (stop->line_rule == read_lf && !untaken_stops(stop, v, stops_here)) {
                _mm_storeu_si128((__m128i *)q, v);
                q += 16;
            } else {
                _mm_storeu_si128((__m128i *)q, v);
                cut = 0;
                if (!take_line_end_at(stop, stops_here, &p, limit, &q))
                    break;
                continue;
            }
            p += 16;
            cut = 1;
            continue;
        }
        _mm_storeu_si128((__m128i *)q, v);
        p += 16;
        q += 16;
        cut = 1;
    }
    return end_on_character(p, q, cut, o);
}
#endif

static const unsigned char *copy_utf8_run(const unsigned char *p, const unsigned char *limit, const stops *stop,
                                          unsigned char **o)
{
    unsigned char *q = *o;
    while (p < limit) {
        uint32_t c;
        size_t length;
#ifdef __SSE2__
        p = has_shuffles ? copy_utf8_blocks_shuffled(p, limit, stop, &q) : copy_utf8_blocks(p, limit, stop, &q);
        if (p >= limit)
            break;
#endif
        if (*p < 0x80) {
            if (!take_ascii(stop, &p, limit, &q))
                break;
            continue;
        }
        if (p[0] >= 0xC2 && p[0] < 0xE0 && (p[1] & 0xC0) == 0x80) {
            /* the two-byte scripts: Greek, Cyrillic, Hebrew, Arabic */
            do {
                q[0] = p[0];
                q[1] = p[1];
                q += 2;
                p += 2;
            } while (p < limit && p[0] >= 0xC2 && p[0] < 0xE0 && (p[1] & 0xC0) == 0x80);
            continue;
        }
        length = utf8_take(p, &c);
        if (length == 0)
            break;
        memcpy(q, p, 4);
        q += length;
        p += length;
    }
    *o = q;
    return p;
}

static const unsigned char *decode_double_byte_run(const unsigned char *p, const unsigned char *limit,
                                                   const stops *stop, const double_byte_table *page,
                                                   const uint32_t *utf8_of, const uint32_t *utf8_of_pair,
                                                   unsigned char **o)
{
    unsigned char *q = *o;
#ifndef __SSE2__
    (void)utf8_of, (void)utf8_of_pair; /* only the block loop has the UTF-8 at hand */
#endif
    while (p < limit) {
        unsigned char b;
        uint32_t c;
#ifdef __SSE2__
        while (limit - p >= 16) {
            const __m128i v = _mm_loadu_si128((const __m128i *)p);
            const unsigned stops_here = first_stops(stop, v);
            const unsigned at = (unsigned)__builtin_ctz((stops_here ? untaken_stops(stop, v, stops_here) : 0) | 0x10000u);
            const unsigned char *const start = p, *const end = p + at;
            if (!stops_here && !_mm_movemask_epi8(v)) {
                _mm_storeu_si128((__m128i *)q, v);
                q += 16;
                p += 16;
            } else {
                /* a pair cut by the block's end takes its trail byte from the next */
                while (p < end) {
                    uint32_t packed = utf8_of[*p];
                    if (packed) {
                        ++p;
                    } else {
                        if (!(packed = utf8_of_pair[p[0] << 8 | p[1]]))
                            goto careful;
                        p += 2;
                    }
                    memcpy(q, &packed, 4);
                    q += packed >> 24;
                }
            }
            if (p == start + at && at < 16 && !take_line_end(stop, &p, limit, &q))
                break;
        }
    careful:
        if (p >= limit)
            break;
#endif
        b = *p;
        if (b < 0x80) {
            if (!take_ascii(stop, &p, limit, &q))
                break;
            continue;
        }
        c = page->singles[b];
        if (c == DBCS_LEAD) {
            if (p[1] < DBCS_TRAIL_FIRST || !(c = page->pairs[page->lead_row[b] - 1][p[1] - DBCS_TRAIL_FIRST]))
                break;
            p += 2;
        } else if (c == DBCS_NONE) {
            break;
        } else {
            ++p;
        }
        q += utf8_encode(q, c);
    }
    *o = q;
    return p;
}

/* ------------------------------------------------------------------ */
/* Readers: a text to the intermediate form                            */

enum line_end { as_read, crlf, lf, cr, mixed };
static const char *const line_end_names[] = {"", "crlf", "lf", "cr", "mixed"};

enum step { step_done, step_wrong, step_restart };

typedef struct reading {
    blocks *blocks;
    input in;
    output out;
    int encoding;          /* as found */
    int had_bom;
    int detecting;         /* UTF-8 so far, but only taken for it */
    int header_written;
    enum line_end ends;    /* as_read until the first line end */
    uint64_t line_ends;
    uint64_t body;         /* bytes of text written */
    /* what a new start must know */
    int restart_encoding;
    enum line_end restart_ends;
} reading;

static void flush_body(reading *r)
{
    if (!r->header_written) {
        char header[HEADER_ROOM];
        int length;
        if (r->ends == as_read)
            r->ends = lf; /* no line end so far: any later one but LF starts again */
        length = snprintf(header, sizeof header, "%c[" HEADER_NAME " 1 eol=%s bom=%d encoding=%s]\n", MARK,
                          line_end_names[r->ends], r->had_bom, page_of(r->encoding)->label);
        memcpy(r->out.begin - length, header, (size_t)length);
        write_block(&r->out, r->out.begin - length, (size_t)length);
        r->header_written = 1;
    }
    r->body += r->out.length;
    flush_output(&r->out);
}

/* One line end of the given kind; 0 when the text's line ends so far
 * disagree with it (the output must start again). */
static int read_line_end(reading *r, enum line_end kind)
{
    output *out = &r->out;
    if (r->ends == as_read)
        r->ends = kind;
    if (r->ends == mixed) {
        if (kind != lf)
            emit_byte(out, '\r');
        if (kind != cr)
            emit_byte(out, '\n');
    } else if (r->ends == kind) {
        emit_byte(out, '\n');
    } else {
        r->restart_ends = r->line_ends ? mixed : kind;
        return 0;
    }
    ++r->line_ends;
    return 1;
}

/* A refusal that says where: the byte's offset in the file and the bytes
 * from there. */
static enum step refuse_text(const reading *r, const char *why)
{
    static const char hex[] = "0123456789ABCDEF";
    const input *in = &r->in;
    const size_t left = in->end - in->pos;
    const long read = ftell(in->file);
    char bytes[4 * 3] = "";
    size_t i;
    for (i = 0; i < left && i < 4; ++i) {
        bytes[3 * i] = hex[in->data[in->pos + i] >> 4];
        bytes[3 * i + 1] = hex[in->data[in->pos + i] & 15];
        bytes[3 * i + 2] = i + 1 < left && i < 3 ? ' ' : '\0';
    }
    refusal_setf("At byte %llu (%s): %s.", read < 0 ? 0ull : (unsigned long long)read - left, bytes, why);
    return step_wrong;
}

static enum step not_a_character(const reading *r)
{
    char why[64];
    snprintf(why, sizeof why, "not a character in %s", page_of(r->encoding)->label);
    return refuse_text(r, why);
}

static int invalid_text(reading *r)
{
    if (r->detecting) {
        /* detecting: not UTF-8 after all */
        r->restart_encoding = user_ansi_encoding();
        return step_restart;
    }
    return not_a_character(r);
}

/* UTF-8, the eight-bit pages and the double-byte pages: bytes below 0x80 are
 * ASCII in all of them, and so are CR, LF, ESC and NUL. */
static enum step decode_bytes(reading *r)
{
    input *in = &r->in;
    output *out = &r->out;
    const code_page_entry *e = page_of(r->encoding);
    const uint32_t *utf8_of = utf8_of_byte[r->encoding];
    uint32_t utf8_of_crlf[256]; /* the same, the CR of a CR LF read as LF taking no room */
    stops stop;
    make_stops(&stop, 1, r->ends != mixed);
    memcpy(utf8_of_crlf, utf8_of, sizeof utf8_of_crlf);
    utf8_of_crlf['\r'] = '\r';
    for (;;) {
        const unsigned char *s;
        size_t available, chunk, run;
        unsigned char b;
        if (out->length >= BLOCK_SIZE)
            flush_body(r);
        if (in->pos + 4 > in->end)
            have_bytes(in, 4); /* a whole character, even where blocks are smaller */
        if (in->pos == in->end)
            return step_done;
        s = in->data + in->pos;
        available = in->end - in->pos;
        chunk = available < BLOCK_SIZE ? available : BLOCK_SIZE;
        {
            unsigned char *o = out->begin + out->length;
            run = copy_plain(&stop, s, s + chunk, &o);
        }
        if (run > 0) {
            out->length += run;
            in->pos += run;
            continue;
        }
        b = s[0];
        /* once the first line end has told the line ends, the others are taken in the hot loops */
        stop.line_rule = !r->line_ends ? line_ends_stop : r->ends == crlf ? read_crlf : r->ends == lf ? read_lf
                                                                                                   : line_ends_stop;
        if (chunk >= 4 && (b >= 0x80 || stop.line_rule != line_ends_stop)) {
            /* the run of characters that need no more than a look-up */
            unsigned char *o = out->begin + out->length;
            const unsigned char *p = s;
            if (e->family == PAGE_FAMILY_EIGHT_BIT)
                p = decode_eight_bit_run(s, s + chunk, &stop, stop.line_rule == read_crlf ? utf8_of_crlf : utf8_of, &o);
            else if (e->family == PAGE_FAMILY_UTF_8)
                p = copy_utf8_run(s, s + chunk - 3, &stop, &o);
            else
                p = decode_double_byte_run(s, s + chunk - 1, &stop, e->double_byte,
                                           stop.line_rule == read_crlf ? utf8_of_crlf : utf8_of,
                                           utf8_of_pair[r->encoding - enc_932], &o);
            if (p > s) {
                out->length = (size_t)(o - out->begin);
                in->pos += (size_t)(p - s);
                continue;
            }
        }
        if (b < 0x80) {
            if (b == MARK) {
                emit_byte(out, MARK);
                emit_byte(out, MARK);
                ++in->pos;
            } else if (b == 0) {
                return refuse_text(r, "a NUL byte, which binary files hold and text never does");
            } else if (b == '\n') {
                if (!read_line_end(r, lf))
                    return step_restart;
                ++in->pos;
            } else { /* CR, alone or before LF */
                if (available < 2 && have_bytes(in, 2))
                    continue;
                if (available >= 2 && s[1] == '\n') {
                    if (!read_line_end(r, crlf))
                        return step_restart;
                    in->pos += 2;
                } else {
                    if (!read_line_end(r, cr))
                        return step_restart;
                    ++in->pos;
                }
            }
        } else if (e->family == PAGE_FAMILY_EIGHT_BIT) {
            const uint32_t packed = utf8_of[b];
            memcpy(out->begin + out->length, &packed, 4);
            out->length += packed >> 24;
            ++in->pos;
        } else if (e->family == PAGE_FAMILY_UTF_8) {
            uint32_t c;
            const size_t length = utf8_decode(s, available, &c);
            if (length == 0)
                return invalid_text(r);
            memcpy(out->begin + out->length, s, length);
            out->length += length;
            in->pos += length;
        } else {
            const double_byte_table *page = e->double_byte;
            uint16_t c = page->singles[b];
            if (c == DBCS_LEAD) {
                if (available < 2) {
                    if (have_bytes(in, 2))
                        continue;
                    return refuse_text(r, "the file ends in half a character");
                }
                c = s[1] >= DBCS_TRAIL_FIRST ? page->pairs[page->lead_row[b] - 1][s[1] - DBCS_TRAIL_FIRST] : 0;
                if (c == 0)
                    return not_a_character(r);
                in->pos += 2;
            } else if (c == DBCS_NONE) {
                return not_a_character(r);
            } else {
                ++in->pos;
            }
            emit_utf8(out, c);
        }
    }
}

static enum step decode_utf_16(reading *r)
{
    input *in = &r->in;
    output *out = &r->out;
    const int big_endian = r->encoding == enc_utf_16be;
    for (;;) {
        uint32_t c;
        if (out->length >= BLOCK_SIZE)
            flush_body(r);
        if (!have_bytes(in, 2))
            return in->pos == in->end ? step_done : refuse_text(r, "the file ends in half a character");
        c = utf16_unit(in->data + in->pos, big_endian);
        if (utf16_is_low(c))
            return refuse_text(r, "the second half of a surrogate pair without its first");
        if (utf16_is_high(c)) {
            uint32_t low;
            if (!have_bytes(in, 4) || !utf16_is_low(low = utf16_unit(in->data + in->pos + 2, big_endian)))
                return refuse_text(r, "the first half of a surrogate pair without its second");
            emit_utf8(out, utf16_pair(c, low));
            in->pos += 4;
            continue;
        }
        if (c == 0)
            return refuse_text(r, "a NUL character, which binary files hold and text never does");
        if (c == '\r') {
            int pair = 0;
            if (have_bytes(in, 4))
                pair = utf16_unit(in->data + in->pos + 2, big_endian) == '\n';
            if (!read_line_end(r, pair ? crlf : cr))
                return step_restart;
            in->pos += pair ? 4 : 2;
            continue;
        }
        if (c == '\n') {
            if (!read_line_end(r, lf))
                return step_restart;
        } else {
            if (c == MARK)
                emit_byte(out, MARK);
            emit_utf8(out, c);
        }
        in->pos += 2;
    }
}

/* UTF-16 without a byte order mark: ASCII in it leaves a NUL in every
 * other byte, which no text in a byte encoding has. */
static int utf_16_by_nul_pattern(const unsigned char *s, size_t n)
{
    const int order = utf_16_order_by_nuls(s, n);
    return order == UTF_16_LITTLE_ENDIAN ? enc_utf_16le : order == UTF_16_BIG_ENDIAN ? enc_utf_16be : 0;
}

/* Finds the encoding (a byte order mark, the NUL pattern, else the one
 * asked for) and steps over the mark. */
static enum step start_reading(reading *r, int asked)
{
    input *in = &r->in;
    const unsigned char *s;
    size_t n;
    have_bytes(in, 4);
    s = in->data + in->pos;
    n = in->end - in->pos;
    r->had_bom = 0;
    r->detecting = 0;
    if ((asked == enc_utf_8 || asked == enc_detect) && n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        r->encoding = enc_utf_8;
        r->had_bom = 1;
        in->pos += 3;
    } else if ((asked == enc_utf_16le || asked == enc_detect) && n >= 2 &&
               ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) {
        r->encoding = s[0] == 0xFF ? enc_utf_16le : enc_utf_16be;
        r->had_bom = 1;
        in->pos += 2;
    } else if (asked == enc_utf_16le) {
        /* UTF-16 chosen by name must say its byte order */
        return refuse_text(r, "UTF-16 must begin with its byte order mark, FF FE or FE FF");
    } else if (asked == enc_detect) {
        have_bytes(in, DETECT_SAMPLE);
        r->encoding = utf_16_by_nul_pattern(in->data + in->pos, in->end - in->pos);
        if (!r->encoding) {
            r->encoding = enc_utf_8;
            r->detecting = 1;
        }
    } else {
        r->encoding = asked;
    }
    build_tables(r->encoding);
    return step_done;
}

static enum step read_once(reading *r, FILE *in_file, FILE *out_file, int asked)
{
    enum step step;
    open_input(&r->in, in_file, r->blocks->input);
    open_output(&r->out, out_file, r->blocks->output);
    r->header_written = 0;
    r->ends = r->restart_ends;
    r->line_ends = 0;
    r->body = 0;
    step = start_reading(r, r->restart_encoding != enc_detect ? r->restart_encoding : asked);
    if (step != step_done)
        return step;
    step = page_of(r->encoding)->family == PAGE_FAMILY_UTF_16 ? decode_utf_16(r) : decode_bytes(r);
    if (step == step_done && (r->out.length > 0 || r->body > 0))
        flush_body(r);
    return step;
}

static int32_t read_all(reading *r, FILE *in, FILE *out, int asked)
{
    uint64_t longest = 0;
    enum step step;
    int tries;
    r->restart_encoding = enc_detect;
    r->restart_ends = as_read;
    for (tries = 0;; ++tries) {
        step = read_once(r, in, out, asked);
        if (r->out.written > longest)
            longest = r->out.written;
        /* each new start knows more: the encoding once, the line ends twice */
        if (step != step_restart || tries == 5 || ferror(in) || r->out.failed)
            break;
        rewind(in);
        if (fflush(out) != 0 || fseek(out, 0, SEEK_SET) != 0)
            return CONVERT_READ_WRITE_FAILED;
    }
    if (ferror(in) || r->out.failed)
        return CONVERT_READ_WRITE_FAILED;
    if (step != step_done)
        return CONVERT_WRONG_FORMAT;
    if (r->body == 0)
        return CONVERT_EMPTY_INPUT;
    if (longest > r->out.written ? !cut_here(out) : fflush(out) != 0)
        return CONVERT_READ_WRITE_FAILED;
    return CONVERT_OK;
}

/* What every converter call begins with: nothing lost yet, the vector
 * loops chosen, and blocks of its own, which it frees at its end (NULL, with
 * the reason, when memory runs out).  Everything a conversion uses is made
 * by its call: two conversions on two threads never meet. */
static blocks *begin_conversion(void)
{
    blocks *b = (blocks *)malloc(sizeof *b);
    lost_characters = 0;
#ifdef __SSE2__
    choose_vector_loops();
#endif
    if (!b)
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    return b;
}

static int32_t read_text(FILE *in, FILE *out, int asked)
{
    blocks *b = begin_conversion();
    reading *r = b ? (reading *)calloc(1, sizeof *r) : NULL;
    int32_t result = CONVERT_WRONG_FORMAT;
    if (r) {
        r->blocks = b;
        result = read_all(r, in, out, asked);
    } else {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    }
    free(b);
    free(r);
    return result;
}

/* ------------------------------------------------------------------ */
/* Writers: the intermediate form to a text                            */

enum bom_rule { bom_never, bom_always, bom_as_read };

enum block { block_none, block_paragraph, block_heading, block_item, block_quote, block_code, block_rule, block_table };

#define QUOTE_LIMIT 64 /* the deepest the document readers nest quotes */

/* Where the plain text of a document stands. */
typedef struct document {
    int active;              /* a version 2 intermediate with blocks */
    int started;             /* a block has been written */
    int fresh;               /* a quote has just opened: no blank line before its first block */
    enum block last;         /* the block that ended last */
    int in_text;             /* inside a block that holds text */
    int in_code;
    int quote_depth;
    /* each quote: the indentation of its marks within the quote around it
     * (the text of the item it stands in), and the level of that item */
    int quote_indent[QUOTE_LIMIT];
    int quote_floor[QUOTE_LIMIT];
    int item_level;          /* of the list item being written, 0 outside one */
    int item_number;         /* below 0 for a bullet */
    int item_marker_written;
    int empty_item;          /* an item without text: its marker waits for the block that goes on it */
    int text_indent[33];     /* where the text of the last item of each level begins */
    int block_indent;        /* a block that goes on a list item: its lines line up with the item's text */
    int at_line_start;
    int pending_space;       /* a soft line end, written as a space before more text */
    int cells;               /* cells written in the table row */
    int in_link;
    char href[MARK_MAX + 8];
    unsigned char link_text[MARK_MAX + 8];
    size_t link_text_length;
    int item_style;          /* a numbered item's list_style, and the label its source showed */
    char item_label[32];
    int definition_depth;    /* definitions the blocks stand in: indented four spaces each */
    int cell_open;           /* a table cell is open: its blocks run on in its line */
    int cell_blocks;         /* blocks open inside the cell */
    int note_number;         /* the note whose first line is still to begin, with its "[N] " */
    note_numbers notes;
} document;

typedef struct writing {
    blocks *blocks;
    input in;
    output out;
    int32_t lost;            /* characters the target encoding lacks, replaced */
    int encoding;
    enum line_end ends;      /* of the output; mixed keeps CR and LF as they are */
    int big_endian;
    stops stop;
    unsigned char mark[MARK_MAX + 8];
    size_t mark_length;
    document doc;
} writing;

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

static void put_unit(writing *w, uint32_t unit)
{
    if (w->big_endian) {
        emit_byte(&w->out, (unsigned char)(unit >> 8));
        emit_byte(&w->out, (unsigned char)(unit & 0xFF));
    } else {
        emit_byte(&w->out, (unsigned char)(unit & 0xFF));
        emit_byte(&w->out, (unsigned char)(unit >> 8));
    }
}

/* One character other than ASCII, whose UTF-8 form is the n bytes at p. */
static void put_character(writing *w, uint32_t c, const unsigned char *p, size_t n)
{
    output *out = &w->out;
    const code_page_entry *e = page_of(w->encoding);
    if (e->family == PAGE_FAMILY_UTF_8) {
        memcpy(out->begin + out->length, p, n);
        out->length += n;
    } else if (e->family == PAGE_FAMILY_UTF_16) {
        if (c >= 0x10000) {
            uint32_t high, low;
            utf16_split(c, &high, &low);
            put_unit(w, high);
            put_unit(w, low);
        } else {
            put_unit(w, c);
        }
    } else if (e->family == PAGE_FAMILY_EIGHT_BIT) {
        const uint8_t byte = c < 0x10000 ? byte_of_unicode[w->encoding][c] : 0;
        if (byte) {
            emit_byte(out, byte);
        } else {
            ++w->lost;
            emit_byte(out, (unsigned char)fallback(c));
        }
    } else {
        const uint16_t sequence = c < 0x10000 ? sequence_of_unicode[w->encoding][c] : 0;
        if (sequence >= 0x100) {
            emit_byte(out, (unsigned char)(sequence >> 8));
            emit_byte(out, (unsigned char)(sequence & 0xFF));
        } else if (sequence) {
            emit_byte(out, (unsigned char)sequence);
        } else {
            ++w->lost;
            emit_byte(out, (unsigned char)fallback(c));
        }
    }
}

/* ASCII to UTF-16, 16 bytes at a time where it can. */
static inline void widen(const unsigned char *p, size_t n, int big_endian, unsigned char *q)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128((const __m128i *)(p + i));
        _mm_storeu_si128((__m128i *)(q + 2 * i), big_endian ? _mm_unpacklo_epi8(zero, v) : _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128((__m128i *)(q + 2 * i + 16),
                         big_endian ? _mm_unpackhi_epi8(zero, v) : _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < n; ++i) {
        q[2 * i + big_endian] = p[i];
        q[2 * i + !big_endian] = 0;
    }
}

static void put_ascii(writing *w, const unsigned char *s, size_t n)
{
    output *out = &w->out;
    if (page_of(w->encoding)->family != PAGE_FAMILY_UTF_16) {
        copy_bytes(out->begin + out->length, s, n);
        out->length += n;
    } else {
        widen(s, n, w->big_endian, out->begin + out->length);
        out->length += 2 * n;
    }
}

static void put_output_line_end(writing *w)
{
    static const unsigned char pairs[] = "\r\n";
    if (w->out.length >= BLOCK_SIZE)
        flush_output(&w->out);
    if (w->ends == crlf)
        put_ascii(w, pairs, 2);
    else if (w->ends == cr)
        put_ascii(w, pairs, 1);
    else
        put_ascii(w, pairs + 1, 1);
}

#ifdef __SSE2__
/* UTF-8 text from p to an eight-bit, double-byte or UTF-16 target, 16 bytes
 * at a time: one vector test finds the stop bytes and the characters beyond
 * ASCII, the ASCII between them is copied ahead, and each of those
 * characters is looked up.  Returns where the per-character path must
 * decide: a stop it cannot take, what is not valid or has no look-up, or
 * the last 32 bytes before limit. */
static inline const unsigned char *encode_blocks(const unsigned char *p, const unsigned char *limit,
                                                 const stops *stop, enum page_family family, const uint8_t *byte_of,
                                                 const uint16_t *sequence_of, int big_endian, unsigned char **o)
{
    unsigned char *q = *o;
    while (limit - p >= 32) {
        const unsigned char *const start = p;
        const __m128i v = _mm_loadu_si128((const __m128i *)p);
        unsigned events = first_stops(stop, v) | (unsigned)_mm_movemask_epi8(v) | 0x10000u;
        for (;;) {
            const unsigned at = (unsigned)__builtin_ctz(events);
            const size_t ascii = (size_t)(start + at - p);
            uint32_t c;
            size_t length;
            if (family == PAGE_FAMILY_UTF_16) {
                widen(p, 16, big_endian, q);
                q += 2 * ascii;
            } else {
                _mm_storeu_si128((__m128i *)q, _mm_loadu_si128((const __m128i *)p));
                q += ascii;
            }
            p += ascii;
            if (at >= 16)
                break;
            if (*p < 0x80) {
                /* a stop byte: LF written as CR LF, else the caller's */
                if (family == PAGE_FAMILY_UTF_16 && stop->line_rule == write_crlf && *p == '\n') {
                    widen((const unsigned char *)"\r\n", 2, big_endian, q);
                    q += 4;
                    ++p;
                } else if (family == PAGE_FAMILY_UTF_16 || !take_line_end(stop, &p, limit, &q)) {
                    goto stopped;
                }
                break;
            }
            length = utf8_take(p, &c);
            if (length == 0 || c >= 0x10000)
                goto stopped;
            if (family == PAGE_FAMILY_EIGHT_BIT) {
                if (!byte_of[c])
                    goto stopped;
                *q++ = byte_of[c];
            } else if (family == PAGE_FAMILY_DOUBLE_BYTE) {
                const uint16_t sequence = sequence_of[c];
                if (!sequence)
                    goto stopped;
                if (sequence >= 0x100)
                    *q++ = (unsigned char)(sequence >> 8);
                *q++ = (unsigned char)sequence;
            } else {
                q[big_endian] = (unsigned char)c;
                q[!big_endian] = (unsigned char)(c >> 8);
                q += 2;
            }
            p += length;
            if (p - start >= 16)
                break;
            events &= ~0u << (p - start);
        }
    }
stopped:
    *o = q;
    return p;
}
#endif

static const unsigned char *encode_eight_bit_run(const unsigned char *p, const unsigned char *limit,
                                                 const stops *stop, const uint8_t *byte_of, unsigned char **o)
{
    unsigned char *q = *o;
    while (p < limit) {
        uint32_t c;
        size_t length;
#ifdef __SSE2__
        p = encode_blocks(p, limit, stop, PAGE_FAMILY_EIGHT_BIT, byte_of, NULL, 0, &q);
        if (p >= limit)
            break;
#endif
        if (*p < 0x80) {
            if (!take_ascii(stop, &p, limit, &q))
                break;
            continue;
        }
        length = utf8_take(p, &c);
        if (length == 0 || c >= 0x10000 || !byte_of[c])
            break;
        *q++ = byte_of[c];
        p += length;
    }
    *o = q;
    return p;
}

static const unsigned char *encode_double_byte_run(const unsigned char *p, const unsigned char *limit,
                                                   const stops *stop, const uint16_t *sequence_of,
                                                   unsigned char **o)
{
    unsigned char *q = *o;
    while (p < limit) {
        uint32_t c;
        size_t length;
        uint16_t sequence;
#ifdef __SSE2__
        p = encode_blocks(p, limit, stop, PAGE_FAMILY_DOUBLE_BYTE, NULL, sequence_of, 0, &q);
        if (p >= limit)
            break;
#endif
        if (*p < 0x80) {
            if (!take_ascii(stop, &p, limit, &q))
                break;
            continue;
        }
        length = utf8_take(p, &c);
        if (length == 0 || c >= 0x10000 || !(sequence = sequence_of[c]))
            break;
        if (sequence >= 0x100)
            *q++ = (unsigned char)(sequence >> 8);
        *q++ = (unsigned char)sequence;
        p += length;
    }
    *o = q;
    return p;
}

#ifdef __SSE2__
/* UTF-8 to UTF-16 with the shuffles: each byte of a valid block that starts
 * a character of one to three bytes gets the low and the high byte of its
 * unit from itself and the two bytes after it, and the units are packed
 * together by the mask of those bytes, 8 at a time.  A block ends before a
 * character its end cuts and before a stop byte; an LF written as CR LF is
 * taken here, anything else (a four-byte character, what is not valid, a
 * mark) is left to encode_blocks, one block of it. */
SHUFFLES static const unsigned char *encode_utf_16_blocks_shuffled(const unsigned char *p,
                                                                   const unsigned char *limit, const stops *stop,
                                                                   int big_endian, unsigned char **o)
{
    const __m128i stop_bytes = stop->by_low_nibble;
    const __m128i six_bits = _mm_set1_epi8(0x3F), two_bits = _mm_set1_epi8(0x03);
    unsigned char *q = *o;
    while (limit - p >= 32) {
        const __m128i v = _mm_loadu_si128((const __m128i *)p);
        const unsigned stops_here = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_shuffle_epi8(stop_bytes, v)));
        unsigned size = 16, starts;
        __m128i next_1, next_2, lead_2, lead_3, low, high;
        if (!stops_here && !_mm_movemask_epi8(v)) {
            widen(p, 16, big_endian, q);
            q += 32;
            p += 16;
            continue;
        }
        if (stops_here) {
            size = (unsigned)__builtin_ctz(stops_here);
            if (size == 0) {
                const unsigned char *const before = p;
                if (stop->line_rule == write_crlf && *p == '\n') {
                    widen((const unsigned char *)"\r\n", 2, big_endian, q);
                    q += 4;
                    ++p;
                    continue;
                }
                p = encode_blocks(p, p + 32, stop, PAGE_FAMILY_UTF_16, NULL, NULL, big_endian, &q);
                if (p == before)
                    break;
                continue;
            }
        }
        if (!_mm_testz_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8((char)0xF0)), v), _mm_set1_epi8(-1)) ||
            !utf8_valid_shuffled(v, _mm_slli_si128(v, 1), _mm_slli_si128(v, 2), _mm_slli_si128(v, 3))) {
            const unsigned char *const before = p;
            p = encode_blocks(p, p + 32, stop, PAGE_FAMILY_UTF_16, NULL, NULL, big_endian, &q);
            if (p == before)
                break;
            continue;
        }
        if (size == 16)
            size -= (unsigned)cut_character(p + 16);
        next_1 = _mm_loadu_si128((const __m128i *)(p + 1));
        next_2 = _mm_and_si128(_mm_loadu_si128((const __m128i *)(p + 2)), six_bits);
        lead_3 = _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8((char)0xE0)), v);
        lead_2 = _mm_andnot_si128(lead_3, _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8((char)0xC0)), v));
        /* 110xxxyy 10zzzzzz: xxx high, yyzzzzzz low; 1110wwww 10xxxxyy 10zzzzzz: wwwwxxxx high, yyzzzzzz low */
        low = _mm_or_si128(
            _mm_andnot_si128(_mm_or_si128(lead_2, lead_3), v),
            _mm_or_si128(_mm_and_si128(lead_2, _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, two_bits), 6),
                                                            _mm_and_si128(next_1, six_bits))),
                         _mm_and_si128(lead_3, _mm_or_si128(_mm_slli_epi16(_mm_and_si128(next_1, two_bits), 6),
                                                            next_2))));
        high = _mm_or_si128(
            _mm_and_si128(lead_2, _mm_srli_epi16(_mm_and_si128(v, _mm_set1_epi8(0x1C)), 2)),
            _mm_and_si128(lead_3, _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi8(0x0F)), 4),
                                               _mm_srli_epi16(_mm_and_si128(next_1, _mm_set1_epi8(0x3C)), 2))));
        if (big_endian) {
            const __m128i swap = low;
            low = high;
            high = swap;
        }
        /* the bytes that start a character, not a continuation byte */
        starts = ~(unsigned)_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8((char)0xC0))) & ((1u << size) - 1);
        _mm_storeu_si128((__m128i *)q, _mm_shuffle_epi8(_mm_unpacklo_epi8(low, high),
                                                        _mm_load_si128((const __m128i *)units_at[starts & 0xFF])));
        q += 2 * bits_set[starts & 0xFF];
        _mm_storeu_si128((__m128i *)q, _mm_shuffle_epi8(_mm_unpackhi_epi8(low, high),
                                                        _mm_load_si128((const __m128i *)units_at[starts >> 8])));
        q += 2 * bits_set[starts >> 8];
        p += size;
    }
    *o = q;
    return p;
}
#endif

static const unsigned char *encode_utf_16_run(const unsigned char *p, const unsigned char *limit,
                                              const stops *stop, int big_endian, unsigned char **o)
{
    unsigned char *q = *o;
    const int low = big_endian, high = !big_endian;
    while (p < limit) {
        uint32_t c;
        size_t length;
#ifdef __SSE2__
        p = has_shuffles ? encode_utf_16_blocks_shuffled(p, limit, stop, big_endian, &q)
                         : encode_blocks(p, limit, stop, PAGE_FAMILY_UTF_16, NULL, NULL, big_endian, &q);
        if (p >= limit)
            break;
#endif
        if (*p < 0x80) {
            const size_t run = plain_run(stop, p, (size_t)(limit - p));
            if (run == 0) {
                if (stop->line_rule != write_crlf || *p != '\n')
                    break;
                q[low] = '\r';
                q[high] = 0;
                q[2 + low] = '\n';
                q[2 + high] = 0;
                q += 4;
                ++p;
                continue;
            }
            widen(p, run, big_endian, q);
            q += 2 * run;
            p += run;
            continue;
        }
        length = utf8_take(p, &c);
        if (length == 0 || c >= 0x10000)
            break;
        q[low] = (unsigned char)c;
        q[high] = (unsigned char)(c >> 8);
        q += 2;
        p += length;
    }
    *o = q;
    return p;
}

static const unsigned char *encode_run(writing *w, const unsigned char *p, const unsigned char *limit,
                                       unsigned char **o)
{
    switch (page_of(w->encoding)->family) {
    case PAGE_FAMILY_UTF_8:
        return copy_utf8_run(p, limit, &w->stop, o);
    case PAGE_FAMILY_UTF_16:
        return encode_utf_16_run(p, limit, &w->stop, w->big_endian, o);
    case PAGE_FAMILY_EIGHT_BIT:
        return encode_eight_bit_run(p, limit, &w->stop, byte_of_unicode[w->encoding], o);
    default:
        return encode_double_byte_run(p, limit, &w->stop, sequence_of_unicode[w->encoding], o);
    }
}

/* Writes the UTF-8 text s[0..n) in the target encoding and returns how much
 * of it was taken: all of it, less where a character or a CR LF is cut by
 * the end of what has been read and more may follow, or (size_t)-1 where
 * it is not UTF-8. */
static size_t encode_text(writing *w, const unsigned char *s, size_t n, int more_may_follow)
{
    size_t i = 0;
    while (i < n) {
        size_t run;
        if (w->out.length >= BLOCK_SIZE)
            flush_output(&w->out);
        if (n - i >= 4 && (s[i] >= 0x80 || w->stop.line_rule != line_ends_stop)) {
            unsigned char *o = w->out.begin + w->out.length;
            const size_t chunk = n - i - 3 < BLOCK_SIZE ? n - i - 3 : BLOCK_SIZE;
            const unsigned char *p = encode_run(w, s + i, s + i + chunk, &o);
            if (p > s + i) {
                w->out.length = (size_t)(o - w->out.begin);
                i = (size_t)(p - s);
                continue;
            }
        }
        run = plain_run(&w->stop, s + i, n - i);
        if (run > 0) {
            if (run > BLOCK_SIZE)
                run = BLOCK_SIZE;
            put_ascii(w, s + i, run);
            i += run;
        } else if (s[i] == '\n' || s[i] == '\r') {
            if (s[i] == '\r' && i + 1 == n && more_may_follow)
                return i;
            i += s[i] == '\r' && i + 1 < n && s[i + 1] == '\n' ? 2 : 1;
            put_output_line_end(w);
        } else if (s[i] < 0x80) { /* ESC or NUL as text */
            put_ascii(w, s + i, 1);
            ++i;
        } else {
            uint32_t c;
            const size_t length = utf8_decode(s + i, n - i, &c);
            if (length == 0) {
                if (more_may_follow && n - i < 4 && utf8_lead_length[s[i]] > n - i)
                    return i;
                return (size_t)-1;
            }
            put_character(w, c, s + i, length);
            i += length;
        }
    }
    return i;
}

enum mark_end { mark_closed, mark_malformed };

/* Reads a mark's content after its ESC [ up to the closing ]; a mark that
 * a line end, an ESC or the end of the file cuts short, or that is too long
 * to be one, is text. */
static enum mark_end read_mark(writing *w)
{
    input *in = &w->in;
    w->mark_length = 0;
    for (;;) {
        unsigned char b;
        if (!have_bytes(in, 1))
            return mark_malformed;
        b = in->data[in->pos];
        if (b == ']') {
            ++in->pos;
            return mark_closed;
        }
        if (b == '\n' || b == '\r' || b == MARK || (w->mark_length >= MARK_MAX && (b & 0xC0) != 0x80))
            return mark_malformed;
        w->mark[w->mark_length++] = b;
        ++in->pos;
    }
}

typedef struct header {
    int present;
    int version;
    enum line_end ends;
    int had_bom;
    int encoding; /* enc_detect where not given */
} header;

enum start { start_text, start_header, start_mark, start_malformed_mark };

/* The header mark at the very start, if there is one; or another mark. */
static enum start read_header(writing *w, header *h)
{
    input *in = &w->in;
    const size_t name_length = strlen(HEADER_NAME);
    char value[32];
    int kind, id;
    memset(h, 0, sizeof *h);
    h->ends = lf;
    h->encoding = enc_detect;
    if (!have_bytes(in, 2) || in->data[in->pos] != MARK || in->data[in->pos + 1] != '[')
        return start_text;
    in->pos += 2;
    if (read_mark(w) != mark_closed)
        return start_malformed_mark;
    if (w->mark_length < name_length || memcmp(w->mark, HEADER_NAME, name_length) != 0 ||
        (w->mark_length > name_length && w->mark[name_length] != ' '))
        return start_mark;
    h->present = 1;
    h->version = w->mark_length > name_length + 1 ? atoi((const char *)w->mark + name_length + 1) : 1;
    if (doc_mark_field(w->mark, w->mark_length, "eol", value, sizeof value))
        for (kind = crlf; kind <= mixed; ++kind)
            if (strcmp(value, line_end_names[kind]) == 0)
                h->ends = (enum line_end)kind;
    h->had_bom = doc_mark_field(w->mark, w->mark_length, "bom", value, sizeof value) && strcmp(value, "1") == 0;
    if (doc_mark_field(w->mark, w->mark_length, "encoding", value, sizeof value))
        for (id = enc_utf_8; id < encoding_count; ++id)
            if (strcmp(value, page_of(id)->label) == 0)
                h->encoding = id;
    if (have_bytes(in, 1) && in->data[in->pos] == '\n')
        ++in->pos;
    return start_header;
}

static size_t document_text(writing *w, const unsigned char *s, size_t n, int more_may_follow);

/* Text that is whole (a malformed mark, a literal ESC, a rendering's own
 * words): a character cut in it is already text and nothing can follow. */
static void put_text(writing *w, const unsigned char *s, size_t n)
{
    if (w->doc.active)
        document_text(w, s, n, 0);
    else
        encode_text(w, s, n, 0);
}

static void put_words(writing *w, const char *words)
{
    encode_text(w, (const unsigned char *)words, strlen(words), 0);
}

/* ------------------------------------------------------------------ */
/* Documents: the plain text of a version 2 intermediate with blocks.  */
/* A blank line between blocks, list items with their marker and       */
/* indented by level, quotes behind "> ", code as it is, a rule as     */
/* "----", a table row per line with its cells apart by a tab, a       */
/* link's target after its text where they differ; inline marks go.    */

static void document_line_end(writing *w)
{
    put_output_line_end(w);
    w->doc.at_line_start = 1;
    w->doc.pending_space = 0;
}

/* The quote prefixes, and the list item's indent and marker. */
static void put_spaces(writing *w, int count)
{
    static const char spaces[] = "                                                                ";
    if (count > 0)
        encode_text(w, (const unsigned char *)spaces, count < 64 ? (size_t)count : 64, 0);
}

/* The item's marker, "- " or "K. ", and its width. */
/* A number as roman numerals, lower case, for the numbers lists reach. */
static void roman(int number, char *out, size_t room)
{
    static const struct {
        int value;
        const char *digits;
    } numerals[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"},
                    {50, "l"},   {40, "xl"},  {10, "x"},  {9, "ix"},   {5, "v"},   {4, "iv"}, {1, "i"}};
    size_t used = 0, i;
    out[0] = '\0';
    for (i = 0; i < sizeof numerals / sizeof *numerals && number > 0; ++i)
        while (number >= numerals[i].value && used + 3 < room) {
            used += (size_t)snprintf(out + used, room - used, "%s", numerals[i].digits);
            number -= numerals[i].value;
        }
}

/* A number as letters: a to z, then aa, ab and so on. */
static void letters(int number, char *out, size_t room)
{
    char reversed[16];
    size_t n = 0, i;
    for (; number > 0 && n < sizeof reversed; number = (number - 1) / 26)
        reversed[n++] = (char)('a' + (number - 1) % 26);
    for (i = 0; i < n && i + 1 < room; ++i)
        out[i] = reversed[n - 1 - i];
    out[i] = '\0';
}

/* The item's marker, "- ", "K. ", "c. ", "iv. " or its own label, and its
 * width. */
static int item_marker(const document *d, char marker[24])
{
    char digits[16];
    size_t i;
    if (d->item_number < 0)
        return snprintf(marker, 24, "- ");
    if (d->item_label[0])
        return snprintf(marker, 24, "%s ", d->item_label);
    switch (d->item_style) {
    case LIST_LOWER_ROMAN: case LIST_UPPER_ROMAN: roman(d->item_number, digits, sizeof digits); break;
    case LIST_LOWER_ALPHA: case LIST_UPPER_ALPHA: letters(d->item_number, digits, sizeof digits); break;
    default: snprintf(digits, sizeof digits, "%d", d->item_number);
    }
    if (d->item_style == LIST_UPPER_ROMAN || d->item_style == LIST_UPPER_ALPHA)
        for (i = 0; digits[i]; ++i)
            digits[i] = (char)(digits[i] - 'a' + 'A');
    return snprintf(marker, 24, "%s. ", digits);
}

/* The level of the item the innermost quote stands in, 0 outside quotes:
 * the items inside it carry levels above. */
static int innermost_quote_floor(const document *d)
{
    return d->quote_depth > 0 ? d->quote_floor[(d->quote_depth < QUOTE_LIMIT ? d->quote_depth : QUOTE_LIMIT) - 1] : 0;
}

/* Where an item's marker begins within the quote it stands in: two
 * columns a level above the item the quote stands in. */
static int item_indent_of_level(const document *d, int level)
{
    level -= innermost_quote_floor(d);
    return level > 32 ? 62 : level < 1 ? 0 : 2 * (level - 1);
}

/* The marks of the quotes around a line, each at its indentation; a blank
 * line's last one without its space. */
static void put_quote_marks(writing *w, int blank_line)
{
    const document *d = &w->doc;
    int i;
    for (i = 0; i < d->quote_depth; ++i) {
        put_spaces(w, i < QUOTE_LIMIT ? d->quote_indent[i] : 0);
        put_words(w, blank_line && i + 1 == d->quote_depth ? ">" : "> ");
    }
}

static void document_line_start(writing *w)
{
    document *d = &w->doc;
    if (!d->at_line_start)
        return;
    d->at_line_start = 0;
    put_quote_marks(w, 0);
    put_spaces(w, d->block_indent + 4 * d->definition_depth);
    if (d->note_number) {
        char label[24];
        snprintf(label, sizeof label, "[%d] ", d->note_number);
        put_words(w, label);
        d->note_number = 0;
    }
    if (d->item_level > 0) {
        char marker[24];
        const int width = item_marker(d, marker);
        put_spaces(w, item_indent_of_level(d, d->item_level));
        if (d->item_marker_written)
            memset(marker, ' ', (size_t)width); /* a line after a line break lines up with the text */
        put_words(w, marker);
        d->item_marker_written = 1;
    }
}

static void document_close_block(writing *w, enum block kind)
{
    document *d = &w->doc;
    if (!d->at_line_start)
        document_line_end(w);
    d->last = kind;
    d->in_text = d->in_code = 0;
    d->item_level = 0;
    d->block_indent = 0;
}

/* The marker of an item without text, on a line of its own. */
static void document_empty_item(writing *w)
{
    document *d = &w->doc;
    if (!d->empty_item)
        return;
    d->item_level = d->empty_item;
    d->empty_item = 0;
    d->item_marker_written = 0;
    document_line_start(w);
    document_line_end(w);
    d->item_level = 0;
}

static void document_open_block(writing *w, enum block kind)
{
    document *d = &w->doc;
    if (d->in_text)
        document_close_block(w, block_paragraph); /* text outside any block ends there */
    document_empty_item(w);
    if (!d->at_line_start)
        document_line_end(w);
    if (d->started && !d->fresh && !(kind == block_item && d->last == block_item)) {
        put_quote_marks(w, 1);
        document_line_end(w);
    }
    d->started = 1;
    d->fresh = 0;
}

/* Text inside the document: a line end in it is a space, except in code. */
static size_t document_text(writing *w, const unsigned char *s, size_t n, int more_may_follow)
{
    document *d = &w->doc;
    size_t i = 0;
    while (i < n) {
        size_t end, taken;
        const unsigned char b = s[i];
        if (!d->in_text) {
            if (b == ' ' || b == '\t' || b == '\r' || b == '\n') {
                ++i; /* white space between blocks */
                continue;
            }
            document_open_block(w, block_paragraph);
            d->in_text = 1;
        }
        if (b == '\r' || b == '\n') {
            if (b == '\r' && i + 1 == n && more_may_follow)
                return i;
            i += b == '\r' && i + 1 < n && s[i + 1] == '\n' ? 2 : 1;
            if (d->in_code) {
                document_line_start(w);
                document_line_end(w);
            } else {
                d->pending_space = !d->at_line_start;
            }
            continue;
        }
        for (end = i; end < n && s[end] != '\r' && s[end] != '\n';)
            ++end;
        document_line_start(w);
        if (d->pending_space) {
            put_words(w, " ");
            d->pending_space = 0;
        }
        taken = encode_text(w, s + i, end - i, more_may_follow && end == n);
        if (taken == (size_t)-1)
            return taken;
        if (d->in_link && d->link_text_length + taken <= MARK_MAX) {
            memcpy(d->link_text + d->link_text_length, s + i, taken);
            d->link_text_length += taken;
        }
        i += taken;
        if (i < end)
            return i;
    }
    return i;
}

/* The indentation of a block that goes on the list item of `level`. */
static int item_indent(const writing *w, int level)
{
    return level >= 1 && level <= 32 ? w->doc.text_indent[level] : 0;
}

/* Opens a block that may go on a list item: lined up with the item's text,
 * or, on an item without text of its own, on the line of its marker. */
static void document_open_item_block(writing *w, enum block kind, int item)
{
    document *d = &w->doc;
    if (d->empty_item && d->empty_item == item && !d->in_text) {
        d->empty_item = 0;
        d->item_level = item;
        d->item_marker_written = 0;
        d->block_indent = 0;
        return;
    }
    document_open_block(w, kind);
    d->block_indent = item_indent(w, item);
}

static void document_open_item(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    document_open_block(w, block_item);
    d->in_text = 1;
    d->item_level = e->level;
    d->item_number = e->number < 0 ? -1 : e->number; /* below 0: a bullet */
    d->item_style = e->list_style;
    snprintf(d->item_label, sizeof d->item_label, "%.*s", e->title_length < 31 ? (int)e->title_length : 0, e->title);
    d->item_marker_written = 0;
    if (d->item_level <= 32) {
        char marker[24];
        d->text_indent[d->item_level] = item_indent_of_level(d, d->item_level) + item_marker(d, marker);
    }
}

static void document_open_quote(writing *w, int item)
{
    document *d = &w->doc;
    const int floor = innermost_quote_floor(d);
    document_open_block(w, block_quote);
    if (d->quote_depth < QUOTE_LIMIT) {
        d->quote_indent[d->quote_depth] = item_indent(w, item);
        d->quote_floor[d->quote_depth] = item > floor && item <= 32 ? item : floor;
    }
    ++d->quote_depth;
    d->fresh = 1;
}

static void document_close_quote(writing *w)
{
    document *d = &w->doc;
    if (!d->at_line_start)
        document_line_end(w);
    if (d->quote_depth > 0)
        --d->quote_depth;
    d->last = block_quote;
    d->fresh = 0;
}

static void document_open_cell(writing *w)
{
    document *d = &w->doc;
    document_line_start(w);
    if (d->cells++ > 0)
        put_words(w, "\t");
    d->in_text = 1;
}

static void document_open_link(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    size_t length = e->length < sizeof d->href - 1 ? e->length : sizeof d->href - 1;
    memcpy(d->href, e->text, length);
    d->href[length] = '\0';
    d->in_link = 1;
    d->link_text_length = 0;
}

/* A link's target after its text, where they differ. */
static void document_close_link(writing *w)
{
    document *d = &w->doc;
    if (!d->in_link)
        return;
    d->in_link = 0;
    if (d->href[0] &&
        (d->link_text_length != strlen(d->href) || memcmp(d->link_text, d->href, d->link_text_length) != 0)) {
        document_text(w, (const unsigned char *)" (", 2, 0);
        document_text(w, (const unsigned char *)d->href, strlen(d->href), 0);
        document_text(w, (const unsigned char *)")", 1, 0);
    }
}

static int is_block_node(int node)
{
    return !IS_INLINE(node) && node != NODE_IMG && node != NODE_RAW && node != NODE_FN && node != NODE_BR &&
           node != NODE_NOTE;
}

/* A block inside a table cell runs on in the cell's line, after a space; an
 * item keeps its marker. */
static void document_open_in_cell(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    ++d->cell_blocks;
    d->pending_space = !d->at_line_start;
    if (e->node == NODE_LI) {
        char marker[24];
        d->item_number = e->number < 0 ? -1 : e->number;
        d->item_style = e->list_style;
        d->item_label[0] = '\0';
        item_marker(d, marker);
        document_text(w, (const unsigned char *)marker, strlen(marker), 0);
    }
}

/* A note's blocks follow the document's, its first line behind "[N] ". */
static void document_open_note(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    d->note_number = note_number(&d->notes, e->text, e->length);
}

/* Where a footnote stands: its number in brackets. */
static void document_footnote(writing *w, const doc_event *e)
{
    char label[24];
    snprintf(label, sizeof label, "[%d]", note_number(&w->doc.notes, e->text, e->length));
    document_text(w, (const unsigned char *)label, strlen(label), 0);
}

static void document_open(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    if (d->cell_open && is_block_node(e->node)) {
        document_open_in_cell(w, e);
        return;
    }
    switch (e->node) {
    case NODE_P: case NODE_H: case NODE_CODE: case NODE_HTML:
        document_open_item_block(w, block_paragraph, e->item);
        d->in_text = 1;
        d->in_code = e->node == NODE_CODE || e->node == NODE_HTML; /* raw HTML: its source, verbatim */
        break;
    case NODE_LI: document_open_item(w, e); break;
    case NODE_QUOTE: document_open_quote(w, e->item); break;
    case NODE_TABLE: document_open_item_block(w, block_table, e->item); break;
    case NODE_ROW:
        if (!d->at_line_start)
            document_line_end(w);
        d->cells = 0;
        break;
    case NODE_CELL:
        document_open_cell(w);
        d->cell_open = 1;
        break;
    case NODE_A: document_open_link(w, e); break;
    case NODE_DT:
        document_open_item_block(w, block_paragraph, e->item);
        d->in_text = 1;
        break;
    case NODE_DD:
        ++d->definition_depth;
        d->fresh = 1; /* the definition's first line right below its term */
        break;
    case NODE_NOTE: document_open_note(w, e); break;
    case NODE_SUP: document_text(w, (const unsigned char *)"^", 1, 0); break;
    case NODE_SUB: document_text(w, (const unsigned char *)"_", 1, 0); break;
    case NODE_FN: document_footnote(w, e); break;
    }
    /* other inline marks: their text stays, the mark goes */
}

static void document_close(writing *w, const doc_event *e)
{
    document *d = &w->doc;
    if (d->cell_blocks > 0 && is_block_node(e->node)) {
        --d->cell_blocks;
        return;
    }
    switch (e->node) {
    case NODE_P: case NODE_H: case NODE_CODE: case NODE_HTML: document_close_block(w, block_paragraph); break;
    case NODE_LI: {
        const int empty = d->item_marker_written ? 0 : d->item_level;
        document_close_block(w, block_item);
        d->empty_item = empty;
        break;
    }
    case NODE_QUOTE: document_close_quote(w); break;
    case NODE_CELL:
        d->in_text = 0;
        d->pending_space = 0;
        d->cell_open = 0;
        break;
    case NODE_DT: document_close_block(w, block_paragraph); break;
    case NODE_DD:
        if (d->definition_depth > 0)
            --d->definition_depth;
        break;
    case NODE_ROW:
        d->in_text = 0;
        if (!d->at_line_start)
            document_line_end(w);
        break;
    case NODE_TABLE: document_close_block(w, block_table); break;
    case NODE_A: document_close_link(w); break;
    }
}

static void document_rule(writing *w, int item)
{
    document_open_item_block(w, block_rule, item);
    document_line_start(w);
    put_words(w, "----");
    document_close_block(w, block_rule);
}

static void document_event(writing *w, const doc_event *e)
{
    if (e->kind == EV_HR && w->doc.cell_open) {
        w->doc.pending_space = !w->doc.at_line_start;
        return;
    }
    switch (e->kind) {
    case EV_OPEN: document_open(w, e); break;
    case EV_CLOSE: document_close(w, e); break;
    case EV_TEXT: document_text(w, (const unsigned char *)e->text, e->length, 0); break;
    case EV_HR: document_rule(w, e->item); break;
    case EV_BR:
        if (w->doc.in_text)
            document_line_end(w);
        break;
    }
}

/* The whole intermediate, read by the document core's iterator: a document
 * is read at once, as the document plug-in's writers read it. */
static int32_t render_document(writing *w, FILE *in_file)
{
    buffer whole = {0};
    doc_reader reader;
    doc_event e;
    const int32_t loaded = load_input(in_file, &whole);
    if (loaded != CONVERT_OK)
        return loaded;
    memset(&w->doc, 0, sizeof w->doc);
    w->doc.active = 1;
    w->doc.at_line_start = 1;
    doc_read_begin(&reader, &whole);
    while (!w->out.failed && doc_next(&reader, &e))
        document_event(w, &e);
    doc_read_end(&reader);
    release_input(&whole);
    document_empty_item(w);
    note_numbers_free(&w->doc.notes);
    return CONVERT_OK;
}

/* A version 2 intermediate is a document when its body begins with a
 * block; else it is text like any other.  Reads up to the first thing that
 * is not white space and takes the decision. */
static void decide_document(writing *w)
{
    input *in = &w->in;
    unsigned char white[256];
    size_t held = 0;
    memset(&w->doc, 0, sizeof w->doc);
    w->doc.at_line_start = 1;
    while (held < sizeof white && have_bytes(in, 1)) {
        const unsigned char b = in->data[in->pos];
        if (b != ' ' && b != '\t' && b != '\r' && b != '\n')
            break;
        white[held++] = b;
        ++in->pos;
    }
    if (held < sizeof white && have_bytes(in, 2) && in->data[in->pos] == MARK && in->data[in->pos + 1] == '[') {
        enum mark_end end;
        in->pos += 2;
        end = read_mark(w);
        if (end == mark_closed && doc_is_block_mark(w->mark, w->mark_length)) {
            w->doc.active = 1; /* read again whole, from the start */
            return;
        }
        encode_text(w, white, held, 0);
        if (end == mark_malformed) {
            put_text(w, (const unsigned char *)"\x1B[", 2);
            put_text(w, w->mark, w->mark_length);
        }
        return;
    }
    encode_text(w, white, held, 0);
}

static int32_t write_all(writing *w, FILE *in_file, FILE *out_file, int target, enum line_end wanted,
                         enum bom_rule bom)
{
    input *in = &w->in;
    header h;
    enum start start;
    int pass_line_ends;
    memset(&w->doc, 0, sizeof w->doc);
    open_input(in, in_file, w->blocks->input);
    open_output(&w->out, out_file, w->blocks->output);
    if (!have_bytes(in, 1))
        return ferror(in_file) ? CONVERT_READ_WRITE_FAILED : CONVERT_EMPTY_INPUT;
    start = read_header(w, &h);
    w->encoding = target;
    build_tables(target);
    w->ends = wanted == as_read ? h.ends : wanted;
    /* line ends that are already what the output wants are copied with the text */
    pass_line_ends = w->ends == mixed || (w->ends == lf && h.ends != mixed);
    make_stops(&w->stop, 0, !pass_line_ends);
    if (w->ends == crlf && h.ends != mixed)
        w->stop.line_rule = write_crlf;
    w->big_endian = 0;
    if (target == enc_utf_8 && (bom == bom_always || (bom == bom_as_read && h.had_bom &&
                                                      (h.encoding == enc_detect || h.encoding == enc_utf_8))))
        emit_bytes(&w->out, "\xEF\xBB\xBF", 3);
    if (target == enc_utf_16le) {
        const int was_utf_16 = h.encoding == enc_utf_16le || h.encoding == enc_utf_16be;
        w->big_endian = h.encoding == enc_utf_16be;
        if (!was_utf_16 || h.had_bom)
            put_unit(w, 0xFEFF);
    }
    if (start == start_malformed_mark) {
        put_text(w, (const unsigned char *)"\x1B[", 2);
        put_text(w, w->mark, w->mark_length);
    }
    if (start == start_header && h.version >= 2)
        decide_document(w);
    if (w->doc.active) {
        const int32_t rendered = render_document(w, in_file);
        if (rendered != CONVERT_OK)
            return rendered == CONVERT_EMPTY_INPUT ? CONVERT_READ_WRITE_FAILED : rendered;
    }
    while (!w->doc.active) {
        const unsigned char *s, *mark_at;
        size_t n, segment, taken;
        if (in->pos == in->end && !refill(in))
            break;
        s = in->data + in->pos;
        n = in->end - in->pos;
        mark_at = find_mark(s, n);
        segment = (size_t)(mark_at - s);
        if (segment == n)
            mark_at = NULL;
        taken = encode_text(w, s, segment, !mark_at && !in->at_eof);
        if (taken == (size_t)-1) {
            refusal_set("The work file is not UTF-8, as the intermediate form must be.");
            return CONVERT_WRONG_FORMAT;
        }
        in->pos += taken;
        if (taken < segment) {
            refill(in); /* or, at the end, what is cut short is read as such */
            continue;
        }
        if (!mark_at)
            continue;
        ++in->pos; /* the ESC */
        if (!have_bytes(in, 1)) {
            put_text(w, (const unsigned char *)"\x1B", 1);
        } else if (in->data[in->pos] == MARK) {
            ++in->pos;
            put_text(w, (const unsigned char *)"\x1B", 1);
        } else if (in->data[in->pos] == '[') {
            ++in->pos;
            if (read_mark(w) == mark_malformed) {
                put_text(w, (const unsigned char *)"\x1B[", 2);
                put_text(w, w->mark, w->mark_length);
            }
            /* a closed mark has no place in plain text */
        } else {
            put_text(w, (const unsigned char *)"\x1B", 1);
        }
        if (w->out.failed)
            break;
    }
    flush_output(&w->out);
    /* the last block reaches the file now, and a full disk shows */
    if (ferror(in_file) || w->out.failed || fflush(out_file) != 0)
        return CONVERT_READ_WRITE_FAILED;
    return CONVERT_OK;
}

static int32_t write_text(FILE *in_file, FILE *out_file, int target, enum line_end wanted, enum bom_rule bom)
{
    blocks *b = begin_conversion();
    writing *w = b ? (writing *)calloc(1, sizeof *w) : NULL;
    int32_t result = CONVERT_WRONG_FORMAT;
    if (w) {
        w->blocks = b;
        result = write_all(w, in_file, out_file, target, wanted, bom);
        lost_characters = w->lost;
    } else {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    }
    free(b);
    free(w);
    return result;
}

/* ------------------------------------------------------------------ */
/* The formats                                                         */

typedef struct source_format {
    const char *name;
    int encoding;
} source_format;

typedef struct target_format {
    const char *name;
    int encoding;
    enum line_end ends;
    enum bom_rule bom;
} target_format;

/* Script or region first, then the platform and the code page, so that a
 * sorted list groups what belongs together. */
static const source_format sources[] = {
    {"Text - Any encoding (detected)", enc_detect},
    {"Text - Arabic - Mac", enc_mac_arabic},
    {"Text - Arabic - Windows (1256)", enc_1256},
    {"Text - Baltic - Windows (1257)", enc_1257},
    {"Text - Central European - DOS (852)", enc_852},
    {"Text - Central European - ISO 8859-2", enc_8859_2},
    {"Text - Central European - Windows (1250)", enc_1250},
    {"Text - Chinese Simplified - GBK (936)", enc_936},
    {"Text - Chinese Simplified - Mac", enc_mac_chinese_simplified},
    {"Text - Chinese Traditional - Big5 (950)", enc_950},
    {"Text - Chinese Traditional - Mac", enc_mac_chinese_traditional},
    {"Text - Cyrillic - DOS (866)", enc_866},
    {"Text - Cyrillic - ISO 8859-5", enc_8859_5},
    {"Text - Cyrillic - KOI8-R (Russian)", enc_koi8_r},
    {"Text - Cyrillic - KOI8-U (Ukrainian)", enc_koi8_u},
    {"Text - Cyrillic - Mac", enc_mac_cyrillic},
    {"Text - Cyrillic - Windows (1251)", enc_1251},
    {"Text - Greek - DOS (737)", enc_737},
    {"Text - Greek - ISO 8859-7", enc_8859_7},
    {"Text - Greek - Mac", enc_mac_greek},
    {"Text - Greek - Windows (1253)", enc_1253},
    {"Text - Hebrew - Mac", enc_mac_hebrew},
    {"Text - Hebrew - Windows (1255)", enc_1255},
    {"Text - Japanese - Mac", enc_mac_japanese},
    {"Text - Japanese - Shift_JIS (932)", enc_932},
    {"Text - Korean - Mac", enc_mac_korean},
    {"Text - Korean - Unified Hangul (949)", enc_949},
    {"Text - Thai - Windows (874)", enc_874},
    {"Text - Turkish - DOS (857)", enc_857},
    {"Text - Turkish - ISO 8859-9", enc_8859_9},
    {"Text - Turkish - Windows (1254)", enc_1254},
    {"Text - Unicode - UTF-16", enc_utf_16le},
    {"Text - Unicode - UTF-8", enc_utf_8},
    {"Text - Vietnamese - Windows (1258)", enc_1258},
    {"Text - Western - DOS (437)", enc_437},
    {"Text - Western - DOS multilingual (850)", enc_850},
    {"Text - Western - ISO 8859-1", enc_8859_1},
    {"Text - Western - ISO 8859-15", enc_8859_15},
    {"Text - Western - Mac OS Roman", enc_mac_roman},
    {"Text - Western - Windows (1252)", enc_1252},
};

/* Every encoding "as read" (the line ends the text had), and the line-end
 * variants people ask for: UTF-8 and Windows ANSI for Windows and for
 * Unix, DOS always with CR LF, the Unix-born encodings with LF. */
static const target_format targets[] = {
    {"Text - Arabic - Mac", enc_mac_arabic, as_read, bom_never},
    {"Text - Arabic - Windows (1256)", enc_1256, as_read, bom_never},
    {"Text - Baltic - Windows (1257)", enc_1257, as_read, bom_never},
    {"Text - Central European - DOS (852)", enc_852, as_read, bom_never},
    {"Text - Central European - ISO 8859-2", enc_8859_2, as_read, bom_never},
    {"Text - Central European - Windows (1250)", enc_1250, as_read, bom_never},
    {"Text - Chinese Simplified - GBK (936)", enc_936, as_read, bom_never},
    {"Text - Chinese Simplified - Mac", enc_mac_chinese_simplified, as_read, bom_never},
    {"Text - Chinese Traditional - Big5 (950)", enc_950, as_read, bom_never},
    {"Text - Chinese Traditional - Mac", enc_mac_chinese_traditional, as_read, bom_never},
    {"Text - Cyrillic - DOS (866)", enc_866, as_read, bom_never},
    {"Text - Cyrillic - ISO 8859-5", enc_8859_5, as_read, bom_never},
    {"Text - Cyrillic - KOI8-R (Russian)", enc_koi8_r, as_read, bom_never},
    {"Text - Cyrillic - KOI8-R (Russian), LF", enc_koi8_r, lf, bom_never},
    {"Text - Cyrillic - KOI8-U (Ukrainian)", enc_koi8_u, as_read, bom_never},
    {"Text - Cyrillic - Mac", enc_mac_cyrillic, as_read, bom_never},
    {"Text - Cyrillic - Windows (1251)", enc_1251, as_read, bom_never},
    {"Text - Greek - DOS (737)", enc_737, as_read, bom_never},
    {"Text - Greek - ISO 8859-7", enc_8859_7, as_read, bom_never},
    {"Text - Greek - Mac", enc_mac_greek, as_read, bom_never},
    {"Text - Greek - Windows (1253)", enc_1253, as_read, bom_never},
    {"Text - Hebrew - Mac", enc_mac_hebrew, as_read, bom_never},
    {"Text - Hebrew - Windows (1255)", enc_1255, as_read, bom_never},
    {"Text - Japanese - Mac", enc_mac_japanese, as_read, bom_never},
    {"Text - Japanese - Shift_JIS (932)", enc_932, as_read, bom_never},
    {"Text - Korean - Mac", enc_mac_korean, as_read, bom_never},
    {"Text - Korean - Unified Hangul (949)", enc_949, as_read, bom_never},
    {"Text - Thai - Windows (874)", enc_874, as_read, bom_never},
    {"Text - Turkish - DOS (857)", enc_857, as_read, bom_never},
    {"Text - Turkish - ISO 8859-9", enc_8859_9, as_read, bom_never},
    {"Text - Turkish - Windows (1254)", enc_1254, as_read, bom_never},
    {"Text - Unicode - UTF-16", enc_utf_16le, as_read, bom_as_read},
    {"Text - Unicode - UTF-8", enc_utf_8, as_read, bom_as_read},
    {"Text - Unicode - UTF-8 with BOM", enc_utf_8, as_read, bom_always},
    {"Text - Unicode - UTF-8, CR LF", enc_utf_8, crlf, bom_never},
    {"Text - Unicode - UTF-8, LF", enc_utf_8, lf, bom_never},
    {"Text - Vietnamese - Windows (1258)", enc_1258, as_read, bom_never},
    {"Text - Western - DOS (437)", enc_437, as_read, bom_never},
    {"Text - Western - DOS (437), CR LF", enc_437, crlf, bom_never},
    {"Text - Western - DOS multilingual (850)", enc_850, as_read, bom_never},
    {"Text - Western - DOS multilingual (850), CR LF", enc_850, crlf, bom_never},
    {"Text - Western - ISO 8859-1", enc_8859_1, as_read, bom_never},
    {"Text - Western - ISO 8859-1, LF", enc_8859_1, lf, bom_never},
    {"Text - Western - ISO 8859-15", enc_8859_15, as_read, bom_never},
    {"Text - Western - ISO 8859-15, LF", enc_8859_15, lf, bom_never},
    {"Text - Western - Mac OS Roman", enc_mac_roman, as_read, bom_never},
    {"Text - Western - Windows (1252)", enc_1252, as_read, bom_never},
    {"Text - Western - Windows (1252), CR LF", enc_1252, crlf, bom_never},
    {"Text - Western - Windows (1252), LF", enc_1252, lf, bom_never},
};

#define SOURCE_COUNT ((int)(sizeof sources / sizeof *sources))
#define TARGET_COUNT ((int)(sizeof targets / sizeof *targets))

static int32_t run_source(int n, FILE *in, FILE *out)
{
    refusal_clear();
    return read_text(in, out, sources[n].encoding);
}

static int32_t run_target(int n, FILE *in, FILE *out)
{
    refusal_clear();
    return write_text(in, out, targets[n].encoding, targets[n].ends, targets[n].bom);
}

/* One converter function per format: the contract passes no context. */
#define CONVERTER(kind, n) \
    static int32_t __cdecl kind##_##n(FILE *in, FILE *out) { return run_##kind(n, in, out); }
#define CONVERTERS_8(kind, a, b, c, d, e, f, g, h) \
    CONVERTER(kind, a) CONVERTER(kind, b) CONVERTER(kind, c) CONVERTER(kind, d) \
    CONVERTER(kind, e) CONVERTER(kind, f) CONVERTER(kind, g) CONVERTER(kind, h)
#define CONVERTER_LIST_8(kind, a, b, c, d, e, f, g, h) \
    kind##_##a, kind##_##b, kind##_##c, kind##_##d, kind##_##e, kind##_##f, kind##_##g, kind##_##h
#define CONVERTERS_56(kind) \
    CONVERTERS_8(kind, 0, 1, 2, 3, 4, 5, 6, 7) CONVERTERS_8(kind, 8, 9, 10, 11, 12, 13, 14, 15) \
    CONVERTERS_8(kind, 16, 17, 18, 19, 20, 21, 22, 23) CONVERTERS_8(kind, 24, 25, 26, 27, 28, 29, 30, 31) \
    CONVERTERS_8(kind, 32, 33, 34, 35, 36, 37, 38, 39) CONVERTERS_8(kind, 40, 41, 42, 43, 44, 45, 46, 47) \
    CONVERTERS_8(kind, 48, 49, 50, 51, 52, 53, 54, 55) \
    static const convert_fn kind##_converters[56] = { \
        CONVERTER_LIST_8(kind, 0, 1, 2, 3, 4, 5, 6, 7), CONVERTER_LIST_8(kind, 8, 9, 10, 11, 12, 13, 14, 15), \
        CONVERTER_LIST_8(kind, 16, 17, 18, 19, 20, 21, 22, 23), \
        CONVERTER_LIST_8(kind, 24, 25, 26, 27, 28, 29, 30, 31), \
        CONVERTER_LIST_8(kind, 32, 33, 34, 35, 36, 37, 38, 39), \
        CONVERTER_LIST_8(kind, 40, 41, 42, 43, 44, 45, 46, 47), \
        CONVERTER_LIST_8(kind, 48, 49, 50, 51, 52, 53, 54, 55)};

CONVERTERS_56(source)
CONVERTERS_56(target)

/* The host lists 64 formats a direction: twelve stay for the other
 * plug-ins (the document plug-in's seven sources and five targets). */
_Static_assert(SOURCE_COUNT <= 52 && TARGET_COUNT <= 52, "cnvtext leaves room for the other plug-ins");

PLUGIN_EXPORT int32_t __cdecl _DLL_threads(void) { return 1; }

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    const int count = list == FORMAT_LIST_SOURCE ? SOURCE_COUNT : TARGET_COUNT;
    int i;
    (void)always_one;
    for (i = 0; i < count; ++i) {
        const char *name = list == FORMAT_LIST_SOURCE ? sources[i].name : targets[i].name;
        memset(&first[i], 0, sizeof first[i]);
        snprintf(first[i].name, sizeof first[i].name, "%s", name);
        snprintf(first[i].ext, sizeof first[i].ext, "txt");
        first[i].converter = list == FORMAT_LIST_SOURCE ? source_converters[i] : target_converters[i];
    }
    return count;
}

/* How many characters the most recent converter call could not write in
 * its target encoding and replaced (by the letter without its accent, a
 * plain quote or dash, or a question mark). */
PLUGIN_EXPORT int32_t __cdecl _DLL_lost(void)
{
    return lost_characters;
}
