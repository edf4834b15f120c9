/* The Markdown writer: CommonMark with GitHub's pipe tables, strike-through
 * and footnotes; superscript and subscript as the HTML tags GitHub keeps,
 * definition lists and tables whose cells hold blocks as HTML blocks.
 * Everything that would turn into markup is escaped, so the Markdown reader
 * gives the same document back. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

#define LIST_DEPTH 33
/* Cells added to fill short table rows up to the widest, over the whole
 * document.  A table whose first row is thousands of cells wide over
 * thousands of one-cell rows would be filled into the square of its input
 * (8,000 by 8,000: 192 MB from 57 KB).  A quarter of a million cells
 * (768 KiB of "  |") and two for each cell the document's tables hold,
 * which no ordinary document reaches; a table whose filling would pass it
 * keeps each row's own cells, as Markdown readers fill them anyway. */
#define FILL_FLOOR_CELLS 262144
#define FILL_CELLS_PER_CELL 2
/* The output is written out once this much of it lies before the line
 * being written: nothing before that line is looked at again, and Markdown
 * may be dozens of times its input (the quote marks and item indents that
 * begin every line), which memory would otherwise hold whole.  The test
 * build with tiny buffers writes out at every line where it may. */
#define OUTPUT_KEPT ((size_t)SINK_SIZE)
/* 64 quotes, the deepest the document reader nests, and every list level */
#define CONTAINER_DEPTH 128

/* Punctuation that is markup anywhere in a line. */
static const unsigned char escape_anywhere[256] = {
    ['\\'] = 1, ['*'] = 1, ['_'] = 1, ['`'] = 1, ['['] = 1, [']'] = 1, ['<'] = 1, ['|'] = 1, ['~'] = 1,
};
/* Bytes the text loop stops at. */
static const unsigned char text_stop[256] = {
    ['\\'] = 1, ['*'] = 1, ['_'] = 1, ['`'] = 1, ['['] = 1, [']'] = 1, ['<'] = 1, ['|'] = 1, ['~'] = 1,
    ['&'] = 1, ['\n'] = 1, ['#'] = 1, ['\r'] = 1,
};

/* A mark written with delimiters ("**", "_", "~~"): where its opening one
 * stands, in pending_open until the mark's text begins, then in out. */
typedef struct open_delimiter {
    size_t at;
    int pending;
} open_delimiter;

/* A mark's two delimiters in out, judged when its block ends. */
typedef struct delimited_mark {
    size_t open_at, close_at;
    size_t open_length, close_length;
    int node;
    int within_same; /* inside a mark written with the same character */
} delimited_mark;

/* What a line's prefix is made of: a block quote ("> "), or a list item,
 * whose text the lines after its marker's line line up with.  An item's
 * level is the document's, which its further blocks name; the items around
 * it, quotes between them or not, are fewer where the document skips one. */
typedef struct container {
    char quote;  /* 1: a block quote; 2: a footnote, whose lines are indented by four */
    char type;   /* an item's list: 'u' bulleted, 'o' numbered */
    char marker; /* '-' or '*', '.' or ')': a list right after one of its kind takes the other */
    char loose;
    int level;
    int width;
} container;

typedef struct table_row {
    size_t start, end;
    int cells;
} table_row;

typedef struct md_writer {
    buffer out;
    FILE *sink;          /* where the output goes */
    size_t written;      /* the bytes of output written out before out's first */
    buffer prefix;       /* written after each line end */
    size_t line_start;   /* where the current line begins in out */
    int fresh_line;      /* the line holds only its prefix: no separation needed */
    int wrote_block;
    int last_block;      /* the kind of the block written last */
    /* the quotes and list items the next line stands in, outermost first */
    container containers[CONTAINER_DEPTH];
    int depth;
    int quotes_beyond;   /* quotes opened with no room left: their ends end nothing */
    size_t quote_prefix; /* the prefix up to the innermost quote's mark: a blank line's */
    int block_tight;     /* the open code block follows its item's previous block on the next line */
    int in_raw;          /* raw HTML: written as it is */
    size_t item_text_start; /* where the open item's text begins */
    int item_interrupts; /* the open item follows text on the next line: empty, it would be taken for text */
    int empty_item;      /* level of an item without text: its first block goes on its marker's line */
    buffer marker_line;  /* a quote on an item's marker line: the line up to the quote marks */
    buffer link_title, image_src, image_title;
    note_numbers notes;  /* footnotes numbered in the order their references stand */
    int after_note;      /* a footnote's reference ends the output: a '(' or ':' after it is escaped */
    /* the open leaf */
    int leaf;
    int at_line_start;
    int past_first_line; /* the leaf's text goes on below its first line */
    int pending_break;   /* line breaks written only when text follows them */
    buffer pending_open; /* delimiters of marks whose text has not begun */
    int link_depth;
    int strike_depth;
    char emphasis[INLINE_DEPTH]; /* how each open emphasis is written: '*', '_', or '<' for HTML tags */
    int emphasis_depth;
    int italics, bolds;  /* open italic and bold marks */
    size_t star_closed_at; /* the end of the output where a "*" closes a mark */
    open_delimiter delimiters[INLINE_DEPTH]; /* of the open emphasis and strike-through */
    int delimiter_depth;
    delimited_mark *marks; /* closed in the open leaf */
    int mark_count, mark_capacity;
    int in_code_span;
    size_t code_span_at, code_span_end; /* where the last code span was written */
    /* Code spans side by side are one, rewritten whole as each joins it:
     * the bytes rewritten stay within doc_expansion_budget, past which a
     * span is parted from the one before by a space.  Thousands of spans
     * took time in the square of their number. */
    size_t rewrite_left;
    buffer code;         /* code span or code block being collected */
    buffer code_lang;
    /* tables */
    table_row *rows;
    int row_count, row_capacity;
    buffer aligns;       /* the first row's alignment of each column */
    size_t table_start;
    size_t cells_read, cells_filled; /* the document's table cells, and those added to fill rows */
    buffer html_tables;  /* of each table met outside a definition list: its cells hold blocks */
    size_t tables_met;
    buffer html;         /* a definition list or such a table, as HTML */
} md_writer;

static void build_prefix(md_writer *w)
{
    int i, j;
    w->prefix.size = 0;
    w->quote_prefix = 0;
    for (i = 0; i < w->depth; ++i) {
        const container *c = &w->containers[i];
        if (c->quote == 1) {
            put_bytes(&w->prefix, "> ", 2);
            w->quote_prefix = w->prefix.size;
        } else if (c->quote == 2) {
            put_bytes(&w->prefix, "    ", 4);
        } else {
            for (j = 0; j < c->width; ++j)
                put_byte(&w->prefix, ' ');
        }
    }
}

/* The innermost container when it is a list item. */
static container *top_item(md_writer *w)
{
    return w->depth > 0 && !w->containers[w->depth - 1].quote ? &w->containers[w->depth - 1] : NULL;
}

/* The level of the item the innermost quote stands in: items inside it
 * carry levels above it. */
static int item_floor(const md_writer *w)
{
    int i = w->depth - 1;
    while (i >= 0 && !w->containers[i].quote)
        --i;
    while (i >= 0 && w->containers[i].quote)
        --i;
    return i >= 0 ? w->containers[i].level : 0;
}

/* Ends the items inside the innermost quote whose level is above `level`. */
static void leave_items_above(md_writer *w, int level)
{
    while (w->depth > 0 && !w->containers[w->depth - 1].quote && w->containers[w->depth - 1].level > level)
        --w->depth;
}

static void trim_trailing_blanks(md_writer *w)
{
    while (w->out.size > w->line_start && (w->out.data[w->out.size - 1] == ' ' || w->out.data[w->out.size - 1] == '\t'))
        --w->out.size;
}

/* Writes out the lines before the one being written when enough of them
 * have gathered.  Places in out before that line are never met again. */
static void write_out_lines(md_writer *w)
{
    const size_t done = w->line_start;
    if (done < OUTPUT_KEPT || w->out.failed)
        return;
    if (fwrite(w->out.data, 1, done, w->sink) != done) {
        w->out.failed = 1;
        refusal_set(REFUSAL_WRITE_ERROR);
        return;
    }
    memmove(w->out.data, w->out.data + done, w->out.size - done);
    w->out.size -= done;
    w->written += done;
    w->line_start = 0;
    w->item_text_start = w->item_text_start >= done ? w->item_text_start - done : (size_t)-1;
    w->star_closed_at = w->star_closed_at >= done ? w->star_closed_at - done : 0;
}

static void settle_marks(md_writer *w);

/* The same after a line end inside a leaf (not a table's cell, which its
 * table rewrites), where no delimiter is open or waits: the marks closed
 * before the line end are settled first, as the characters around them
 * are all written and those of marks after it lie beyond the line end. */
static void write_out_in_leaf(md_writer *w)
{
    if (w->line_start < OUTPUT_KEPT || w->leaf == NODE_CELL || w->delimiter_depth || w->pending_open.size ||
        w->in_code_span)
        return;
    settle_marks(w);
    w->code_span_at = w->code_span_end = 0;
    write_out_lines(w);
}

static void new_line(md_writer *w)
{
    trim_trailing_blanks(w);
    put_byte(&w->out, '\n');
    w->line_start = w->out.size;
    put_bytes(&w->out, w->prefix.data, w->prefix.size);
}

/* Ends the line and leaves a blank one (bearing the quote marks it is in). */
static void blank_line(md_writer *w)
{
    trim_trailing_blanks(w);
    put_byte(&w->out, '\n');
    w->line_start = w->out.size;
    put_bytes(&w->out, w->prefix.data, w->quote_prefix);
    trim_trailing_blanks(w);
    put_byte(&w->out, '\n');
    w->line_start = w->out.size;
    put_bytes(&w->out, w->prefix.data, w->prefix.size);
}

/* Puts the current prefix on a line that holds nothing else yet. */
static void rewrite_fresh_line(md_writer *w)
{
    w->out.size = w->line_start;
    if (w->marker_line.size && w->marker_line.data[0] == '[' && w->prefix.size >= 4) {
        /* a footnote's "[^1]: " stands for its indent of four */
        put_bytes(&w->out, w->marker_line.data, w->marker_line.size);
        put_bytes(&w->out, w->prefix.data + 4, w->prefix.size - 4);
        return;
    }
    if (w->marker_line.size && w->marker_line.size <= w->prefix.size) {
        put_bytes(&w->out, w->marker_line.data, w->marker_line.size);
        put_bytes(&w->out, w->prefix.data + w->marker_line.size, w->prefix.size - w->marker_line.size);
        return;
    }
    put_bytes(&w->out, w->prefix.data, w->prefix.size);
}

static void start_block(md_writer *w, int tight)
{
    if (w->empty_item) {
        w->empty_item = 0;
        w->wrote_block = 1;
        return;
    }
    if (w->fresh_line) {
        rewrite_fresh_line(w);
        w->fresh_line = 0;
        w->marker_line.size = 0;
    } else if (w->wrote_block) {
        if (tight)
            new_line(w);
        else
            blank_line(w);
    } else {
        put_bytes(&w->out, w->prefix.data, w->prefix.size);
    }
    w->wrote_block = 1;
}

static void put_text(md_writer *w, const char *s, size_t n);

static void flush_pending(md_writer *w)
{
    if (!w->pending_break)
        return;
    for (; w->pending_break > 0; --w->pending_break) {
        put_byte(&w->out, '\\');
        new_line(w);
        w->at_line_start = 1;
        w->past_first_line = 1;
    }
    write_out_in_leaf(w);
}

static void flush_open_marks(md_writer *w)
{
    int i;
    if (w->pending_open.size) {
        if (w->pending_open.data[0] == '[' && w->out.size > w->line_start && w->out.data[w->out.size - 1] == '!' &&
            (w->out.size < 2 || w->out.data[w->out.size - 2] != '\\')) {
            /* "!" before a link would make it an image */
            w->out.data[w->out.size - 1] = '\\';
            put_byte(&w->out, '!');
        }
        for (i = 0; i < w->delimiter_depth && i < INLINE_DEPTH; ++i)
            if (w->delimiters[i].pending) {
                w->delimiters[i].at += w->out.size;
                w->delimiters[i].pending = 0;
            }
        put_bytes(&w->out, w->pending_open.data, w->pending_open.size);
        w->pending_open.size = 0;
        w->at_line_start = 0;
    }
}

/* Line starts that would begin a block: escaped. */
static size_t escape_line_start(md_writer *w, const char *s, size_t n)
{
    size_t i = 0;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i; /* leading blanks are not kept by readers */
    if (i == n || s[i] == '\n')
        return i;
    flush_pending(w);
    flush_open_marks(w);
    w->at_line_start = 0;
    if (w->written + w->out.size == 0 && n - i >= 3 && memcmp(s + i, "\xEF\xBB\xBF", 3) == 0) {
        /* first in the file, U+FEFF would be read as a byte order mark */
        put_bytes(&w->out, "&#xFEFF;", 8);
        return i + 3;
    }
    switch (s[i]) {
    case '#': case '>': case '-': case '+': case '=':
        put_byte(&w->out, '\\');
        put_byte(&w->out, (unsigned char)s[i]);
        return i + 1;
    }
    if (s[i] >= '0' && s[i] <= '9') {
        size_t digits = i;
        while (digits < n && s[digits] >= '0' && s[digits] <= '9')
            ++digits;
        if (digits < n && digits - i <= 9 && (s[digits] == '.' || s[digits] == ')')) {
            put_bytes(&w->out, s + i, digits - i);
            put_byte(&w->out, '\\');
            put_byte(&w->out, (unsigned char)s[digits]);
            return digits + 1;
        }
    }
    return i;
}

static int is_alnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* Raw HTML in a line of text.  At the start of a paragraph's later line, a
 * tag like <div> would begin an HTML block: indented four columns, the line
 * goes on the paragraph, and readers drop the indentation.  Its own line
 * ends go on the block's lines (spaces in a one-line block), and leave no
 * blank line, which would end the paragraph. */
static void put_raw(md_writer *w, const char *s, size_t n, int one_line)
{
    size_t i = 0;
    while (i < n) {
        const char *end = (const char *)memchr(s + i, '\n', n - i);
        const size_t line = end ? (size_t)(end - (s + i)) : n - i;
        if (line > 0) {
            if (w->at_line_start && w->past_first_line)
                put_bytes(&w->out, "    ", 4);
            put_bytes(&w->out, s + i, line);
            w->at_line_start = 0;
            i += line;
        }
        if (i == n)
            break;
        ++i;
        if (one_line) {
            put_byte(&w->out, ' ');
        } else if (!w->at_line_start) {
            new_line(w);
            w->at_line_start = 1;
            w->past_first_line = 1;
            write_out_in_leaf(w);
        }
    }
}

/* Where a footnote stands: its number, as a reference GitHub reads. */
static void put_note_reference(md_writer *w, const doc_event *e)
{
    const int number = note_number(&w->notes, e->text, e->length);
    if (w->in_code_span || IS_VERBATIM(w->leaf) || number == 0)
        return;
    flush_pending(w);
    flush_open_marks(w);
    if (w->out.size > w->line_start && w->out.data[w->out.size - 1] == '!') {
        /* "![^1]" would be an image's start */
        w->out.data[w->out.size - 1] = '\\';
        put_byte(&w->out, '!');
    }
    put_str(&w->out, "[^");
    put_number(&w->out, number);
    put_byte(&w->out, ']');
    w->at_line_start = 0;
    w->after_note = 1;
}

/* A footnote's blocks, after the document's: "[^1]: " before the first,
 * the lines after it indented by four. */
static void open_note(md_writer *w, const doc_event *e)
{
    const int number = note_number(&w->notes, e->text, e->length);
    const container note = {2, 0, 0, 0, 0, 4};
    w->depth = 0;
    w->empty_item = 0;
    build_prefix(w);
    if (w->wrote_block)
        blank_line(w);
    w->line_start = w->out.size;
    w->marker_line.size = 0;
    put_str(&w->marker_line, "[^");
    put_number(&w->marker_line, number > 0 ? number : 1);
    put_str(&w->marker_line, "]: ");
    put_bytes(&w->out, w->marker_line.data, w->marker_line.size);
    w->containers[w->depth++] = note;
    build_prefix(w);
    w->fresh_line = 1;
    w->wrote_block = 1;
    w->last_block = NODE_NOTE;
}

static void close_note(md_writer *w)
{
    w->depth = 0;
    w->empty_item = 0;
    build_prefix(w);
    w->fresh_line = 0;
    w->marker_line.size = 0;
    w->last_block = NODE_NOTE;
}

static void put_text(md_writer *w, const char *s, size_t n)
{
    const int one_line = w->leaf == NODE_H || w->leaf == NODE_CELL;
    size_t i = 0, run;
    if (w->in_code_span) {
        put_bytes(&w->code, s, n);
        return;
    }
    if (w->in_raw) {
        flush_pending(w);
        flush_open_marks(w);
        put_raw(w, s, n, one_line);
        return;
    }
    if (IS_VERBATIM(w->leaf)) {
        put_bytes(&w->code, s, n);
        return;
    }
    while (i < n) {
        if (s[i] == '\r') {
            /* no text: Markdown would read it as a line end, and between
             * two line ends it would leave a blank line that ends the block */
            ++i;
            continue;
        }
        if (w->pending_break && s[i] != ' ' && s[i] != '\t' && s[i] != '\n')
            flush_pending(w); /* the text after a break starts a line */
        if (w->at_line_start) {
            i += escape_line_start(w, s + i, n - i);
            if (i >= n)
                break;
        }
        if (s[i] != ' ' && s[i] != '\t' && s[i] != '\n') {
            flush_pending(w);
            flush_open_marks(w);
        } else if (w->pending_open.size || w->pending_break) {
            /* blanks before the marks that open after them */
            if (s[i] == '\n' && !one_line) {
                ++i;
                continue;
            }
            put_byte(&w->out, ' ');
            ++i;
            continue;
        }
        if (w->after_note && (s[i] == '(' || s[i] == ':'))
            put_byte(&w->out, '\\'); /* "[^1](x)" would be a link, "[^1]:" a footnote */
        w->after_note = 0;
        for (run = i; run < n && !text_stop[(unsigned char)s[run]]; ++run)
            ;
        put_bytes(&w->out, s + i, run - i);
        i = run;
        if (i == n)
            break;
        switch (s[i]) {
        case '\n':
            if (one_line) {
                put_byte(&w->out, ' ');
            } else if (!w->at_line_start) { /* a blank line would end the paragraph */
                new_line(w);
                w->at_line_start = 1;
                w->past_first_line = 1;
                write_out_in_leaf(w);
            }
            break;
        case '\r': break;
        case '&':
            if (i + 1 < n && (s[i + 1] == '#' || is_alnum((unsigned char)s[i + 1])))
                put_byte(&w->out, '\\');
            put_byte(&w->out, '&');
            break;
        case '#':
            if (w->leaf == NODE_H)
                put_byte(&w->out, '\\');
            put_byte(&w->out, '#');
            break;
        case '_':
            /* inside a word it is no delimiter ("snake_case", a bare
             * address that GitHub turns into a link) */
            if (i == 0 || i + 1 == n || !is_alnum((unsigned char)s[i - 1]) || !is_alnum((unsigned char)s[i + 1]))
                put_byte(&w->out, '\\');
            put_byte(&w->out, '_');
            break;
        default:
            if (escape_anywhere[(unsigned char)s[i]])
                put_byte(&w->out, '\\');
            put_byte(&w->out, (unsigned char)s[i]);
        }
        ++i;
    }
}

static void put_backtick_fenced(buffer *out, const buffer *code, int at_least)
{
    size_t i, run = 0, longest = 0;
    int fence;
    for (i = 0; i < code->size; ++i) {
        run = code->data[i] == '`' ? run + 1 : 0;
        if (run > longest)
            longest = run;
    }
    fence = (int)longest + 1 > at_least ? (int)longest + 1 : at_least;
    for (i = 0; i < (size_t)fence; ++i)
        put_byte(out, '`');
}

static void close_code_span(md_writer *w)
{
    size_t i, all_spaces = 1;
    int pad;
    w->in_code_span = 0;
    for (i = 0; i < w->code.size; ++i) {
        /* read back as a space: a line end in a code span is one, and
         * two of them would make a blank line that ends the paragraph */
        if (w->code.data[i] == '\n' || w->code.data[i] == '\r')
            w->code.data[i] = ' ';
        if (w->code.data[i] != ' ')
            all_spaces = 0;
    }
    if (w->code.size == 0)
        return;
    flush_pending(w);
    flush_open_marks(w);
    pad = !all_spaces && (w->code.data[0] == '`' || w->code.data[w->code.size - 1] == '`' ||
                          (w->code.data[0] == ' ' && w->code.data[w->code.size - 1] == ' '));
    w->code_span_at = w->out.size;
    put_backtick_fenced(&w->out, &w->code, 1);
    if (pad)
        put_byte(&w->out, ' ');
    if (w->leaf == NODE_CELL) {
        /* a table's "|" ends its cell even inside code */
        for (i = 0; i < w->code.size; ++i) {
            if (w->code.data[i] == '|')
                put_byte(&w->out, '\\');
            put_byte(&w->out, w->code.data[i]);
        }
    } else {
        put_bytes(&w->out, w->code.data, w->code.size);
    }
    if (pad)
        put_byte(&w->out, ' ');
    put_backtick_fenced(&w->out, &w->code, 1);
    w->code_span_end = w->out.size;
    w->at_line_start = 0;
}

static const char *delimiter(int node, int closing)
{
    switch (node) {
    case NODE_B: return "**";
    case NODE_I: return "*";
    case NODE_S: return "~~";
    case NODE_U: return closing ? "</u>" : "<u>";
    case NODE_SUP: return closing ? "</sup>" : "<sup>";
    case NODE_SUB: return closing ? "</sub>" : "<sub>";
    case NODE_A: return closing ? "]" : "[";
    case NODE_IMG: return closing ? "]" : "![";
    }
    return "";
}

static void put_link_target(buffer *out, const char *s, size_t n, const buffer *title)
{
    size_t i;
    int angle = n == 0;
    for (i = 0; i < n; ++i)
        if (s[i] == ' ' || s[i] == '(' || s[i] == ')' || (unsigned char)s[i] < 0x20)
            angle = 1;
    put_byte(out, '(');
    if (angle)
        put_byte(out, '<');
    /* "|" escaped too: in a table cell it would end the cell; "&" would
     * begin a reference.  Tabs and line ends are no part of an address, as
     * browsers read one; other control characters are escaped as in a URL. */
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '\\' || c == '<' || c == '>' || c == '|' || c == '&')
            put_byte(out, '\\');
        if (c >= 0x20)
            put_byte(out, c);
        else if (c != '\t' && c != '\r' && c != '\n')
            put_percent_byte(out, c);
    }
    if (angle)
        put_byte(out, '>');
    if (title->size) {
        /* control characters as references: a blank line would end the paragraph */
        put_bytes(out, " \"", 2);
        for (i = 0; i < title->size; ++i) {
            const unsigned char c = title->data[i];
            if (c < 0x20) {
                put_bytes(out, "&#", 2);
                put_number(out, c);
                put_byte(out, ';');
                continue;
            }
            if (c == '"' || c == '\\' || c == '|' || c == '&')
                put_byte(out, '\\');
            put_byte(out, c);
        }
        put_byte(out, '"');
    }
    put_byte(out, ')');
}

/* The HTML tags the Markdown reader takes for a mark. */
static const char *mark_tag(int node, int closing)
{
    switch (node) {
    case NODE_B: return closing ? "</strong>" : "<strong>";
    case NODE_I: return closing ? "</em>" : "<em>";
    default: return closing ? "</del>" : "<del>";
    }
}

/* A picture's data as its address: "data:image/png;base64,...". */
static void put_data_address(buffer *out, const char *media_type, const unsigned char *data, size_t n)
{
    put_str(out, "data:");
    put_str(out, media_type);
    put_str(out, ";base64,");
    put_base64(out, data, n);
}

static void open_inline(md_writer *w, const doc_event *e)
{
    if (w->in_code_span || IS_VERBATIM(w->leaf))
        return;
    if (e->node == NODE_RAW) {
        w->in_raw = 1;
        return;
    }
    if (e->node == NODE_IMG) {
        w->image_src.size = w->image_title.size = 0;
        if (e->picture && e->picture->data_length && *e->picture->media_type)
            put_data_address(&w->image_src, e->picture->media_type, e->picture->data, e->picture->data_length);
        else
            put_bytes(&w->image_src, e->text, e->length);
        put_bytes(&w->image_title, e->title, e->title_length);
    }
    if (e->node == NODE_C) {
        /* two code spans side by side would read as one: they are one */
        const int beside = w->out.size == w->code_span_end && w->code_span_end > w->code_span_at &&
                           !w->pending_open.size;
        w->in_code_span = 1;
        if (beside && doc_spend(&w->rewrite_left, w->code.size)) {
            w->out.size = w->code_span_at;
            return;
        }
        if (beside) {
            put_byte(&w->out, ' ');
            w->rewrite_left = 0; /* and so are all after it: one rule past the budget */
        }
        w->code.size = 0;
        return;
    }
    if ((e->node == NODE_A && w->link_depth++ > 0) || (e->node == NODE_S && w->strike_depth++ > 0))
        return; /* a strike-through inside another shows as one */
    if (e->node == NODE_I || e->node == NODE_B || e->node == NODE_S) {
        if (w->delimiter_depth < INLINE_DEPTH) {
            w->delimiters[w->delimiter_depth].at = w->pending_open.size;
            w->delimiters[w->delimiter_depth].pending = 1;
        }
        ++w->delimiter_depth;
    }
    if (e->node == NODE_I || e->node == NODE_B) {
        /* "*" after "*" would join it into one run: emphasis there is "_" */
        const int after_star = w->pending_open.size ? w->pending_open.data[w->pending_open.size - 1] == '*'
                                                    : w->out.size && w->out.size == w->star_closed_at;
        int *same = e->node == NODE_I ? &w->italics : &w->bolds;
        /* in a mark of its kind, delimiters could pair with the outer ones */
        const char c = *same > 0 ? '<' : after_star ? '_' : '*';
        ++*same;
        if (w->emphasis_depth < INLINE_DEPTH)
            w->emphasis[w->emphasis_depth] = c;
        ++w->emphasis_depth;
        if (c != '*') {
            put_str(&w->pending_open, c == '<' ? mark_tag(e->node, 0) : e->node == NODE_B ? "__" : "_");
            return;
        }
    }
    put_str(&w->pending_open, delimiter(e->node, 0));
}

static void remember_mark(md_writer *w, int node, size_t open_at, size_t open_length, size_t close_at,
                          size_t close_length)
{
    delimited_mark *mark, *marks;
    int within_same = 0, i;
    for (i = 0; i < w->delimiter_depth && i < INLINE_DEPTH; ++i)
        if (!w->delimiters[i].pending && w->out.data[w->delimiters[i].at] == w->out.data[open_at])
            within_same = 1;
    marks = (delimited_mark *)room_for_one(w->marks, w->mark_count, &w->mark_capacity, 16, sizeof *marks);
    if (!marks)
        return;
    w->marks = marks;
    mark = &w->marks[w->mark_count++];
    mark->node = node;
    mark->open_at = open_at;
    mark->open_length = open_length;
    mark->close_at = close_at;
    mark->close_length = close_length;
    mark->within_same = within_same;
}

typedef struct tag_edit {
    size_t at, length; /* the delimiter replaced */
    const char *tag;
} tag_edit;

static int by_place(const void *a, const void *b)
{
    const size_t x = ((const tag_edit *)a)->at, y = ((const tag_edit *)b)->at;
    return x < y ? -1 : x > y;
}

/* A delimiter that the characters around it keep from opening or closing
 * ("**" between a letter and a bracket) would be read back as text: such a
 * mark is written as the HTML tags that the reader takes for it instead. */
static void settle_marks(md_writer *w)
{
    tag_edit *edits;
    buffer tail = {0};
    size_t from, growth = 0, line_shift = 0;
    int count = 0, i;
    if (w->mark_count <= 0)
        return;
    edits = (tag_edit *)malloc((size_t)w->mark_count * 2 * sizeof *edits);
    if (!edits)
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; edits && i < w->mark_count; ++i) {
        const delimited_mark *m = &w->marks[i];
        const char *s = (const char *)w->out.data;
        const int opener = delimiter_run_use(s, w->out.size, m->open_at, m->open_length);
        if ((opener & DELIMITER_OPENS) &&
            (delimiter_run_use(s, w->out.size, m->close_at, m->close_length) & DELIMITER_CLOSES) &&
            /* an opening one that could close as well would end the mark around it */
            !(opener & DELIMITER_CLOSES && m->within_same))
            continue;
        edits[count++] = (tag_edit){m->open_at, m->open_length, mark_tag(m->node, 0)};
        edits[count++] = (tag_edit){m->close_at, m->close_length, mark_tag(m->node, 1)};
    }
    w->mark_count = 0;
    if (count == 0) {
        free(edits);
        return;
    }
    qsort(edits, (size_t)count, sizeof *edits, by_place);
    from = edits[0].at;
    put_bytes(&tail, w->out.data + from, w->out.size - from);
    w->out.size = from;
    for (i = 0; i < count; ++i) {
        const size_t next = i + 1 < count ? edits[i + 1].at : from + tail.size;
        put_str(&w->out, edits[i].tag);
        put_bytes(&w->out, tail.data + edits[i].at + edits[i].length - from, next - edits[i].at - edits[i].length);
        growth += strlen(edits[i].tag) - edits[i].length;
        if (edits[i].at < w->line_start)
            line_shift = growth;
    }
    w->line_start += line_shift;
    w->star_closed_at = 0;
    free(tail.data);
    free(edits);
}

static void close_inline(md_writer *w, const doc_event *e, const char *href, size_t href_length)
{
    const char *opening = delimiter(e->node, 0), *closing = delimiter(e->node, 1);
    const open_delimiter *opened = NULL;
    size_t blanks_at;
    if (e->node == NODE_C) {
        if (w->in_code_span)
            close_code_span(w);
        return;
    }
    if (w->in_code_span || IS_VERBATIM(w->leaf))
        return;
    if (e->node == NODE_RAW) {
        w->in_raw = 0;
        return;
    }
    if ((e->node == NODE_A && --w->link_depth > 0) || (e->node == NODE_S && --w->strike_depth > 0))
        return;
    if ((e->node == NODE_I || e->node == NODE_B || e->node == NODE_S) && w->delimiter_depth > 0 &&
        --w->delimiter_depth < INLINE_DEPTH)
        opened = &w->delimiters[w->delimiter_depth];
    if ((e->node == NODE_I || e->node == NODE_B) && w->emphasis_depth > 0) {
        --*(e->node == NODE_I ? &w->italics : &w->bolds);
        if (--w->emphasis_depth < INLINE_DEPTH && w->emphasis[w->emphasis_depth] == '_') {
            opening = closing = e->node == NODE_B ? "__" : "_";
        } else if (w->emphasis_depth < INLINE_DEPTH && w->emphasis[w->emphasis_depth] == '<') {
            opening = mark_tag(e->node, 0);
            closing = mark_tag(e->node, 1);
            opened = NULL; /* tags need no judging */
        }
    }
    if (e->node == NODE_IMG) {
        /* an image shows even without its alternative text */
        flush_pending(w);
        flush_open_marks(w);
        put_bytes(&w->out, "]", 1);
        put_link_target(&w->out, (const char *)w->image_src.data, w->image_src.size, &w->image_title);
        w->at_line_start = 0;
        return;
    }
    {
        const size_t length = strlen(opening);
        if (w->pending_open.size >= length &&
            memcmp(w->pending_open.data + w->pending_open.size - length, opening, length) == 0) {
            /* nothing inside: no marks */
            w->pending_open.size -= length;
            return;
        }
    }
    /* blanks at the end move outside the closing delimiter */
    blanks_at = w->out.size;
    while (blanks_at > w->line_start && w->out.data[blanks_at - 1] == ' ')
        --blanks_at;
    {
        size_t blanks = w->out.size - blanks_at;
        w->out.size = blanks_at;
        if (opened && !opened->pending)
            remember_mark(w, e->node, opened->at, strlen(opening), blanks_at, strlen(closing));
        put_str(&w->out, closing);
        if (closing[0] == '*')
            w->star_closed_at = w->out.size;
        if (e->node == NODE_A)
            put_link_target(&w->out, href, href_length, &w->link_title);
        while (blanks--)
            put_byte(&w->out, ' ');
    }
}

static void end_line_break(md_writer *w)
{
    if (w->in_code_span) {
        put_byte(&w->code, ' ');
    } else if (w->leaf == NODE_H || w->leaf == NODE_CELL) {
        put_str(&w->out, "<br>"); /* the line cannot end there: GitHub's way, which the reader takes back */
        w->at_line_start = 0;
    } else if (w->leaf == NODE_P || w->leaf == NODE_LI) {
        /* written when text follows: breaks at the end of a block show nothing,
         * and a "\\" there would be text */
        ++w->pending_break;
    }
}

/* Bullets `marker` on the line being written, when nothing else but quote
 * marks and blanks stands there. */
static int bullets_on_line(const md_writer *w, char marker)
{
    int count = 0;
    size_t i;
    for (i = w->line_start; i < w->out.size; ++i) {
        const char c = (char)w->out.data[i];
        if (c == marker)
            ++count;
        else if (c != ' ' && c != '>')
            return 0;
    }
    return count;
}

static void open_item(md_writer *w, const doc_event *e)
{
    const char type = e->number != DOC_BULLET ? 'o' : 'u';
    const int floor = item_floor(w);
    const container *parent = top_item(w);
    container *sibling, item = {0};
    int level = e->level, tight = 0;
    if (level <= floor)
        level = floor + 1;
    if (level > LIST_DEPTH - 1)
        level = LIST_DEPTH - 1;
    if (parent && level > parent->level) /* the first item of a list inside an item */
        tight = (type == 'u' || e->number == 1 || w->empty_item) && !parent->loose;
    if (w->empty_item && !(parent && level > parent->level && parent->level == w->empty_item))
        w->empty_item = 0;
    leave_items_above(w, level);
    item.type = type;
    item.marker = type == 'u' ? '-' : '.';
    item.loose = (char)e->loose;
    sibling = top_item(w);
    w->item_interrupts = tight && !w->empty_item && (w->last_block == NODE_P || w->last_block == NODE_LI) &&
                         !(sibling && sibling->level == level);
    if (sibling && sibling->level == level) {
        tight = sibling->type == type && !e->loose;
        if (sibling->type == type) /* the other marker parts two lists that follow each other */
            item.marker = !e->new_list ? sibling->marker : sibling->marker == '-' ? '*' : sibling->marker == '*' ? '-'
                          : sibling->marker == '.' ? ')' : '.';
        --w->depth;
    }
    item.level = level;
    build_prefix(w);
    start_block(w, tight);
    /* "- - -", items without text on one line, would be a thematic break */
    if (type == 'u' && bullets_on_line(w, item.marker) >= 2)
        item.marker = item.marker == '-' ? '*' : '-';
    {
        const size_t before = w->out.size;
        if (type == 'o')
            put_number(&w->out, e->number > 999999999 ? 999999999 : e->number);
        put_byte(&w->out, (unsigned char)item.marker);
        put_byte(&w->out, ' ');
        item.width = (int)(w->out.size - before);
    }
    if (w->depth < CONTAINER_DEPTH)
        w->containers[w->depth++] = item;
    build_prefix(w);
    w->item_text_start = w->out.size;
}

/* Sets the prefix of a block that goes on list item `item` (0: none) and
 * tells whether it may follow the block before without a blank line: only
 * code, a quote and a heading interrupt text there; a paragraph would run on
 * into the text before it, "---" would underline it, and a table could take
 * it for its header.  After a heading or fenced code, which end where they
 * stand, any block may follow; a quote after a quote needs the blank line. */
static int enter_block(md_writer *w, int item, int node)
{
    const container *in;
    if (w->empty_item && item != w->empty_item)
        w->empty_item = 0;
    leave_items_above(w, item);
    in = top_item(w);
    if (in && in->level != item) { /* no item of that level is open */
        leave_items_above(w, 0);
        in = NULL;
    }
    build_prefix(w);
    if (node == NODE_QUOTE && w->last_block == NODE_QUOTE)
        return 0; /* its lines would go on the quote before */
    /* a line of text right after a table would be one of its rows */
    return in && !in->loose && w->last_block != NODE_TABLE &&
           (node == NODE_CODE || node == NODE_QUOTE || node == NODE_H || w->last_block == NODE_H ||
            w->last_block == NODE_CODE);
}

static void begin_leaf(md_writer *w, const doc_event *e)
{
    int i, tight = 0;
    if (e->node != NODE_CELL)
        write_out_lines(w);
    if (e->node != NODE_LI && e->node != NODE_CELL)
        tight = enter_block(w, e->item, e->node);
    w->leaf = e->node;
    w->at_line_start = 1;
    w->past_first_line = 0;
    w->pending_break = 0;
    w->pending_open.size = 0;
    w->link_depth = w->strike_depth = w->emphasis_depth = w->italics = w->bolds = 0;
    w->in_code_span = 0;
    switch (e->node) {
    case NODE_P: start_block(w, tight); break;
    case NODE_H:
        start_block(w, tight);
        for (i = 0; i < e->level; ++i)
            put_byte(&w->out, '#');
        put_byte(&w->out, ' ');
        break;
    case NODE_LI: open_item(w, e); break;
    case NODE_HTML:
    case NODE_CODE:
        w->block_tight = tight;
        w->code.size = 0;
        w->code_lang.size = 0;
        put_bytes(&w->code_lang, e->text, e->length);
        break;
    case NODE_CELL:
        if (w->row_count == 1)
            put_byte(&w->aligns, (unsigned char)e->align);
        put_bytes(&w->out, w->rows[w->row_count - 1].cells ? " " : "| ", w->rows[w->row_count - 1].cells ? 1 : 2);
        ++w->rows[w->row_count - 1].cells;
        ++w->cells_read;
        break;
    }
}

/* Raw HTML as it came, line by line, blank lines bearing only the quote
 * marks. */
static void end_html_block(md_writer *w)
{
    size_t start = 0, i;
    start_block(w, w->block_tight);
    /* the first line's indentation could put the block into a list item
     * before it; it means nothing in HTML */
    while (start < w->code.size && (w->code.data[start] == ' ' || w->code.data[start] == '\t'))
        ++start;
    for (i = start; i < w->code.size;) {
        const unsigned char *end = (const unsigned char *)memchr(w->code.data + i, '\n', w->code.size - i);
        const size_t line_end = end ? (size_t)(end - w->code.data) : w->code.size;
        if (i > start) {
            new_line(w);
            write_out_lines(w);
        }
        put_bytes(&w->out, w->code.data + i, line_end - i);
        i = line_end + 1;
    }
}

static void end_code_block(md_writer *w)
{
    size_t i;
    const char *lang = (const char *)w->code_lang.data;
    start_block(w, w->block_tight);
    put_backtick_fenced(&w->out, &w->code, 3);
    for (i = 0; i < w->code_lang.size; ++i)
        if (lang[i] != '`' && lang[i] != ' ' && (unsigned char)lang[i] >= 0x20) {
            if (lang[i] == '\\' || lang[i] == '&') /* read as an escape or a reference */
                put_byte(&w->out, '\\');
            put_byte(&w->out, (unsigned char)lang[i]);
        }
    /* every line, the empty ones after a last line end too */
    for (i = 0; w->code.size > 0 && i <= w->code.size;) {
        const unsigned char *end = (const unsigned char *)memchr(w->code.data + i, '\n', w->code.size - i);
        const size_t line_end = end ? (size_t)(end - w->code.data) : w->code.size;
        w->line_start = w->out.size; /* keep the code's own blanks */
        put_byte(&w->out, '\n');
        w->line_start = w->out.size;
        write_out_lines(w);
        put_bytes(&w->out, w->prefix.data, w->prefix.size);
        put_bytes(&w->out, w->code.data + i, line_end - i);
        i = line_end + 1;
    }
    w->line_start = w->out.size;
    new_line(w);
    put_backtick_fenced(&w->out, &w->code, 3);
}

/* An empty list item cannot begin a list right after a line of text,
 * where it would read as more of that text: a blank line goes before it. */
static void part_from_text_before(md_writer *w)
{
    size_t blank = w->quote_prefix;
    const size_t line = w->line_start, tail = w->out.size - line;
    while (blank > 0 && w->prefix.data[blank - 1] == ' ')
        --blank;
    if (!reserve(&w->out, blank + 1))
        return;
    memmove(w->out.data + line + blank + 1, w->out.data + line, tail);
    memcpy(w->out.data + line, w->prefix.data, blank);
    w->out.data[line + blank] = '\n';
    w->out.size += blank + 1;
    w->line_start += blank + 1;
    w->item_text_start += blank + 1;
}

static void end_leaf(md_writer *w)
{
    if (w->in_code_span)
        close_code_span(w);
    settle_marks(w);
    w->delimiter_depth = 0;
    w->code_span_at = w->code_span_end = 0;
    w->pending_break = 0;
    w->pending_open.size = 0;
    w->in_raw = 0;
    if (w->leaf == NODE_CODE)
        end_code_block(w);
    else if (w->leaf == NODE_HTML)
        end_html_block(w);
    else if (w->leaf == NODE_CELL)
        put_bytes(&w->out, " |", 2);
    else if (w->leaf == NODE_LI && w->out.size == w->item_text_start && top_item(w)) {
        w->empty_item = top_item(w)->level;
        if (w->item_interrupts)
            part_from_text_before(w);
    }
    w->last_block = w->leaf;
    w->leaf = NODE_NONE;
}

static void begin_row(md_writer *w)
{
    table_row *row, *rows = (table_row *)room_for_one(w->rows, w->row_count, &w->row_capacity, 16, sizeof *rows);
    if (!rows)
        return;
    w->rows = rows;
    row = &w->rows[w->row_count++];
    row->start = w->out.size;
    row->cells = 0;
}

/* Whether the rows after the header are filled up to the widest: while
 * the cells that adds stay within the document's budget. */
static int fill_rows(md_writer *w, int widest)
{
    const size_t budget = FILL_FLOOR_CELLS + FILL_CELLS_PER_CELL * w->cells_read;
    size_t fill = 0;
    int i;
    for (i = 1; i < w->row_count; ++i)
        fill += (size_t)(widest - w->rows[i].cells);
    if (w->cells_filled + fill > budget)
        return 0;
    w->cells_filled += fill;
    return 1;
}

/* Rows are written as they come; at the end the header's delimiter row goes
 * in and short rows are filled up to the widest.  The header is always
 * filled: readers drop the cells of a row beyond the header's. */
static void end_table(md_writer *w)
{
    buffer rows = {0};
    int widest = 0, filled, i, j;
    for (i = 0; i < w->row_count; ++i)
        if (w->rows[i].cells > widest)
            widest = w->rows[i].cells;
    filled = fill_rows(w, widest);
    put_bytes(&rows, w->out.data + w->table_start, w->out.size - w->table_start);
    w->out.size = w->table_start;
    if (widest == 0) {
        free(rows.data);
        w->row_count = 0;
        return;
    }
    start_block(w, 0);
    for (i = 0; i < w->row_count; ++i) {
        const table_row *row = &w->rows[i];
        /* a row of no cells keeps one: "|" alone would be no row */
        const int width = i == 0 || filled ? widest : row->cells ? row->cells : 1;
        if (i > 0) {
            new_line(w);
            write_out_lines(w);
        }
        if (row->cells == 0)
            put_str(&w->out, "|");
        else
            put_bytes(&w->out, rows.data + row->start - w->table_start, row->end - row->start);
        for (j = row->cells; j < width; ++j)
            put_str(&w->out, "  |");
        if (i == 0) {
            new_line(w);
            put_str(&w->out, "|");
            for (j = 0; j < widest; ++j) {
                const int align = (size_t)j < w->aligns.size ? w->aligns.data[j] : 0;
                put_str(&w->out, align == DOC_ALIGN_CENTER ? " :-: |" : align == DOC_ALIGN_RIGHT ? " --: |"
                                 : align == DOC_ALIGN_LEFT ? " :-- |" : " --- |");
            }
        }
    }
    w->last_block = NODE_TABLE;
    free(rows.data);
    w->row_count = 0;
}

/* ---- What GitHub's Markdown has no syntax for, as the HTML it keeps ----
 * A definition list, and a table whose cells hold blocks (a pipe table's
 * cell holds one line), go out as one HTML block, as GitHub renders them.
 * Such a block ends at a blank line: none is written inside it, so a line
 * end in code goes as "&#10;" and blanks after a line end are dropped. */

typedef struct html_list {
    char ordered;
    int level;
} html_list;

/* A container open in the block: its lists and blocks are its own. */
typedef struct html_container {
    int node;
    int list_floor;   /* lists open when it opened */
    size_t start;     /* where its content begins */
    int blocks;       /* blocks written directly in it */
    int only_p;       /* and they were one paragraph */
} html_container;

typedef struct html_writer {
    md_writer *w;
    buffer out;
    html_list lists[LIST_DEPTH];
    int list_count;
    html_container containers[CONTAINER_DEPTH];
    int depth;
    int leaf;
    int in_raw, in_img;
    buffer alt;
} html_writer;

static void html_line(html_writer *h)
{
    if (h->out.size && h->out.data[h->out.size - 1] != '\n')
        put_byte(&h->out, '\n');
}

/* Text as HTML; `verbatim` keeps its line ends (code), raw HTML its markup. */
static void html_text(html_writer *h, buffer *to, const char *s, size_t n, int verbatim)
{
    size_t i;
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        const int line_start = to->size == 0 || to->data[to->size - 1] == '\n';
        if (c == '\r' || ((c == ' ' || c == '\t' || c == '\n') && line_start && !verbatim))
            continue;
        if (c == '\n')
            put_str(to, verbatim ? "&#10;" : "\n");
        else if (h->in_raw || h->leaf == NODE_HTML)
            put_byte(to, c);
        else if (c == '&')
            put_str(to, "&amp;");
        else if (c == '<')
            put_str(to, "&lt;");
        else if (c == '>')
            put_str(to, "&gt;");
        else if (c == '"')
            put_str(to, "&quot;");
        else
            put_byte(to, c);
    }
}

static void html_attribute(html_writer *h, const char *name, const char *s, size_t n)
{
    put_byte(&h->out, ' ');
    put_str(&h->out, name);
    put_str(&h->out, "=\"");
    html_text(h, &h->out, s, n, 1);
    put_byte(&h->out, '"');
}

/* Ends the lists above `level`, down to those of the innermost container. */
static void html_close_lists(html_writer *h, int level)
{
    const int floor = h->depth ? h->containers[h->depth - 1].list_floor : 0;
    while (h->list_count > floor && h->lists[h->list_count - 1].level > level) {
        --h->list_count;
        put_str(&h->out, h->lists[h->list_count].ordered ? "</li>\n</ol>" : "</li>\n</ul>");
    }
}

/* An item ends the one before it at its level; a list of the other kind
 * there ends, and one of its own begins. */
static void html_open_item(html_writer *h, const doc_event *e)
{
    const char ordered = e->number != DOC_BULLET;
    const int floor = h->depth ? h->containers[h->depth - 1].list_floor : 0;
    html_close_lists(h, e->level);
    if (h->list_count > floor && h->lists[h->list_count - 1].level == e->level &&
        h->lists[h->list_count - 1].ordered != ordered)
        html_close_lists(h, e->level - 1);
    if (h->list_count > floor && h->lists[h->list_count - 1].level == e->level) {
        put_str(&h->out, "</li>\n");
    } else if (h->list_count < LIST_DEPTH) {
        html_line(h);
        h->lists[h->list_count].ordered = ordered;
        h->lists[h->list_count++].level = e->level;
        if (!ordered) {
            put_str(&h->out, "<ul>\n");
        } else {
            put_str(&h->out, "<ol start=\"");
            put_number(&h->out, e->number);
            put_str(&h->out, "\">\n");
        }
    }
    put_str(&h->out, "<li>");
}

static void html_push(html_writer *h, int node)
{
    html_container *c;
    if (h->depth >= CONTAINER_DEPTH)
        return;
    c = &h->containers[h->depth++];
    c->node = node;
    c->list_floor = h->list_count;
    c->start = h->out.size;
    c->blocks = 0;
    c->only_p = 1;
}

/* A definition or a cell of one paragraph holds its text alone: 1 then. */
static int html_pop(html_writer *h)
{
    const html_container *c;
    html_close_lists(h, 0);
    if (h->depth == 0)
        return 0;
    c = &h->containers[--h->depth];
    if ((c->node == NODE_DD || c->node == NODE_CELL) && c->blocks == 1 && c->only_p &&
        h->out.size >= c->start + 8 && memcmp(h->out.data + c->start, "\n<p>", 4) == 0 &&
        memcmp(h->out.data + h->out.size - 4, "</p>", 4) == 0) {
        memmove(h->out.data + c->start, h->out.data + c->start + 4, h->out.size - c->start - 4);
        h->out.size -= 8; /* and its "</p>" */
        return 1;
    }
    return 0;
}

/* A block directly in the innermost container, after the lists it ends. */
static void html_count_block(html_writer *h, const doc_event *e)
{
    if (e->node != NODE_LI)
        html_close_lists(h, e->item);
    if (h->depth && h->list_count == h->containers[h->depth - 1].list_floor) {
        html_container *c = &h->containers[h->depth - 1];
        ++c->blocks;
        c->only_p = c->only_p && e->node == NODE_P && c->start == h->out.size;
    }
}

static const char *html_tag(int node, int closing)
{
    switch (node) {
    case NODE_P: return closing ? "</p>" : "<p>";
    case NODE_DT: return closing ? "</dt>" : "<dt>";
    case NODE_DL: return closing ? "</dl>" : "<dl>";
    case NODE_DD: return closing ? "</dd>" : "<dd>";
    case NODE_QUOTE: return closing ? "</blockquote>" : "<blockquote>";
    case NODE_TABLE: return closing ? "</table>" : "<table>";
    case NODE_ROW: return closing ? "</tr>" : "<tr>";
    case NODE_CODE: return closing ? "</code></pre>" : "<pre><code";
    case NODE_B: return closing ? "</strong>" : "<strong>";
    case NODE_I: return closing ? "</em>" : "<em>";
    case NODE_U: return closing ? "</u>" : "<u>";
    case NODE_S: return closing ? "</del>" : "<del>";
    case NODE_C: return closing ? "</code>" : "<code>";
    case NODE_SUP: return closing ? "</sup>" : "<sup>";
    case NODE_SUB: return closing ? "</sub>" : "<sub>";
    case NODE_A: return closing ? "</a>" : "<a";
    }
    return "";
}

static void html_open_block(html_writer *h, const doc_event *e)
{
    static const char *const aligns[] = {"", " align=\"left\"", " align=\"center\"", " align=\"right\""};
    html_count_block(h, e);
    if (e->node == NODE_LI) {
        html_open_item(h, e);
    } else if (e->node == NODE_H) {
        html_line(h);
        put_str(&h->out, "<h");
        put_number(&h->out, e->level < 1 ? 1 : e->level > 6 ? 6 : e->level);
        put_byte(&h->out, '>');
    } else if (e->node == NODE_CELL) {
        html_line(h);
        put_str(&h->out, e->header ? "<th" : "<td");
        put_str(&h->out, aligns[e->align == DOC_ALIGN_LEFT ? 1 : e->align == DOC_ALIGN_CENTER ? 2
                                : e->align == DOC_ALIGN_RIGHT ? 3 : 0]);
        put_byte(&h->out, '>');
    } else {
        html_line(h);
        put_str(&h->out, html_tag(e->node, 0));
        if (e->node == NODE_CODE && e->length) {
            put_str(&h->out, " class=\"language-");
            html_text(h, &h->out, e->text, e->length, 1);
            put_byte(&h->out, '"');
        }
        if (e->node == NODE_CODE)
            put_byte(&h->out, '>');
    }
    if (IS_LEAF(e->node))
        h->leaf = e->node;
    if (e->node == NODE_CELL || (!IS_LEAF(e->node) && e->node != NODE_HR))
        html_push(h, e->node);
}

static void html_close_block(html_writer *h, const doc_event *e)
{
    if (e->node == NODE_LI || e->node == NODE_HTML) {
        /* an item ends with the next one or its list */
    } else if (e->node == NODE_H) {
        put_str(&h->out, "</h");
        put_number(&h->out, e->level < 1 ? 1 : e->level > 6 ? 6 : e->level);
        put_byte(&h->out, '>');
    } else {
        if ((!IS_LEAF(e->node) || e->node == NODE_CELL) && !html_pop(h) && e->node != NODE_CELL)
            html_line(h);
        put_str(&h->out, e->node == NODE_CELL ? (e->header ? "</th>" : "</td>") : html_tag(e->node, 1));
    }
    h->leaf = NODE_NONE;
}

/* Marks GitHub keeps as HTML; small capitals it has none for keep their text. */
static void html_inline(html_writer *h, const doc_event *e)
{
    const int open = e->kind == EV_OPEN;
    md_writer *w = h->w;
    if (e->node == NODE_RAW) {
        h->in_raw = open;
    } else if (e->node == NODE_IMG && open) {
        w->image_src.size = w->image_title.size = h->alt.size = 0;
        if (e->picture && e->picture->data_length && *e->picture->media_type)
            put_data_address(&w->image_src, e->picture->media_type, e->picture->data, e->picture->data_length);
        else
            put_bytes(&w->image_src, e->text, e->length);
        put_bytes(&w->image_title, e->title, e->title_length);
        h->in_img = 1;
    } else if (e->node == NODE_IMG) {
        h->in_img = 0;
        put_str(&h->out, "<img");
        html_attribute(h, "src", (const char *)w->image_src.data, w->image_src.size);
        html_attribute(h, "alt", (const char *)h->alt.data, h->alt.size);
        if (w->image_title.size)
            html_attribute(h, "title", (const char *)w->image_title.data, w->image_title.size);
        put_byte(&h->out, '>');
    } else if (e->node == NODE_FN && open) {
        /* GitHub links no footnote from HTML: its number stays */
        put_str(&h->out, "<sup>");
        put_number(&h->out, note_number(&w->notes, e->text, e->length));
        put_str(&h->out, "</sup>");
    } else if (e->node == NODE_A && open) {
        put_str(&h->out, "<a");
        html_attribute(h, "href", e->text, e->length);
        if (e->title_length)
            html_attribute(h, "title", e->title, e->title_length);
        put_byte(&h->out, '>');
    } else if (e->node != NODE_FN && e->node != NODE_SC) {
        put_str(&h->out, html_tag(e->node, !open));
    }
}

static void html_event(html_writer *h, const doc_event *e)
{
    switch (e->kind) {
    case EV_OPEN:
    case EV_CLOSE:
        if (IS_INLINE(e->node) || e->node == NODE_IMG || e->node == NODE_RAW || e->node == NODE_FN)
            html_inline(h, e);
        else if (e->kind == EV_OPEN)
            html_open_block(h, e);
        else
            html_close_block(h, e);
        break;
    case EV_TEXT:
        if (h->in_img)
            put_bytes(&h->alt, e->text, e->length); /* escaped as the attribute */
        else
            html_text(h, &h->out, e->text, e->length, h->leaf == NODE_CODE);
        break;
    case EV_BR: put_str(&h->out, "<br>\n"); break;
    case EV_HR:
        html_count_block(h, e);
        html_line(h);
        put_str(&h->out, "<hr>");
        break;
    }
}

/* The definition list or table that `first` opens, to its end, as one
 * HTML block in the containers it stands in. */
static void write_html_block(md_writer *w, doc_reader *r, const doc_event *first)
{
    html_writer h;
    doc_event e = *first;
    int open = 0;
    size_t i;
    memset(&h, 0, sizeof h);
    h.w = w;
    h.out = w->html;
    h.out.size = 0;
    enter_block(w, first->item, NODE_TABLE);
    do {
        open += e.kind == EV_OPEN ? 1 : e.kind == EV_CLOSE ? -1 : 0;
        html_event(&h, &e);
    } while (open > 0 && doc_next(r, &e) != EV_END);
    start_block(w, 0);
    for (i = 0; i < h.out.size;) {
        const unsigned char *end = (const unsigned char *)memchr(h.out.data + i, '\n', h.out.size - i);
        const size_t line_end = end ? (size_t)(end - h.out.data) : h.out.size;
        if (i > 0) {
            new_line(w);
            write_out_lines(w);
        }
        put_bytes(&w->out, h.out.data + i, line_end - i);
        i = line_end + 1;
    }
    w->html = h.out;
    free(h.alt.data);
    w->last_block = NODE_TABLE; /* what follows stands after a blank line */
}

static int holds_string(const buffer *b, const char *s)
{
    const size_t n = strlen(s);
    size_t i;
    for (i = 0; i + n <= b->size; ++i) {
        const unsigned char *at = find_byte(b->data + i, b->size - i - n + 1, (unsigned char)s[0]);
        if (!at)
            return 0;
        i = (size_t)(at - b->data);
        if (memcmp(at, s, n) == 0)
            return 1;
    }
    return 0;
}

/* Which of the tables the writer meets (those outside definition lists,
 * which take theirs along) have cells that hold blocks: one byte each. */
static void find_html_tables(md_writer *w, const buffer *input)
{
    doc_reader r;
    doc_event e;
    int tables = 0, lists = 0, blocks = 0;
    if (!holds_string(input, " cell"))
        return; /* no cell holds a block */
    doc_read_begin(&r, input);
    while (doc_next(&r, &e) != EV_END) {
        if (e.node == NODE_DL && tables == 0)
            lists += e.kind == EV_OPEN ? 1 : e.kind == EV_CLOSE ? -1 : 0;
        else if (lists)
            continue;
        else if (e.node == NODE_TABLE && e.kind == EV_OPEN)
            blocks = tables++ ? 1 : 0;
        else if (e.node == NODE_TABLE && e.kind == EV_CLOSE && --tables == 0)
            put_byte(&w->html_tables, (unsigned char)blocks);
        else if (e.kind == EV_OPEN && e.in_cell)
            blocks = 1;
    }
    doc_read_end(&r);
}

/* A block quote opens: on the marker line of an item without text of its
 * own, else after a blank line (or none, in a tight item). */
static void open_quote(md_writer *w, const doc_event *e)
{
    const int tight = enter_block(w, e->item, NODE_QUOTE);
    if (w->empty_item) {
        /* "1. > quoted": the marker stays on the quote's first line */
        w->empty_item = 0;
        w->marker_line.size = 0;
        put_bytes(&w->marker_line, w->out.data + w->line_start, w->item_text_start - w->line_start);
    } else if (!w->fresh_line && w->wrote_block) {
        if (tight)
            new_line(w);
        else
            blank_line(w);
    } else if (!w->fresh_line) {
        w->line_start = w->out.size;
    }
    if (w->depth < CONTAINER_DEPTH) {
        const container quote = {1, 0, 0, 0, 0, 0};
        w->containers[w->depth++] = quote;
    } else {
        ++w->quotes_beyond;
    }
    build_prefix(w);
    rewrite_fresh_line(w);
    w->fresh_line = 1;
    w->wrote_block = 1;
}

static void close_quote(md_writer *w)
{
    w->empty_item = 0; /* an item without text inside the quote ends with it */
    if (w->quotes_beyond > 0) {
        --w->quotes_beyond;
    } else {
        leave_items_above(w, 0);
        if (w->depth > 0) /* the item the quote stands in goes on */
            --w->depth;
    }
    build_prefix(w);
    w->last_block = NODE_QUOTE;
    if (w->fresh_line) {
        /* an empty quote still shows, on its item's marker line if it had one */
        w->fresh_line = 0;
        w->marker_line.size = 0;
    }
}

static void open_pipe_table(md_writer *w, const doc_event *e)
{
    ++w->tables_met;
    enter_block(w, e->item, NODE_TABLE);
    w->table_start = w->out.size;
    w->row_count = 0;
    w->aligns.size = 0;
}

static void write_rule(md_writer *w, const doc_event *e)
{
    const int tight = enter_block(w, e->item, NODE_HR);
    /* on an item's marker line, "- ---" or "* ***" would be a rule alone:
     * underscores are no bullet */
    const char *rule = w->empty_item ? "___" : "---";
    start_block(w, tight);
    put_str(&w->out, rule);
    w->last_block = NODE_HR;
}

/* Whether the table opening here must be HTML: a cell of it holds blocks. */
static int table_is_html(md_writer *w)
{
    return w->tables_met < w->html_tables.size && w->html_tables.data[w->tables_met++];
}

static void open_node(md_writer *w, doc_reader *r, const doc_event *e, buffer *href)
{
    if (IS_LEAF(e->node)) {
        begin_leaf(w, e);
    } else if (IS_INLINE(e->node) || e->node == NODE_IMG || e->node == NODE_RAW) {
        if (e->node == NODE_A && w->link_depth == 0) {
            href->size = 0;
            put_bytes(href, e->text, e->length);
            w->link_title.size = 0;
            put_bytes(&w->link_title, e->title, e->title_length);
        }
        open_inline(w, e);
    } else if (e->node == NODE_QUOTE) {
        open_quote(w, e);
    } else if (e->node == NODE_FN) {
        put_note_reference(w, e);
    } else if (e->node == NODE_NOTE) {
        open_note(w, e);
    } else if (e->node == NODE_DL || (e->node == NODE_TABLE && table_is_html(w))) {
        write_html_block(w, r, e);
    } else if (e->node == NODE_TABLE) {
        open_pipe_table(w, e);
    } else if (e->node == NODE_ROW) {
        begin_row(w);
    }
}

static void close_node(md_writer *w, const doc_event *e, const buffer *href)
{
    if (IS_LEAF(e->node))
        end_leaf(w);
    else if (IS_INLINE(e->node) || e->node == NODE_IMG || e->node == NODE_RAW)
        close_inline(w, e, (const char *)href->data, href->size);
    else if (e->node == NODE_QUOTE)
        close_quote(w);
    else if (e->node == NODE_NOTE)
        close_note(w);
    else if (e->node == NODE_ROW && w->row_count > 0)
        w->rows[w->row_count - 1].end = w->out.size;
    else if (e->node == NODE_TABLE)
        end_table(w);
}

static void free_writer(md_writer *w)
{
    free(w->prefix.data);
    free(w->pending_open.data);
    free(w->code.data);
    free(w->code_lang.data);
    free(w->rows);
    free(w->link_title.data);
    free(w->marker_line.data);
    free(w->aligns.data);
    free(w->marks);
    free(w->image_src.data);
    free(w->image_title.data);
    free(w->html.data);
    free(w->html_tables.data);
    note_numbers_free(&w->notes);
}

int32_t write_markdown(FILE *in, FILE *out)
{
    buffer input = {0};
    md_writer w;
    doc_reader r;
    doc_event e;
    buffer href = {0};
    const int32_t loaded = load_input(in, &input);
    if (loaded != CONVERT_OK)
        return loaded;
    memset(&w, 0, sizeof w);
    w.sink = out;
    w.rewrite_left = doc_expansion_budget(input.size);
    reserve(&w.out, input.size < OUTPUT_KEPT ? input.size + input.size / 8 + 256 : 2 * OUTPUT_KEPT);
    find_html_tables(&w, &input);
    doc_read_begin(&r, &input);
    while (doc_next(&r, &e) != EV_END) {
        switch (e.kind) {
        case EV_OPEN: open_node(&w, &r, &e, &href); break;
        case EV_CLOSE: close_node(&w, &e, &href); break;
        case EV_TEXT: put_text(&w, e.text, e.length); break;
        case EV_BR: end_line_break(&w); break;
        case EV_HR: write_rule(&w, &e); break;
        }
    }
    doc_read_end(&r);
    if (w.wrote_block)
        new_line(&w);
    trim_trailing_blanks(&w);
    release_input(&input);
    free(href.data);
    free_writer(&w);
    return finish_output(out, &w.out);
}
