/* cnvdoc.dll - documents in RTF, HTML and Markdown.
 *
 * Every reader turns its format into the intermediate form, version 2
 * (sdk/GUIDE.md): blocks and inline marks around UTF-8 text.  Readers write
 * it through a builder that keeps the marks properly nested whatever order
 * the source format gives them in; writers read it through an iterator that
 * gives well-formed events for any input, plain text and version 1 included. */
#ifndef CNVDOC_DOC_H
#define CNVDOC_DOC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#define MARK 0x1B
/* A test build makes the input's blocks and the output's buffer tiny, so
 * that every byte is cut by a boundary somewhere. */
#ifndef CNVDOC_BLOCK_SIZE
#define CNVDOC_BLOCK_SIZE (1 << 16)
#endif
#ifndef CNVDOC_SINK_SIZE
#define CNVDOC_SINK_SIZE (1 << 20)
#endif
#define BLOCK_SIZE CNVDOC_BLOCK_SIZE
#define BAD_UTF8 0xFFFFFFFFu

typedef struct buffer {
    unsigned char *data;
    size_t size;
    size_t capacity;
    int failed;
    FILE *sink; /* an output written out whenever it is full */
    int mapped; /* data is a copy-on-write view of the input file (load_input) */
} buffer;

#define SINK_SIZE CNVDOC_SINK_SIZE

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

/* A code block's language as doc_block takes it: at most room - 1 bytes of
 * s[0..size), never half a character, and the NUL.  The readers keep it in
 * DOC_LANGUAGE_SIZE bytes. */
#define DOC_LANGUAGE_SIZE 64
void copy_language(char *lang, size_t room, const unsigned char *s, size_t size);
/* One UTF-8 sequence at *pos, advancing; BAD_UTF8 when it is not valid. */
uint32_t next_utf8(const unsigned char *s, size_t size, size_t *pos);
/* Byte-to-Unicode table of an eight-bit code page, NULL when unknown. */
const uint16_t *code_page(int number);
/* Appends the bytes s[0..n) of code page `number` as UTF-8 (double-byte
 * pages through the system); returns 0 when the page is unknown. */
int put_code_page_text(buffer *b, int number, const unsigned char *s, size_t n);
int is_double_byte_page(int number);
/* Unicode value of a Windows-1252 byte in 0x80..0x9F, as browsers read
 * numeric references there. */
uint32_t windows_1252_char(unsigned char byte);

/* Text of an HTML5 named character reference (name with its ";" where it
 * has one), NULL when there is no such name. */
const char *named_reference(const char *name, size_t length);

/* What a document may expand into beyond its own text: reference links
 * that repeat a long target, cells added to fill short table rows.  Each
 * conversion may add the input's size twice over and a mebibyte that no
 * ordinary document reaches; past it a reference is left as its text and
 * a row keeps its own cells, so that output stays proportional to input. */
#define DOC_EXPANSION_FLOOR ((size_t)1 << 20)
#define DOC_EXPANSION_PER_BYTE 2
static inline size_t doc_expansion_budget(size_t input_size)
{
    const size_t most = ((size_t)-1 - DOC_EXPANSION_FLOOR) / DOC_EXPANSION_PER_BYTE;
    return DOC_EXPANSION_FLOOR + DOC_EXPANSION_PER_BYTE * (input_size < most ? input_size : most);
}
/* Takes `cost` from a budget; 0 when the budget cannot pay it. */
static inline int doc_spend(size_t *budget, size_t cost)
{
    if (cost > *budget)
        return 0;
    *budget -= cost;
    return 1;
}
/* What an empty cell costs in the intermediate form, its marks with their
 * line ends. */
#define DOC_EMPTY_CELL_COST 16

/* Nodes of the intermediate form. */
enum node {
    NODE_NONE,
    NODE_P, NODE_H, NODE_LI, NODE_CODE, NODE_CELL, /* leaves: hold text */
    NODE_QUOTE, NODE_TABLE, NODE_ROW,               /* containers */
    NODE_HR,
    NODE_A, NODE_I, NODE_B, NODE_U, NODE_S, NODE_C, /* inline */
    NODE_BR,
    NODE_HTML,                                      /* leaf: raw HTML, verbatim */
    NODE_IMG, NODE_RAW,                             /* inline: an image (its text the alternative), raw HTML */
    NODE_COUNT
};
#define IS_LEAF(n) (((n) >= NODE_P && (n) <= NODE_CELL) || (n) == NODE_HTML)
#define IS_VERBATIM(n) ((n) == NODE_CODE || (n) == NODE_HTML)
#define IS_INLINE(n) ((n) >= NODE_A && (n) <= NODE_C)
#define INLINE_BIT(n) (1u << ((n) - NODE_A))

/* ---- Writing the intermediate form (the readers' side) ---- */

#define BUILDER_DEPTH 64
#define INLINE_DEPTH 24 /* inline marks open at once, nested ones included */
#define DOC_BULLET (-1) /* the number of a bulleted list item (any below 0 is one) */

typedef struct doc_builder {
    buffer out;
    int leaf;            /* open leaf block, NODE_NONE outside one */
    int leaf_has_text;
    int leaf_unwritten;  /* a paragraph's mark waits for its first text */
    int leaf_absorbed;   /* a paragraph taken into the open item or cell */
    int containers[BUILDER_DEPTH];
    int depth;
    int wanted[INLINE_DEPTH]; /* inline marks the next text should carry, in the order they opened */
    int wanted_count;
    int wanted_dropped[NODE_C - NODE_A + 1]; /* opened beyond INLINE_DEPTH: the next ends of that mark end nothing */
    int inlines_changed; /* wanted marks changed since the output's were brought in line */
    int code_ended;      /* a code span ended since then: the next one is a span of its own */
    buffer wanted_href;
    int emitted[INLINE_DEPTH]; /* inline marks open in the output, outermost first */
    int emitted_count;
    buffer emitted_href;
    int collapse_spaces; /* HTML: runs of white space are one space */
    int pending_space;
    int after_break;     /* HTML: white space that starts a line is no content */
    buffer wanted_title, emitted_title; /* a link's title */
    int link_compared;   /* the wanted link was compared with the emitted one since either changed */
    int link_same;       /* and they were the same: a long target is compared once, not at every mark */
    /* What the document may still expand into: every link mark written
     * spends its target and title, so that a link around thousands of
     * paragraphs, or a field's thousands of results, cannot write its long
     * target thousands of times.  A reader sets it to doc_expansion_budget
     * of its input; past it text goes on without its link.  No limit
     * unless set. */
    size_t expansion_left;
    int next_item;       /* the next block continues the list item of this level */
    unsigned next_flags; /* DOC_ flags of the next item or cell */
} doc_builder;

#define DOC_LOOSE 1u    /* an item of a list whose items are parted by blank lines */
#define DOC_NEW_LIST 2u /* an item that begins a list right after another one */
#define DOC_ALIGN_LEFT 4u   /* a table cell's alignment */
#define DOC_ALIGN_CENTER 8u
#define DOC_ALIGN_RIGHT 16u

/* Starts the document; the intermediate form goes to `out` as it is made. */
void doc_begin(doc_builder *b, FILE *out);
/* Opens a leaf block (NODE_P, NODE_H, NODE_LI, NODE_CODE); level and
 * number for headings and items (DOC_BULLET: bulleted), lang for code. */
void doc_block(doc_builder *b, int node, int level, int number, const char *lang);
/* Ends the open leaf when it is `node` (any leaf for NODE_NONE). */
void doc_end_block(doc_builder *b, int node);
void doc_container(doc_builder *b, int node);
void doc_end_container(doc_builder *b, int node);
void doc_cell(doc_builder *b, int header);
void doc_hr(doc_builder *b);
void doc_br(doc_builder *b);
/* Opens an inline mark other than a link inside those open (the same mark
 * again nests in it), or ends the innermost open one of its kind.  Code
 * always goes innermost: it holds no other marks. */
void doc_set(doc_builder *b, int node, int on);
void doc_link(doc_builder *b, const char *href, size_t length); /* NULL ends it */
/* The title of the link that the next doc_link opens (NULL: none). */
void doc_link_title(doc_builder *b, const char *title, size_t length);
/* An image: its source, title (may be NULL) and alternative text. */
void doc_image(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
               const char *alt, size_t alt_length);
/* Raw HTML inside a block, kept verbatim. */
void doc_raw(doc_builder *b, const char *s, size_t n);
/* What the next block mark carries: the list item level it continues
 * (0: none); for an item DOC_LOOSE and DOC_NEW_LIST, for a cell a
 * DOC_ALIGN_ flag. */
void doc_block_context(doc_builder *b, int item, unsigned flags);
/* Text in UTF-8; an ESC in it is doubled. */
void doc_text(doc_builder *b, const char *s, size_t n);
int doc_in_code(const doc_builder *b);
/* Closes what is open and writes the rest; frees the builder. */
int32_t doc_finish(doc_builder *b);

/* ---- Reading the intermediate form (the writers' side) ---- */

enum event_kind { EV_END, EV_OPEN, EV_CLOSE, EV_TEXT, EV_BR, EV_HR };

typedef struct doc_event {
    int kind;
    int node;
    int level, number, header; /* number: DOC_BULLET, or an item's number (0 and up) */
    const char *text; /* EV_TEXT: the bytes; EV_OPEN of a link: its target; of code: its language; of an image: its source */
    size_t length;
    int item;          /* EV_OPEN of a block: the list item level it continues, 0 for none */
    int loose, new_list; /* EV_OPEN of an item */
    int align;         /* EV_OPEN of a cell: 0, or DOC_ALIGN_LEFT, _CENTER, _RIGHT */
    const char *title; /* EV_OPEN of a link or an image: its title ("" for none) */
    size_t title_length;
} doc_event;

#define READER_DEPTH 64
#define READER_QUEUE 80

typedef struct doc_reader {
    const unsigned char *s;
    size_t size, pos;
    int plain;        /* no block marks: blank lines part paragraphs */
    int stack[READER_DEPTH];
    int stack_level[READER_DEPTH], stack_header[READER_DEPTH]; /* repeated on the closing event */
    int depth;
    doc_event queue[READER_QUEUE];
    int head, count;
    buffer args[READER_DEPTH]; /* decoded targets and languages of open marks */
    buffer titles[READER_DEPTH];
    int finished;
    int leaf_at;      /* 1 + the stack index of the open leaf, 0 outside one */
    size_t no_mark_before; /* an ESC [ before this offset is text: its line ends before any ']' */
} doc_reader;

void doc_read_begin(doc_reader *r, const buffer *input);
int doc_next(doc_reader *r, doc_event *e);
void doc_read_end(doc_reader *r);

/* Whether a Markdown delimiter run (`*`, `_` or `~`) of `count` bytes at
 * s[at] can open emphasis, close it, or both, judged by the characters
 * around it as the Markdown reader judges them. */
#define DELIMITER_OPENS 1
#define DELIMITER_CLOSES 2
int delimiter_run_use(const char *s, size_t n, size_t at, size_t count);

/* The converters. */
int32_t read_markdown(FILE *in, FILE *out);
int32_t write_markdown(FILE *in, FILE *out);
int32_t read_html(FILE *in, FILE *out);
int32_t write_html(FILE *in, FILE *out);
int32_t read_rtf(FILE *in, FILE *out);
int32_t write_rtf(FILE *in, FILE *out);

#endif
