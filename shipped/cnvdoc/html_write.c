/* The HTML writer: a complete HTML5 document in UTF-8 with a title and a
 * short style sheet, readable as it stands; its footnotes follow it,
 * numbered in the order their references come, linked both ways. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

#define LIST_DEPTH 33
#define FLOW_DEPTH 64
#define TABLE_DEPTH 24 /* the form nests 64 deep: a table in a cell takes three of them */
#define TITLE_LIMIT 80

static const char style_sheet[] =
    "body{font-family:Georgia,'Times New Roman',serif;max-width:42em;margin:2em auto;padding:0 1em;line-height:1.5}\n"
    "pre,code{font-family:Consolas,'Courier New',monospace;background:#f4f4f4}\n"
    "pre{padding:.5em;overflow:auto}\n"
    "blockquote{border-left:3px solid #ccc;margin-left:0;padding-left:1em;color:#444}\n"
    "table{border-collapse:collapse}th,td{border:1px solid #bbb;padding:.2em .5em;text-align:left}\n";

/* Bytes that HTML text or an attribute value cannot hold as they are, and
 * what they are written as. */
static const char *const escapes[256] = {['&'] = "&amp;", ['<'] = "&lt;", ['>'] = "&gt;", ['"'] = "&quot;"};
static const unsigned char escape_lengths[256] = {['&'] = 5, ['<'] = 4, ['>'] = 4, ['"'] = 6};

/* The end of the run of s[0..n) that needs no escape: 16 or 8 bytes at a time
 * while none of them is '"' (0x22), '&' (0x26), '<' (0x3C) or '>' (0x3E),
 * which are the bytes b with (b | 4) == 0x26 or (b | 2) == 0x3E.  Out of
 * line, so that its vector constants do not cost the caller a save of
 * callee-saved registers on every call. */
__attribute__((noinline)) static size_t plain_run(const unsigned char *s, size_t n)
{
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    size_t i = 0;
#ifdef __SSE2__
    for (; n - i >= 16; i += 16) {
        const __m128i block = _mm_loadu_si128((const __m128i *)(s + i));
        const __m128i quote_amp = _mm_cmpeq_epi8(_mm_or_si128(block, _mm_set1_epi8(0x04)), _mm_set1_epi8(0x26));
        const __m128i angles = _mm_cmpeq_epi8(_mm_or_si128(block, _mm_set1_epi8(0x02)), _mm_set1_epi8(0x3E));
        const unsigned hits = (unsigned)_mm_movemask_epi8(_mm_or_si128(quote_amp, angles));
        if (hits)
            return i + (size_t)__builtin_ctz(hits);
    }
#endif
    for (; n - i >= 8; i += 8) {
        uint64_t word, quote_amp, angles;
        __builtin_memcpy(&word, s + i, 8);
        quote_amp = (word | ones * 0x04) ^ (ones * 0x26);
        angles = (word | ones * 0x02) ^ (ones * 0x3E);
        if (((quote_amp - ones) & ~quote_amp & highs) | ((angles - ones) & ~angles & highs))
            break;
    }
    while (i < n && !escape_lengths[s[i]])
        ++i;
    return i;
}

/* Whether any of eight bytes is one that needs an escape (see plain_run). */
static inline int word_needs_escape(uint64_t word)
{
    const uint64_t ones = 0x0101010101010101ull;
    return (zero_bytes((word | ones * 0x04) ^ (ones * 0x26)) | zero_bytes((word | ones * 0x02) ^ (ones * 0x3E))) != 0;
}

/* Whether a run of 4 to 15 bytes, the most common between two marks, needs
 * no escape: two overlapping loads. */
static inline int short_run_is_plain(const unsigned char *s, size_t n)
{
    if (n >= 8) {
        uint64_t first, last;
        __builtin_memcpy(&first, s, 8);
        __builtin_memcpy(&last, s + n - 8, 8);
        return !word_needs_escape(first) && !word_needs_escape(last);
    } else {
        uint32_t first, last;
        __builtin_memcpy(&first, s, 4);
        __builtin_memcpy(&last, s + n - 4, 4);
        return !word_needs_escape((uint64_t)first << 32 | last);
    }
}

static void put_html_text(buffer *out, const char *text, size_t n)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t i = 0;
    if (n >= 4 && n < 16 && short_run_is_plain(s, n)) {
        put_bytes(out, s, n);
        return;
    }
    while (i < n) {
        const size_t run = i + plain_run(s + i, n - i);
        put_bytes(out, s + i, run - i);
        if (run == n)
            break;
        put_bytes(out, escapes[s[run]], escape_lengths[s[run]]);
        i = run + 1;
    }
}

/* Bytes a URL carries as they are; the others go as %XX (a target read from
 * a document may hold spaces and letters beyond ASCII). */
static const unsigned char url_safe[256] = {
    ['-'] = 1, ['_'] = 1, ['.'] = 1, ['!'] = 1, ['~'] = 1, ['*'] = 1, ['\''] = 1, ['('] = 1, [')'] = 1,
    [';'] = 1, ['/'] = 1, ['?'] = 1, [':'] = 1, ['@'] = 1, ['&'] = 1, ['='] = 1, ['+'] = 1, ['$'] = 1,
    [','] = 1, ['%'] = 1, ['#'] = 1,
    ['0'] = 1, ['1'] = 1, ['2'] = 1, ['3'] = 1, ['4'] = 1, ['5'] = 1, ['6'] = 1, ['7'] = 1, ['8'] = 1, ['9'] = 1,
    ['a'] = 1, ['b'] = 1, ['c'] = 1, ['d'] = 1, ['e'] = 1, ['f'] = 1, ['g'] = 1, ['h'] = 1, ['i'] = 1, ['j'] = 1,
    ['k'] = 1, ['l'] = 1, ['m'] = 1, ['n'] = 1, ['o'] = 1, ['p'] = 1, ['q'] = 1, ['r'] = 1, ['s'] = 1, ['t'] = 1,
    ['u'] = 1, ['v'] = 1, ['w'] = 1, ['x'] = 1, ['y'] = 1, ['z'] = 1,
    ['A'] = 1, ['B'] = 1, ['C'] = 1, ['D'] = 1, ['E'] = 1, ['F'] = 1, ['G'] = 1, ['H'] = 1, ['I'] = 1, ['J'] = 1,
    ['K'] = 1, ['L'] = 1, ['M'] = 1, ['N'] = 1, ['O'] = 1, ['P'] = 1, ['Q'] = 1, ['R'] = 1, ['S'] = 1, ['T'] = 1,
    ['U'] = 1, ['V'] = 1, ['W'] = 1, ['X'] = 1, ['Y'] = 1, ['Z'] = 1,
};

static void put_href(buffer *out, const char *s, size_t n)
{
    size_t i;
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '&') {
            put_bytes(out, "&amp;", 5);
        } else if (url_safe[c]) {
            put_byte(out, c);
        } else {
            put_percent_byte(out, c);
        }
    }
}

typedef struct table_state {
    int in_head, rows, row_pending;
} table_state;

/* A footnote's id, and the number that its first reference, or its note
 * where none came before it, gave it. */
typedef struct note_slot {
    size_t at, length; /* the id, in note_ids */
    int used, number;
    int references;    /* written so far */
    int has_note;
} note_slot;

/* A note's HTML, written aside until the document ends. */
typedef struct written_note {
    int number, referenced;
    size_t start, end; /* in notes */
} written_note;

typedef struct html_writer {
    buffer page;                     /* the document, written out whenever it is full */
    buffer notes;                    /* the notes, which follow it in the order of their numbers */
    buffer *out;                     /* the page, or the notes inside a note */
    char list_type[LIST_DEPTH + 1];  /* 'u' or 'o' per open level */
    int list_style[LIST_DEPTH + 1];  /* per open ordered level */
    int list_depth;
    table_state tables[TABLE_DEPTH]; /* per open table, innermost last; [0] outside any */
    int table_depth;
    char loose[LIST_DEPTH + 1];      /* per open level: its items' text in paragraphs */
    int flow_base[FLOW_DEPTH];       /* list depth where each open quote, definition list, definition,
                                      * note or table cell began: lists inside it end with it */
    int flow_depth;
    int item_paragraph;              /* 1: a loose item's <p> waits for its text; 2: open */
    int bare_paragraph;              /* a tight item's further paragraph, written without <p> */
    int text_last;                   /* text, not a block, was written last: a bare paragraph would run on */
    int in_image, in_raw;
    int in_code, code_has_text; /* a code block's text ends with a line end, as its lines do */
    buffer alt, image_title;
    buffer note_ids;
    note_slot *slots;                /* open addressing, slot_count a power of two */
    size_t slot_count, slots_used;
    int note_count;
    written_note *written;
    int written_count, written_capacity;
} html_writer;

static void close_lists_to(html_writer *w, int depth)
{
    if (w->list_depth > depth)
        w->text_last = 0;
    while (w->list_depth > depth) {
        put_str(w->out, w->list_type[w->list_depth] == 'o' ? "</li>\n</ol>\n" : "</li>\n</ul>\n");
        --w->list_depth;
    }
}

/* The type attribute of each list_style, as HTML names them. */
static const char *const list_types[] = {"1", "a", "A", "i", "I"};

static void open_list(html_writer *w, char type, int start, int style)
{
    w->list_type[++w->list_depth] = type;
    w->list_style[w->list_depth] = style;
    if (type == 'u') {
        put_str(w->out, "<ul>\n");
        return;
    }
    put_str(w->out, "<ol");
    if (style > LIST_DECIMAL && style <= LIST_UPPER_ROMAN) {
        put_str(w->out, " type=\"");
        put_str(w->out, list_types[style]);
        put_byte(w->out, '"');
    }
    if (start != 1) {
        put_str(w->out, " start=\"");
        put_number(w->out, start);
        put_byte(w->out, '"');
    }
    put_str(w->out, ">\n");
}

/* Blocks in a quote, a definition list, a definition, a note or a cell
 * keep the lists around it open, and end the lists they open. */
static void enter_flow(html_writer *w)
{
    if (w->flow_depth < FLOW_DEPTH)
        w->flow_base[w->flow_depth++] = w->list_depth;
}

static void leave_flow(html_writer *w)
{
    close_lists_to(w, w->flow_depth ? w->flow_base[--w->flow_depth] : 0);
}

/* The list depth a block keeps open: that of the item it continues, never
 * below the innermost flow's. */
static int list_floor(const html_writer *w, int item)
{
    const int base = w->flow_depth ? w->flow_base[w->flow_depth - 1] : 0;
    if (item > w->list_depth)
        item = w->list_depth;
    return item > base ? item : base;
}

/* Text, or an inline element, in a loose item opens its paragraph. */
static void start_item_text(html_writer *w)
{
    w->text_last = 1;
    if (w->item_paragraph == 1) {
        put_str(w->out, "<p>");
        w->item_paragraph = 2;
    }
}

/* An outline's label ("2.1.") as its item's marker: a string as CSS's
 * list-style-type, which browsers show in place of the number that <ol>
 * would count (HTML's value holds a number only). */
static void put_label(buffer *out, const char *s, size_t n)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t i;
    put_str(out, " style=\"list-style-type:'");
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '\'' || c == '\\') {
            put_byte(out, '\\');
            put_byte(out, c);
        } else if (c < 0x20) {
            const char escape[4] = {'\\', hex[c >> 4], hex[c & 15], ' '};
            put_bytes(out, escape, 4);
        } else {
            put_html_text(out, (const char *)&c, 1);
        }
    }
    put_str(out, " '\"");
}

/* The list an item belongs to, opened where it is not: a list of its
 * kind at its level, with its style. */
static void open_lists_for(html_writer *w, int level, char type, int number, int style, int new_list)
{
    close_lists_to(w, level);
    if (new_list && w->list_depth == level)
        close_lists_to(w, level - 1);
    if (w->list_depth == level && (w->list_type[level] != type || w->list_style[level] != style))
        close_lists_to(w, level - 1);
    if (w->list_depth == level)
        put_str(w->out, "</li>\n");
    while (w->list_depth < level) {
        const int opening = w->list_depth + 1;
        open_list(w, opening == level ? type : 'u', opening == level ? number : 1,
                  opening == level ? style : LIST_DECIMAL);
        if (opening < level)
            put_str(w->out, "<li>\n");
    }
}

static void open_item(html_writer *w, const doc_event *e)
{
    const char type = e->number != DOC_BULLET ? 'o' : 'u';
    const int base = w->flow_depth ? w->flow_base[w->flow_depth - 1] : 0;
    int level = e->level;
    if (level <= base)
        level = base + 1;
    if (level > LIST_DEPTH - 1)
        level = LIST_DEPTH - 1;
    open_lists_for(w, level, type, e->number, type == 'o' ? e->list_style : LIST_DECIMAL, e->new_list);
    put_str(w->out, "<li");
    if (e->title_length)
        put_label(w->out, e->title, e->title_length);
    put_byte(w->out, '>');
}

static void put_quoted(buffer *out, const char *name, const char *s, size_t n)
{
    put_byte(out, ' ');
    put_str(out, name);
    put_str(out, "=\"");
    put_html_text(out, s, n);
    put_byte(out, '"');
}

static void open_cell(html_writer *w, int header, int align)
{
    table_state *table = &w->tables[w->table_depth];
    if (table->row_pending) {
        if (table->rows == 0 && header) {
            put_str(w->out, "<thead>\n");
            table->in_head = 1;
        } else if (table->in_head || table->rows == 0) {
            put_str(w->out, table->in_head ? "</thead>\n<tbody>\n" : "<tbody>\n");
            table->in_head = 0;
        }
        put_str(w->out, "<tr>\n");
        table->row_pending = 0;
        ++table->rows;
    }
    put_str(w->out, header ? "<th" : "<td");
    if (align)
        put_str(w->out, align == DOC_ALIGN_CENTER ? " align=\"center\"" : align == DOC_ALIGN_RIGHT ? " align=\"right\""
                                                                                               : " align=\"left\"");
    put_byte(w->out, '>');
    enter_flow(w);
}

static void open_table(html_writer *w)
{
    if (w->table_depth < TABLE_DEPTH - 1)
        ++w->table_depth;
    memset(&w->tables[w->table_depth], 0, sizeof w->tables[w->table_depth]);
    put_str(w->out, "<table>\n");
}

static void close_table(html_writer *w)
{
    const table_state *table = &w->tables[w->table_depth];
    if (table->rows)
        put_str(w->out, table->in_head ? "</thead>\n" : "</tbody>\n");
    put_str(w->out, "</table>\n");
    if (w->table_depth > 0)
        --w->table_depth;
}

/* ---- pictures ---- */

/* <img src> with its address, else its data as a data: URL; its size in
 * pixels.  Its alternative text and title follow when it ends. */
static void open_image(html_writer *w, const doc_event *e)
{
    static const doc_image_data no_data = {NULL, 0, "", 0, 0};
    const doc_image_data *p = e->picture ? e->picture : &no_data;
    put_str(w->out, "<img src=\"");
    if (e->length || !p->data_length) {
        put_href(w->out, e->text, e->length);
    } else {
        const char *type = p->media_type[0] ? p->media_type : "application/octet-stream";
        put_str(w->out, "data:");
        put_html_text(w->out, type, strlen(type));
        put_str(w->out, ";base64,");
        put_base64(w->out, p->data, p->data_length);
    }
    put_byte(w->out, '"');
    if (p->width > 0) {
        put_str(w->out, " width=\"");
        put_number(w->out, p->width);
        put_byte(w->out, '"');
    }
    if (p->height > 0) {
        put_str(w->out, " height=\"");
        put_number(w->out, p->height);
        put_byte(w->out, '"');
    }
    w->in_image = 1;
    w->alt.size = w->image_title.size = 0;
    put_bytes(&w->image_title, e->title, e->title_length);
}

/* ---- footnotes ---- */

static size_t id_hash(const char *s, size_t n)
{
    uint64_t hash = 14695981039346656037ull; /* FNV-1a */
    size_t i;
    for (i = 0; i < n; ++i)
        hash = (hash ^ (unsigned char)s[i]) * 1099511628211ull;
    return (size_t)hash;
}

static int grow_slots(html_writer *w)
{
    const size_t count = w->slot_count ? w->slot_count * 2 : 16;
    note_slot *slots = (note_slot *)calloc(count, sizeof *slots);
    size_t i, j;
    if (!slots || count > ((size_t)-1) / sizeof *slots) {
        free(slots);
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    }
    for (i = 0; i < w->slot_count; ++i) {
        const note_slot *old = &w->slots[i];
        if (!old->used)
            continue;
        for (j = id_hash((const char *)w->note_ids.data + old->at, old->length) & (count - 1); slots[j].used;)
            j = (j + 1) & (count - 1);
        slots[j] = *old;
    }
    free(w->slots);
    w->slots = slots;
    w->slot_count = count;
    return 1;
}

/* The slot of a note's id, made when it is new; NULL when memory ran out. */
static note_slot *note_slot_of(html_writer *w, const char *id, size_t length)
{
    size_t i;
    if (w->slots_used * 2 >= w->slot_count && !grow_slots(w))
        return NULL;
    for (i = id_hash(id, length) & (w->slot_count - 1);; i = (i + 1) & (w->slot_count - 1)) {
        note_slot *slot = &w->slots[i];
        if (!slot->used) {
            slot->at = w->note_ids.size;
            put_bytes(&w->note_ids, id, length);
            if (w->note_ids.failed)
                return NULL;
            slot->length = length;
            slot->used = 1;
            ++w->slots_used;
            return slot;
        }
        if (slot->length == length && (length == 0 || memcmp(w->note_ids.data + slot->at, id, length) == 0))
            return slot;
    }
}

/* Where a note stands: its number, raised, a link to the note and the
 * note's link back to its first reference. */
static void put_reference(html_writer *w, const doc_event *e)
{
    note_slot *slot = note_slot_of(w, e->text, e->length);
    if (!slot)
        return;
    if (!slot->number)
        slot->number = ++w->note_count;
    put_str(w->out, "<sup><a href=\"#fn");
    put_number(w->out, slot->number);
    put_byte(w->out, '"');
    if (slot->references++ == 0) {
        put_str(w->out, " id=\"fnref");
        put_number(w->out, slot->number);
        put_byte(w->out, '"');
    }
    put_str(w->out, " class=\"footnote-ref\">");
    put_number(w->out, slot->number);
    put_str(w->out, "</a></sup>");
}

/* A note's blocks are written aside, to follow the document in the order
 * of their numbers; a note no reference numbered, or a second note of one
 * id, takes the next number. */
static void open_note(html_writer *w, const doc_event *e)
{
    note_slot *slot = note_slot_of(w, e->text, e->length);
    written_note *grown = (written_note *)room_for_one(w->written, w->written_count, &w->written_capacity, 16,
                                                       sizeof *w->written);
    written_note *note;
    if (!grown)
        return;
    w->written = grown;
    note = &w->written[w->written_count++];
    note->referenced = slot && slot->number && !slot->has_note;
    note->number = note->referenced ? slot->number : ++w->note_count;
    if (slot) {
        slot->has_note = 1;
        if (!slot->number)
            slot->number = note->number;
    }
    note->start = note->end = w->notes.size;
    w->out = &w->notes;
    enter_flow(w);
}

static void close_note(html_writer *w)
{
    if (w->out != &w->notes)
        return;
    leave_flow(w);
    w->written[w->written_count - 1].end = w->notes.size;
    w->out = &w->page;
}

static void put_back_link(buffer *out, int number)
{
    put_str(out, " <a href=\"#fnref");
    put_number(out, number);
    put_str(out, "\" class=\"footnote-back\">\xE2\x86\xA9</a>");
}

/* A note, the link back to its reference ending its last paragraph; a
 * reference whose note never came has one of nothing, so that every
 * number stands where the list counts it and every link has its end. */
static void put_note(html_writer *w, const written_note *note, int number)
{
    const char *s = note ? (const char *)w->notes.data + note->start : "";
    const size_t n = note ? note->end - note->start : 0;
    const int in_paragraph = n >= 5 && memcmp(s + n - 5, "</p>\n", 5) == 0;
    put_str(w->out, "<li id=\"fn");
    put_number(w->out, number);
    put_str(w->out, "\">");
    put_bytes(w->out, s, in_paragraph ? n - 5 : n);
    if (!note || note->referenced)
        put_back_link(w->out, number);
    if (in_paragraph)
        put_str(w->out, "</p>\n");
    put_str(w->out, "</li>\n");
}

/* The notes after the document, numbered in the order their references
 * came. */
static void put_notes(html_writer *w)
{
    int *order, i;
    if (!w->note_count)
        return;
    order = (int *)malloc(((size_t)w->note_count + 1) * sizeof *order);
    if (!order) {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        return;
    }
    for (i = 0; i <= w->note_count; ++i)
        order[i] = -1;
    for (i = 0; i < w->written_count; ++i)
        order[w->written[i].number] = i;
    put_str(w->out, "<section class=\"footnotes\">\n<ol>\n");
    for (i = 1; i <= w->note_count; ++i)
        put_note(w, order[i] >= 0 ? &w->written[order[i]] : NULL, i);
    put_str(w->out, "</ol>\n</section>\n");
    free(order);
}

/* ---- the document ---- */

/* Nodes written inside a line of text, not as blocks of their own. */
static int in_line(int node)
{
    return IS_INLINE(node) || node == NODE_IMG || node == NODE_RAW || node == NODE_FN;
}

/* The start tags of the marks of text, by node. */
static const char *const inline_tags[NODE_COUNT] = {
    [NODE_B] = "<strong>", [NODE_I] = "<em>", [NODE_U] = "<u>", [NODE_S] = "<del>", [NODE_C] = "<code>",
    [NODE_SUP] = "<sup>", [NODE_SUB] = "<sub>", [NODE_SC] = "<span style=\"font-variant:small-caps\">",
};
static const char *const inline_end_tags[NODE_COUNT] = {
    [NODE_B] = "</strong>", [NODE_I] = "</em>", [NODE_U] = "</u>", [NODE_S] = "</del>", [NODE_C] = "</code>",
    [NODE_SUP] = "</sup>", [NODE_SUB] = "</sub>", [NODE_SC] = "</span>",
};

/* A block that stands in a container of blocks: a quote, a definition
 * list or one of its definitions, a note. */
static void open_flow(html_writer *w, const doc_event *e)
{
    switch (e->node) {
    case NODE_QUOTE: put_str(w->out, "<blockquote>\n"); break;
    case NODE_DL: put_str(w->out, "<dl>\n"); break;
    case NODE_DD: put_str(w->out, "<dd>\n"); break;
    case NODE_NOTE: open_note(w, e); return;
    }
    enter_flow(w);
}

static void open_node(html_writer *w, const doc_event *e)
{
    buffer *out = w->out;
    const int inline_node = in_line(e->node);
    if (w->in_image)
        return; /* an image's alternative text is plain */
    if (e->node != NODE_LI && !inline_node && e->node != NODE_CELL && e->node != NODE_ROW)
        close_lists_to(w, list_floor(w, e->item));
    if (inline_node)
        start_item_text(w);
    else if (e->node != NODE_P)
        w->text_last = 0;
    switch (e->node) {
    case NODE_P:
        w->bare_paragraph =
            e->item > 0 && e->item <= w->list_depth && !w->loose[e->item] && !w->text_last;
        if (!w->bare_paragraph)
            put_str(out, "<p>");
        break;
    case NODE_HTML: w->in_raw = 1; break;
    case NODE_RAW: w->in_raw = 1; break;
    case NODE_IMG: open_image(w, e); break;
    case NODE_H:
        put_str(out, "<h");
        put_number(out, e->level);
        put_byte(out, '>');
        break;
    case NODE_LI:
        open_item(w, e);
        w->loose[w->list_depth] = (char)e->loose;
        w->item_paragraph = e->loose;
        break;
    case NODE_QUOTE: case NODE_DL: case NODE_DD: case NODE_NOTE: open_flow(w, e); break;
    case NODE_DT: put_str(out, "<dt>"); break;
    case NODE_FN: put_reference(w, e); break;
    case NODE_CODE:
        w->in_code = 1;
        w->code_has_text = 0;
        if (e->length) {
            put_str(out, "<pre><code class=\"language-");
            put_html_text(out, e->text, e->length);
            put_str(out, "\">");
        } else {
            put_str(out, "<pre><code>");
        }
        break;
    case NODE_TABLE: open_table(w); break;
    case NODE_ROW: w->tables[w->table_depth].row_pending = 1; break;
    case NODE_CELL: open_cell(w, e->header, e->align); break;
    case NODE_A:
        put_str(out, "<a href=\"");
        put_href(out, e->text, e->length);
        put_byte(out, '"');
        if (e->title_length)
            put_quoted(out, "title", e->title, e->title_length);
        put_byte(out, '>');
        break;
    default:
        if (inline_tags[e->node])
            put_str(out, inline_tags[e->node]);
        break;
    }
}

static void close_node(html_writer *w, const doc_event *e)
{
    buffer *out = w->out;
    if (w->in_image && e->node != NODE_IMG)
        return;
    if (!in_line(e->node) && e->node != NODE_LI && e->node != NODE_P)
        w->text_last = 0;
    switch (e->node) {
    case NODE_P:
        put_str(out, w->bare_paragraph ? "\n" : "</p>\n");
        w->text_last = w->bare_paragraph;
        w->bare_paragraph = 0;
        break;
    case NODE_LI:
        if (w->item_paragraph == 2) {
            put_str(out, "</p>");
            w->text_last = 0;
        }
        w->item_paragraph = 0;
        break;
    case NODE_HTML:
        w->in_raw = 0;
        put_byte(out, '\n');
        break;
    case NODE_RAW: w->in_raw = 0; break;
    case NODE_IMG:
        w->in_image = 0;
        put_quoted(out, "alt", (const char *)w->alt.data, w->alt.size);
        if (w->image_title.size)
            put_quoted(out, "title", (const char *)w->image_title.data, w->image_title.size);
        put_str(out, " />");
        break;
    case NODE_H:
        put_str(out, "</h");
        put_number(out, e->level);
        put_str(out, ">\n");
        break;
    case NODE_QUOTE:
        leave_flow(w);
        put_str(out, "</blockquote>\n");
        break;
    case NODE_DL:
        leave_flow(w);
        put_str(out, "</dl>\n");
        break;
    case NODE_DD:
        leave_flow(w);
        put_str(out, "</dd>\n");
        break;
    case NODE_DT: put_str(out, "</dt>\n"); break;
    case NODE_NOTE: close_note(w); break;
    case NODE_CODE:
        put_str(out, w->code_has_text ? "\n</code></pre>\n" : "</code></pre>\n");
        w->in_code = 0;
        break;
    case NODE_TABLE: close_table(w); break;
    case NODE_ROW:
        if (!w->tables[w->table_depth].row_pending)
            put_str(out, "</tr>\n");
        w->tables[w->table_depth].row_pending = 0;
        break;
    case NODE_CELL:
        leave_flow(w);
        put_str(out, e->header ? "</th>\n" : "</td>\n");
        break;
    case NODE_A: put_str(out, "</a>"); break;
    default:
        if (inline_end_tags[e->node])
            put_str(out, inline_end_tags[e->node]);
        break;
    }
}

/* The first heading's text, else the document's first words. */
static void find_title(const buffer *input, buffer *title)
{
    doc_reader r;
    doc_event e;
    int heading = 0, depth = 0, raw = 0;
    buffer first_words = {0};
    doc_read_begin(&r, input);
    while (doc_next(&r, &e) != EV_END && title->size == 0) {
        if ((e.kind == EV_OPEN || e.kind == EV_CLOSE) && (e.node == NODE_HTML || e.node == NODE_RAW)) {
            raw = e.kind == EV_OPEN; /* HTML source is no title */
            continue;
        }
        if (raw && e.kind == EV_TEXT)
            continue;
        if (e.kind == EV_OPEN && e.node == NODE_H && !heading) {
            heading = 1;
            depth = 1;
        } else if (heading && e.kind == EV_OPEN) {
            ++depth;
        } else if (heading && e.kind == EV_CLOSE && --depth == 0) {
            break;
        } else if (!heading && e.kind == EV_CLOSE && IS_LEAF(e.node) && first_words.size) {
            break; /* the first block's words */
        } else if (e.kind == EV_TEXT && heading) {
            put_bytes(title, e.text, e.length);
        } else if (!heading && (e.kind == EV_TEXT || e.kind == EV_BR) && first_words.size < TITLE_LIMIT) {
            if (e.kind == EV_TEXT)
                put_bytes(&first_words, e.text, e.length);
            else
                put_byte(&first_words, ' ');
        }
        if (heading && e.kind == EV_BR)
            put_byte(title, ' ');
    }
    doc_read_end(&r);
    if (title->size == 0 && first_words.size) {
        /* whole words, up to the limit */
        size_t cut = first_words.size;
        if (cut > TITLE_LIMIT) {
            cut = TITLE_LIMIT;
            while (cut > 0 && first_words.data[cut] != ' ' && first_words.data[cut] != '\n')
                --cut;
            if (cut == 0)
                for (cut = TITLE_LIMIT; cut > 0 && (first_words.data[cut] & 0xC0) == 0x80; --cut)
                    ;
        }
        put_bytes(title, first_words.data, cut);
    }
    free(first_words.data);
    {
        size_t i, start = 0, end;
        for (i = 0; i < title->size; ++i)
            if (title->data[i] == '\n' || title->data[i] == '\t' || title->data[i] == '\r')
                title->data[i] = ' ';
        while (start < title->size && title->data[start] == ' ')
            ++start;
        end = title->size;
        while (end > start && title->data[end - 1] == ' ')
            --end;
        if (start)
            memmove(title->data, title->data + start, end - start);
        title->size = end - start;
    }
}

int32_t write_html(FILE *in, FILE *out)
{
    buffer input = {0}, title = {0};
    html_writer w;
    doc_reader r;
    doc_event e;
    const int32_t loaded = load_input(in, &input);
    if (loaded != CONVERT_OK)
        return loaded;
    memset(&w, 0, sizeof w);
    w.page.sink = out;
    w.out = &w.page;
    find_title(&input, &title);
    put_str(w.out, "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>");
    if (title.size)
        put_html_text(w.out, (const char *)title.data, title.size);
    else
        put_str(w.out, "Document");
    put_str(w.out, "</title>\n<style>\n");
    put_str(w.out, style_sheet);
    put_str(w.out, "</style>\n</head>\n<body>\n");
    free(title.data);
    doc_read_begin(&r, &input);
    while (doc_next(&r, &e) != EV_END) {
        switch (e.kind) {
        case EV_OPEN: open_node(&w, &e); break;
        case EV_CLOSE: close_node(&w, &e); break;
        case EV_TEXT:
            if (w.in_image) {
                put_bytes(&w.alt, e.text, e.length);
            } else if (w.in_raw) {
                put_bytes(w.out, e.text, e.length);
            } else {
                start_item_text(&w);
                put_html_text(w.out, e.text, e.length);
                w.code_has_text |= w.in_code && e.length > 0;
            }
            break;
        case EV_BR:
            if (w.in_image) {
                put_byte(&w.alt, ' ');
                break;
            }
            start_item_text(&w);
            put_str(w.out, "<br>\n");
            break;
        case EV_HR:
            close_lists_to(&w, list_floor(&w, e.item));
            put_str(w.out, "<hr>\n");
            w.text_last = 0;
            break;
        }
    }
    close_note(&w);
    close_lists_to(&w, 0);
    doc_read_end(&r);
    release_input(&input);
    put_notes(&w);
    free(w.alt.data);
    free(w.image_title.data);
    free(w.notes.data);
    free(w.note_ids.data);
    free(w.slots);
    free(w.written);
    put_str(w.out, "</body>\n</html>\n");
    if (w.notes.failed || w.note_ids.failed)
        w.page.failed = 1; /* a note lost is a document lost */
    return finish_output(out, &w.page);
}
