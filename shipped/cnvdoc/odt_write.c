/* The OpenDocument Text writer: the intermediate form as an .odt package
 * that LibreOffice opens as the same document.
 *
 * The package holds, in this order, its mimetype (first and stored, so
 * that the first bytes of the file name its type), the pictures, then
 * content.xml streamed through a buffer that is flushed into the archive,
 * then styles.xml, meta.xml and the manifest that lists every part.  The
 * styles, list kinds and fixed parts come from the constant tables below.
 *
 * The form is read twice: a first pass stores the pictures and counts each
 * table's columns (which ODF declares before the rows), the second writes
 * the body.  Both go through one walk, in which each footnote is written
 * where its reference stands, as ODF holds it, read from where its note
 * begins in the input, so that both passes meet pictures and tables in
 * one order. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/cnvdoc/odt.h"
#include "shipped/core/refusal.h"
#include "shipped/core/xml.h"
#include "shipped/core/zip.h"

#define LIST_DEPTH 10   /* the levels ODF numbers; deeper items stand at the tenth */
#define FLOW_DEPTH 64
#define TABLE_DEPTH 24
/* content.xml goes into the archive in pieces of about this size. */
#define CONTENT_PIECE ((size_t)1 << 16)
#define PIXELS_PER_INCH 96
/* The document's title (its first heading) in meta.xml, at most this many
 * bytes of it. */
#define TITLE_MOST 200
/* Numbered lists that begin at a number of their own each name a list
 * style that says it (ODF readers other than LibreOffice take a list's
 * start from its style); past this many starts, the items alone say it. */
#define STARTS_MOST 256

/* ---- the constant parts ---- */

static const char xml_declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

/* The paragraph styles Morphex defines, by the names LibreOffice gives its
 * own, so that a document opened there finds them as it knows them. */
typedef struct paragraph_style {
    const char *name, *display, *parent;
    int outline; /* a heading's level */
    const char *paragraph_properties, *text_properties;
} paragraph_style;
static const paragraph_style paragraph_styles[] = {
    {"Standard", NULL, NULL, 0, NULL, "style:font-name=\"Liberation Serif\" fo:font-size=\"12pt\""},
    {"Text_20_body", "Text body", "Standard", 0, "fo:margin-top=\"0in\" fo:margin-bottom=\"0.0965in\"", NULL},
    {"Heading", NULL, "Standard", 0, "fo:margin-top=\"0.1665in\" fo:margin-bottom=\"0.0835in\" fo:keep-with-next=\"always\"",
     "style:font-name=\"Liberation Sans\" fo:font-size=\"14pt\""},
    {"Heading_20_1", "Heading 1", "Heading", 1, NULL, "fo:font-size=\"130%\" fo:font-weight=\"bold\""},
    {"Heading_20_2", "Heading 2", "Heading", 2, NULL, "fo:font-size=\"115%\" fo:font-weight=\"bold\""},
    {"Heading_20_3", "Heading 3", "Heading", 3, NULL, "fo:font-size=\"101%\" fo:font-weight=\"bold\""},
    {"Heading_20_4", "Heading 4", "Heading", 4, NULL, "fo:font-size=\"95%\" fo:font-style=\"italic\" fo:font-weight=\"bold\""},
    {"Heading_20_5", "Heading 5", "Heading", 5, NULL, "fo:font-size=\"85%\" fo:font-weight=\"bold\""},
    {"Heading_20_6", "Heading 6", "Heading", 6, NULL, "fo:font-size=\"85%\" fo:font-style=\"italic\" fo:font-weight=\"bold\""},
    {"Quotations", NULL, "Standard", 0, "fo:margin-left=\"0.3937in\" fo:margin-right=\"0.3937in\" fo:margin-top=\"0in\" "
     "fo:margin-bottom=\"0.1in\"", NULL},
    {"Preformatted_20_Text", "Preformatted Text", "Standard", 0, "fo:margin-top=\"0in\" fo:margin-bottom=\"0in\"",
     "style:font-name=\"Liberation Mono\" fo:font-size=\"10pt\""},
    {"List_20_Paragraph", "List Paragraph", "Text_20_body", 0, NULL, NULL},
    {"Table_20_Contents", "Table Contents", "Standard", 0, NULL, NULL},
    {"Table_20_Heading", "Table Heading", "Table_20_Contents", 0, NULL, "fo:font-weight=\"bold\""},
    {"Footnote", NULL, "Standard", 0, "fo:margin-left=\"0.2354in\" fo:text-indent=\"-0.2354in\"", "fo:font-size=\"10pt\""},
    {"Definition_20_Term", "Definition Term", "Standard", 0, "fo:margin-top=\"0.0598in\" fo:margin-bottom=\"0in\"",
     "fo:font-weight=\"bold\""},
    {"Definition_20_Definition", "Definition Definition", "Standard", 0, "fo:margin-left=\"0.3937in\" "
     "fo:margin-bottom=\"0.0598in\"", NULL},
    /* HTML that a Markdown or HTML document held, kept as its source so
     * that it comes back from the .odt as it went in */
    {"HTML_20_Source", "HTML Source", "Standard", 0, "fo:margin-top=\"0in\" fo:margin-bottom=\"0in\"",
     "style:font-name=\"Liberation Mono\" fo:font-size=\"10pt\" fo:color=\"#606060\""},
    {"Horizontal_20_Line", "Horizontal Line", "Standard", 0, "fo:margin-bottom=\"0.1965in\" fo:padding=\"0in\" "
     "fo:border-top=\"none\" fo:border-bottom=\"0.0008in solid #808080\"", "fo:font-size=\"6pt\""},
};

/* The styles of the text marks, by node. */
typedef struct text_style {
    const char *name, *display, *properties;
} text_style;
static const text_style text_styles[NODE_COUNT] = {
    [NODE_B] = {"Strong_20_Emphasis", "Strong Emphasis", "fo:font-weight=\"bold\""},
    [NODE_I] = {"Emphasis", NULL, "fo:font-style=\"italic\""},
    [NODE_U] = {"Underline", NULL, "style:text-underline-style=\"solid\" style:text-underline-width=\"auto\" "
                "style:text-underline-color=\"font-color\""},
    [NODE_S] = {"Strikethrough", NULL, "style:text-line-through-style=\"solid\""},
    [NODE_C] = {"Source_Text", NULL, "style:font-name=\"Liberation Mono\" fo:font-size=\"10pt\""},
    [NODE_SUP] = {"Superscript", NULL, "style:text-position=\"super 58%\""},
    [NODE_SUB] = {"Subscript", NULL, "style:text-position=\"sub 58%\""},
    [NODE_SC] = {"Small_20_Caps", "Small Caps", "fo:font-variant=\"small-caps\""},
    [NODE_RAW] = {"HTML_20_Inline", "HTML Inline", "fo:color=\"#606060\""},
    [NODE_A] = {"Internet_20_link", "Internet link", "fo:color=\"#000080\" style:text-underline-style=\"solid\" "
                "style:text-underline-width=\"auto\" style:text-underline-color=\"font-color\""},
};

static const char font_faces[] =
    "<office:font-face-decls>"
    "<style:font-face style:name=\"Liberation Serif\" svg:font-family=\"'Liberation Serif'\" "
    "style:font-family-generic=\"roman\" style:font-pitch=\"variable\"/>"
    "<style:font-face style:name=\"Liberation Sans\" svg:font-family=\"'Liberation Sans'\" "
    "style:font-family-generic=\"swiss\" style:font-pitch=\"variable\"/>"
    "<style:font-face style:name=\"Liberation Mono\" svg:font-family=\"'Liberation Mono'\" "
    "style:font-family-generic=\"modern\" style:font-pitch=\"fixed\"/>"
    "</office:font-face-decls>\n";

/* The kinds of list: bulleted, and numbered in each list_style. */
typedef struct list_kind {
    const char *name;
    const char *format; /* NULL for bullets */
} list_kind;
static const list_kind list_kinds[] = {
    {"List_20_Bullet", NULL},   {"Numbering_20_1", "1"}, {"Numbering_20_a", "a"},
    {"Numbering_20_A", "A"},    {"Numbering_20_i", "i"}, {"Numbering_20_I", "I"},
};
static const char *const bullets[] = {"\xE2\x80\xA2", "\xE2\x97\xA6", "\xE2\x96\xAA"}; /* the levels in turn */

/* The automatic styles of content.xml: tables and their cells, and the
 * frames of pictures, which sit on the line of text. */
static const char content_styles[] =
    "<office:automatic-styles>"
    "<style:style style:name=\"Table\" style:family=\"table\"><style:table-properties table:align=\"margins\"/>"
    "</style:style>"
    "<style:style style:name=\"TableCell\" style:family=\"table-cell\"><style:table-cell-properties "
    "fo:padding=\"0.0382in\" fo:border=\"0.5pt solid #000000\"/></style:style>"
    "<style:style style:name=\"CellLeft\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Contents\">"
    "<style:paragraph-properties fo:text-align=\"left\"/></style:style>"
    "<style:style style:name=\"CellCenter\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Contents\">"
    "<style:paragraph-properties fo:text-align=\"center\"/></style:style>"
    "<style:style style:name=\"CellRight\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Contents\">"
    "<style:paragraph-properties fo:text-align=\"end\"/></style:style>"
    "<style:style style:name=\"HeadLeft\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Heading\">"
    "<style:paragraph-properties fo:text-align=\"left\"/></style:style>"
    "<style:style style:name=\"HeadCenter\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Heading\">"
    "<style:paragraph-properties fo:text-align=\"center\"/></style:style>"
    "<style:style style:name=\"HeadRight\" style:family=\"paragraph\" style:parent-style-name=\"Table_20_Heading\">"
    "<style:paragraph-properties fo:text-align=\"end\"/></style:style>"
    "<style:style style:name=\"Picture\" style:family=\"graphic\"><style:graphic-properties "
    "style:vertical-pos=\"top\" style:vertical-rel=\"baseline\" style:wrap=\"none\"/></style:style>"
    "</office:automatic-styles>\n";

/* Media types of pictures and the endings their parts take. */
typedef struct picture_kind {
    const char *media_type, *ending;
} picture_kind;
static const picture_kind picture_kinds[] = {
    {"image/bmp", ".bmp"}, {"image/gif", ".gif"},  {"image/jpeg", ".jpg"},     {"image/png", ".png"},
    {"image/svg+xml", ".svg"}, {"image/tiff", ".tif"}, {"image/webp", ".webp"},
};

/* ---- the writer's state ---- */

typedef struct table_state {
    int rows, in_header, row_pending, header, cell_text_open;
} table_state;

/* What the body had open where a note begins, given back where it ends. */
typedef struct body_state {
    int leaf, after_space, quote_depth, definition_depth;
} body_state;

typedef struct odt_writer odt_writer;
typedef void (*visitor)(odt_writer *w, const doc_event *e);

struct odt_writer {
    const buffer *input;
    zip_writer zip;
    buffer xml;        /* the part being written */
    int streaming;     /* content.xml: flushed into the archive as it grows */
    visitor visit;
    /* the first pass's findings */
    int *columns;      /* per table, in the order tables open */
    int table_count, table_capacity;
    int plan_stack[TABLE_DEPTH], plan_depth, plan_row_cells[TABLE_DEPTH];
    int picture_count;
    buffer title;      /* the first heading's text */
    int title_state;   /* 0 before the first heading, 1 in it, 2 after it */
    buffer pictures;   /* each stored picture's part name and media type, NUL-ended */
    /* footnotes: where each note's mark begins in the input, by number */
    note_numbers note_ids;
    size_t *note_at;
    unsigned char *note_written;
    int note_slots;
    int skipping_note, skip_reference_end;
    int in_note, note_now;
    body_state body;
    /* the body */
    int list_kind[LIST_DEPTH + 1], list_number[LIST_DEPTH + 1];
    int list_depth;
    int flow_base[FLOW_DEPTH], flow_depth;
    int quote_depth, definition_depth;
    table_state tables[TABLE_DEPTH];
    int table_depth, tables_opened, pictures_written, frames_written;
    int start_kind[STARTS_MOST], start_number[STARTS_MOST]; /* the list styles of lists' starts */
    int start_count;
    int leaf;          /* the open leaf block */
    int extra_spaces, after_space, line_start, code_lines;
    int in_image;
    buffer alt, image_title, image_source, image_type;
    int image_width, image_height;
};

/* ---- writing XML ---- */

static void flush_content(odt_writer *w)
{
    if (!w->streaming || w->xml.size == 0)
        return;
    if (!w->xml.failed && !zip_entry_write(&w->zip, w->xml.data, w->xml.size))
        w->xml.failed = 1;
    w->xml.size = 0;
}


/* The namespace declarations of a part's root. */
static void put_namespaces(buffer *out)
{
    int i;
    for (i = 0; i < ODT_NAMESPACE_COUNT; ++i) {
        if (i == ODT_MANIFEST || i == ODT_LOEXT)
            continue;
        put_str(out, " xmlns:");
        put_str(out, odt_prefixes[i]);
        put_str(out, "=\"");
        put_str(out, odt_uris[i]);
        put_byte(out, '"');
    }
}

/* Spaces beyond the first of a run, and any at a line's start, as ODF
 * keeps them: text:s. */
static void flush_spaces(odt_writer *w)
{
    if (!w->extra_spaces)
        return;
    put_str(&w->xml, "<text:s");
    if (w->extra_spaces > 1)
        put_xml_number_attribute(&w->xml, "text:c", w->extra_spaces);
    put_str(&w->xml, "/>");
    w->extra_spaces = 0;
}

static void start_line(odt_writer *w)
{
    w->extra_spaces = 0;
    w->after_space = 0;
    w->line_start = 1;
}

static void put_text_run(odt_writer *w, const char *s, size_t n)
{
    size_t i, start = 0;
    for (i = 0; i < n; ++i) {
        if (s[i] != ' ' && s[i] != '\t')
            continue;
        if (i > start) {
            flush_spaces(w);
            put_xml_text(&w->xml, s + start, i - start);
            w->after_space = w->line_start = 0;
        }
        start = i + 1;
        if (s[i] == '\t') {
            flush_spaces(w);
            put_str(&w->xml, "<text:tab/>");
            w->after_space = 1; /* a space after a tab would be lost */
            w->line_start = 0;
        } else if (w->after_space || w->line_start) {
            ++w->extra_spaces;
        } else {
            put_byte(&w->xml, ' ');
            w->after_space = 1;
        }
    }
    if (n > start) {
        flush_spaces(w);
        put_xml_text(&w->xml, s + start, n - start);
        w->after_space = w->line_start = 0;
    }
}

/* ---- lists ---- */

static void close_lists_to(odt_writer *w, int depth)
{
    while (w->list_depth > depth) {
        put_str(&w->xml, "</text:list-item></text:list>\n");
        --w->list_depth;
    }
}

/* Lists in a quote, a definition, a note or a cell end with it. */
static void enter_flow(odt_writer *w)
{
    if (w->flow_depth < FLOW_DEPTH)
        w->flow_base[w->flow_depth++] = w->list_depth;
}

static void leave_flow(odt_writer *w)
{
    close_lists_to(w, w->flow_depth ? w->flow_base[--w->flow_depth] : 0);
}

/* The list depth a block keeps open: the item's it continues, never below
 * the innermost flow's. */
static int list_floor(const odt_writer *w, int item)
{
    const int base = w->flow_depth ? w->flow_base[w->flow_depth - 1] : 0;
    if (item > w->list_depth)
        item = w->list_depth;
    return item > base ? item : base;
}

/* A list style's name: its kind's, and the number it starts at where
 * that is not 1. */
static void put_list_style_name(buffer *out, int kind, int start)
{
    put_str(out, list_kinds[kind].name);
    if (start != 1) {
        put_str(out, "_20_from_20_");
        put_number(out, start);
    }
}

/* The list style of a list of that kind starting at that number: the
 * kind's own, or one made for the start. */
static int start_style(odt_writer *w, int kind, int start)
{
    int i;
    if (start == 1 || !list_kinds[kind].format)
        return 1;
    for (i = 0; i < w->start_count; ++i)
        if (w->start_kind[i] == kind && w->start_number[i] == start)
            return start;
    if (w->start_count == STARTS_MOST)
        return 1;
    w->start_kind[w->start_count] = kind;
    w->start_number[w->start_count++] = start;
    return start;
}

static void open_list(odt_writer *w, int kind, int start)
{
    put_str(&w->xml, "<text:list text:style-name=\"");
    put_list_style_name(&w->xml, kind, start_style(w, kind, start));
    put_str(&w->xml, "\">");
    w->list_kind[++w->list_depth] = kind;
    w->list_number[w->list_depth] = 0;
}

/* An item: the lists it stands in opened, a list of another kind, or one
 * the source began anew, ended first; its number where it is not the one
 * that follows. */
static void open_item(odt_writer *w, const doc_event *e)
{
    const int base = w->flow_depth ? w->flow_base[w->flow_depth - 1] : 0;
    const int numbered = e->number != DOC_BULLET;
    const int kind = numbered ? 1 + (e->list_style <= LIST_UPPER_ROMAN ? e->list_style : 0) : 0;
    int level = base + (e->level < 1 ? 1 : e->level);
    if (level > LIST_DEPTH)
        level = LIST_DEPTH;
    close_lists_to(w, level);
    if (w->list_depth == level && (e->new_list || w->list_kind[level] != kind))
        close_lists_to(w, level - 1);
    if (w->list_depth == level)
        put_str(&w->xml, "</text:list-item>\n");
    while (w->list_depth < level) {
        open_list(w, w->list_depth + 1 == level ? kind : 0, w->list_depth + 1 == level && numbered ? e->number : 1);
        if (w->list_depth < level)
            put_str(&w->xml, "<text:list-item>");
    }
    put_str(&w->xml, "<text:list-item");
    if (numbered && e->number != w->list_number[level] + 1)
        put_xml_number_attribute(&w->xml, "text:start-value", e->number);
    put_byte(&w->xml, '>');
    w->list_number[level] = numbered ? e->number : 0;
}

/* ---- tables ---- */

static table_state *table_now(odt_writer *w)
{
    return &w->tables[w->table_depth];
}

/* A cell's own text stands in a paragraph, ended where the cell's blocks
 * begin. */
static void end_cell_text(odt_writer *w)
{
    table_state *t = table_now(w);
    if (!t->cell_text_open)
        return;
    flush_spaces(w);
    put_str(&w->xml, "</text:p>\n");
    t->cell_text_open = 0;
}

static void open_table(odt_writer *w)
{
    const int index = w->tables_opened++;
    const int columns = index < w->table_count && w->columns[index] > 0 ? w->columns[index] : 1;
    put_str(&w->xml, "<table:table table:name=\"Table");
    put_number(&w->xml, index + 1);
    put_str(&w->xml, "\" table:style-name=\"Table\"><table:table-column");
    if (columns > 1)
        put_xml_number_attribute(&w->xml, "table:number-columns-repeated", columns);
    put_str(&w->xml, "/>\n");
    if (w->table_depth < TABLE_DEPTH - 1)
        ++w->table_depth;
    memset(table_now(w), 0, sizeof *table_now(w));
}

static void close_table(odt_writer *w)
{
    table_state *t = table_now(w);
    if (t->in_header)
        put_str(&w->xml, "</table:table-header-rows>\n");
    if (!t->rows) /* a table holds a row */
        put_str(&w->xml, "<table:table-row><table:table-cell><text:p/></table:table-cell></table:table-row>\n");
    put_str(&w->xml, "</table:table>\n");
    if (w->table_depth > 0)
        --w->table_depth;
}

/* The paragraph style of a cell's own text: its kind and alignment, from
 * the automatic styles of content.xml. */
static const char *cell_style(const doc_event *e)
{
    switch (e->align) {
    case DOC_ALIGN_LEFT: return e->header ? "HeadLeft" : "CellLeft";
    case DOC_ALIGN_CENTER: return e->header ? "HeadCenter" : "CellCenter";
    case DOC_ALIGN_RIGHT: return e->header ? "HeadRight" : "CellRight";
    default: return e->header ? "Table_20_Heading" : "Table_20_Contents";
    }
}

/* A cell: its row begins with its first cell, among the header rows
 * while the table's first rows are of header cells. */
static void open_cell(odt_writer *w, const doc_event *e)
{
    table_state *t = table_now(w);
    if (t->row_pending) {
        if (t->rows == 0 && e->header) {
            put_str(&w->xml, "<table:table-header-rows>");
            t->in_header = 1;
        } else if (t->in_header && !e->header) {
            put_str(&w->xml, "</table:table-header-rows>\n");
            t->in_header = 0;
        }
        put_str(&w->xml, "<table:table-row>");
        t->row_pending = 0;
        ++t->rows;
    }
    put_str(&w->xml, "<table:table-cell table:style-name=\"TableCell\" office:value-type=\"string\"><text:p");
    put_xml_attribute(&w->xml, "text:style-name", cell_style(e), strlen(cell_style(e)));
    put_byte(&w->xml, '>');
    t->cell_text_open = 1;
    t->header = e->header;
    start_line(w);
    enter_flow(w);
}

static void close_cell(odt_writer *w)
{
    leave_flow(w);
    end_cell_text(w);
    put_str(&w->xml, "</table:table-cell>");
}

/* ---- blocks ---- */

static const char *paragraph_style_of(const odt_writer *w, const doc_event *e)
{
    switch (e->node) {
    case NODE_CODE: return "Preformatted_20_Text";
    case NODE_HTML: return "HTML_20_Source";
    case NODE_DT: return "Definition_20_Term";
    case NODE_LI: return "List_20_Paragraph";
    }
    if (e->in_cell)
        return w->tables[w->table_depth].header ? "Table_20_Heading" : "Table_20_Contents";
    if (w->in_note)
        return "Footnote";
    if (w->quote_depth)
        return "Quotations";
    if (w->definition_depth)
        return "Definition_20_Definition";
    return e->item ? "List_20_Paragraph" : "Text_20_body";
}

static void open_leaf(odt_writer *w, const doc_event *e)
{
    const char *style = paragraph_style_of(w, e);
    if (e->in_cell)
        end_cell_text(w);
    if (e->node == NODE_LI)
        open_item(w, e);
    else
        close_lists_to(w, list_floor(w, e->item));
    if (e->node == NODE_H) {
        const int level = e->level < 1 ? 1 : e->level > 6 ? 6 : e->level;
        put_str(&w->xml, "<text:h text:style-name=\"Heading_20_");
        put_number(&w->xml, level);
        put_byte(&w->xml, '"');
        put_xml_number_attribute(&w->xml, "text:outline-level", level);
        put_byte(&w->xml, '>');
    } else {
        put_str(&w->xml, "<text:p");
        put_xml_attribute(&w->xml, "text:style-name", style, strlen(style));
        put_byte(&w->xml, '>');
    }
    w->leaf = e->node;
    w->code_lines = 0;
    start_line(w);
}

static void close_leaf(odt_writer *w, const doc_event *e)
{
    flush_spaces(w);
    put_str(&w->xml, e->node == NODE_H ? "</text:h>\n" : "</text:p>\n");
    w->leaf = NODE_NONE;
}

/* A line of code ends one paragraph of Preformatted Text and begins the
 * next; a line end that ends the code is no line of its own. */
static void put_code_lines(odt_writer *w)
{
    for (; w->code_lines > 0; --w->code_lines) {
        flush_spaces(w);
        put_str(&w->xml, "</text:p>\n<text:p text:style-name=\"Preformatted_20_Text\">");
        start_line(w);
    }
}

static void put_text(odt_writer *w, const char *s, size_t n)
{
    size_t i, start = 0;
    if (w->in_image) {
        put_bytes(&w->alt, s, n);
        return;
    }
    for (i = 0; i < n; ++i) {
        if (s[i] != '\n')
            continue;
        if (i > start) {
            put_code_lines(w);
            put_text_run(w, s + start, i - start);
        }
        if (w->leaf == NODE_CODE) {
            ++w->code_lines;
        } else {
            flush_spaces(w);
            put_str(&w->xml, "<text:line-break/>");
        }
        start = i + 1;
    }
    if (n > start) {
        put_code_lines(w);
        put_text_run(w, s + start, n - start);
    }
}

static void open_container(odt_writer *w, const doc_event *e)
{
    if (e->in_cell)
        end_cell_text(w);
    switch (e->node) {
    case NODE_QUOTE:
        close_lists_to(w, list_floor(w, e->item));
        ++w->quote_depth;
        enter_flow(w);
        break;
    case NODE_DL: close_lists_to(w, list_floor(w, e->item)); break;
    case NODE_DD:
        ++w->definition_depth;
        enter_flow(w);
        break;
    case NODE_NOTE: enter_flow(w); break; /* a note no reference named: its blocks stand where it is */
    case NODE_TABLE:
        close_lists_to(w, list_floor(w, 0)); /* a list item holds no table */
        open_table(w);
        break;
    case NODE_ROW: table_now(w)->row_pending = 1; break;
    case NODE_CELL: open_cell(w, e); break;
    }
}

static void close_container(odt_writer *w, const doc_event *e)
{
    switch (e->node) {
    case NODE_QUOTE:
        leave_flow(w);
        if (w->quote_depth)
            --w->quote_depth;
        break;
    case NODE_DD:
        leave_flow(w);
        if (w->definition_depth)
            --w->definition_depth;
        break;
    case NODE_NOTE: leave_flow(w); break;
    case NODE_TABLE: close_table(w); break;
    case NODE_ROW:
        if (!table_now(w)->row_pending)
            put_str(&w->xml, "</table:table-row>\n");
        table_now(w)->row_pending = 0;
        break;
    case NODE_CELL: close_cell(w); break;
    }
}

/* ---- addresses ---- */

/* An address as a package holds it: one relative to the document goes
 * one folder up, since ODF takes the package for a folder beside it. */
static void put_address(buffer *out, const char *s, size_t n)
{
    const char *colon = (const char *)memchr(s, ':', n), *slash = (const char *)memchr(s, '/', n);
    if (n && (!colon || (slash && slash < colon)) && s[0] != '/' && s[0] != '#' && s[0] != '?')
        put_str(out, "../");
    put_bytes(out, s, n);
}

/* ---- pictures ---- */

static const char *picture_ending(const char *media_type)
{
    size_t k;
    for (k = 0; k < sizeof picture_kinds / sizeof *picture_kinds; ++k)
        if (strcmp(picture_kinds[k].media_type, media_type) == 0)
            return picture_kinds[k].ending;
    return ".bin";
}

static int has_data(const doc_event *e)
{
    return e->picture && e->picture->data_length > 0;
}

/* The part a picture is stored as: Pictures/, its number, its ending. */
static void picture_name(buffer *out, int number, const doc_event *e)
{
    out->size = 0;
    put_str(out, "Pictures/");
    put_number(out, number);
    put_str(out, picture_ending(e->picture->media_type));
}

static unsigned long big_endian(const unsigned char *p, int n)
{
    unsigned long value = 0;
    while (n-- > 0)
        value = value << 8 | *p++;
    return value;
}

/* A picture's size in pixels: as the document gave it, else as its PNG,
 * GIF or JPEG data says, else an inch square. */
static void picture_size(const doc_image_data *p, int *width, int *height)
{
    const unsigned char *d = p ? p->data : NULL;
    const size_t n = p ? p->data_length : 0;
    size_t i = 2;
    *width = p ? p->width : 0;
    *height = p ? p->height : 0;
    if (*width > 0 && *height > 0)
        return;
    if (n >= 24 && memcmp(d, "\x89PNG", 4) == 0) {
        *width = (int)big_endian(d + 16, 4), *height = (int)big_endian(d + 20, 4);
    } else if (n >= 10 && memcmp(d, "GIF8", 4) == 0) {
        *width = d[6] | d[7] << 8, *height = d[8] | d[9] << 8;
    } else if (n >= 4 && d[0] == 0xFF && d[1] == 0xD8) {
        while (i + 9 < n && d[i] == 0xFF) { /* the segments up to the frame's header */
            const unsigned marker = d[i + 1];
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
                *height = (int)big_endian(d + i + 5, 2), *width = (int)big_endian(d + i + 7, 2);
                break;
            }
            i += 2 + big_endian(d + i + 2, 2);
        }
    }
    if (*width <= 0 || *width > 100000 || *height <= 0 || *height > 100000)
        *width = *height = PIXELS_PER_INCH;
}

/* A length in inches, to four places, for pixels at 96 to the inch. */
static void put_inches(buffer *out, const char *name, int pixels)
{
    const long tenths_of_thousandths = (long)pixels * 10000 / PIXELS_PER_INCH;
    char digits[8];
    put_byte(out, ' ');
    put_str(out, name);
    put_str(out, "=\"");
    put_number(out, tenths_of_thousandths / 10000);
    snprintf(digits, sizeof digits, ".%04ld", tenths_of_thousandths % 10000);
    put_str(out, digits);
    put_str(out, "in\"");
}

static void open_image(odt_writer *w, const doc_event *e)
{
    w->in_image = 1;
    w->alt.size = w->image_title.size = w->image_source.size = w->image_type.size = 0;
    put_bytes(&w->image_title, e->title, e->title_length);
    if (has_data(e)) {
        picture_name(&w->image_source, ++w->pictures_written, e);
        put_str(&w->image_type, e->picture->media_type);
    } else {
        put_address(&w->image_source, e->text, e->length);
    }
    picture_size(e->picture, &w->image_width, &w->image_height);
}

/* The picture as a frame on the line, its title and alternative text
 * after it. */
static void close_image(odt_writer *w)
{
    buffer *out = &w->xml;
    w->in_image = 0;
    if (!w->image_source.size) { /* a picture of nothing: its words */
        put_text_run(w, (const char *)w->alt.data, w->alt.size);
        return;
    }
    flush_spaces(w);
    put_str(out, "<draw:frame draw:style-name=\"Picture\" draw:name=\"Picture");
    put_number(out, ++w->frames_written);
    put_str(out, "\" text:anchor-type=\"as-char\"");
    put_inches(out, "svg:width", w->image_width);
    put_inches(out, "svg:height", w->image_height);
    put_str(out, " draw:z-index=\"0\"><draw:image");
    put_xml_attribute(out, "xlink:href", (const char *)w->image_source.data, w->image_source.size);
    put_str(out, " xlink:type=\"simple\" xlink:show=\"embed\" xlink:actuate=\"onLoad\"");
    if (w->image_type.size)
        put_xml_attribute(out, "draw:mime-type", (const char *)w->image_type.data, w->image_type.size);
    put_str(out, "/>");
    if (w->image_title.size) {
        put_str(out, "<svg:title>");
        put_xml_text(out, (const char *)w->image_title.data, w->image_title.size);
        put_str(out, "</svg:title>");
    }
    if (w->alt.size) {
        put_str(out, "<svg:desc>");
        put_xml_text(out, (const char *)w->alt.data, w->alt.size);
        put_str(out, "</svg:desc>");
    }
    put_str(out, "</draw:frame>");
    w->after_space = w->line_start = 0;
}

/* ---- marks of text ---- */

static void open_inline(odt_writer *w, const doc_event *e)
{
    buffer *out = &w->xml;
    flush_spaces(w);
    if (e->node == NODE_A) {
        put_str(out, "<text:a xlink:type=\"simple\"");
        w->image_source.size = 0;
        put_address(&w->image_source, e->text, e->length);
        put_xml_attribute(out, "xlink:href", (const char *)w->image_source.data, w->image_source.size);
        if (e->title_length)
            put_xml_attribute(out, "office:title", e->title, e->title_length);
        put_str(out, " text:style-name=\"Internet_20_link\">");
    } else if (text_styles[e->node].name) {
        put_str(out, "<text:span text:style-name=\"");
        put_str(out, text_styles[e->node].name);
        put_str(out, "\">");
    }
}

static void close_inline(odt_writer *w, const doc_event *e)
{
    flush_spaces(w);
    if (e->node == NODE_A)
        put_str(&w->xml, "</text:a>");
    else if (text_styles[e->node].name)
        put_str(&w->xml, "</text:span>");
}

/* ---- footnotes ---- */

static void open_note(odt_writer *w, int number)
{
    flush_spaces(w);
    w->body.leaf = w->leaf;
    w->body.after_space = w->after_space;
    w->body.quote_depth = w->quote_depth;
    w->body.definition_depth = w->definition_depth;
    w->quote_depth = w->definition_depth = 0;
    put_str(&w->xml, "<text:note text:id=\"ftn");
    put_number(&w->xml, number);
    put_str(&w->xml, "\" text:note-class=\"footnote\"><text:note-citation>");
    put_number(&w->xml, number);
    put_str(&w->xml, "</text:note-citation><text:note-body>");
    w->in_note = 1;
    enter_flow(w);
}

static void close_note(odt_writer *w)
{
    leave_flow(w);
    put_str(&w->xml, "</text:note-body></text:note>");
    w->in_note = 0;
    w->leaf = w->body.leaf;
    w->after_space = w->body.after_space;
    w->line_start = 0;
    w->extra_spaces = 0;
    w->quote_depth = w->body.quote_depth;
    w->definition_depth = w->body.definition_depth;
}

/* ---- the second pass: the body ---- */

static void write_event(odt_writer *w, const doc_event *e)
{
    if (w->in_image && !(e->kind == EV_CLOSE && e->node == NODE_IMG)) {
        if (e->kind == EV_TEXT)
            put_bytes(&w->alt, e->text, e->length);
        return; /* the alternative text is plain */
    }
    switch (e->kind) {
    case EV_OPEN:
        if (e->node == NODE_FN)
            open_note(w, w->note_now);
        else if (e->node == NODE_IMG)
            open_image(w, e);
        else if (IS_LEAF(e->node) && e->node != NODE_CELL)
            open_leaf(w, e);
        else if (IS_INLINE(e->node) || e->node == NODE_RAW)
            open_inline(w, e);
        else
            open_container(w, e);
        break;
    case EV_CLOSE:
        if (e->node == NODE_FN)
            close_note(w);
        else if (e->node == NODE_IMG)
            close_image(w);
        else if (IS_LEAF(e->node) && e->node != NODE_CELL)
            close_leaf(w, e);
        else if (IS_INLINE(e->node) || e->node == NODE_RAW)
            close_inline(w, e);
        else
            close_container(w, e);
        break;
    case EV_TEXT: put_text(w, e->text, e->length); break;
    case EV_BR:
        if (w->leaf == NODE_CODE) {
            ++w->code_lines;
        } else {
            flush_spaces(w);
            put_str(&w->xml, "<text:line-break/>");
        }
        break;
    case EV_HR:
        end_cell_text(w); /* a rule in a cell follows the cell's text */
        close_lists_to(w, list_floor(w, e->item));
        put_str(&w->xml, "<text:p text:style-name=\"Horizontal_20_Line\"/>\n");
        break;
    }
    if (w->xml.size >= CONTENT_PIECE)
        flush_content(w);
}

/* ---- the first pass: pictures stored, tables' columns counted ---- */

/* The first heading's text, cut where it passes TITLE_MOST bytes, never
 * inside a character. */
static void plan_title(odt_writer *w, const doc_event *e)
{
    size_t n;
    if (e->kind == EV_OPEN && e->node == NODE_H && w->title_state == 0)
        w->title_state = 1;
    else if (e->kind == EV_CLOSE && e->node == NODE_H && w->title_state == 1)
        w->title_state = 2;
    if (w->title_state != 1 || (e->kind != EV_TEXT && e->kind != EV_BR))
        return;
    n = e->kind == EV_BR ? 1 : e->length;
    if (w->title.size + n > TITLE_MOST) {
        n = TITLE_MOST - w->title.size;
        while (n > 0 && e->kind == EV_TEXT && ((unsigned char)e->text[n] & 0xC0) == 0x80)
            --n;
        w->title_state = 2;
    }
    put_bytes(&w->title, e->kind == EV_BR ? " " : e->text, n);
}

static void plan_event(odt_writer *w, const doc_event *e)
{
    plan_title(w, e);
    if (e->kind == EV_OPEN && e->node == NODE_TABLE) {
        int *grown = (int *)room_for_one(w->columns, w->table_count, &w->table_capacity, 16, sizeof *w->columns);
        if (!grown) {
            refusal_set(REFUSAL_OUT_OF_MEMORY);
            return;
        }
        w->columns = grown;
        w->columns[w->table_count] = 0;
        if (w->plan_depth < TABLE_DEPTH)
            w->plan_stack[w->plan_depth++] = w->table_count;
        ++w->table_count;
    } else if (e->kind == EV_CLOSE && e->node == NODE_TABLE && w->plan_depth > 0) {
        --w->plan_depth;
    } else if (e->kind == EV_OPEN && e->node == NODE_ROW && w->plan_depth > 0) {
        w->plan_row_cells[w->plan_depth - 1] = 0;
    } else if (e->kind == EV_OPEN && e->node == NODE_CELL && w->plan_depth > 0) {
        int *cells = &w->plan_row_cells[w->plan_depth - 1], *columns = &w->columns[w->plan_stack[w->plan_depth - 1]];
        if (++*cells > *columns)
            *columns = *cells;
    } else if (e->kind == EV_OPEN && e->node == NODE_IMG && has_data(e)) {
        buffer name = {0};
        picture_name(&name, ++w->picture_count, e);
        put_byte(&name, '\0');
        if (!name.failed) /* pictures that are compressed already are stored as they are */
            zip_add(&w->zip, (const char *)name.data, e->picture->data, e->picture->data_length,
                    strcmp(e->picture->media_type, "image/svg+xml") != 0 && strcmp(e->picture->media_type, "image/bmp") != 0);
        put_bytes(&w->pictures, name.data, name.size);
        put_str(&w->pictures, e->picture->media_type[0] ? e->picture->media_type : "application/octet-stream");
        put_byte(&w->pictures, '\0');
        free(name.data);
    }
}

/* ---- the walk both passes take ---- */

/* Where each note's mark begins, by the number note_number gives its id:
 * the marks found in the bytes (an ESC in text is doubled), their ids
 * read in a second take, in which the references come first. */
static void find_notes(odt_writer *w)
{
    size_t *starts;
    int count = 0, taken = 0;
    doc_reader r;
    doc_event e;
    starts = doc_find_note_marks(w->input, &count);
    if (!count)
        return;
    doc_read_begin(&r, w->input);
    while (doc_next(&r, &e) != EV_END) {
        int number;
        if (e.kind != EV_OPEN || (e.node != NODE_FN && e.node != NODE_NOTE))
            continue;
        number = note_number(&w->note_ids, e.text, e.length);
        if (number > w->note_slots) {
            size_t *at = (size_t *)realloc(w->note_at, (size_t)number * 2 * sizeof *at);
            if (!at)
                break;
            w->note_at = at;
            memset(w->note_at + w->note_slots, 0, ((size_t)number * 2 - w->note_slots) * sizeof *at);
            w->note_slots = number * 2;
        }
        if (e.node == NODE_NOTE && number > 0 && taken < count && !w->note_at[number - 1])
            w->note_at[number - 1] = starts[taken] + 1; /* 0: no note */
        if (e.node == NODE_NOTE)
            ++taken;
    }
    doc_read_end(&r);
    free(starts);
    w->note_written = (unsigned char *)calloc((size_t)w->note_slots + 1, 1);
    if (!w->note_written)
        refusal_set(REFUSAL_OUT_OF_MEMORY);
}

static void walk(odt_writer *w, doc_reader *r, int in_note);

/* A reference with its note: the note's blocks read from where its mark
 * begins, between the reference's open and close.  Each note is written
 * once, at its first reference; a note's references in notes are left. */
static void put_reference(odt_writer *w, const doc_event *e, int in_note)
{
    const int number = note_number(&w->note_ids, e->text, e->length);
    static const doc_event close = {.kind = EV_CLOSE, .node = NODE_FN};
    buffer note = {0};
    doc_reader r;
    if (in_note || number <= 0 || number > w->note_slots || !w->note_written || !w->note_at[number - 1] ||
        w->note_written[number - 1])
        return;
    w->note_written[number - 1] = 1;
    w->note_now = number;
    w->visit(w, e);
    note.data = w->input->data + w->note_at[number - 1] - 1;
    note.size = w->input->size - (w->note_at[number - 1] - 1);
    doc_read_begin(&r, &note);
    walk(w, &r, 1);
    doc_read_end(&r);
    w->visit(w, &close);
}

static void walk(odt_writer *w, doc_reader *r, int in_note)
{
    doc_event e;
    while (doc_next(r, &e) != EV_END) {
        if (w->skipping_note) {
            w->skipping_note = !(e.kind == EV_CLOSE && e.node == NODE_NOTE);
            continue;
        }
        if (e.node == NODE_NOTE && (e.kind == EV_OPEN || e.kind == EV_CLOSE) && in_note) {
            if (e.kind == EV_CLOSE)
                return;
            continue;
        }
        if (e.kind == EV_OPEN && e.node == NODE_NOTE) {
            const int number = note_number(&w->note_ids, e.text, e.length);
            if (number > 0 && number <= w->note_slots && w->note_written && w->note_written[number - 1]) {
                w->skipping_note = 1; /* written at its reference */
                continue;
            }
        }
        if (e.node == NODE_FN && e.kind != EV_TEXT) {
            if (e.kind == EV_OPEN)
                put_reference(w, &e, in_note);
            continue;
        }
        w->visit(w, &e);
    }
}

static void walk_input(odt_writer *w, visitor visit)
{
    doc_reader r;
    w->visit = visit;
    w->skipping_note = 0;
    if (w->note_written)
        memset(w->note_written, 0, (size_t)w->note_slots + 1);
    doc_read_begin(&r, w->input);
    walk(w, &r, 0);
    doc_read_end(&r);
}

/* ---- the parts ---- */

static void put_document_root(buffer *out, const char *root)
{
    put_str(out, xml_declaration);
    put_byte(out, '<');
    put_str(out, root);
    put_namespaces(out);
    put_str(out, " office:version=\"1.3\">\n");
}

static void put_paragraph_style(buffer *out, const paragraph_style *s)
{
    put_str(out, "<style:style");
    put_xml_attribute(out, "style:name", s->name, strlen(s->name));
    if (s->display)
        put_xml_attribute(out, "style:display-name", s->display, strlen(s->display));
    put_str(out, " style:family=\"paragraph\"");
    if (s->parent)
        put_xml_attribute(out, "style:parent-style-name", s->parent, strlen(s->parent));
    if (s->outline)
        put_xml_number_attribute(out, "style:default-outline-level", s->outline);
    put_byte(out, '>');
    if (s->paragraph_properties) {
        put_str(out, "<style:paragraph-properties ");
        put_str(out, s->paragraph_properties);
        put_str(out, "/>");
    }
    if (s->text_properties) {
        put_str(out, "<style:text-properties ");
        put_str(out, s->text_properties);
        put_str(out, "/>");
    }
    put_str(out, "</style:style>\n");
}

static void put_text_style(buffer *out, const text_style *s)
{
    put_str(out, "<style:style");
    put_xml_attribute(out, "style:name", s->name, strlen(s->name));
    if (s->display)
        put_xml_attribute(out, "style:display-name", s->display, strlen(s->display));
    put_str(out, " style:family=\"text\"><style:text-properties ");
    put_str(out, s->properties);
    put_str(out, "/></style:style>\n");
}

/* A list style: ten levels of its kind, each a quarter inch further in. */
static void put_list_style(buffer *out, int kind_index, int start)
{
    const list_kind *kind = &list_kinds[kind_index];
    int level;
    put_str(out, "<text:list-style style:name=\"");
    put_list_style_name(out, kind_index, start);
    put_str(out, "\">");
    for (level = 1; level <= LIST_DEPTH; ++level) {
        if (kind->format) {
            put_str(out, "<text:list-level-style-number");
            put_xml_number_attribute(out, "text:level", level);
            put_str(out, " style:num-suffix=\".\"");
            put_xml_attribute(out, "style:num-format", kind->format, 1);
            if (start != 1)
                put_xml_number_attribute(out, "text:start-value", start);
        } else {
            put_str(out, "<text:list-level-style-bullet");
            put_xml_number_attribute(out, "text:level", level);
            put_xml_attribute(out, "text:bullet-char", bullets[(level - 1) % 3], strlen(bullets[(level - 1) % 3]));
        }
        put_str(out, "><style:list-level-properties text:list-level-position-and-space-mode=\"label-alignment\">"
                     "<style:list-level-label-alignment text:label-followed-by=\"listtab\"");
        put_inches(out, "text:list-tab-stop-position", PIXELS_PER_INCH * (level + 1) / 4);
        put_str(out, " fo:text-indent=\"-0.25in\"");
        put_inches(out, "fo:margin-left", PIXELS_PER_INCH * (level + 1) / 4);
        put_str(out, "/></style:list-level-properties>");
        put_str(out, kind->format ? "</text:list-level-style-number>" : "</text:list-level-style-bullet>");
    }
    put_str(out, "</text:list-style>\n");
}

static void put_styles(const odt_writer *w, buffer *out)
{
    size_t k;
    int i;
    put_document_root(out, "office:document-styles");
    put_str(out, font_faces);
    put_str(out, "<office:styles>\n");
    for (k = 0; k < sizeof paragraph_styles / sizeof *paragraph_styles; ++k)
        put_paragraph_style(out, &paragraph_styles[k]);
    for (k = 0; k < NODE_COUNT; ++k)
        if (text_styles[k].name)
            put_text_style(out, &text_styles[k]);
    for (k = 0; k < sizeof list_kinds / sizeof *list_kinds; ++k)
        put_list_style(out, (int)k, 1);
    for (i = 0; i < w->start_count; ++i)
        put_list_style(out, w->start_kind[i], w->start_number[i]);
    put_str(out, "</office:styles>\n<office:automatic-styles><style:page-layout style:name=\"Page\">"
                 "<style:page-layout-properties fo:page-width=\"8.2681in\" fo:page-height=\"11.6929in\" "
                 "fo:margin-top=\"0.7874in\" fo:margin-bottom=\"0.7874in\" fo:margin-left=\"0.7874in\" "
                 "fo:margin-right=\"0.7874in\"/></style:page-layout></office:automatic-styles>\n"
                 "<office:master-styles><style:master-page style:name=\"Standard\" style:page-layout-name=\"Page\"/>"
                 "</office:master-styles>\n</office:document-styles>\n");
}

static void put_meta(const odt_writer *w, buffer *out)
{
    put_document_root(out, "office:document-meta");
    put_str(out, "<office:meta><meta:generator>Morphex</meta:generator>");
    if (w->title.size) {
        put_str(out, "<dc:title>");
        put_xml_text(out, (const char *)w->title.data, w->title.size);
        put_str(out, "</dc:title>");
    }
    put_str(out, "</office:meta>\n</office:document-meta>\n");
}

static void put_manifest_entry(buffer *out, const char *path, size_t n, const char *media_type)
{
    put_str(out, "<manifest:file-entry");
    put_xml_attribute(out, "manifest:full-path", path, n);
    put_xml_attribute(out, "manifest:media-type", media_type, strlen(media_type));
    put_str(out, "/>\n");
}

/* Every part the package holds but the mimetype and the manifest itself. */
static void put_manifest(buffer *out, const buffer *pictures)
{
    static const char *const parts[][2] = {
        {"content.xml", "text/xml"}, {"styles.xml", "text/xml"}, {"meta.xml", "text/xml"},
    };
    size_t i;
    put_str(out, xml_declaration);
    put_str(out, "<manifest:manifest xmlns:manifest=\"");
    put_str(out, odt_uris[ODT_MANIFEST]);
    put_str(out, "\" manifest:version=\"1.3\">\n<manifest:file-entry manifest:full-path=\"/\" "
                 "manifest:version=\"1.3\" manifest:media-type=\"" ODT_MIMETYPE "\"/>\n");
    for (i = 0; i < sizeof parts / sizeof *parts; ++i)
        put_manifest_entry(out, parts[i][0], strlen(parts[i][0]), parts[i][1]);
    for (i = 0; i < pictures->size;) {
        const char *name = (const char *)pictures->data + i, *type = name + strlen(name) + 1;
        put_manifest_entry(out, name, strlen(name), type);
        i = (size_t)(type + strlen(type) + 1 - (const char *)pictures->data);
    }
    put_str(out, "</manifest:manifest>\n");
}

/* content.xml, streamed into the archive as it is written. */
static int write_content(odt_writer *w)
{
    if (!zip_entry_begin(&w->zip, "content.xml", 0))
        return 0;
    w->streaming = 1;
    put_document_root(&w->xml, "office:document-content");
    put_str(&w->xml, content_styles);
    put_str(&w->xml, "<office:body>\n<office:text>\n");
    walk_input(w, write_event);
    close_lists_to(w, 0);
    put_str(&w->xml, "</office:text>\n</office:body>\n</office:document-content>\n");
    flush_content(w);
    w->streaming = 0;
    if (w->xml.failed)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    return zip_entry_end(&w->zip);
}

/* A part made whole in memory, then added. */
static int add_part(odt_writer *w, const char *name, void (*make)(const odt_writer *w, buffer *out))
{
    int ok;
    w->xml.size = 0;
    make(w, &w->xml);
    ok = !w->xml.failed ? zip_add(&w->zip, name, w->xml.data, w->xml.size, 0) : refusal_set(REFUSAL_OUT_OF_MEMORY);
    w->xml.size = 0;
    return ok;
}

static void release_writer(odt_writer *w)
{
    free(w->xml.data);
    free(w->columns);
    free(w->pictures.data);
    free(w->title.data);
    note_numbers_free(&w->note_ids);
    free(w->note_at);
    free(w->note_written);
    free(w->alt.data);
    free(w->image_title.data);
    free(w->image_source.data);
    free(w->image_type.data);
}

int32_t write_odt(FILE *in, FILE *out)
{
    buffer input = {0};
    odt_writer w;
    int ok;
    int32_t result;
    const int32_t loaded = load_input(in, &input);
    if (loaded != CONVERT_OK)
        return loaded;
    memset(&w, 0, sizeof w);
    w.input = &input;
    zip_write_begin(&w.zip, out);
    ok = zip_add(&w.zip, "mimetype", ODT_MIMETYPE, sizeof ODT_MIMETYPE - 1, 1);
    find_notes(&w);
    if (ok)
        walk_input(&w, plan_event);
    ok = ok && !w.pictures.failed && write_content(&w) && add_part(&w, "styles.xml", put_styles) &&
         add_part(&w, "meta.xml", put_meta);
    if (ok) {
        w.xml.size = 0;
        put_manifest(&w.xml, &w.pictures);
        ok = !w.xml.failed && zip_add(&w.zip, "META-INF/manifest.xml", w.xml.data, w.xml.size, 0);
    }
    result = zip_write_end(&w.zip);
    release_writer(&w);
    release_input(&input);
    return ok ? result : result == CONVERT_OK ? CONVERT_WRONG_FORMAT : result;
}
