/* The Word writer: a .docx package that Word opens without offering a
 * repair, and that LibreOffice and pandoc read as the same document.
 *
 * The document is read twice.  The first reading writes the pictures'
 * parts, since the package can hold only one part open and the document's
 * own part is written as it is made; the second writes document.xml in
 * pieces, gathering what the parts after it need: the relationships of
 * links and pictures, one numbering instance per list, the footnotes. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/cnvdoc/docx_parts.h"
#include "shipped/core/refusal.h"
#include "shipped/core/xml.h"
#include "shipped/core/zip.h"

#define LIST_LEVELS 9   /* as Word has */
#define FLOW_DEPTH 64   /* as deep as the form nests */
/* A table in a cell takes three of the reader's levels (table, row,
 * cell), so that no document nests more tables than this. */
#define TABLE_DEPTH (READER_DEPTH / 3 + 1)
#define TITLE_LIMIT 200 /* bytes of the first heading kept as the document's title */
#define INDENT 720      /* twips a level of quote, definition or list goes in */
#define INDENT_MOST (TEXT_WIDTH_TWIPS - 2 * 1440) /* deeper blocks keep two inches of the text's width */
/* The longest link target written: the longest address Internet Explorer
 * and Word's own link dialog take.  A longer one (a data: address) would
 * make a relationship Word may refuse; its text stays, without the link. */
#define LINK_TARGET_MOST 2083
#define TOOLTIP_MOST 255

/* document.xml, or footnotes.xml: its XML and its relationships. */
typedef struct docx_part {
    buffer xml;
    buffer relationships;
    int last_relationship;
} docx_part;

/* A table is held until it ends, since its grid, which comes before its
 * rows, counts the columns of its longest row. */
typedef struct docx_table {
    buffer rows;
    int columns, rows_done, header_rows;
    int row_open, row_cells, row_header;
    int cell_content; /* in the open cell: 0 nothing, 1 a paragraph last, 2 a table last */
} docx_table;

/* A level of the lists open: the numbering instance its items name, and
 * what the next item must be to go on in it. */
#define LEVEL_TEXT_MOST 40 /* bytes of an outline label's level text kept; a longer label is left out */
typedef struct list_level {
    int num; /* 0: no list open at this level */
    int numbered, style, next;
    char text[LEVEL_TEXT_MOST]; /* its level's own text, from the items' labels; "" for the definition's */
} list_level;

/* The properties of a paragraph, written when its first content comes. */
typedef struct paragraph {
    const char *style;
    int num, level; /* list numbering, num 0 for none */
    int left;       /* indentation in twips, 0 for the style's */
    int align;      /* DOC_ALIGN_ */
    int rule;       /* a border below: a horizontal rule */
} paragraph;

typedef struct docx_writer {
    zip_writer zip;
    docx_part body, notes;
    docx_part *part; /* the part being written */
    buffer *out;     /* its XML, or the innermost open table's rows */
    docx_table tables[TABLE_DEPTH];
    int table_depth;
    paragraph pending;
    int paragraph_state; /* 0 none, 1 pending, 2 written */
    int note_mark_due;   /* a footnote's first paragraph begins with its number */
    list_level levels[LIST_LEVELS];
    list_level saved_levels[FLOW_DEPTH][LIST_LEVELS];
    int flow_depth, quote_depth, definition_depth;
    buffer numbering; /* the w:num of each list */
    int lists;
    int marks[NODE_COUNT]; /* inline marks open, by node */
    int link_depth, link_open, dropping, verbatim;
    /* the open picture: its part's number (0: none), size in EMU, title */
    int picture, picture_open;
    const char *picture_extension;
    long picture_cx, picture_cy;
    buffer alt, picture_title, picture_source;
    int pictures, drawings;
    note_numbers note_ids;
    unsigned char *note_state; /* by number: NOTE_ flags */
    int note_slots, extra_notes;
    int notes_in_place; /* notes open whose blocks stay where they stand */
    buffer title;
} docx_writer;

#define NOTE_REFERENCED 1
#define NOTE_WRITTEN 2


/* Bytes a relationship's target carries as they are; the others go as
 * %XX, since Word refuses a package whose target is no valid URI. */
static int uri_safe(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c && strchr("-_.!~*'();/?:@&=+$,%#[]", c));
}

/* A new relationship of the part being written; its number. */
static int add_relationship(docx_writer *w, const char *type, const char *target, size_t n, int external)
{
    docx_part *part = w->part;
    buffer *out = &part->relationships;
    size_t i;
    put_str(out, "<Relationship Id=\"rId");
    put_number(out, ++part->last_relationship);
    put_str(out, "\" Type=\"" RELATIONSHIP_TYPE);
    put_str(out, type);
    put_str(out, "\" Target=\"");
    for (i = 0; i < n; ++i) {
        const unsigned char c = (unsigned char)target[i];
        if (!uri_safe(c))
            put_percent_byte(out, c);
        else
            put_xml_text(out, (const char *)&c, 1);
    }
    put_str(out, external ? "\" TargetMode=\"External\"/>" : "\"/>");
    return part->last_relationship;
}

/* ---- paragraphs and runs ---- */

static void put_paragraph_properties(buffer *out, const paragraph *p)
{
    if (!p->style && !p->num && !p->left && !p->align && !p->rule)
        return;
    put_str(out, "<w:pPr>");
    if (p->style) {
        put_str(out, "<w:pStyle w:val=\"");
        put_str(out, p->style);
        put_str(out, "\"/>");
    }
    if (p->num) {
        put_str(out, "<w:numPr><w:ilvl w:val=\"");
        put_number(out, p->level);
        put_str(out, "\"/><w:numId w:val=\"");
        put_number(out, p->num);
        put_str(out, "\"/></w:numPr>");
    }
    if (p->rule)
        put_str(out, "<w:pBdr><w:bottom w:val=\"single\" w:sz=\"6\" w:space=\"1\" w:color=\"auto\"/></w:pBdr>");
    if (p->left) {
        put_str(out, "<w:ind");
        put_xml_number_attribute(out, "w:left", p->left);
        if (p->num)
            put_xml_number_attribute(out, "w:hanging", INDENT / 2);
        put_str(out, "/>");
    }
    if (p->align)
        put_str(out, p->align == DOC_ALIGN_CENTER  ? "<w:jc w:val=\"center\"/>"
                     : p->align == DOC_ALIGN_RIGHT ? "<w:jc w:val=\"right\"/>"
                                                   : "<w:jc w:val=\"left\"/>");
    put_str(out, "</w:pPr>");
}

static void put_footnote_mark(buffer *out, const char *inner)
{
    put_str(out, "<w:r><w:rPr><w:rStyle w:val=\"FootnoteReference\"/></w:rPr>");
    put_str(out, inner);
}

/* The paragraph that waits for its content is written: its start and
 * properties, and in a footnote's first paragraph the note's number. */
static void ensure_paragraph(docx_writer *w)
{
    if (w->paragraph_state != 1)
        return;
    put_str(w->out, "<w:p>");
    put_paragraph_properties(w->out, &w->pending);
    if (w->note_mark_due) {
        put_footnote_mark(w->out, "<w:footnoteRef/></w:r><w:r><w:t xml:space=\"preserve\"> </w:t></w:r>");
        w->note_mark_due = 0;
    }
    w->paragraph_state = 2;
    if (w->table_depth > 0)
        w->tables[w->table_depth - 1].cell_content = 1;
}

static void begin_paragraph(docx_writer *w, const paragraph *p)
{
    w->pending = *p;
    w->paragraph_state = 1;
}

/* Ends the open paragraph; one that never had content is written empty
 * when `keep`, else left out. */
static void end_paragraph(docx_writer *w, int keep)
{
    if (w->paragraph_state == 1 && keep)
        ensure_paragraph(w);
    if (w->paragraph_state == 2)
        put_str(w->out, "</w:p>");
    w->paragraph_state = 0;
    w->verbatim = 0;
}

/* The marks of text as run properties, in the order w:rPr holds them. */
static const struct {
    int node;
    const char *property;
} run_properties[] = {
    {NODE_B, "<w:b/><w:bCs/>"}, {NODE_I, "<w:i/><w:iCs/>"},        {NODE_SC, "<w:smallCaps/>"},
    {NODE_S, "<w:strike/>"},    {NODE_U, "<w:u w:val=\"single\"/>"},
};

static void put_run_properties(docx_writer *w)
{
    buffer *out = w->out;
    const int *m = w->marks;
    size_t k;
    if (!m[NODE_C] && !w->link_open && !m[NODE_B] && !m[NODE_I] && !m[NODE_SC] && !m[NODE_S] && !m[NODE_U] &&
        !m[NODE_SUP] && !m[NODE_SUB])
        return;
    put_str(out, "<w:rPr>");
    if (m[NODE_C])
        put_str(out, "<w:rStyle w:val=\"VerbatimChar\"/>");
    else if (w->link_open)
        put_str(out, "<w:rStyle w:val=\"Hyperlink\"/>");
    for (k = 0; k < sizeof run_properties / sizeof *run_properties; ++k)
        if (m[run_properties[k].node])
            put_str(out, run_properties[k].property);
    if (m[NODE_SUP] > m[NODE_SUB])
        put_str(out, "<w:vertAlign w:val=\"superscript\"/>");
    else if (m[NODE_SUB])
        put_str(out, "<w:vertAlign w:val=\"subscript\"/>");
    put_str(out, "</w:rPr>");
}

/* Text as one run: tabs as Word's, line ends as breaks in code and as
 * spaces elsewhere, as the line ends of a paragraph's source are. */
static void put_text_run(docx_writer *w, const char *s, size_t n)
{
    buffer *out = w->out;
    size_t i = 0;
    ensure_paragraph(w);
    put_str(out, "<w:r>");
    put_run_properties(w);
    while (i < n) {
        size_t run = i;
        while (run < n && s[run] != '\t' && s[run] != '\n' && s[run] != '\r')
            ++run;
        if (run > i || (run < n && s[run] == '\n' && !w->verbatim)) {
            put_str(out, "<w:t xml:space=\"preserve\">");
            put_xml_text(out, s + i, run - i);
            if (run < n && s[run] == '\n' && !w->verbatim)
                put_byte(out, ' ');
            put_str(out, "</w:t>");
        }
        if (run < n && s[run] == '\t')
            put_str(out, "<w:tab/>");
        else if (run < n && s[run] == '\n' && w->verbatim)
            put_str(out, "<w:br/>");
        i = run + (run < n);
    }
    put_str(out, "</w:r>");
}

/* ---- lists ---- */

static void end_lists_beyond(docx_writer *w, int level)
{
    int k;
    for (k = level < 0 ? 0 : level; k < LIST_LEVELS; ++k)
        w->levels[k].num = 0;
}

/* A level of a list definition: its number's format, and its text with
 * the number as %n ("%2." at the second level) or a bullet. */
static void put_level(buffer *out, int level, int start, const char *format, const char *text)
{
    put_str(out, "<w:lvl");
    put_xml_number_attribute(out, "w:ilvl", level);
    put_str(out, "><w:start");
    put_xml_number_attribute(out, "w:val", start);
    put_str(out, "/><w:numFmt w:val=\"");
    put_str(out, format);
    put_str(out, "\"/><w:lvlText w:val=\"");
    put_xml_text(out, text, strlen(text));
    put_str(out, "\"/><w:lvlJc w:val=\"left\"/><w:pPr><w:ind");
    put_xml_number_attribute(out, "w:left", INDENT * (level + 1));
    put_xml_number_attribute(out, "w:hanging", INDENT / 2);
    put_str(out, "/></w:pPr></w:lvl>");
}

/* A numbering instance of a list of `kind` whose items at `level` start at
 * `start` (Word numbers each instance apart only where it says where it
 * starts, so a numbered list always does); where its items' labels show
 * more than their number, its level shows them. */
static int new_list(docx_writer *w, int kind, int level, int start, const char *text)
{
    buffer *out = &w->numbering;
    put_str(out, "<w:num");
    put_xml_number_attribute(out, "w:numId", ++w->lists);
    put_str(out, "><w:abstractNumId");
    put_xml_number_attribute(out, "w:val", kind);
    put_str(out, "/>");
    if (kind != LIST_KIND_BULLET) {
        put_str(out, "<w:lvlOverride");
        put_xml_number_attribute(out, "w:ilvl", level);
        put_str(out, "><w:startOverride");
        put_xml_number_attribute(out, "w:val", start);
        put_str(out, "/>");
        if (text[0])
            put_level(out, level, start, list_kinds[kind].format, text);
        put_str(out, "</w:lvlOverride>");
    }
    put_str(out, "</w:num>");
    return w->lists;
}

/* The level text that shows a numbered item's outline label: the label
 * with its last number, which must be the item's, as the level's counter
 * ("2.%2." for "2.1." at the second level).  "" where the label is no
 * such thing, or holds a '%' that Word would take for a counter. */
static void label_level_text(const doc_event *e, int level, char *text)
{
    const char *label = e->title;
    size_t end = e->title_length, start, k;
    long value = 0;
    text[0] = '\0';
    if (!end || e->number == DOC_BULLET || e->list_style != LIST_DECIMAL || end + 3 > LEVEL_TEXT_MOST ||
        memchr(label, '%', end))
        return;
    while (end > 0 && !(label[end - 1] >= '0' && label[end - 1] <= '9'))
        --end;
    for (start = end; start > 0 && label[start - 1] >= '0' && label[start - 1] <= '9';)
        --start;
    for (k = start; k < end && k < start + 9; ++k)
        value = value * 10 + (label[k] - '0');
    if (start == end || end - start > 9 || value != e->number)
        return;
    snprintf(text, LEVEL_TEXT_MOST, "%.*s%%%d%.*s", (int)start, label, level + 1, (int)(e->title_length - end),
             label + end);
}

/* The instance an item's list numbers from: the open list of its level
 * while the item goes on in it, else a new one. */
static int item_list(docx_writer *w, const doc_event *e, int level)
{
    list_level *open = &w->levels[level];
    const int numbered = e->number != DOC_BULLET;
    const int style = numbered && e->list_style <= LIST_UPPER_ROMAN ? e->list_style : LIST_DECIMAL;
    char text[LEVEL_TEXT_MOST];
    label_level_text(e, level, text);
    end_lists_beyond(w, level + 1);
    if (!open->num || e->new_list || open->numbered != numbered ||
        (numbered && (open->style != style || open->next != e->number || strcmp(open->text, text) != 0))) {
        open->num = new_list(w, numbered ? 1 + style : LIST_KIND_BULLET, level, e->number, text);
        open->numbered = numbered;
        open->style = style;
        memcpy(open->text, text, sizeof text);
    }
    open->next = e->number < INT_MAX ? e->number + 1 : e->number;
    return open->num;
}

/* Lists inside a quote, a definition, a cell or a note end with it; those
 * around it go on after it. */
static void enter_flow(docx_writer *w, int keep_lists)
{
    if (w->flow_depth < FLOW_DEPTH)
        memcpy(w->saved_levels[w->flow_depth], w->levels, sizeof w->levels);
    ++w->flow_depth;
    if (!keep_lists)
        end_lists_beyond(w, 0);
}

static void leave_flow(docx_writer *w)
{
    if (w->flow_depth > 0 && --w->flow_depth < FLOW_DEPTH)
        memcpy(w->levels, w->saved_levels[w->flow_depth], sizeof w->levels);
}

/* ---- blocks ---- */

/* A block ends the lists deeper than the item it continues (an item's own
 * level is item_list's to judge); in a cell it ends the paragraph of the
 * cell's own text, left out where the cell had none. */
static void begin_block(docx_writer *w, const doc_event *e)
{
    if (e->node != NODE_LI)
        end_lists_beyond(w, e->item);
    if (w->paragraph_state)
        end_paragraph(w, !e->in_cell);
}

/* The style of a paragraph or an item where it stands. */
static const char *flow_style(const docx_writer *w)
{
    return w->quote_depth ? "Quote" : w->definition_depth ? "Definition" : w->part == &w->notes ? "FootnoteText" : NULL;
}

static const char *const heading_styles[] = {"Heading1", "Heading1", "Heading2", "Heading3", "Heading4",
                                             "Heading5", "Heading6", "Heading7", "Heading8", "Heading9"};

static void open_leaf(docx_writer *w, const doc_event *e)
{
    paragraph p = {0};
    const int nesting = w->quote_depth + w->definition_depth;
    begin_block(w, e);
    switch (e->node) {
    case NODE_H: p.style = heading_styles[e->level < 1 ? 1 : e->level > 9 ? 9 : e->level]; break;
    case NODE_CODE: p.style = "SourceCode"; break;
    case NODE_DT: p.style = "DefinitionTerm"; break;
    default: p.style = flow_style(w); break;
    }
    if (e->node == NODE_LI && !p.style && !e->loose)
        p.style = "ListParagraph";
    if (e->node == NODE_LI) {
        const int level = (e->level < 1 ? 1 : e->level > LIST_LEVELS ? LIST_LEVELS : e->level) - 1;
        p.num = item_list(w, e, level);
        p.level = level;
        if (nesting)
            p.left = INDENT * (nesting + level + 1); /* the quote's indentation and the list's */
    } else if (nesting + e->item > 0 && e->node != NODE_DT) {
        p.left = INDENT * (nesting + e->item);
    }
    if (p.left > INDENT_MOST)
        p.left = INDENT_MOST;
    begin_paragraph(w, &p);
    w->verbatim = e->node == NODE_CODE;
}

static void close_leaf(docx_writer *w, const doc_event *e)
{
    (void)e;
    end_paragraph(w, 1);
}

static void open_quote(docx_writer *w, const doc_event *e)
{
    begin_block(w, e);
    enter_flow(w, 1);
    ++w->quote_depth;
}

static void close_quote(docx_writer *w, const doc_event *e)
{
    (void)e;
    end_paragraph(w, 1);
    leave_flow(w);
    --w->quote_depth;
}

static void open_definition_list(docx_writer *w, const doc_event *e)
{
    begin_block(w, e);
}

static void open_definition(docx_writer *w, const doc_event *e)
{
    begin_block(w, e);
    enter_flow(w, 1);
    ++w->definition_depth;
}

static void close_definition(docx_writer *w, const doc_event *e)
{
    (void)e;
    end_paragraph(w, 1);
    leave_flow(w);
    --w->definition_depth;
}

/* A horizontal rule as Word draws one: an empty paragraph with a border
 * below. */
static void put_rule(docx_writer *w, const doc_event *e)
{
    paragraph p = {0};
    begin_block(w, e);
    p.rule = 1;
    p.style = flow_style(w);
    begin_paragraph(w, &p);
    end_paragraph(w, 1);
}

/* ---- tables ---- */

static docx_table *open_table_of(docx_writer *w)
{
    return w->table_depth > 0 ? &w->tables[w->table_depth - 1] : NULL;
}

static void open_table(docx_writer *w, const doc_event *e)
{
    docx_table *t;
    begin_block(w, e);
    if (w->table_depth == TABLE_DEPTH)
        return; /* never: see TABLE_DEPTH */
    t = &w->tables[w->table_depth++];
    t->rows.size = 0;
    t->rows.failed = 0;
    t->columns = t->rows_done = t->header_rows = 0;
    t->row_open = 0;
    w->out = &t->rows;
}

static void open_row(docx_writer *w, const doc_event *e)
{
    docx_table *t = open_table_of(w);
    (void)e;
    if (t)
        t->row_open = t->row_cells = 0;
}

static void put_row_start(docx_writer *w, docx_table *t, int header)
{
    /* rows of header cells that begin the table repeat on each page */
    t->row_header = header && t->header_rows == t->rows_done;
    put_str(w->out, t->row_header ? "<w:tr><w:trPr><w:tblHeader/></w:trPr>" : "<w:tr>");
    t->row_open = 1;
}

static void open_cell(docx_writer *w, const doc_event *e)
{
    docx_table *t = open_table_of(w);
    paragraph p = {0};
    if (!t) {
        begin_block(w, e);
        begin_paragraph(w, &p);
        return;
    }
    if (!t->row_open)
        put_row_start(w, t, e->header);
    ++t->row_cells;
    put_str(w->out, "<w:tc><w:tcPr><w:tcW w:w=\"0\" w:type=\"auto\"/></w:tcPr>");
    t->cell_content = 0;
    enter_flow(w, 0);
    p.align = e->align;
    begin_paragraph(w, &p);
}

static void close_cell(docx_writer *w, const doc_event *e)
{
    docx_table *t = open_table_of(w);
    (void)e;
    end_paragraph(w, t == NULL);
    if (!t)
        return;
    if (t->cell_content != 1)
        put_str(w->out, "<w:p/>"); /* Word ends every cell with a paragraph */
    put_str(w->out, "</w:tc>");
    leave_flow(w);
}

static void close_row(docx_writer *w, const doc_event *e)
{
    docx_table *t = open_table_of(w);
    (void)e;
    if (!t)
        return;
    if (!t->row_open) {
        put_row_start(w, t, 0);
        put_str(w->out, "<w:tc><w:tcPr><w:tcW w:w=\"0\" w:type=\"auto\"/></w:tcPr><w:p/></w:tc>");
        t->row_cells = 1;
    }
    put_str(w->out, "</w:tr>");
    if (t->row_cells > t->columns)
        t->columns = t->row_cells;
    t->header_rows += t->row_header;
    ++t->rows_done;
}

/* The table, held until now, after its properties and its grid: the
 * columns share the text's width. */
static void close_table(docx_writer *w, const doc_event *e)
{
    docx_table *t = open_table_of(w);
    buffer *out;
    int k;
    (void)e;
    if (!t)
        return;
    end_paragraph(w, 1);
    --w->table_depth;
    out = w->out = w->table_depth > 0 ? &w->tables[w->table_depth - 1].rows : &w->part->xml;
    if (t->rows.failed)
        out->failed = 1;
    if (!t->rows_done)
        return;
    put_str(out, "<w:tbl><w:tblPr><w:tblStyle w:val=\"TableGrid\"/><w:tblW w:w=\"0\" w:type=\"auto\"/>");
    put_str(out, t->header_rows ? "<w:tblLook w:val=\"0420\"/>" : "<w:tblLook w:val=\"0400\"/>");
    put_str(out, "</w:tblPr><w:tblGrid>");
    for (k = 0; k < t->columns; ++k) {
        put_str(out, "<w:gridCol");
        put_xml_number_attribute(out, "w:w", TEXT_WIDTH_TWIPS / t->columns);
        put_str(out, "/>");
    }
    put_str(out, "</w:tblGrid>");
    put_bytes(out, t->rows.data, t->rows.size);
    put_str(out, "</w:tbl>");
    if (w->table_depth > 0)
        w->tables[w->table_depth - 1].cell_content = 2;
}

/* ---- inline marks and links ---- */

static void open_mark(docx_writer *w, const doc_event *e)
{
    ++w->marks[e->node];
}

static void close_mark(docx_writer *w, const doc_event *e)
{
    if (w->marks[e->node] > 0)
        --w->marks[e->node];
}

/* A link: to a place in the document by its anchor, else to its target
 * through a relationship of the part. */
static void open_link(docx_writer *w, const doc_event *e)
{
    buffer *out = w->out;
    if (w->link_depth++ || w->picture_open || e->length > LINK_TARGET_MOST)
        return; /* Word's links do not nest */
    ensure_paragraph(w);
    w->link_open = 1;
    put_str(out, "<w:hyperlink");
    if (e->length > 1 && e->text[0] == '#') {
        put_xml_attribute(out, "w:anchor", e->text + 1, e->length - 1);
    } else if (e->length) {
        put_str(out, " r:id=\"rId");
        put_number(out, add_relationship(w, "hyperlink", e->text, e->length, 1));
        put_byte(out, '"');
    }
    if (e->title_length) {
        /* Word's ScreenTips hold 255 characters; bytes, here, never half a character */
        size_t n = e->title_length < TOOLTIP_MOST ? e->title_length : TOOLTIP_MOST;
        while (n > 0 && n < e->title_length && ((unsigned char)e->title[n] & 0xC0) == 0x80)
            --n;
        put_xml_attribute(out, "w:tooltip", e->title, n);
    }
    put_str(out, " w:history=\"1\">");
}

static void close_link(docx_writer *w, const doc_event *e)
{
    (void)e;
    if (w->link_depth > 0 && --w->link_depth == 0 && w->link_open) {
        put_str(w->out, "</w:hyperlink>");
        w->link_open = 0;
    }
}

/* Raw HTML has no meaning in Word: its source is left out, as pandoc
 * leaves it. */
static void open_raw(docx_writer *w, const doc_event *e)
{
    if (e->node == NODE_HTML)
        begin_block(w, e);
    ++w->dropping;
}

static void close_raw(docx_writer *w, const doc_event *e)
{
    (void)e;
    if (w->dropping > 0)
        --w->dropping;
}

/* ---- pictures ---- */

static const picture_type *type_of_picture(const doc_image_data *p)
{
    if (!p || !p->data_length || !p->media_type)
        return NULL;
    return (const picture_type *)find_named(picture_types, sizeof picture_types / sizeof *picture_types,
                                            sizeof *picture_types, p->media_type);
}

static uint32_t big_endian(const unsigned char *p, int bytes)
{
    uint32_t v = 0;
    while (bytes-- > 0)
        v = v << 8 | *p++;
    return v;
}

/* A picture's size in pixels from its own header (PNG, GIF, JPEG); 0 where
 * it tells none. */
static void header_pixels(const unsigned char *d, size_t n, long *width, long *height)
{
    size_t i = 2;
    *width = *height = 0;
    if (n >= 24 && memcmp(d, "\x89PNG", 4) == 0) {
        *width = (long)big_endian(d + 16, 4), *height = (long)big_endian(d + 20, 4);
    } else if (n >= 10 && memcmp(d, "GIF8", 4) == 0) {
        *width = d[6] | d[7] << 8, *height = d[8] | d[9] << 8;
    } else if (n >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
        while (i + 9 < n && d[i] == 0xFF) {
            const unsigned marker = d[i + 1];
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
                *height = (long)big_endian(d + i + 5, 2), *width = (long)big_endian(d + i + 7, 2);
                return;
            }
            i += 2 + big_endian(d + i + 2, 2);
        }
    }
}

/* A picture's size in pixels: the document's, else its header's, else an
 * inch; never so large that its size in EMU outgrows a long. */
static void picture_pixels(const doc_image_data *p, long *width, long *height)
{
    *width = p->width, *height = p->height;
    if (*width <= 0 || *height <= 0)
        header_pixels(p->data, p->data_length, width, height);
    if (*width <= 0 || *height <= 0 || *width > 100000 || *height > 100000)
        *width = *height = 96;
}

/* The first reading: each picture Word can show becomes its own part,
 * numbered in the order the pictures come; the first heading's text is
 * kept as the title. */
static void write_media(docx_writer *w, const buffer *input)
{
    doc_reader r;
    doc_event e;
    int in_heading = 0;
    doc_read_begin(&r, input);
    while (doc_next(&r, &e) != EV_END) {
        if (e.kind == EV_OPEN && e.node == NODE_IMG && type_of_picture(e.picture)) {
            char name[48];
            snprintf(name, sizeof name, "word/media/image%d.%s", ++w->pictures, type_of_picture(e.picture)->extension);
            zip_add(&w->zip, name, e.picture->data, e.picture->data_length, 0);
        } else if (e.node == NODE_H && (e.kind == EV_OPEN || e.kind == EV_CLOSE) && !w->title.size) {
            in_heading = e.kind == EV_OPEN;
        } else if (in_heading && e.kind == EV_TEXT) {
            size_t n = e.length < TITLE_LIMIT - w->title.size ? e.length : TITLE_LIMIT - w->title.size;
            while (n > 0 && n < e.length && ((unsigned char)e.text[n] & 0xC0) == 0x80)
                --n; /* never half a character */
            put_bytes(&w->title, e.text, n);
        }
    }
    doc_read_end(&r);
}

/* A picture with data opens here; its drawing is written when it ends and
 * its alternative text is known.  One without data is its alternative
 * text, linked to its address. */
static void open_image(docx_writer *w, const doc_event *e)
{
    const picture_type *type = type_of_picture(e->picture);
    w->alt.size = w->picture_title.size = w->picture_source.size = 0;
    w->picture = 0;
    w->picture_open = 1;
    if (type) {
        long width, height;
        picture_pixels(e->picture, &width, &height);
        w->picture_cx = width * EMU_PER_PIXEL, w->picture_cy = height * EMU_PER_PIXEL;
        if (w->picture_cx > TEXT_WIDTH_EMU) {
            w->picture_cy = (long)((double)w->picture_cy * TEXT_WIDTH_EMU / w->picture_cx);
            w->picture_cx = TEXT_WIDTH_EMU;
        }
        w->picture = ++w->drawings;
        w->picture_extension = type->extension;
    }
    put_bytes(&w->picture_title, e->title, e->title_length);
    put_bytes(&w->picture_source, e->text, e->length);
}

static void put_drawing(docx_writer *w, int relationship)
{
    buffer *out = w->out;
    char name[32];
    snprintf(name, sizeof name, "Picture %d", w->picture);
    put_str(out, "<w:r><w:drawing><wp:inline distT=\"0\" distB=\"0\" distL=\"0\" distR=\"0\"><wp:extent");
    put_xml_number_attribute(out, "cx", w->picture_cx);
    put_xml_number_attribute(out, "cy", w->picture_cy);
    put_str(out, "/><wp:docPr");
    put_xml_number_attribute(out, "id", w->picture);
    put_xml_attribute(out, "name", name, strlen(name));
    put_xml_attribute(out, "descr", (const char *)w->alt.data, w->alt.size);
    if (w->picture_title.size)
        put_xml_attribute(out, "title", (const char *)w->picture_title.data, w->picture_title.size);
    put_str(out, "/><wp:cNvGraphicFramePr><a:graphicFrameLocks noChangeAspect=\"1\"/></wp:cNvGraphicFramePr>"
                 "<a:graphic><a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/picture\">"
                 "<pic:pic><pic:nvPicPr><pic:cNvPr id=\"0\"");
    put_xml_attribute(out, "name", name, strlen(name));
    put_xml_attribute(out, "descr", (const char *)w->alt.data, w->alt.size);
    put_str(out, "/><pic:cNvPicPr/></pic:nvPicPr><pic:blipFill><a:blip r:embed=\"rId");
    put_number(out, relationship);
    put_str(out, "\"/><a:stretch><a:fillRect/></a:stretch></pic:blipFill><pic:spPr><a:xfrm><a:off x=\"0\" y=\"0\"/>"
                 "<a:ext");
    put_xml_number_attribute(out, "cx", w->picture_cx);
    put_xml_number_attribute(out, "cy", w->picture_cy);
    put_str(out, "/></a:xfrm><a:prstGeom prst=\"rect\"><a:avLst/></a:prstGeom></pic:spPr></pic:pic></a:graphicData>"
                 "</a:graphic></wp:inline></w:drawing></w:r>");
}

static void close_image(docx_writer *w, const doc_event *e)
{
    (void)e;
    if (!w->picture_open)
        return;
    w->picture_open = 0;
    ensure_paragraph(w);
    if (w->picture) {
        char target[48];
        /* the parts were numbered in the same order by the first reading */
        snprintf(target, sizeof target, "media/image%d.%s", w->picture, w->picture_extension);
        put_drawing(w, add_relationship(w, "image", target, strlen(target), 0));
        return;
    }
    if (w->picture_source.size && !w->link_depth) {
        /* linked by its address, which is its text where it has no other */
        const buffer *text = w->alt.size ? &w->alt : &w->picture_source;
        doc_event link = {0};
        link.text = (const char *)w->picture_source.data;
        link.length = w->picture_source.size;
        open_link(w, &link);
        put_text_run(w, (const char *)text->data, text->size);
        close_link(w, &link);
    } else if (w->alt.size) {
        put_text_run(w, (const char *)w->alt.data, w->alt.size);
    }
}

/* ---- footnotes ---- */

/* A note's NOTE_ flags by its number, the table grown to hold it; NULL
 * when memory ran out. */
static unsigned char *note_flags(docx_writer *w, int number)
{
    if (number <= 0)
        return NULL;
    if (number > w->note_slots) {
        const int slots = number * 2;
        unsigned char *grown = (unsigned char *)realloc(w->note_state, (size_t)slots);
        if (!grown)
            return NULL;
        memset(grown + w->note_slots, 0, (size_t)(slots - w->note_slots));
        w->note_state = grown;
        w->note_slots = slots;
    }
    return &w->note_state[number - 1];
}

static void put_reference_run(buffer *out, int number)
{
    put_footnote_mark(out, "<w:footnoteReference");
    put_xml_number_attribute(out, "w:id", number);
    put_str(out, "/></w:r>");
}

/* Where a note stands.  Word gives a note one reference, and none in a
 * note: a further one is the note's number, raised. */
static void put_footnote_reference(docx_writer *w, const doc_event *e)
{
    int number;
    unsigned char *flags;
    if (w->picture_open)
        return;
    number = note_number(&w->note_ids, e->text, e->length);
    flags = note_flags(w, number);
    ensure_paragraph(w);
    if (!flags || w->part == &w->notes || (*flags & NOTE_REFERENCED)) {
        put_str(w->out, "<w:r><w:rPr><w:vertAlign w:val=\"superscript\"/></w:rPr><w:t>");
        put_number(w->out, number);
        put_str(w->out, "</w:t></w:r>");
        return;
    }
    *flags |= NOTE_REFERENCED;
    put_reference_run(w->out, number);
}

/* A note's blocks go to footnotes.xml.  A note no reference named gets
 * one at the document's end, so that Word shows it; a second note of one
 * id is a note of its own.  One that stands where Word has no room for a
 * note (in a note, in a table) keeps its blocks where they stand. */
static void open_note(docx_writer *w, const doc_event *e)
{
    int number = note_number(&w->note_ids, e->text, e->length);
    unsigned char *flags = note_flags(w, number);
    begin_block(w, e);
    if (flags && (*flags & NOTE_WRITTEN)) {
        char id[24];
        const int length = snprintf(id, sizeof id, "\x1B%d", ++w->extra_notes); /* no id of the form has an ESC */
        number = note_number(&w->note_ids, id, (size_t)length);
        flags = note_flags(w, number);
    }
    if (!flags || w->part == &w->notes || w->table_depth) {
        if (!flags)
            refusal_set(REFUSAL_OUT_OF_MEMORY);
        ++w->notes_in_place;
        return;
    }
    if (!(*flags & NOTE_REFERENCED)) {
        put_str(w->out, "<w:p>");
        put_reference_run(w->out, number);
        put_str(w->out, "</w:p>");
    }
    *flags |= NOTE_REFERENCED | NOTE_WRITTEN;
    w->part = &w->notes;
    w->out = &w->notes.xml;
    put_str(w->out, "<w:footnote");
    put_xml_number_attribute(w->out, "w:id", number);
    put_str(w->out, ">");
    w->note_mark_due = 1;
    enter_flow(w, 0);
}

/* A note's end, or one that never came: Word wants a paragraph in each,
 * the first beginning with the note's number. */
static void end_note(docx_writer *w)
{
    if (w->note_mark_due) {
        paragraph p = {0};
        p.style = "FootnoteText";
        begin_paragraph(w, &p);
        end_paragraph(w, 1);
    }
    put_str(w->out, "</w:footnote>");
}

static void close_note(docx_writer *w, const doc_event *e)
{
    (void)e;
    if (w->notes_in_place) {
        --w->notes_in_place;
        return;
    }
    end_paragraph(w, 1);
    end_note(w);
    leave_flow(w);
    w->part = &w->body;
    w->out = &w->body.xml;
}

static void put_missing_notes(docx_writer *w)
{
    int k;
    w->part = &w->notes;
    w->out = &w->notes.xml;
    for (k = 0; k < w->note_slots; ++k) {
        if ((w->note_state[k] & (NOTE_REFERENCED | NOTE_WRITTEN)) != NOTE_REFERENCED)
            continue;
        put_str(w->out, "<w:footnote");
        put_xml_number_attribute(w->out, "w:id", k + 1);
        put_str(w->out, ">");
        w->note_mark_due = 1;
        end_note(w);
    }
}

/* ---- the events ---- */

typedef void (*event_handler)(docx_writer *w, const doc_event *e);

static const event_handler open_handlers[NODE_COUNT] = {
    [NODE_P] = open_leaf, [NODE_H] = open_leaf, [NODE_LI] = open_leaf, [NODE_CODE] = open_leaf,
    [NODE_DT] = open_leaf, [NODE_CELL] = open_cell, [NODE_QUOTE] = open_quote, [NODE_TABLE] = open_table,
    [NODE_ROW] = open_row, [NODE_A] = open_link, [NODE_I] = open_mark, [NODE_B] = open_mark, [NODE_U] = open_mark,
    [NODE_S] = open_mark, [NODE_C] = open_mark, [NODE_SUP] = open_mark, [NODE_SUB] = open_mark,
    [NODE_SC] = open_mark, [NODE_HTML] = open_raw, [NODE_RAW] = open_raw, [NODE_IMG] = open_image,
    [NODE_FN] = put_footnote_reference, [NODE_NOTE] = open_note, [NODE_DL] = open_definition_list,
    [NODE_DD] = open_definition,
};

static const event_handler close_handlers[NODE_COUNT] = {
    [NODE_P] = close_leaf, [NODE_H] = close_leaf, [NODE_LI] = close_leaf, [NODE_CODE] = close_leaf,
    [NODE_DT] = close_leaf, [NODE_CELL] = close_cell, [NODE_QUOTE] = close_quote, [NODE_TABLE] = close_table,
    [NODE_ROW] = close_row, [NODE_A] = close_link, [NODE_I] = close_mark, [NODE_B] = close_mark,
    [NODE_U] = close_mark, [NODE_S] = close_mark, [NODE_C] = close_mark, [NODE_SUP] = close_mark,
    [NODE_SUB] = close_mark, [NODE_SC] = close_mark, [NODE_HTML] = close_raw, [NODE_RAW] = close_raw,
    [NODE_IMG] = close_image, [NODE_NOTE] = close_note, [NODE_DD] = close_definition,
};

/* Text, or a line break: in a picture, its alternative text; outside any
 * paragraph (text straight in a quote), a paragraph of its own. */
static void put_text(docx_writer *w, const doc_event *e)
{
    if (w->dropping)
        return;
    if (w->picture_open) {
        if (e->kind == EV_TEXT)
            put_bytes(&w->alt, e->text, e->length);
        else
            put_byte(&w->alt, ' ');
        return;
    }
    if (!w->paragraph_state) {
        paragraph p = {0};
        p.style = flow_style(w);
        begin_paragraph(w, &p);
    }
    if (e->kind == EV_TEXT) {
        put_text_run(w, e->text, e->length);
    } else {
        ensure_paragraph(w);
        put_str(w->out, "<w:r><w:br/></w:r>");
    }
}

static void write_event(docx_writer *w, const doc_event *e)
{
    event_handler handler = NULL;
    switch (e->kind) {
    case EV_OPEN: handler = open_handlers[e->node]; break;
    case EV_CLOSE: handler = close_handlers[e->node]; break;
    case EV_TEXT: case EV_BR: handler = put_text; break;
    case EV_HR: handler = put_rule; break;
    }
    if (handler)
        handler(w, e);
    if (w->out == &w->body.xml && w->body.xml.size >= SINK_SIZE) {
        zip_entry_write(&w->zip, w->body.xml.data, w->body.xml.size);
        w->body.xml.size = 0;
    }
}

/* The second reading: document.xml, written out in pieces as it grows. */
static void write_document(docx_writer *w, const buffer *input)
{
    doc_reader r;
    doc_event e;
    w->part = &w->body;
    w->out = &w->body.xml;
    w->body.last_relationship = DOCUMENT_RELATIONSHIPS_FIXED;
    zip_entry_begin(&w->zip, "word/document.xml", 0);
    put_str(w->out, document_head);
    doc_read_begin(&r, input);
    while (doc_next(&r, &e) != EV_END)
        write_event(w, &e);
    doc_read_end(&r);
    end_paragraph(w, 1);
    put_str(w->out, document_tail);
    zip_entry_write(&w->zip, w->body.xml.data, w->body.xml.size);
    zip_entry_end(&w->zip);
}

/* ---- the parts after the document ---- */

static void put_style(buffer *out, const docx_style *s)
{
    static const struct {
        const char *element;
        size_t offset;
    } properties[] = {{"pPr", offsetof(docx_style, paragraph)}, {"rPr", offsetof(docx_style, run)},
                      {"tblPr", offsetof(docx_style, table)}};
    size_t k;
    put_str(out, "<w:style w:type=\"");
    put_str(out, s->type);
    put_str(out, s->flags & STYLE_DEFAULT ? "\" w:default=\"1\" w:styleId=\"" : "\" w:styleId=\"");
    put_str(out, s->id);
    put_str(out, "\"><w:name w:val=\"");
    put_str(out, s->name);
    put_str(out, "\"/>");
    if (s->based_on) {
        put_str(out, "<w:basedOn w:val=\"");
        put_str(out, s->based_on);
        put_str(out, "\"/>");
    }
    if (s->next) {
        put_str(out, "<w:next w:val=\"");
        put_str(out, s->next);
        put_str(out, "\"/>");
    }
    if (s->priority) {
        put_str(out, "<w:uiPriority");
        put_xml_number_attribute(out, "w:val", s->priority);
        put_str(out, "/>");
    }
    put_str(out, s->flags & STYLE_HIDDEN ? "<w:semiHidden/><w:unhideWhenUsed/>" : "");
    put_str(out, s->flags & STYLE_QUICK ? "<w:qFormat/>" : "");
    for (k = 0; k < sizeof properties / sizeof *properties; ++k) {
        const char *children = *(const char *const *)((const char *)s + properties[k].offset);
        if (!children)
            continue;
        put_str(out, "<w:");
        put_str(out, properties[k].element);
        put_byte(out, '>');
        put_str(out, children);
        put_str(out, "</w:");
        put_str(out, properties[k].element);
        put_byte(out, '>');
    }
    if (s->conditional)
        put_str(out, s->conditional);
    put_str(out, "</w:style>");
}

/* One definition of nine levels for each kind of list, then the instance
 * of each list. */
static void put_numbering(buffer *out, const buffer *lists)
{
    size_t kind;
    int level;
    put_str(out, numbering_head);
    for (kind = 0; kind < sizeof list_kinds / sizeof *list_kinds; ++kind) {
        const list_kind *k = &list_kinds[kind];
        put_str(out, "<w:abstractNum");
        put_xml_number_attribute(out, "w:abstractNumId", (long)kind);
        put_str(out, "><w:multiLevelType w:val=\"hybridMultilevel\"/>");
        for (level = 0; level < LIST_LEVELS; ++level) {
            char text[8];
            if (k->bullets[0])
                snprintf(text, sizeof text, "%s", k->bullets[level % 3]);
            else
                snprintf(text, sizeof text, "%%%d.", level + 1);
            put_level(out, level, 1, k->format, text);
        }
        put_str(out, "</w:abstractNum>");
    }
    put_bytes(out, lists->data, lists->size);
    put_str(out, numbering_tail);
}

static void add_part(docx_writer *w, const char *name, buffer *part)
{
    if (part->failed)
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    zip_add(&w->zip, name, part->data, part->size, 0);
    part->size = 0;
}

static void write_parts_after(docx_writer *w)
{
    buffer part = {0};
    size_t k;
    put_str(&part, styles_head);
    for (k = 0; k < sizeof docx_styles / sizeof *docx_styles; ++k)
        put_style(&part, &docx_styles[k]);
    put_str(&part, styles_tail);
    add_part(w, "word/styles.xml", &part);
    put_numbering(&part, &w->numbering);
    add_part(w, "word/numbering.xml", &part);
    put_missing_notes(w);
    put_str(&part, footnotes_head);
    put_bytes(&part, w->notes.xml.data, w->notes.xml.size);
    put_str(&part, footnotes_tail);
    add_part(w, "word/footnotes.xml", &part);
    zip_add(&w->zip, "word/settings.xml", settings_part, sizeof settings_part - 1, 0);
    put_str(&part, document_relationships_head);
    put_bytes(&part, w->body.relationships.data, w->body.relationships.size);
    put_str(&part, relationships_tail);
    add_part(w, "word/_rels/document.xml.rels", &part);
    if (w->notes.last_relationship) {
        put_str(&part, relationships_head);
        put_bytes(&part, w->notes.relationships.data, w->notes.relationships.size);
        put_str(&part, relationships_tail);
        add_part(w, "word/_rels/footnotes.xml.rels", &part);
    }
    put_str(&part, core_head);
    if (w->title.size) {
        put_str(&part, "<dc:title>");
        put_xml_text(&part, (const char *)w->title.data, w->title.size);
        put_str(&part, "</dc:title>");
    }
    put_str(&part, core_tail);
    add_part(w, "docProps/core.xml", &part);
    free(part.data);
}

static int lost_memory(const docx_writer *w)
{
    int k;
    for (k = 0; k < TABLE_DEPTH; ++k)
        if (w->tables[k].rows.failed)
            return 1;
    return w->body.xml.failed || w->body.relationships.failed || w->notes.xml.failed ||
           w->notes.relationships.failed || w->numbering.failed || w->alt.failed || w->picture_title.failed ||
           w->picture_source.failed;
}

static void free_writer(docx_writer *w)
{
    int k;
    for (k = 0; k < TABLE_DEPTH; ++k)
        free(w->tables[k].rows.data);
    free(w->body.xml.data);
    free(w->body.relationships.data);
    free(w->notes.xml.data);
    free(w->notes.relationships.data);
    free(w->numbering.data);
    free(w->alt.data);
    free(w->picture_title.data);
    free(w->picture_source.data);
    free(w->title.data);
    free(w->note_state);
    note_numbers_free(&w->note_ids);
    free(w);
}

int32_t write_docx(FILE *in, FILE *out)
{
    buffer input = {0};
    docx_writer *w;
    int32_t result = load_input(in, &input);
    if (result != CONVERT_OK)
        return result;
    w = (docx_writer *)calloc(1, sizeof *w);
    if (!w) {
        release_input(&input);
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        return CONVERT_WRONG_FORMAT;
    }
    zip_write_begin(&w->zip, out);
    zip_add(&w->zip, "[Content_Types].xml", content_types_part, sizeof content_types_part - 1, 0);
    zip_add(&w->zip, "_rels/.rels", package_relationships_part, sizeof package_relationships_part - 1, 0);
    zip_add(&w->zip, "docProps/app.xml", app_part, sizeof app_part - 1, 0);
    write_media(w, &input);
    write_document(w, &input);
    release_input(&input);
    write_parts_after(w);
    if (lost_memory(w))
        refusal_set(REFUSAL_OUT_OF_MEMORY);
    result = zip_write_end(&w->zip);
    free_writer(w);
    return result;
}
