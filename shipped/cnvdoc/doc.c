/* The intermediate form, version 2: its builder, its iterator, the shared
 * buffers and code pages, and the plug-in's list of formats. */
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/common/refusal.h"
#include "shipped/cnvdoc/doc_tables.h"

/* ---- buffers ---- */

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
#ifdef CNVDOC_BUFFER_LIMIT
    /* a test build whose memory runs out early */
    grown = capacity <= CNVDOC_BUFFER_LIMIT ? (unsigned char *)realloc(b->data, capacity) : NULL;
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

#ifdef _WIN32
/* The input's view while a converter runs on this thread.  One still
 * mapped when the thread's next call begins was left by a call that stopped
 * on a fault, which the host contained: it is unmapped then, so that faults
 * cost no address space.  A conversion on another thread keeps its own. */
static _Thread_local void *mapped_view;
#endif

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
    if (BLOCK_SIZE < 4096 || file == INVALID_HANDLE_VALUE || length % (long)system.dwPageSize == 0)
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
    mapped_view = view;
    return 1;
#else
    (void)in, (void)length, (void)raw;
    return 0;
#endif
}

int32_t load_input(FILE *in, buffer *raw)
{
    size_t got;
#ifdef _WIN32
    if (mapped_view) {
        UnmapViewOfFile(mapped_view);
        mapped_view = NULL;
    }
#endif
    if (fseek(in, 0, SEEK_END) == 0) {
        const long length = ftell(in);
        rewind(in);
        if (length > 0 && map_input(in, length, raw))
            return CONVERT_OK;
        if (length > 0)
            reserve(raw, (size_t)length + BLOCK_SIZE); /* the last read needs a block's room */
    }
    do {
        if (!reserve(raw, BLOCK_SIZE))
            break;
        got = fread(raw->data + raw->size, 1, BLOCK_SIZE, in);
        raw->size += got;
    } while (got == BLOCK_SIZE);
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
        mapped_view = NULL;
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

void copy_language(char *lang, size_t room, const unsigned char *s, size_t size)
{
    size_t length = size < room - 1 ? size : room - 1;
    while (length > 0 && length < size && (s[length] & 0xC0) == 0x80)
        --length;
    if (length)
        memcpy(lang, s, length);
    lang[length] = '\0';
}

uint32_t next_utf8(const unsigned char *s, size_t size, size_t *pos)
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
        return BAD_UTF8;
    }
    if (*pos + length > size)
        return BAD_UTF8;
    for (i = 1; i < length; ++i) {
        if ((s[*pos + i] & 0xC0) != 0x80)
            return BAD_UTF8;
        c = (c << 6) | (s[*pos + i] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return BAD_UTF8;
    *pos += length;
    return c;
}

/* ---- code pages ---- */

const uint16_t *code_page(int number)
{
    size_t i;
    for (i = 0; i < sizeof code_page_tables / sizeof *code_page_tables; ++i)
        if (code_page_tables[i].number == number)
            return code_page_tables[i].to_unicode;
    return NULL;
}

int is_double_byte_page(int number)
{
    return number == 932 || number == 936 || number == 949 || number == 950;
}

uint32_t windows_1252_char(unsigned char byte)
{
    return code_page(1252)[byte];
}

int put_code_page_text(buffer *b, int number, const unsigned char *s, size_t n)
{
    const uint16_t *table = code_page(number);
    size_t i;
    if (table) {
        for (i = 0; i < n; ++i) {
            if (s[i] < 0x80)
                put_byte(b, s[i]);
            else
                put_utf8(b, table[s[i]]);
        }
        return 1;
    }
#ifdef _WIN32
    if (is_double_byte_page(number) && n < (1u << 30)) {
        /* The system knows the double-byte pages; their tables are large. */
        const int wide_length = MultiByteToWideChar((UINT)number, 0, (const char *)s, (int)n, NULL, 0);
        int utf8_length;
        WCHAR *wide;
        if (wide_length <= 0)
            return 0;
        if (!(wide = (WCHAR *)malloc((size_t)wide_length * sizeof *wide))) {
            /* the page is known: no other is tried in its place */
            b->failed = 1;
            refusal_set(REFUSAL_OUT_OF_MEMORY);
            return 1;
        }
        MultiByteToWideChar((UINT)number, 0, (const char *)s, (int)n, wide, wide_length);
        utf8_length = WideCharToMultiByte(CP_UTF8, 0, wide, wide_length, NULL, 0, NULL, NULL);
        if (utf8_length > 0 && reserve(b, (size_t)utf8_length)) {
            WideCharToMultiByte(CP_UTF8, 0, wide, wide_length, (char *)b->data + b->size, utf8_length, NULL, NULL);
            b->size += (size_t)utf8_length;
        }
        free(wide);
        return 1;
    }
#endif
    return 0;
}

const char *named_reference(const char *name, size_t length)
{
    char key[64]; /* longer than any name the table holds */
    const named_reference_entry *entry;
    if (length >= sizeof key)
        return NULL;
    memcpy(key, name, length);
    key[length] = '\0';
    entry = (const named_reference_entry *)find_named(
        named_references, sizeof named_references / sizeof *named_references, sizeof *named_references, key);
    return entry ? entry->text : NULL;
}

/* ---- the builder ---- */

static const char *const node_names[NODE_COUNT] = {
    "", "p", "h", "li", "code", "cell", "quote", "table", "row", "hr", "a", "i", "b", "u", "s", "c", "br",
    "html", "img", "raw",
};

static void put_mark(buffer *out, const char *name)
{
    put_byte(out, MARK);
    put_byte(out, '[');
    put_str(out, name);
    put_byte(out, ']');
}

/* Every node's closing mark whole, blocks' with their line end: one copy
 * per mark. */
typedef struct mark_text {
    const char *text;
    size_t length;
} mark_text;
#define MARK_TEXT(s) {s, sizeof s - 1}
static const mark_text close_marks[NODE_COUNT] = {
    MARK_TEXT("\x1B[/]\n"), MARK_TEXT("\x1B[/p]\n"), MARK_TEXT("\x1B[/h]\n"), MARK_TEXT("\x1B[/li]\n"),
    MARK_TEXT("\x1B[/code]\n"), MARK_TEXT("\x1B[/cell]\n"), MARK_TEXT("\x1B[/quote]\n"),
    MARK_TEXT("\x1B[/table]\n"), MARK_TEXT("\x1B[/row]\n"), MARK_TEXT("\x1B[/hr]\n"), MARK_TEXT("\x1B[/a]"),
    MARK_TEXT("\x1B[/i]"), MARK_TEXT("\x1B[/b]"), MARK_TEXT("\x1B[/u]"), MARK_TEXT("\x1B[/s]"),
    MARK_TEXT("\x1B[/c]"), MARK_TEXT("\x1B[/br]\n"), MARK_TEXT("\x1B[/html]\n"), MARK_TEXT("\x1B[/img]"),
    MARK_TEXT("\x1B[/raw]"),
};
/* And the start of every node's opening mark, up to its arguments. */
static const mark_text open_marks[NODE_COUNT] = {
    MARK_TEXT("\x1B["), MARK_TEXT("\x1B[p"), MARK_TEXT("\x1B[h"), MARK_TEXT("\x1B[li"), MARK_TEXT("\x1B[code"),
    MARK_TEXT("\x1B[cell"), MARK_TEXT("\x1B[quote"), MARK_TEXT("\x1B[table"), MARK_TEXT("\x1B[row"),
    MARK_TEXT("\x1B[hr"), MARK_TEXT("\x1B[a"), MARK_TEXT("\x1B[i"), MARK_TEXT("\x1B[b"), MARK_TEXT("\x1B[u"),
    MARK_TEXT("\x1B[s"), MARK_TEXT("\x1B[c"), MARK_TEXT("\x1B[br"), MARK_TEXT("\x1B[html"), MARK_TEXT("\x1B[img"),
    MARK_TEXT("\x1B[raw"),
};

static void put_close_mark(buffer *out, int node)
{
    put_bytes(out, close_marks[node].text, close_marks[node].length);
}

/* An argument value: '%', space, ']', ESC and controls as %XX. */
static void put_value(buffer *out, const char *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        unsigned char c;
        while (run < n && (c = (unsigned char)s[run]) > 0x20 && c != '%' && c != ']')
            ++run;
        put_bytes(out, s + i, run - i);
        if (run == n)
            break;
        put_percent_byte(out, (unsigned char)s[run]);
        i = run + 1;
    }
}

void doc_begin(doc_builder *b, FILE *out)
{
    memset(b, 0, sizeof *b);
    b->out.sink = out;
    b->expansion_left = (size_t)-1;
    put_mark(&b->out, "morphex-text 2 eol=lf bom=0");
    put_byte(&b->out, '\n');
}

static void close_inlines(doc_builder *b, int keep)
{
    if (b->emitted_count > keep)
        b->inlines_changed = 1;
    while (b->emitted_count > keep)
        put_close_mark(&b->out, b->emitted[--b->emitted_count]);
}

/* Whether the open link is the wanted one.  Marks inside a link bring the
 * output in line at every change: the target is compared once after it
 * changes, so that a long one costs nothing per mark. */
static int same_link(doc_builder *b)
{
    if (!b->link_compared) {
        b->link_same =
            b->emitted_href.size == b->wanted_href.size &&
            (b->wanted_href.size == 0 || memcmp(b->emitted_href.data, b->wanted_href.data, b->wanted_href.size) == 0) &&
            b->emitted_title.size == b->wanted_title.size &&
            (b->wanted_title.size == 0 || memcmp(b->emitted_title.data, b->wanted_title.data, b->wanted_title.size) == 0);
        b->link_compared = 1;
    }
    return b->link_same;
}

static void open_inline(doc_builder *b, int node)
{
    put_bytes(&b->out, open_marks[node].text, open_marks[node].length);
    if (node == NODE_A) {
        put_str(&b->out, " href=");
        put_value(&b->out, (const char *)b->wanted_href.data, b->wanted_href.size);
        b->emitted_href.size = 0;
        put_bytes(&b->emitted_href, b->wanted_href.data, b->wanted_href.size);
        b->emitted_title.size = 0;
        if (b->wanted_title.size) {
            put_str(&b->out, " title=");
            put_value(&b->out, (const char *)b->wanted_title.data, b->wanted_title.size);
            put_bytes(&b->emitted_title, b->wanted_title.data, b->wanted_title.size);
        }
        b->link_compared = b->link_same = 1;
    }
    put_byte(&b->out, ']');
    b->emitted[b->emitted_count++] = node;
}

/* Brings the open inline marks in line with the wanted ones: keeps those
 * that open the same way, closes the rest and opens what is missing. */
static void sync_inlines(doc_builder *b)
{
    int order[INLINE_DEPTH], count = 0, code = 0, keep, i;
    if (b->leaf_unwritten) {
        put_bytes(&b->out, open_marks[b->leaf].text, open_marks[b->leaf].length);
        put_byte(&b->out, ']');
        b->leaf_unwritten = 0;
    }
    if (!b->inlines_changed)
        return; /* the common case */
    for (i = 0; i < b->wanted_count; ++i)
        if (b->wanted[i] == NODE_C)
            code = 1;
        else
            order[count++] = b->wanted[i];
    if (code)
        order[count++] = NODE_C;
    for (keep = 0; keep < count && keep < b->emitted_count && b->emitted[keep] == order[keep]; ++keep)
        if (order[keep] == NODE_A && !same_link(b))
            break;
    close_inlines(b, keep);
    b->inlines_changed = 0;
    b->code_ended = 0;
    for (; keep < count; ++keep)
        if (order[keep] != NODE_A || doc_spend(&b->expansion_left, b->wanted_href.size + b->wanted_title.size))
            open_inline(b, order[keep]);
}

static void end_leaf(doc_builder *b)
{
    if (b->leaf == NODE_NONE)
        return;
    close_inlines(b, 0);
    if (!b->leaf_unwritten)
        put_close_mark(&b->out, b->leaf);
    b->leaf_unwritten = 0;
    b->leaf = NODE_NONE;
    b->leaf_absorbed = 0;
    b->pending_space = 0;
    b->code_ended = 0;
}

static int find_wanted(doc_builder *b, int node, int end);

/* The space between two runs of text.  A code span that ends there ends
 * before it: inside, the space would show as part of the code, and two
 * spans with a space between would run together into one. */
static void put_pending_space(doc_builder *b)
{
    if (!b->pending_space)
        return;
    if (b->emitted_count > 0 && b->emitted[b->emitted_count - 1] == NODE_C &&
        (b->code_ended || !find_wanted(b, NODE_C, 0)))
        close_inlines(b, b->emitted_count - 1);
    put_byte(&b->out, ' ');
    b->pending_space = 0;
}

/* The list item a block continues, and an item's flags. */
static void put_block_context(doc_builder *b, int node)
{
    if (b->next_item > 0) {
        put_str(&b->out, " item=");
        put_number(&b->out, b->next_item);
    }
    if (node == NODE_LI && (b->next_flags & DOC_LOOSE))
        put_str(&b->out, " loose");
    if (node == NODE_LI && (b->next_flags & DOC_NEW_LIST))
        put_str(&b->out, " new");
    if (node == NODE_CELL && (b->next_flags & (DOC_ALIGN_LEFT | DOC_ALIGN_CENTER | DOC_ALIGN_RIGHT)))
        put_str(&b->out, b->next_flags & DOC_ALIGN_CENTER ? " align=center"
                          : b->next_flags & DOC_ALIGN_RIGHT ? " align=right" : " align=left");
    b->next_item = 0;
    b->next_flags = 0;
}

static void open_leaf(doc_builder *b, int node, int level, int number, int header, const char *lang)
{
    end_leaf(b);
    b->leaf = node;
    b->leaf_has_text = 0;
    b->leaf_absorbed = 0;
    b->pending_space = 0;
    if (node == NODE_P && b->next_item == 0) {
        /* written with its first text: an empty paragraph leaves no trace */
        b->leaf_unwritten = 1;
        return;
    }
    put_bytes(&b->out, open_marks[node].text, open_marks[node].length);
    if (node == NODE_H || node == NODE_LI) {
        put_str(&b->out, " level=");
        put_number(&b->out, level < 1 ? 1 : node == NODE_H && level > 6 ? 6 : level);
    }
    if (node == NODE_LI && number >= 0) {
        put_str(&b->out, " number=");
        put_number(&b->out, number);
    }
    if (node == NODE_CELL && header)
        put_str(&b->out, " header");
    if (node == NODE_CODE && lang && *lang) {
        put_str(&b->out, " lang=");
        put_value(&b->out, lang, strlen(lang));
    }
    put_block_context(b, node);
    put_byte(&b->out, ']');
}

static int top_container(const doc_builder *b)
{
    return b->depth ? b->containers[b->depth - 1] : NODE_NONE;
}

static void open_container(doc_builder *b, int node)
{
    end_leaf(b);
    if (b->depth == BUILDER_DEPTH)
        return;
    put_bytes(&b->out, open_marks[node].text, open_marks[node].length);
    put_block_context(b, node);
    put_bytes(&b->out, "]\n", 2);
    b->containers[b->depth++] = node;
}

static void close_container(doc_builder *b)
{
    end_leaf(b);
    put_close_mark(&b->out, b->containers[--b->depth]);
}

/* Blocks other than rows and cells cannot stand inside a table. */
static void leave_table(doc_builder *b)
{
    int i;
    for (i = b->depth - 1; i >= 0; --i)
        if (b->containers[i] == NODE_TABLE)
            while (b->depth > i)
                close_container(b);
}

void doc_block(doc_builder *b, int node, int level, int number, const char *lang)
{
    if (node == NODE_P && (b->leaf == NODE_LI || b->leaf == NODE_CELL) && b->next_item == 0) {
        /* A paragraph inside an item or a cell continues it on a new line. */
        if (b->leaf_has_text) {
            doc_br(b);
            if (b->leaf == NODE_LI)
                doc_br(b);
        }
        b->leaf_absorbed = 1;
        return;
    }
    leave_table(b);
    open_leaf(b, node, level, number, 0, lang);
}

void doc_end_block(doc_builder *b, int node)
{
    if (node == NODE_P && b->leaf_absorbed) {
        b->leaf_absorbed = 0;
        return;
    }
    if (node == NODE_NONE || b->leaf == node)
        end_leaf(b);
}

void doc_container(doc_builder *b, int node)
{
    if (node == NODE_ROW) {
        while (b->depth && top_container(b) != NODE_TABLE && top_container(b) != NODE_QUOTE)
            close_container(b);
        if (top_container(b) != NODE_TABLE)
            open_container(b, NODE_TABLE);
    } else {
        leave_table(b);
    }
    open_container(b, node);
}

void doc_end_container(doc_builder *b, int node)
{
    int i;
    for (i = b->depth - 1; i >= 0; --i)
        if (b->containers[i] == node) {
            while (b->depth > i)
                close_container(b);
            return;
        }
    end_leaf(b);
}

void doc_cell(doc_builder *b, int header)
{
    const unsigned flags = b->next_flags; /* the cell's, not a row's that opens here */
    end_leaf(b);
    if (top_container(b) != NODE_ROW) {
        b->next_flags = 0;
        doc_container(b, NODE_ROW);
    }
    b->next_flags = flags;
    open_leaf(b, NODE_CELL, 0, 0, header, NULL);
}

void doc_hr(doc_builder *b)
{
    end_leaf(b);
    leave_table(b);
    put_bytes(&b->out, "\x1B[hr", 4);
    put_block_context(b, NODE_HR);
    put_bytes(&b->out, "]\n", 2);
}

/* Text outside any leaf opens a paragraph, or a cell inside a table. */
__attribute__((noinline)) static void open_text_leaf(doc_builder *b)
{
    if (top_container(b) == NODE_TABLE || top_container(b) == NODE_ROW)
        doc_cell(b, 0);
    else
        open_leaf(b, NODE_P, 0, 0, 0, NULL);
}

/* Text goes in a leaf: mostly one is open already. */
static inline void ensure_leaf(doc_builder *b)
{
    if (b->leaf == NODE_NONE)
        open_text_leaf(b);
}

void doc_br(doc_builder *b)
{
    if (IS_VERBATIM(b->leaf)) {
        put_byte(&b->out, '\n');
        return;
    }
    ensure_leaf(b);
    sync_inlines(b);
    put_bytes(&b->out, "\x1B[br]", 5);
    b->pending_space = 0;
    b->after_break = 1;
    b->leaf_has_text = 1;
}

/* Whether `node` is wanted; with `end`, it no longer is at its innermost. */
static int find_wanted(doc_builder *b, int node, int end)
{
    int i = b->wanted_count;
    while (i > 0 && b->wanted[i - 1] != node)
        --i;
    if (i > 0 && end) {
        memmove(&b->wanted[i - 1], &b->wanted[i], (size_t)(b->wanted_count - i) * sizeof *b->wanted);
        --b->wanted_count;
        b->inlines_changed = 1;
    }
    return i > 0;
}

void doc_set(doc_builder *b, int node, int on)
{
    int *dropped;
    if (!IS_INLINE(node) || node == NODE_A)
        return;
    dropped = &b->wanted_dropped[node - NODE_A];
    if (on && b->wanted_count == INLINE_DEPTH) {
        ++*dropped;
    } else if (on) {
        b->wanted[b->wanted_count++] = node;
        b->inlines_changed = 1;
    } else if (*dropped > 0) {
        --*dropped;
    } else if (find_wanted(b, node, 1) && node == NODE_C) {
        b->code_ended = 1;
    }
}

/* One link at most: a second one takes the place of the first. */
void doc_link(doc_builder *b, const char *href, size_t length)
{
    if (href && length + b->wanted_title.size > b->expansion_left)
        href = NULL; /* never written: not copied either, which a link given again and again would cost */
    b->wanted_href.size = 0;
    b->inlines_changed = 1;
    b->link_compared = 0;
    if (href) {
        put_bytes(&b->wanted_href, href, length);
        if (!find_wanted(b, NODE_A, 0) && b->wanted_count < INLINE_DEPTH)
            b->wanted[b->wanted_count++] = NODE_A;
    } else {
        find_wanted(b, NODE_A, 1);
        b->wanted_title.size = 0;
        b->link_compared = 0;
    }
}

void doc_link_title(doc_builder *b, const char *title, size_t length)
{
    b->wanted_title.size = 0;
    b->link_compared = 0;
    if (title && length <= b->expansion_left)
        put_bytes(&b->wanted_title, title, length);
}

void doc_block_context(doc_builder *b, int item, unsigned flags)
{
    b->next_item = item;
    b->next_flags = flags;
}

static void put_escaped_text(buffer *out, const char *s, size_t n);

/* An inline mark written whole where the text stands: an image, raw HTML. */
static void put_inline_whole(doc_builder *b, int node, const char *src, size_t src_length, const char *title,
                             size_t title_length, const char *text, size_t length)
{
    ensure_leaf(b);
    put_pending_space(b);
    sync_inlines(b);
    put_byte(&b->out, MARK);
    put_byte(&b->out, '[');
    put_str(&b->out, node_names[node]);
    if (src) {
        put_str(&b->out, " src=");
        put_value(&b->out, src, src_length);
    }
    if (title && title_length) {
        put_str(&b->out, " title=");
        put_value(&b->out, title, title_length);
    }
    put_byte(&b->out, ']');
    put_escaped_text(&b->out, text, length);
    put_close_mark(&b->out, node);
    b->leaf_has_text = 1;
}

void doc_image(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
               const char *alt, size_t alt_length)
{
    if (IS_VERBATIM(b->leaf))
        return;
    put_inline_whole(b, NODE_IMG, src ? src : "", src_length, title, title_length, alt, alt_length);
}

void doc_raw(doc_builder *b, const char *s, size_t n)
{
    if (IS_VERBATIM(b->leaf)) {
        put_escaped_text(&b->out, s, n);
        return;
    }
    put_inline_whole(b, NODE_RAW, NULL, 0, NULL, 0, s, n);
}

int doc_in_code(const doc_builder *b)
{
    return b->leaf == NODE_CODE;
}

/* Text that holds an ESC: each one doubled. */
__attribute__((noinline)) static void put_doubled_marks(buffer *out, const char *s, size_t n)
{
    const char *end = s + n;
    while (s < end) {
        const char *mark = (const char *)find_byte((const unsigned char *)s, (size_t)(end - s), MARK);
        if (!mark) {
            put_bytes(out, s, (size_t)(end - s));
            return;
        }
        put_bytes(out, s, (size_t)(mark - s) + 1);
        put_byte(out, MARK);
        s = mark + 1;
    }
}

static void put_escaped_text(buffer *out, const char *s, size_t n)
{
    if (holds_byte((const unsigned char *)s, n, MARK))
        put_doubled_marks(out, s, n);
    else
        put_bytes(out, s, n);
}

static int is_space(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f';
}

void doc_text(doc_builder *b, const char *s, size_t n)
{
    size_t i, start;
    if (n == 0)
        return;
    if (IS_VERBATIM(b->leaf)) {
        put_escaped_text(&b->out, s, n);
        return;
    }
    if (!b->collapse_spaces) {
        ensure_leaf(b);
        sync_inlines(b);
        put_escaped_text(&b->out, s, n);
        b->leaf_has_text = 1;
        return;
    }
    /* Runs of white space are one space, none at the start or end of a block. */
    for (i = 0; i < n;) {
        if (is_space((unsigned char)s[i])) {
            if (b->leaf != NODE_NONE && b->leaf_has_text && !b->after_break)
                b->pending_space = 1;
            while (i < n && is_space((unsigned char)s[i]))
                ++i;
            continue;
        }
        start = i;
        while (i < n && !is_space((unsigned char)s[i]))
            ++i;
        ensure_leaf(b);
        /* the space goes before marks that open here, inside those that end */
        put_pending_space(b);
        sync_inlines(b);
        put_escaped_text(&b->out, s + start, i - start);
        b->leaf_has_text = 1;
        b->after_break = 0;
    }
}

int32_t doc_finish(doc_builder *b)
{
    end_leaf(b);
    while (b->depth)
        close_container(b);
    free(b->wanted_href.data);
    free(b->emitted_href.data);
    free(b->wanted_title.data);
    free(b->emitted_title.data);
    return finish_output(b->out.sink, &b->out);
}

/* ---- the iterator ---- */

static int node_by_name(const unsigned char *name, size_t n)
{
    switch (n) {
    case 1:
        switch (name[0]) {
        case 'p': return NODE_P;
        case 'h': return NODE_H;
        case 'a': return NODE_A;
        case 'b': return NODE_B;
        case 'i': return NODE_I;
        case 'u': return NODE_U;
        case 's': return NODE_S;
        case 'c': return NODE_C;
        }
        break;
    case 2:
        if (name[0] == 'l' && name[1] == 'i')
            return NODE_LI;
        if (name[0] == 'h' && name[1] == 'r')
            return NODE_HR;
        if (name[0] == 'b' && name[1] == 'r')
            return NODE_BR;
        break;
    case 3:
        if (memcmp(name, "row", 3) == 0)
            return NODE_ROW;
        if (memcmp(name, "img", 3) == 0)
            return NODE_IMG;
        if (memcmp(name, "raw", 3) == 0)
            return NODE_RAW;
        break;
    case 4:
        if (memcmp(name, "code", 4) == 0)
            return NODE_CODE;
        if (memcmp(name, "cell", 4) == 0)
            return NODE_CELL;
        if (memcmp(name, "html", 4) == 0)
            return NODE_HTML;
        break;
    case 5:
        if (memcmp(name, "quote", 5) == 0)
            return NODE_QUOTE;
        if (memcmp(name, "table", 5) == 0)
            return NODE_TABLE;
        break;
    }
    return NODE_NONE;
}

static int is_block_name(const unsigned char *s, size_t size, size_t pos)
{
    size_t end = pos;
    int node;
    /* no name is longer than 5 bytes: a longer run is no block's */
    while (end < size && end - pos <= 5 && s[end] != ' ' && s[end] != ']' && s[end] != '\n')
        ++end;
    node = node_by_name(s + pos, end - pos);
    return node != NODE_NONE && !IS_INLINE(node) && node != NODE_BR && node != NODE_IMG && node != NODE_RAW;
}

void doc_read_begin(doc_reader *r, const buffer *input)
{
    const unsigned char *s = input->data;
    size_t i;
    memset(r, 0, sizeof *r);
    r->s = s;
    r->size = input->size;
    if (r->size > 14 && s[0] == MARK && memcmp(s + 1, "[morphex-text ", 14) == 0) {
        const unsigned char *end = (const unsigned char *)memchr(s, ']', r->size);
        if (end) {
            r->pos = (size_t)(end - s) + 1;
            if (r->pos < r->size && s[r->pos] == '\n')
                ++r->pos;
        }
    }
    r->plain = 1;
    for (i = r->pos; i + 1 < r->size; ++i) {
        const unsigned char *mark = find_byte(s + i, r->size - i - 1, MARK);
        if (!mark)
            break;
        i = (size_t)(mark - s);
        if (s[i + 1] == MARK) {
            ++i;
        } else if (s[i + 1] == '[' && is_block_name(s, r->size, i + 2)) {
            r->plain = 0;
            break;
        }
    }
}

void doc_read_end(doc_reader *r)
{
    int i;
    for (i = 0; i < READER_DEPTH; ++i) {
        free(r->args[i].data);
        free(r->titles[i].data);
    }
}

/* Events are queued only while the queue is empty (doc_next drains it
 * first), so they start at its first slot. */
static doc_event *push_event(doc_reader *r, int kind, int node)
{
    doc_event *e;
    if (r->count == READER_QUEUE)
        return NULL;
    e = &r->queue[r->count++];
    memset(e, 0, sizeof *e);
    e->kind = kind;
    e->node = node;
    return e;
}

static int top_node(const doc_reader *r)
{
    return r->depth ? r->stack[r->depth - 1] : NODE_NONE;
}

/* Leaves the innermost node; its closing event (if any) repeats its level
 * and header. */
static void leave_node(doc_reader *r, doc_event *e)
{
    --r->depth;
    if (r->leaf_at > r->depth)
        r->leaf_at = 0;
    if (e) {
        e->level = r->stack_level[r->depth];
        e->header = r->stack_header[r->depth];
    }
}

static void pop_node(doc_reader *r)
{
    leave_node(r, push_event(r, EV_CLOSE, r->stack[r->depth - 1]));
}

static void pop_to(doc_reader *r, int depth)
{
    while (r->depth > depth)
        pop_node(r);
}

static doc_event *push_node(doc_reader *r, int node)
{
    /* a table keeps room for its row and cell, a quote for a table */
    if (r->depth >= READER_DEPTH - (node == NODE_TABLE ? 2 : node == NODE_QUOTE ? 3 : 0))
        return NULL;
    r->stack_level[r->depth] = 1;
    r->stack_header[r->depth] = 0;
    r->stack[r->depth++] = node;
    if (IS_LEAF(node))
        r->leaf_at = r->depth; /* blocks close before a leaf opens: one at most */
    return push_event(r, EV_OPEN, node);
}

static int innermost(const doc_reader *r, int node)
{
    int i;
    for (i = r->depth - 1; i >= 0; --i)
        if (r->stack[i] == node)
            return i;
    return -1;
}

static int in_leaf(const doc_reader *r)
{
    return r->leaf_at ? r->stack[r->leaf_at - 1] : NODE_NONE;
}

/* Where a block may open: the document or a block quote. */
static void pop_to_flow(doc_reader *r)
{
    while (r->depth && top_node(r) != NODE_QUOTE)
        pop_node(r);
}

/* Text and inline marks need a leaf; outside one they start a paragraph
 * (a cell inside a table). */
static void ensure_text_place(doc_reader *r)
{
    const int top = top_node(r);
    if (in_leaf(r) != NODE_NONE)
        return;
    if (top == NODE_TABLE)
        push_node(r, NODE_ROW);
    if (top_node(r) == NODE_ROW) {
        push_node(r, NODE_CELL);
        return;
    }
    push_node(r, NODE_P);
}

typedef struct mark_args {
    int level, number, header;
    buffer *value; /* href, src or lang, decoded */
    buffer *title;
    int item, loose, new_list, align;
} mark_args;

static void put_decoded(buffer *out, const unsigned char *s, size_t n);

static int hex_digit(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

/* A number as atoi reads it (leading blanks, a sign, digits), within
 * s[0..n), held at INT_MAX in magnitude. */
static int parse_int(const unsigned char *s, size_t n)
{
    size_t i = 0;
    long value = 0;
    int negative = 0;
    while (i < n && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    if (i < n && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) {
        const int digit = s[i] - '0';
        value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
    }
    return negative ? -(int)value : (int)value;
}

__attribute__((noinline)) static void parse_args(const unsigned char *s, size_t n, mark_args *args)
{
    size_t i = 0;
    while (i < n) {
        size_t key, key_end, value, value_end;
        while (i < n && s[i] == ' ')
            ++i;
        key = i;
        while (i < n && s[i] != ' ' && s[i] != '=')
            ++i;
        key_end = i;
        value = value_end = i;
        if (i < n && s[i] == '=') {
            value = ++i;
            while (i < n && s[i] != ' ')
                ++i;
            value_end = i;
        }
        if (key_end - key == 5 && memcmp(s + key, "level", 5) == 0) {
            args->level = parse_int(s + value, n - value);
        } else if (key_end - key == 6 && memcmp(s + key, "number", 6) == 0) {
            args->number = parse_int(s + value, n - value);
            if (args->number < 0)
                args->number = 0;
        } else if (key_end - key == 6 && memcmp(s + key, "header", 6) == 0) {
            args->header = 1;
        } else if (key_end - key == 4 && memcmp(s + key, "item", 4) == 0) {
            args->item = parse_int(s + value, n - value);
        } else if (key_end - key == 5 && memcmp(s + key, "loose", 5) == 0) {
            args->loose = 1;
        } else if (key_end - key == 3 && memcmp(s + key, "new", 3) == 0) {
            args->new_list = 1;
        } else if (key_end - key == 5 && memcmp(s + key, "align", 5) == 0) {
            args->align = value_end - value == 6 && memcmp(s + value, "center", 6) == 0 ? DOC_ALIGN_CENTER
                          : value_end - value == 5 && memcmp(s + value, "right", 5) == 0 ? DOC_ALIGN_RIGHT
                          : value_end - value == 4 && memcmp(s + value, "left", 4) == 0  ? DOC_ALIGN_LEFT
                                                                                          : 0;
        } else if (args->title && key_end - key == 5 && memcmp(s + key, "title", 5) == 0) {
            args->title->size = 0;
            put_decoded(args->title, s + value, value_end - value);
        } else if (args->value && ((key_end - key == 4 && (memcmp(s + key, "href", 4) == 0 ||
                                                             memcmp(s + key, "lang", 4) == 0)) ||
                                   (key_end - key == 3 && memcmp(s + key, "src", 3) == 0))) {
            args->value->size = 0;
            put_decoded(args->value, s + value, value_end - value);
        }
    }
}

/* An argument's value with its %XX escapes decoded, copied by runs. */
static void put_decoded(buffer *out, const unsigned char *s, size_t n)
{
    size_t j = 0;
    while (j < n) {
        const unsigned char *percent = find_byte(s + j, n - j, '%');
        const size_t run_end = percent ? (size_t)(percent - s) : n;
        int high, low;
        put_bytes(out, s + j, run_end - j);
        j = run_end;
        if (j == n)
            break;
        if (j + 2 < n && (high = hex_digit(s[j + 1])) >= 0 && (low = hex_digit(s[j + 2])) >= 0) {
            put_byte(out, (unsigned char)(high * 16 + low));
            j += 3;
        } else {
            put_byte(out, '%');
            ++j;
        }
    }
}

/* The event that opens `node` with its arguments, the node entered (a rule
 * and a line break enter none); 0 when the nodes are nested too deep. */
static int open_event(doc_reader *r, int node, const unsigned char *args_text, size_t args_length, doc_event *e)
{
    mark_args args = {0, DOC_BULLET, 0, NULL, NULL, 0, 0, 0, 0};
    const int slot = r->depth < READER_DEPTH ? r->depth : READER_DEPTH - 1;
    if (node == NODE_A || node == NODE_CODE || node == NODE_IMG) {
        args.value = &r->args[slot];
        args.value->size = 0;
    }
    if (node == NODE_A || node == NODE_IMG) {
        args.title = &r->titles[slot];
        args.title->size = 0;
    }
    if (args_length)
        parse_args(args_text, args_length, &args);
    memset(e, 0, sizeof *e);
    e->node = node;
    if (node == NODE_HR) {
        e->kind = EV_HR;
        e->item = args.item < 0 ? 0 : args.item > 32 ? 32 : args.item;
        return 1;
    }
    if (node == NODE_BR) {
        e->kind = EV_BR;
        return 1;
    }
    /* a table keeps room for its row and cell, a quote for a table */
    if (r->depth >= READER_DEPTH - (node == NODE_TABLE ? 2 : node == NODE_QUOTE ? 3 : 0))
        return 0;
    e->kind = EV_OPEN;
    e->level = args.level < 1 ? 1 : args.level;
    if (node == NODE_H && e->level > 6)
        e->level = 6;
    if (node == NODE_LI && e->level > 32)
        e->level = 32;
    e->number = args.number;
    e->header = args.header;
    e->item = args.item < 0 ? 0 : args.item > 32 ? 32 : args.item;
    e->loose = args.loose;
    e->new_list = args.new_list;
    e->align = (int)args.align;
    e->title = "";
    if (args.title && args.title->data) {
        e->title = (const char *)args.title->data;
        e->title_length = args.title->size;
    }
    if (args.value) {
        e->text = args.value->data ? (const char *)args.value->data : "";
        e->length = args.value->size;
    }
    r->stack_level[r->depth] = e->level;
    r->stack_header[r->depth] = e->header;
    r->stack[r->depth++] = node;
    if (IS_LEAF(node))
        r->leaf_at = r->depth; /* blocks close before a leaf opens: one at most */
    return 1;
}

/* Whether `node` opens where the reader stands, closing nothing first:
 * most marks do, and give their one event without the queue. */
static int opens_in_place(const doc_reader *r, int node)
{
    const int leaf = in_leaf(r), top = top_node(r);
    if (IS_INLINE(node) || node == NODE_BR || node == NODE_IMG || node == NODE_RAW)
        return leaf != NODE_NONE && !IS_VERBATIM(leaf) &&
               ((node != NODE_A && node != NODE_C && node != NODE_IMG && node != NODE_RAW) || innermost(r, node) < 0);
    if (node == NODE_ROW)
        return leaf == NODE_NONE && top == NODE_TABLE;
    if (node == NODE_CELL)
        return leaf == NODE_NONE && top == NODE_ROW;
    return leaf == NODE_NONE && (top == NODE_NONE || top == NODE_QUOTE);
}

static void open_mark(doc_reader *r, int node, const unsigned char *args_text, size_t args_length)
{
    doc_event opened, *e;
    const int leaf = in_leaf(r);
    if (IS_VERBATIM(leaf))
        return; /* nothing is marked up inside code */
    if (IS_INLINE(node) || node == NODE_BR || node == NODE_IMG || node == NODE_RAW) {
        if ((node == NODE_A || node == NODE_C || node == NODE_IMG || node == NODE_RAW) && innermost(r, node) >= 0)
            return; /* no link in a link; other marks may nest in themselves */
        ensure_text_place(r);
    } else if (node == NODE_ROW) {
        if (leaf != NODE_NONE && leaf != NODE_CELL)
            return;
        if (innermost(r, NODE_TABLE) < 0) {
            pop_to_flow(r);
            push_node(r, NODE_TABLE);
        }
        pop_to(r, innermost(r, NODE_TABLE) + 1);
    } else if (node == NODE_CELL) {
        if (innermost(r, NODE_ROW) < 0) {
            if (leaf != NODE_NONE)
                return;
            if (innermost(r, NODE_TABLE) < 0) {
                pop_to_flow(r);
                push_node(r, NODE_TABLE);
            }
            pop_to(r, innermost(r, NODE_TABLE) + 1);
            push_node(r, NODE_ROW);
        }
        pop_to(r, innermost(r, NODE_ROW) + 1);
    } else {
        if (leaf == NODE_CELL)
            return; /* cells hold text only */
        pop_to_flow(r);
    }
    if (open_event(r, node, args_text, args_length, &opened) && (e = push_event(r, opened.kind, node)) != NULL)
        *e = opened;
}

static void close_mark(doc_reader *r, int node)
{
    const int at = innermost(r, node);
    if (at >= 0)
        pop_to(r, at);
}

/* Where text from `pos` ends in a document with marks: at the next ESC. */
static size_t marked_text_end(const doc_reader *r, size_t pos)
{
    const unsigned char *mark = find_byte(r->s + pos, r->size - pos, MARK);
    return mark ? (size_t)(mark - r->s) : r->size;
}

/* A run of plain text: up to the next ESC, and in plain mode up to the next
 * line end, where blank lines part paragraphs. */
static void read_text(doc_reader *r)
{
    const unsigned char *s = r->s;
    size_t pos = r->pos, end;
    doc_event *e;
    if (r->plain && (s[pos] == '\n' || s[pos] == '\r')) {
        int lines = 0;
        size_t after = pos;
        while (after < r->size && (s[after] == '\n' || s[after] == '\r' || s[after] == ' ' || s[after] == '\t')) {
            if (s[after] == '\n' || (s[after] == '\r' && (after + 1 >= r->size || s[after + 1] != '\n')))
                ++lines;
            ++after;
        }
        if (lines >= 2 || after == r->size) {
            if (in_leaf(r) == NODE_P)
                pop_to(r, innermost(r, NODE_P));
            r->pos = after;
            return;
        }
        if (s[pos] == '\r' && pos + 1 < r->size && s[pos + 1] == '\n')
            ++pos;
        r->pos = pos + 1;
        if (in_leaf(r) != NODE_NONE)
            push_event(r, EV_BR, NODE_BR);
        return;
    }
    end = pos;
    if (r->plain) {
        while (end < r->size && s[end] != MARK && s[end] != '\n' && s[end] != '\r')
            ++end;
    } else {
        end = marked_text_end(r, pos);
    }
    r->pos = end;
    if (in_leaf(r) == NODE_NONE) {
        size_t i;
        for (i = pos; i < end && is_space(s[i]); ++i)
            ;
        if (i == end)
            return; /* white space between blocks */
        pos = i;
        ensure_text_place(r);
    }
    e = push_event(r, EV_TEXT, NODE_NONE);
    e->text = (const char *)s + pos;
    e->length = end - pos;
}

/* Bytes that end a mark's name: its arguments, its end, or a line end
 * that shows it is no mark. */
static const unsigned char name_stop[256] = {[' '] = 1, [']'] = 1, ['\n'] = 1};

/* Bytes that end a mark's arguments: its end, or a line end that shows it
 * is no mark. */
static const unsigned char args_stop[256] = {[']'] = 1, ['\n'] = 1};

/* An ESC [ that is no mark: the ESC is text. */
static void read_escape_as_text(doc_reader *r)
{
    doc_event *e;
    ensure_text_place(r);
    e = push_event(r, EV_TEXT, NODE_NONE);
    e->text = (const char *)r->s + r->pos;
    e->length = 1;
    r->pos += 1;
}

static void read_mark(doc_reader *r)
{
    const unsigned char *s = r->s;
    size_t pos = r->pos + 2, name_end, end;
    int closing = 0, node;
    if (r->pos < r->no_mark_before) {
        read_escape_as_text(r);
        return;
    }
    if (pos < r->size && s[pos] == '/') {
        closing = 1;
        ++pos;
    }
    name_end = pos;
    while (name_end < r->size && !name_stop[s[name_end]])
        ++name_end;
    end = name_end;
    /* arguments: up to the ']', unless a line ends first */
    if (end < r->size && s[end] == ' ')
        while (end < r->size && !args_stop[s[end]])
            ++end;
    if (end >= r->size || s[end] != ']') {
        /* not a mark after all, nor is any ESC [ up to the same line end */
        r->no_mark_before = end;
        read_escape_as_text(r);
        return;
    }
    r->pos = end + 1;
    node = node_by_name(s + pos, name_end - pos);
    if (node == NODE_NONE)
        return; /* unknown marks are dropped, their text kept */
    if (closing)
        close_mark(r, node);
    else
        open_mark(r, node, s + name_end, end - name_end);
}

/* The node whose name s[0..n) begins with, told by its first letters
 * without a scan for the name's end; NODE_NONE when no known name ends
 * there (a longer name is looked up whole). */
static inline int known_name(const unsigned char *s, size_t n, size_t *length)
{
    int node = NODE_NONE;
    size_t k = 1;
    if (n < 7)
        return NODE_NONE;
    switch (s[0]) {
    case 'p': node = NODE_P; break;
    case 'a': node = NODE_A; break;
    case 'i': node = NODE_I; break;
    case 'u': node = NODE_U; break;
    case 's': node = NODE_S; break;
    case 'b': node = s[1] == 'r' ? (k = 2, NODE_BR) : NODE_B; break;
    case 'h': node = s[1] == 'r' ? (k = 2, NODE_HR) : NODE_H; break;
    case 'l': node = s[1] == 'i' ? (k = 2, NODE_LI) : NODE_NONE; break;
    case 'c':
        if (memcmp(s, "cell", 4) == 0)
            node = NODE_CELL, k = 4;
        else if (memcmp(s, "code", 4) == 0)
            node = NODE_CODE, k = 4;
        else
            node = NODE_C;
        break;
    case 'r': node = memcmp(s, "row", 3) == 0 ? (k = 3, NODE_ROW) : NODE_NONE; break;
    case 'q': node = memcmp(s, "quote", 5) == 0 ? (k = 5, NODE_QUOTE) : NODE_NONE; break;
    case 't': node = memcmp(s, "table", 5) == 0 ? (k = 5, NODE_TABLE) : NODE_NONE; break;
    }
    if (node == NODE_NONE || !name_stop[s[k]])
        return NODE_NONE;
    *length = k;
    return node;
}

/* A whole mark read in one scan: the end of the innermost node, the most
 * common, answered straight away (1); any other mark queued (0). */
__attribute__((hot, noinline)) static int quick_mark(doc_reader *r, doc_event *e)
{
    const unsigned char *s = r->s;
    size_t pos = r->pos + 2, name_end, end;
    int closing, node;
    if (pos >= r->size || s[pos - 1] != '[' || r->pos < r->no_mark_before)
        return 0;
    closing = s[pos] == '/';
    pos += (size_t)closing;
    node = known_name(s + pos, r->size - pos, &name_end);
    if (node == NODE_NONE) {
        for (name_end = pos; name_end < r->size && !name_stop[s[name_end]]; ++name_end)
            ;
        node = node_by_name(s + pos, name_end - pos);
    } else {
        name_end += pos;
    }
    end = name_end;
    if (end < r->size && s[end] == ' ')
        while (end < r->size && !args_stop[s[end]])
            ++end;
    if (end >= r->size || s[end] != ']')
        return 0;
    r->pos = end + 1;
    if (closing && node != NODE_NONE && r->depth > 0 && node == r->stack[r->depth - 1]) {
        memset(e, 0, sizeof *e);
        e->kind = EV_CLOSE;
        e->node = node;
        leave_node(r, e);
        /* the line end after a block's mark is white space between blocks */
        if (!r->leaf_at && r->pos < r->size && s[r->pos] == '\n')
            ++r->pos;
        return 1;
    }
    r->head = 0;
    if (node == NODE_NONE)
        return 0; /* unknown marks are dropped, their text kept */
    if (!closing && opens_in_place(r, node))
        return open_event(r, node, s + name_end, end - name_end, e);
    if (closing)
        close_mark(r, node);
    else
        open_mark(r, node, s + name_end, end - name_end);
    return 0;
}

/* Every event the quick paths leave: marks read whole, queued when one
 * gives several. */
__attribute__((noinline)) static int next_event(doc_reader *r, doc_event *e)
{
    while (r->count == 0) {
        const unsigned char *s = r->s;
        r->head = 0;
        if (r->finished) {
            memset(e, 0, sizeof *e);
            return EV_END;
        }
        if (r->pos >= r->size) {
            pop_to(r, 0);
            r->finished = 1;
            continue;
        }
        if (s[r->pos] != MARK) {
            read_text(r);
        } else if (r->pos + 1 < r->size && s[r->pos + 1] == MARK) {
            doc_event *t;
            if (in_leaf(r) == NODE_NONE)
                ensure_text_place(r);
            t = push_event(r, EV_TEXT, NODE_NONE);
            t->text = (const char *)s + r->pos;
            t->length = 1;
            r->pos += 2;
        } else if (r->pos + 1 < r->size && s[r->pos + 1] == '[') {
            read_mark(r);
        } else {
            doc_event *t;
            ensure_text_place(r);
            t = push_event(r, EV_TEXT, NODE_NONE);
            t->text = (const char *)s + r->pos;
            t->length = 1;
            r->pos += 1;
        }
    }
    *e = r->queue[r->head++];
    --r->count;
    return e->kind;
}

/* Kept small, the paths it hands on out of line: it runs for every event,
 * and their registers would be saved and restored on each call. */
__attribute__((hot)) int doc_next(doc_reader *r, doc_event *e)
{
    if (r->count == 0 && !r->plain && r->pos < r->size) {
        if (r->s[r->pos] != MARK && r->leaf_at) {
            /* Text inside a block, the most common event, goes straight to
             * the caller: up to the next mark in one go. */
            const size_t end = marked_text_end(r, r->pos);
            memset(e, 0, sizeof *e);
            e->kind = EV_TEXT;
            e->text = (const char *)r->s + r->pos;
            e->length = end - r->pos;
            r->pos = end;
            return EV_TEXT;
        }
        if (r->s[r->pos] == MARK && quick_mark(r, e))
            return e->kind;
    }
    return next_event(r, e);
}

/* ---- the plug-in ---- */

typedef struct format_description {
    const char *name;
    const char *ext;
    convert_fn converter;
} format_description;

/* A conversion that met a failure on its way (memory that ran out for a
 * buffer, a write that failed) has lost something, whatever it returned:
 * it fails, with that reason, and never passes for a whole document. */
static int32_t converted(int32_t result)
{
    return result != CONVERT_WRONG_FORMAT && result != CONVERT_EMPTY_INPUT && refusal_reason()[0]
               ? CONVERT_WRONG_FORMAT
               : result;
}

#define CONVERTER(name, call)                                 \
    static int32_t __cdecl name(FILE *in, FILE *out)          \
    {                                                         \
        refusal_clear();                                      \
        return converted(call(in, out));                      \
    }
CONVERTER(convert_read_rtf, read_rtf)
CONVERTER(convert_read_html, read_html)
CONVERTER(convert_read_markdown, read_markdown)
CONVERTER(convert_write_rtf, write_rtf)
CONVERTER(convert_write_html, write_html)
CONVERTER(convert_write_markdown, write_markdown)

static const format_description sources[] = {
    {"Document - HTML", "html", convert_read_html},
    {"Document - Markdown", "md", convert_read_markdown},
    {"Document - RTF", "rtf", convert_read_rtf},
};

static const format_description targets[] = {
    {"Document - HTML", "html", convert_write_html},
    {"Document - Markdown", "md", convert_write_markdown},
    {"Document - RTF", "rtf", convert_write_rtf},
};

PLUGIN_EXPORT int32_t __cdecl _DLL_threads(void) { return 1; }

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
