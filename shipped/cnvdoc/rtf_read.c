/* The RTF reader: what WordPad, Word and LibreOffice write.  A tokenizer
 * reads groups, control words and text; a stack of group states carries the
 * character formatting and the destination, whose reader reads each control
 * word in the group (word_readers).  A paragraph's text is kept as
 * runs of like formatting until its end, when its properties (style, list,
 * table) tell which block it is. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

#define GROUP_DEPTH 256
#define FONTS 256
#define STYLES 256
#define WORD_SLOTS 512 /* the control words' hash index: a power of two, over twice their number */
#define WORD_LONGEST 32 /* a longer name is no word this reader knows */
#define QUOTE_LIMIT 32 /* quotes read from indentation nest no deeper: sixteen inches */
/* A quote's marks in the intermediate form, with their line ends.  Quotes
 * opened from indentation spend the document's expansion budget (the
 * builder's, which links spend too; past it they open no more): a few
 * bytes of indent change open and close 32 of them, and paragraphs that
 * alternate made a work file 19 times the input. */
#define QUOTE_COST 21
#define TYPED_LEVELS 9 /* levels of a list typed by hand, as a word processor has */

enum destination {
    DEST_TEXT, DEST_SKIP, DEST_FONTTBL, DEST_STYLESHEET, DEST_STYLE, DEST_LISTTEXT, DEST_PN, DEST_FLDINST,
    DEST_CODE_LANGUAGE, DEST_NOTE, DEST_PICT, DEST_SHAPE_NAME, DEST_SHAPE_VALUE, DEST_SHAPE, DEST_LISTTABLE,
    DEST_LEVELNUMBERS, DEST_NEST_PROPS, DEST_COUNT
};

#define LIST_DEFINITIONS 256 /* lists a document defines that this reader keeps; later ones number as bullets do */
#define LIST_OVERRIDES 256
#define LIST_DEPTH 9        /* a list definition's levels */
#define NFC_BULLET 23       /* \levelnfc of a bulleted level */
#define NFC_NONE 255        /* a level that shows no number */

#define SHAPE_TEXT_LIMIT 4096 /* a picture's name and description: longer is cut */

enum style_kind { STYLE_PLAIN, STYLE_HEADING, STYLE_QUOTE, STYLE_CODE };

/* RUN_PARAGRAPH_END: a break that ends a paragraph in a cell, not a \line */
/* RUN_NOTE: where a footnote stands, its text the note's id; RUN_PICTURE:
 * a picture, its text a picture_header, the data and the alternative text */
enum run_flag {
    RUN_B = 1, RUN_I = 2, RUN_U = 4, RUN_S = 8, RUN_C = 16, RUN_BREAK = 32, RUN_PARAGRAPH_END = 64,
    RUN_SUP = 128, RUN_SUB = 256, RUN_SC = 512, RUN_NOTE = 1024, RUN_PICTURE = 2048
};
/* Runs that are no text: never joined to another, never trimmed. */
#define RUN_OBJECT (RUN_BREAK | RUN_NOTE | RUN_PICTURE)

typedef struct group_state {
    int destination;
    unsigned flags;     /* RUN_B .. RUN_S */
    int deleted;        /* text a tracked change deleted: the document is read as its changes leave it */
    int hidden;         /* hidden text (\v), left out as Word shows a document by default */
    int font;           /* index into the font table, -1 for none */
    int uc;             /* bytes of fallback after \u */
    size_t link, link_length; /* target of the field result, in links */
    /* paragraph properties */
    int style, in_table, list, list_level, left_indent, right_indent, first_indent, outline, border_bottom;
    int table_depth;    /* \itap: 2 and more in a table inside a cell */
    int pn, pn_style, pn_start, pn_level; /* the legacy numbering (\pn) the paragraph has: PN_* */
    int in_note;        /* inside a footnote, whose text goes to the notes */
    int in_shape;       /* inside a floating shape or drawing object */
    int shape_text;     /* a text box's text: SHAPE_TEXT_* */
} group_state;

/* Where a text box's paragraphs go: lines of the table cell its anchor is
 * in, else paragraphs of their own. */
enum shape_text { SHAPE_TEXT_NONE, SHAPE_TEXT_BLOCKS, SHAPE_TEXT_IN_CELL };

enum pn_kind { PN_NONE, PN_NUMBERED, PN_BULLET };

/* A list the list table defines: each level's number format (\levelnfc),
 * first number, and how many level numbers its text shows ("2.1." two). */
typedef struct list_definition {
    long id;
    int levels; /* how many it defines */
    unsigned char nfc[LIST_DEPTH], numbers[LIST_DEPTH];
    int start[LIST_DEPTH];
} list_definition;

typedef struct list_override {
    long ls, id;
} list_override;

typedef struct font {
    int number;
    int code_page;
    int monospace;
} font;

/* A paragraph's runs until it ends: 20 bytes each, offsets into the
 * paragraph's text and the document's link targets, which stay under
 * RUN_OFFSET_LIMIT. */
typedef struct run {
    uint32_t flags;
    uint32_t text, length;
    uint32_t link, link_length;
} run;
#define RUN_OFFSET_LIMIT ((size_t)UINT32_MAX)

/* A paragraph being read: the body's waits here while a footnote in it
 * is read. */
typedef struct paragraph {
    run *runs;
    int run_count, run_capacity;
    buffer text;
    buffer list_text;
    int has_list_text;
} paragraph;

/* What a picture's run holds before its data and alternative text. */
typedef struct picture_header {
    uint32_t data_length, alt_length;
    int width, height;
    int kind;
} picture_header;

enum picture_kind { PICTURE_OTHER, PICTURE_PNG, PICTURE_JPEG };

/* A \pict being read: its kind, its sizes and its data. */
typedef struct picture {
    int kind;
    long width, height, goal_width, goal_height, scale_x, scale_y;
    int high_nibble; /* the first hex digit of a byte, -1 between bytes */
    buffer data;
    size_t binary; /* \bin: the bytes after the word are data */
} picture;

typedef struct rtf_reader {
    buffer raw; /* the input, its own: release_reader frees it with every buffer below */
    doc_builder b;
    doc_builder *out;   /* b, or the builder of the footnote being read */
    paragraph waiting;  /* the body's paragraph while a footnote is read */
    picture pict;
    group_state stack[GROUP_DEPTH];
    int depth, overflow;
    int ansi_code_page, default_font;
    font fonts[FONTS];
    int font_count;
    int font_entry_number, font_entry_charset_page, font_entry_monospace;
    buffer entry_name;  /* the font or style being read */
    int style_kind[STYLES], style_level[STYLES];
    int style_entry, style_entry_outline;
    buffer pending_bytes; /* \'hh bytes, decoded together (double-byte pages) */
    buffer decoded;       /* their text in UTF-8 */
    unsigned char word_slots[WORD_SLOTS]; /* 1 + index into control_words, 0 for none */
    int skip;           /* fallback bytes still to skip after \u */
    uint32_t high_surrogate;
    int star;           /* the last token was \* */
    /* the paragraph */
    run *runs;
    int run_count, run_capacity;
    buffer text;
    buffer links;
    buffer list_text;
    int has_list_text;
    int pn_kind, pn_style, pn_start, pn_level; /* the \pn group being read */
    int pn_next;        /* the number of a \pn item after the last one, 0 where no such item came last */
    int pn_counted;     /* the last one's style and level, as pn_counted_as gives them */
    list_definition lists[LIST_DEFINITIONS];
    list_override overrides[LIST_OVERRIDES];
    int list_count, override_count;
    int list_level_entry; /* the \listlevel being read, -1 before a list's first */
    long counted_list;  /* the \ls whose items the counts below are of */
    int counts[LIST_DEPTH]; /* the number of each level's last item, 0 for none since a level above */
    buffer field_instruction;
    /* The instruction is read at its field's first result, into a link that
     * every further result takes: a field of thousands of results would
     * otherwise copy its target thousands of times. */
    int field_read, field_is_link;
    size_t field_link, field_link_length;
    buffer code_language; /* the paragraph's \mxcodelang */
    buffer shape_name, shape_value; /* a picture property being read */
    buffer picture_description, picture_name;
    int shape_picture; /* the floating shape being read is a picture */
    int note_count;
    int last_alpha; /* the letter of the last item numbered by letters, 0 for none */
    int last_roman; /* the number of the last item numbered in roman, 0 for none */
    int note_first_paragraph; /* the note's first paragraph, which begins after its mark */
    /* blocks open in the output */
    int code_open, row_header, row_open;
    int cell_open, cell_blocks; /* the cell a list item in it opened, and whether blocks stand in it */
    int cell_paragraph_run;     /* the first run of the cell's paragraph being read */
    int nest_table_open, nest_row_open; /* a table in the open cell (\itap2), and its row */
    int nest_start_run;         /* the first run of the text of that table's cell, -1 before it */
    int quote_depth, quote_item; /* the quotes open, and the list item the outermost stands in */
    int list_in_quote;           /* the level of the list item read last inside them, 0 for none */
    int item_level; /* the list item outside quotes written last, which indented blocks after it go on */
    int typed_indent[TYPED_LEVELS]; /* the left indents of the typed list's levels open */
    int typed_depth;
} rtf_reader;

/* ---- code pages ---- */

/* The core's table, Mac pages (77-89) included; the document's page for
 * a set it does not name. */
static int code_page_of_charset(const rtf_reader *r, int charset)
{
    const int page = code_page_of_rtf_charset(charset);
    return page ? page : r->ansi_code_page;
}

static const font *current_font(const rtf_reader *r)
{
    const int index = r->stack[r->depth].font;
    return index >= 0 && index < r->font_count ? &r->fonts[index] : NULL;
}

static int find_font(const rtf_reader *r, int number)
{
    int i;
    for (i = 0; i < r->font_count; ++i)
        if (r->fonts[i].number == number)
            return i;
    return -1;
}

/* ---- runs ---- */

static void add_run(rtf_reader *r, const char *s, size_t n, unsigned flags)
{
    const group_state *g = &r->stack[r->depth];
    run *runs, *last = r->run_count ? &r->runs[r->run_count - 1] : NULL;
    if (r->text.size + n > RUN_OFFSET_LIMIT || g->link + g->link_length > RUN_OFFSET_LIMIT) {
        refusal_set("A paragraph or its links hold more than 4 GiB of text.");
        return;
    }
    if (last && !(flags & RUN_OBJECT) && last->flags == flags && last->link == g->link &&
        last->link_length == g->link_length && last->text + last->length == r->text.size) {
        put_bytes(&r->text, s, n);
        last->length += (uint32_t)n;
        return;
    }
    runs = (run *)room_for_one(r->runs, r->run_count, &r->run_capacity, 64, sizeof *runs);
    if (!runs)
        return;
    r->runs = runs;
    last = &r->runs[r->run_count++];
    last->flags = flags;
    last->text = (uint32_t)r->text.size;
    last->length = (uint32_t)n;
    last->link = (uint32_t)g->link;
    last->link_length = (uint32_t)g->link_length;
    put_bytes(&r->text, s, n);
}

/* UTF-8 text for the current destination. */
/* A level's \levelnumbers: one byte for each level number its text
 * shows, up to the ';' that ends it. */
static void count_level_numbers(rtf_reader *r, const char *s, size_t n)
{
    list_definition *list = r->list_count ? &r->lists[r->list_count - 1] : NULL;
    const int level = r->list_level_entry;
    size_t i;
    if (!list || level < 0 || level >= LIST_DEPTH)
        return;
    for (i = 0; i < n; ++i)
        if (s[i] != ';' && list->numbers[level] < LIST_DEPTH)
            ++list->numbers[level];
}

static void put_text(rtf_reader *r, const char *s, size_t n)
{
    const group_state *g = &r->stack[r->depth];
    if (g->deleted || g->hidden)
        return;
    switch (g->destination) {
    case DEST_TEXT: case DEST_NOTE: {
        const font *f = current_font(r);
        /* a link's text is underlined by convention, not by its author */
        add_run(r, s, n, (g->flags & (g->link_length ? ~(unsigned)RUN_U : ~0u)) | (f && f->monospace ? RUN_C : 0));
        break;
    }
    case DEST_FONTTBL: case DEST_STYLE: put_bytes(&r->entry_name, s, n); break;
    case DEST_LISTTEXT: put_bytes(&r->list_text, s, n); break;
    case DEST_FLDINST:
        if (!r->field_read) /* text after a result began is no part of the instruction read */
            put_bytes(&r->field_instruction, s, n);
        break;
    case DEST_CODE_LANGUAGE: put_bytes(&r->code_language, s, n); break;
    case DEST_LEVELNUMBERS: count_level_numbers(r, s, n); break;
    case DEST_SHAPE_NAME: case DEST_SHAPE_VALUE: {
        buffer *b = g->destination == DEST_SHAPE_NAME ? &r->shape_name : &r->shape_value;
        if (b->size + n <= SHAPE_TEXT_LIMIT)
            put_bytes(b, s, n);
        break;
    }
    }
}

static void swap_paragraph(rtf_reader *r)
{
    paragraph *p = &r->waiting, t = *p;
    p->runs = r->runs, p->run_count = r->run_count, p->run_capacity = r->run_capacity;
    p->text = r->text, p->list_text = r->list_text;
    p->has_list_text = r->has_list_text;
    r->runs = t.runs, r->run_count = t.run_count, r->run_capacity = t.run_capacity;
    r->text = t.text, r->list_text = t.list_text;
    r->has_list_text = t.has_list_text;
}

/* A footnote: where it stands, a run of the paragraph that names it by
 * its number; its paragraphs go to the note of that number, read while
 * the paragraph around it waits. */
__attribute__((noinline)) static void begin_note(rtf_reader *r)
{
    group_state *g = &r->stack[r->depth];
    char digits[16];
    const int written = snprintf(digits, sizeof digits, "%d", ++r->note_count);
    const size_t length = written > 0 && written < (int)sizeof digits ? (size_t)written : 0;
    add_run(r, digits, length, RUN_NOTE);
    swap_paragraph(r);
    r->run_count = 0;
    r->text.size = r->list_text.size = 0;
    r->has_list_text = 0;
    r->out = doc_note_begin(&r->b, digits, length);
    g->destination = DEST_NOTE;
    g->in_note = 1;
    r->note_first_paragraph = 1;
}

static int buffer_is(const buffer *b, const char *s)
{
    return b->size == strlen(s) && memcmp(b->data, s, b->size) == 0;
}

/* A property of the picture: its description (alternative text), or its
 * name, where some programs keep the alternative text. */
static void end_shape_value(rtf_reader *r)
{
    buffer *kept = buffer_is(&r->shape_name, "wzDescription") ? &r->picture_description
                   : buffer_is(&r->shape_name, "wzName")      ? &r->picture_name
                                                               : NULL;
    if (kept) {
        kept->size = 0;
        put_bytes(kept, r->shape_value.data, r->shape_value.size);
    }
}

/* Whether a picture's name is its author's, not the one a program numbers
 * it by ("Picture 3", "Image1"). */
static int is_authors_name(const buffer *name)
{
    size_t i = name->size, spaces = 0;
    while (i > 0 && name->data[i - 1] >= '0' && name->data[i - 1] <= '9')
        --i;
    const int numbered = i < name->size;
    for (; i > 0; --i)
        spaces += name->data[i - 1] == ' ';
    return name->size > 0 && (!numbered || spaces > 1);
}

static void forget_picture_text(rtf_reader *r)
{
    r->picture_description.size = 0;
    r->picture_name.size = 0;
}

/* A picture's size in pixels: the size it shows at (twips, 15 a pixel)
 * as scaled, else its own. */
static int picture_pixels(long goal, long scale, long own)
{
    if (goal > 0)
        return (int)((goal * (scale > 0 ? scale : 100) + 750) / 1500);
    return own > 0 && own < 1000000 ? (int)own : 0;
}

/* A PNG or JPEG picture, a run of its own: its header, data and
 * alternative text. */
static void add_picture_run(rtf_reader *r, const buffer *alt)
{
    const group_state *g = &r->stack[r->depth];
    const picture *p = &r->pict;
    picture_header h;
    if (g->deleted || g->hidden || (g->destination != DEST_TEXT && g->destination != DEST_NOTE) ||
        p->data.size + alt->size > RUN_OFFSET_LIMIT / 2)
        return;
    memset(&h, 0, sizeof h);
    h.data_length = (uint32_t)p->data.size;
    h.alt_length = (uint32_t)alt->size;
    h.width = picture_pixels(p->goal_width, p->scale_x, p->width);
    h.height = picture_pixels(p->goal_height, p->scale_y, p->height);
    h.kind = p->kind;
    add_run(r, (const char *)&h, sizeof h, RUN_PICTURE);
    if (!r->run_count || !(r->runs[r->run_count - 1].flags & RUN_PICTURE) || r->text.size + h.data_length +
        h.alt_length > RUN_OFFSET_LIMIT)
        return;
    put_bytes(&r->text, p->data.data, p->data.size);
    put_bytes(&r->text, alt->data, alt->size);
    r->runs[r->run_count - 1].length += h.data_length + h.alt_length;
}

/* A picture: its data where it is PNG or JPEG, with its alternative text,
 * else that text alone, as the writer writes one: the description, else
 * the author's name for it. */
static void end_picture(rtf_reader *r)
{
    const buffer *name = &r->picture_name, *text = &r->picture_description;
    if (!text->size && is_authors_name(name))
        text = name;
    if (r->pict.kind != PICTURE_OTHER && r->pict.data.size)
        add_picture_run(r, text);
    else if (text->size)
        put_text(r, (const char *)text->data, text->size);
    forget_picture_text(r);
    r->pict.kind = PICTURE_OTHER;
    r->pict.data.size = 0;
}

__attribute__((noinline)) static void put_char(rtf_reader *r, uint32_t c)
{
    char bytes[4];
    buffer one = {0};
    one.data = (unsigned char *)bytes;
    one.capacity = sizeof bytes;
    put_utf8(&one, c);
    if (one.size <= sizeof bytes) /* always: tells the compiler no longer copy reads past bytes */
        put_text(r, bytes, one.size);
}

/* Eight-bit text in the current font's code page. */
static void put_bytes_of_page(rtf_reader *r, const unsigned char *s, size_t n)
{
    const font *f = current_font(r);
    const int page = f ? f->code_page : r->ansi_code_page;
    buffer *decoded = &r->decoded;
    size_t i = ascii_run(s, n);
    if (i == n) {
        put_text(r, (const char *)s, n);
        return;
    }
    decoded->size = 0;
    if (page == 2) {
        /* the Symbol font: its bullet, else the bytes as Windows-1252 */
        for (i = 0; i < n; ++i)
            put_utf8(decoded, s[i] == 0xB7 ? 0x2022 : windows_1252_char(s[i]));
    } else if (!put_code_page_text(decoded, page, s, n)) {
        put_code_page_text(decoded, 1252, s, n);
    }
    put_text(r, (const char *)decoded->data, decoded->size);
}

static void flush_bytes(rtf_reader *r)
{
    if (r->pending_bytes.size) {
        put_bytes_of_page(r, r->pending_bytes.data, r->pending_bytes.size);
        r->pending_bytes.size = 0;
    }
}

/* ---- style sheet and font table ---- */

static int contains_folded(const buffer *name, const char *word)
{
    const size_t length = strlen(word);
    size_t i, j;
    for (i = 0; i + length <= name->size; ++i) {
        for (j = 0; j < length; ++j) {
            unsigned char c = name->data[i + j];
            if (c >= 'A' && c <= 'Z')
                c = (unsigned char)(c + 32);
            if (c != (unsigned char)word[j])
                break;
        }
        if (j == length)
            return 1;
    }
    return 0;
}

static void end_style_entry(rtf_reader *r)
{
    const int n = r->style_entry;
    if (n >= 0 && n < STYLES) {
        static const char *const heading_words[] = {"heading", "berschrift", "titre", "kop ", "rubrik", "encabezado",
                                                    "titolo"};
        size_t i;
        int level = 0;
        for (i = 0; i < sizeof heading_words / sizeof *heading_words; ++i)
            if (contains_folded(&r->entry_name, heading_words[i])) {
                size_t k;
                for (k = 0; k < r->entry_name.size; ++k)
                    if (r->entry_name.data[k] >= '1' && r->entry_name.data[k] <= '9') {
                        level = r->entry_name.data[k] - '0';
                        break;
                    }
            }
        if (!level && r->style_entry_outline >= 0 && r->style_entry_outline < 9)
            level = r->style_entry_outline + 1;
        if (!level && r->entry_name.size >= 5 && contains_folded(&r->entry_name, "title") &&
            !contains_folded(&r->entry_name, "subtitle"))
            level = 1;
        if (level) {
            r->style_kind[n] = STYLE_HEADING;
            r->style_level[n] = level > 6 ? 6 : level;
        } else if (contains_folded(&r->entry_name, "quot") || contains_folded(&r->entry_name, "block text")) {
            r->style_kind[n] = STYLE_QUOTE;
        } else if (contains_folded(&r->entry_name, "code") || contains_folded(&r->entry_name, "preformatted")) {
            r->style_kind[n] = STYLE_CODE;
        }
    }
    r->entry_name.size = 0;
    r->style_entry = 0;
    r->style_entry_outline = -1;
}

static void end_font_entry(rtf_reader *r)
{
    if (r->font_count < FONTS && r->font_entry_number >= 0) {
        font *f = &r->fonts[r->font_count++];
        f->number = r->font_entry_number;
        f->code_page = r->font_entry_charset_page ? r->font_entry_charset_page : r->ansi_code_page;
        f->monospace = r->font_entry_monospace || contains_folded(&r->entry_name, "courier") ||
                       contains_folded(&r->entry_name, "consolas") || contains_folded(&r->entry_name, "mono") ||
                       contains_folded(&r->entry_name, "lucida console");
    }
    r->entry_name.size = 0;
    r->font_entry_number = -1;
    r->font_entry_charset_page = 0;
    r->font_entry_monospace = 0;
}

/* ---- paragraphs ---- */

/* Spaces at the start and end of a paragraph are layout, not text (they
 * often follow a group or a control word's delimiter). */
static void trim_runs(rtf_reader *r)
{
    int i;
    for (i = 0; i < r->run_count && !(r->runs[i].flags & RUN_OBJECT); ++i) {
        run *u = &r->runs[i];
        while (u->length && r->text.data[u->text] == ' ') {
            ++u->text;
            --u->length;
        }
        if (u->length)
            break;
    }
    for (i = r->run_count - 1; i >= 0 && !(r->runs[i].flags & RUN_OBJECT); --i) {
        run *u = &r->runs[i];
        while (u->length && r->text.data[u->text + u->length - 1] == ' ')
            --u->length;
        if (u->length)
            break;
    }
}

/* The marks of each run flag, in the order they open. */
static const struct {
    unsigned flag;
    int node;
} run_marks[] = {{RUN_I, NODE_I}, {RUN_B, NODE_B}, {RUN_U, NODE_U}, {RUN_S, NODE_S}, {RUN_C, NODE_C},
                 {RUN_SUP, NODE_SUP}, {RUN_SUB, NODE_SUB}, {RUN_SC, NODE_SC}};
#define RUN_MARKS (RUN_B | RUN_I | RUN_U | RUN_S | RUN_C | RUN_SUP | RUN_SUB | RUN_SC)

static void set_marks(rtf_reader *r, unsigned changed, unsigned wanted)
{
    size_t k;
    for (k = 0; k < sizeof run_marks / sizeof *run_marks; ++k)
        if (changed & run_marks[k].flag)
            doc_set(r->out, run_marks[k].node, (wanted & run_marks[k].flag) != 0);
}

static void replay_link(rtf_reader *r, const run *u)
{
    if (u->link_length) {
        size_t title_length;
        memcpy(&title_length, r->links.data + u->link - sizeof title_length, sizeof title_length);
        doc_link_title(r->out, (const char *)r->links.data + u->link + u->link_length + 1, title_length);
        doc_link(r->out, (const char *)r->links.data + u->link, u->link_length);
    } else {
        doc_link(r->out, NULL, 0);
    }
}

static const char *const picture_types[] = {"", "image/png", "image/jpeg"};

static void replay_picture(rtf_reader *r, const run *u)
{
    picture_header h;
    const unsigned char *data = r->text.data + u->text + sizeof h;
    memcpy(&h, r->text.data + u->text, sizeof h);
    doc_picture(r->out, NULL, 0, NULL, 0, (const char *)data + h.data_length, h.alt_length, picture_types[h.kind],
                data, h.data_length, h.width, h.height);
}

static void replay_runs(rtf_reader *r, unsigned ignored)
{
    unsigned flags = 0;
    size_t link = (size_t)-1, link_length = 0;
    int i;
    if (ignored != ~0u)
        trim_runs(r);
    for (i = 0; i < r->run_count; ++i) {
        const run *u = &r->runs[i];
        const unsigned wanted = u->flags & ~ignored & RUN_MARKS, changed = wanted ^ flags;
        if (changed && !(u->flags & (RUN_NOTE | RUN_PICTURE))) {
            set_marks(r, changed, wanted);
            flags = wanted;
        }
        if (u->link_length != link_length || (u->link_length && u->link != link)) {
            replay_link(r, u);
            link = u->link;
            link_length = u->link_length;
        }
        if (u->flags & RUN_BREAK)
            doc_br(r->out);
        else if (u->flags & RUN_NOTE)
            doc_footnote(r->out, (const char *)r->text.data + u->text, u->length);
        else if (u->flags & RUN_PICTURE)
            replay_picture(r, u);
        else
            doc_text(r->out, (const char *)r->text.data + u->text, u->length);
    }
    set_marks(r, flags, 0);
    doc_link(r->out, NULL, 0);
}

static int has_text(const rtf_reader *r)
{
    size_t i;
    for (i = 0; i < r->text.size; ++i)
        if (r->text.data[i] != ' ' && r->text.data[i] != '\t')
            return 1;
    return 0;
}

static void clear_paragraph(rtf_reader *r)
{
    r->run_count = 0;
    r->text.size = 0;
    r->list_text.size = 0;
    r->code_language.size = 0;
    r->has_list_text = 0;
}

static int is_ascii_letter(unsigned char c)
{
    return (unsigned)((c | 0x20) - 'a') < 26u;
}

static int roman_value(unsigned char c)
{
    switch (c | 0x20) {
    case 'i': return 1;
    case 'v': return 5;
    case 'x': return 10;
    case 'l': return 50;
    case 'c': return 100;
    case 'd': return 500;
    case 'm': return 1000;
    }
    return 0;
}

/* The letters of a roman number s[0..n) ("iv", "XII"), 0 where they are
 * none: one case throughout. */
static int roman_number(const unsigned char *s, size_t n)
{
    int total = 0;
    size_t i;
    if (n == 0 || n > 8)
        return 0;
    for (i = 0; i < n; ++i) {
        const int v = roman_value(s[i]), next = i + 1 < n ? roman_value(s[i + 1]) : 0;
        if (!v || (s[i] & 0x20) != (s[0] & 0x20))
            return 0;
        total += v < next ? -v : v;
    }
    return total > 0 ? total : 0;
}

/* The marker a list item shows, "3." "c)" "iv." "2.1.": its number and
 * style, DOC_BULLET for a bullet.  A lone "i" is the roman one unless it
 * follows an "h" (the ninth letter), and a lone "v" or "x" the roman
 * one where it follows "iv" or "ix". */
static int marker_number(rtf_reader *r, const unsigned char *s, size_t n, int *style)
{
    size_t i = 0, end;
    int number = 0;
    *style = LIST_DECIMAL;
    while (i < n && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    if (i < n && s[i] >= '0' && s[i] <= '9') {
        while (i < n && s[i] >= '0' && s[i] <= '9' && number < 100000000)
            number = number * 10 + (s[i++] - '0');
        return number;
    }
    for (end = i; end < n && is_ascii_letter(s[end]); ++end) {
    }
    if (end == i || end == n || (s[end] != '.' && s[end] != ')'))
        return DOC_BULLET;
    number = roman_number(s + i, end - i);
    if (number && (end - i > 1 || (number == 1 && r->last_alpha != 8) || (r->last_roman && number == r->last_roman + 1))) {
        *style = s[i] & 0x20 ? LIST_LOWER_ROMAN : LIST_UPPER_ROMAN;
        r->last_alpha = 0;
        r->last_roman = number;
        return number;
    }
    r->last_roman = 0;
    if (end - i != 1)
        return DOC_BULLET;
    *style = s[i] & 0x20 ? LIST_LOWER_ALPHA : LIST_UPPER_ALPHA;
    r->last_alpha = (s[i] | 0x20) - 'a' + 1;
    return r->last_alpha;
}

/* The number a list item's marker shows where its style is known: the
 * last number of it ("2.1." gives 1, "iv." 4, "c)" 3), 0 for none. */
static int number_in_style(const unsigned char *s, size_t n, int style)
{
    size_t end = n, start;
    int number = 0;
    if (style == LIST_DECIMAL) {
        while (end > 0 && !(s[end - 1] >= '0' && s[end - 1] <= '9'))
            --end;
        for (start = end; start > 0 && end - start < 9 && s[start - 1] >= '0' && s[start - 1] <= '9'; --start) {
        }
        for (; start < end; ++start)
            number = number * 10 + (s[start] - '0');
        return number;
    }
    while (end > 0 && !is_ascii_letter(s[end - 1]))
        --end;
    for (start = end; start > 0 && is_ascii_letter(s[start - 1]); --start) {
    }
    if (style == LIST_LOWER_ROMAN || style == LIST_UPPER_ROMAN)
        return roman_number(s + start, end - start);
    return end - start == 1 ? (s[start] | 0x20) - 'a' + 1 : 0;
}

/* A list level's number format (\levelnfc) as a style, DOC_BULLET for
 * one that shows no number; formats without a style count in decimal. */
static int nfc_style(int nfc)
{
    switch (nfc) {
    case 1: return LIST_UPPER_ROMAN;
    case 2: return LIST_LOWER_ROMAN;
    case 3: return LIST_UPPER_ALPHA;
    case 4: return LIST_LOWER_ALPHA;
    case NFC_BULLET: case NFC_NONE: return DOC_BULLET;
    }
    return LIST_DECIMAL;
}

/* The list an item's \ls names through the override table, NULL where
 * the tables hold none. */
static const list_definition *find_list(const rtf_reader *r, long ls)
{
    int i, k;
    for (i = 0; i < r->override_count; ++i) {
        if (r->overrides[i].ls != ls)
            continue;
        for (k = 0; k < r->list_count; ++k)
            if (r->lists[k].id == r->overrides[i].id)
                return &r->lists[k];
        return NULL;
    }
    return NULL;
}

/* The marker's text without the space and tab around it. */
static size_t trimmed_marker(const rtf_reader *r, size_t *start)
{
    size_t end = r->list_text.size, i = 0;
    while (i < end && (r->list_text.data[i] == ' ' || r->list_text.data[i] == '\t'))
        ++i;
    while (end > i && (r->list_text.data[end - 1] == ' ' || r->list_text.data[end - 1] == '\t'))
        --end;
    *start = i;
    return end - i;
}

/* An outline label ("2.1."): the marker as written, else the numbers of
 * the levels it shows, counted. */
static void put_outline_label(rtf_reader *r, const list_definition *list, int level, int style)
{
    char label[LIST_DEPTH * 12];
    size_t start, n = r->has_list_text ? trimmed_marker(r, &start) : 0, used = 0;
    int k;
    if (n > 0 && n < sizeof label) {
        doc_list_style(r->out, style, (const char *)r->list_text.data + start, n);
        return;
    }
    for (k = level - list->numbers[level] + 1; k <= level; ++k) {
        const int written = snprintf(label + used, sizeof label - used, "%d.",
                                     k < 0 ? 1 : r->counts[k] ? r->counts[k] : list->start[k]);
        if (written > 0 && (size_t)written < sizeof label - used)
            used += (size_t)written;
    }
    doc_list_style(r->out, style, label, used);
}

/* An item of a list the list table defines: its number from its marker
 * where the marker shows one in the level's style, else counted from the
 * item before it at its level, or from the level's start. */
static int listed_number(rtf_reader *r, const group_state *g, const list_definition *list)
{
    const int level = g->list_level < 0 ? 0 : g->list_level < LIST_DEPTH ? g->list_level : LIST_DEPTH - 1;
    const int style = nfc_style(list->nfc[level]);
    int number = DOC_BULLET, k;
    if (r->counted_list != g->list) {
        memset(r->counts, 0, sizeof r->counts);
        r->counted_list = g->list;
    }
    for (k = level + 1; k < LIST_DEPTH; ++k)
        r->counts[k] = 0;
    if (style == DOC_BULLET)
        return DOC_BULLET;
    number = r->has_list_text ? number_in_style(r->list_text.data, r->list_text.size, style) : 0;
    if (number <= 0)
        number = r->counts[level] ? r->counts[level] + 1 : list->start[level];
    r->counts[level] = number;
    if (list->numbers[level] > 1)
        put_outline_label(r, list, level, style);
    else if (style != LIST_DECIMAL)
        doc_list_style(r->out, style, NULL, 0);
    return number;
}

/* An item the legacy numbering (\pn) marks: numbered in its style, from
 * its marker, else one more than the item before it where that one has
 * its style and level, else from its start. */
static int pn_number(rtf_reader *r, const group_state *g)
{
    const int counted = g->pn_style * (LIST_DEPTH + 1) + g->pn_level;
    int number;
    if (g->pn == PN_BULLET)
        return DOC_BULLET;
    number = r->has_list_text ? number_in_style(r->list_text.data, r->list_text.size, g->pn_style) : 0;
    if (number <= 0)
        number = r->pn_next > 0 && r->pn_counted == counted ? r->pn_next : g->pn_start;
    r->pn_next = number + 1;
    r->pn_counted = counted;
    if (g->pn_style != LIST_DECIMAL)
        doc_list_style(r->out, g->pn_style, NULL, 0);
    return number;
}

/* The number a list item shows and its style, passed on: from its list's
 * definition, else from its legacy numbering, else from its marker ("3."
 * gives 3, "c)" gives 3, "iv." 4); DOC_BULLET for a bullet. */
static int item_number(rtf_reader *r, const group_state *g)
{
    const list_definition *list = g->list > 0 ? find_list(r, g->list) : NULL;
    int style, number;
    if (list && (g->list_level < 0 ? 0 : g->list_level) < list->levels)
        return listed_number(r, g, list);
    if (g->pn)
        return pn_number(r, g);
    number = marker_number(r, r->list_text.data, r->list_text.size, &style);
    if (number != DOC_BULLET && style != LIST_DECIMAL)
        doc_list_style(r->out, style, NULL, 0);
    return number;
}

/* An indent in half-inch steps, to the nearest: the step of a list level
 * and of a quote. */
static int indent_steps(int twips)
{
    return (twips + 360) / 720;
}

/* Quotes nest `depth` deep from here on, the outermost in list item `item`
 * (0 for none). */
static void set_quotes(rtf_reader *r, int item, int depth)
{
    const int keep = item == r->quote_item ? depth : 0;
    while (r->quote_depth > keep) {
        doc_end_container(r->out, NODE_QUOTE);
        --r->quote_depth;
    }
    if (r->quote_depth == 0)
        r->list_in_quote = 0;
    while (r->quote_depth < depth && doc_spend(&r->b.expansion_left, QUOTE_COST)) {
        if (r->quote_depth == 0 && item > 0)
            doc_block_context(r->out, item, 0);
        doc_container(r->out, NODE_QUOTE);
        ++r->quote_depth;
    }
    r->quote_item = item;
}

/* A quote is indented half an inch for itself and each quote around it, on
 * top of the text of the list item it stands in: after a list, a quote
 * indented beyond one level goes in the item before it, as deep as that
 * item's text reaches.  A list read inside the quotes keeps them as they
 * are. */
static void set_quotes_at(rtf_reader *r, int left_indent)
{
    const int units = indent_steps(left_indent);
    int item = 0, depth = units;
    if (r->quote_depth > 0 && r->list_in_quote)
        return;
    if (r->item_level > 0 && units >= 2) {
        item = units - 1 < r->item_level ? units - 1 : r->item_level;
        depth = units - item;
    }
    if (depth < 1)
        depth = 1;
    if (depth > QUOTE_LIMIT)
        depth = QUOTE_LIMIT;
    set_quotes(r, item, depth);
    r->item_level = item; /* a quote outside the list ends it, one in an item the items below */
}

/* A paragraph indented as far as the text of the list item before it (or
 * one it stands in) goes on in that item, as word processors write an
 * item's further paragraphs; else it stands outside the list.  Inside
 * quotes that hold a list, the same past the quotes' own indent. */
static void continue_item_at(rtf_reader *r, int left_indent)
{
    int level = left_indent / 720;
    if (r->quote_depth) {
        level = indent_steps(left_indent) - r->quote_depth;
        if (level > r->list_in_quote)
            level = r->list_in_quote;
        if (level > r->quote_item)
            doc_block_context(r->out, level, 0);
        return;
    }
    if (r->typed_depth > 0) {
        /* a typed item's text begins at its left indent */
        for (level = r->typed_depth; level > 0 && r->typed_indent[level - 1] != left_indent; --level) {
        }
    }
    if (level > r->item_level)
        level = r->item_level;
    if (level > 0)
        doc_block_context(r->out, level, 0);
    else
        r->item_level = 0;
}

/* The length of a roman number's marker at s ("iv."), 0 for none. */
static size_t roman_length(const char *s, size_t n)
{
    size_t end = 0;
    while (end < n && end < 8 && roman_value((unsigned char)s[end]))
        ++end;
    return end > 1 && end < n && (s[end] == '.' || s[end] == ')') && roman_number((const unsigned char *)s, end)
               ? end + 1
               : 0;
}

/* A list typed by hand, as some programs write one: a paragraph that hangs
 * from its first line and begins with a bullet or a number, then a tab.
 * The marker moves to the list text, as a list's own would be. */
static int take_typed_marker(rtf_reader *r)
{
    static const char *const bullets[] = {"\xE2\x80\xA2", "\xC2\xB7", "\xE2\x80\x93", "\xE2\x80\x94", "\xE2\x96\xAA",
                                          "\xE2\x97\x8F", "\xE2\x97\xA6", "\xEF\x82\xB7", "-", "*"};
    run *u = r->run_count ? &r->runs[0] : NULL;
    const char *s;
    size_t n, i = 0, start, k;
    if (!u || (u->flags & RUN_OBJECT))
        return 0;
    s = (const char *)r->text.data + u->text;
    n = u->length;
    while (i < n && s[i] == ' ')
        ++i;
    start = i;
    if (i < n && s[i] >= '0' && s[i] <= '9') {
        while (i < n && i - start < 9 && s[i] >= '0' && s[i] <= '9')
            ++i;
        if (i < n && (s[i] == '.' || s[i] == ')'))
            ++i;
    } else if (i + 1 < n && ((s[i] | 0x20) >= 'a' && (s[i] | 0x20) <= 'z') && (s[i + 1] == '.' || s[i + 1] == ')')) {
        i += 2;
    } else if (roman_length(s + i, n - i)) {
        i += roman_length(s + i, n - i);
    } else {
        for (k = 0; k < sizeof bullets / sizeof *bullets; ++k) {
            const size_t length = strlen(bullets[k]);
            if (n - i >= length && memcmp(s + i, bullets[k], length) == 0) {
                i += length;
                break;
            }
        }
    }
    if (i == start || i >= n || s[i] != '\t' || (s[i - 1] >= '0' && s[i - 1] <= '9'))
        return 0;
    r->list_text.size = 0;
    put_bytes(&r->list_text, s + start, i - start);
    r->has_list_text = 1;
    u->text += i + 1;
    u->length -= i + 1;
    return 1;
}

/* The level of a typed item: one deeper than the item before it where it
 * hangs further in, else the level of the item it lines up with. */
static int typed_level(rtf_reader *r, int left_indent)
{
    if (r->item_level == 0)
        r->typed_depth = 0;
    while (r->typed_depth > 0 && r->typed_indent[r->typed_depth - 1] > left_indent)
        --r->typed_depth;
    if ((r->typed_depth == 0 || r->typed_indent[r->typed_depth - 1] < left_indent) && r->typed_depth < TYPED_LEVELS)
        r->typed_indent[r->typed_depth++] = left_indent;
    return r->typed_depth;
}

/* Lines of code as some programs write a code block: one paragraph, its
 * lines parted by line breaks, every letter in a fixed-pitch font.  One
 * line of it is code in the text. */
static int fixed_pitch_lines(const rtf_reader *r)
{
    int i, text = 0, broken = 0, lines = 0;
    for (i = 0; i < r->run_count; ++i) {
        const run *u = &r->runs[i];
        size_t k = 0;
        if (u->flags & RUN_BREAK) {
            broken = text;
            continue;
        }
        while (k < u->length && (r->text.data[u->text + k] == ' ' || r->text.data[u->text + k] == '\t'))
            ++k;
        if (k == u->length)
            continue;
        if (!(u->flags & RUN_C))
            return 0;
        lines |= broken;
        text = 1;
    }
    return lines;
}

static void end_code(rtf_reader *r)
{
    if (r->code_open) {
        doc_end_block(r->out, NODE_CODE);
        r->code_open = 0;
    }
}

/* A paragraph of a table cell: one of its lines. */
static void end_line_of_cell(rtf_reader *r)
{
    if (r->run_count)
        add_run(r, "", 0, RUN_BREAK | RUN_PARAGRAPH_END);
    r->cell_paragraph_run = r->run_count;
    r->list_text.size = 0;
    r->has_list_text = 0;
}

/* A paragraph of code: a line of the code block open, else the first of
 * a new one. */
static void end_code_paragraph(rtf_reader *r, const group_state *g)
{
    /* code indented on both sides stands in a quote, as quotes are; an
     * empty code paragraph opens none */
    const int quoted = g->left_indent > 0 && g->right_indent > 0 && (r->code_open || has_text(r));
    const int depth = r->quote_depth, item = r->quote_item;
    if (quoted)
        set_quotes_at(r, g->left_indent);
    else
        set_quotes(r, 0, 0);
    if (r->quote_depth != depth || r->quote_item != item)
        end_code(r);
    if (!r->code_open) {
        if (!has_text(r))
            return;
        char lang[DOC_LANGUAGE_SIZE];
        copy_language(lang, sizeof lang, r->code_language.data, r->code_language.size);
        continue_item_at(r, g->left_indent);
        doc_block(r->out, NODE_CODE, 0, 0, lang);
        r->code_open = 1;
    } else {
        doc_text(r->out, "\n", 1);
    }
    replay_runs(r, ~0u);
}

/* A paragraph without text: a rule where it has a border below, else a
 * part between two quotes. */
static void end_empty_paragraph(rtf_reader *r, const group_state *g, int kind)
{
    if (g->border_bottom) {
        set_quotes(r, 0, 0);
        doc_hr(r->out);
        r->item_level = 0;
    } else if (kind != STYLE_QUOTE) {
        set_quotes(r, 0, 0); /* an empty line outside quotes parts two of them */
    } else {
        /* an empty line of a quote less deep parts two quotes inside it */
        const int depth = indent_steps(g->left_indent) - r->quote_item;
        if (depth >= 1 && depth < r->quote_depth && !r->list_in_quote)
            set_quotes(r, r->quote_item, depth);
    }
}

/* A list item: its level from its list, else from where a typed item
 * hangs, else from its indent. */
static void put_list_item(rtf_reader *r, const group_state *g, int kind, int typed)
{
    const int listed = g->list_level >= 0 && g->list > 0;
    int level = listed ? g->list_level + 1 : typed ? typed_level(r, g->left_indent) : indent_steps(g->left_indent);
    if (!listed && g->pn && g->pn_level > 1)
        level = g->pn_level;
    if (kind == STYLE_QUOTE && !listed)
        level -= r->quote_depth; /* the quotes' own indent */
    if (level < 1)
        level = 1;
    if (!typed)
        r->typed_depth = 0;
    doc_block(r->out, NODE_LI, level, item_number(r, g), NULL);
    replay_runs(r, 0);
    doc_end_block(r->out, NODE_LI);
    if (r->quote_depth)
        r->list_in_quote = level;
    else
        r->item_level = level;
}

/* A paragraph with text or a list item's marker: a heading, an item or a
 * paragraph, in the quotes its style and indent give. */
static void put_paragraph(rtf_reader *r, const group_state *g, int style, int kind, int is_list, int typed)
{
    if (kind != STYLE_QUOTE)
        set_quotes(r, 0, 0);
    else if (is_list && r->quote_depth == 0)
        set_quotes(r, 0, 1);
    else if (!is_list)
        set_quotes_at(r, g->left_indent);
    if (kind == STYLE_HEADING || (g->outline >= 0 && g->outline < 6 && !is_list)) {
        r->item_level = 0;
        doc_block(r->out, NODE_H, kind == STYLE_HEADING ? r->style_level[style] : g->outline + 1, 0, NULL);
        replay_runs(r, RUN_B); /* headings are bold already */
        doc_end_block(r->out, NODE_H);
    } else if (is_list) {
        put_list_item(r, g, kind, typed);
    } else {
        continue_item_at(r, g->left_indent);
        doc_block(r->out, NODE_P, 0, 0, NULL);
        replay_runs(r, 0);
        doc_end_block(r->out, NODE_P);
    }
}

/* A paragraph of a footnote: the note's paragraph, its mark (\chftn) no
 * part of its text. */
static void end_note_paragraph(rtf_reader *r)
{
    run *u = r->run_count ? &r->runs[0] : NULL;
    if (r->note_first_paragraph && u && !(u->flags & RUN_OBJECT)) {
        /* the space after the note's mark: a tab, or a no-break space, in some programs' */
        while (u->length && (r->text.data[u->text] == ' ' || r->text.data[u->text] == '\t' ||
                             (u->length >= 2 && !memcmp(r->text.data + u->text, "\xC2\xA0", 2)))) {
            const uint32_t width = r->text.data[u->text] == 0xC2 ? 2 : 1;
            u->text += width;
            u->length -= width;
        }
    }
    r->note_first_paragraph = 0;
    if (has_text(r)) {
        doc_block(r->out, NODE_P, 0, 0, NULL);
        replay_runs(r, 0);
        doc_end_block(r->out, NODE_P);
    }
    clear_paragraph(r);
}

/* A footnote's end: its last paragraph, without its \par, and the
 * paragraph that was waiting for it goes on. */
static void end_note(rtf_reader *r)
{
    if (r->run_count)
        end_note_paragraph(r);
    doc_note_end(r->out);
    r->out = &r->b;
    swap_paragraph(r);
}

static void end_cell_paragraph(rtf_reader *r, const group_state *g, int is_list);

static void end_line_of_nested_cell(rtf_reader *r);
static void close_nested_table(rtf_reader *r);

/* A paragraph's end: its properties (style, list, table) tell which block
 * its text is. */
static void end_paragraph(rtf_reader *r)
{
    const group_state *g = &r->stack[r->depth];
    if (g->in_note) {
        end_note_paragraph(r);
        return;
    }
    const int style = g->style >= 0 && g->style < STYLES ? g->style : 0;
    int kind = r->style_kind[style];
    const int typed = !g->in_table && kind == STYLE_PLAIN && !r->has_list_text && !g->pn && g->list <= 0 &&
                      g->first_indent < 0 && take_typed_marker(r);
    const int is_list = r->has_list_text || g->pn || g->list > 0;
    if (!g->in_table && kind == STYLE_PLAIN && !is_list && fixed_pitch_lines(r))
        kind = STYLE_CODE;
    if (g->in_table && g->table_depth >= 2) {
        end_line_of_nested_cell(r);
        return;
    }
    if (g->in_table) {
        end_cell_paragraph(r, g, is_list);
        return;
    }
    if (kind == STYLE_CODE) {
        end_code_paragraph(r, g);
    } else {
        end_code(r);
        if (!has_text(r) && !is_list)
            end_empty_paragraph(r, g, kind);
        else
            put_paragraph(r, g, style, kind, is_list, typed);
    }
    if (!g->pn)
        r->pn_next = 0; /* a paragraph outside the legacy numbering ends its count */
    clear_paragraph(r);
}

/* A block that stands in the open cell: a list item or a paragraph. */
static void put_cell_block(rtf_reader *r, const group_state *g, int is_list)
{
    const unsigned ignored = r->row_header ? RUN_B : 0;
    close_nested_table(r);
    if (!r->cell_blocks)
        doc_block_context(r->out, 0, DOC_IN_CELL);
    r->cell_blocks = 1;
    if (is_list) {
        const int level = g->list > 0 && g->list_level >= 0 ? g->list_level + 1 : 1;
        doc_block(r->out, NODE_LI, level, item_number(r, g), NULL);
        replay_runs(r, ignored);
        doc_end_block(r->out, NODE_LI);
    } else {
        doc_block(r->out, NODE_P, 0, 0, NULL);
        replay_runs(r, ignored);
        doc_end_block(r->out, NODE_P);
    }
}

/* The cell, opened for the list item that ends now: the paragraphs before
 * it are its text, their lines as before; the item's runs stay. */
static void open_cell_with_lines(rtf_reader *r)
{
    const int count = r->run_count, start = r->cell_paragraph_run <= count ? r->cell_paragraph_run : 0;
    int lines = start;
    if (lines > 0 && (r->runs[lines - 1].flags & RUN_PARAGRAPH_END))
        --lines;
    r->item_level = 0;
    end_code(r);
    set_quotes(r, 0, 0);
    doc_cell(r->out, r->row_header);
    r->run_count = lines;
    replay_runs(r, r->row_header ? RUN_B : 0);
    memmove(r->runs, r->runs + start, (size_t)(count - start) * sizeof *r->runs);
    r->run_count = count - start;
    r->cell_open = r->row_open = 1;
}

/* ---- tables in cells: Word's \itap2 paragraphs, \nestcell, \nestrow ---- */

/* The text of a table inside the open cell begins at the paragraph that
 * says its depth; the paragraphs of the cell before it are the cell's. */
static void begin_nested_text(rtf_reader *r, group_state *g, long depth)
{
    g->table_depth = depth > 0 && depth < 64 ? (int)depth : 0;
    if (g->table_depth >= 2 && r->nest_start_run < 0)
        r->nest_start_run = r->run_count;
}

static void end_line_of_nested_cell(rtf_reader *r)
{
    if (r->run_count)
        add_run(r, "", 0, RUN_BREAK | RUN_PARAGRAPH_END);
    r->list_text.size = 0;
    r->has_list_text = 0;
}

/* The table inside the cell opens at its first cell's end: the cell
 * around it opens first, holding blocks, its paragraphs before the table
 * its lines. */
static void open_nested_table(rtf_reader *r, int start)
{
    if (!r->cell_open) {
        r->cell_paragraph_run = start;
        open_cell_with_lines(r);
    }
    if (!r->cell_blocks)
        doc_block_context(r->out, 0, DOC_IN_CELL);
    r->cell_blocks = 1;
    doc_container(r->out, NODE_TABLE);
    r->nest_table_open = 1;
}

static void end_nested_cell(rtf_reader *r)
{
    const int start = r->nest_start_run >= 0 && r->nest_start_run <= r->run_count ? r->nest_start_run : 0;
    if (!r->stack[r->depth].in_table)
        return;
    if (!r->nest_table_open)
        open_nested_table(r, start);
    if (!r->nest_row_open) {
        doc_container(r->out, NODE_ROW);
        r->nest_row_open = 1;
    }
    if (r->run_count && (r->runs[r->run_count - 1].flags & RUN_PARAGRAPH_END))
        --r->run_count;
    doc_cell(r->out, 0);
    replay_runs(r, 0);
    doc_end_block(r->out, NODE_CELL);
    clear_paragraph(r);
    r->nest_start_run = -1;
}

static void end_nested_row(rtf_reader *r)
{
    if (r->nest_row_open)
        doc_end_container(r->out, NODE_ROW);
    r->nest_row_open = 0;
}

static void close_nested_table(rtf_reader *r)
{
    if (!r->nest_table_open)
        return;
    end_nested_row(r);
    doc_end_container(r->out, NODE_TABLE);
    r->nest_table_open = 0;
    r->nest_start_run = -1;
}

/* A paragraph of a table cell that ends before the cell does: a line of
 * the cell's text, as ever, until a list item comes; from the item on,
 * each is a block in the cell. */
static void end_cell_paragraph(rtf_reader *r, const group_state *g, int is_list)
{
    if (!r->cell_open && !is_list) {
        end_line_of_cell(r);
        return;
    }
    if (!r->cell_open)
        open_cell_with_lines(r);
    if (r->run_count || is_list)
        put_cell_block(r, g, is_list);
    clear_paragraph(r);
}

static void end_cell(rtf_reader *r)
{
    const group_state *g = &r->stack[r->depth];
    close_nested_table(r);
    if (!r->cell_open && r->has_list_text)
        open_cell_with_lines(r); /* the cell's last paragraph is a list item */
    if (r->cell_open) {
        if (r->run_count || r->has_list_text)
            put_cell_block(r, g, r->has_list_text || g->pn || g->list > 0);
        doc_end_block(r->out, NODE_CELL);
        r->cell_open = r->cell_blocks = r->cell_paragraph_run = 0;
        clear_paragraph(r);
        return;
    }
    r->cell_paragraph_run = 0;
    r->item_level = 0;
    end_code(r);
    set_quotes(r, 0, 0);
    /* the break the cell's last paragraph left; a \line there stays */
    if (r->run_count && (r->runs[r->run_count - 1].flags & RUN_PARAGRAPH_END))
        --r->run_count;
    doc_cell(r->out, r->row_header);
    replay_runs(r, r->row_header ? RUN_B : 0);
    doc_end_block(r->out, NODE_CELL);
    r->row_open = 1;
    clear_paragraph(r);
}

static void end_row(rtf_reader *r)
{
    if ((r->run_count && has_text(r)) || r->cell_open)
        end_cell(r);
    clear_paragraph(r);
    r->cell_paragraph_run = 0;
    if (r->row_open)
        doc_end_container(r->out, NODE_ROW);
    r->row_open = 0;
    r->row_header = 0;
}

/* The title after a field's target from s[i] on (Word's ScreenTip,
 * \o "tip"), added to the links; its length. */
static size_t put_field_title(rtf_reader *r, const char *s, size_t n, size_t i)
{
    const size_t start = r->links.size;
    for (; i < n; ++i) {
        if (s[i] != '\\' || i + 1 >= n || s[i + 1] != 'o')
            continue;
        for (i += 2; i < n && s[i] == ' ';)
            ++i;
        if (i < n && s[i] == '"')
            for (++i; i < n && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < n)
                    ++i; /* \" and \\ in a field's argument */
                put_byte(&r->links, (unsigned char)s[i]);
            }
        break;
    }
    return r->links.size - start;
}

/* "HYPERLINK "target"" (with "\l anchor" for a place in the document):
 * the link, whether the field is one. */
static void read_field_instruction(rtf_reader *r)
{
    const char *s = (const char *)r->field_instruction.data;
    const size_t n = r->field_instruction.size;
    size_t i = 0, start, end, length_at, title_length = 0;
    int anchor = 0;
    r->field_read = 1;
    r->field_is_link = 0;
    while (i < n && s[i] == ' ')
        ++i;
    if (n - i < 9 || memcmp(s + i, "HYPERLINK", 9) != 0)
        return;
    r->field_is_link = 1;
    i += 9;
    for (;;) {
        while (i < n && s[i] == ' ')
            ++i;
        if (i + 1 < n && s[i] == '\\') {
            anchor = anchor || s[i + 1] == 'l';
            i += 2;
            continue;
        }
        break;
    }
    if (i < n && s[i] == '"') {
        start = ++i;
        while (i < n && s[i] != '"')
            ++i;
        end = i;
    } else {
        start = i;
        while (i < n && s[i] != ' ')
            ++i;
        end = i;
    }
    /* a link is its title's length, its target and its title, each of
     * these ended by a NUL: the title is found without counting it */
    length_at = r->links.size;
    put_bytes(&r->links, &title_length, sizeof title_length);
    r->field_link = r->links.size;
    if (anchor)
        put_byte(&r->links, '#');
    put_bytes(&r->links, s + start, end - start);
    r->field_link_length = r->links.size - r->field_link;
    put_byte(&r->links, '\0');
    title_length = put_field_title(r, s, n, end < n ? end + 1 : n);
    put_byte(&r->links, '\0');
    if (!r->links.failed)
        memcpy(r->links.data + length_at, &title_length, sizeof title_length);
}

static void begin_field_result(rtf_reader *r)
{
    group_state *g = &r->stack[r->depth];
    if (!r->field_read)
        read_field_instruction(r);
    if (r->field_is_link) {
        g->link = r->field_link;
        g->link_length = r->field_link_length;
    }
}

/* Text not yet ended by a paragraph's end (in a cell, the paragraphs
 * stay as its lines). */
static int paragraph_open(const rtf_reader *r)
{
    return r->run_count && !(r->runs[r->run_count - 1].flags & RUN_PARAGRAPH_END);
}

/* A floating shape or drawing object: only its text box and its picture
 * are read, where its anchor stands, from the shape itself; the copy made
 * for readers without shapes (\shprslt) is skipped. */
__attribute__((noinline)) static void begin_shape(rtf_reader *r)
{
    group_state *g = &r->stack[r->depth];
    if (!g->in_shape) {
        r->shape_picture = 0;
        forget_picture_text(r);
    }
    g->destination = DEST_SHAPE;
    g->in_shape = 1;
}

static void end_shape(rtf_reader *r)
{
    if (r->shape_picture)
        end_picture(r);
    r->shape_picture = 0;
    forget_picture_text(r);
}

/* The paragraphs of a text box stand apart from the one its anchor is in,
 * which ends before them. */
static void begin_shape_text(rtf_reader *r)
{
    group_state *g = &r->stack[r->depth];
    if (g->in_note) {
        g->destination = DEST_NOTE;
        if (paragraph_open(r))
            end_paragraph(r);
        return;
    }
    g->destination = DEST_TEXT;
    if (paragraph_open(r))
        end_paragraph(r);
    g->shape_text = g->in_table ? SHAPE_TEXT_IN_CELL : SHAPE_TEXT_BLOCKS;
    forget_picture_text(r); /* the box's own name is no picture's */
}

/* ---- control words ---- */

enum word_kind {
    W_SKIP_DEST, W_FONTTBL, W_STYLESHEET, W_LISTTEXT, W_PN, W_FLDINST, W_FLDRSLT, W_FIELD,
    W_CHAR, W_PAR, W_LINE, W_CELL, W_ROW, W_TROWD, W_TRHDR, W_PARD, W_PLAIN,
    W_B, W_I, W_UL, W_ULNONE, W_STRIKE, W_F, W_UC, W_U, W_S, W_INTBL, W_LS, W_ILVL, W_LI, W_RI, W_FI, W_OUTLINE, W_BRDRB,
    W_ANSICPG, W_DEFF, W_FCHARSET, W_CPG, W_FMODERN, W_PNLVLBLT, W_PNLVLBODY, W_PNSTART, W_BIN, W_CS, W_PAGE,
    W_CODE_LANGUAGE, W_FOOTNOTE, W_PICT, W_SHPPICT, W_SN, W_SV, W_SHAPE, W_SHAPE_TEXT, W_DELETED,
    W_SUPER, W_SUB, W_NOSUPERSUB, W_SCAPS, W_HIDDEN, W_ITAP, W_NESTCELL, W_NESTROW, W_NEST_PROPS,
    W_PNGBLIP, W_JPEGBLIP, W_PICW, W_PICH, W_PICWGOAL, W_PICHGOAL, W_PICSCALEX, W_PICSCALEY,
    W_PNLVL, W_PN_STYLE, W_LISTTABLE, W_LIST, W_LISTLEVEL, W_LEVELNFC, W_LEVELSTARTAT, W_LEVELNUMBERS, W_LISTID,
    W_LISTOVERRIDE, W_PNLVLCONT,
};

typedef struct control_word {
    const char *name;
    int kind;
    uint32_t arg; /* the character of W_CHAR */
} control_word;

/* Sorted by name. */
static const control_word control_words[] = {
    {"ansicpg", W_ANSICPG, 0}, {"author", W_SKIP_DEST, 0}, {"b", W_B, 0}, {"bin", W_BIN, 0},
    {"bkmkend", W_SKIP_DEST, 0}, {"bkmkstart", W_SKIP_DEST, 0}, {"brdrb", W_BRDRB, 0}, {"bullet", W_CHAR, 0x2022},
    {"cell", W_CELL, 0}, {"colortbl", W_SKIP_DEST, 0}, {"comment", W_SKIP_DEST, 0}, {"cpg", W_CPG, 0},
    {"cs", W_CS, 0}, {"datastore", W_SKIP_DEST, 0}, {"deff", W_DEFF, 0}, {"deleted", W_DELETED, 0}, {"do", W_SHAPE, 0},
    {"dptxbxtext", W_SHAPE_TEXT, 0}, {"emdash", W_CHAR, 0x2014},
    {"emspace", W_CHAR, 0x2003}, {"endash", W_CHAR, 0x2013}, {"enspace", W_CHAR, 0x2002}, {"f", W_F, 0},
    {"fcharset", W_FCHARSET, 0}, {"field", W_FIELD, 0}, {"fi", W_FI, 0}, {"filetbl", W_SKIP_DEST, 0}, {"fldinst", W_FLDINST, 0},
    {"fldrslt", W_FLDRSLT, 0}, {"fmodern", W_FMODERN, 0}, {"fonttbl", W_FONTTBL, 0}, {"footer", W_SKIP_DEST, 0},
    {"footerf", W_SKIP_DEST, 0}, {"footerl", W_SKIP_DEST, 0}, {"footerr", W_SKIP_DEST, 0},
    {"footnote", W_FOOTNOTE, 0}, {"generator", W_SKIP_DEST, 0}, {"header", W_SKIP_DEST, 0},
    {"headerf", W_SKIP_DEST, 0}, {"headerl", W_SKIP_DEST, 0}, {"headerr", W_SKIP_DEST, 0}, {"i", W_I, 0},
    {"ilvl", W_ILVL, 0}, {"info", W_SKIP_DEST, 0}, {"intbl", W_INTBL, 0}, {"itap", W_ITAP, 0}, {"jpegblip", W_JPEGBLIP, 0}, {"keywords", W_SKIP_DEST, 0},
    {"ldblquote", W_CHAR, 0x201C}, {"levelnfc", W_LEVELNFC, 0}, {"levelnfcn", W_LEVELNFC, 0},
    {"levelnumbers", W_LEVELNUMBERS, 0}, {"levelstartat", W_LEVELSTARTAT, 0}, {"li", W_LI, 0}, {"line", W_LINE, 0},
    {"list", W_LIST, 0}, {"listid", W_LISTID, 0}, {"listlevel", W_LISTLEVEL, 0}, {"listoverride", W_LISTOVERRIDE, 0},
    {"listoverridetable", W_LISTTABLE, 0}, {"listtable", W_LISTTABLE, 0}, {"listtext", W_LISTTEXT, 0}, {"lquote", W_CHAR, 0x2018}, {"ls", W_LS, 0},
    {"mxcodelang", W_CODE_LANGUAGE, 0},
    {"nestcell", W_NESTCELL, 0}, {"nestrow", W_NESTROW, 0}, {"nesttableprops", W_NEST_PROPS, 0},
    {"nonesttables", W_SKIP_DEST, 0}, {"nonshppict", W_SKIP_DEST, 0}, {"nosupersub", W_NOSUPERSUB, 0}, {"object", W_SKIP_DEST, 0}, {"operator", W_SKIP_DEST, 0},
    {"outlinelevel", W_OUTLINE, 0}, {"page", W_PAGE, 0}, {"par", W_PAR, 0}, {"pard", W_PARD, 0},
    {"pich", W_PICH, 0}, {"pichgoal", W_PICHGOAL, 0}, {"picscalex", W_PICSCALEX, 0}, {"picscaley", W_PICSCALEY, 0},
    {"pict", W_PICT, 0}, {"picw", W_PICW, 0}, {"picwgoal", W_PICWGOAL, 0}, {"plain", W_PLAIN, 0},
    {"pngblip", W_PNGBLIP, 0}, {"pn", W_PN, 0}, {"pndec", W_PN_STYLE, LIST_DECIMAL},
    {"pnlcltr", W_PN_STYLE, LIST_LOWER_ALPHA}, {"pnlcrm", W_PN_STYLE, LIST_LOWER_ROMAN}, {"pnlvl", W_PNLVL, 0},
    {"pnlvlblt", W_PNLVLBLT, 0}, {"pnlvlbody", W_PNLVLBODY, 0}, {"pnlvlcont", W_PNLVLCONT, 0}, {"pnseclvl", W_SKIP_DEST, 0}, {"pnstart", W_PNSTART, 0},
    {"pnucltr", W_PN_STYLE, LIST_UPPER_ALPHA}, {"pnucrm", W_PN_STYLE, LIST_UPPER_ROMAN},
    {"pntext", W_LISTTEXT, 0}, {"private", W_SKIP_DEST, 0}, {"rdblquote", W_CHAR, 0x201D},
    {"revtbl", W_SKIP_DEST, 0}, {"ri", W_RI, 0}, {"row", W_ROW, 0}, {"rquote", W_CHAR, 0x2019},
    {"rsidtbl", W_SKIP_DEST, 0},
    {"s", W_S, 0}, {"scaps", W_SCAPS, 0}, {"sect", W_PAR, 0}, {"shpinst", W_SHAPE, 0}, {"shppict", W_SHPPICT, 0},
    {"shprslt", W_SKIP_DEST, 0}, {"shptxt", W_SHAPE_TEXT, 0}, {"sn", W_SN, 0}, {"sv", W_SV, 0}, {"strike", W_STRIKE, 0},
    {"striked", W_STRIKE, 0}, {"stylesheet", W_STYLESHEET, 0}, {"sub", W_SUB, 0}, {"subject", W_SKIP_DEST, 0},
    {"super", W_SUPER, 0},
    {"tab", W_CHAR, '\t'}, {"template", W_SKIP_DEST, 0}, {"title", W_SKIP_DEST, 0}, {"trhdr", W_TRHDR, 0},
    {"trowd", W_TROWD, 0}, {"u", W_U, 0}, {"uc", W_UC, 0}, {"ul", W_UL, 0}, {"uld", W_UL, 0}, {"uldash", W_UL, 0},
    {"uldb", W_UL, 0}, {"ulnone", W_ULNONE, 0}, {"ulth", W_UL, 0}, {"ulw", W_UL, 0}, {"ulwave", W_UL, 0},
    {"userprops", W_SKIP_DEST, 0}, {"v", W_HIDDEN, 0}, {"xmlnstbl", W_SKIP_DEST, 0},
};

#define WORD_COUNT (sizeof control_words / sizeof *control_words)
_Static_assert(WORD_COUNT < 255 && WORD_COUNT * 2 < WORD_SLOTS, "the index holds every control word");

/* The hash of a control word's name, as the tokenizer adds up its letters. */
#define WORD_HASH_STEP(hash, letter) ((hash) * 31u + (letter))

static unsigned word_hash(const char *name)
{
    unsigned hash = 0;
    for (; *name; ++name)
        hash = WORD_HASH_STEP(hash, (unsigned char)*name);
    return hash;
}

static void index_words(rtf_reader *r)
{
    size_t i;
    for (i = 0; i < WORD_COUNT; ++i) {
        unsigned slot = word_hash(control_words[i].name) & (WORD_SLOTS - 1);
        while (r->word_slots[slot])
            slot = (slot + 1) & (WORD_SLOTS - 1);
        r->word_slots[slot] = (unsigned char)(i + 1);
    }
}

static const control_word *find_word(const rtf_reader *r, const unsigned char *name, size_t length, unsigned hash)
{
    unsigned slot = hash & (WORD_SLOTS - 1);
    for (; r->word_slots[slot]; slot = (slot + 1) & (WORD_SLOTS - 1)) {
        const control_word *w = &control_words[r->word_slots[slot] - 1];
        size_t k = 0;
        while (k < length && (unsigned char)w->name[k] == name[k])
            ++k;
        if (k == length && w->name[k] == '\0')
            return w;
    }
    return NULL;
}

static void set_flag(group_state *g, unsigned flag, int on)
{
    if (on)
        g->flags |= flag;
    else
        g->flags &= ~flag;
}

static void reset_paragraph_properties(group_state *g)
{
    g->style = 0;
    g->in_table = g->shape_text == SHAPE_TEXT_IN_CELL;
    g->list = 0;
    g->list_level = -1;
    g->left_indent = 0;
    g->right_indent = 0;
    g->first_indent = 0;
    g->outline = -1;
    g->border_bottom = 0;
    g->table_depth = 0;
    g->pn = PN_NONE;
}

/* ---- a reader for each destination ----
 *
 * Each control word goes to the reader of the destination its group is
 * in (word_readers, by destination), which does what the word means
 * there; a word that opens a group's destination (\fonttbl, \pict,
 * \fldinst...) changes it for the rest of the group.  Each returns the
 * number of raw bytes to skip after the word: \bin's data, where it is
 * read as data.
 *
 * What the readers call for the rarer words (open_destination,
 * put_unicode, put_char, begin_note, begin_shape) stays out of line, so
 * that a reader, called for every control word, needs no stack frame of
 * its own for the common ones: the words read no slower than when one
 * function read them all. */

typedef long (*word_reader)(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param);

static long binary_bytes(const control_word *w, int has_param, long param)
{
    return w->kind == W_BIN && has_param && param > 0 ? param : 0;
}

/* \sn and \sv, in a picture or a shape: a property's name and value. */
static int begin_shape_property(rtf_reader *r, group_state *g, const control_word *w)
{
    if (w->kind == W_SN)
        g->destination = DEST_SHAPE_NAME, r->shape_name.size = 0;
    else if (w->kind == W_SV)
        g->destination = DEST_SHAPE_VALUE, r->shape_value.size = 0;
    else
        return 0;
    return 1;
}

/* A destination read no further (\*\ groups this reader does not know,
 * headers, the document's information, the list tables, whose marks each
 * paragraph's \listtext gives again): \bin's data is passed over. */
static long read_skipped_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    (void)r, (void)g;
    return binary_bytes(w, has_param, param);
}

/* The properties of a table inside a cell: its row ends with them. */
static long read_nest_props_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    (void)g;
    if (w->kind == W_NESTROW)
        end_nested_row(r);
    return binary_bytes(w, has_param, param);
}

/* A picture: its kind, its sizes, its data where it is PNG or JPEG (hex
 * digits or \bin's bytes), and its properties. */
static long read_picture_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    picture *p = &r->pict;
    switch (w->kind) {
    case W_PNGBLIP: p->kind = PICTURE_PNG; break;
    case W_JPEGBLIP: p->kind = PICTURE_JPEG; break;
    case W_PICW: p->width = param; break;
    case W_PICH: p->height = param; break;
    case W_PICWGOAL: p->goal_width = param; break;
    case W_PICHGOAL: p->goal_height = param; break;
    case W_PICSCALEX: p->scale_x = param; break;
    case W_PICSCALEY: p->scale_y = param; break;
    case W_BIN: p->binary = p->kind != PICTURE_OTHER; break;
    default: begin_shape_property(r, g, w);
    }
    return binary_bytes(w, has_param, param);
}

/* A picture begins: nothing of the one before it is its. */
__attribute__((noinline)) static void begin_picture(rtf_reader *r, group_state *g)
{
    picture *p = &r->pict;
    p->kind = PICTURE_OTHER;
    p->width = p->height = p->goal_width = p->goal_height = 0;
    p->scale_x = p->scale_y = 100;
    p->high_nibble = -1;
    p->data.size = 0;
    p->binary = 0;
    g->destination = DEST_PICT;
}

/* A floating shape: its properties are read, its text box and its picture. */
static long read_shape_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    if (!begin_shape_property(r, g, w)) {
        if (w->kind == W_SHAPE_TEXT)
            begin_shape_text(r);
        else if (w->kind == W_SKIP_DEST)
            g->destination = DEST_SKIP;
    }
    return binary_bytes(w, has_param, param);
}

/* The font table: each font's number, code page and pitch.  \bin's data
 * is read as an entry's text. */
static long read_font_table_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    (void)has_param;
    switch (w->kind) {
    case W_F:
        if (r->font_entry_number >= 0 && r->entry_name.size)
            end_font_entry(r);
        r->font_entry_number = (int)param;
        break;
    case W_FCHARSET: r->font_entry_charset_page = param == 2 ? 2 : code_page_of_charset(r, (int)param); break;
    case W_CPG: r->font_entry_charset_page = (int)param; break;
    case W_FMODERN: r->font_entry_monospace = 1; break;
    case W_SKIP_DEST: g->destination = DEST_SKIP; break;
    }
    return 0;
}

/* The style sheet and each style in it: the style's number and outline
 * level (its name is its text).  A character style (\cs) is no paragraph's. */
static long read_style_sheet_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    (void)has_param;
    switch (w->kind) {
    case W_S: r->style_entry = (int)param; break;
    case W_CS: r->style_entry = -1; break;
    case W_OUTLINE: r->style_entry_outline = (int)param; break;
    case W_SKIP_DEST: g->destination = DEST_SKIP; break;
    }
    return 0;
}

/* Legacy paragraph numbering (\pn): whether the paragraph is bulleted or
 * numbered, in which style, at which level and from which number; its
 * text (\pntxta...) is not read.  It is the paragraph's until \pard, as
 * WordPad numbers the paragraphs after the one that names it. */
static long read_pn_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    (void)has_param;
    switch (w->kind) {
    case W_PNLVLBLT: r->pn_kind = PN_BULLET; break;
    case W_PNSTART: r->pn_start = param > 0 && param < 100000000 ? (int)param : 1; break;
    case W_PNLVLBODY: r->pn_kind = PN_NUMBERED; break;
    case W_PNLVLCONT: r->pn_kind = PN_NONE; break; /* a paragraph of the item before, without a number */
    case W_PNLVL:
        r->pn_kind = PN_NUMBERED;
        r->pn_level = param > 1 && param <= LIST_DEPTH ? (int)param : 1;
        break;
    case W_PN_STYLE: r->pn_style = (int)w->arg; break;
    case W_SKIP_DEST: case W_LISTTEXT: g->destination = DEST_SKIP; break;
    }
    return 0;
}

/* A \pn group's end: its numbering becomes the paragraph's. */
static void end_pn(rtf_reader *r)
{
    group_state *g = &r->stack[r->depth];
    g->pn = r->pn_kind;
    g->pn_style = r->pn_style;
    g->pn_start = r->pn_start;
    g->pn_level = r->pn_level;
}

/* The list table and its override table: each list's levels, and which
 * list each \ls names.  Lists past the tables' room are not kept. */
static long read_list_table_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    list_definition *list = r->list_count ? &r->lists[r->list_count - 1] : NULL;
    list_override *o = r->override_count ? &r->overrides[r->override_count - 1] : NULL;
    /* an override's own levels (\listoverrideformat) are not read */
    const int level = r->list_level_entry < LIST_DEPTH ? r->list_level_entry : -1;
    (void)has_param;
    switch (w->kind) {
    case W_LIST:
        r->list_level_entry = -1;
        if (r->list_count == LIST_DEFINITIONS) {
            g->destination = DEST_SKIP;
            break;
        }
        list = &r->lists[r->list_count++];
        memset(list, 0, sizeof *list);
        list->id = -1;
        break;
    case W_LISTLEVEL:
        if (list && r->list_level_entry + 1 < LIST_DEPTH) {
            r->list_level_entry = level + 1;
            list->levels = level + 2;
            list->start[level + 1] = 1;
        }
        break;
    case W_LEVELNFC: if (list && level >= 0) list->nfc[level] = (unsigned char)(param >= 0 && param < 255 ? param : NFC_NONE); break;
    case W_LEVELSTARTAT: if (list && level >= 0) list->start[level] = param >= 0 && param < 100000000 ? (int)param : 1; break;
    case W_LEVELNUMBERS: g->destination = DEST_LEVELNUMBERS; break;
    case W_LISTOVERRIDE:
        r->list_level_entry = LIST_DEPTH; /* no level of the list before */
        if (r->override_count == LIST_OVERRIDES) {
            g->destination = DEST_SKIP;
            break;
        }
        o = &r->overrides[r->override_count++];
        o->ls = o->id = -1;
        break;
    case W_LISTID:
        if (r->list_level_entry == LIST_DEPTH && o)
            o->id = param;
        else if (list)
            list->id = param;
        break;
    case W_LS: if (r->list_level_entry == LIST_DEPTH && o) o->ls = param; break;
    case W_SKIP_DEST: case W_LISTTEXT: case W_PICT: g->destination = DEST_SKIP; break;
    case W_BIN: return binary_bytes(w, has_param, param);
    }
    return 0;
}


/* A field, or its instruction: the instruction is read anew. */
static void begin_field(rtf_reader *r)
{
    r->field_instruction.size = 0;
    r->field_read = 0;
}

/* Words that open a destination the same from every destination of text. */
__attribute__((noinline)) static void open_destination(rtf_reader *r, group_state *g, int kind)
{
    switch (kind) {
    case W_SKIP_DEST: g->destination = DEST_SKIP; break;
    case W_FONTTBL:
        g->destination = DEST_FONTTBL;
        r->font_entry_number = -1;
        break;
    case W_STYLESHEET: g->destination = DEST_STYLESHEET; break;
    case W_LISTTABLE: g->destination = DEST_LISTTABLE; break;
    case W_LISTTEXT:
        if (g->in_note) {
            g->destination = DEST_SKIP; /* a note's list marks are not the paragraph's */
            break;
        }
        g->destination = DEST_LISTTEXT;
        r->has_list_text = 1;
        r->list_text.size = 0;
        break;
    case W_PN:
        g->destination = g->in_note ? DEST_SKIP : DEST_PN;
        r->pn_kind = PN_NUMBERED;
        r->pn_style = LIST_DECIMAL;
        r->pn_start = 1;
        r->pn_level = 1;
        break;
    case W_CODE_LANGUAGE:
        g->destination = g->in_note ? DEST_SKIP : DEST_CODE_LANGUAGE;
        r->code_language.size = 0;
        break;
    case W_FIELD: begin_field(r); break;
    case W_FLDINST:
        g->destination = DEST_FLDINST;
        begin_field(r);
        break;
    case W_FLDRSLT: /* a field's result is text, a link where its instruction is one */
        g->destination = g->in_note ? DEST_NOTE : DEST_TEXT;
        if (!g->in_note)
            begin_field_result(r);
        break;
    }
}

/* \u: a character, UTF-16, its fallback bytes skipped after it. */
__attribute__((noinline)) static void put_unicode(rtf_reader *r, const group_state *g, long param)
{
    uint32_t c = (uint32_t)(param < 0 ? param + 65536 : param) & 0xFFFF;
    if (utf16_is_high(c)) {
        r->high_surrogate = c;
    } else {
        if (utf16_is_low(c))
            c = r->high_surrogate ? utf16_pair(r->high_surrogate, c) : 0xFFFD;
        r->high_surrogate = 0;
        put_char(r, c ? c : 0xFFFD);
    }
    r->skip = g->uc;
}

/* \plain: the character properties of the document's default font. */
static void reset_character_properties(const rtf_reader *r, group_state *g)
{
    g->flags = 0;
    g->deleted = 0;
    g->hidden = 0;
    g->font = find_font(r, r->default_font);
}

/* What every destination of text reads alike: the words that open a
 * destination, the character and paragraph properties, the document's.
 * The words of the body text alone (\par, \cell, a picture...) do
 * nothing here. */
static long read_text_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    const int on = !has_param || param != 0;
    switch (w->kind) {
    case W_SKIP_DEST: case W_FONTTBL: case W_STYLESHEET: case W_LISTTEXT: case W_PN: case W_CODE_LANGUAGE:
    case W_LISTTABLE: case W_FIELD: case W_FLDINST: case W_FLDRSLT:
        open_destination(r, g, w->kind);
        break;
    case W_SHPPICT: break; /* the picture inside is read; \nonshppict, the same again, is not */
    /* character properties */
    case W_PLAIN: reset_character_properties(r, g); break;
    case W_DELETED: g->deleted = on; break;
    case W_HIDDEN: g->hidden = on; break;
    case W_SUPER: set_flag(g, RUN_SUB, 0), set_flag(g, RUN_SUP, on); break;
    case W_SUB: set_flag(g, RUN_SUP, 0), set_flag(g, RUN_SUB, on); break;
    case W_NOSUPERSUB: set_flag(g, RUN_SUP | RUN_SUB, 0); break;
    case W_SCAPS: set_flag(g, RUN_SC, on); break;
    case W_B: set_flag(g, RUN_B, on); break;
    case W_I: set_flag(g, RUN_I, on); break;
    case W_UL: set_flag(g, RUN_U, on); break;
    case W_ULNONE: set_flag(g, RUN_U, 0); break;
    case W_STRIKE: set_flag(g, RUN_S, on); break;
    case W_F: g->font = find_font(r, (int)param); break;
    case W_UC: g->uc = param >= 0 && param < 16 ? (int)param : 1; break;
    case W_U: put_unicode(r, g, param); break;
    /* paragraph properties */
    case W_PARD: reset_paragraph_properties(g); break;
    case W_S: g->style = (int)param; break;
    case W_INTBL: g->in_table = 1; break;
    case W_ITAP: begin_nested_text(r, g, param); break;
    case W_LS: g->list = (int)param; break;
    case W_ILVL: g->list_level = (int)param; break;
    case W_LI: g->left_indent = (int)param; break;
    case W_RI: g->right_indent = (int)param; break;
    case W_FI: g->first_indent = (int)param; break;
    case W_OUTLINE: g->outline = (int)param; break;
    case W_BRDRB: g->border_bottom = 1; break;
    case W_TRHDR: r->row_header = 1; break;
    /* the document's */
    case W_ANSICPG: r->ansi_code_page = (int)param; break;
    case W_DEFF: r->default_font = (int)param; break;
    case W_BIN: return binary_bytes(w, has_param, param);
    }
    return 0;
}

/* The document's body: its paragraphs, a field's result among them, and
 * the pictures, shapes, notes and table cells in it. */
static long read_body_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    switch (w->kind) {
    case W_PICT: begin_picture(r, g); return 0;
    case W_SHAPE: begin_shape(r); return 0;
    case W_SHAPE_TEXT: begin_shape_text(r); return 0;
    case W_FOOTNOTE:
        if (g->in_note)
            g->destination = DEST_SKIP;
        else
            begin_note(r);
        return 0;
    case W_CHAR: put_char(r, w->arg); return 0;
    case W_PAR: case W_PAGE:
        if (!g->deleted) /* a deleted paragraph's end joins it to the next */
            end_paragraph(r);
        return 0;
    case W_LINE:
        if (!g->deleted)
            add_run(r, "", 0, RUN_BREAK);
        return 0;
    case W_CELL: end_cell(r); return 0;
    case W_ROW: end_row(r); return 0;
    case W_NESTCELL: end_nested_cell(r); return 0;
    case W_NEST_PROPS: g->destination = DEST_NEST_PROPS; return 0;
    }
    return read_text_word(r, g, w, has_param, param);
}

/* A footnote's paragraphs, as the body's but for tables, whose cells and
 * rows end a paragraph of the note; a note inside it is not read. */
static long read_note_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    switch (w->kind) {
    case W_FOOTNOTE: g->destination = DEST_SKIP; return 0;
    case W_CELL: case W_ROW: case W_NESTCELL: end_paragraph(r); return 0;
    case W_NEST_PROPS: g->destination = DEST_SKIP; return 0;
    }
    return read_body_word(r, g, w, has_param, param);
}

/* A list item's marker as written (\listtext, \pntext): its text and
 * special characters. */
static long read_list_text_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    switch (w->kind) {
    case W_PICT: case W_SHAPE: case W_FOOTNOTE: g->destination = DEST_SKIP; return 0;
    case W_CHAR: put_char(r, w->arg); return 0;
    }
    return read_text_word(r, g, w, has_param, param);
}

/* Text kept as a value, not shown: a field's instruction, a code block's
 * language, a shape property's name.  Special characters other than \u
 * are no part of it. */
static long read_value_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    switch (w->kind) {
    case W_PICT: case W_SHAPE: case W_FOOTNOTE: g->destination = DEST_SKIP; return 0;
    }
    return read_text_word(r, g, w, has_param, param);
}

/* A shape property's value, which may be the shape's picture. */
static long read_shape_value_word(rtf_reader *r, group_state *g, const control_word *w, int has_param, long param)
{
    if (w->kind == W_PICT && g->in_shape) {
        begin_picture(r, g);
        return 0;
    }
    return read_value_word(r, g, w, has_param, param);
}

/* Every destination has its reader. */
static const word_reader word_readers[DEST_COUNT] = {
    [DEST_TEXT] = read_body_word,
    [DEST_SKIP] = read_skipped_word,
    [DEST_FONTTBL] = read_font_table_word,
    [DEST_STYLESHEET] = read_style_sheet_word,
    [DEST_STYLE] = read_style_sheet_word,
    [DEST_LISTTEXT] = read_list_text_word,
    [DEST_PN] = read_pn_word,
    [DEST_FLDINST] = read_value_word,
    [DEST_CODE_LANGUAGE] = read_value_word,
    [DEST_NOTE] = read_note_word,
    [DEST_PICT] = read_picture_word,
    [DEST_SHAPE_NAME] = read_value_word,
    [DEST_SHAPE_VALUE] = read_shape_value_word,
    [DEST_SHAPE] = read_shape_word,
    [DEST_LISTTABLE] = read_list_table_word,
    [DEST_LEVELNUMBERS] = read_list_table_word,
    [DEST_NEST_PROPS] = read_nest_props_word,
};

/* A control word, NULL for one this reader does not know: read by its
 * group's destination.  Returns the number of raw bytes to skip after it
 * (\bin). */
static long control(rtf_reader *r, const control_word *w, int has_param, long param)
{
    group_state *g = &r->stack[r->depth];
    const int star = r->star;
    r->star = 0;
    if (!w) {
        /* an optional destination this reader does not know is skipped;
         * in a picture, its properties' (\*\picprop) are read */
        if (star && g->destination != DEST_PICT)
            g->destination = DEST_SKIP;
        return 0;
    }
    return word_readers[g->destination](r, g, w, has_param, param);
}

static void push_group(rtf_reader *r)
{
    if (r->depth + 1 >= GROUP_DEPTH) {
        ++r->overflow;
        return;
    }
    r->stack[r->depth + 1] = r->stack[r->depth];
    ++r->depth;
    if (r->stack[r->depth - 1].destination == DEST_STYLESHEET) {
        r->stack[r->depth].destination = DEST_STYLE;
        r->entry_name.size = 0;
        r->style_entry = 0;
        r->style_entry_outline = -1;
    }
}

static void pop_group(rtf_reader *r)
{
    int destination, shape;
    if (r->overflow) {
        --r->overflow;
        return;
    }
    if (r->depth == 0)
        return;
    destination = r->stack[r->depth].destination;
    if (r->stack[r->depth].in_note && !r->stack[r->depth - 1].in_note)
        end_note(r);
    if (r->stack[r->depth].shape_text && !r->stack[r->depth - 1].shape_text && paragraph_open(r))
        end_paragraph(r); /* a text box's last paragraph, without its \par */
    shape = r->stack[r->depth].in_shape && !r->stack[r->depth - 1].in_shape;
    --r->depth;
    r->skip = 0;
    if (destination == DEST_SHAPE_VALUE)
        end_shape_value(r);
    if (destination == DEST_PICT && r->stack[r->depth].destination == DEST_SHAPE_VALUE)
        r->shape_picture = 1; /* the shape's picture, whose text may come after it */
    else if (destination == DEST_PICT && r->stack[r->depth].destination != DEST_PICT)
        end_picture(r);
    if (shape)
        end_shape(r);
    if (destination == DEST_STYLE && r->stack[r->depth].destination == DEST_STYLESHEET && r->entry_name.size)
        end_style_entry(r);
    if (destination == DEST_FONTTBL && r->font_entry_number >= 0)
        end_font_entry(r);
    if (destination == DEST_PN && r->stack[r->depth].destination != DEST_PN)
        end_pn(r);
}

static int hex_value(unsigned char c);

/* A PNG's or JPEG's data in hex digits; other pictures' is not kept. */
static void put_picture_hex(picture *p, const unsigned char *s, size_t n)
{
    size_t i;
    if (p->kind == PICTURE_OTHER)
        return;
    for (i = 0; i < n; ++i) {
        const int v = hex_value(s[i]);
        if (v < 0)
            continue;
        if (p->high_nibble < 0) {
            p->high_nibble = v;
        } else {
            put_byte(&p->data, (unsigned char)(p->high_nibble * 16 + v));
            p->high_nibble = -1;
        }
    }
}

/* Text bytes: the separator ';' ends a font or style entry. */
static void text_bytes(rtf_reader *r, const unsigned char *s, size_t n)
{
    const int destination = r->stack[r->depth].destination;
    if (destination == DEST_PICT) {
        put_picture_hex(&r->pict, s, n);
        return;
    }
    if (destination == DEST_SKIP || destination == DEST_PN || destination == DEST_SHAPE ||
        destination == DEST_NEST_PROPS)
        return;
    if (destination == DEST_FONTTBL || destination == DEST_STYLE) {
        size_t i;
        for (i = 0; i < n; ++i) {
            if (s[i] == ';') {
                if (destination == DEST_FONTTBL)
                    end_font_entry(r);
                else
                    end_style_entry(r);
            } else {
                put_byte(&r->entry_name, s[i]);
            }
        }
        return;
    }
    put_bytes_of_page(r, s, n);
}

static const unsigned char text_stop[256] = {[0] = 1, ['\\'] = 1, ['{'] = 1, ['}'] = 1, ['\r'] = 1, ['\n'] = 1};

static int hex_value(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (unsigned char)(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static int is_letter(unsigned char c)
{
    return (unsigned)((c | 0x20) - 'a') < 26u;
}

static int is_digit(unsigned char c)
{
    return (unsigned)(c - '0') < 10u;
}

/* A control word at s[0] = '\\'; returns the bytes it takes, its
 * delimiting space and any \bin data included. */
static size_t control_word_at(rtf_reader *r, const unsigned char *s, size_t n)
{
    const unsigned char *name = s + 1;
    size_t length, j = 1;
    long param = 0, skip_bytes;
    int has_param = 0, negative = 0;
    unsigned hash = 0;
    while (is_letter(s[j])) {
        hash = WORD_HASH_STEP(hash, s[j]);
        ++j;
    }
    length = j - 1;
    if (s[j] == '-' && is_digit(s[j + 1])) {
        negative = 1;
        ++j;
    }
    while (is_digit(s[j])) {
        if (param < 100000000)
            param = param * 10 + (s[j] - '0');
        has_param = 1;
        ++j;
    }
    if (negative)
        param = -param;
    if (s[j] == ' ')
        ++j;
    if (r->skip > 0 && !(length == 1 && name[0] == 'u') && !(length >= 3 && memcmp(name, "par", 3) == 0)) {
        --r->skip; /* a fallback written as a control word */
        return j;
    }
    skip_bytes = control(r, length <= WORD_LONGEST ? find_word(r, name, length, hash) : NULL, has_param, param);
    if (skip_bytes > 0) {
        const size_t data = j;
        j = (size_t)skip_bytes < n - j ? j + (size_t)skip_bytes : n;
        if (r->pict.binary)
            put_bytes(&r->pict.data, s + data, j - data); /* a picture's data as bytes */
        r->pict.binary = 0;
    }
    return j;
}

/* A control symbol: \ and one character other than a letter. */
static void control_symbol(rtf_reader *r, unsigned char symbol)
{
    if (symbol == '*') {
        r->star = 1;
        return;
    }
    r->star = 0;
    if (r->skip > 0 && symbol != '\r' && symbol != '\n') {
        --r->skip;
        return;
    }
    switch (symbol) {
    case '\\': case '{': case '}': text_bytes(r, &symbol, 1); break;
    case '~': put_char(r, 0x00A0); break;
    case '_': put_char(r, 0x2011); break;
    case '\r': case '\n':
        if (r->stack[r->depth].destination == DEST_TEXT || r->stack[r->depth].destination == DEST_NOTE)
            end_paragraph(r);
        break;
    }
}

/* s[n] is a NUL that ends every scan: no bounds test per byte. */
static void tokenize(rtf_reader *r, const unsigned char *s, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c == '\\' && s[i + 1] == '\'') {
            /* \'hh bytes gather until the next other token */
            const int high = hex_value(s[i + 2]), low = high >= 0 ? hex_value(s[i + 3]) : -1;
            r->star = 0;
            if (low >= 0) {
                if (r->skip > 0)
                    --r->skip;
                else if (high * 16 + low != 0) /* \'00 is no character */
                    put_byte(&r->pending_bytes, (unsigned char)(high * 16 + low));
                i += 4;
            } else {
                i += 2;
            }
            continue;
        }
        flush_bytes(r);
        switch (c) {
        case '{':
            r->star = 0;
            push_group(r);
            ++i;
            break;
        case '}':
            r->star = 0;
            pop_group(r);
            ++i;
            break;
        case '\r': case '\n': case 0: ++i; break;
        case '\\':
            if (i + 1 >= n) {
                i = n;
            } else if (is_letter(s[i + 1])) {
                i += control_word_at(r, s + i, n - i);
            } else {
                control_symbol(r, s[i + 1]);
                i += 2;
            }
            break;
        default: {
            size_t end = i + 1;
            r->star = 0;
            while (!text_stop[s[end]])
                ++end;
            if (r->skip > 0) {
                const size_t skipped = (size_t)r->skip < end - i ? (size_t)r->skip : end - i;
                r->skip -= (int)skipped;
                i += skipped;
            }
            if (end > i)
                text_bytes(r, s + i, end - i);
            i = end;
        }
        }
    }
    flush_bytes(r);
}

/* Where the document's "{\rtf" begins, after blank space; raw->size where
 * it does not. */
static size_t rtf_start(const buffer *raw)
{
    size_t start = 0;
    while (start < raw->size && (raw->data[start] == ' ' || raw->data[start] == '\r' || raw->data[start] == '\n' ||
                                 raw->data[start] == '\t'))
        ++start;
    return raw->size - start < 5 || memcmp(raw->data + start, "{\\rtf", 5) != 0 ? raw->size : start;
}

/* Frees the reader and everything it owns: the input, the paragraph's
 * runs and every buffer.  The builder's own are freed by doc_finish. */
static void release_reader(rtf_reader *r)
{
    buffer *const owned[] = {&r->text, &r->links, &r->list_text, &r->entry_name, &r->pending_bytes, &r->decoded,
                             &r->field_instruction, &r->code_language, &r->waiting.text, &r->waiting.list_text, &r->pict.data, &r->shape_name, &r->shape_value,
                             &r->picture_description, &r->picture_name};
    size_t i;
    release_input(&r->raw);
    free(r->runs);
    free(r->waiting.runs);
    for (i = 0; i < sizeof owned / sizeof *owned; ++i)
        free(owned[i]->data);
    free(r);
}

/* A reader of the input, which it takes (and frees, with itself, in
 * release_reader); NULL, the input freed, without the memory for it. */
static rtf_reader *new_reader(buffer *raw, FILE *out, const char *found)
{
    rtf_reader *r = (rtf_reader *)calloc(1, sizeof *r);
    if (r)
        r->nest_start_run = -1;
    if (!r) {
        release_input(raw);
        return NULL;
    }
    r->raw = *raw;
    doc_begin_found(&r->b, out, found);
    r->out = &r->b;
    r->b.expansion_left = doc_expansion_budget(raw->size);
    r->ansi_code_page = 1252;
    r->stack[0].uc = 1;
    r->stack[0].font = -1;
    reset_paragraph_properties(&r->stack[0]);
    r->font_entry_number = -1;
    r->counted_list = -1;
    r->style_entry_outline = -1;
    index_words(r);
    return r;
}

/* The document from raw[start] on, and the blocks its end leaves open. */
static void read_document(rtf_reader *r, size_t start)
{
    r->raw.data[r->raw.size] = '\0'; /* load_input leaves room after the data */
    tokenize(r, r->raw.data + start, r->raw.size - start);
    r->depth = 0;
    if (r->run_count) {
        if (r->stack[0].in_table)
            end_row(r);
        else
            end_paragraph(r);
    }
    end_code(r);
    set_quotes(r, 0, 0);
}

int32_t read_rtf(FILE *in, FILE *out)
{
    return read_rtf_found(in, out, NULL);
}

int32_t read_rtf_found(FILE *in, FILE *out, const char *found)
{
    buffer raw = {0};
    rtf_reader *r;
    size_t start;
    int32_t result;
    const int32_t loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    start = rtf_start(&raw);
    if (start == raw.size) {
        refusal_first_bytes("RTF", raw.data, raw.size);
        release_input(&raw);
        return CONVERT_WRONG_FORMAT;
    }
    r = new_reader(&raw, out, found);
    if (!r) {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        return CONVERT_WRONG_FORMAT;
    }
    read_document(r, start);
    result = doc_finish(&r->b);
    release_reader(r);
    return result;
}
