/* The Markdown reader: CommonMark with GitHub's pipe tables, strike-through,
 * footnotes and bare addresses taken for links.  Lines are read into a tree of blocks (containers that a
 * line continues or not, then leaves); the text of each leaf is parsed for
 * inline marks when its block is written out, as soon as it is closed, or at
 * the end where a reference definition may still give a link its target. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

/* Block quotes and list items open inside each other at most: a deeper
 * marker is text.  Each line walks its open containers, and the blocks are
 * written out recursively. */
#define NESTING_LIMIT 100

enum md_kind {
    MD_DOCUMENT, MD_QUOTE, MD_LIST, MD_ITEM, MD_PARAGRAPH, MD_HEADING, MD_CODE, MD_HR, MD_TABLE, MD_HTML, MD_NOTE,
    MD_GONE
};

typedef struct md_block {
    int kind;
    int open;
    struct md_block *parent, *first, *last, *next;
    int level;           /* heading level */
    int fenced, fence_length, fence_indent;
    char fence_char;
    int ordered, start;  /* lists */
    char marker;         /* bullet, or the delimiter after a number */
    int content_indent;  /* items: where their content begins */
    int columns;         /* tables */
    int html_end;        /* raw HTML: which end closes it (html_start) */
    int last_line_blank; /* lists are loose where blank lines part their items */
    int follows_list;    /* a list right after another one (another marker) */
    int compact_loose;   /* lists: a saved item showed the list is loose */
    int streamed;        /* quotes: opened in the output while still open here */
    /* last, so that a block used again is cleared up to them and keeps their memory */
    buffer text;         /* lines of a paragraph, heading, code block or table; a list's saved items */
    buffer info;         /* a code block's language; a footnote's label */
} md_block;

/* A definition in the arena (its title follows its target there), which
 * stays under 4 GiB. */
typedef struct reference {
    uint32_t label, label_length, target, target_length, title_length;
    uint32_t note; /* the label is a footnote's ("^label"), which no link takes */
} reference;

struct inline_node;

/* A paragraph's nodes, in chunks that never move: a long paragraph grows
 * by a chunk at a time, never by a copy of all it holds. */
#define NODE_CHUNK_SHIFT 10
#define NODE_CHUNK ((int)1 << NODE_CHUNK_SHIFT)
typedef struct node_store {
    struct inline_node **chunks;
    int chunk_count, chunk_slots;
} node_store;
#define NODE(ip, i) (&(ip)->store->chunks[(i) >> NODE_CHUNK_SHIFT][(i) & (NODE_CHUNK - 1)])

typedef struct md_parser {
    md_block *document, *tip;
    node_store nodes;    /* an inline parser's, kept from one paragraph to the next */
    buffer inline_text;
    buffer line;         /* the current line, tabs before its text expanded */
    reference *references;
    size_t reference_slots, reference_count;
    buffer arena;        /* labels and targets of references */
    buffer scratch;      /* a character reference's text */
    buffer text_run;     /* text between a paragraph's marks, searched for e-mail addresses */
    size_t expansion_left; /* what references and filled rows may still add (doc_expansion_budget) */
    md_block *spare_blocks; /* blocks written out, kept with their buffers: no allocation per paragraph */
    uint64_t hash_key[2];  /* of the reference labels' table */
} md_parser;

/* ---- character classes ---- */

static int is_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

/* What the end of a block's text loses: form feed and vertical tab stay
 * text there, as cmark keeps them. */
static int is_trailing_blank(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static int is_punctuation(unsigned char c)
{
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

static int is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

static int is_letter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

/* ---- the block tree ---- */

__attribute__((hot)) static md_block *new_block(md_parser *p, int kind)
{
    md_block *b = p->spare_blocks;
    if (b) {
        p->spare_blocks = b->next;
        memset(b, 0, offsetof(md_block, text));
        b->text.size = b->info.size = 0;
    } else if ((b = (md_block *)calloc(1, sizeof *b)) == NULL) {
        return NULL;
    }
    b->kind = kind;
    b->open = 1;
    return b;
}

static void recycle_tree(md_parser *p, md_block *b)
{
    while (b) {
        md_block *next = b->next;
        recycle_tree(p, b->first);
        b->first = b->last = NULL; /* the spare list is flat: free_tree frees each block once */
        b->next = p->spare_blocks;
        p->spare_blocks = b;
        b = next;
    }
}

static void free_tree(md_block *b)
{
    while (b) {
        md_block *next = b->next;
        free_tree(b->first);
        free(b->text.data);
        free(b->info.data);
        free(b);
        b = next;
    }
}

static int can_contain(int parent, int child)
{
    if (parent == MD_LIST)
        return child == MD_ITEM;
    return (parent == MD_DOCUMENT || parent == MD_QUOTE || parent == MD_ITEM || parent == MD_NOTE) && child != MD_ITEM;
}

static void add_reference(md_parser *p, const char *label, size_t label_length, const char *target,
                          size_t target_length, const char *title, size_t title_length, uint32_t note);
static size_t parse_reference(md_parser *p, const char *s, size_t n);

static void finalize(md_parser *p, md_block *b)
{
    b->open = 0;
    if (b->kind == MD_PARAGRAPH) {
        /* reference definitions at its start are not text */
        size_t used = 0, taken;
        while (used < b->text.size && b->text.data[used] == '[' &&
               (taken = parse_reference(p, (const char *)b->text.data + used, b->text.size - used)) > 0)
            used += taken;
        if (used) {
            memmove(b->text.data, b->text.data + used, b->text.size - used);
            b->text.size -= used;
        }
        if (b->text.size == 0)
            b->kind = MD_GONE;
    } else if (b->kind == MD_CODE && !b->fenced) {
        /* trailing blank lines are not part of an indented block */
        while (b->text.size) {
            size_t end = b->text.size - 1, start = end;
            while (start > 0 && b->text.data[start - 1] != '\n')
                --start;
            {
                size_t i;
                int blank = 1;
                for (i = start; i < end; ++i)
                    if (b->text.data[i] != ' ')
                        blank = 0;
                if (!blank)
                    break;
            }
            b->text.size = start;
        }
    }
    p->tip = b->parent;
}

static void close_to(md_parser *p, md_block *keep)
{
    while (p->tip && p->tip != keep)
        finalize(p, p->tip);
}

static int ends_with_blank_line(const md_block *b);

/* ---- closed list items, saved compactly ---- */

#define SAVED_END 0xFF /* after the children of a saved block */

static void put_count(buffer *out, size_t value)
{
    do {
        put_byte(out, (unsigned char)((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value);
}

static size_t get_count(const buffer *in, size_t *at)
{
    size_t value = 0;
    int shift = 0;
    while (*at < in->size) {
        const unsigned char c = in->data[(*at)++];
        value |= (size_t)(c & 0x7F) << shift;
        shift += 7;
        if (!(c & 0x80))
            break;
    }
    return value;
}

/* A closed block and all it holds, as writing it needs them: its kind,
 * the facts that decide looseness and numbering, its text and language,
 * then its children and SAVED_END.  A list's own saved items are its text. */
static void save_block(buffer *out, const md_block *b)
{
    const md_block *child;
    put_byte(out, (unsigned char)b->kind);
    put_count(out, (size_t)b->last_line_blank | (size_t)b->ordered << 1 | (size_t)b->compact_loose << 2 |
                       (size_t)b->follows_list << 3);
    put_count(out, (size_t)b->level);
    put_count(out, (size_t)b->start);
    put_count(out, (size_t)b->columns);
    put_count(out, b->text.size);
    put_bytes(out, b->text.data, b->text.size);
    put_count(out, b->info.size);
    put_bytes(out, b->info.data, b->info.size);
    for (child = b->first; child; child = child->next)
        save_block(out, child);
    put_byte(out, SAVED_END);
}

/* The block saved at *at, made again from spare blocks; NULL when memory
 * runs out. */
static md_block *load_block(md_parser *p, const buffer *in, size_t *at)
{
    md_block *b = new_block(p, in->data[(*at)++]);
    size_t flags, length;
    if (!b)
        return NULL;
    b->open = 0;
    flags = get_count(in, at);
    b->last_line_blank = (int)(flags & 1);
    b->ordered = (int)(flags >> 1 & 1);
    b->compact_loose = (int)(flags >> 2 & 1);
    b->follows_list = (int)(flags >> 3);
    b->level = (int)get_count(in, at);
    b->start = (int)get_count(in, at);
    b->columns = (int)get_count(in, at);
    length = get_count(in, at);
    put_bytes(&b->text, in->data + *at, length);
    *at += length;
    length = get_count(in, at);
    put_bytes(&b->info, in->data + *at, length);
    *at += length;
    while (*at < in->size && in->data[*at] != SAVED_END) {
        md_block *child = load_block(p, in, at);
        if (!child)
            break;
        child->parent = b;
        if (b->last)
            b->last->next = child;
        else
            b->first = child;
        b->last = child;
    }
    ++*at;
    return b;
}

static int ends_with_blank_line(const md_block *b);

/* A closed item is saved in its list's text and its blocks are used again:
 * a list that spans the whole document, its items lists and code and
 * quotes, holds a few bytes an item and its text, not a tree of blocks.
 * Items are saved in order, so the saved ones come before the blocks. */
static void compact_item(md_parser *p, md_block *list)
{
    md_block *item = list->first, *child;
    int loose;
    const size_t saved = list->text.size;
    if (list->kind != MD_LIST || !item || item != list->last || item->open)
        return;
    /* it has a next item now: a blank line after it or its blocks makes the list loose */
    loose = item->last_line_blank;
    for (child = item->first; child; child = child->next)
        loose |= ends_with_blank_line(child);
    save_block(&list->text, item);
    if (list->text.failed) {
        list->text.size = saved; /* the item stays a block, and so do the next ones */
        return;
    }
    list->compact_loose |= loose;
    list->first = list->last = NULL;
    recycle_tree(p, item);
}

static md_block *add_child(md_parser *p, md_block *parent, int kind)
{
    md_block *child;
    close_to(p, parent);
    while (!can_contain(parent->kind, kind)) {
        finalize(p, parent);
        parent = parent->parent;
    }
    if (kind == MD_ITEM)
        compact_item(p, parent);
    child = new_block(p, kind);
    if (!child)
        return parent;
    child->parent = parent;
    /* 1 after a bulleted list, 2 after a numbered one */
    child->follows_list = kind == MD_LIST && parent->last && parent->last->kind == MD_LIST ? 1 + parent->last->ordered : 0;
    if (parent->last)
        parent->last->next = child;
    else
        parent->first = child;
    parent->last = child;
    p->tip = child;
    return child;
}

static void add_line(md_block *b, const char *s, size_t n)
{
    put_bytes(&b->text, s, n);
    put_byte(&b->text, '\n');
}

/* ---- block starts ---- */

static size_t skip_spaces(const char *s, size_t n, size_t pos)
{
    while (pos < n && s[pos] == ' ')
        ++pos;
    return pos;
}

static int is_thematic_break(const char *s, size_t n, size_t pos)
{
    const char c = s[pos];
    int count = 0;
    if (c != '*' && c != '-' && c != '_')
        return 0;
    for (; pos < n; ++pos) {
        if (s[pos] == c)
            ++count;
        else if (s[pos] != ' ' && s[pos] != '\t')
            return 0;
    }
    return count >= 3;
}

/* 1 for '=', 2 for '-', 0 when the line does not underline a heading. */
static int setext_level(const char *s, size_t n, size_t pos)
{
    const char c = s[pos];
    if (c != '=' && c != '-')
        return 0;
    while (pos < n && s[pos] == c)
        ++pos;
    pos = skip_spaces(s, n, pos);
    return pos == n ? (c == '=' ? 1 : 2) : 0;
}

/* Cells of a table row, split at pipes that are not escaped: a pipe right
 * after a backslash is, whatever stands before that backslash. */
static int count_cells(const char *s, size_t n)
{
    size_t i = 0, end = n;
    int cells = 1;
    while (i < n && s[i] == ' ')
        ++i;
    while (end > i && (s[end - 1] == ' ' || s[end - 1] == '\t'))
        --end;
    if (i < end && s[i] == '|')
        ++i;
    if (end > i && s[end - 1] == '|' && (end < 2 || s[end - 2] != '\\'))
        --end;
    for (; i < end; ++i) {
        if (s[i] == '\\' && i + 1 < end && s[i + 1] == '|')
            ++i;
        else if (s[i] == '|')
            ++cells;
    }
    return cells;
}

static int is_delimiter_row(const char *s, size_t n, size_t pos)
{
    int dashes = 0, pipes = 0;
    for (; pos < n; ++pos) {
        const char c = s[pos];
        if (c == '|') {
            ++pipes;
        } else if (c == '-') {
            ++dashes;
        } else if (c != ':' && c != ' ' && c != '\t') {
            return 0;
        }
    }
    return dashes > 0 && (pipes > 0);
}

/* The alignment of each column from a delimiter row (":--", ":-:", "--:"),
 * one DOC_ALIGN_ flag (or 0) a byte. */
static void column_alignments(buffer *out, const char *s, size_t n)
{
    size_t i = 0;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    if (i < n && s[i] == '|')
        ++i;
    while (i < n) {
        size_t start, end;
        while (i < n && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        start = i;
        while (i < n && s[i] != '|')
            ++i;
        end = i;
        while (end > start && (s[end - 1] == ' ' || s[end - 1] == '\t'))
            --end;
        if (end > start) {
            const int left = s[start] == ':', right = s[end - 1] == ':';
            put_byte(out, (unsigned char)(left && right ? DOC_ALIGN_CENTER : right ? DOC_ALIGN_RIGHT
                                                                        : left ? DOC_ALIGN_LEFT : 0));
        }
        if (i < n)
            ++i;
    }
}

/* The last line of a paragraph's text. */
static size_t last_line_start(const buffer *text)
{
    size_t i = text->size ? text->size - 1 : 0;
    while (i > 0 && text->data[i - 1] != '\n')
        --i;
    return i;
}

/* A list marker at pos: its width, with the number and marker filled in. */
static size_t list_marker(const char *s, size_t n, size_t pos, int *ordered, int *number, char *marker)
{
    if (s[pos] == '-' || s[pos] == '+' || s[pos] == '*') {
        if (pos + 1 < n && s[pos + 1] != ' ' && s[pos + 1] != '\t')
            return 0;
        *ordered = 0;
        *marker = s[pos];
        *number = 0;
        return 1;
    }
    if (is_digit((unsigned char)s[pos])) {
        size_t end = pos;
        long value = 0;
        while (end < n && is_digit((unsigned char)s[end]) && end - pos < 10)
            value = value * 10 + (s[end++] - '0');
        if (end - pos > 9 || end >= n || (s[end] != '.' && s[end] != ')'))
            return 0;
        if (end + 1 < n && s[end + 1] != ' ' && s[end + 1] != '\t')
            return 0;
        *ordered = 1;
        *marker = s[end];
        *number = (int)value;
        return end + 1 - pos;
    }
    return 0;
}

/* ---- raw HTML ---- */

static int is_tag_char(unsigned char c)
{
    return is_letter(c) || is_digit(c) || c == '-';
}

static int lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? c + 32 : c;
}

/* Whether s[0..n) begins with `word` (lower case), whatever the case. */
static int starts_folded(const char *s, size_t n, const char *word)
{
    size_t i;
    for (i = 0; word[i]; ++i)
        if (i >= n || lower((unsigned char)s[i]) != (unsigned char)word[i])
            return 0;
    return 1;
}

/* The first `word` (lower case) in s[0..n), whatever the case. */
static int contains_folded(const char *s, size_t n, const char *word)
{
    const size_t length = strlen(word);
    size_t i;
    for (i = 0; i + length <= n; ++i)
        if (lower((unsigned char)s[i]) == (unsigned char)word[0] && starts_folded(s + i, n - i, word))
            return 1;
    return 0;
}

static const char *const block_tags[] = {
    "address", "article", "aside", "base", "basefont", "blockquote", "body", "caption", "center", "col",
    "colgroup", "dd", "details", "dialog", "dir", "div", "dl", "dt", "fieldset", "figcaption", "figure",
    "footer", "form", "frame", "frameset", "h1", "h2", "h3", "h4", "h5", "h6", "head", "header", "hr", "html",
    "iframe", "legend", "li", "link", "main", "menu", "menuitem", "nav", "noframes", "ol", "optgroup", "option",
    "p", "param", "section", "source", "summary", "table", "tbody", "td", "tfoot", "th", "thead", "title", "tr",
    "track", "ul",
};

static size_t skip_html_space(const char *s, size_t n, size_t i)
{
    while (i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r' || s[i] == '\f'))
        ++i;
    return i;
}

/* An open tag with its attributes at s[0] ('<'); its length, 0 when none. */
static size_t open_tag_length(const char *s, size_t n)
{
    size_t i = 1;
    if (i >= n || !is_letter((unsigned char)s[i]))
        return 0;
    while (i < n && is_tag_char((unsigned char)s[i]))
        ++i;
    for (;;) {
        size_t spaced = skip_html_space(s, n, i);
        if (spaced < n && s[spaced] == '>')
            return spaced + 1;
        if (spaced + 1 < n && s[spaced] == '/' && s[spaced + 1] == '>')
            return spaced + 2;
        if (spaced == i || spaced >= n)
            return 0;
        i = spaced;
        {
            const unsigned char c = (unsigned char)s[i];
            if (!is_letter(c) && c != '_' && c != ':')
                return 0;
        }
        while (i < n && (is_letter((unsigned char)s[i]) || is_digit((unsigned char)s[i]) || s[i] == '_' ||
                         s[i] == '.' || s[i] == ':' || s[i] == '-'))
            ++i;
        spaced = skip_html_space(s, n, i);
        if (spaced < n && s[spaced] == '=') {
            i = skip_html_space(s, n, spaced + 1);
            if (i >= n)
                return 0;
            if (s[i] == '"' || s[i] == '\'') {
                const char *close = (const char *)memchr(s + i + 1, s[i], n - i - 1);
                if (!close)
                    return 0;
                i = (size_t)(close - s) + 1;
            } else {
                const size_t start = i;
                while (i < n && !strchr("\"'=<>` \t\n\r\f", s[i]))
                    ++i;
                if (i == start)
                    return 0;
            }
        }
    }
}

/* Raw HTML at s[0] ('<'): a tag, a comment, a processing instruction, a
 * declaration or a CDATA section; its length, 0 when none. */
static size_t html_tag_length(const char *s, size_t n)
{
    size_t i;
    if (n < 3)
        return 0;
    if (is_letter((unsigned char)s[1]))
        return open_tag_length(s, n);
    if (s[1] == '/') {
        if (!is_letter((unsigned char)s[2]))
            return 0;
        for (i = 3; i < n && is_tag_char((unsigned char)s[i]); ++i)
            ;
        i = skip_html_space(s, n, i);
        return i < n && s[i] == '>' ? i + 1 : 0;
    }
    if (s[1] == '?') {
        for (i = 2; i + 1 < n; ++i)
            if (s[i] == '?' && s[i + 1] == '>')
                return i + 2;
        return 0;
    }
    if (s[1] != '!')
        return 0;
    if (starts_folded(s, n, "<!--")) {
        /* no "--" inside, not starting with ">" or "->", not ending with "-" */
        if (n > 4 && (s[4] == '>' || (s[4] == '-' && n > 5 && s[5] == '>')))
            return 0;
        for (i = 4; i + 1 < n; ++i)
            if (s[i] == '-' && s[i + 1] == '-')
                return i + 2 < n && s[i + 2] == '>' ? i + 3 : 0;
        return 0;
    }
    if (strncmp(s, "<![CDATA[", n < 9 ? n : 9) == 0 && n >= 9) {
        for (i = 9; i + 2 < n; ++i)
            if (s[i] == ']' && s[i + 1] == ']' && s[i + 2] == '>')
                return i + 3;
        return 0;
    }
    if (is_letter((unsigned char)s[2])) {
        const char *close = (const char *)memchr(s + 2, '>', n - 2);
        return close ? (size_t)(close - s) + 1 : 0;
    }
    return 0;
}

/* A raw HTML block starting at s[pos] ('<'): which kind (1 to 7, by the
 * way it ends), 0 when none.  Kind 7 cannot interrupt a paragraph. */
static int html_start(const char *s, size_t n, size_t pos, int in_paragraph)
{
    const char *t = s + pos;
    const size_t left = n - pos;
    size_t i, name_end;
    char name[16];
    static const char *const verbatim[] = {"<script", "<pre", "<style", "<textarea"};
    if (left < 2 || t[0] != '<')
        return 0;
    for (i = 0; i < sizeof verbatim / sizeof *verbatim; ++i) {
        const size_t length = strlen(verbatim[i]);
        if (starts_folded(t, left, verbatim[i]) &&
            (left == length || t[length] == ' ' || t[length] == '\t' || t[length] == '>'))
            return 1;
    }
    if (starts_folded(t, left, "<!--"))
        return 2;
    if (t[1] == '?')
        return 3;
    if (t[1] == '!' && left > 2 && is_letter((unsigned char)t[2]))
        return 4;
    if (starts_folded(t, left, "<![cdata["))
        return 5;
    i = t[1] == '/' ? 2 : 1;
    for (name_end = i; name_end < left && is_tag_char((unsigned char)t[name_end]) && name_end - i < sizeof name - 1;
         ++name_end)
        name[name_end - i] = (char)lower((unsigned char)t[name_end]);
    name[name_end - i] = '\0';
    if (name_end > i && (name_end == left || t[name_end] == ' ' || t[name_end] == '\t' || t[name_end] == '>' ||
                         (t[name_end] == '/' && name_end + 1 < left && t[name_end + 1] == '>'))) {
        size_t low = 0, high = sizeof block_tags / sizeof *block_tags;
        while (low < high) {
            const size_t middle = (low + high) / 2;
            const int order = strcmp(block_tags[middle], name);
            if (order == 0)
                return 6;
            if (order < 0)
                low = middle + 1;
            else
                high = middle;
        }
    }
    if (!in_paragraph && name_end > i) {
        const size_t length = html_tag_length(t, left);
        if (length && skip_spaces(t, left, length) == left && strcmp(name, "script") != 0 &&
            strcmp(name, "style") != 0 && strcmp(name, "pre") != 0)
            return 7;
    }
    return 0;
}

/* Whether the line ends a raw HTML block of kind 1 to 5. */
static int html_ends(int kind, const char *s, size_t n)
{
    switch (kind) {
    case 1:
        return contains_folded(s, n, "</script>") || contains_folded(s, n, "</pre>") ||
               contains_folded(s, n, "</style>") || contains_folded(s, n, "</textarea>");
    case 2: return contains_folded(s, n, "-->");
    case 3: return contains_folded(s, n, "?>");
    case 4: return memchr(s, '>', n) != NULL;
    case 5: return contains_folded(s, n, "]]>");
    }
    return 0;
}

/* Info string of an opening fence: its first word, escapes and references
 * resolved. */
static void unescape_into(buffer *out, const char *s, size_t n);
static void normalize_label(buffer *out, const char *s, size_t n);

static void fence_info(buffer *info, const char *s, size_t n)
{
    const size_t start = skip_spaces(s, n, 0);
    size_t end = start;
    while (end < n && s[end] != ' ' && s[end] != '\t')
        ++end;
    unescape_into(info, s + start, end - start);
}

/* Expands tabs in the indentation and block quote marks to spaces, at stops
 * of four columns. */
static void take_line(md_parser *p, const char *s, size_t n)
{
    size_t i;
    int column = 0;
    p->line.size = 0;
    for (i = 0; i < n && (s[i] == ' ' || s[i] == '\t' || s[i] == '>'); ++i) {
        if (s[i] == '\t') {
            const int spaces = 4 - column % 4;
            int k;
            for (k = 0; k < spaces; ++k)
                put_byte(&p->line, ' ');
            column += spaces;
        } else {
            put_byte(&p->line, (unsigned char)s[i]);
            ++column;
        }
    }
    put_bytes(&p->line, s + i, n - i);
}

/* Blank lines as lists see them: where they end a block, an item, a list.
 * Lines of a quote, a heading, a rule or a fenced block never count, nor
 * the blank rest of a line that opened an item. */
static void note_line(md_block *container, int blank, int started)
{
    md_block *b;
    if (blank && container->last)
        container->last->last_line_blank = 1;
    container->last_line_blank = blank && container->kind != MD_QUOTE && container->kind != MD_HEADING &&
                                 container->kind != MD_HR && !(container->kind == MD_CODE && container->fenced) &&
                                 !(container->kind == MD_ITEM && !container->first && started);
    for (b = container->parent; b; b = b->parent)
        b->last_line_blank = 0;
}

/* ---- a line in three phases ---- */

/* A line goes through three phases: it continues the open blocks it can
 * (their markers and indentation taken off), opens the blocks whose starts
 * follow, and its text goes to the block that takes it.  This is what they
 * hand on. */
typedef struct md_line {
    const char *s;          /* the line, tabs before its text expanded */
    size_t n;
    size_t pos;             /* where the part no block has taken begins */
    size_t first, indent;   /* the first character at or after pos that is not a space, and how far past pos */
    int blank;              /* nothing but spaces from pos on */
    md_block *container;    /* the innermost block the line has reached */
    md_block *last_matched; /* the innermost open block it continued (an open paragraph past it goes on lazily) */
    int started;            /* it opened a block */
    int consumed;           /* a start took the whole line: nothing is left for phase 3 */
    int nesting;            /* the quotes and items it is in */
} md_line;

/* Where the text after pos begins: each phase, and each start tried,
 * looks again from where the last one left the line. */
static void look_past_spaces(md_line *l)
{
    l->first = skip_spaces(l->s, l->n, l->pos);
    l->indent = l->first - l->pos;
    l->blank = l->first == l->n;
}

/* ---- phase 1: the open blocks the line continues ---- */

enum continuation {
    BLOCK_ENDS,    /* the line does not continue the block: new blocks may start from here */
    BLOCK_GOES_ON, /* it does, the block's marker or indentation taken */
    LINE_TAKEN     /* it closes the block and is spent (a closing fence) */
};

static enum continuation continue_quote(md_line *l)
{
    if (l->indent > 3 || l->blank || l->s[l->first] != '>')
        return BLOCK_ENDS;
    l->pos = l->first + 1;
    if (l->pos < l->n && l->s[l->pos] == ' ')
        ++l->pos;
    return BLOCK_GOES_ON;
}

/* A blank line stays in an item that holds something (an item that began
 * empty ends at one); text must reach the item's content. */
static enum continuation continue_item(md_line *l, const md_block *item)
{
    if (l->blank) {
        if (!item->first)
            return BLOCK_ENDS;
        l->pos = l->first;
    } else if (l->indent >= (size_t)item->content_indent) {
        l->pos += (size_t)item->content_indent;
    } else {
        return BLOCK_ENDS;
    }
    return BLOCK_GOES_ON;
}

/* A fenced block takes every line up to its closing fence (the same
 * character, as many or more, nothing after them); as many spaces as the
 * opening fence stood in are no part of the code. */
static enum continuation continue_fenced_code(md_parser *p, md_line *l, md_block *code)
{
    const char *s = l->s;
    int strip = code->fence_indent;
    if (!l->blank && l->indent <= 3 && s[l->first] == code->fence_char) {
        size_t end = l->first;
        while (end < l->n && s[end] == code->fence_char)
            ++end;
        if (end - l->first >= (size_t)code->fence_length && skip_spaces(s, l->n, end) == l->n) {
            finalize(p, code);
            return LINE_TAKEN;
        }
    }
    while (strip-- > 0 && l->pos < l->n && s[l->pos] == ' ')
        ++l->pos;
    return BLOCK_GOES_ON;
}

/* Indented code goes on over blank lines: finalize drops those at its end. */
static enum continuation continue_indented_code(md_line *l)
{
    if (l->indent >= 4)
        l->pos += 4;
    else if (l->blank)
        l->pos = l->first;
    else
        return BLOCK_ENDS;
    return BLOCK_GOES_ON;
}

/* A footnote goes on over blank lines and lines indented by four, which
 * are its blocks' lines without those four spaces. */
static enum continuation continue_note(md_line *l)
{
    if (l->blank)
        l->pos = l->first;
    else if (l->indent >= 4)
        l->pos += 4;
    else
        return BLOCK_ENDS;
    return BLOCK_GOES_ON;
}

static enum continuation continue_block(md_parser *p, md_line *l, md_block *b)
{
    switch (b->kind) {
    case MD_QUOTE: return continue_quote(l);
    case MD_NOTE: return continue_note(l);
    case MD_ITEM: return continue_item(l, b);
    case MD_CODE: return b->fenced ? continue_fenced_code(p, l, b) : continue_indented_code(l);
    case MD_HTML: /* kinds 6 and 7 end at a blank line; the others at their end, in phase 3 */
        return l->blank && b->html_end >= 6 ? BLOCK_ENDS : BLOCK_GOES_ON;
    case MD_PARAGRAPH:
    case MD_TABLE: return l->blank ? BLOCK_ENDS : BLOCK_GOES_ON;
    case MD_LIST: return BLOCK_GOES_ON; /* its last item decides */
    default: return BLOCK_ENDS;         /* a heading or a rule is one line */
    }
}

/* Walks down the open blocks as far as the line continues them; 0 when
 * the line is spent. */
static int continue_open_blocks(md_parser *p, md_line *l)
{
    md_block *container = p->document;
    while (container->last && container->last->open) {
        md_block *child = container->last;
        enum continuation going;
        look_past_spaces(l);
        going = continue_block(p, l, child);
        if (going == LINE_TAKEN)
            return 0;
        if (going == BLOCK_ENDS)
            break;
        l->nesting += child->kind == MD_QUOTE || child->kind == MD_ITEM || child->kind == MD_NOTE;
        container = child;
    }
    l->container = l->last_matched = container;
    return 1;
}

/* ---- phase 2: the blocks the line opens ---- */

enum block_start {
    NOT_THIS_START, /* no block of this kind starts here: the next kind is tried */
    STARTS_END,     /* nothing more starts on the line: a block for text opened, or a paragraph goes on */
    STARTS_GO_ON    /* a quote or an item opened: more blocks may start inside it */
};

/* The innermost open block is a paragraph, which a line that opens no
 * block goes on lazily. */
static int paragraph_is_open(const md_parser *p)
{
    return p->tip && p->tip->kind == MD_PARAGRAPH;
}

/* Indented code cannot interrupt a paragraph: the line goes on with it. */
static enum block_start open_indented_code(md_parser *p, md_line *l)
{
    if (paragraph_is_open(p))
        return STARTS_END;
    l->container = add_child(p, l->container, MD_CODE);
    l->pos += 4;
    l->started = 1;
    return STARTS_END;
}

static enum block_start open_quote(md_parser *p, md_line *l)
{
    l->pos = l->first + 1;
    if (l->pos < l->n && l->s[l->pos] == ' ')
        ++l->pos;
    l->container = add_child(p, l->container, MD_QUOTE);
    l->started = 1;
    ++l->nesting;
    return STARTS_GO_ON;
}

/* One to six '#' and a space or the end; a closing run of '#' after a
 * space is no part of the text. */
static enum block_start open_atx_heading(md_parser *p, md_line *l)
{
    const char *s = l->s;
    const size_t n = l->n;
    size_t end = l->first, text, text_end = n, hashes;
    while (end < n && s[end] == '#')
        ++end;
    if (end - l->first > 6 || (end != n && s[end] != ' ' && s[end] != '\t'))
        return NOT_THIS_START;
    text = end;
    while (text < n && (s[text] == ' ' || s[text] == '\t'))
        ++text;
    while (text_end > text && (s[text_end - 1] == ' ' || s[text_end - 1] == '\t'))
        --text_end;
    hashes = text_end;
    while (hashes > text && s[hashes - 1] == '#')
        --hashes;
    if (hashes == text || s[hashes - 1] == ' ') {
        text_end = hashes;
        while (text_end > text && s[text_end - 1] == ' ')
            --text_end;
    }
    l->container = add_child(p, l->container, MD_HEADING);
    l->container->level = (int)(end - l->first);
    put_bytes(&l->container->text, s + text, text_end - text);
    l->started = l->consumed = 1;
    return STARTS_END;
}

/* Three or more '`' or '~'; a backtick fence's info string holds no
 * backtick, which would make the line a code span instead. */
static enum block_start open_fence(md_parser *p, md_line *l)
{
    const char *s = l->s;
    const size_t n = l->n, first = l->first;
    size_t end = first;
    md_block *code;
    while (end < n && s[end] == s[first])
        ++end;
    if (end - first < 3 || (s[first] == '`' && memchr(s + end, '`', n - end)))
        return NOT_THIS_START;
    code = l->container = add_child(p, l->container, MD_CODE);
    code->fenced = 1;
    code->fence_char = s[first];
    code->fence_length = (int)(end - first);
    code->fence_indent = (int)l->indent;
    fence_info(&code->info, s + end, n - end);
    l->started = l->consumed = 1;
    return STARTS_END;
}

/* The line that opens raw HTML is its first line: phase 3 adds it, and
 * may find the block's end on it too. */
static enum block_start open_html_block(md_parser *p, md_line *l)
{
    const int kind = html_start(l->s, l->n, l->first, l->container->kind == MD_PARAGRAPH);
    if (kind == 0)
        return NOT_THIS_START;
    l->container = add_child(p, l->container, MD_HTML);
    l->container->html_end = kind;
    l->started = 1;
    return STARTS_END;
}

/* An underline makes the paragraph above it a heading, unless reference
 * definitions were all it held: then the line is read on as another block. */
static enum block_start open_setext_heading(md_parser *p, md_line *l)
{
    md_block *paragraph = l->container;
    const int level = setext_level(l->s, l->n, l->first);
    if (level == 0)
        return NOT_THIS_START;
    finalize(p, paragraph);
    if (paragraph->kind == MD_PARAGRAPH) {
        paragraph->kind = MD_HEADING;
        paragraph->level = level;
        while (paragraph->text.size && is_trailing_blank(paragraph->text.data[paragraph->text.size - 1]))
            --paragraph->text.size;
        l->consumed = 1;
        return STARTS_END;
    }
    l->container = paragraph->parent;
    p->tip = l->container;
    return NOT_THIS_START;
}

/* A delimiter row with as many cells as the paragraph's last line makes
 * that line a table's header; the lines before it stay a paragraph.  The
 * line stays in the paragraph for phase 3, which has nothing left to add. */
static enum block_start open_table(md_parser *p, md_line *l)
{
    md_block *paragraph = l->container, *table;
    const size_t header = last_line_start(&paragraph->text);
    const int columns = count_cells(l->s + l->first, l->n - l->first);
    buffer header_row = {0};
    if (columns != count_cells((const char *)paragraph->text.data + header, paragraph->text.size - header - 1))
        return NOT_THIS_START;
    put_bytes(&header_row, paragraph->text.data + header, paragraph->text.size - header);
    paragraph->text.size = header;
    if (header == 0) {
        paragraph->kind = MD_TABLE;
        table = paragraph;
        table->text.size = 0;
    } else {
        table = add_child(p, paragraph->parent, MD_TABLE);
    }
    table->columns = columns;
    table->info.size = 0;
    column_alignments(&table->info, l->s + l->first, l->n - l->first);
    put_bytes(&table->text, header_row.data, header_row.size);
    free(header_row.data);
    p->tip = table;
    l->consumed = 1;
    return STARTS_END;
}

static enum block_start open_thematic_break(md_parser *p, md_line *l)
{
    l->container = add_child(p, l->container, MD_HR);
    l->started = l->consumed = 1;
    return STARTS_END;
}

/* "[^label]:" opens a footnote, its label without blanks; the blocks
 * after it on the line and on the lines it goes on with are its own.  As
 * on GitHub it may interrupt a paragraph.  Its label is noted with the
 * references, so that the first pass knows which references it answers. */
static enum block_start open_footnote(md_parser *p, md_line *l)
{
    const char *s = l->s;
    size_t end = l->first + 2;
    md_block *note;
    if (end >= l->n || s[l->first + 1] != '^')
        return NOT_THIS_START;
    while (end < l->n && s[end] != ']' && s[end] != ' ' && s[end] != '\t' && s[end] != '\0')
        ++end;
    if (end == l->first + 2 || end + 1 >= l->n || s[end] != ']' || s[end + 1] != ':')
        return NOT_THIS_START;
    add_reference(p, s + l->first + 1, end - l->first - 1, "", 0, "", 0, 1);
    note = l->container = add_child(p, l->container, MD_NOTE);
    normalize_label(&note->info, s + l->first + 2, end - l->first - 2);
    l->pos = end + 2;
    while (l->pos < l->n && (s[l->pos] == ' ' || s[l->pos] == '\t'))
        ++l->pos;
    l->started = 1;
    ++l->nesting;
    return STARTS_GO_ON;
}

/* Tabs between a list marker and the item's text become the spaces they
 * stand for, as a part of one may be code in the item.  Up to here the
 * line's tabs are expanded, so an index is a column.  Returns where the
 * text now begins (`text`, when memory runs out and the tabs stay). */
static size_t expand_tabs_after_marker(md_parser *p, md_line *l, size_t after, size_t text, size_t column)
{
    buffer expanded = {0};
    size_t padding;
    put_bytes(&expanded, l->s, after);
    for (padding = after; padding < column; ++padding)
        put_byte(&expanded, ' ');
    put_bytes(&expanded, l->s + text, l->n - text);
    if (!expanded.data || expanded.failed) {
        free(expanded.data);
        return text;
    }
    free(p->line.data);
    p->line = expanded;
    l->s = (const char *)expanded.data;
    l->n = expanded.size;
    return column;
}

/* The list an item goes in: the open one when its marker is the same,
 * else a new one after it. */
static md_block *list_for_item(md_parser *p, md_line *l, int ordered, char marker, int number)
{
    md_block *list = l->container;
    if (list->kind == MD_LIST && list->ordered == ordered && list->marker == marker) {
        close_to(p, list);
        return list;
    }
    list = add_child(p, list, MD_LIST);
    list->follows_list = list->follows_list == 1 + ordered; /* of the same kind */
    list->ordered = ordered;
    list->marker = marker;
    list->start = number;
    return list;
}

/* A list marker and the spaces after it; its content begins after them,
 * or one space after the marker when there are more than four (the rest is
 * code) or no text.  An empty item, or one numbered other than 1, cannot
 * interrupt a paragraph. */
static enum block_start open_list_item(md_parser *p, md_line *l)
{
    int ordered = 0, number = 0, empty;
    char marker = 0;
    const size_t width = list_marker(l->s, l->n, l->first, &ordered, &number, &marker), after = l->first + width;
    size_t text = after, column = after, padding;
    md_block *item;
    if (width == 0)
        return NOT_THIS_START;
    for (; text < l->n && (l->s[text] == ' ' || l->s[text] == '\t'); ++text)
        column = l->s[text] == '\t' ? (column / 4 + 1) * 4 : column + 1;
    if (column != text && text < l->n)
        text = expand_tabs_after_marker(p, l, after, text, column);
    empty = text == l->n;
    padding = column - after;
    if (l->container->kind == MD_PARAGRAPH && paragraph_is_open(p) && (empty || (ordered && number != 1)))
        return STARTS_END;
    if (empty || padding > 4) {
        padding = 1;
        text = after + 1;
    }
    item = l->container = add_child(p, list_for_item(p, l, ordered, marker, number), MD_ITEM);
    item->content_indent = (int)(l->indent + width + padding);
    l->pos = empty ? l->n : text;
    l->started = 1;
    ++l->nesting;
    return STARTS_GO_ON;
}

/* The starts a line may hold at its first character, in the order that
 * decides between them where more than one fits ("---" under a paragraph
 * underlines it, elsewhere it is a rule; "* * *" is a rule, not an item).
 * A paragraph is the container only where the line continued it (a lazy
 * line stops above it), so an underline or a delimiter row is its own.
 * Quotes and items nest no deeper than NESTING_LIMIT: a deeper marker is
 * text. */
static enum block_start open_block(md_parser *p, md_line *l)
{
    const char c = l->s[l->first];
    enum block_start opened;
    if (l->indent >= 4)
        return open_indented_code(p, l);
    if (c == '>' && l->nesting < NESTING_LIMIT)
        return open_quote(p, l);
    if (c == '#' && (opened = open_atx_heading(p, l)) != NOT_THIS_START)
        return opened;
    if ((c == '`' || c == '~') && (opened = open_fence(p, l)) != NOT_THIS_START)
        return opened;
    if (c == '<' && (opened = open_html_block(p, l)) != NOT_THIS_START)
        return opened;
    if (l->container->kind == MD_PARAGRAPH && (opened = open_setext_heading(p, l)) != NOT_THIS_START)
        return opened;
    if (l->container->kind == MD_PARAGRAPH && is_delimiter_row(l->s, l->n, l->first) &&
        (opened = open_table(p, l)) != NOT_THIS_START)
        return opened;
    if (is_thematic_break(l->s, l->n, l->first))
        return open_thematic_break(p, l);
    if (c == '[' && l->nesting < NESTING_LIMIT && (opened = open_footnote(p, l)) != NOT_THIS_START)
        return opened;
    if (l->nesting < NESTING_LIMIT)
        return open_list_item(p, l);
    return NOT_THIS_START;
}

/* Opens blocks inside the innermost one the line continued, for as long
 * as each start leaves room for another.  Code, raw HTML, headings and
 * rules hold no blocks. */
static void open_new_blocks(md_parser *p, md_line *l)
{
    while (l->container->kind != MD_CODE && l->container->kind != MD_HEADING && l->container->kind != MD_HR &&
           l->container->kind != MD_HTML) {
        look_past_spaces(l);
        if (l->blank || open_block(p, l) != STARTS_GO_ON)
            break;
    }
}

/* ---- phase 3: the rest of the line goes into the block that takes it ---- */

/* A line that neither continued the open paragraph nor opened a block
 * still goes on with the paragraph, whatever containers it left. */
static int is_lazy_continuation(const md_parser *p, const md_line *l)
{
    return !l->started && !l->consumed && l->last_matched != p->tip && !l->blank && paragraph_is_open(p);
}

/* Raw HTML keeps its lines whole; kinds 1 to 5 end on the line that holds
 * their end (6 and 7 at a blank line, in phase 1). */
static void add_html_line(md_parser *p, md_block *html, const md_line *l)
{
    add_line(html, l->s + l->pos, l->n - l->pos);
    if (html->html_end <= 5 && html_ends(html->html_end, l->s + l->pos, l->n - l->pos))
        finalize(p, html);
}

static void add_line_text(md_parser *p, md_line *l)
{
    md_block *container = l->container;
    look_past_spaces(l);
    note_line(container, l->blank, l->started);
    if (is_lazy_continuation(p, l)) {
        add_line(p->tip, l->s + l->first, l->n - l->first);
        return;
    }
    if (l->consumed)
        return;
    close_to(p, container);
    if (container->kind == MD_CODE) {
        add_line(container, l->s + l->pos, l->n - l->pos); /* spaces and all */
    } else if (container->kind == MD_HTML) {
        add_html_line(p, container, l);
    } else if (l->blank) {
        return;
    } else if (container->kind == MD_PARAGRAPH || container->kind == MD_TABLE) {
        add_line(container, l->s + l->first, l->n - l->first);
    } else {
        /* a list the line did not continue ends: add_child climbs out of it */
        container = add_child(p, container, MD_PARAGRAPH);
        add_line(container, l->s + l->first, l->n - l->first);
    }
}

static void process_line(md_parser *p, const char *raw, size_t raw_length)
{
    md_line l;
    if (raw_length && raw[0] != ' ' && raw[0] != '\t' && raw[0] != '>') {
        l.s = raw; /* most lines: nothing to expand, no copy */
        l.n = raw_length;
    } else {
        take_line(p, raw, raw_length);
        l.s = p->line.data ? (const char *)p->line.data : "";
        l.n = p->line.size;
    }
    l.pos = 0;
    l.started = l.consumed = l.nesting = 0;
    if (!continue_open_blocks(p, &l))
        return;
    open_new_blocks(p, &l);
    add_line_text(p, &l);
}

/* ---- references ---- */

#define ROTATE(x, b) (((x) << (b)) | ((x) >> (64 - (b))))
#define SIP_ROUND(v0, v1, v2, v3)                                                            \
    do {                                                                                  \
        v0 += v1, v1 = ROTATE(v1, 13), v1 ^= v0, v0 = ROTATE(v0, 32);                      \
        v2 += v3, v3 = ROTATE(v3, 16), v3 ^= v2;                                           \
        v0 += v3, v3 = ROTATE(v3, 21), v3 ^= v0;                                           \
        v2 += v1, v1 = ROTATE(v1, 17), v1 ^= v2, v2 = ROTATE(v2, 32);                      \
    } while (0)

/* A label's slot comes from SipHash-1-3 under a key drawn for each
 * conversion: labels chosen to collide under any fixed hash (a document
 * made to slow the table down) collide no more than others. */
static size_t hash_label(const md_parser *p, const char *s, size_t n)
{
    uint64_t v0 = p->hash_key[0] ^ 0x736f6d6570736575ull, v1 = p->hash_key[1] ^ 0x646f72616e646f6dull,
             v2 = p->hash_key[0] ^ 0x6c7967656e657261ull, v3 = p->hash_key[1] ^ 0x7465646279746573ull;
    uint64_t word, last = (uint64_t)n << 56;
    size_t i = 0;
    int round;
    for (; n - i >= 8; i += 8) {
        memcpy(&word, s + i, 8);
        v3 ^= word;
        SIP_ROUND(v0, v1, v2, v3);
        v0 ^= word;
    }
    for (round = 0; i < n; ++i, round += 8)
        last |= (uint64_t)(unsigned char)s[i] << round;
    v3 ^= last;
    SIP_ROUND(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xFF;
    SIP_ROUND(v0, v1, v2, v3);
    SIP_ROUND(v0, v1, v2, v3);
    SIP_ROUND(v0, v1, v2, v3);
    return (size_t)(v0 ^ v1 ^ v2 ^ v3);
}

/* Its key: the clock and where this conversion's memory lies, which the
 * document cannot know. */
static void draw_hash_key(md_parser *p)
{
    uint64_t mixed = (uint64_t)(uintptr_t)p ^ ((uint64_t)(uintptr_t)&mixed << 17) ^ __builtin_ia32_rdtsc();
    p->hash_key[0] = mixed * 0x9E3779B97F4A7C15ull;
    p->hash_key[1] = (mixed ^ (mixed >> 31)) * 0xBF58476D1CE4E5B9ull;
}

/* The lower case of a letter of Latin-1, Latin Extended-A, Greek or
 * Cyrillic (the two-byte part of UTF-8); other characters as they are. */
static uint32_t fold_two_byte(uint32_t c)
{
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F)
        return c + 0x50;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x138 && c != 0x149 && c != 0x178 && c != 0x17F &&
        ((c & 1) == ((c >= 0x139 && c <= 0x148) || c >= 0x179)))
        return c + 1;
    return c;
}

/* Labels match without regard to case or runs of white space. */
static void normalize_label(buffer *out, const char *s, size_t n)
{
    size_t i;
    int space = 0;
    uint32_t two_byte;
    for (i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)s[i];
        if (is_blank(c)) {
            space = out->size > 0;
            continue;
        }
        if (space)
            put_byte(out, ' ');
        space = 0;
        if (c >= 0xC2 && c < 0xE0 && utf8_decode((const unsigned char *)s + i, n - i, &two_byte) == 2) {
            put_utf8(out, fold_two_byte(two_byte));
            ++i;
            continue;
        }
        if (c >= 'A' && c <= 'Z')
            c = (unsigned char)(c + 32);
        put_byte(out, c);
    }
}

static const reference *find_reference(md_parser *p, const char *label, size_t n)
{
    buffer key = {0};
    const reference *found = NULL;
    size_t slot;
    if (p->reference_count == 0)
        return NULL;
    normalize_label(&key, label, n);
    for (slot = hash_label(p, (const char *)key.data, key.size) & (p->reference_slots - 1);
         p->references[slot].label_length; slot = (slot + 1) & (p->reference_slots - 1)) {
        const reference *r = &p->references[slot];
        if (r->label_length == key.size + 1 && memcmp(p->arena.data + r->label, key.data, key.size) == 0) {
            found = r;
            break;
        }
    }
    free(key.data);
    return found;
}

static void add_reference(md_parser *p, const char *label, size_t label_length, const char *target,
                          size_t target_length, const char *title, size_t title_length, uint32_t note)
{
    reference entry;
    size_t slot, key_length;
    if (find_reference(p, label, label_length))
        return; /* the first definition counts */
    if (p->arena.size + 3 * label_length + target_length + title_length >= UINT32_MAX) {
        refusal_set("Its reference definitions hold more than 4 GiB.");
        return;
    }
    if ((p->reference_count + 1) * 2 > p->reference_slots) {
        const size_t slots = p->reference_slots ? p->reference_slots * 2 : 64;
        reference *grown = (reference *)calloc(slots, sizeof *grown);
        size_t i;
        if (!grown)
            return;
        for (i = 0; i < p->reference_slots; ++i) {
            const reference *r = &p->references[i];
            if (!r->label_length)
                continue;
            slot = hash_label(p, (const char *)p->arena.data + r->label, r->label_length - 1) & (slots - 1);
            while (grown[slot].label_length)
                slot = (slot + 1) & (slots - 1);
            grown[slot] = *r;
        }
        free(p->references);
        p->references = grown;
        p->reference_slots = slots;
    }
    entry.label = (uint32_t)p->arena.size;
    normalize_label(&p->arena, label, label_length);
    key_length = p->arena.size - entry.label;
    entry.label_length = (uint32_t)key_length + 1; /* never 0: 0 marks a free slot */
    entry.target = (uint32_t)p->arena.size;
    put_bytes(&p->arena, target, target_length);
    entry.target_length = (uint32_t)target_length;
    put_bytes(&p->arena, title, title_length);
    entry.title_length = (uint32_t)title_length;
    entry.note = note;
    if (p->arena.failed)
        return;
    slot = hash_label(p, (const char *)p->arena.data + entry.label, key_length) & (p->reference_slots - 1);
    while (p->references[slot].label_length)
        slot = (slot + 1) & (p->reference_slots - 1);
    p->references[slot] = entry;
    ++p->reference_count;
}

/* A link label "[...]" at s: its length with the brackets, 0 when none. */
static size_t link_label(const char *s, size_t n)
{
    size_t i;
    int content = 0;
    if (n == 0 || s[0] != '[')
        return 0;
    for (i = 1; i < n && i < 1001; ++i) {
        if (s[i] == '\\' && i + 1 < n && is_punctuation((unsigned char)s[i + 1])) {
            ++i;
            content = 1;
        } else if (s[i] == '[') {
            return 0;
        } else if (s[i] == ']') {
            return content ? i + 1 : 0;
        } else if (!is_blank((unsigned char)s[i])) {
            content = 1;
        }
    }
    return 0;
}

static size_t skip_blanks_one_line(const char *s, size_t n, size_t i, int *lines)
{
    while (i < n && is_blank((unsigned char)s[i])) {
        if (s[i] == '\n' && ++*lines > 1)
            return i;
        ++i;
    }
    return i;
}

/* A link destination at s[i]; returns the position after it, or 0. */
static size_t link_destination(const char *s, size_t n, size_t i, size_t *start, size_t *end)
{
    if (i < n && s[i] == '<') {
        size_t j;
        for (j = i + 1; j < n; ++j) {
            if (s[j] == '\\' && j + 1 < n) {
                ++j;
            } else if (s[j] == '>') {
                *start = i + 1;
                *end = j;
                return j + 1;
            } else if (s[j] == '<' || s[j] == '\n') {
                return 0;
            }
        }
        return 0;
    } else {
        size_t j = i;
        int depth = 0;
        while (j < n && !is_blank((unsigned char)s[j]) && (unsigned char)s[j] >= 0x20) {
            if (s[j] == '\\' && j + 1 < n && is_punctuation((unsigned char)s[j + 1])) {
                j += 2;
                continue;
            }
            if (s[j] == '(') {
                if (++depth > 32)
                    return 0;
            } else if (s[j] == ')') {
                if (depth == 0)
                    break;
                --depth;
            }
            ++j;
        }
        if (depth != 0 || j == i)
            return j == i ? (size_t)-1 : 0;
        *start = i;
        *end = j;
        return j;
    }
}

/* A link title at s[i]; the position after it, or 0. */
static size_t link_title(const char *s, size_t n, size_t i)
{
    char close;
    size_t j;
    if (i >= n)
        return 0;
    close = s[i] == '"' ? '"' : s[i] == '\'' ? '\'' : s[i] == '(' ? ')' : 0;
    if (!close)
        return 0;
    for (j = i + 1; j < n; ++j) {
        if (s[j] == '\\' && j + 1 < n)
            ++j;
        else if (s[j] == close)
            return j + 1;
        else if (close == ')' && s[j] == '(')
            return 0;
    }
    return 0;
}

static void unescape_into(buffer *out, const char *s, size_t n);

/* A reference definition at the start of s; its length, 0 when none. */
static size_t parse_reference(md_parser *p, const char *s, size_t n)
{
    const size_t label = link_label(s, n);
    size_t i, start = 0, end = 0, after, title_start = 0, title_end;
    int lines = 0;
    buffer target = {0}, title = {0};
    if (!label || label >= n || s[label] != ':')
        return 0;
    i = skip_blanks_one_line(s, n, label + 1, &lines);
    if (lines > 1)
        return 0;
    after = link_destination(s, n, i, &start, &end);
    if (after == 0 || after == (size_t)-1)
        return 0;
    /* an optional title, then nothing else on its line */
    lines = 0;
    i = skip_blanks_one_line(s, n, after, &lines);
    title_start = i;
    title_end = i > after ? link_title(s, n, i) : 0;
    if (title_end) {
        size_t k = title_end;
        while (k < n && (s[k] == ' ' || s[k] == '\t'))
            ++k;
        if (k < n && s[k] != '\n')
            title_end = 0;
        else
            i = k < n ? k + 1 : k;
    }
    if (!title_end) {
        size_t k = after;
        while (k < n && (s[k] == ' ' || s[k] == '\t'))
            ++k;
        if (k < n && s[k] != '\n')
            return 0;
        i = k < n ? k + 1 : k;
    }
    unescape_into(&target, s + start, end - start);
    if (title_end)
        unescape_into(&title, s + title_start + 1, title_end - title_start - 2);
    add_reference(p, s + 1, label - 2, target.data ? (const char *)target.data : "", target.size,
                  title.data ? (const char *)title.data : "", title.size, 0);
    free(target.data);
    free(title.data);
    return i;
}

/* ---- inline text ---- */

/* A character reference at s (s[0] is '&'): its length, the text in out. */
static size_t character_reference(buffer *out, const char *s, size_t n)
{
    size_t i = 1;
    if (n > 2 && s[1] == '#') {
        uint32_t value = 0;
        size_t digits_start;
        const int hex = s[2] == 'x' || s[2] == 'X';
        i = digits_start = hex ? 3 : 2;
        for (; i < n && i - digits_start < (hex ? 6u : 7u); ++i) {
            const unsigned char c = (unsigned char)s[i];
            if (is_digit(c))
                value = value * (hex ? 16 : 10) + (uint32_t)(c - '0');
            else if (hex && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'))
                value = value * 16 + (uint32_t)((c | 0x20) - 'a' + 10);
            else
                break;
        }
        if (i == digits_start || i >= n || s[i] != ';')
            return 0;
        if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            value = 0xFFFD;
        put_utf8(out, value);
        return i + 1;
    }
    while (i < n && i < 40 && (is_letter((unsigned char)s[i]) || is_digit((unsigned char)s[i])))
        ++i;
    if (i < n && s[i] == ';' && i > 1) {
        const char *text;
        /* the everyday ones without a search */
        if (i == 4 && memcmp(s + 1, "amp", 3) == 0) {
            put_byte(out, '&');
            return 5;
        }
        if (i == 3 && (s[1] == 'l' || s[1] == 'g') && s[2] == 't') {
            put_byte(out, s[1] == 'l' ? '<' : '>');
            return 4;
        }
        text = named_reference(s + 1, i);
        if (text) {
            put_str(out, text);
            return i + 1;
        }
    }
    return 0;
}

/* Backslash escapes and character references resolved (link targets). */
static void unescape_into(buffer *out, const char *s, size_t n)
{
    size_t i;
    for (i = 0; i < n; ++i) {
        size_t used;
        if (s[i] == '\\' && i + 1 < n && is_punctuation((unsigned char)s[i + 1])) {
            put_byte(out, (unsigned char)s[++i]);
        } else if (s[i] == '&' && (used = character_reference(out, s + i, n - i)) > 0) {
            i += used - 1;
        } else {
            put_byte(out, (unsigned char)s[i]);
        }
    }
}

enum inline_kind {
    IN_SOFT, IN_HARD, IN_CODE, IN_DELIM, IN_BRACKET, IN_LINK_END, IN_LINK, IN_MARK_TAG, IN_RAW, IN_FOOTNOTE
};

/* Text is no node of its own: each node holds the run of text before it,
 * and the parser the run after the last, so that a paragraph costs a node
 * per mark, not two. */
struct inline_node {
    uint32_t text_offset, text_length; /* the text before the node (a paragraph's inlines are under 1 GiB) */
    int32_t count;             /* delimiter runs: what is left to pair; tags: 1 opens, -1 closes */
    unsigned char kind, active, image;
    signed char mark;          /* a tag's mark */
    union {
        struct {               /* code, raw HTML and a footnote's label: their own text */
            uint32_t offset, length;
        };
        struct {               /* links and brackets */
            uint32_t target, target_length, title_length; /* the title follows the target */
            uint32_t source;   /* brackets: where their text begins */
        };
        struct {               /* delimiter runs */
            int32_t previous_delimiter, next_delimiter; /* the neighbours that may still pair */
            uint32_t marks;    /* what the run opens and closes (add_run_mark) */
            char delimiter;    /* '*', '_', '~' */
            unsigned char can_open, can_close;
            unsigned char modulo; /* the run's first length, modulo 3: all that pairing asks of it */
        };
    };
};

typedef struct inline_node inline_node;
/* A paragraph dense with marks holds a node for every two or three bytes:
 * the node's size is what its memory is counted in. */
_Static_assert(sizeof(inline_node) == 32, "an inline node takes 32 bytes");

/* The marks a run opens and closes, two bits each, six at most of either:
 * the opened in bits 0 to 11, the closed in bits 12 to 23, their counts in
 * the four bits at 24 and at 28. */
enum run_side { RUN_OPENS = 0, RUN_CLOSES = 12 };
#define RUN_MARKS_KEPT 6
static const unsigned char mark_of_code[4] = {NODE_NONE, NODE_I, NODE_B, NODE_S};

static int run_mark_count(const inline_node *run, enum run_side side)
{
    return (int)(run->marks >> (side == RUN_OPENS ? 24 : 28) & 15);
}

static int run_mark(const inline_node *run, enum run_side side, int k)
{
    return mark_of_code[run->marks >> (side + 2 * k) & 3];
}

static void add_run_mark(inline_node *run, enum run_side side, int node)
{
    const int count = run_mark_count(run, side);
    if (count == RUN_MARKS_KEPT)
        return;
    run->marks |= (uint32_t)(node == NODE_I ? 1 : node == NODE_B ? 2 : 3) << (side + 2 * count);
    run->marks += 1u << (side == RUN_OPENS ? 24 : 28);
}

/* HTML tags read as the marks they stand for: the tags the HTML writer
 * writes, so that the page comes out the same. */
static const struct {
    const char *open, *close;
    int node;
} mark_tags[] = {{"<u>", "</u>", NODE_U}, {"<em>", "</em>", NODE_I}, {"<strong>", "</strong>", NODE_B},
                 {"<del>", "</del>", NODE_S}, {"<sup>", "</sup>", NODE_SUP}, {"<sub>", "</sub>", NODE_SUB}};


/* Where the runs of backticks of a paragraph lie, by length: short runs in
 * a table, longer ones (few, as each takes that many bytes) in a list that
 * is sorted once every run is known. */
#define SHORT_RUNS 128
typedef struct tick_run {
    size_t length, start;
} tick_run;
typedef struct backtick_runs {
    int ready;                     /* the table is cleared for this paragraph */
    int to_end;                    /* every run from the first search on is noted */
    size_t last_start[SHORT_RUNS]; /* 1 + where the last run of each length begins; 0: none */
    tick_run *long_runs;
    size_t long_count, long_capacity;
} backtick_runs;

/* A paragraph's inline text, its link targets included (which the
 * expansion budget keeps within three times the input), stays under 4 GiB
 * for the nodes' 32-bit offsets. */
#define INLINE_TEXT_LIMIT ((size_t)1 << 30)

/* Brackets open at once: one opened beyond them is text, as no "]" would
 * reach it, and costs no node of its own. */
#define BRACKET_LIMIT 64

typedef struct inline_parser {
    md_parser *p;
    node_store *store;
    int count;
    buffer text;               /* decoded text of the nodes */
    int brackets[BRACKET_LIMIT]; /* open brackets, as node indexes */
    int bracket_count;
    int last_delimiter;        /* the last delimiter run that may still pair, -1 when none */
    size_t pending_offset, pending_length; /* the text after the last node */
    backtick_runs backticks;
    size_t unended_from[4];    /* 1 + where raw HTML of a kind was found without its end; 0: not yet */
    int bare_links;            /* the text may hold a bare address ("www.", "://") */
    int emails;                /* and an e-mail address ('@') */
} inline_parser;

static void note_run(backtick_runs *runs, size_t start, size_t length)
{
    if (!runs->ready) {
        memset(runs->last_start, 0, sizeof runs->last_start);
        runs->ready = 1;
    }
    if (length < SHORT_RUNS) {
        if (start + 1 > runs->last_start[length])
            runs->last_start[length] = start + 1;
        return;
    }
    if (runs->long_count == runs->long_capacity) {
        const size_t capacity = runs->long_capacity ? runs->long_capacity * 2 : 16;
        tick_run *grown = (tick_run *)realloc(runs->long_runs, capacity * sizeof *grown);
        if (!grown)
            return; /* such a run is then only found by a scan */
        runs->long_runs = grown;
        runs->long_capacity = capacity;
    }
    runs->long_runs[runs->long_count].length = length;
    runs->long_runs[runs->long_count++].start = start;
}

static int by_length_then_start(const void *a, const void *b)
{
    const tick_run *x = (const tick_run *)a, *y = (const tick_run *)b;
    if (x->length != y->length)
        return x->length < y->length ? -1 : 1;
    return x->start < y->start ? -1 : x->start > y->start;
}

static void end_of_runs(backtick_runs *runs)
{
    if (runs->long_count > 1)
        qsort(runs->long_runs, runs->long_count, sizeof *runs->long_runs, by_length_then_start);
    runs->to_end = 1;
}

/* Whether a run of `length` backticks begins at or after `from`. */
static int run_after(const backtick_runs *runs, size_t length, size_t from)
{
    size_t low = 0, high = runs->long_count;
    if (length < SHORT_RUNS)
        return runs->ready && runs->last_start[length] > from;
    /* the last run of that length: the first of the next length, less one */
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (runs->long_runs[middle].length <= length)
            low = middle + 1;
        else
            high = middle;
    }
    return low > 0 && runs->long_runs[low - 1].length == length && runs->long_runs[low - 1].start >= from;
}

static inline_node *add_node(inline_parser *ip, int kind)
{
    node_store *store = ip->store;
    inline_node *node;
    if (ip->count == store->chunk_count * NODE_CHUNK) {
        inline_node **chunks = (inline_node **)room_for_one(store->chunks, store->chunk_count, &store->chunk_slots,
                                                             16, sizeof *chunks);
        if (!chunks)
            return NULL;
        store->chunks = chunks;
        if ((chunks[store->chunk_count] = (inline_node *)malloc(NODE_CHUNK * sizeof **chunks)) == NULL) {
            refusal_set(REFUSAL_OUT_OF_MEMORY);
            return NULL;
        }
        ++store->chunk_count;
    }
    node = NODE(ip, ip->count);
    ++ip->count;
    memset(node, 0, sizeof *node);
    node->kind = (unsigned char)kind;
    node->text_offset = (uint32_t)ip->pending_offset;
    node->text_length = (uint32_t)ip->pending_length;
    node->offset = (uint32_t)ip->text.size;
    ip->pending_offset = ip->text.size;
    ip->pending_length = 0;
    return node;
}

static void add_text(inline_parser *ip, const char *s, size_t n)
{
    if (ip->pending_length == 0) {
        ip->pending_offset = ip->text.size;
    } else if (ip->pending_offset + ip->pending_length != ip->text.size) {
        /* a node's own text came after it (a link's target): the run moves to the end */
        if (!reserve(&ip->text, ip->pending_length))
            return;
        memcpy(ip->text.data + ip->text.size, ip->text.data + ip->pending_offset, ip->pending_length);
        ip->pending_offset = ip->text.size;
        ip->text.size += ip->pending_length;
    }
    put_bytes(&ip->text, s, n);
    if (!ip->text.failed)
        ip->pending_length += n;
}

/* Whether the characters around a delimiter run are white space or
 * punctuation (no-break space counts as white space). */
static void neighbours(const char *s, size_t n, size_t before, size_t after, int *prev_space, int *prev_punct,
                       int *next_space, int *next_punct)
{
    const unsigned char prev = before > 0 ? (unsigned char)s[before - 1] : '\n';
    const unsigned char next = after < n ? (unsigned char)s[after] : '\n';
    *prev_space = is_blank(prev) || (before >= 2 && (unsigned char)s[before - 2] == 0xC2 && prev == 0xA0);
    *next_space = is_blank(next) || (next == 0xC2 && after + 1 < n && (unsigned char)s[after + 1] == 0xA0);
    *prev_punct = is_punctuation(prev);
    *next_punct = is_punctuation(next);
}

int delimiter_run_use(const char *s, size_t n, size_t at, size_t count)
{
    int prev_space, prev_punct, next_space, next_punct, left, right;
    neighbours(s, n, at, at + count, &prev_space, &prev_punct, &next_space, &next_punct);
    left = !next_space && (!next_punct || prev_space || prev_punct);
    right = !prev_space && (!prev_punct || next_space || next_punct);
    if (s[at] == '_') /* inside a word "_" neither opens nor closes */
        return (left && (!right || prev_punct) ? DELIMITER_OPENS : 0) |
               (right && (!left || next_punct) ? DELIMITER_CLOSES : 0);
    return (left ? DELIMITER_OPENS : 0) | (right ? DELIMITER_CLOSES : 0);
}

static void add_delimiter(inline_parser *ip, const char *s, size_t n, size_t at, size_t count)
{
    inline_node *node;
    int use;
    const char c = s[at];
    if (c == '~' && count > 2) {
        add_text(ip, s + at, count);
        return;
    }
    node = add_node(ip, IN_DELIM);
    if (!node)
        return;
    node->previous_delimiter = ip->last_delimiter;
    node->next_delimiter = -1;
    if (ip->last_delimiter >= 0)
        NODE(ip, ip->last_delimiter)->next_delimiter = ip->count - 1;
    ip->last_delimiter = ip->count - 1;
    use = delimiter_run_use(s, n, at, count);
    node->delimiter = c;
    node->count = (int32_t)count;
    node->modulo = (unsigned char)(count % 3);
    node->active = 1;
    node->can_open = (use & DELIMITER_OPENS) != 0;
    node->can_close = (use & DELIMITER_CLOSES) != 0;
}

static int delimiter_slot(char c)
{
    return c == '*' ? 0 : c == '_' ? 1 : 2;
}

/* Takes a delimiter run out of the runs that may still pair: each run
 * leaves once, so pairing takes time linear in the runs. */
static void remove_delimiter(inline_parser *ip, int run)
{
    inline_node *node = NODE(ip, run);
    if (node->previous_delimiter >= 0)
        NODE(ip, node->previous_delimiter)->next_delimiter = node->next_delimiter;
    if (node->next_delimiter >= 0)
        NODE(ip, node->next_delimiter)->previous_delimiter = node->previous_delimiter;
    else
        ip->last_delimiter = node->previous_delimiter;
    node->active = 0;
}

/* Whether run `o` can open what run `c` closes. */
static int runs_pair(const inline_node *o, const inline_node *c)
{
    if (!o->can_open || o->delimiter != c->delimiter)
        return 0;
    if (c->delimiter == '~')
        return o->count == c->count;
    /* a run that may both open and close pairs only where the lengths do
     * not add up to a multiple of three, unless both are one */
    return !((o->can_close || c->can_open) && (o->modulo + c->modulo) % 3 == 0 && !(o->modulo == 0 && c->modulo == 0));
}

/* Pairs `closer` with the nearest run that can open it, above `floor`; -1
 * when there is none. */
static int find_opener(const inline_parser *ip, int closer, int floor)
{
    int opener;
    for (opener = NODE(ip, closer)->previous_delimiter; opener > floor; opener = NODE(ip, opener)->previous_delimiter)
        if (runs_pair(NODE(ip, opener), NODE(ip, closer)))
            return opener;
    return -1;
}

static void pair_runs(inline_parser *ip, int opener, int closer)
{
    inline_node *o = NODE(ip, opener), *c = NODE(ip, closer);
    int used, kind, between;
    if (c->delimiter == '~') {
        used = c->count;
        kind = NODE_S;
    } else {
        used = o->count >= 2 && c->count >= 2 ? 2 : 1;
        kind = used == 2 ? NODE_B : NODE_I;
    }
    o->count -= used;
    c->count -= used;
    add_run_mark(o, RUN_OPENS, kind);
    add_run_mark(c, RUN_CLOSES, kind);
    /* the runs between them can no longer pair with anything outside */
    for (between = o->next_delimiter; between != closer; between = NODE(ip, between)->next_delimiter)
        remove_delimiter(ip, between);
    if (o->count == 0)
        remove_delimiter(ip, opener);
    if (c->count == 0)
        remove_delimiter(ip, closer);
}

/* Pairs delimiter runs after node `bottom` into emphasis, strong emphasis
 * and strike-through.  A closer that finds no opener raises the floor for
 * its kind of run, so no later closer searches below it again. */
static void process_emphasis(inline_parser *ip, int bottom)
{
    int openers_bottom[3][3][2];
    int closer, i, j, k;
    if (ip->last_delimiter <= bottom)
        return; /* no delimiter run to pair: most headings, items and cells */
    for (i = 0; i < 3; ++i)
        for (j = 0; j < 3; ++j)
            for (k = 0; k < 2; ++k)
                openers_bottom[i][j][k] = bottom;
    for (closer = ip->last_delimiter; NODE(ip, closer)->previous_delimiter > bottom;)
        closer = NODE(ip, closer)->previous_delimiter;
    while (closer >= 0) {
        inline_node *c = NODE(ip, closer);
        while (c->can_close && c->count > 0) {
            int *floor = &openers_bottom[delimiter_slot(c->delimiter)][c->modulo][c->can_open];
            const int opener = find_opener(ip, closer, *floor);
            if (opener < 0) {
                if (c->previous_delimiter > *floor)
                    *floor = c->previous_delimiter;
                if (!c->can_open)
                    remove_delimiter(ip, closer);
                break;
            }
            pair_runs(ip, opener, closer);
        }
        closer = c->next_delimiter;
    }
    while (ip->last_delimiter > bottom)
        remove_delimiter(ip, ip->last_delimiter);
}

/* After "]": an inline link "(target "title")", a reference "[label]", or
 * the bracket's own text as a label.  Returns the position after it, 0. */
static size_t resolve_link(inline_parser *ip, const char *s, size_t n, size_t after, size_t text_start,
                           size_t text_end, buffer *target, buffer *title)
{
    if (after < n && s[after] == '(') {
        int lines = 0;
        size_t i = skip_blanks_one_line(s, n, after + 1, &lines), start = 0, end = 0, next;
        if (i < n && s[i] == ')') {
            return i + 1;
        }
        next = link_destination(s, n, i, &start, &end);
        if (next != 0 && next != (size_t)-1) {
            size_t title_start = 0, title_end = 0;
            lines = 0;
            i = skip_blanks_one_line(s, n, next, &lines);
            if (i > next && (title_end = link_title(s, n, i)) > 0) {
                title_start = i;
                lines = 0;
                i = skip_blanks_one_line(s, n, title_end, &lines);
            }
            if (i < n && s[i] == ')') {
                unescape_into(target, s + start, end - start);
                if (title_end)
                    unescape_into(title, s + title_start + 1, title_end - title_start - 2);
                return i + 1;
            }
        }
    }
    {
        const size_t label = link_label(s + after, n - after);
        const reference *r = NULL;
        size_t used = after;
        if (label > 2) {
            r = find_reference(ip->p, s + after + 1, label - 2);
            if (!r || r->note)
                return 0;
            used = after + label;
        } else {
            if (label == 0 && after + 1 < n && s[after] == '[' && s[after + 1] == ']')
                used = after + 2;
            if (text_end - text_start > 999)
                return 0;
            r = find_reference(ip->p, s + text_start, text_end - text_start);
        }
        /* a reference used over and over must not multiply the input */
        if (!r || r->note || !doc_spend(&ip->p->expansion_left, r->target_length + r->title_length))
            return 0;
        put_bytes(target, ip->p->arena.data + r->target, r->target_length);
        put_bytes(title, ip->p->arena.data + r->target + r->target_length, r->title_length);
        return used;
    }
}

/* "[^label]" that no link took is a footnote where a footnote of that
 * label is defined, and stays text where none is, as on GitHub.  What was
 * parsed inside the brackets is no more than the label: it goes. */
static int footnote_reference(inline_parser *ip, const char *s, int opener_index, size_t at)
{
    inline_node *opener = NODE(ip, opener_index);
    const reference *r;
    const size_t start = opener->source;
    if (opener->image || at < start + 2 || s[start] != '^' ||
        !(r = find_reference(ip->p, s + start, at - start)) || !r->note)
        return 0;
    --ip->bracket_count;
    process_emphasis(ip, opener_index);
    ip->count = opener_index + 1;
    ip->pending_length = 0;
    opener = NODE(ip, opener_index);
    opener->kind = IN_FOOTNOTE;
    opener->offset = (uint32_t)ip->text.size;
    normalize_label(&ip->text, s + start + 1, at - start - 1);
    opener->length = (uint32_t)(ip->text.size - opener->offset);
    return 1;
}

static size_t close_bracket(inline_parser *ip, const char *s, size_t n, size_t at)
{
    buffer target = {0}, title = {0};
    int opener_index;
    inline_node *opener, *end;
    size_t after;
    if (ip->bracket_count == 0) {
        add_text(ip, "]", 1);
        return at + 1;
    }
    opener_index = ip->brackets[ip->bracket_count - 1];
    opener = NODE(ip, opener_index);
    if (!opener->active) {
        --ip->bracket_count;
        add_text(ip, "]", 1);
        return at + 1;
    }
    after = resolve_link(ip, s, n, at + 1, opener->source, at, &target, &title);
    if (!after && footnote_reference(ip, s, opener_index, at))
        return at + 1;
    if (!after) {
        --ip->bracket_count;
        free(target.data);
        free(title.data);
        add_text(ip, "]", 1);
        return at + 1;
    }
    --ip->bracket_count;
    process_emphasis(ip, opener_index);
    opener = NODE(ip, opener_index);
    opener->kind = IN_LINK;
    opener->target = ip->text.size;
    put_bytes(&ip->text, target.data, target.size);
    opener->target_length = target.size;
    put_bytes(&ip->text, title.data, title.size);
    opener->title_length = title.size;
    free(target.data);
    free(title.data);
    end = add_node(ip, IN_LINK_END);
    if (end)
        end->image = NODE(ip, opener_index)->image;
    if (!NODE(ip, opener_index)->image) {
        int i;
        for (i = 0; i < ip->bracket_count; ++i)
            if (!NODE(ip, ip->brackets[i])->image)
                NODE(ip, ip->brackets[i])->active = 0;
    }
    return after;
}

/* "<scheme:...>" or "<name@host>"; the position after it, or 0. */
static size_t autolink(inline_parser *ip, const char *s, size_t n, size_t at)
{
    size_t i = at + 1, scheme_end;
    inline_node *node;
    while (i < n && (is_letter((unsigned char)s[i]) || is_digit((unsigned char)s[i]) || s[i] == '+' || s[i] == '.' ||
                     s[i] == '-'))
        ++i;
    scheme_end = i;
    if (scheme_end - at - 1 >= 2 && scheme_end - at - 1 <= 32 && is_letter((unsigned char)s[at + 1]) && i < n &&
        s[i] == ':') {
        for (++i; i < n && s[i] != '>' && s[i] != '<' && (unsigned char)s[i] > 0x20; ++i)
            ;
        if (i < n && s[i] == '>') {
            node = add_node(ip, IN_LINK);
            if (!node)
                return 0;
            node->target = ip->text.size;
            put_bytes(&ip->text, s + at + 1, i - at - 1);
            node->target_length = i - at - 1;
            add_text(ip, s + at + 1, i - at - 1);
            add_node(ip, IN_LINK_END);
            return i + 1;
        }
        return 0;
    }
    /* an e-mail address */
    {
        size_t j = at + 1;
        int at_sign = 0;
        for (; j < n && s[j] != '>'; ++j) {
            const unsigned char c = (unsigned char)s[j];
            if (c == '@') {
                if (at_sign++)
                    return 0;
            } else if (!is_letter(c) && !is_digit(c) && !strchr(".!#$%&'*+/=?^_`{|}~-", c)) {
                return 0;
            }
        }
        if (j >= n || !at_sign || s[j - 1] == '@' || s[at + 1] == '@')
            return 0;
        node = add_node(ip, IN_LINK);
        if (!node)
            return 0;
        node->target = ip->text.size;
        put_str(&ip->text, "mailto:");
        put_bytes(&ip->text, s + at + 1, j - at - 1);
        node->target_length = j - at - 1 + 7;
        add_text(ip, s + at + 1, j - at - 1);
        add_node(ip, IN_LINK_END);
        return j + 1;
    }
}

/* ---- bare addresses, as GitHub takes them for links ---- */

static int is_alnum(unsigned char c)
{
    return is_letter(c) || is_digit(c);
}

/* The length of a host name at s: letters, digits, '-', '_' and '.'
 * (any byte of a character beyond ASCII), 0 when it has an underscore in
 * one of its last two parts, or no dot where one is wanted.  The first
 * character, checked by the caller, and the last one are taken as they are. */
static size_t host_length(const char *s, size_t n, int dot_wanted)
{
    size_t i, dots = 0, underscores = 0, last_underscores = 0;
    for (i = 1; i + 1 < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '\\' && i + 2 < n)
            ++i;
        if (s[i] == '_') {
            ++underscores;
        } else if (s[i] == '.') {
            last_underscores = underscores;
            underscores = 0;
            ++dots;
        } else if (!is_alnum((unsigned char)s[i]) && (unsigned char)s[i] < 0x80 && s[i] != '-') {
            break;
        }
    }
    if ((last_underscores || underscores) && dots <= 10)
        return 0;
    return dots || !dot_wanted ? (n ? i : 0) : 0;
}

/* Where an address that runs to `end` really ends: trailing punctuation
 * is no part of it, nor a ')' that no '(' in it opens, nor an entity
 * reference ("&amp;") at its end; it stops at a '<'. */
static size_t address_end(const char *s, size_t end)
{
    size_t i, opening = 0, closing = 0;
    for (i = 0; i < end; ++i) {
        if (s[i] == '<') {
            end = i;
            break;
        }
        opening += s[i] == '(';
        closing += s[i] == ')';
    }
    while (end > 0) {
        const char c = s[end - 1];
        if (c == ')') {
            if (closing <= opening)
                return end;
            --closing;
            --end;
        } else if (c == ';') {
            size_t name = end - 1;
            while (name > 0 && is_letter((unsigned char)s[name - 1]))
                --name;
            end = name < end - 1 && name > 0 && s[name - 1] == '&' ? name - 1 : end - 1;
        } else if (strchr("?!.,:*_~'\"", c)) {
            --end;
        } else {
            return end;
        }
    }
    return end;
}

static size_t past_address(const char *s, size_t n, size_t i)
{
    while (i < n && !is_blank((unsigned char)s[i]) && s[i] != '<')
        ++i;
    return i;
}

/* "www." after a blank, "*", "_", "~" or "(" (or at the start): its
 * length, 0 when it is no address. */
static size_t www_address(const char *s, size_t n, size_t at)
{
    size_t host;
    if ((at > 0 && !is_blank((unsigned char)s[at - 1]) && !strchr("*_~(", s[at - 1])) || n - at < 4 ||
        memcmp(s + at, "www.", 4) != 0 || (host = host_length(s + at, n - at, 1)) == 0)
        return 0;
    return address_end(s + at, past_address(s, n, at + host) - at);
}

/* "http://", "https://" or "ftp://" at `*start`, which the scheme's
 * letters before the ':' at `colon` move back to: the address's length. */
static size_t scheme_address(const char *s, size_t n, size_t floor, size_t colon, size_t *start)
{
    static const char *const schemes[] = {"http", "https", "ftp"};
    size_t letters = colon, k, host;
    if (n - colon < 4 || s[colon + 1] != '/' || s[colon + 2] != '/' || !is_alnum((unsigned char)s[colon + 3]))
        return 0;
    while (letters > floor && is_letter((unsigned char)s[letters - 1]))
        --letters;
    for (k = 0; k < 3; ++k)
        if (colon - letters == strlen(schemes[k]) && starts_folded(s + letters, colon - letters, schemes[k]))
            break;
    if (k == 3 || (host = host_length(s + colon + 3, n - colon - 3, 0)) == 0)
        return 0;
    *start = letters;
    return address_end(s + letters, past_address(s, n, colon + 3 + host) - letters);
}

/* A link whose text is its target (but for a "http://" or "mailto:"
 * before it). */
static void add_address_link(inline_parser *ip, const char *prefix, const char *s, size_t n)
{
    inline_node *node = add_node(ip, IN_LINK);
    if (!node)
        return;
    node->target = ip->text.size;
    put_str(&ip->text, prefix);
    put_bytes(&ip->text, s, n);
    node->target_length = (uint32_t)(strlen(prefix) + n);
    add_text(ip, s, n);
    add_node(ip, IN_LINK_END);
}

/* The next `c` in s[from..end), end when there is none. */
static size_t next_of(const char *s, size_t from, size_t end, char c)
{
    const unsigned char *found = from < end ? find_byte((const unsigned char *)s + from, end - from, (unsigned char)c) : NULL;
    return found ? (size_t)((const char *)found - s) : end;
}

/* Plain text s[i..run), a bare address in it a link: GitHub looks for one
 * at each 'w' and ':' outside brackets (an address runs on past the run).
 * The two are found sixteen bytes at a time, each search going on from
 * where it stopped. */
static size_t inline_plain_text(inline_parser *ip, const char *s, size_t n, size_t i, size_t run)
{
    size_t next_w, next_colon;
    if (!ip->bare_links || ip->bracket_count > 0) {
        add_text(ip, s + i, run - i);
        return run;
    }
    next_w = next_of(s, i, run, 'w');
    next_colon = next_of(s, i, run, ':');
    while (next_w < run || next_colon < run) {
        const int at_w = next_w < next_colon;
        const size_t k = at_w ? next_w : next_colon;
        size_t start = k;
        const size_t length = at_w ? www_address(s, n, k) : scheme_address(s, n, i, k, &start);
        if (length > 0) {
            add_text(ip, s + i, start - i);
            add_address_link(ip, at_w ? "http://" : "", s + start, length);
            return start + length;
        }
        if (at_w)
            next_w = next_of(s, k + 1, run, 'w');
        else
            next_colon = next_of(s, k + 1, run, ':');
    }
    add_text(ip, s + i, run - i);
    return run;
}

/* Whether s may hold a bare address: most text has none, and is parsed
 * as it was. */
static void look_for_addresses(inline_parser *ip, const char *s, size_t n)
{
    const char *c = s, *end = s + n;
    ip->emails = memchr(s, '@', n) != NULL;
    ip->bare_links = 0;
    while (!ip->bare_links && (c = (const char *)memchr(c, ':', (size_t)(end - c))) != NULL)
        ip->bare_links = end - c >= 3 && c[1] == '/' && c[2] == '/', ++c;
    for (c = s; !ip->bare_links && (c = (const char *)memchr(c, 'w', (size_t)(end - c))) != NULL; ++c)
        ip->bare_links = end - c >= 4 && memcmp(c, "www.", 4) == 0;
}

/* The local part of an e-mail address that ends at `at` (its '@'), no
 * further back than `floor`; "mailto:" before it is part of the link. */
static size_t email_start(const char *s, size_t floor, size_t at, int *mailto)
{
    size_t start = at;
    while (start > floor && (is_alnum((unsigned char)s[start - 1]) || strchr(".+-_", s[start - 1])))
        --start;
    *mailto = 0;
    if (start < at && start >= floor + 7 && memcmp(s + start - 7, "mailto:", 7) == 0 &&
        (start - 7 == floor || !is_alnum((unsigned char)s[start - 8]))) {
        *mailto = 1;
        start -= 7;
    }
    return start;
}

/* The end of the domain after the '@' at `at`: letters, digits, '-', '_'
 * and dots before a letter or digit, at least one dot, a letter last.
 * Returns 0 when there is none, *resume where the search goes on. */
static size_t email_end(const char *s, size_t n, size_t at, size_t *resume)
{
    size_t end = at + 1, dots = 0;
    for (; end < n; ++end) {
        const unsigned char c = (unsigned char)s[end];
        if (c == '@') {
            *resume = at + 1;
            return 0;
        }
        if (c == '.' && end + 1 < n && is_alnum((unsigned char)s[end + 1]))
            ++dots;
        else if (!is_alnum(c) && c != '-' && c != '_')
            break;
    }
    *resume = end;
    if (end - at < 2 || dots == 0 || !is_letter((unsigned char)s[end - 1]))
        return 0;
    return end;
}

/* Text with its e-mail addresses made links. */
static void write_emails(doc_builder *b, const char *s, size_t n)
{
    size_t done = 0, from = 0, start, end, resume;
    const char *at;
    buffer target = {0};
    int mailto;
    while (from < n && (at = (const char *)memchr(s + from, '@', n - from)) != NULL) {
        const size_t k = (size_t)(at - s);
        start = email_start(s, from, k, &mailto);
        if (start == k || (end = email_end(s, n, k, &resume)) == 0) {
            from = start == k ? k + 1 : resume;
            continue;
        }
        doc_text(b, s + done, start - done);
        target.size = 0;
        put_str(&target, mailto ? "" : "mailto:");
        put_bytes(&target, s + start, end - start);
        doc_link(b, (const char *)target.data, target.size);
        doc_text(b, s + start, end - start);
        doc_link(b, NULL, 0);
        done = from = end;
    }
    doc_text(b, s + done, n - done);
    free(target.data);
}

static int starts_with_tag(const char *s, size_t n, size_t at, const char *tag)
{
    const size_t length = strlen(tag);
    size_t i;
    if (at + length > n)
        return 0;
    for (i = 0; i < length; ++i)
        if ((s[at + i] | (tag[i] >= 'a' ? 0x20 : 0)) != tag[i])
            return 0;
    return 1;
}

/* The length of a tag that stands for a mark at `at`, the mark in *node; 0
 * for any other.  An opening tag may carry attributes ("<strong
 * class=...>"): the mark is what counts. */
static size_t mark_tag_length(const char *s, size_t n, size_t at, int *node)
{
    size_t tag;
    for (tag = 0; tag < sizeof mark_tags / sizeof *mark_tags; ++tag) {
        const char *open = mark_tags[tag].open;
        const size_t name_end = strlen(open) - 1;
        char name[16];
        *node = mark_tags[tag].node;
        if (starts_with_tag(s, n, at, open))
            return name_end + 1;
        if (starts_with_tag(s, n, at, mark_tags[tag].close))
            return strlen(mark_tags[tag].close);
        memcpy(name, open, name_end);
        name[name_end] = '\0';
        if (at + name_end < n && (s[at + name_end] == ' ' || s[at + name_end] == '\t' || s[at + name_end] == '\n') &&
            starts_with_tag(s, n, at, name))
            return html_tag_length(s + at, n - at);
    }
    return 0;
}

/* The start of the first run of exactly `length` backticks at or after
 * `from`, 0 when there is none.  The runs a search passes are noted by
 * length; once a search has run to the end, the notes answer for the rest
 * of the text, so a run without a closer costs no second scan. */
static size_t closing_backticks(inline_parser *ip, const char *s, size_t n, size_t from, size_t length)
{
    backtick_runs *runs = &ip->backticks;
    size_t j = from;
    if (runs->to_end && !run_after(runs, length, from))
        return 0;
    while (j < n) {
        const char *tick = (const char *)find_byte((const unsigned char *)s + j, n - j, '`');
        size_t k;
        if (!tick)
            break;
        j = k = (size_t)(tick - s);
        while (k < n && s[k] == '`')
            ++k;
        if (!runs->to_end)
            note_run(runs, j, k - j);
        if (k - j == length)
            return j;
        j = k;
    }
    if (!runs->to_end)
        end_of_runs(runs);
    return 0;
}

/* Raw HTML at s[at]: its length, 0 when none.  A processing instruction,
 * CDATA section or declaration whose end a search did not find has none
 * further on either: the next one fails at once, not after another scan. */
static size_t raw_html_length(inline_parser *ip, const char *s, size_t n, size_t at)
{
    const int kind = at + 2 >= n                                 ? 0
                     : s[at + 1] == '?'                          ? 1
                     : n - at >= 9 && memcmp(s + at, "<![CDATA[", 9) == 0 ? 2
                     : s[at + 1] == '!' && is_letter((unsigned char)s[at + 2]) ? 3
                                                                  : 0;
    size_t length;
    if (kind && ip->unended_from[kind] && at >= ip->unended_from[kind] - 1)
        return 0;
    length = html_tag_length(s + at, n - at);
    if (!length && kind && !ip->unended_from[kind])
        ip->unended_from[kind] = at + 1;
    return length;
}

/* Bytes the inline loop stops at. */
static const unsigned char inline_stop[256] = {
    ['\n'] = 1, ['\\'] = 1, ['`'] = 1, ['*'] = 1, ['_'] = 1, ['~'] = 1, ['['] = 1, [']'] = 1, ['!'] = 1,
    ['&'] = 1, ['<'] = 1,
};

/* The length of the run of s[0..n) without a byte of inline_stop. */
static inline size_t plain_inline_run(const char *s, size_t n)
{
    size_t run = 0;
    while (run + 4 <= n && !(inline_stop[(unsigned char)s[run]] | inline_stop[(unsigned char)s[run + 1]] |
                             inline_stop[(unsigned char)s[run + 2]] | inline_stop[(unsigned char)s[run + 3]]))
        run += 4;
    while (run < n && !inline_stop[(unsigned char)s[run]])
        ++run;
    return run;
}

/* Each byte the inline loop stops at has a handler: it takes what begins
 * at s[i] and returns where the text after it begins. */

/* Two spaces or more before a line end make a hard break; fewer go, and a
 * soft line end goes on with the text before it: one run for a paragraph
 * without marks. */
static size_t inline_line_end(inline_parser *ip, const char *s, size_t n, size_t i)
{
    const int after_text = ip->pending_length > 0;
    int spaces = 0;
    if (after_text) {
        const int at_end = ip->pending_offset + ip->pending_length == ip->text.size;
        while (ip->pending_length > 0 && ip->text.data[ip->pending_offset + ip->pending_length - 1] == ' ') {
            --ip->pending_length;
            ++spaces;
        }
        if (at_end)
            ip->text.size = ip->pending_offset + ip->pending_length;
    }
    if (spaces < 2 && after_text && ip->pending_offset + ip->pending_length == ip->text.size)
        add_text(ip, "\n", 1);
    else
        add_node(ip, spaces >= 2 ? IN_HARD : IN_SOFT);
    return skip_spaces(s, n, i + 1);
}

/* A backslash before a line end is a hard break, before punctuation an
 * escape; elsewhere it is itself. */
static size_t inline_backslash(inline_parser *ip, const char *s, size_t n, size_t i)
{
    if (i + 1 < n && s[i + 1] == '\n') {
        add_node(ip, IN_HARD);
        return skip_spaces(s, n, i + 2);
    }
    if (i + 1 < n && is_punctuation((unsigned char)s[i + 1])) {
        add_text(ip, s + i + 1, 1);
        return i + 2;
    }
    add_text(ip, "\\", 1);
    return i + 1;
}

/* The text of a code span, s[start..end): line ends become spaces, and a
 * space at both ends goes, unless the span holds nothing else. */
static void add_code_span(inline_parser *ip, const char *s, size_t start, size_t end)
{
    inline_node *code = add_node(ip, IN_CODE);
    size_t k;
    int all_spaces = 1;
    for (k = start; k < end; ++k)
        if (s[k] != ' ' && s[k] != '\n')
            all_spaces = 0;
    if (!all_spaces && end - start >= 2 && (s[start] == ' ' || s[start] == '\n') &&
        (s[end - 1] == ' ' || s[end - 1] == '\n')) {
        ++start;
        --end;
    }
    if (code) {
        for (k = start; k < end; ++k)
            put_byte(&ip->text, s[k] == '\n' ? ' ' : (unsigned char)s[k]);
        code->length = end - start;
    }
}

/* A run of backticks opens a code span up to the next run of the same
 * length; without one it is text. */
static size_t inline_code_span(inline_parser *ip, const char *s, size_t n, size_t i)
{
    size_t ticks = i, close;
    while (ticks < n && s[ticks] == '`')
        ++ticks;
    close = closing_backticks(ip, s, n, ticks, ticks - i);
    if (!close) {
        add_text(ip, s + i, ticks - i);
        return ticks;
    }
    add_code_span(ip, s, ticks, close);
    return close + (ticks - i);
}

/* '*', '_' or '~': the whole run is one node, paired at the end
 * (process_emphasis). */
static size_t inline_delimiter_run(inline_parser *ip, const char *s, size_t n, size_t i)
{
    size_t end = i;
    while (end < n && s[end] == s[i])
        ++end;
    add_delimiter(ip, s, n, i, end - i);
    return end;
}

/* An open bracket, which a "]" may make a link or an image of. */
static void push_bracket(inline_parser *ip, int image, size_t source)
{
    inline_node *bracket = add_node(ip, IN_BRACKET);
    if (bracket) {
        bracket->image = (unsigned char)image;
        bracket->active = 1;
        bracket->source = (uint32_t)source;
        ip->brackets[ip->bracket_count++] = ip->count - 1;
    }
}

/* "![" opens an image; past BRACKET_LIMIT it is text, and so is a '!' alone. */
static size_t inline_image_start(inline_parser *ip, const char *s, size_t n, size_t i)
{
    if (i + 1 >= n || s[i + 1] != '[') {
        add_text(ip, "!", 1);
        return i + 1;
    }
    if (ip->bracket_count == BRACKET_LIMIT)
        add_text(ip, "![", 2);
    else
        push_bracket(ip, 1, i + 2);
    return i + 2;
}

/* "[" opens a link; past BRACKET_LIMIT it is text, as no "]" would reach it. */
static size_t inline_link_start(inline_parser *ip, size_t i)
{
    if (ip->bracket_count < BRACKET_LIMIT)
        push_bracket(ip, 0, i + 1);
    else
        add_text(ip, "[", 1);
    return i + 1;
}

/* A character reference is the text it stands for; another '&' is itself. */
static size_t inline_entity(inline_parser *ip, const char *s, size_t n, size_t i)
{
    buffer *decoded = &ip->p->scratch;
    size_t used;
    decoded->size = 0;
    used = character_reference(decoded, s + i, n - i);
    if (!used) {
        add_text(ip, "&", 1);
        return i + 1;
    }
    add_text(ip, (const char *)decoded->data, decoded->size);
    return i + used;
}

/* '<': a tag that stands for a mark or a line break, an autolink, other
 * raw HTML (kept as it is), or text. */
static size_t inline_angle(inline_parser *ip, const char *s, size_t n, size_t i)
{
    size_t used;
    int node;
    if ((used = mark_tag_length(s, n, i, &node)) > 0) {
        inline_node *mark = add_node(ip, IN_MARK_TAG);
        if (mark) {
            mark->count = s[i + 1] == '/' ? -1 : 1;
            mark->mark = node;
        }
        return i + used;
    }
    if (starts_with_tag(s, n, i, "<br>") || starts_with_tag(s, n, i, "<br/>") || starts_with_tag(s, n, i, "<br />")) {
        add_node(ip, IN_HARD);
        return (size_t)((const char *)memchr(s + i, '>', n - i) - s) + 1;
    }
    if ((used = autolink(ip, s, n, i)) > 0)
        return used;
    if ((used = raw_html_length(ip, s, n, i)) > 0) {
        inline_node *raw = add_node(ip, IN_RAW);
        if (raw) {
            put_bytes(&ip->text, s + i, used);
            raw->length = used;
        }
        return i + used;
    }
    add_text(ip, "<", 1);
    return i + 1;
}

static void parse_inlines(inline_parser *ip, const char *s, size_t n)
{
    size_t i = 0, run;
    while (i < n) {
        run = i + plain_inline_run(s + i, n - i);
        if (run > i) {
            i = inline_plain_text(ip, s, n, i, run);
            if (i == n)
                break;
            if (i != run)
                continue;
        }
        switch (s[i]) {
        case '\n': i = inline_line_end(ip, s, n, i); break;
        case '\\': i = inline_backslash(ip, s, n, i); break;
        case '`': i = inline_code_span(ip, s, n, i); break;
        case '*': case '_': case '~': i = inline_delimiter_run(ip, s, n, i); break;
        case '!': i = inline_image_start(ip, s, n, i); break;
        case '[': i = inline_link_start(ip, i); break;
        case ']': i = close_bracket(ip, s, n, i); break;
        case '&': i = inline_entity(ip, s, n, i); break;
        case '<': i = inline_angle(ip, s, n, i); break;
        default:
            add_text(ip, s + i, 1);
            ++i;
        }
    }
    process_emphasis(ip, -1);
}

/* An image; one whose address is its data ("data:image/png;base64,...")
 * is a picture with that data, other images keep their address. */
static void write_image(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
                        const char *alt, size_t alt_length)
{
    const char *comma = (const char *)memchr(src, ',', src_length);
    char type[48];
    size_t type_length;
    buffer data = {0};
    if (src_length > 5 && starts_folded(src, src_length, "data:") && comma && comma - src >= 13 &&
        starts_folded(comma - 7, 7, ";base64") && (type_length = (size_t)(comma - 7 - (src + 5))) > 0 &&
        type_length < sizeof type &&
        decode_base64(&data, (const unsigned char *)comma + 1, src_length - (size_t)(comma + 1 - src)) && data.size > 0) {
        memcpy(type, src + 5, type_length);
        type[type_length] = '\0';
        doc_picture(b, NULL, 0, title, title_length, alt, alt_length, type, data.data, data.size, 0, 0);
    } else {
        doc_image(b, src, src_length, title, title_length, alt, alt_length);
    }
    free(data.data);
}

/* An image at node `at`: its description as plain text is the alternative
 * text.  Returns the index of its end. */
static int emit_image(inline_parser *ip, doc_builder *b, int at)
{
    const inline_node *image = NODE(ip, at);
    const char *text = (const char *)ip->text.data;
    buffer alt = {0};
    int i, depth = 0;
    for (i = at + 1; i < ip->count; ++i) {
        const inline_node *node = NODE(ip, i);
        put_bytes(&alt, text + node->text_offset, node->text_length);
        if (node->kind == IN_LINK) {
            ++depth;
        } else if (node->kind == IN_LINK_END) {
            if (depth-- == 0)
                break;
        } else if (node->kind == IN_CODE || node->kind == IN_RAW || node->kind == IN_FOOTNOTE) {
            put_bytes(&alt, text + node->offset, node->length);
        } else if (node->kind == IN_BRACKET) {
            put_str(&alt, node->image ? "![" : "[");
        } else if (node->kind == IN_SOFT || node->kind == IN_HARD) {
            put_byte(&alt, ' ');
        } else if (node->kind == IN_DELIM && node->count > 0) {
            int k;
            for (k = 0; k < node->count; ++k)
                put_byte(&alt, (unsigned char)node->delimiter);
        }
    }
    write_image(b, text + image->target, image->target_length, text + image->target + image->target_length,
                image->title_length, alt.data ? (const char *)alt.data : "", alt.size);
    free(alt.data);
    return i < ip->count ? i : ip->count - 1;
}

/* Emphasis nests in emphasis; a strike-through in another is no mark. */
static void count_mark(doc_builder *b, int *depth, int node, int on)
{
    if ((on ? depth[node]++ == 0 : --depth[node] == 0) || node != NODE_S)
        doc_set(b, node, on);
}

/* Text between marks is gathered where it may hold an e-mail address:
 * GitHub finds one in the whole text between two marks, outside links. */
static void put_text_run(inline_parser *ip, doc_builder *b, const char *s, size_t n)
{
    if (ip->emails)
        put_bytes(&ip->p->text_run, s, n);
    else
        doc_text(b, s, n);
}

static void end_text_run(inline_parser *ip, doc_builder *b, int in_link)
{
    buffer *run = &ip->p->text_run;
    if (!ip->emails || run->size == 0)
        return;
    if (in_link)
        doc_text(b, (const char *)run->data, run->size);
    else
        write_emails(b, (const char *)run->data, run->size);
    run->size = 0;
}

/* Nodes that write only text: the text around them goes on. */
static int writes_only_text(const inline_node *node)
{
    return node->kind == IN_SOFT || node->kind == IN_BRACKET ||
           (node->kind == IN_DELIM && run_mark_count(node, RUN_CLOSES) == 0 && run_mark_count(node, RUN_OPENS) == 0);
}

static void emit_inlines(inline_parser *ip, doc_builder *b)
{
    int depth[NODE_COUNT], tag_depth[NODE_COUNT];
    int i, k;
    const char *text = (const char *)ip->text.data;
    memset(depth, 0, sizeof depth);
    memset(tag_depth, 0, sizeof tag_depth);
    ip->p->text_run.size = 0;
    for (i = 0; i < ip->count; ++i) {
        const inline_node *node = NODE(ip, i);
        if (node->text_length)
            put_text_run(ip, b, text + node->text_offset, node->text_length);
        if (!writes_only_text(node))
            end_text_run(ip, b, depth[NODE_A] > 0);
        switch (node->kind) {
        case IN_SOFT: put_text_run(ip, b, "\n", 1); break;
        case IN_HARD: doc_br(b); break;
        case IN_CODE:
            doc_set(b, NODE_C, 1);
            doc_text(b, text + node->offset, node->length);
            doc_set(b, NODE_C, 0);
            break;
        case IN_FOOTNOTE: doc_footnote(b, text + node->offset, node->length); break;
        case IN_DELIM:
            for (k = 0; k < run_mark_count(node, RUN_CLOSES); ++k)
                count_mark(b, depth, run_mark(node, RUN_CLOSES, k), 0);
            {
                /* what is left of the run is text, however long */
                char run[64];
                int left;
                memset(run, node->delimiter, sizeof run);
                for (left = node->count; left > 0; left -= (int)sizeof run)
                    put_text_run(ip, b, run, left < (int)sizeof run ? (size_t)left : sizeof run);
            }
            if (run_mark_count(node, RUN_OPENS))
                end_text_run(ip, b, depth[NODE_A] > 0);
            for (k = run_mark_count(node, RUN_OPENS) - 1; k >= 0; --k)
                count_mark(b, depth, run_mark(node, RUN_OPENS, k), 1);
            break;
        case IN_BRACKET: put_text_run(ip, b, node->image ? "![" : "[", node->image ? 2 : 1); break;
        case IN_LINK:
            if (node->image) {
                i = emit_image(ip, b, i);
            } else if (depth[NODE_A]++ == 0) {
                doc_link_title(b, text + node->target + node->target_length, node->title_length);
                doc_link(b, text + node->target, node->target_length);
            }
            break;
        case IN_RAW: doc_raw(b, text + node->offset, node->length); break;
        case IN_LINK_END:
            if (!node->image && --depth[NODE_A] == 0)
                doc_link(b, NULL, 0);
            break;
        case IN_MARK_TAG:
            /* a closing tag without its opening one is no mark */
            if (node->count > 0 || tag_depth[node->mark] > 0) {
                tag_depth[node->mark] += node->count;
                count_mark(b, depth, node->mark, node->count > 0);
            }
            break;
        }
    }
    if (ip->pending_length)
        put_text_run(ip, b, text + ip->pending_offset, ip->pending_length);
    end_text_run(ip, b, depth[NODE_A] > 0);
    for (k = NODE_A; k <= NODE_SC; ++k)
        for (; depth[k] > 0; --depth[k]) {
            if (k == NODE_A)
                doc_link(b, NULL, 0);
            else
                doc_set(b, k, 0);
        }
}

static void write_inlines(md_parser *p, doc_builder *b, const char *s, size_t n)
{
    inline_parser ip;
    while (n > 0 && is_trailing_blank((unsigned char)s[n - 1]))
        --n;
    /* no markup at all, as most headings, items and cells hold; or a
     * paragraph too long for the nodes' offsets, whose markup stays text */
    if (n >= INLINE_TEXT_LIMIT) {
        doc_text(b, s, n);
        return;
    }
    look_for_addresses(&ip, s, n);
    if (plain_inline_run(s, n) == n && !ip.bare_links) {
        if (ip.emails)
            write_emails(b, s, n);
        else
            doc_text(b, s, n);
        return;
    }
    ip.count = ip.bracket_count = 0;
    ip.last_delimiter = -1;
    ip.pending_offset = ip.pending_length = 0;
    ip.backticks.ready = ip.backticks.to_end = 0;
    ip.backticks.long_runs = NULL;
    ip.backticks.long_count = ip.backticks.long_capacity = 0;
    memset(ip.unended_from, 0, sizeof ip.unended_from);
    ip.p = p;
    ip.store = &p->nodes;
    ip.text = p->inline_text;
    ip.text.size = 0;
    parse_inlines(&ip, s, n);
    emit_inlines(&ip, b);
    free(ip.backticks.long_runs);
    p->inline_text = ip.text;
}

/* ---- writing the tree ---- */

static void write_table(md_parser *p, doc_builder *b, const md_block *table)
{
    const char *s = (const char *)table->text.data;
    size_t pos = 0;
    int row = 0;
    buffer cell = {0};
    doc_container(b, NODE_TABLE);
    while (pos < table->text.size) {
        const char *end = (const char *)memchr(s + pos, '\n', table->text.size - pos);
        size_t line_end = end ? (size_t)(end - s) : table->text.size, i = pos, stop = line_end;
        int column = 0, width = table->columns;
        /* a short row is filled up to the header's width, unless that would
         * multiply the input: past the budget it keeps its own cells */
        const int own = count_cells(s + pos, line_end - pos);
        if (own < width && !doc_spend(&p->expansion_left, (size_t)(width - own) * DOC_EMPTY_CELL_COST))
            width = own;
        while (i < stop && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        while (stop > i && (s[stop - 1] == ' ' || s[stop - 1] == '\t'))
            --stop;
        if (i < stop && s[i] == '|')
            ++i;
        if (stop > i && s[stop - 1] == '|' && (stop - i < 2 || s[stop - 2] != '\\'))
            --stop;
        doc_container(b, NODE_ROW);
        while (column < width) {
            cell.size = 0;
            while (i < stop && s[i] != '|') {
                size_t run = i;
                while (run < stop && s[run] != '|' && s[run] != '\\')
                    ++run;
                put_bytes(&cell, s + i, run - i);
                i = run;
                if (i < stop && s[i] == '\\') {
                    if (i + 1 < stop && s[i + 1] == '|') {
                        put_byte(&cell, '|'); /* an escaped pipe, also inside code */
                        i += 2;
                    } else {
                        put_byte(&cell, '\\');
                        ++i;
                    }
                }
            }
            if ((size_t)column < table->info.size)
                doc_block_context(b, 0, table->info.data[column]);
            doc_cell(b, row == 0);
            {
                size_t start = 0;
                while (start < cell.size && (cell.data[start] == ' ' || cell.data[start] == '\t'))
                    ++start;
                if (cell.size > start)
                    write_inlines(p, b, (const char *)cell.data + start, cell.size - start);
            }
            doc_end_block(b, NODE_CELL);
            ++column;
            if (i < stop)
                ++i; /* the pipe */
        }
        doc_end_container(b, NODE_ROW);
        ++row;
        pos = line_end + 1;
    }
    free(cell.data);
    doc_end_container(b, NODE_TABLE);
}

static void write_blocks(md_parser *p, doc_builder *b, const md_block *first, int list_level, int item);

static int ends_with_blank_line(const md_block *b)
{
    for (; b; b = b->kind == MD_LIST || b->kind == MD_ITEM ? b->last : NULL)
        if (b->last_line_blank)
            return 1;
    return 0;
}

/* A list is loose when blank lines part its items or the blocks of one. */
static int list_is_loose(const md_block *list)
{
    const md_block *item, *child;
    if (list->compact_loose)
        return 1;
    for (item = list->first; item; item = item->next) {
        if (item->last_line_blank && item->next)
            return 1;
        for (child = item->first; child; child = child->next)
            if ((item->next || child->next) && ends_with_blank_line(child))
                return 1;
    }
    return 0;
}

/* An item: its first paragraph is the item's text, its other blocks go on
 * in it. */
static void write_item(md_parser *p, doc_builder *b, const md_block *list, const md_block *item, int level,
                       unsigned loose, int index)
{
    const md_block *child = item->first;
    while (child && child->kind == MD_GONE)
        child = child->next;
    doc_block_context(b, 0, loose | (index == 0 && list->follows_list ? DOC_NEW_LIST : 0));
    doc_block(b, NODE_LI, level, list->ordered ? list->start + index : DOC_BULLET, NULL);
    if (child && child->kind == MD_PARAGRAPH) {
        write_inlines(p, b, (const char *)child->text.data, child->text.size);
        child = child->next;
    }
    doc_end_block(b, NODE_LI);
    write_blocks(p, b, child, level, level);
}

static void write_list(md_parser *p, doc_builder *b, const md_block *list, int level)
{
    const md_block *item;
    const unsigned loose = list_is_loose(list) ? DOC_LOOSE : 0;
    int index = 0;
    size_t at = 0;
    while (at < list->text.size) {
        md_block *saved = load_block(p, &list->text, &at);
        if (!saved)
            break;
        write_item(p, b, list, saved, level, loose, index++);
        recycle_tree(p, saved);
    }
    for (item = list->first; item; item = item->next, ++index)
        write_item(p, b, list, item, level, loose, index);
}

static void write_blocks(md_parser *p, doc_builder *b, const md_block *block, int list_level, int item)
{
    for (; block; block = block->next) {
        if (block->kind != MD_LIST && block->kind != MD_GONE && block->kind != MD_NOTE && !block->streamed)
            doc_block_context(b, item, 0);
        switch (block->kind) {
        case MD_PARAGRAPH:
            doc_block(b, NODE_P, 0, 0, NULL);
            write_inlines(p, b, (const char *)block->text.data, block->text.size);
            doc_end_block(b, NODE_P);
            break;
        case MD_HEADING:
            doc_block(b, NODE_H, block->level, 0, NULL);
            write_inlines(p, b, (const char *)block->text.data, block->text.size);
            doc_end_block(b, NODE_H);
            break;
        case MD_CODE: {
            char lang[DOC_LANGUAGE_SIZE];
            size_t size = block->text.size;
            copy_language(lang, sizeof lang, block->info.data, block->info.size);
            doc_block(b, NODE_CODE, 0, 0, lang);
            if (size && block->text.data[size - 1] == '\n')
                --size;
            doc_text(b, (const char *)block->text.data, size);
            doc_end_block(b, NODE_CODE);
            break;
        }
        case MD_HR: doc_hr(b); break;
        case MD_QUOTE:
            if (!block->streamed) /* else opened while it was read */
                doc_container(b, NODE_QUOTE);
            write_blocks(p, b, block->first, list_level, 0);
            doc_end_container(b, NODE_QUOTE);
            break;
        case MD_HTML: {
            size_t size = block->text.size;
            if (size && block->text.data[size - 1] == '\n')
                --size;
            doc_block(b, NODE_HTML, 0, 0, NULL);
            doc_text(b, (const char *)block->text.data, size);
            doc_end_block(b, NODE_HTML);
            break;
        }
        case MD_LIST: write_list(p, b, block, list_level + 1); break;
        case MD_TABLE: write_table(p, b, block); break;
        case MD_NOTE: {
            doc_builder *note = doc_note_begin(b, (const char *)block->info.data, block->info.size);
            write_blocks(p, note, block->first, 0, 0);
            doc_note_end(note);
            break;
        }
        }
    }
}

/* Writes and frees the closed blocks of `container` before its last one
 * (without a builder, only frees them).  A quote still open at its end is
 * opened in the output now and its own closed blocks go too: a quote
 * around the whole document is never held whole. */
static void write_closed_blocks(md_parser *p, doc_builder *b, md_block *container)
{
    md_block *quote = container->last;
    while (container->first && container->first != container->last && !container->first->open) {
        md_block *first = container->first;
        container->first = first->next;
        first->next = NULL;
        if (b)
            write_blocks(p, b, first, 0, 0);
        recycle_tree(p, first);
    }
    if (!quote || !quote->open || quote->kind != MD_QUOTE)
        return;
    if (b && !quote->streamed) {
        doc_block_context(b, 0, 0);
        doc_container(b, NODE_QUOTE);
        quote->streamed = 1;
    }
    write_closed_blocks(p, b, quote);
}

/* The first CR or LF in s[0..n), NULL when none: one pass over the line,
 * whichever of the two ends it. */
static const unsigned char *find_line_end(const unsigned char *s, size_t n)
{
    const unsigned char *end = s + n;
#ifdef __SSE2__
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    for (; end - s >= 16; s += 16) {
        const __m128i block = _mm_loadu_si128((const __m128i *)s);
        const unsigned hits =
            (unsigned)_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr)));
        if (hits)
            return s + __builtin_ctz(hits);
    }
#endif
    for (; s < end; ++s)
        if (*s == '\n' || *s == '\r')
            return s;
    return NULL;
}

/* What one pass over the input tells before parsing begins. */
typedef struct input_facts {
    int binary;           /* a NUL byte: no text file */
    int valid_utf8;
    int has_cr;           /* CR line ends */
    int has_references;   /* a "]:" that may begin a reference definition */
    size_t nul_at;        /* where the NUL of a binary file is */
} input_facts;

/* Bytes the pass must look at; any other byte, most of a text, is passed
 * sixteen at a time. */
static int look_at(const input_facts *f, unsigned char c)
{
    return c == 0 || (c >= 0x80 && f->valid_utf8) || (c == '\r' && !f->has_cr) || (c == ']' && !f->has_references);
}

static void note_byte(input_facts *f, const unsigned char *s, size_t size, size_t *pos)
{
    const unsigned char c = s[*pos];
    if (c >= 0x80 && f->valid_utf8) {
        if (next_utf8(s, size, pos) == BAD_UTF8) {
            f->valid_utf8 = 0;
            ++*pos;
        }
        return;
    }
    if (c == 0) {
        f->binary = 1;
        f->nul_at = *pos;
    }
    else if (c == '\r')
        f->has_cr = 1;
    else if (c == ']' && *pos + 1 < size && s[*pos + 1] == ':')
        f->has_references = 1;
    ++*pos;
}

/* The bytes after a byte order mark at s[0..size), in one pass: a code
 * page's bytes beyond ASCII never stand for NUL, CR, ']' or ':', so the
 * facts hold for the text decoded from them too. */
static input_facts scan_input(const unsigned char *s, size_t size)
{
    input_facts f = {0, 1, 0, 0, 0};
    size_t pos = 0;
#ifdef __SSE2__
    while (size - pos >= 16 && !f.binary) {
        const __m128i block = _mm_loadu_si128((const __m128i *)(s + pos));
        __m128i wanted = _mm_cmpeq_epi8(block, _mm_setzero_si128());
        unsigned hits;
        if (!f.has_cr)
            wanted = _mm_or_si128(wanted, _mm_cmpeq_epi8(block, _mm_set1_epi8('\r')));
        if (!f.has_references)
            wanted = _mm_or_si128(wanted, _mm_cmpeq_epi8(block, _mm_set1_epi8(']')));
        if (f.valid_utf8)
            wanted = _mm_or_si128(wanted, block);
        hits = (unsigned)_mm_movemask_epi8(wanted);
        if (!hits) {
            pos += 16;
            continue;
        }
        pos += (size_t)__builtin_ctz(hits);
        note_byte(&f, s, size, &pos);
    }
#endif
    while (pos < size && !f.binary) {
        if (look_at(&f, s[pos]))
            note_byte(&f, s, size, &pos);
        else
            ++pos;
    }
    return f;
}

/* Markdown is UTF-8; a file that is not is read as Windows-1252. */
static int decode_input(buffer *raw, buffer *text, input_facts *facts)
{
    size_t pos = 0;
    const unsigned char *s = raw->data;
    if (raw->size >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF)
        pos = 3;
    *facts = scan_input(s + pos, raw->size - pos);
    facts->nul_at += pos;
    if (facts->binary)
        return 0;
    if (facts->valid_utf8) {
        /* the input itself, without a copy */
        if (pos) {
            memmove(raw->data, raw->data + pos, raw->size - pos);
            raw->size -= pos;
        }
        *text = *raw;
        raw->data = NULL;
        return 1;
    }
    return put_code_page_text(text, 1252, s + pos, raw->size - pos);
}

/* Reads every line into the tree, the closed blocks written (or, without
 * a builder, only freed) as it goes, and closes what is left open. */
static void read_lines(md_parser *p, doc_builder *b, const buffer *text, int has_cr)
{
    size_t pos = 0;
    unsigned lines = 0;
    while (pos < text->size) {
        const char *s = (const char *)text->data + pos;
        const size_t left = text->size - pos;
        /* CR LF, or a CR alone, also ends a line */
        const char *end = (const char *)(has_cr ? find_line_end((const unsigned char *)s, left)
                                                : find_byte((const unsigned char *)s, left, '\n'));
        const size_t length = end ? (size_t)(end - s) : left;
        size_t next = end ? length + 1 : length;
        if (end && *end == '\r' && next < left && s[next] == '\n')
            ++next;
        process_line(p, s, length);
        pos += next;
        if ((++lines & 63) == 0)
            write_closed_blocks(p, b, p->document);
    }
    close_to(p, NULL);
}

int32_t read_markdown(FILE *in, FILE *out)
{
    buffer raw = {0}, text = {0};
    md_parser p;
    doc_builder b;
    input_facts facts;
    int32_t loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    if (!decode_input(&raw, &text, &facts)) {
        if (facts.binary)
            refusal_binary("Markdown", raw.data, raw.size, facts.nul_at);
        release_input(&raw);
        release_input(&text);
        return CONVERT_WRONG_FORMAT;
    }
    release_input(&raw);
    memset(&p, 0, sizeof p);
    p.expansion_left = doc_expansion_budget(text.size);
    draw_hash_key(&p);
    p.document = p.tip = new_block(&p, MD_DOCUMENT);
    if (facts.has_references && p.document) {
        /* A link may use a reference defined after it: a first pass gathers
         * the definitions, so that the second writes each block as it
         * closes instead of holding the whole document. */
        read_lines(&p, NULL, &text, facts.has_cr);
        recycle_tree(&p, p.document);
        p.document = p.tip = new_block(&p, MD_DOCUMENT);
    }
    if (!p.document) {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        release_input(&text);
        return CONVERT_WRONG_FORMAT;
    }
    doc_begin(&b, out);
    read_lines(&p, &b, &text, facts.has_cr);
    write_blocks(&p, &b, p.document->first, 0, 0);
    free_tree(p.document);
    free_tree(p.spare_blocks);
    while (p.nodes.chunk_count > 0)
        free(p.nodes.chunks[--p.nodes.chunk_count]);
    free(p.nodes.chunks);
    free(p.inline_text.data);
    free(p.line.data);
    free(p.references);
    free(p.arena.data);
    free(p.scratch.data);
    free(p.text_run.data);
    release_input(&text);
    return doc_finish(&b);
}
