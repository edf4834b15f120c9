/* The RTF writer: what WordPad, Word and LibreOffice open as the same text
 * with the same structure.  A style sheet names the heading styles, and the
 * paragraphs carry their formatting themselves for readers that ignore it;
 * characters outside Windows-1252 are written as \u with a fallback. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

static const char rtf_header[] =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n"
    "{\\fonttbl{\\f0\\froman\\fcharset0 Times New Roman;}{\\f1\\fmodern\\fcharset0 Courier New;}"
    "{\\f2\\fswiss\\fcharset0 Arial;}}\n"
    "{\\colortbl;\\red0\\green0\\blue0;\\red5\\green99\\blue193;}\n"
    "{\\stylesheet{\\f0\\fs24 Normal;}\n"
    "{\\s1\\sb240\\sa120\\keepn\\b\\f2\\fs36\\sbasedon0\\snext0 heading 1;}\n"
    "{\\s2\\sb240\\sa120\\keepn\\b\\f2\\fs32\\sbasedon0\\snext0 heading 2;}\n"
    "{\\s3\\sb240\\sa120\\keepn\\b\\f2\\fs28\\sbasedon0\\snext0 heading 3;}\n"
    "{\\s4\\sb240\\sa120\\keepn\\b\\f2\\fs24\\sbasedon0\\snext0 heading 4;}\n"
    "{\\s5\\sb240\\sa120\\keepn\\b\\f2\\fs22\\sbasedon0\\snext0 heading 5;}\n"
    "{\\s6\\sb240\\sa120\\keepn\\b\\f2\\fs20\\sbasedon0\\snext0 heading 6;}\n"
    "{\\s7\\li720\\ri720\\sa120\\i\\f0\\fs24\\sbasedon0\\snext0 Quote;}\n"
    "{\\s8\\f1\\fs20\\sbasedon0\\snext0 Code;}}\n"
    "\\viewkind4\n";

static const int heading_sizes[7] = {24, 36, 32, 28, 24, 22, 20};

/* Bytes that are markup in RTF, or not ASCII. */
static const unsigned char rtf_stop[256] = {
    ['\\'] = 1, ['{'] = 1, ['}'] = 1, ['\n'] = 1, ['\r'] = 1, ['\t'] = 1,
    [0x80] = 1, [0x81] = 1, [0x82] = 1, [0x83] = 1, [0x84] = 1, [0x85] = 1, [0x86] = 1, [0x87] = 1,
    [0x88] = 1, [0x89] = 1, [0x8A] = 1, [0x8B] = 1, [0x8C] = 1, [0x8D] = 1, [0x8E] = 1, [0x8F] = 1,
    [0x90] = 1, [0x91] = 1, [0x92] = 1, [0x93] = 1, [0x94] = 1, [0x95] = 1, [0x96] = 1, [0x97] = 1,
    [0x98] = 1, [0x99] = 1, [0x9A] = 1, [0x9B] = 1, [0x9C] = 1, [0x9D] = 1, [0x9E] = 1, [0x9F] = 1,
    [0xA0] = 1, [0xA1] = 1, [0xA2] = 1, [0xA3] = 1, [0xA4] = 1, [0xA5] = 1, [0xA6] = 1, [0xA7] = 1,
    [0xA8] = 1, [0xA9] = 1, [0xAA] = 1, [0xAB] = 1, [0xAC] = 1, [0xAD] = 1, [0xAE] = 1, [0xAF] = 1,
    [0xB0] = 1, [0xB1] = 1, [0xB2] = 1, [0xB3] = 1, [0xB4] = 1, [0xB5] = 1, [0xB6] = 1, [0xB7] = 1,
    [0xB8] = 1, [0xB9] = 1, [0xBA] = 1, [0xBB] = 1, [0xBC] = 1, [0xBD] = 1, [0xBE] = 1, [0xBF] = 1,
    [0xC0] = 1, [0xC1] = 1, [0xC2] = 1, [0xC3] = 1, [0xC4] = 1, [0xC5] = 1, [0xC6] = 1, [0xC7] = 1,
    [0xC8] = 1, [0xC9] = 1, [0xCA] = 1, [0xCB] = 1, [0xCC] = 1, [0xCD] = 1, [0xCE] = 1, [0xCF] = 1,
    [0xD0] = 1, [0xD1] = 1, [0xD2] = 1, [0xD3] = 1, [0xD4] = 1, [0xD5] = 1, [0xD6] = 1, [0xD7] = 1,
    [0xD8] = 1, [0xD9] = 1, [0xDA] = 1, [0xDB] = 1, [0xDC] = 1, [0xDD] = 1, [0xDE] = 1, [0xDF] = 1,
    [0xE0] = 1, [0xE1] = 1, [0xE2] = 1, [0xE3] = 1, [0xE4] = 1, [0xE5] = 1, [0xE6] = 1, [0xE7] = 1,
    [0xE8] = 1, [0xE9] = 1, [0xEA] = 1, [0xEB] = 1, [0xEC] = 1, [0xED] = 1, [0xEE] = 1, [0xEF] = 1,
    [0xF0] = 1, [0xF1] = 1, [0xF2] = 1, [0xF3] = 1, [0xF4] = 1, [0xF5] = 1, [0xF6] = 1, [0xF7] = 1,
    [0xF8] = 1, [0xF9] = 1, [0xFA] = 1, [0xFB] = 1, [0xFC] = 1, [0xFD] = 1, [0xFE] = 1, [0xFF] = 1,
};

#define QUOTE_LIMIT 64 /* the deepest the document readers nest quotes */
#define LIST_LEVELS 9   /* as word processors have */
#define LIST_LIMIT 2000 /* lists given a definition of their own; items of further ones have the old marks only */

/* One list as word processors number it: a definition of its levels
 * (\listtable) that each of its items names (\ls, \ilvl).  Word and
 * LibreOffice number items from the definition, so a list that restarts,
 * or a nested list, needs its own. */
typedef struct list_definition {
    unsigned char seen[LIST_LEVELS], numbered[LIST_LEVELS];
    int start[LIST_LEVELS];
} list_definition;

/* The lists, planned in a first pass over the document: which list each
 * item belongs to, in the order the items come. */
typedef struct list_plan {
    list_definition *lists;
    int count, capacity;
    int *item_list; /* 1-based, 0 for none */
    int items, item_capacity, cursor;
    /* while planning */
    int current, continues, quote_depth, list_quote_depth, failed;
    int next[LIST_LEVELS];
} list_plan;

typedef struct rtf_writer {
    buffer out;
    buffer row;      /* the cells of the row being written */
    buffer *target;  /* out, or row inside a table */
    int quote_depth;
    /* each quote: where its text begins, in twips, and the level of the
     * list item it stands in (items inside it carry levels above) */
    int quote_left[QUOTE_LIMIT];
    int quote_floor[QUOTE_LIMIT];
    int leaf;
    int code_last; /* a code block was written last: readers join code paragraphs that follow it */
    int quote_closed; /* the depth of a quote that has just closed, 0 once anything else came */
    int row_cells, row_header;
    unsigned char *reverse; /* Unicode to Windows-1252, 0 for none */
    list_plan plan;
} rtf_writer;

static void put_hex_byte(buffer *out, unsigned char byte)
{
    static const char hex[] = "0123456789abcdef";
    put_bytes(out, "\\'", 2);
    put_byte(out, (unsigned char)hex[byte >> 4]);
    put_byte(out, (unsigned char)hex[byte & 15]);
}

/* A letter without its accent, or '?', for readers without \u. */
static unsigned char fallback_byte(uint32_t c)
{
    switch (c) {
    case 0x2018: case 0x2019: case 0x201A: return '\'';
    case 0x201C: case 0x201D: case 0x201E: return '"';
    case 0x2013: case 0x2014: return '-';
    }
    if (c >= 0x100 && c < 0x180) {
        /* Latin Extended-A: pairs of capital and small letters around a base */
        static const char bases[] = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIiJjJjKkkLlLlLlLlLlNnNnNnnNnOoOoOoOoRrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
        if (c - 0x100 < sizeof bases - 1)
            return (unsigned char)bases[c - 0x100];
    }
    return '?';
}

static void put_unicode(rtf_writer *w, uint32_t c)
{
    buffer *out = w->target;
    if (c < 0x10000 && w->reverse[c]) {
        put_hex_byte(out, w->reverse[c]);
        return;
    }
    if (c >= 0x10000) {
        uint32_t high, low;
        utf16_split(c, &high, &low);
        put_str(out, "\\u");
        put_number(out, (long)high - 65536);
        put_byte(out, '?');
        put_str(out, "\\u");
        put_number(out, (long)low - 65536);
        put_byte(out, '?');
        return;
    }
    put_str(out, "\\u");
    put_number(out, c > 32767 ? (long)c - 65536 : (long)c);
    {
        const unsigned char fallback = fallback_byte(c);
        if (fallback == '\\' || fallback == '{' || fallback == '}')
            put_byte(out, '?');
        else
            put_byte(out, fallback);
    }
}

static void put_rtf_text(rtf_writer *w, const char *s, size_t n)
{
    buffer *out = w->target;
    const unsigned char *u = (const unsigned char *)s;
    size_t i = 0, run;
    while (i < n) {
        for (run = i; run < n && !rtf_stop[u[run]]; ++run)
            ;
        put_bytes(out, s + i, run - i);
        i = run;
        if (i == n)
            break;
        switch (u[i]) {
        case '\\': put_bytes(out, "\\\\", 2); ++i; break;
        case '{': put_bytes(out, "\\{", 2); ++i; break;
        case '}': put_bytes(out, "\\}", 2); ++i; break;
        case '\t': put_str(out, "\\tab "); ++i; break;
        case '\r': ++i; break;
        case '\n':
            put_str(out, IS_VERBATIM(w->leaf) ? "\\line\n" : "\n ");
            ++i;
            break;
        default: {
            size_t pos = i;
            uint32_t c = next_utf8(u, n, &pos);
            if (c == BAD_UTF8) {
                c = 0xFFFD;
                pos = i + 1;
            }
            put_unicode(w, c);
            i = pos;
        }
        }
    }
}

/* The innermost quote's slot, or -1 outside quotes. */
static int quote_slot(const rtf_writer *w)
{
    return (w->quote_depth < QUOTE_LIMIT ? w->quote_depth : QUOTE_LIMIT) - 1;
}

/* Where the text of a list item of `level` begins, and the blocks that go
 * on it: half an inch a level, from the quote the item stands in. */
static int left_of_level(const rtf_writer *w, int level)
{
    const int slot = quote_slot(w);
    const int left = slot >= 0 ? w->quote_left[slot] : 0, floor = slot >= 0 ? w->quote_floor[slot] : 0;
    return left + 720 * (level > floor ? level - floor : 0);
}

static void open_quote(rtf_writer *w, const doc_event *e)
{
    const int slot = quote_slot(w);
    const int floor = slot >= 0 ? w->quote_floor[slot] : 0;
    if (w->quote_depth < QUOTE_LIMIT) {
        w->quote_left[w->quote_depth] = left_of_level(w, e->item) + 720;
        w->quote_floor[w->quote_depth] = e->item > floor ? e->item : floor;
    }
    ++w->quote_depth;
}

/* An item's level as a list definition counts them, from 0. */
static int list_level_index(const doc_event *e)
{
    return (e->level < 1 ? 1 : e->level < LIST_LEVELS ? e->level : LIST_LEVELS) - 1;
}

/* A list item's marks: the old ones (\pntext, \pn), which WordPad and
 * RichEdit number by, then the list it belongs to (\ls, \ilvl), which Word
 * and LibreOffice number by and which, coming last, they take. */
static void put_item_marks(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    const int list = w->plan.cursor < w->plan.items ? w->plan.item_list[w->plan.cursor++] : 0;
    if (e->number != DOC_BULLET) {
        put_str(out, "{\\pntext\\f0 ");
        put_number(out, e->number);
        put_str(out, ".\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent360\\pnstart");
        put_number(out, e->number);
        put_str(out, "\\pndec{\\pntxta.}}");
    } else {
        put_str(out, "{\\pntext\\f0\\'95\\tab}{\\*\\pn\\pnlvlblt\\pnf0\\pnindent360{\\pntxtb\\'95}}");
    }
    if (list > 0) {
        put_str(out, "\\ls");
        put_number(out, list);
        put_str(out, "\\ilvl");
        put_number(out, list_level_index(e));
    }
}

static void put_paragraph_start(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    put_str(out, "\\pard\\plain");
    switch (e->node) {
    case NODE_H:
        put_str(out, "\\s");
        put_number(out, e->level);
        put_str(out, "\\sb240\\sa120\\keepn\\outlinelevel");
        put_number(out, e->level - 1);
        put_str(out, "\\b\\f2\\fs");
        put_number(out, heading_sizes[e->level]);
        break;
    case NODE_CODE:
    case NODE_HTML: /* raw HTML from Markdown: its source, as code */
        put_str(out, "\\s8\\f1\\fs20");
        break;
    case NODE_LI:
        put_item_marks(w, e);
        put_str(out, w->quote_depth ? "\\s7\\fi-360\\li" : "\\fi-360\\li");
        put_number(out, left_of_level(w, e->level));
        put_str(out, "\\sa60");
        break;
    default:
        put_str(out, w->quote_depth ? "\\s7" : "");
        put_str(out, "\\sa120");
        break;
    }
    if ((e->item > 0 || w->quote_depth) && e->node != NODE_LI) {
        /* a further block of a list item at the item's indentation; in a quote, the quote's */
        put_str(out, "\\li");
        put_number(out, left_of_level(w, e->item));
        if (w->quote_depth)
            put_str(out, "\\ri720");
    }
    if (e->node != NODE_H && !IS_VERBATIM(e->node))
        put_str(out, "\\f0\\fs24");
    put_byte(out, ' ');
}

static void put_field_target(buffer *out, const char *s, size_t n)
{
    size_t i;
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '\\' || c == '{' || c == '}') {
            put_byte(out, '\\');
            put_byte(out, c);
        } else if (c == '"' || c < 0x20) {
            put_str(out, c == '"' ? "%22" : "%20");
        } else if (c >= 0x80) {
            /* the target's UTF-8 bytes, escaped as in a URL */
            put_percent_byte(out, c);
        } else {
            put_byte(out, c);
        }
    }
}

/* A link's title as the argument of the field's \o switch (Word's
 * ScreenTip): " and \ escaped for the field, on one line. */
static void put_field_title(rtf_writer *w, const char *s, size_t n)
{
    buffer escaped = {0};
    size_t i;
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)s[i];
        if (c == '"' || c == '\\')
            put_byte(&escaped, '\\');
        put_byte(&escaped, c < 0x20 ? ' ' : c);
    }
    put_rtf_text(w, (const char *)escaped.data, escaped.size);
    free(escaped.data);
}

/* An empty line that keeps two blocks apart which readers would join: two
 * code blocks, two quotes side by side.  In a quote, a line of that quote. */
static void put_parting_line(rtf_writer *w)
{
    put_str(w->target, "\\pard\\plain\\sa120");
    if (w->quote_depth) {
        put_str(w->target, "\\s7\\li");
        put_number(w->target, w->quote_left[quote_slot(w)]);
        put_str(w->target, "\\ri720");
    }
    put_str(w->target, "\\par\n");
}

static void open_node(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    const int parted = e->node == NODE_QUOTE && w->quote_closed == w->quote_depth + 1;
    w->quote_closed = 0;
    switch (e->node) {
    case NODE_P: case NODE_H: case NODE_LI: case NODE_CODE: case NODE_HTML:
        if (IS_VERBATIM(e->node) && w->code_last)
            put_parting_line(w);
        w->code_last = 0;
        w->leaf = e->node;
        put_paragraph_start(w, e);
        if (e->node == NODE_CODE && e->length) {
            /* the language, where word processors skip what they do not know */
            put_str(out, "{\\*\\mxcodelang ");
            put_rtf_text(w, e->text, e->length);
            put_str(out, "}");
        }
        break;
    case NODE_QUOTE:
        if (parted)
            put_parting_line(w);
        open_quote(w, e);
        break;
    case NODE_ROW:
        w->row.size = 0;
        w->row_cells = 0;
        w->row_header = 0;
        w->target = &w->row;
        break;
    case NODE_CELL:
        w->leaf = NODE_CELL;
        w->code_last = 0;
        if (w->row_cells++ == 0)
            w->row_header = e->header;
        put_str(out, "\\pard\\plain\\intbl");
        put_str(out, e->align == DOC_ALIGN_CENTER ? "\\qc" : e->align == DOC_ALIGN_RIGHT ? "\\qr" : "");
        put_str(out, "\\f0\\fs24 ");
        if (e->header)
            put_str(out, "{\\b ");
        break;
    case NODE_B: put_str(out, "{\\b "); break;
    case NODE_I: put_str(out, "{\\i "); break;
    case NODE_U: put_str(out, "{\\ul "); break;
    case NODE_S: put_str(out, "{\\strike "); break;
    case NODE_C: put_str(out, "{\\f1 "); break;
    case NODE_A:
        put_str(out, "{\\field{\\*\\fldinst{HYPERLINK \"");
        put_field_target(out, e->text, e->length);
        if (e->title_length) {
            put_str(out, "\" \\\\o \"");
            put_field_title(w, e->title, e->title_length);
        }
        put_str(out, "\"}}{\\fldrslt{\\ul\\cf2 ");
        break;
    }
}

static void end_row(rtf_writer *w)
{
    buffer *out = &w->out;
    int i;
    const int cells = w->row_cells ? w->row_cells : 1;
    const int width = 9360 / cells;
    w->target = &w->out;
    put_str(out, "\\trowd\\trgaph108\\trleft0");
    if (w->row_header)
        put_str(out, "\\trhdr");
    for (i = 1; i <= cells; ++i) {
        put_str(out, "\\clbrdrt\\brdrs\\clbrdrl\\brdrs\\clbrdrb\\brdrs\\clbrdrr\\brdrs\\cellx");
        put_number(out, (long)width * i);
    }
    put_byte(out, '\n');
    if (w->row_cells == 0)
        put_str(out, "\\pard\\plain\\intbl\\cell");
    put_bytes(out, w->row.data, w->row.size);
    put_str(out, "\\row\n");
}

static void close_node(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    switch (e->node) {
    case NODE_P: case NODE_H: case NODE_LI: case NODE_CODE: case NODE_HTML:
        put_str(out, "\\par\n");
        w->code_last = IS_VERBATIM(e->node);
        w->leaf = NODE_NONE;
        break;
    case NODE_QUOTE: w->quote_closed = w->quote_depth--; break;
    case NODE_ROW: end_row(w); break;
    case NODE_TABLE:
        put_str(out, "\\pard\n");
        break;
    case NODE_CELL:
        if (e->header)
            put_byte(out, '}');
        put_str(out, "\\cell\n");
        w->leaf = NODE_NONE;
        break;
    case NODE_A: put_str(out, "}}}"); break;
    case NODE_B: case NODE_I: case NODE_U: case NODE_S: case NODE_C: put_byte(out, '}'); break;
    }
}

/* The Windows-1252 byte of each character, 0 where there is none: the
 * conversion's own, freed at its end. */
static unsigned char *windows_1252_from_unicode(void)
{
    const uint16_t *page = code_page_entries[CODE_PAGE_1252].to_unicode;
    int byte;
    unsigned char *table = (unsigned char *)calloc(0x10000, 1);
    if (!table)
        return NULL;
    for (byte = 255; byte >= 0x80; --byte)
        table[page[byte]] = (unsigned char)byte;
    return table;
}

/* The list the next item belongs to: the current one while it goes on,
 * else a new one.  A list ends at a block outside its items, at a quote's
 * edge, and where an item's kind or number is not what the current list
 * would show there. */
static void plan_item(list_plan *p, const doc_event *e)
{
    const int level = list_level_index(e);
    const int numbered = e->number != DOC_BULLET;
    list_definition *list = p->current ? &p->lists[p->current - 1] : NULL;
    int *slot = (int *)room_for_one(p->item_list, p->items, &p->item_capacity, 256, sizeof *p->item_list);
    int k;
    if (!slot) {
        p->failed = 1;
        return;
    }
    p->item_list = slot;
    if (!list || !p->continues || e->new_list || p->quote_depth != p->list_quote_depth ||
        (list->seen[level] && (list->numbered[level] != numbered || (numbered && e->number != p->next[level])))) {
        list_definition *lists =
            p->count < LIST_LIMIT ? (list_definition *)room_for_one(p->lists, p->count, &p->capacity, 16, sizeof *lists)
                                  : NULL;
        list = NULL;
        p->current = 0;
        if (lists) {
            p->lists = lists;
            list = &p->lists[p->count++];
            memset(list, 0, sizeof *list);
            p->current = p->count;
            p->list_quote_depth = p->quote_depth;
        }
    }
    p->item_list[p->items++] = p->current;
    p->continues = 1;
    if (!list)
        return;
    if (!list->seen[level]) {
        list->seen[level] = 1;
        list->numbered[level] = (unsigned char)numbered;
        list->start[level] = numbered ? e->number : 1;
    }
    p->next[level] = numbered ? e->number + 1 : 1;
    for (k = level + 1; k < LIST_LEVELS; ++k)
        p->next[k] = list->start[k]; /* the levels below start again */
}

static void plan_lists(list_plan *p, const buffer *input)
{
    doc_reader r;
    doc_event e;
    doc_read_begin(&r, input);
    while (doc_next(&r, &e) != EV_END) {
        if (e.kind == EV_OPEN && e.node == NODE_LI) {
            plan_item(p, &e);
        } else if ((e.kind == EV_OPEN && e.node != NODE_LI && !IS_INLINE(e.node) && e.node != NODE_ROW &&
                    e.node != NODE_CELL && e.item == 0) ||
                   (e.kind == EV_HR && e.item == 0)) {
            p->continues = 0; /* a block outside the list's items ends it */
        }
        if (e.node == NODE_QUOTE && (e.kind == EV_OPEN || e.kind == EV_CLOSE))
            p->quote_depth += e.kind == EV_OPEN ? 1 : -1;
    }
    doc_read_end(&r);
    if (p->failed)
        p->items = p->count = 0; /* out of memory: the old marks only, which need no plan */
}

static void put_list_level(buffer *out, const list_definition *list, int level)
{
    const int numbered = list->numbered[level] || !list->seen[level]; /* a level no item uses counts */
    put_str(out, "{\\listlevel\\levelnfc");
    put_str(out, numbered ? "0\\levelnfcn0" : "23\\levelnfcn23");
    put_str(out, "\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat");
    put_number(out, list->seen[level] ? list->start[level] : 1);
    if (numbered) {
        put_str(out, "{\\leveltext\\'02\\'0");
        put_byte(out, (unsigned char)('0' + level));
        put_str(out, ".;}{\\levelnumbers\\'01;}");
    } else {
        put_str(out, "{\\leveltext\\'01\\u8226 ?;}{\\levelnumbers;}");
    }
    put_str(out, "\\fi-360\\li");
    put_number(out, 720L * (level + 1));
    put_str(out, "}");
}

/* The list table and the override table that the items' \ls numbers name. */
static void put_list_tables(buffer *out, const list_plan *p)
{
    int i, level;
    if (!p->count)
        return;
    put_str(out, "{\\*\\listtable\n");
    for (i = 0; i < p->count; ++i) {
        put_str(out, "{\\list\\listtemplateid");
        put_number(out, i + 1);
        put_str(out, "\\listhybrid");
        for (level = 0; level < LIST_LEVELS; ++level)
            put_list_level(out, &p->lists[i], level);
        put_str(out, "\\listid");
        put_number(out, i + 1);
        put_str(out, "}\n");
    }
    put_str(out, "}\n{\\*\\listoverridetable\n");
    for (i = 0; i < p->count; ++i) {
        put_str(out, "{\\listoverride\\listid");
        put_number(out, i + 1);
        put_str(out, "\\listoverridecount0\\ls");
        put_number(out, i + 1);
        put_str(out, "}\n");
    }
    put_str(out, "}\n");
}

int32_t write_rtf(FILE *in, FILE *out)
{
    buffer input = {0};
    rtf_writer w;
    doc_reader r;
    doc_event e;
    const int32_t loaded = load_input(in, &input);
    if (loaded != CONVERT_OK)
        return loaded;
    memset(&w, 0, sizeof w);
    w.target = &w.out;
    w.reverse = windows_1252_from_unicode();
    if (!w.reverse) {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        release_input(&input);
        return CONVERT_WRONG_FORMAT;
    }
    w.out.sink = out;
    put_str(&w.out, rtf_header);
    plan_lists(&w.plan, &input);
    put_list_tables(&w.out, &w.plan);
    doc_read_begin(&r, &input);
    while (doc_next(&r, &e) != EV_END) {
        switch (e.kind) {
        case EV_OPEN: open_node(&w, &e); break;
        case EV_CLOSE: close_node(&w, &e); break;
        case EV_TEXT: put_rtf_text(&w, e.text, e.length); break;
        case EV_BR: put_str(w.target, "\\line\n"); break;
        case EV_HR:
            put_str(w.target, "\\pard\\plain\\brdrb\\brdrs\\brdrw10\\brsp20\\sa120\\f0\\fs24\\par\n");
            w.code_last = 0;
            w.quote_closed = 0;
            break;
        }
    }
    doc_read_end(&r);
    release_input(&input);
    free(w.reverse);
    free(w.row.data);
    free(w.plan.lists);
    free(w.plan.item_list);
    put_str(&w.out, "}\n");
    return finish_output(out, &w.out);
}
