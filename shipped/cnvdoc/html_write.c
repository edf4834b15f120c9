/* The HTML writer: a complete HTML5 document in UTF-8 with a title and a
 * short style sheet, readable as it stands. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"

#define LIST_DEPTH 33
#define QUOTE_DEPTH 64
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

typedef struct html_writer {
    buffer out;
    char list_type[LIST_DEPTH + 1]; /* 'u' or 'o' per open level */
    int list_depth;
    int in_table_head, table_rows, row_pending;
    char loose[LIST_DEPTH + 1];      /* per open level: its items' text in paragraphs */
    int quote_base[QUOTE_DEPTH];     /* list depth where each open block quote began */
    int quote_depth;
    int item_paragraph;              /* 1: a loose item's <p> waits for its text; 2: open */
    int bare_paragraph;              /* a tight item's further paragraph, written without <p> */
    int text_last;                   /* text, not a block, was written last: a bare paragraph would run on */
    int in_image, in_raw;
    int in_code, code_has_text; /* a code block's text ends with a line end, as its lines do */
    buffer alt, image_title;
} html_writer;

static void close_lists_to(html_writer *w, int depth)
{
    if (w->list_depth > depth)
        w->text_last = 0;
    while (w->list_depth > depth) {
        put_str(&w->out, w->list_type[w->list_depth] == 'o' ? "</li>\n</ol>\n" : "</li>\n</ul>\n");
        --w->list_depth;
    }
}

static void open_list(html_writer *w, char type, int start)
{
    w->list_type[++w->list_depth] = type;
    if (type == 'u') {
        put_str(&w->out, "<ul>\n");
    } else if (start == 1) {
        put_str(&w->out, "<ol>\n");
    } else {
        put_str(&w->out, "<ol start=\"");
        put_number(&w->out, start);
        put_str(&w->out, "\">\n");
    }
}

/* The list depth a block keeps open: that of the item it continues, never
 * below the innermost block quote's. */
static int list_floor(const html_writer *w, int item)
{
    const int base = w->quote_depth ? w->quote_base[w->quote_depth - 1] : 0;
    if (item > w->list_depth)
        item = w->list_depth;
    return item > base ? item : base;
}

/* Text, or an inline element, in a loose item opens its paragraph. */
static void start_item_text(html_writer *w)
{
    w->text_last = 1;
    if (w->item_paragraph == 1) {
        put_str(&w->out, "<p>");
        w->item_paragraph = 2;
    }
}

static void open_item(html_writer *w, int level, int number, int new_list)
{
    const char type = number != DOC_BULLET ? 'o' : 'u';
    const int base = w->quote_depth ? w->quote_base[w->quote_depth - 1] : 0;
    if (level <= base)
        level = base + 1;
    if (level > LIST_DEPTH - 1)
        level = LIST_DEPTH - 1;
    close_lists_to(w, level);
    if (new_list && w->list_depth == level)
        close_lists_to(w, level - 1);
    if (w->list_depth == level && w->list_type[level] != type)
        close_lists_to(w, level - 1);
    if (w->list_depth == level)
        put_str(&w->out, "</li>\n");
    while (w->list_depth < level) {
        const int opening = w->list_depth + 1;
        open_list(w, opening == level ? type : 'u', opening == level ? number : 1);
        if (opening < level)
            put_str(&w->out, "<li>\n");
    }
    put_str(&w->out, "<li>");
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
    if (w->row_pending) {
        if (w->table_rows == 0 && header) {
            put_str(&w->out, "<thead>\n");
            w->in_table_head = 1;
        } else if (w->in_table_head || w->table_rows == 0) {
            put_str(&w->out, w->in_table_head ? "</thead>\n<tbody>\n" : "<tbody>\n");
            w->in_table_head = 0;
        }
        put_str(&w->out, "<tr>\n");
        w->row_pending = 0;
        ++w->table_rows;
    }
    put_str(&w->out, header ? "<th" : "<td");
    if (align)
        put_str(&w->out, align == DOC_ALIGN_CENTER ? " align=\"center\"" : align == DOC_ALIGN_RIGHT ? " align=\"right\""
                                                                                               : " align=\"left\"");
    put_byte(&w->out, '>');
}

/* Nodes written inside a line of text, not as blocks of their own. */
static int in_line(int node)
{
    return IS_INLINE(node) || node == NODE_IMG || node == NODE_RAW;
}

static void open_node(html_writer *w, const doc_event *e)
{
    buffer *out = &w->out;
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
    case NODE_IMG:
        put_str(out, "<img src=\"");
        put_href(out, e->text, e->length);
        put_byte(out, '"');
        w->in_image = 1;
        w->alt.size = w->image_title.size = 0;
        put_bytes(&w->image_title, e->title, e->title_length);
        break;
    case NODE_H:
        put_str(out, "<h");
        put_number(out, e->level);
        put_byte(out, '>');
        break;
    case NODE_LI:
        open_item(w, e->level, e->number, e->new_list);
        w->loose[w->list_depth] = (char)e->loose;
        w->item_paragraph = e->loose;
        break;
    case NODE_QUOTE:
        if (w->quote_depth < QUOTE_DEPTH)
            w->quote_base[w->quote_depth++] = w->list_depth;
        put_str(out, "<blockquote>\n");
        break;
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
    case NODE_TABLE:
        put_str(out, "<table>\n");
        w->table_rows = 0;
        w->in_table_head = 0;
        break;
    case NODE_ROW: w->row_pending = 1; break;
    case NODE_CELL: open_cell(w, e->header, e->align); break;
    case NODE_A:
        put_str(out, "<a href=\"");
        put_href(out, e->text, e->length);
        put_byte(out, '"');
        if (e->title_length)
            put_quoted(out, "title", e->title, e->title_length);
        put_byte(out, '>');
        break;
    case NODE_B: put_str(out, "<strong>"); break;
    case NODE_I: put_str(out, "<em>"); break;
    case NODE_U: put_str(out, "<u>"); break;
    case NODE_S: put_str(out, "<del>"); break;
    case NODE_C: put_str(out, "<code>"); break;
    }
}

static void close_node(html_writer *w, const doc_event *e)
{
    buffer *out = &w->out;
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
        close_lists_to(w, w->quote_depth ? w->quote_base[--w->quote_depth] : 0);
        put_str(out, "</blockquote>\n");
        break;
    case NODE_CODE:
        put_str(out, w->code_has_text ? "\n</code></pre>\n" : "</code></pre>\n");
        w->in_code = 0;
        break;
    case NODE_TABLE:
        if (w->table_rows)
            put_str(out, w->in_table_head ? "</thead>\n" : "</tbody>\n");
        put_str(out, "</table>\n");
        break;
    case NODE_ROW:
        if (!w->row_pending)
            put_str(out, "</tr>\n");
        w->row_pending = 0;
        break;
    case NODE_CELL: put_str(out, e->header ? "</th>\n" : "</td>\n"); break;
    case NODE_A: put_str(out, "</a>"); break;
    case NODE_B: put_str(out, "</strong>"); break;
    case NODE_I: put_str(out, "</em>"); break;
    case NODE_U: put_str(out, "</u>"); break;
    case NODE_S: put_str(out, "</del>"); break;
    case NODE_C: put_str(out, "</code>"); break;
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
    w.out.sink = out;
    find_title(&input, &title);
    put_str(&w.out, "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>");
    if (title.size)
        put_html_text(&w.out, (const char *)title.data, title.size);
    else
        put_str(&w.out, "Document");
    put_str(&w.out, "</title>\n<style>\n");
    put_str(&w.out, style_sheet);
    put_str(&w.out, "</style>\n</head>\n<body>\n");
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
                put_bytes(&w.out, e.text, e.length);
            } else {
                start_item_text(&w);
                put_html_text(&w.out, e.text, e.length);
                w.code_has_text |= w.in_code && e.length > 0;
            }
            break;
        case EV_BR:
            if (w.in_image) {
                put_byte(&w.alt, ' ');
                break;
            }
            start_item_text(&w);
            put_str(&w.out, "<br>\n");
            break;
        case EV_HR:
            close_lists_to(&w, list_floor(&w, e.item));
            put_str(&w.out, "<hr>\n");
            w.text_last = 0;
            break;
        }
    }
    close_lists_to(&w, 0);
    doc_read_end(&r);
    release_input(&input);
    free(w.alt.data);
    free(w.image_title.data);
    put_str(&w.out, "</body>\n</html>\n");
    return finish_output(out, &w.out);
}
