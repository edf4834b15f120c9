/* The intermediate form's iterator: what the writers of formats read. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/core/form.h"
#include "shipped/core/refusal.h"

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
        if (name[0] == 'd')
            return name[1] == 'l' ? NODE_DL : name[1] == 't' ? NODE_DT : name[1] == 'd' ? NODE_DD : NODE_NONE;
        if (name[0] == 'f' && name[1] == 'n')
            return NODE_FN;
        if (name[0] == 's' && name[1] == 'c')
            return NODE_SC;
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
        if (memcmp(name, "sup", 3) == 0)
            return NODE_SUP;
        if (memcmp(name, "sub", 3) == 0)
            return NODE_SUB;
        break;
    case 4:
        if (memcmp(name, "code", 4) == 0)
            return NODE_CODE;
        if (memcmp(name, "cell", 4) == 0)
            return NODE_CELL;
        if (memcmp(name, "html", 4) == 0)
            return NODE_HTML;
        if (memcmp(name, "note", 4) == 0)
            return NODE_NOTE;
        if (memcmp(name, "bits", 4) == 0)
            return NODE_BITS;
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
    return node != NODE_NONE && !IS_INLINE(node) && node != NODE_BR && node != NODE_IMG && node != NODE_RAW &&
           node != NODE_FN && node != NODE_BITS;
}

int doc_is_block_mark(const unsigned char *mark, size_t length)
{
    return is_block_name(mark, length, 0);
}

int doc_mark_field(const unsigned char *mark, size_t length, const char *key, char *value, size_t size)
{
    const size_t key_length = strlen(key);
    size_t i = 0;
    while (i < length) {
        size_t end = i;
        while (end < length && mark[end] != ' ')
            ++end;
        if (end - i > key_length && memcmp(mark + i, key, key_length) == 0 && mark[i + key_length] == '=') {
            size_t n = end - i - key_length - 1;
            if (n >= size)
                n = size - 1;
            memcpy(value, mark + i + key_length + 1, n);
            value[n] = '\0';
            return 1;
        }
        i = end + 1;
    }
    return 0;
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
    free(r->picture_data.data);
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

/* Where a block may open: the document, a block quote, a note or a
 * definition. */
static void pop_to_flow(doc_reader *r)
{
    while (r->depth && !IS_FLOW(top_node(r)))
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
    buffer *value; /* href, src, lang or id, decoded */
    buffer *title; /* an image's or a link's title, an item's label */
    int item, loose, new_list, align;
    int cell, style, width, height;
    const unsigned char *media_type; /* in the mark */
    size_t media_type_length;
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

static int is_key(const unsigned char *s, size_t key, size_t key_end, const char *name)
{
    return key_end - key == strlen(name) && memcmp(s + key, name, key_end - key) == 0;
}

static int list_style_named(const unsigned char *s, size_t n)
{
    static const char *const names[] = {"lower-alpha", "upper-alpha", "lower-roman", "upper-roman"};
    size_t i;
    for (i = 0; i < sizeof names / sizeof *names; ++i)
        if (is_key(s, 0, n, names[i]))
            return LIST_LOWER_ALPHA + (int)i;
    return LIST_DECIMAL;
}

/* The keys of version 3. */
static void parse_new_arg(const unsigned char *s, size_t key, size_t key_end, size_t value, size_t value_end,
                          mark_args *args)
{
    if (is_key(s, key, key_end, "cell")) {
        args->cell = 1;
    } else if (is_key(s, key, key_end, "style")) {
        args->style = list_style_named(s + value, value_end - value);
    } else if (is_key(s, key, key_end, "width")) {
        args->width = parse_int(s + value, value_end - value);
    } else if (is_key(s, key, key_end, "height")) {
        args->height = parse_int(s + value, value_end - value);
    } else if (is_key(s, key, key_end, "type")) {
        args->media_type = s + value;
        args->media_type_length = value_end - value;
    } else if (args->value && is_key(s, key, key_end, "id")) {
        args->value->size = 0;
        put_decoded(args->value, s + value, value_end - value);
    } else if (args->title && is_key(s, key, key_end, "label")) {
        args->title->size = 0;
        put_decoded(args->title, s + value, value_end - value);
    }
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
        } else {
            parse_new_arg(s, key, key_end, value, value_end, args);
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

/* A mark's arguments, its values decoded into the slot of the depth it
 * opens at. */
static inline __attribute__((always_inline)) void read_args(doc_reader *r, int node, const unsigned char *args_text,
                                                         size_t args_length, mark_args *args)
{
    const int slot = r->depth < READER_DEPTH ? r->depth : READER_DEPTH - 1;
    memset(args, 0, sizeof *args);
    args->number = DOC_BULLET;
    if (node == NODE_A || node == NODE_CODE || node == NODE_IMG || node == NODE_FN || node == NODE_NOTE) {
        args->value = &r->args[slot];
        args->value->size = 0;
    }
    if (node == NODE_A || node == NODE_IMG || node == NODE_LI) {
        args->title = &r->titles[slot];
        args->title->size = 0;
    }
    if (args_length)
        parse_args(args_text, args_length, args);
}

/* The data of the image just opened: the bits marks right after its mark,
 * decoded and passed by. */
static const doc_image_data *read_picture(doc_reader *r, const mark_args *args)
{
    static const char opening[] = "\x1B[bits ";
    const size_t opening_length = sizeof opening - 1;
    const size_t type_length = args->media_type_length < sizeof r->media_type ? args->media_type_length : 0;
    buffer *data = &r->picture_data;
    data->size = 0;
    if (type_length)
        memcpy(r->media_type, args->media_type, type_length);
    r->media_type[type_length] = '\0';
    r->picture.media_type = r->media_type;
    r->picture.width = args->width < 0 ? 0 : args->width;
    r->picture.height = args->height < 0 ? 0 : args->height;
    while (r->size - r->pos > opening_length && memcmp(r->s + r->pos, opening, opening_length) == 0) {
        const unsigned char *s = r->s + r->pos + opening_length;
        const unsigned char *end = find_byte(s, r->size - r->pos - opening_length, ']');
        if (!end)
            break;
        decode_base64(data, s, (size_t)(end - s)); /* a piece the builder wrote whole */
        r->pos = (size_t)(end - r->s) + 1;
    }
    r->picture.data = data->data;
    r->picture.data_length = data->size;
    return &r->picture;
}

/* The event that opens `node` with its arguments, the node entered (a rule
 * and a line break enter none); 0 when the nodes are nested too deep. */
static int open_event(doc_reader *r, int node, const mark_args *args, doc_event *e)
{
    memset(e, 0, sizeof *e);
    e->node = node;
    e->in_cell = (unsigned char)args->cell;
    if (node == NODE_HR) {
        e->kind = EV_HR;
        e->item = args->item < 0 ? 0 : args->item > 32 ? 32 : args->item;
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
    e->level = args->level < 1 ? 1 : args->level;
    if (node == NODE_H && e->level > 6)
        e->level = 6;
    if (node == NODE_LI && e->level > 32)
        e->level = 32;
    e->number = args->number;
    e->header = args->header;
    e->item = args->item < 0 ? 0 : args->item > 32 ? 32 : args->item;
    e->loose = args->loose;
    e->new_list = args->new_list;
    e->align = args->align;
    e->list_style = (unsigned char)args->style;
    e->title = "";
    if (args->title && args->title->data) {
        e->title = (const char *)args->title->data;
        e->title_length = args->title->size;
    }
    if (args->value) {
        e->text = args->value->data ? (const char *)args->value->data : "";
        e->length = args->value->size;
    }
    if (node == NODE_IMG)
        e->picture = read_picture(r, args);
    r->stack_level[r->depth] = e->level;
    r->stack_header[r->depth] = e->header;
    r->stack[r->depth++] = node;
    if (IS_LEAF(node))
        r->leaf_at = r->depth; /* blocks close before a leaf opens: one at most */
    return 1;
}

/* Whether `node` opens where the reader stands, closing nothing first:
 * most marks do, and give their one event without the queue. */
static int is_whole_inline(int node)
{
    return node == NODE_A || node == NODE_C || node == NODE_IMG || node == NODE_RAW || node == NODE_FN;
}

static int opens_in_place(const doc_reader *r, int node)
{
    const int leaf = in_leaf(r), top = top_node(r);
    if (IS_INLINE(node) || node == NODE_BR || node == NODE_IMG || node == NODE_RAW || node == NODE_FN)
        return leaf != NODE_NONE && !IS_VERBATIM(leaf) && (!is_whole_inline(node) || innermost(r, node) < 0);
    if (node == NODE_ROW)
        return leaf == NODE_NONE && top == NODE_TABLE;
    if (node == NODE_CELL)
        return leaf == NODE_NONE && top == NODE_ROW;
    if (node == NODE_DL || node == NODE_DT || node == NODE_DD || node == NODE_NOTE || node == NODE_BITS)
        return 0;
    return leaf == NODE_NONE && (top == NODE_NONE || IS_FLOW(top));
}

/* Where a block opens: in the flow it stands in, or in the open cell when
 * it says so; 0 when it cannot open. */
static int place_block(doc_reader *r, int node, const mark_args *args)
{
    const int cell = innermost(r, NODE_CELL);
    if (args->cell && cell >= 0) {
        pop_to(r, cell + 1);
        r->leaf_at = 0; /* the cell holds blocks now */
        return 1;
    }
    if (in_leaf(r) == NODE_CELL)
        return 0; /* cells hold text only, but for blocks that say they stand in them */
    if (node == NODE_NOTE) {
        pop_to(r, 0);
        return 1;
    }
    if (node == NODE_DT || node == NODE_DD) {
        const int list = innermost(r, NODE_DL);
        if (list >= 0) {
            pop_to(r, list + 1);
            return 1;
        }
        pop_to_flow(r);
        push_node(r, NODE_DL);
        return 1;
    }
    pop_to_flow(r);
    return 1;
}

static void open_mark(doc_reader *r, int node, const unsigned char *args_text, size_t args_length)
{
    doc_event opened, *e;
    mark_args args;
    const int leaf = in_leaf(r);
    if (IS_VERBATIM(leaf) || node == NODE_BITS)
        return; /* nothing is marked up inside code; an image's data goes with it */
    read_args(r, node, args_text, args_length, &args);
    if (IS_INLINE(node) || node == NODE_BR || node == NODE_IMG || node == NODE_RAW || node == NODE_FN) {
        if (is_whole_inline(node) && innermost(r, node) >= 0)
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
    } else if (!place_block(r, node, &args)) {
        return;
    }
    if (open_event(r, node, &args, &opened) && (e = push_event(r, opened.kind, node)) != NULL)
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
        for (i = pos; i < end && is_white_space(s[i]); ++i)
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
    if (!closing && opens_in_place(r, node)) {
        /* most marks have no arguments, and most of those need no buffer */
        static const mark_args no_args = {.number = DOC_BULLET};
        mark_args args;
        if (end == name_end && !(node == NODE_A || node == NODE_CODE || node == NODE_IMG || node == NODE_FN ||
                                 node == NODE_NOTE || node == NODE_LI))
            return open_event(r, node, &no_args, e);
        read_args(r, node, s + name_end, end - name_end, &args);
        if (!args.cell)
            return open_event(r, node, &args, e);
        open_mark(r, node, s + name_end, end - name_end);
        return 0;
    }
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

size_t *doc_find_note_marks(const buffer *input, int *count)
{
    const unsigned char *s = input->data;
    const size_t n = input->size;
    size_t i, *starts = NULL;
    int capacity = 0;
    *count = 0;
    for (i = 0; i + 6 < n; ++i) {
        const unsigned char *mark = (const unsigned char *)memchr(s + i, MARK, n - i - 6);
        if (!mark)
            break;
        i = (size_t)(mark - s);
        if (s[i + 1] == MARK) {
            ++i;
        } else if (memcmp(s + i + 1, "[note", 5) == 0 && (s[i + 6] == ' ' || s[i + 6] == ']')) {
            size_t *grown = (size_t *)room_for_one(starts, *count, &capacity, 16, sizeof *starts);
            if (!grown)
                break;
            starts = grown;
            starts[(*count)++] = i;
        }
    }
    if (!starts)
        *count = 0;
    return starts;
}
