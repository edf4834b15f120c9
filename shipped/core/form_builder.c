/* The intermediate form's builder: what the readers of formats write. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/core/form.h"
#include "shipped/core/refusal.h"

/* ---- the builder ---- */

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
    MARK_TEXT("\x1B[/c]"), MARK_TEXT("\x1B[/sup]"), MARK_TEXT("\x1B[/sub]"), MARK_TEXT("\x1B[/sc]"),
    MARK_TEXT("\x1B[/br]\n"), MARK_TEXT("\x1B[/html]\n"), MARK_TEXT("\x1B[/img]"), MARK_TEXT("\x1B[/raw]"),
    MARK_TEXT("\x1B[/fn]"), MARK_TEXT("\x1B[/note]\n"), MARK_TEXT("\x1B[/dl]\n"), MARK_TEXT("\x1B[/dt]\n"),
    MARK_TEXT("\x1B[/dd]\n"), MARK_TEXT("\x1B[/bits]"),
};
/* And the start of every node's opening mark, up to its arguments. */
static const mark_text open_marks[NODE_COUNT] = {
    MARK_TEXT("\x1B["), MARK_TEXT("\x1B[p"), MARK_TEXT("\x1B[h"), MARK_TEXT("\x1B[li"), MARK_TEXT("\x1B[code"),
    MARK_TEXT("\x1B[cell"), MARK_TEXT("\x1B[quote"), MARK_TEXT("\x1B[table"), MARK_TEXT("\x1B[row"),
    MARK_TEXT("\x1B[hr"), MARK_TEXT("\x1B[a"), MARK_TEXT("\x1B[i"), MARK_TEXT("\x1B[b"), MARK_TEXT("\x1B[u"),
    MARK_TEXT("\x1B[s"), MARK_TEXT("\x1B[c"), MARK_TEXT("\x1B[sup"), MARK_TEXT("\x1B[sub"), MARK_TEXT("\x1B[sc"),
    MARK_TEXT("\x1B[br"), MARK_TEXT("\x1B[html"), MARK_TEXT("\x1B[img"), MARK_TEXT("\x1B[raw"), MARK_TEXT("\x1B[fn"),
    MARK_TEXT("\x1B[note"), MARK_TEXT("\x1B[dl"), MARK_TEXT("\x1B[dt"), MARK_TEXT("\x1B[dd"), MARK_TEXT("\x1B[bits"),
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

void doc_begin_found(doc_builder *b, FILE *out, const char *found)
{
    memset(b, 0, sizeof *b);
    b->out.sink = out;
    b->expansion_left = (size_t)-1;
    put_str(&b->out, "\x1B[morphex-text 3 eol=lf bom=0");
    if (found) {
        put_str(&b->out, " found=");
        put_value(&b->out, found, strlen(found));
    }
    put_bytes(&b->out, "]\n", 2);
}

void doc_begin(doc_builder *b, FILE *out)
{
    doc_begin_found(b, out, NULL);
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

static int top_container(const doc_builder *b);

static const char *const list_style_names[] = {"", "lower-alpha", "upper-alpha", "lower-roman", "upper-roman"};

/* The list item a block continues, the cell it stands in, and an item's
 * flags and style. */
static void put_block_context(doc_builder *b, int node)
{
    if (top_container(b) == NODE_CELL)
        put_str(&b->out, " cell");
    if (node == NODE_LI && b->next_style > LIST_DECIMAL && b->next_style <= LIST_UPPER_ROMAN) {
        put_str(&b->out, " style=");
        put_str(&b->out, list_style_names[b->next_style]);
    }
    if (node == NODE_LI && b->next_label.size) {
        put_str(&b->out, " label=");
        put_value(&b->out, (const char *)b->next_label.data, b->next_label.size);
    }
    b->next_style = LIST_DECIMAL;
    b->next_label.size = 0;
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
    if (node == NODE_P && b->next_item == 0 && top_container(b) != NODE_CELL) {
        /* written with its first text: an empty paragraph leaves no trace
         * (but in a cell, whose key its mark must carry) */
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

/* Blocks other than rows and cells cannot stand inside a table, but for a
 * cell that holds blocks. */
static void leave_table(doc_builder *b)
{
    int i;
    for (i = b->depth - 1; i >= 0 && b->containers[i] != NODE_CELL; --i)
        if (b->containers[i] == NODE_TABLE)
            while (b->depth > i)
                close_container(b);
}

/* A block that the reader puts in the open cell: from now on the cell holds
 * blocks, its text so far staying its first line. */
static void enter_cell(doc_builder *b)
{
    if (!(b->next_flags & DOC_IN_CELL))
        return;
    b->next_flags &= ~DOC_IN_CELL;
    if (b->leaf != NODE_CELL || b->depth == BUILDER_DEPTH)
        return;
    close_inlines(b, 0);
    b->leaf = NODE_NONE;
    b->leaf_absorbed = 0;
    b->pending_space = 0;
    b->containers[b->depth++] = NODE_CELL;
}

static int innermost_container(const doc_builder *b, int node)
{
    int i;
    for (i = b->depth - 1; i >= 0; --i)
        if (b->containers[i] == node)
            return i;
    return -1;
}

/* A term or a definition goes in the innermost definition list, after what
 * is open in it; a list opens where there is none. */
static void enter_definition_list(doc_builder *b)
{
    const int list = innermost_container(b, NODE_DL);
    end_leaf(b);
    if (list < 0) {
        leave_table(b);
        open_container(b, NODE_DL);
        return;
    }
    while (b->depth > list + 1)
        close_container(b);
}

void doc_block(doc_builder *b, int node, int level, int number, const char *lang)
{
    enter_cell(b);
    if (node == NODE_DT) {
        enter_definition_list(b);
        open_leaf(b, NODE_DT, 0, 0, 0, NULL);
        return;
    }
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
    enter_cell(b);
    if (node == NODE_DD) {
        enter_definition_list(b);
    } else if (node == NODE_ROW) {
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
    const int row = innermost_container(b, NODE_ROW), cell = innermost_container(b, NODE_CELL);
    end_leaf(b);
    if (cell > row && cell > innermost_container(b, NODE_TABLE)) /* the cell before, which held blocks */
        while (b->depth > cell)
            close_container(b);
    if (top_container(b) != NODE_ROW) {
        b->next_flags = 0;
        doc_container(b, NODE_ROW);
    }
    b->next_flags = flags;
    open_leaf(b, NODE_CELL, 0, 0, header, NULL);
}

void doc_hr(doc_builder *b)
{
    enter_cell(b);
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

/* An inline mark written whole where the text stands (an image, raw HTML,
 * a footnote): its opening up to its arguments, an argument, and its
 * text with its end. */
static void open_whole_inline(doc_builder *b, int node)
{
    ensure_leaf(b);
    put_pending_space(b);
    sync_inlines(b);
    put_bytes(&b->out, open_marks[node].text, open_marks[node].length);
}

static void put_argument(buffer *out, const char *key, const char *value, size_t length)
{
    put_byte(out, ' ');
    put_str(out, key);
    put_byte(out, '=');
    put_value(out, value, length);
}

static void end_whole_inline(doc_builder *b, int node, const char *text, size_t length)
{
    put_escaped_text(&b->out, text, length);
    put_close_mark(&b->out, node);
    b->leaf_has_text = 1;
}

static void put_inline_whole(doc_builder *b, int node, const char *src, size_t src_length, const char *title,
                             size_t title_length, const char *text, size_t length)
{
    open_whole_inline(b, node);
    if (src)
        put_argument(&b->out, "src", src, src_length);
    if (title && title_length)
        put_argument(&b->out, "title", title, title_length);
    put_byte(&b->out, ']');
    end_whole_inline(b, node, text, length);
}

void doc_image(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
               const char *alt, size_t alt_length)
{
    if (IS_VERBATIM(b->leaf))
        return;
    put_inline_whole(b, NODE_IMG, src ? src : "", src_length, title, title_length, alt, alt_length);
}

/* The data in pieces of DOC_BITS_PIECE base64 characters, a mark each:
 * whole groups of three bytes but in the last, so that each piece decodes
 * alone. */
static void put_bits(buffer *out, const unsigned char *data, size_t n)
{
    const size_t piece = DOC_BITS_PIECE / 4 * 3;
    size_t i;
    for (i = 0; i < n; i += piece) {
        put_str(out, "\x1B[bits ");
        put_base64(out, data + i, n - i < piece ? n - i : piece);
        put_byte(out, ']');
    }
}

void doc_picture(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
                 const char *alt, size_t alt_length, const char *media_type, const unsigned char *data,
                 size_t data_length, int width, int height)
{
    const int has_type = media_type && *media_type;
    if (IS_VERBATIM(b->leaf))
        return;
    open_whole_inline(b, NODE_IMG);
    put_argument(&b->out, "src", src ? src : "", src ? src_length : 0);
    if (title && title_length)
        put_argument(&b->out, "title", title, title_length);
    if (has_type && data_length)
        put_argument(&b->out, "type", media_type, strlen(media_type));
    if (width > 0) {
        put_str(&b->out, " width=");
        put_number(&b->out, width);
    }
    if (height > 0) {
        put_str(&b->out, " height=");
        put_number(&b->out, height);
    }
    put_byte(&b->out, ']');
    if (has_type)
        put_bits(&b->out, data, data_length);
    end_whole_inline(b, NODE_IMG, alt, alt_length);
}

void doc_footnote(doc_builder *b, const char *id, size_t id_length)
{
    if (IS_VERBATIM(b->leaf))
        return;
    open_whole_inline(b, NODE_FN);
    put_argument(&b->out, "id", id, id_length);
    put_byte(&b->out, ']');
    end_whole_inline(b, NODE_FN, "", 0);
}

doc_builder *doc_note_begin(doc_builder *b, const char *id, size_t id_length)
{
    doc_builder *notes = b->notes;
    if (!notes) {
        if (!(notes = (doc_builder *)calloc(1, sizeof *notes))) {
            b->out.failed = 1;
            refusal_set(REFUSAL_OUT_OF_MEMORY);
            return b; /* the note's text goes on where it stands */
        }
        notes->expansion_left = (size_t)-1;
        notes->collapse_spaces = b->collapse_spaces;
        b->notes = notes;
    }
    end_leaf(notes);
    while (notes->depth)
        close_container(notes);
    put_str(&notes->out, "\x1B[note id=");
    put_value(&notes->out, id, id_length);
    put_str(&notes->out, "]\n");
    notes->containers[notes->depth++] = NODE_NOTE;
    return notes;
}

void doc_note_end(doc_builder *notes)
{
    end_leaf(notes);
    while (notes->depth)
        close_container(notes);
}

void doc_list_style(doc_builder *b, int style, const char *label, size_t label_length)
{
    b->next_style = style;
    b->next_label.size = 0;
    if (label)
        put_bytes(&b->next_label, label, label_length);
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
        if (is_white_space((unsigned char)s[i])) {
            if (b->leaf != NODE_NONE && b->leaf_has_text && !b->after_break)
                b->pending_space = 1;
            while (i < n && is_white_space((unsigned char)s[i]))
                ++i;
            continue;
        }
        start = i;
        while (i < n && !is_white_space((unsigned char)s[i]))
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

static void free_builder(doc_builder *b)
{
    free(b->wanted_href.data);
    free(b->emitted_href.data);
    free(b->wanted_title.data);
    free(b->emitted_title.data);
    free(b->next_label.data);
}

int32_t doc_finish(doc_builder *b)
{
    doc_builder *notes = b->notes;
    end_leaf(b);
    while (b->depth)
        close_container(b);
    if (notes) {
        doc_note_end(notes);
        if (notes->out.failed)
            b->out.failed = 1;
        put_bytes(&b->out, notes->out.data, notes->out.size);
        free(notes->out.data);
        free_builder(notes);
        free(notes);
    }
    free_builder(b);
    return finish_output(b->out.sink, &b->out);
}

