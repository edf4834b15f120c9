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
    unsigned char seen[LIST_LEVELS], numbered[LIST_LEVELS], style[LIST_LEVELS];
    unsigned char numbers[LIST_LEVELS]; /* the level numbers its text shows: 2 for "2.1." */
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
    const buffer *input;
    int picture_open;   /* a picture written as data: its alternative text is not */
    int definition_depth; /* definitions open, each indented half an inch */
    /* Footnotes: where each note's mark begins in the input, by the
     * number note_number gives its id, and whether it is written. */
    note_numbers note_ids;
    size_t *note_at;
    unsigned char *note_written;
    int note_slots;
    int in_note, note_blocks; /* writing a note at its reference, and its blocks so far */
    int skipping_note;  /* inside a note at the document's end, written at its reference */
    int cell_used;      /* the open cell has text or a block: a further block begins a paragraph */
    int nest_depth, nest_cells; /* a table inside a cell, and its row's cells so far */
} rtf_writer;

static void open_node(rtf_writer *w, const doc_event *e);
static void close_node(rtf_writer *w, const doc_event *e);
static void put_rtf_text(rtf_writer *w, const char *s, size_t n);

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

/* A number as a list style shows it: "c", "AA" (as Word goes on past z),
 * "iv"; in digits where letters would run long. */
static void put_styled_number(buffer *out, int style, int number)
{
    static const struct {
        int value;
        const char *letters;
    } romans[] = {{1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"},
                  {50, "l"}, {40, "xl"}, {10, "x"}, {9, "ix"}, {5, "v"}, {4, "iv"}, {1, "i"}};
    const unsigned char upper = style == LIST_UPPER_ALPHA || style == LIST_UPPER_ROMAN ? 0x20 : 0;
    size_t k;
    int i;
    if ((style == LIST_LOWER_ALPHA || style == LIST_UPPER_ALPHA) && number >= 1 && number <= 26 * 4) {
        for (i = 0; i <= (number - 1) / 26; ++i)
            put_byte(out, (unsigned char)(('a' + (number - 1) % 26) ^ upper));
    } else if ((style == LIST_LOWER_ROMAN || style == LIST_UPPER_ROMAN) && number >= 1 && number < 4000) {
        for (k = 0; k < sizeof romans / sizeof *romans; ++k)
            for (; number >= romans[k].value; number -= romans[k].value)
                for (i = 0; romans[k].letters[i]; ++i)
                    put_byte(out, (unsigned char)(romans[k].letters[i] ^ upper));
    } else {
        put_number(out, number);
    }
}

/* The old numbering's word for a style (\pn...), and the list table's
 * number (\levelnfc). */
static const char *const pn_styles[] = {
    [LIST_DECIMAL] = "\\pndec", [LIST_LOWER_ALPHA] = "\\pnlcltr", [LIST_UPPER_ALPHA] = "\\pnucltr",
    [LIST_LOWER_ROMAN] = "\\pnlcrm", [LIST_UPPER_ROMAN] = "\\pnucrm"};
static const char *const level_formats[] = {
    [LIST_DECIMAL] = "0", [LIST_LOWER_ALPHA] = "4", [LIST_UPPER_ALPHA] = "3",
    [LIST_LOWER_ROMAN] = "2", [LIST_UPPER_ROMAN] = "1"};

static int item_style(const doc_event *e)
{
    return e->list_style <= LIST_UPPER_ROMAN ? e->list_style : LIST_DECIMAL;
}

/* How many numbers an item's outline label shows ("2.1." two), as many
 * levels as it has at most; 1 without a label. */
static int label_numbers(const doc_event *e, int level)
{
    int count = 0;
    size_t i;
    for (i = 0; i < e->title_length; ++i)
        if (e->title[i] >= '0' && e->title[i] <= '9' && (i == 0 || !(e->title[i - 1] >= '0' && e->title[i - 1] <= '9')))
            ++count;
    return count < 1 ? 1 : count > level + 1 ? level + 1 : count;
}

/* A numbered level's text: its own number, after those of the levels
 * above it that its items' labels show ("\'04\'00.\'01." for 2.1.). */
static void put_level_text(buffer *out, int level, int numbers)
{
    int k;
    put_str(out, "{\\leveltext");
    put_hex_byte(out, (unsigned char)(2 * numbers));
    for (k = level - numbers + 1; k <= level; ++k) {
        put_hex_byte(out, (unsigned char)k);
        put_byte(out, '.');
    }
    put_str(out, ";}{\\levelnumbers");
    for (k = 0; k < numbers; ++k)
        put_hex_byte(out, (unsigned char)(2 * k + 1));
    put_str(out, ";}");
}

/* A list item's marks: the old ones (\pntext, \pn), which WordPad and
 * RichEdit number by, then the list it belongs to (\ls, \ilvl), which Word
 * and LibreOffice number by and which, coming last, they take.  The text
 * shows the item's outline label where it has one. */
static void put_item_marks(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    const int list = w->plan.cursor < w->plan.items ? w->plan.item_list[w->plan.cursor++] : 0;
    if (e->number != DOC_BULLET) {
        put_str(out, "{\\pntext\\f0 ");
        if (e->title_length) {
            put_rtf_text(w, e->title, e->title_length);
        } else {
            put_styled_number(out, item_style(e), e->number);
            put_byte(out, '.');
        }
        put_str(out, "\\tab}{\\*\\pn\\pnlvlbody\\pnf0\\pnindent360\\pnstart");
        put_number(out, e->number);
        put_str(out, pn_styles[item_style(e)]);
        put_str(out, "{\\pntxta.}}");
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
    } else if (w->definition_depth && e->node != NODE_LI) {
        put_str(out, "\\li"); /* a definition, indented under its term */
        put_number(out, 720L * w->definition_depth);
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
    case NODE_SUP: put_str(out, "{\\super "); break;
    case NODE_SUB: put_str(out, "{\\sub "); break;
    case NODE_SC: put_str(out, "{\\scaps "); break;
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
    case NODE_B: case NODE_I: case NODE_U: case NODE_S: case NODE_C: case NODE_SUP: case NODE_SUB: case NODE_SC:
        put_byte(out, '}');
        break;
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
        (list->seen[level] && (list->numbered[level] != numbered || (numbered && e->number != p->next[level]) ||
                               (numbered && list->style[level] != item_style(e))))) {
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
        list->style[level] = (unsigned char)item_style(e);
        list->numbers[level] = (unsigned char)label_numbers(e, level);
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
    put_str(out, numbered ? level_formats[list->style[level]] : "23");
    put_str(out, "\\levelnfcn");
    put_str(out, numbered ? level_formats[list->style[level]] : "23");
    put_str(out, "\\leveljc0\\leveljcn0\\levelfollow0\\levelstartat");
    put_number(out, list->seen[level] ? list->start[level] : 1);
    if (numbered) {
        put_level_text(out, level, list->numbers[level] ? list->numbers[level] : 1);
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

/* ---- pictures ---- */

static uint32_t big_endian(const unsigned char *p, int bytes)
{
    uint32_t v = 0;
    while (bytes-- > 0)
        v = v << 8 | *p++;
    return v;
}

/* A picture's size in pixels from its own data where the document gives
 * none: a PNG's header, a JPEG's frame. */
static void picture_size(const doc_image_data *e, int png, long *width, long *height)
{
    const unsigned char *d = e->data;
    size_t i = 2;
    *width = e->width, *height = e->height;
    if (*width > 0 && *height > 0)
        return;
    if (png && e->data_length >= 24) {
        *width = (long)big_endian(d + 16, 4), *height = (long)big_endian(d + 20, 4);
        return;
    }
    while (!png && i + 9 < e->data_length && d[i] == 0xFF) {
        const unsigned marker = d[i + 1];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            *height = (long)big_endian(d + i + 5, 2), *width = (long)big_endian(d + i + 7, 2);
            return;
        }
        i += 2 + big_endian(d + i + 2, 2);
    }
    *width = *width > 0 ? *width : 96, *height = *height > 0 ? *height : 96; /* an inch, where nothing tells */
}

/* A PNG or JPEG picture as its data in hex, at its size (twips, 15 a
 * pixel); whether it was one.  Other pictures are their alternative text. */
static int put_picture(rtf_writer *w, const doc_event *event)
{
    static const char hex[] = "0123456789abcdef";
    const doc_image_data *e = event->picture;
    const int png = e && strcmp(e->media_type, "image/png") == 0;
    buffer *out = w->target;
    long width, height;
    size_t i;
    if (!e || (!png && strcmp(e->media_type, "image/jpeg") != 0) || !e->data_length)
        return 0;
    picture_size(e, png, &width, &height);
    put_str(out, png ? "{\\pict\\pngblip\\picw" : "{\\pict\\jpegblip\\picw");
    put_number(out, width);
    put_str(out, "\\pich");
    put_number(out, height);
    put_str(out, "\\picwgoal");
    put_number(out, width * 15);
    put_str(out, "\\pichgoal");
    put_number(out, height * 15);
    for (i = 0; i < e->data_length; ++i) {
        if (i % 64 == 0)
            put_byte(out, '\n');
        put_byte(out, (unsigned char)hex[e->data[i] >> 4]);
        put_byte(out, (unsigned char)hex[e->data[i] & 15]);
    }
    put_str(out, "}");
    return 1;
}

/* ---- footnotes ---- */

/* Where each note's mark begins, in the order of the notes: a first pass
 * over the bytes (an ESC in text is doubled), whose numbers the ids read
 * in a second take, in which the references come first. */
static void find_notes(rtf_writer *w)
{
    size_t *starts;
    int count = 0, k = 0;
    doc_reader r;
    doc_event e;
    starts = doc_find_note_marks(w->input, &count);
    if (!count)
        return;
    doc_read_begin(&r, w->input);
    while (doc_next(&r, &e) != EV_END) {
        if (e.kind != EV_OPEN || (e.node != NODE_FN && e.node != NODE_NOTE))
            continue;
        const int number = note_number(&w->note_ids, e.text, e.length);
        if (number > w->note_slots) {
            size_t *at = (size_t *)realloc(w->note_at, (size_t)number * 2 * sizeof *at);
            unsigned char *written = (unsigned char *)realloc(w->note_written, (size_t)number * 2);
            if (at)
                w->note_at = at;
            if (written)
                w->note_written = written;
            if (!at || !written)
                break;
            memset(w->note_at + w->note_slots, 0, ((size_t)number * 2 - w->note_slots) * sizeof *at);
            memset(w->note_written + w->note_slots, 0, (size_t)number * 2 - w->note_slots);
            w->note_slots = number * 2;
        }
        if (e.node == NODE_NOTE && number > 0 && k < count)
            w->note_at[number - 1] = starts[k++] + 1; /* 0: no note */
    }
    doc_read_end(&r);
    free(starts);
}

/* An event of a note written at its reference: its blocks are paragraphs
 * of the footnote, their marks and text as in the body. */
static void note_event(rtf_writer *w, const doc_event *e)
{
    switch (e->kind) {
    case EV_OPEN:
        if (IS_LEAF(e->node) && e->node != NODE_CELL) {
            if (w->note_blocks++)
                put_str(w->target, "\\par\\pard\\plain\\f0\\fs24 ");
        } else if (IS_INLINE(e->node) || e->node == NODE_IMG) {
            open_node(w, e);
        } else if (e->node == NODE_CELL) {
            put_byte(w->target, ' ');
        }
        break;
    case EV_CLOSE:
        if (IS_INLINE(e->node) || e->node == NODE_IMG)
            close_node(w, e);
        break;
    case EV_TEXT: put_rtf_text(w, e->text, e->length); break;
    case EV_BR: put_str(w->target, "\\line "); break;
    }
}

/* A footnote where its reference stands, as Word writes one: its mark
 * numbered by the reader, then the note read from where it begins in the
 * input.  Each note is written once. */
static void put_note(rtf_writer *w, const char *id, size_t length)
{
    const int number = note_number(&w->note_ids, id, length);
    buffer note = {0};
    doc_reader r;
    doc_event e;
    const int leaf = w->leaf;
    if (number <= 0 || number > w->note_slots || !w->note_at[number - 1] || w->note_written[number - 1] ||
        w->in_note)
        return;
    w->note_written[number - 1] = 1;
    note.data = w->input->data + w->note_at[number - 1] - 1;
    note.size = w->input->size - (w->note_at[number - 1] - 1);
    put_str(w->target, "{\\super\\chftn}{\\footnote\\pard\\plain\\f0\\fs24{\\super\\chftn} ");
    w->in_note = 1;
    w->note_blocks = 0;
    doc_read_begin(&r, &note);
    while (doc_next(&r, &e) != EV_END && !(e.kind == EV_CLOSE && e.node == NODE_NOTE))
        note_event(w, &e);
    doc_read_end(&r);
    w->in_note = 0;
    w->leaf = leaf;
    put_str(w->target, "}");
}

/* A note at the document's end: written already at its reference, else
 * (no reference names it) as a footnote there, so that its text stays. */
static void begin_end_note(rtf_writer *w, const doc_event *e)
{
    const int number = note_number(&w->note_ids, e->text, e->length);
    w->skipping_note = 1;
    if (number > 0 && number <= w->note_slots && w->note_at[number - 1] && !w->note_written[number - 1]) {
        put_str(w->target, "\\pard\\plain\\f0\\fs24 ");
        put_note(w, e->text, e->length);
        put_str(w->target, "\\par\n");
    }
}

/* ---- blocks in table cells ---- */

/* A block in a cell: a paragraph of the cell, after the one before it. */
static void open_cell_block(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    if (w->cell_used)
        put_str(out, "\\par\n");
    w->cell_used = 1;
    put_str(out, w->nest_depth ? "\\pard\\plain\\intbl\\itap2" : "\\pard\\plain\\intbl");
    if (e->node == NODE_LI) {
        put_item_marks(w, e);
        put_str(out, "\\fi-360\\li");
        put_number(out, 720L * (e->level < 1 ? 1 : e->level));
    }
    put_str(out, e->node == NODE_CODE ? "\\f1\\fs20 " : "\\f0\\fs24 ");
    if (e->node == NODE_H || e->node == NODE_DT)
        put_str(out, "{\\b ");
    w->leaf = e->node;
}

static void close_cell_block(rtf_writer *w, const doc_event *e)
{
    if (e->node == NODE_H || e->node == NODE_DT)
        put_byte(w->target, '}');
    w->leaf = NODE_CELL;
}

/* A table in a cell, as Word writes one: its cells' paragraphs at depth
 * 2 (\itap2) ended by \nestcell, each row's properties in
 * \nesttableprops; readers without nested tables read the cells' text,
 * parted by what \nonesttables gives them. */
static void nested_event(rtf_writer *w, const doc_event *e)
{
    buffer *out = w->target;
    int i;
    if (e->kind == EV_OPEN && e->node == NODE_ROW) {
        w->nest_cells = 0;
    } else if (e->kind == EV_OPEN && e->node == NODE_CELL) {
        if (w->cell_used && w->nest_cells == 0)
            put_str(out, "\\par\n");
        ++w->nest_cells;
        w->cell_used = 0;
        w->leaf = NODE_CELL;
        put_str(out, "\\pard\\plain\\intbl\\itap2\\f0\\fs24 ");
        if (e->header)
            put_str(out, "{\\b ");
    } else if (e->kind == EV_CLOSE && e->node == NODE_CELL) {
        put_str(out, e->header ? "}\\nestcell{\\nonesttables\\tab}\n" : "\\nestcell{\\nonesttables\\tab}\n");
        w->cell_used = 0;
    } else if (e->kind == EV_CLOSE && e->node == NODE_ROW) {
        put_str(out, "{\\*\\nesttableprops\\trowd\\itap2\\trgaph108");
        for (i = 1; i <= (w->nest_cells ? w->nest_cells : 1); ++i) {
            put_str(out, "\\clbrdrt\\brdrs\\clbrdrl\\brdrs\\clbrdrb\\brdrs\\clbrdrr\\brdrs\\cellx");
            put_number(out, 4320L * i / (w->nest_cells ? w->nest_cells : 1));
        }
        put_str(out, "\\nestrow}{\\nonesttables\\par}\n");
    } else if (e->kind == EV_CLOSE && e->node == NODE_TABLE) {
        --w->nest_depth;
        w->leaf = NODE_CELL;
        w->cell_used = 0;
        put_str(out, "\\pard\\plain\\intbl\\f0\\fs24 "); /* the outer cell's paragraph again */
    } else {
        return;
    }
}

/* ---- the events ---- */

static void write_event(rtf_writer *w, const doc_event *e)
{
    if (w->skipping_note) {
        w->skipping_note = !(e->kind == EV_CLOSE && e->node == NODE_NOTE);
        return;
    }
    if (e->kind == EV_TEXT || e->kind == EV_BR)
        w->cell_used = 1;
    switch (e->kind) {
    case EV_OPEN:
        if (e->node == NODE_NOTE)
            begin_end_note(w, e);
        else if (e->node == NODE_FN)
            put_note(w, e->text, e->length);
        else if (e->node == NODE_IMG)
            w->picture_open = put_picture(w, e);
        else if (e->node == NODE_TABLE && w->target == &w->row)
            ++w->nest_depth;
        else if (w->nest_depth && (e->node == NODE_ROW || e->node == NODE_CELL))
            nested_event(w, e);
        else if (e->in_cell && (IS_LEAF(e->node) || e->node == NODE_DT))
            open_cell_block(w, e);
        else if (e->node == NODE_DD)
            ++w->definition_depth;
        else if (e->node == NODE_DT)
            put_str(w->target, "\\pard\\plain\\sa60\\f0\\fs24{\\b "), w->leaf = NODE_DT;
        else if (e->node == NODE_CELL)
            w->cell_used = 0, open_node(w, e);
        else
            open_node(w, e);
        break;
    case EV_CLOSE:
        if (e->node == NODE_IMG)
            w->picture_open = 0;
        else if (w->nest_depth && (e->node == NODE_ROW || e->node == NODE_CELL || e->node == NODE_TABLE))
            nested_event(w, e);
        else if (w->leaf != NODE_NONE && w->leaf != NODE_CELL && w->target == &w->row && e->node == w->leaf)
            close_cell_block(w, e);
        else if (e->node == NODE_DD)
            --w->definition_depth;
        else if (e->node == NODE_DT)
            put_str(w->target, "}\\par\n"), w->leaf = NODE_NONE;
        else
            close_node(w, e);
        break;
    case EV_TEXT:
        if (!w->picture_open)
            put_rtf_text(w, e->text, e->length);
        break;
    case EV_BR: put_str(w->target, "\\line\n"); break;
    case EV_HR:
        put_str(w->target, "\\pard\\plain\\brdrb\\brdrs\\brdrw10\\brsp20\\sa120\\f0\\fs24\\par\n");
        w->code_last = 0;
        w->quote_closed = 0;
        break;
    }
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
    w.input = &input;
    find_notes(&w);
    while (doc_next(&r, &e) != EV_END)
        write_event(&w, &e);
    doc_read_end(&r);
    note_numbers_free(&w.note_ids);
    free(w.note_at);
    free(w.note_written);
    release_input(&input);
    free(w.reverse);
    free(w.row.data);
    free(w.plan.lists);
    free(w.plan.item_list);
    put_str(&w.out, "}\n");
    return finish_output(out, &w.out);
}
