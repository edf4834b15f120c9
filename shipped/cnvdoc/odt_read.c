/* The OpenDocument Text reader: an .odt package (or its flat single-file
 * form, .fodt) into the intermediate form.
 *
 * The package layer gives the parts; styles.xml is read first, then
 * content.xml, each through the XML pull reader, one walk per part.  Styles
 * go into a small table (named and automatic, paragraph, text and list
 * styles, the fonts of fixed pitch) and each is resolved through its
 * parents once, the first time a paragraph or span names it.  The body is
 * walked once: each element is handled by the handler its name picks from
 * a table, and what it opened (marks, a link, a list level) is undone when
 * it ends.  Tracked changes are taken as accepted: the insertions stand in
 * the text, and the deletions, kept aside in text:tracked-changes, are
 * passed over with annotations and the other parts that are not text. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/cnvdoc/odt.h"
#include "shipped/core/refusal.h"
#include "shipped/core/xml.h"
#include "shipped/core/zip.h"

/* A style's parents are followed this far: a loop of parents, or a chain
 * longer than any office program writes, ends there. */
#define STYLE_CHAIN_MOST 32
/* ODF numbers lists ten levels deep. */
#define LIST_LEVELS 10
/* Cells and notes each begin a flow of blocks of their own; tables nested
 * deeper than this share their innermost flow. */
#define FLOW_MOST 32
/* The empty cells a table:number-columns-repeated may add, beyond which
 * the row keeps its own cells (also bounded by the expansion budget). */
#define REPEATED_CELLS_MOST 1024

/* ---- styles ---- */

enum style_kind { KIND_PARAGRAPH, KIND_CODE, KIND_QUOTE, KIND_TERM, KIND_DEFINITION, KIND_HTML, KIND_RULE };
enum style_family { FAMILY_PARAGRAPH = 'p', FAMILY_TEXT = 't', FAMILY_LIST = 'l', FAMILY_FONT = 'f' };

/* The inline marks a style gives, in the order they open. */
static const int style_marks[] = {NODE_B, NODE_I, NODE_U, NODE_S, NODE_SUP, NODE_SUB, NODE_SC, NODE_C};
#define MARK_COUNT ((int)(sizeof style_marks / sizeof *style_marks))

/* What the styles that office programs define by name are, where their
 * properties do not say it. */
typedef struct named_kind {
    const char *name;
    int kind;
} named_kind;
static const named_kind named_kinds[] = {
    {"Definition_20_Definition", KIND_DEFINITION},
    {"Definition_20_Definition_20_Tight", KIND_DEFINITION},
    {"Definition_20_Term", KIND_TERM},
    {"Definition_20_Term_20_Tight", KIND_TERM},
    {"HTML_20_Source", KIND_HTML}, /* Morphex's: HTML that its documents held */
    {"Horizontal_20_Line", KIND_RULE}, /* LibreOffice's rule between paragraphs */
    {"Preformatted_20_Text", KIND_CODE},
    {"Quotations", KIND_QUOTE},
    {"Source_20_Code", KIND_CODE},
};
/* Character styles that are code. */
static const char *const code_text_styles[] = {"Example", "Source_20_Text", "Source_Text", "Teletype"};

/* Fonts that are of fixed pitch by their family's name. */
static const char *const fixed_font_words[] = {"Consolas", "Courier", "Menlo", "Mono", "Typewriter"};

typedef struct list_level {
    int numbered, style, start;
} list_level;

typedef struct odt_style {
    size_t name_at, name_length; /* in the reader's names */
    size_t parent_at, parent_length;
    int family;
    int automatic;
    /* its own properties */
    unsigned marks_on, marks_off;
    int hidden;         /* -1: not said */
    int outline;        /* -1: not said; 0 a paragraph, 1 and up a heading level */
    int fixed_font;     /* -1: not said */
    int kind;           /* -1: not said */
    int align;          /* -1: not said; 0, or a DOC_ALIGN_ flag */
    int levels;         /* a list style's first level, in the reader's levels; -1 for others */
    /* resolved through its parents */
    int resolved;
    unsigned marks, marks_off_r; /* the marks it gives, and those it takes from the text around it */
    int hidden_r, outline_r, kind_r, align_r;
} odt_style;

/* ---- flows of blocks ---- */

/* The state of one run of blocks: the body, a cell, a note.  A code block
 * or a quote stays open from one paragraph to the next of its kind, and a
 * list's item waits for its first paragraph. */
typedef struct flow {
    int in_cell;
    int cell_pending, cell_header;    /* a cell opens with its first block, which may align it */
    int list_depth;
    int list_styles[LIST_LEVELS + 1]; /* the list style of each open level, -1 for none */
    int item_pending;                 /* the open item's first paragraph has not come */
    int item_level;                   /* the item that blocks continue, 0 for none */
    int pending_level, pending_number, pending_style;
    int after_item;                   /* the last block was a list item */
    int code_open, quote_open, definitions_open;
    int para_depth;                   /* paragraphs open, a text box's inside its paragraph's */
    int line_start, after_space;      /* white space, as ODF collapses it */
} flow;

/* What an open element did, undone at its end. */
typedef struct open_element {
    unsigned char handler; /* 1 + its index in the handler table; 0 for none */
    unsigned char flags;
    unsigned short marks;  /* INLINE_BITs of the marks it opened */
    unsigned short unset;  /* and of those it ended, to open again at its end */
    unsigned short repeat; /* a cell's repeats */
    unsigned char node;    /* the block a paragraph opened */
} open_element;
#define OPEN_LINK 1u             /* a link, ended with it */
#define OPEN_INLINE_PARAGRAPH 2u /* a paragraph in a paragraph (a text box's): a line of it */
#define OPEN_FLOW 4u             /* a flow of its own, left at its end */
#define OPEN_OWNER 8u            /* the header rows, the note or the frame that its end closes */
#define OPEN_RAW 16u             /* HTML kept as its source */

typedef struct frame_state {
    buffer href, title, description, data, media_type;
    int width, height;
    int open;
} frame_state;

typedef struct odt_reader {
    doc_builder b;
    xml_reader xml;   /* the part being read */
    doc_builder *out; /* the body's builder, or a note's */
    zip_archive zip;
    int packaged;
    /* styles */
    odt_style *styles;
    int style_count, style_capacity;
    int *slots; /* open addressing on family and name: 1 + a style's index */
    uint64_t hash_key;
    size_t slot_count;
    buffer names;
    list_level *levels;
    int level_count, level_capacity;
    int current_style, current_list;
    int in_automatic;
    /* the body */
    open_element open[XML_DEPTH_MOST + 2];
    flow flows[FLOW_MOST];
    flow *flow;
    int flow_depth;
    int counters[LIST_LEVELS + 1], restart[LIST_LEVELS + 1];
    int new_list;
    unsigned active_marks; /* opened by the elements open */
    unsigned body_marks;   /* the body's, while a note is read */
    int header_rows, in_note;
    buffer note_id;
    buffer *capture; /* a frame's title or description while it is read */
    frame_state frame;
    buffer scratch;
    buffer raw; /* an HTML span's source, while it is read */
    xml_event event;
} odt_reader;

/* FNV-1a over a style's family and name, mixed with a key of the
 * conversion's own: names come from the document, and no document should
 * make them all meet in one slot. */
static uint64_t name_hash(const odt_reader *r, int family, const char *s, size_t n)
{
    uint64_t h = (1469598103934665603ull ^ r->hash_key) * 1099511628211ull ^ (uint64_t)family;
    size_t i;
    for (i = 0; i < n; ++i)
        h = (h ^ (unsigned char)s[i]) * 1099511628211ull;
    return h ^ (h >> 29);
}

static int same_name(const odt_reader *r, const odt_style *s, int family, const char *name, size_t n)
{
    return s->family == family && s->name_length == n && memcmp(r->names.data + s->name_at, name, n) == 0;
}

/* The slot of a family's name: the style's, or the empty one it would take. */
static int *slot_of(odt_reader *r, int family, const char *name, size_t n)
{
    size_t i = (size_t)name_hash(r, family, name, n) & (r->slot_count - 1);
    while (r->slots[i] && !same_name(r, &r->styles[r->slots[i] - 1], family, name, n))
        i = (i + 1) & (r->slot_count - 1);
    return &r->slots[i];
}

static int grow_slots(odt_reader *r)
{
    const size_t count = r->slot_count ? r->slot_count * 2 : 64;
    int *slots = (int *)calloc(count, sizeof *slots), *old = r->slots, i;
    if (!slots)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    r->slots = slots;
    r->slot_count = count;
    for (i = 0; i < r->style_count; ++i) {
        const odt_style *s = &r->styles[i];
        int *slot = slot_of(r, s->family, (const char *)r->names.data + s->name_at, s->name_length);
        if (!*slot || *slot - 1 < i)
            *slot = i + 1; /* a later style of the same name replaces an earlier one */
    }
    free(old);
    return 1;
}

static odt_style *find_style(odt_reader *r, int family, const char *name, size_t n)
{
    int *slot;
    if (!r->slot_count || !name)
        return NULL;
    slot = slot_of(r, family, name, n);
    return *slot ? &r->styles[*slot - 1] : NULL;
}

/* A new style; one of the same family and name that came before (styles.xml's
 * automatic P1 and content.xml's) is replaced by it. */
static odt_style *add_style(odt_reader *r, int family, const char *name, size_t n)
{
    odt_style *grown, *s;
    if ((size_t)(r->style_count + 1) * 2 > r->slot_count && !grow_slots(r))
        return NULL;
    grown = (odt_style *)room_for_one(r->styles, r->style_count, &r->style_capacity, 64, sizeof *r->styles);
    if (!grown) {
        refusal_set(REFUSAL_OUT_OF_MEMORY);
        return NULL;
    }
    r->styles = grown;
    s = &r->styles[r->style_count];
    memset(s, 0, sizeof *s);
    s->family = family;
    s->name_at = r->names.size;
    s->name_length = n;
    put_bytes(&r->names, name, n);
    s->hidden = s->outline = s->fixed_font = s->kind = s->align = s->levels = -1;
    s->automatic = r->in_automatic;
    *slot_of(r, family, name, n) = ++r->style_count;
    return s;
}

static int fixed_font_name(const char *s, size_t n)
{
    size_t i, k;
    for (k = 0; k < sizeof fixed_font_words / sizeof *fixed_font_words; ++k) {
        const size_t m = strlen(fixed_font_words[k]);
        for (i = 0; i + m <= n; ++i)
            if (memcmp(s + i, fixed_font_words[k], m) == 0)
                return 1;
    }
    return 0;
}

static int named_style_kind(const odt_reader *r, const odt_style *s)
{
    char name[48];
    const named_kind *found;
    size_t k;
    if (s->name_length >= sizeof name)
        return -1;
    memcpy(name, r->names.data + s->name_at, s->name_length);
    name[s->name_length] = '\0';
    if (s->family == FAMILY_TEXT) {
        if (strcmp(name, "HTML_20_Inline") == 0)
            return KIND_HTML;
        for (k = 0; k < sizeof code_text_styles / sizeof *code_text_styles; ++k)
            if (strcmp(name, code_text_styles[k]) == 0)
                return KIND_CODE;
        return -1;
    }
    found = (const named_kind *)find_named(named_kinds, sizeof named_kinds / sizeof *named_kinds,
                                           sizeof *named_kinds, name);
    return found ? found->kind : -1;
}

/* The level of LibreOffice's "Heading N" styles by their name, for the
 * documents whose styles do not give their outline level; 0 for others. */
static int named_heading_level(const odt_reader *r, const odt_style *s)
{
    static const char prefix[] = "Heading_20_";
    const char *name = (const char *)r->names.data + s->name_at;
    if (s->family != FAMILY_PARAGRAPH || s->name_length != sizeof prefix || memcmp(name, prefix, sizeof prefix - 1) != 0)
        return 0;
    return name[sizeof prefix - 1] >= '1' && name[sizeof prefix - 1] <= '9' ? name[sizeof prefix - 1] - '0' : 0;
}

/* A style with its parents' properties under its own, resolved once. */
static const odt_style *resolved(odt_reader *r, odt_style *s)
{
    odt_style *chain[STYLE_CHAIN_MOST];
    const odt_style *tail;
    int count = 0, i;
    while (s && !s->resolved && count < STYLE_CHAIN_MOST) {
        chain[count++] = s;
        s->resolved = 1; /* a loop of parents ends at a style met already */
        s = s->parent_length ? find_style(r, s->family, (const char *)r->names.data + s->parent_at, s->parent_length)
                             : NULL;
    }
    tail = s && s->resolved ? s : NULL; /* a chain past the limit ends without its parent */
    for (i = count - 1; i >= 0; --i) {
        odt_style *c = chain[i];
        const odt_style *parent = i + 1 < count ? chain[i + 1] : tail != c ? tail : NULL;
        const int kind = named_style_kind(r, c);
        c->marks = ((parent ? parent->marks : 0) & ~c->marks_off) | c->marks_on;
        c->marks_off_r = ((parent ? parent->marks_off_r : 0) & ~c->marks_on) | c->marks_off;
        if (c->family == FAMILY_TEXT && kind == KIND_HTML)
            c->marks = 0;
        else if (c->fixed_font == 1 || (c->family == FAMILY_TEXT && kind == KIND_CODE))
            c->marks |= INLINE_BIT(NODE_C);
        else if (c->fixed_font == 0)
            c->marks &= ~INLINE_BIT(NODE_C);
        c->hidden_r = c->hidden >= 0 ? c->hidden : parent ? parent->hidden_r : 0;
        c->align_r = c->align >= 0 ? c->align : parent ? parent->align_r : 0;
        c->outline_r = c->outline >= 0      ? c->outline
                       : named_heading_level(r, c) ? named_heading_level(r, c)
                       : parent                    ? parent->outline_r
                                                   : 0;
        c->kind_r = kind >= 0 ? kind : c->kind >= 0 ? c->kind : parent ? parent->kind_r : KIND_PARAGRAPH;
        if (c->kind_r == KIND_PARAGRAPH && c->family == FAMILY_PARAGRAPH && (c->marks & INLINE_BIT(NODE_C)))
            c->kind_r = KIND_CODE;
    }
    return count ? chain[0] : s;
}

/* The resolved style an element names in the attribute, NULL for none. */
static const odt_style *style_named(odt_reader *r, const xml_event *e, int family, int ns, const char *attribute)
{
    const xml_attribute *a = xml_attribute_of(e, ns, attribute);
    odt_style *s = a ? find_style(r, family, a->value, a->value_length) : NULL;
    if (!s)
        return NULL;
    return s->resolved ? s : resolved(r, s);
}

/* ---- attributes ---- */

static int attribute_is(const xml_event *e, int ns, const char *name, const char *value)
{
    const xml_attribute *a = xml_attribute_of(e, ns, name);
    return a && a->value_length == strlen(value) && memcmp(a->value, value, a->value_length) == 0;
}

/* A whole number from an attribute; `fallback` where it is absent or not one. */
static int attribute_number(const xml_event *e, int ns, const char *name, int fallback)
{
    const xml_attribute *a = xml_attribute_of(e, ns, name);
    long value = 0;
    size_t i;
    if (!a || a->value_length == 0)
        return fallback;
    for (i = 0; i < a->value_length && a->value[i] >= '0' && a->value[i] <= '9'; ++i)
        if ((value = value * 10 + (a->value[i] - '0')) > 1000000)
            return fallback;
    return i == a->value_length ? (int)value : fallback;
}

/* A length ("2.5cm", "0.41in", "12pt") in pixels at 96 to the inch; 0
 * where it is none of those. */
static int length_in_pixels(const xml_attribute *a)
{
    static const struct { const char *unit; double pixels; } units[] = {
        {"in", 96.0}, {"cm", 96.0 / 2.54}, {"mm", 96.0 / 25.4}, {"pt", 96.0 / 72.0}, {"pc", 16.0}, {"px", 1.0},
    };
    double value = 0, scale = 1;
    size_t i = 0, k;
    int point = 0;
    if (!a)
        return 0;
    for (; i < a->value_length && ((a->value[i] >= '0' && a->value[i] <= '9') || a->value[i] == '.'); ++i) {
        if (a->value[i] == '.') {
            point = 1;
        } else if (value < 1e6) {
            value = value * 10 + (a->value[i] - '0');
            if (point)
                scale *= 10;
        }
    }
    for (k = 0; k < sizeof units / sizeof *units; ++k)
        if (a->value_length - i == 2 && memcmp(a->value + i, units[k].unit, 2) == 0)
            return (int)(value / scale * units[k].pixels + 0.5);
    return 0;
}

/* ---- reading the styles ---- */

/* The properties of text a style gives, and those it takes away. */
static void read_text_properties(odt_reader *r, odt_style *s, const xml_event *e)
{
    int i;
    for (i = 0; i < e->attribute_count; ++i) {
        const xml_attribute *p = &e->attributes[i];
        int node = NODE_NONE, on = 1;
#define VALUE_IS(text) (p->value_length == sizeof text - 1 && memcmp(p->value, text, sizeof text - 1) == 0)
        if (p->ns == ODT_FO && p->name_length == 11 && memcmp(p->name, "font-weight", 11) == 0) {
            node = NODE_B;
            on = VALUE_IS("bold") || (p->value[0] >= '6' && p->value[0] <= '9' && p->value_length == 3);
        } else if (p->ns == ODT_FO && p->name_length == 10 && memcmp(p->name, "font-style", 10) == 0) {
            node = NODE_I;
            on = VALUE_IS("italic") || VALUE_IS("oblique");
        } else if (p->ns == ODT_STYLE && p->name_length == 20 && memcmp(p->name, "text-underline-style", 20) == 0) {
            node = NODE_U;
            on = !VALUE_IS("none");
        } else if (p->ns == ODT_STYLE && p->name_length == 23 &&
                   memcmp(p->name, "text-line-through-style", 23) == 0) {
            node = NODE_S;
            on = !VALUE_IS("none");
        } else if (p->ns == ODT_FO && p->name_length == 12 && memcmp(p->name, "font-variant", 12) == 0) {
            node = NODE_SC;
            on = VALUE_IS("small-caps");
        } else if (p->ns == ODT_STYLE && p->name_length == 13 && memcmp(p->name, "text-position", 13) == 0) {
            const int sub = p->value_length && (p->value[0] == '-' || (p->value_length >= 3 && memcmp(p->value, "sub", 3) == 0));
            const int none = p->value_length >= 2 && p->value[0] == '0' && (p->value[1] == '%' || p->value[1] == ' ');
            s->marks_off |= INLINE_BIT(NODE_SUP) | INLINE_BIT(NODE_SUB);
            s->marks_on &= ~(INLINE_BIT(NODE_SUP) | INLINE_BIT(NODE_SUB));
            if (!none && p->value_length)
                s->marks_on |= INLINE_BIT(sub ? NODE_SUB : NODE_SUP);
        } else if (p->ns == ODT_TEXT && p->name_length == 7 && memcmp(p->name, "display", 7) == 0) {
            s->hidden = VALUE_IS("none");
        } else if (p->ns == ODT_STYLE && p->name_length == 9 && memcmp(p->name, "font-name", 9) == 0) {
            const odt_style *face = find_style(r, FAMILY_FONT, p->value, p->value_length);
            s->fixed_font = fixed_font_name(p->value, p->value_length) || (face && face->fixed_font == 1);
        }
#undef VALUE_IS
        if (node != NODE_NONE) {
            s->marks_on = on ? s->marks_on | INLINE_BIT(node) : s->marks_on & ~INLINE_BIT(node);
            s->marks_off = on ? s->marks_off & ~INLINE_BIT(node) : s->marks_off | INLINE_BIT(node);
        }
    }
}

typedef int (*start_handler)(odt_reader *r, const xml_event *e, open_element *o);
typedef void (*end_handler)(odt_reader *r, open_element *o);

static odt_style *current(odt_reader *r, int index)
{
    return index >= 0 && index < r->style_count ? &r->styles[index] : NULL;
}

/* style:style of the paragraph and text families; the others (tables,
 * frames, pages) say nothing the intermediate form holds. */
static int on_style(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *name = xml_attribute_of(e, ODT_STYLE, "name"),
                        *parent = xml_attribute_of(e, ODT_STYLE, "parent-style-name");
    const int family = attribute_is(e, ODT_STYLE, "family", "paragraph") ? FAMILY_PARAGRAPH
                       : attribute_is(e, ODT_STYLE, "family", "text")    ? FAMILY_TEXT
                                                                          : 0;
    odt_style *s;
    (void)o;
    r->current_style = -1;
    if (!family || !name || !(s = add_style(r, family, name->value, name->value_length)))
        return 1;
    r->current_style = r->style_count - 1;
    if (parent) {
        s->parent_at = r->names.size;
        s->parent_length = parent->value_length;
        put_bytes(&r->names, parent->value, parent->value_length);
    }
    s->outline = attribute_number(e, ODT_STYLE, "default-outline-level", -1);
    return 1;
}

static void end_style(odt_reader *r, open_element *o)
{
    (void)o;
    r->current_style = -1;
}

static int on_text_properties(odt_reader *r, const xml_event *e, open_element *o)
{
    odt_style *s = current(r, r->current_style);
    (void)o;
    if (s)
        read_text_properties(r, s, e);
    return 1;
}

/* A paragraph's alignment, which its cell takes.  "start", the default,
 * and "justify" say none. */
static int on_paragraph_properties(odt_reader *r, const xml_event *e, open_element *o)
{
    odt_style *s = current(r, r->current_style);
    (void)o;
    if (!s || !xml_attribute_of(e, ODT_FO, "text-align"))
        return 1;
    s->align = attribute_is(e, ODT_FO, "text-align", "center")                                       ? DOC_ALIGN_CENTER
               : attribute_is(e, ODT_FO, "text-align", "end") || attribute_is(e, ODT_FO, "text-align", "right") ? DOC_ALIGN_RIGHT
               : attribute_is(e, ODT_FO, "text-align", "left")                                       ? DOC_ALIGN_LEFT
                                                                                                      : 0;
    return 1;
}

static int on_font_face(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *name = xml_attribute_of(e, ODT_STYLE, "name"), *family = xml_attribute_of(e, ODT_SVG, "font-family");
    odt_style *s = name ? add_style(r, FAMILY_FONT, name->value, name->value_length) : NULL;
    (void)o;
    if (s)
        s->fixed_font = attribute_is(e, ODT_STYLE, "font-pitch", "fixed") ||
                        fixed_font_name(name->value, name->value_length) ||
                        (family && fixed_font_name(family->value, family->value_length));
    return 1;
}

static int on_list_style(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *name = xml_attribute_of(e, ODT_STYLE, "name");
    odt_style *s = name ? add_style(r, FAMILY_LIST, name->value, name->value_length) : NULL;
    int i;
    (void)o;
    r->current_list = -1;
    if (!s)
        return 1;
    for (i = 0; i < LIST_LEVELS; ++i) {
        list_level *grown = (list_level *)room_for_one(r->levels, r->level_count, &r->level_capacity, 64,
                                                       sizeof *r->levels);
        if (!grown)
            return refusal_set(REFUSAL_OUT_OF_MEMORY), 1;
        r->levels = grown;
        r->levels[r->level_count].numbered = 0;
        r->levels[r->level_count].style = LIST_DECIMAL;
        r->levels[r->level_count++].start = 1;
        if (i == 0)
            s->levels = r->level_count - 1;
    }
    r->current_list = r->style_count - 1;
    return 1;
}

static void end_list_style(odt_reader *r, open_element *o)
{
    (void)o;
    r->current_list = -1;
}

/* The numbering formats of ODF (style:num-format), as the form names them. */
static int numbering_style(const xml_attribute *format)
{
    if (!format || format->value_length != 1)
        return LIST_DECIMAL;
    switch (format->value[0]) {
    case 'a': return LIST_LOWER_ALPHA;
    case 'A': return LIST_UPPER_ALPHA;
    case 'i': return LIST_LOWER_ROMAN;
    case 'I': return LIST_UPPER_ROMAN;
    default: return LIST_DECIMAL;
    }
}

/* text:list-level-style-number, -bullet and -image. */
static int on_list_level(odt_reader *r, const xml_event *e, open_element *o)
{
    const odt_style *s = current(r, r->current_list);
    const int level = attribute_number(e, ODT_TEXT, "level", 0);
    const xml_attribute *format = xml_attribute_of(e, ODT_STYLE, "num-format");
    list_level *l;
    (void)o;
    if (!s || s->levels < 0 || level < 1 || level > LIST_LEVELS)
        return 1;
    l = &r->levels[s->levels + level - 1];
    l->numbered = memcmp(e->name + e->name_length - 6, "number", 6) == 0 && format && format->value_length > 0;
    l->style = numbering_style(format);
    l->start = attribute_number(e, ODT_TEXT, "start-value", 1);
    return 1;
}

static int on_automatic_styles(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    r->in_automatic = 1;
    return 1;
}

static void end_automatic_styles(odt_reader *r, open_element *o)
{
    (void)o;
    r->in_automatic = 0;
}

/* Elements whose content is no part of the text: passed over whole. */
static int on_skipped(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    xml_skip(&r->xml);
    return 0;
}

/* ---- flows, and blocks in them ---- */

/* The code block, quote or definition list left open by the paragraphs
 * before, closed unless the next block is of its kind. */
static void settle(odt_reader *r, int keep)
{
    flow *f = r->flow;
    if (f->code_open && keep != KIND_CODE) {
        doc_end_block(r->out, NODE_CODE);
        f->code_open = 0;
    }
    if (f->quote_open && keep != KIND_QUOTE) {
        doc_end_container(r->out, NODE_QUOTE);
        f->quote_open = 0;
    }
    if (f->definitions_open && keep != KIND_TERM && keep != KIND_DEFINITION) {
        doc_end_container(r->out, NODE_DL);
        f->definitions_open = 0;
    }
}

static void push_flow(odt_reader *r, open_element *o, int in_cell)
{
    if (r->flow_depth + 1 >= FLOW_MOST)
        return;
    r->flow = &r->flows[++r->flow_depth];
    memset(r->flow, 0, sizeof *r->flow);
    r->flow->in_cell = in_cell;
    o->flags |= OPEN_FLOW;
}

static void pop_flow(odt_reader *r, open_element *o)
{
    settle(r, -1);
    if (!(o->flags & OPEN_FLOW))
        return;
    r->flow = &r->flows[--r->flow_depth];
}

/* The cell of this flow, opened by its first block (aligned as that
 * paragraph is) or by its end. */
static void open_pending_cell(odt_reader *r, int align)
{
    flow *f = r->flow;
    if (!f->cell_pending)
        return;
    f->cell_pending = 0;
    if (align)
        doc_block_context(r->out, 0, (unsigned)align);
    doc_cell(r->out, f->cell_header);
}

/* Where a block about to open stands: in the list item it continues, in
 * the open table cell (which from then on holds blocks), or where it is. */
static void place_block(odt_reader *r, int node)
{
    const flow *f = r->flow;
    const doc_builder *b = r->out;
    const int cell_holds_blocks = b->depth > 0 && b->containers[b->depth - 1] == NODE_CELL;
    if (f->item_level)
        doc_block_context(r->out, f->item_level, 0);
    else if (f->in_cell && node == NODE_P && cell_holds_blocks)
        doc_block_context(r->out, -1, 0); /* a paragraph of its own, not more of an item before it */
    else if (f->in_cell && node != NODE_P)
        doc_block_context(r->out, 0, DOC_IN_CELL);
}

/* A list item's first paragraph: the item, numbered as its list counts. */
static void open_item(odt_reader *r)
{
    flow *f = r->flow;
    const unsigned flags = (r->new_list ? DOC_NEW_LIST : 0) | (f->in_cell && r->out->leaf == NODE_CELL ? DOC_IN_CELL : 0);
    doc_block_context(r->out, 0, flags);
    doc_list_style(r->out, f->pending_style, NULL, 0);
    doc_block(r->out, NODE_LI, f->pending_level, f->pending_number, NULL);
    f->item_pending = 0;
    f->item_level = f->pending_level;
    f->after_item = 1;
    r->new_list = 0;
}

/* The marks of a style opened, and remembered to be closed. */
/* The marks of a style opened, and those it takes away from the text
 * around it (a span of normal weight in a bold one) ended, each
 * remembered to be undone at the element's end. */
static void open_marks(odt_reader *r, open_element *o, unsigned marks, unsigned unset)
{
    int i;
    unset &= r->active_marks;
    for (i = MARK_COUNT - 1; i >= 0; --i)
        if (unset & INLINE_BIT(style_marks[i]))
            doc_set(r->out, style_marks[i], 0);
    for (i = 0; i < MARK_COUNT; ++i)
        if (marks & INLINE_BIT(style_marks[i]))
            doc_set(r->out, style_marks[i], 1);
    o->marks = (unsigned short)marks;
    o->unset = (unsigned short)unset;
    r->active_marks = (r->active_marks & ~unset) | marks;
}

static void close_marks(odt_reader *r, open_element *o)
{
    int i;
    for (i = MARK_COUNT - 1; i >= 0; --i)
        if (o->marks & INLINE_BIT(style_marks[i]))
            doc_set(r->out, style_marks[i], 0);
    for (i = 0; i < MARK_COUNT; ++i)
        if (o->unset & INLINE_BIT(style_marks[i]))
            doc_set(r->out, style_marks[i], 1);
    r->active_marks = (r->active_marks & ~o->marks) | o->unset;
    o->marks = o->unset = 0;
}

/* A paragraph of a kind that runs on from the one before (code, a quote,
 * a definition) opens here. */
static void open_run_on_block(odt_reader *r, int kind)
{
    flow *f = r->flow;
    switch (kind) {
    case KIND_CODE:
        if (f->code_open) {
            doc_text(r->out, "\n", 1);
            return;
        }
        place_block(r, NODE_CODE);
        doc_block(r->out, NODE_CODE, 0, 0, NULL);
        f->code_open = 1;
        return;
    case KIND_QUOTE:
        if (!f->quote_open) {
            place_block(r, NODE_QUOTE);
            doc_container(r->out, NODE_QUOTE);
            f->quote_open = 1;
        }
        doc_block(r->out, NODE_P, 0, 0, NULL);
        return;
    case KIND_TERM:
        doc_block(r->out, NODE_DT, 0, 0, NULL);
        f->definitions_open = 1;
        return;
    case KIND_DEFINITION:
        doc_container(r->out, NODE_DD);
        doc_block(r->out, NODE_P, 0, 0, NULL);
        f->definitions_open = 1;
        return;
    case KIND_HTML:
        place_block(r, NODE_HTML);
        doc_block(r->out, NODE_HTML, 0, 0, NULL);
        return;
    case KIND_RULE: /* a rule, and a paragraph for any words it holds */
        place_block(r, NODE_HR);
        doc_hr(r->out);
        place_block(r, NODE_P);
        doc_block(r->out, NODE_P, 0, 0, NULL);
        return;
    }
}

/* text:p and text:h: a heading by its outline level or its style's, an
 * item's first paragraph, code, a quote, a term or definition, or a
 * paragraph; in a paragraph already (a text box's), a line of it. */
static int on_paragraph(odt_reader *r, const xml_event *e, open_element *o)
{
    flow *f = r->flow;
    const odt_style *s = style_named(r, e, FAMILY_PARAGRAPH, ODT_TEXT, "style-name");
    const int heading = e->name_length == 1 && e->name[0] == 'h';
    const int level = heading ? attribute_number(e, ODT_TEXT, "outline-level", s && s->outline_r > 0 ? s->outline_r : 1)
                              : s ? s->outline_r : 0;
    const int kind = s && !level && !f->item_pending ? s->kind_r : KIND_PARAGRAPH;
    if (f->para_depth == 0)
        open_pending_cell(r, s ? s->align_r : 0);
    if (f->para_depth++ > 0) {
        if (r->out->leaf_has_text)
            doc_br(r->out);
        f->after_space = 0;
        f->line_start = 1;
        o->flags |= OPEN_INLINE_PARAGRAPH;
        return 1;
    }
    f->line_start = 1;
    f->after_space = 0;
    settle(r, kind);
    if (level > 0) {
        f->item_pending = 0;
        place_block(r, NODE_H);
        doc_block(r->out, NODE_H, level, 0, NULL);
        f->after_item = 0;
        o->node = NODE_H;
    } else if (f->item_pending) {
        open_item(r);
        o->node = NODE_LI;
    } else if (kind != KIND_PARAGRAPH) {
        open_run_on_block(r, kind);
        f->after_item = 0;
        o->node = kind == KIND_TERM ? NODE_DT : kind == KIND_HTML ? NODE_HTML : NODE_P;
    } else {
        place_block(r, NODE_P);
        doc_block(r->out, NODE_P, 0, 0, NULL);
        f->after_item = 0;
        o->node = NODE_P;
    }
    if (s && s->automatic && kind != KIND_CODE && kind != KIND_HTML)
        open_marks(r, o, s->marks_on & ~INLINE_BIT(NODE_C), 0); /* the paragraph's own marks; its named style's are its look */
    return 1;
}

static void end_paragraph(odt_reader *r, open_element *o)
{
    flow *f = r->flow;
    close_marks(r, o);
    if (f->para_depth > 0)
        --f->para_depth;
    if (o->flags & OPEN_INLINE_PARAGRAPH)
        return;
    if (f->code_open)
        return; /* the next paragraph of code continues it */
    doc_end_block(r->out, o->node);
    if (f->definitions_open && r->out->depth && r->out->containers[r->out->depth - 1] == NODE_DD)
        doc_end_container(r->out, NODE_DD);
}

/* ---- text ---- */

/* Something other than white space was written: white space after it
 * is a space again. */
static void after_content(odt_reader *r)
{
    r->flow->line_start = 0;
    r->flow->after_space = 0;
}

/* Text in a paragraph, each run of white space one space, none at the
 * paragraph's start nor right after another (the spaces beyond one are
 * text:s), as LibreOffice reads them: a space ends a span where it
 * stands in it, and one at the paragraph's end is kept. */
static void on_text(odt_reader *r, const char *s, size_t n)
{
    flow *f = r->flow;
    size_t i = 0;
    if (r->capture) {
        put_bytes(r->capture, s, n);
        return;
    }
    if (f->para_depth == 0)
        return;
    while (i < n) {
        size_t start = i;
        while (i < n && !is_white_space((unsigned char)s[i]))
            ++i;
        if (i > start) {
            doc_text(r->out, s + start, i - start);
            after_content(r);
        }
        if (i < n) {
            while (i < n && is_white_space((unsigned char)s[i]))
                ++i;
            if (!f->line_start && !f->after_space)
                doc_text(r->out, " ", 1);
            f->after_space = 1;
        }
    }
}

/* text:s, its count of spaces within what the document may expand into. */
static int on_spaces(odt_reader *r, const xml_event *e, open_element *o)
{
    static const char spaces[] = "                                ";
    int count = attribute_number(e, ODT_TEXT, "c", 1);
    (void)o;
    if (r->flow->para_depth == 0)
        return 1;
    after_content(r);
    if (count < 1 || !doc_spend(&r->b.expansion_left, (size_t)count))
        count = 1;
    if (r->capture) {
        while (count-- > 0)
            put_byte(r->capture, ' ');
        return 1;
    }
    while (count > 0) {
        const int piece = count < 32 ? count : 32;
        doc_text(r->out, spaces, (size_t)piece);
        count -= piece;
    }
    return 1;
}

static int on_tab(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    if (r->flow->para_depth == 0)
        return 1;
    after_content(r);
    doc_text(r->out, "\t", 1);
    return 1;
}

static int on_line_break(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    if (r->flow->para_depth == 0)
        return 1;
    after_content(r);
    if (r->capture)
        put_byte(r->capture, '\n');
    else if (doc_in_code(r->out) || r->out->leaf == NODE_HTML)
        doc_text(r->out, "\n", 1);
    else
        doc_br(r->out);
    return 1;
}

/* text:span: the marks its style gives; hidden text is left out. */
static int on_span(odt_reader *r, const xml_event *e, open_element *o)
{
    const odt_style *s = style_named(r, e, FAMILY_TEXT, ODT_TEXT, "style-name");
    if (!s)
        return 1;
    if (s->hidden_r)
        return on_skipped(r, e, o);
    if (s->kind_r == KIND_HTML && !r->capture) {
        r->raw.size = 0;
        r->capture = &r->raw;
        o->flags |= OPEN_RAW;
        return 1;
    }
    if (!doc_in_code(r->out))
        open_marks(r, o, s->marks & ~r->active_marks, s->marks_off_r);
    return 1;
}

static void end_marks(odt_reader *r, open_element *o)
{
    if (o->flags & OPEN_RAW) {
        r->capture = NULL;
        doc_raw(r->out, (const char *)r->raw.data, r->raw.size);
        after_content(r);
    }
    close_marks(r, o);
}

/* An address relative to the package (which ODF takes for a folder
 * beside the document) as one relative to the document: "../x.png" is
 * x.png beside it. */
static size_t document_relative(const char *s, size_t n)
{
    return n > 3 && memcmp(s, "../", 3) == 0 ? 3 : 0;
}

/* text:a and draw:a. */
static int on_link(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *href = xml_attribute_of(e, ODT_XLINK, "href");
    const xml_attribute *title = xml_attribute_of(e, ODT_OFFICE, "title");
    size_t up;
    if (!href)
        return 1;
    if (title)
        doc_link_title(r->out, title->value, title->value_length);
    up = document_relative(href->value, href->value_length);
    doc_link(r->out, href->value + up, href->value_length - up);
    o->flags |= OPEN_LINK;
    return 1;
}

static void end_link(odt_reader *r, open_element *o)
{
    if (o->flags & OPEN_LINK)
        doc_link(r->out, NULL, 0);
}

/* ---- lists ---- */

/* text:list: one level deeper, in its own list style or its outer one's;
 * numbering begins again unless it continues a list before it. */
static int on_list(odt_reader *r, const xml_event *e, open_element *o)
{
    flow *f = r->flow;
    const xml_attribute *name = xml_attribute_of(e, ODT_TEXT, "style-name");
    const odt_style *s = name ? find_style(r, FAMILY_LIST, name->value, name->value_length) : NULL;
    const int continues = attribute_is(e, ODT_TEXT, "continue-numbering", "true") ||
                          xml_attribute_of(e, ODT_TEXT, "continue-list") != NULL;
    const int depth = f->list_depth < LIST_LEVELS ? f->list_depth + 1 : LIST_LEVELS;
    (void)o;
    open_pending_cell(r, 0);
    if (f->list_depth == 0) {
        settle(r, -1);
        r->new_list = f->after_item && !continues;
    }
    f->list_styles[depth] = s && s->levels >= 0 ? s->levels : depth > 1 ? f->list_styles[depth - 1] : -1;
    if (!continues)
        r->restart[depth] = 1;
    ++f->list_depth;
    return 1;
}

static void end_list(odt_reader *r, open_element *o)
{
    flow *f = r->flow;
    (void)o;
    if (f->list_depth > 0)
        --f->list_depth;
    if (f->list_depth == 0)
        f->item_level = 0;
}

/* text:list-item and text:list-header: an item of the open level, numbered
 * when its level's style numbers it; it opens with its first paragraph. */
/* An item at a level, numbered where its level style numbers it (from
 * its own start value, else on from the item before at that level); it
 * opens with its first paragraph. */
static void expect_item(odt_reader *r, const xml_event *e, int level, const list_level *l)
{
    flow *f = r->flow;
    int deeper;
    settle(r, -1);
    f->pending_level = level;
    f->pending_style = l && l->numbered ? l->style : LIST_DECIMAL;
    if (!l || !l->numbered) {
        f->pending_number = DOC_BULLET;
    } else {
        const int start = attribute_number(e, ODT_TEXT, "start-value", -1);
        r->counters[level] = start >= 0 ? start : r->restart[level] ? l->start : r->counters[level] + 1;
        r->restart[level] = 0;
        f->pending_number = r->counters[level];
    }
    for (deeper = level + 1; deeper <= LIST_LEVELS; ++deeper)
        r->restart[deeper] = 1; /* the levels below count again under each item */
    f->item_pending = 1;
    f->item_level = level - 1;
}

/* text:list-item: an item of the open level. */
static int on_item(odt_reader *r, const xml_event *e, open_element *o)
{
    const flow *f = r->flow;
    const int level = f->list_depth < 1 ? 1 : f->list_depth > LIST_LEVELS ? LIST_LEVELS : f->list_depth;
    const int first = f->list_styles[level];
    (void)o;
    expect_item(r, e, level, first >= 0 ? &r->levels[first + level - 1] : NULL);
    return 1;
}

/* text:list-header: the list's heading line, unnumbered, no item of it; its
 * paragraphs continue the item the list stands in, if any. */
static int on_list_header(odt_reader *r, const xml_event *e, open_element *o)
{
    flow *f = r->flow;
    (void)e, (void)o;
    settle(r, -1);
    f->item_pending = 0;
    f->item_level = f->list_depth > 1 ? f->list_depth - 1 : 0;
    return 1;
}

/* text:numbered-paragraph: an item without a list around it, at the level
 * and in the list style it names. */
static int on_numbered_paragraph(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *name = xml_attribute_of(e, ODT_TEXT, "style-name");
    const odt_style *s = name ? find_style(r, FAMILY_LIST, name->value, name->value_length) : NULL;
    int level = attribute_number(e, ODT_TEXT, "level", 1);
    (void)o;
    level = level < 1 ? 1 : level > LIST_LEVELS ? LIST_LEVELS : level;
    if (r->flow->list_depth == 0 && !r->flow->after_item)
        r->restart[level] = 1;
    expect_item(r, e, level, s && s->levels >= 0 ? &r->levels[s->levels + level - 1] : NULL);
    return 1;
}

static void end_numbered_paragraph(odt_reader *r, open_element *o)
{
    (void)o;
    settle(r, -1);
    r->flow->item_pending = 0;
    r->flow->item_level = 0;
}

static void end_item(odt_reader *r, open_element *o)
{
    flow *f = r->flow;
    (void)o;
    settle(r, -1);
    f->item_pending = 0;
    f->item_level = f->list_depth > 1 ? f->list_depth - 1 : 0;
}

/* ---- tables ---- */

static int on_table(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    open_pending_cell(r, 0);
    settle(r, -1);
    r->flow->item_pending = 0;
    place_block(r, NODE_TABLE);
    doc_container(r->out, NODE_TABLE);
    r->flow->after_item = 0;
    return 1;
}

static void end_table(odt_reader *r, open_element *o)
{
    (void)o;
    doc_end_container(r->out, NODE_TABLE);
}

static int on_header_rows(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e;
    ++r->header_rows;
    o->flags |= OPEN_OWNER;
    return 1;
}

static void end_header_rows(odt_reader *r, open_element *o)
{
    if ((o->flags & OPEN_OWNER) && r->header_rows > 0)
        --r->header_rows;
}

static int on_row(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    doc_container(r->out, NODE_ROW);
    return 1;
}

static void end_row(odt_reader *r, open_element *o)
{
    (void)o;
    doc_end_container(r->out, NODE_ROW);
}

/* table:table-cell: a cell, with a flow of its own; the copies that
 * table:number-columns-repeated asks for follow it empty. */
static int on_cell(odt_reader *r, const xml_event *e, open_element *o)
{
    const int repeated = attribute_number(e, ODT_TABLE, "number-columns-repeated", 1);
    o->repeat = (unsigned short)(repeated > 1 && repeated <= REPEATED_CELLS_MOST ? repeated - 1 : 0);
    push_flow(r, o, 1);
    if (o->flags & OPEN_FLOW) {
        r->flow->cell_pending = 1;
        r->flow->cell_header = r->header_rows > 0;
    } else {
        doc_cell(r->out, r->header_rows > 0);
    }
    return 1;
}

static void end_cell(odt_reader *r, open_element *o)
{
    int i;
    open_pending_cell(r, 0);
    pop_flow(r, o);
    for (i = 0; i < o->repeat && doc_spend(&r->b.expansion_left, DOC_EMPTY_CELL_COST); ++i)
        doc_cell(r->out, r->header_rows > 0);
}

/* ---- notes ---- */

static int on_note(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *id = xml_attribute_of(e, ODT_TEXT, "id");
    (void)o;
    r->note_id.size = 0;
    if (id)
        put_bytes(&r->note_id, id->value, id->value_length);
    return 1;
}

/* A note's body: its reference where the note stands, its blocks after
 * the document.  A note in a note is read as its text. */
static int on_note_body(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e;
    if (r->in_note)
        return 1;
    after_content(r);
    if (!r->note_id.size)
        put_number(&r->note_id, (long)r->b.out.size); /* an id of its own */
    doc_footnote(r->out, (const char *)r->note_id.data, r->note_id.size);
    push_flow(r, o, 0);
    r->out = doc_note_begin(&r->b, (const char *)r->note_id.data, r->note_id.size);
    r->in_note = 1;
    r->body_marks = r->active_marks;
    r->active_marks = 0;
    o->flags |= OPEN_OWNER;
    return 1;
}

static void end_note_body(odt_reader *r, open_element *o)
{
    if (!(o->flags & OPEN_OWNER))
        return;
    pop_flow(r, o);
    if (r->out != &r->b)
        doc_note_end(r->out);
    r->out = &r->b;
    r->in_note = 0;
    r->active_marks = r->body_marks;
}

/* ---- frames and pictures ---- */

/* Media types of pictures by their names' endings, where the frame does
 * not give one. */
typedef struct picture_kind {
    const char *ending, *media_type;
} picture_kind;
static const picture_kind picture_kinds[] = {
    {".bmp", "image/bmp"}, {".gif", "image/gif"},   {".jpeg", "image/jpeg"}, {".jpg", "image/jpeg"},
    {".png", "image/png"}, {".svg", "image/svg+xml"}, {".tif", "image/tiff"}, {".tiff", "image/tiff"},
    {".webp", "image/webp"},
};

static const char *media_type_of(const buffer *name)
{
    size_t k, i;
    for (k = 0; k < sizeof picture_kinds / sizeof *picture_kinds; ++k) {
        const size_t m = strlen(picture_kinds[k].ending);
        if (name->size < m)
            continue;
        for (i = 0; i < m && ascii_lower(name->data[name->size - m + i]) == picture_kinds[k].ending[i]; ++i)
            ;
        if (i == m)
            return picture_kinds[k].media_type;
    }
    return "application/octet-stream";
}

static int on_frame(odt_reader *r, const xml_event *e, open_element *o)
{
    frame_state *f = &r->frame;
    (void)o;
    if (f->open)
        return 1; /* a frame in a frame: its picture is the outer one's */
    open_pending_cell(r, 0);
    f->open = 1;
    f->href.size = f->title.size = f->description.size = f->data.size = f->media_type.size = 0;
    f->width = length_in_pixels(xml_attribute_of(e, ODT_SVG, "width"));
    f->height = length_in_pixels(xml_attribute_of(e, ODT_SVG, "height"));
    o->flags |= OPEN_OWNER;
    return 1;
}

static int on_image(odt_reader *r, const xml_event *e, open_element *o)
{
    const xml_attribute *href = xml_attribute_of(e, ODT_XLINK, "href"),
                        *type = xml_attribute_of(e, ODT_DRAW, "mime-type");
    (void)o;
    if (!r->frame.open || r->frame.href.size || r->frame.data.size)
        return 1; /* a frame's first picture stands for it (the others are its replacements) */
    if (href)
        put_bytes(&r->frame.href, href->value, href->value_length);
    if (type)
        put_bytes(&r->frame.media_type, type->value, type->value_length);
    return 1;
}

/* office:binary-data, a flat document's picture: its base64. */
static int on_binary_data(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)e, (void)o;
    if (r->frame.open && !r->frame.href.size && !r->frame.data.size) {
        r->scratch.size = 0;
        r->capture = &r->scratch;
    }
    return 1;
}

static void end_binary_data(odt_reader *r, open_element *o)
{
    (void)o;
    if (r->capture != &r->scratch)
        return;
    r->capture = NULL;
    decode_base64(&r->frame.data, r->scratch.data, r->scratch.size);
}

/* svg:title and svg:desc: the frame's title and alternative text. */
static int on_frame_text(odt_reader *r, const xml_event *e, open_element *o)
{
    (void)o;
    if (r->frame.open && !r->capture)
        r->capture = e->name[0] == 't' ? &r->frame.title : &r->frame.description;
    return 1;
}

static void end_frame_text(odt_reader *r, open_element *o)
{
    (void)o;
    if (r->capture != &r->scratch)
        r->capture = NULL;
}

/* A picture's data from the package, NULL where it holds none of that name. */
static const unsigned char *package_picture(odt_reader *r, size_t *size)
{
    const zip_entry *entry;
    buffer *name = &r->scratch;
    name->size = 0;
    put_bytes(name, r->frame.href.data, r->frame.href.size);
    if (name->size >= 2 && name->data[0] == '.' && name->data[1] == '/')
        memmove(name->data, name->data + 2, name->size -= 2);
    put_byte(name, '\0');
    if (!r->packaged || name->failed || !(entry = zip_find(&r->zip, (const char *)name->data)))
        return NULL;
    r->frame.data.size = 0;
    if (!zip_read(&r->zip, entry, &r->frame.data))
        return NULL;
    *size = r->frame.data.size;
    return r->frame.data.data;
}

/* The frame's picture, with its data where the package holds it, else as
 * a picture at its address. */
static void end_frame(odt_reader *r, open_element *o)
{
    frame_state *f = &r->frame;
    const buffer *alt = f->description.size ? &f->description : &f->title;
    const char *title = f->description.size ? (const char *)f->title.data : NULL;
    const size_t title_length = f->description.size ? f->title.size : 0;
    const unsigned char *data = f->data.size ? f->data.data : NULL;
    size_t size = f->data.size;
    if (!(o->flags & OPEN_OWNER))
        return;
    f->open = 0;
    if (!f->href.size && !data)
        return;
    if (!data && memchr(f->href.data, ':', f->href.size) == NULL)
        data = package_picture(r, &size);
    if (data) {
        put_byte(&f->media_type, '\0');
        doc_picture(r->out, NULL, 0, title, title_length, (const char *)alt->data, alt->size,
                    f->media_type.size > 1 ? (const char *)f->media_type.data : media_type_of(&f->href), data, size,
                    f->width, f->height);
    } else {
        const size_t up = document_relative((const char *)f->href.data, f->href.size);
        doc_image(r->out, (const char *)f->href.data + up, f->href.size - up, title, title_length,
                  (const char *)alt->data, alt->size);
    }
    after_content(r);
}

/* ---- the walk ---- */

/* The handler of each element, by its prefix as odt.h names its namespace
 * and its local name, sorted by that key. */
typedef struct element_handler {
    const char *key;
    start_handler start;
    end_handler end;
} element_handler;
static const element_handler handlers[] = {
    {"draw:a", on_link, end_link},
    {"draw:frame", on_frame, end_frame},
    {"draw:image", on_image, NULL},
    {"office:annotation", on_skipped, NULL},
    {"office:automatic-styles", on_automatic_styles, end_automatic_styles},
    {"office:binary-data", on_binary_data, end_binary_data},
    {"office:forms", on_skipped, NULL},
    {"office:master-styles", on_skipped, NULL},
    {"office:scripts", on_skipped, NULL},
    {"style:font-face", on_font_face, NULL},
    {"style:paragraph-properties", on_paragraph_properties, NULL},
    {"style:style", on_style, end_style},
    {"style:text-properties", on_text_properties, NULL},
    {"svg:desc", on_frame_text, end_frame_text},
    {"svg:title", on_frame_text, end_frame_text},
    {"table:covered-table-cell", on_skipped, NULL},
    {"table:table", on_table, end_table},
    {"table:table-cell", on_cell, end_cell},
    {"table:table-header-rows", on_header_rows, end_header_rows},
    {"table:table-row", on_row, end_row},
    {"text:a", on_link, end_link},
    {"text:alphabetical-index-source", on_skipped, NULL},
    {"text:bibliography-source", on_skipped, NULL},
    {"text:h", on_paragraph, end_paragraph},
    {"text:hidden-paragraph", on_skipped, NULL},
    {"text:hidden-text", on_skipped, NULL},
    {"text:illustration-index-source", on_skipped, NULL},
    {"text:line-break", on_line_break, NULL},
    {"text:list", on_list, end_list},
    {"text:list-header", on_list_header, end_item},
    {"text:list-item", on_item, end_item},
    {"text:list-level-style-bullet", on_list_level, NULL},
    {"text:list-level-style-image", on_list_level, NULL},
    {"text:list-level-style-number", on_list_level, NULL},
    {"text:list-style", on_list_style, end_list_style},
    {"text:note", on_note, NULL},
    {"text:note-body", on_note_body, end_note_body},
    {"text:note-citation", on_skipped, NULL},
    {"text:numbered-paragraph", on_numbered_paragraph, end_numbered_paragraph},
    {"text:object-index-source", on_skipped, NULL},
    {"text:p", on_paragraph, end_paragraph},
    {"text:s", on_spaces, NULL},
    {"text:sequence-decls", on_skipped, NULL},
    {"text:span", on_span, end_marks},
    {"text:tab", on_tab, NULL},
    {"text:table-index-source", on_skipped, NULL},
    {"text:table-of-content-source", on_skipped, NULL},
    {"text:tracked-changes", on_skipped, NULL},
    {"text:user-index-source", on_skipped, NULL},
    {"text:variable-decls", on_skipped, NULL},};
#define HANDLER_COUNT (sizeof handlers / sizeof *handlers)

static const element_handler *handler_of(const xml_event *e)
{
    char key[64];
    size_t prefix;
    if (e->ns < 0 || e->ns >= ODT_NAMESPACE_COUNT)
        return NULL;
    prefix = strlen(odt_prefixes[e->ns]);
    if (prefix + 1 + e->name_length >= sizeof key)
        return NULL;
    memcpy(key, odt_prefixes[e->ns], prefix);
    key[prefix] = ':';
    memcpy(key + prefix + 1, e->name, e->name_length);
    key[prefix + 1 + e->name_length] = '\0';
    return (const element_handler *)find_named(handlers, HANDLER_COUNT, sizeof *handlers, key);
}

static void start_element(odt_reader *r, const xml_event *e)
{
    open_element *o = &r->open[e->depth <= XML_DEPTH_MOST ? e->depth : XML_DEPTH_MOST + 1];
    const element_handler *h = handler_of(e);
    memset(o, 0, sizeof *o);
    if (h && h->start(r, e, o))
        o->handler = (unsigned char)(h - handlers + 1);
}

static void end_element(odt_reader *r, const xml_event *e)
{
    open_element *o = &r->open[e->depth <= XML_DEPTH_MOST ? e->depth : XML_DEPTH_MOST + 1];
    if (o->handler && handlers[o->handler - 1].end)
        handlers[o->handler - 1].end(r, o);
    o->handler = 0;
}

/* One part, walked once; 0 (with the XML reader's reason) where it is not
 * well formed. */
static int read_part(odt_reader *r, const unsigned char *s, size_t n, const char *part_name)
{
    xml_event *e = &r->event;
    int kind;
    xml_begin(&r->xml, s, n, part_name, odt_uris, NULL, ODT_NAMESPACE_COUNT);
    while ((kind = xml_next(&r->xml, e)) != XML_END_OF_INPUT && kind != XML_FAILED) {
        if (kind == XML_TEXT)
            on_text(r, e->text, e->text_length);
        else if (kind == XML_START)
            start_element(r, e);
        else
            end_element(r, e);
    }
    xml_end(&r->xml);
    r->capture = NULL;
    return kind != XML_FAILED;
}

/* ---- the package ---- */

/* Whether the manifest says a part is encrypted. */
static int manifest_encrypted(odt_reader *r, const buffer *manifest)
{
    xml_event *e = &r->event;
    int kind, encrypted = 0;
    xml_begin(&r->xml, manifest->data, manifest->size, "META-INF/manifest.xml", odt_uris, NULL, ODT_NAMESPACE_COUNT);
    while (!encrypted && (kind = xml_next(&r->xml, e)) != XML_END_OF_INPUT && kind != XML_FAILED)
        encrypted = kind == XML_START && xml_is(e, ODT_MANIFEST, "encryption-data");
    xml_end(&r->xml);
    return encrypted;
}

/* The package's mimetype, shown in a refusal as far as it is printable. */
static int refuse_mimetype(const buffer *type)
{
    size_t n = 0;
    while (n < type->size && n < 80 && type->data[n] >= 0x20 && type->data[n] < 0x7F)
        ++n;
    return refusal_setf("It is not an OpenDocument text: its package says it holds %.*s.", (int)n,
                        (const char *)type->data);
}

/* A package of an OpenDocument text that is not encrypted and has its
 * content; 0 with the reason otherwise. */
static int check_package(odt_reader *r, buffer *part)
{
    const zip_entry *mimetype = zip_find(&r->zip, "mimetype"), *manifest = zip_find(&r->zip, "META-INF/manifest.xml");
    if (mimetype) {
        part->size = 0;
        if (!zip_read(&r->zip, mimetype, part))
            return 0;
        if (part->size < sizeof ODT_MIMETYPE - 1 || memcmp(part->data, ODT_MIMETYPE, sizeof ODT_MIMETYPE - 1) != 0)
            return refuse_mimetype(part);
    }
    if (manifest) {
        part->size = 0;
        if (!zip_read(&r->zip, manifest, part))
            return 0;
        if (manifest_encrypted(r, part))
            return refusal_set("It is an encrypted OpenDocument text: it can be read once the program that wrote it "
                               "saves it without its password.");
    }
    if (!zip_find(&r->zip, "content.xml"))
        return refusal_set("It is not a whole OpenDocument text: its package has no content.xml.");
    return 1;
}

/* styles.xml (where the package has it), then content.xml. */
static int read_package(odt_reader *r, const buffer *raw, FILE *out, const char *found)
{
    buffer part = {0};
    const zip_entry *styles;
    int ok = zip_open(&r->zip, raw->data, raw->size, ODT_FORMAT_NAME) && (r->packaged = 1) && check_package(r, &part);
    if (ok && (styles = zip_find(&r->zip, "styles.xml")) != NULL) {
        part.size = 0;
        ok = zip_read(&r->zip, styles, &part) && read_part(r, part.data, part.size, "styles.xml");
    }
    if (ok) {
        part.size = 0;
        ok = zip_read(&r->zip, zip_find(&r->zip, "content.xml"), &part);
    }
    if (ok) {
        doc_begin_found(&r->b, out, found);
        r->b.expansion_left = doc_expansion_budget(raw->size);
        ok = read_part(r, part.data, part.size, "content.xml");
        ok = doc_finish(&r->b) == CONVERT_OK && ok;
    }
    free(part.data);
    return ok;
}

/* The flat form, one XML document: its styles come before its body. */
static int read_flat(odt_reader *r, const buffer *raw, FILE *out, const char *found)
{
    int ok;
    doc_begin_found(&r->b, out, found);
    r->b.expansion_left = doc_expansion_budget(raw->size);
    ok = read_part(r, raw->data, raw->size, "the document");
    return doc_finish(&r->b) == CONVERT_OK && ok;
}

static int looks_flat(const buffer *raw)
{
    static const char root[] = "<office:document";
    const size_t n = raw->size < 4096 ? raw->size : 4096;
    size_t i;
    for (i = 0; i + sizeof root - 1 <= n; ++i)
        if (raw->data[i] == '<' && memcmp(raw->data + i, root, sizeof root - 1) == 0)
            return 1;
    return 0;
}

static void release_reader(odt_reader *r)
{
    zip_close(&r->zip);
    free(r->styles);
    free(r->slots);
    free(r->names.data);
    free(r->levels);
    free(r->note_id.data);
    free(r->frame.href.data);
    free(r->frame.title.data);
    free(r->frame.description.data);
    free(r->frame.data.data);
    free(r->frame.media_type.data);
    free(r->scratch.data);
    free(r->raw.data);
    free(r);
}

int32_t read_odt_found(FILE *in, FILE *out, const char *found)
{
    buffer raw = {0};
    odt_reader *r;
    int ok;
    const int32_t loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    r = (odt_reader *)calloc(1, sizeof *r);
    if (!r) {
        release_input(&raw);
        return refusal_set(REFUSAL_OUT_OF_MEMORY), CONVERT_WRONG_FORMAT;
    }
    r->out = &r->b;
    r->flow = &r->flows[0];
    r->hash_key = (uint64_t)(uintptr_t)r * 0x9E3779B97F4A7C15ull | 1;
    r->current_style = r->current_list = -1;
    if (raw.size >= 2 && raw.data[0] == 'P' && raw.data[1] == 'K')
        ok = read_package(r, &raw, out, found);
    else if (looks_flat(&raw))
        ok = read_flat(r, &raw, out, found);
    else
        ok = refusal_first_bytes(ODT_FORMAT_NAME, raw.data, raw.size);
    release_reader(r);
    release_input(&raw);
    return ok ? CONVERT_OK : CONVERT_WRONG_FORMAT;
}

int32_t read_odt(FILE *in, FILE *out)
{
    return read_odt_found(in, out, NULL);
}
