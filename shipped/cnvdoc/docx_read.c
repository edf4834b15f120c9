/* Word documents (.docx): the package's parts read into small tables
 * (relationships, styles, numbering), then the body walked once, each
 * element to the handler its name chooses, marks going out through the
 * document builder.  Notes follow the body, as the builder wants them. */
#include <stdlib.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/cnvdoc/docx_read.h"
#include "shipped/core/refusal.h"
#include "shipped/core/zip.h"

#define FORMAT_NAME "a Word document (.docx)"
/* Fields nest inside fields (a page reference in a link's result); past
 * this depth they are read as their results alone. */
#define FIELD_DEPTH 16
/* What a field's instruction keeps: a link's address and its switches. */
#define INSTRUCTION_SIZE 2048
/* Text boxes inside text boxes: past this, their text is left out. */
#define TEXT_BOX_DEPTH 4

/* The relationships a reader looks for by type. */
enum relationship_kind { REL_OTHER, REL_STYLES, REL_NUMBERING, REL_FOOTNOTES, REL_ENDNOTES };

typedef struct relationship {
    size_t id_at, id_length, target_at, target_length;
    int external;
    int kind;
} relationship;

typedef struct relationships {
    relationship *items;
    int count, capacity;
    buffer text;
} relationships;

typedef struct field {
    int in_instruction; /* between its begin and its separator */
    int link_opened;
    size_t instruction_at; /* in the reader's instruction buffer */
} field;

typedef struct paragraph_state {
    int style;               /* index, -1 for none */
    int num_id, num_level;   /* num_id 0: none; -1: not given */
    int outline_level;       /* 0 to 8 given directly, -1 none */
    int open;                /* its block is open in the builder */
    int node;
    unsigned align;          /* DOC_ALIGN_CENTER or _RIGHT, 0 for the rest */
    int rule;                /* a border below it: empty, it is a horizontal rule */
} paragraph_state;

typedef struct table_state {
    int row;        /* rows begun */
    int header_row; /* the first row is a header (the table's look says so) */
    int row_header; /* the open row is a header */
    int span;       /* the open cell spans so many grid columns */
    int cell_pending; /* the cell opens at its first paragraph, which gives its alignment */
} table_state;

typedef struct docx_reader {
    zip_archive zip;
    buffer raw;
    doc_builder b;
    doc_builder *out;
    xml_reader *x;
    relationships rels;
    style_table styles;
    numbering_table numbering;
    char part_folder[72];    /* "word/": where the body's relationships point from */
    paragraph_state para;
    int run_style;            /* the open run's character style, -1 for none */
    run_props run;            /* the open run's own properties */
    unsigned applied;         /* the inline marks open in the builder */
    int in_text;              /* inside w:t */
    /* the list of the item before at each level, 0 for none: an item
     * after a nested list goes on in its own list */
    int list_num_ids[NUMBERING_LEVELS];
    int code_open, code_lines; /* a code block of consecutive code paragraphs */
    int quote_open;
    int definition_open;
    field fields[FIELD_DEPTH];
    int field_count, fields_dropped, instruction_depth;
    buffer instruction;
    int hyperlink_opened[FIELD_DEPTH]; /* for each open w:hyperlink, whether it opened a link */
    int hyperlink_depth;
    table_state tables[FIELD_DEPTH];
    int table_depth, tables_dropped;
    int text_box_depth;
    int after_note_mark; /* a note's number was passed over: its space goes too */
    /* the picture being read: its relationship, alternative text, title, size */
    buffer picture_id, picture_alt, picture_title;
    int picture_width, picture_height;
    buffer part, data; /* a picture's bytes, and scratch */
    buffer note_ids;   /* the notes referenced, as "fN\n" and "eN\n" lines */
    int failed;
} docx_reader;

static void walk(docx_reader *r, int depth);

/* ---- relationships ---- */

static const char *rel_text(const relationships *rels, size_t at)
{
    return (const char *)rels->text.data + at;
}

static int ends_with(const xml_attribute *a, const char *tail)
{
    const size_t n = strlen(tail);
    return a && a->value_length >= n && memcmp(a->value + a->value_length - n, tail, n) == 0;
}

/* Reads a relationships part; `wanted_type` ("/officeDocument") finds one
 * target by its type, copied to `found` (may be NULL). */
static int read_relationships(relationships *rels, const buffer *part, const char *name, const char *wanted_type,
                              buffer *found)
{
    xml_reader x;
    xml_event e;
    int kind, ok = 1;
    xml_begin(&x, part->data, part->size, name, docx_uris, docx_uri_ns, docx_uri_count);
    while ((kind = xml_next(&x, &e)) == XML_START || kind == XML_END || kind == XML_TEXT) {
        const xml_attribute *id, *target, *type, *mode;
        relationship *item;
        if (kind != XML_START || !xml_is(&e, NS_RELS, "Relationship"))
            continue;
        id = xml_attribute_of(&e, XML_NS_NONE, "Id");
        target = xml_attribute_of(&e, XML_NS_NONE, "Target");
        type = xml_attribute_of(&e, XML_NS_NONE, "Type");
        mode = xml_attribute_of(&e, XML_NS_NONE, "TargetMode");
        if (!id || !target)
            continue;
        if (found && wanted_type && ends_with(type, wanted_type) && found->size == 0)
            put_bytes(found, target->value, target->value_length);
        if (!rels)
            continue;
        item = (relationship *)room_for_one(rels->items, rels->count, &rels->capacity, 16, sizeof *item);
        if (!item) {
            ok = 0;
            break;
        }
        rels->items = item;
        item = &rels->items[rels->count++];
        item->id_at = rels->text.size;
        item->id_length = id->value_length;
        put_bytes(&rels->text, id->value, id->value_length);
        item->target_at = rels->text.size;
        item->target_length = target->value_length;
        put_bytes(&rels->text, target->value, target->value_length);
        item->external = mode && mode->value_length == 8 && memcmp(mode->value, "External", 8) == 0;
        item->kind = ends_with(type, "/styles")      ? REL_STYLES
                     : ends_with(type, "/numbering") ? REL_NUMBERING
                     : ends_with(type, "/footnotes") ? REL_FOOTNOTES
                     : ends_with(type, "/endnotes")  ? REL_ENDNOTES
                                                     : REL_OTHER;
    }
    if (kind == XML_FAILED || (rels && rels->text.failed))
        ok = 0;
    xml_end(&x);
    return ok;
}

static int compare_relationship_ids(const relationships *rels, const relationship *a, const char *id, size_t length)
{
    const int order = memcmp(rel_text(rels, a->id_at), id, a->id_length < length ? a->id_length : length);
    return order ? order : (a->id_length > length) - (a->id_length < length);
}

/* The relationships sorted by id, once they are read, so that each of a
 * body's thousands of links and pictures finds its own in a few steps. */
static void sort_relationships(relationships *rels)
{
    int i, k;
    /* an insertion sort is quadratic only in the number of relationships,
     * which the part's size bounds; shell gaps keep it near n log n */
    static const int gaps[] = {701, 301, 132, 57, 23, 10, 4, 1};
    for (k = 0; k < (int)(sizeof gaps / sizeof *gaps); ++k)
        for (i = gaps[k]; i < rels->count; ++i) {
            const relationship item = rels->items[i];
            int j = i;
            while (j >= gaps[k] && compare_relationship_ids(rels, &rels->items[j - gaps[k]],
                                                            rel_text(rels, item.id_at), item.id_length) > 0) {
                rels->items[j] = rels->items[j - gaps[k]];
                j -= gaps[k];
            }
            rels->items[j] = item;
        }
}

/* The relationship of that id; NULL when there is none. */
static const relationship *find_relationship(const relationships *rels, const char *id, size_t length)
{
    int low = 0, high = rels->count;
    while (low < high) {
        const int middle = (low + high) / 2;
        const int order = compare_relationship_ids(rels, &rels->items[middle], id, length);
        if (order == 0)
            return &rels->items[middle];
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return NULL;
}

static const relationship *find_relationship_of_kind(const relationships *rels, int kind)
{
    int i;
    for (i = 0; i < rels->count; ++i)
        if (rels->items[i].kind == kind && !rels->items[i].external)
            return &rels->items[i];
    return NULL;
}

/* A part's name from a relationship's target, relative to the folder of
 * the part that holds the relationship ("media/a.png" from "word/"):
 * ".." steps up, a leading "/" starts at the package's root. */
static int part_name(char *name, size_t room, const char *folder, const char *target, size_t length)
{
    size_t used = 0, i = 0;
    if (length > 0 && target[0] == '/') {
        i = 1;
    } else {
        used = strlen(folder);
        if (used >= room)
            return 0;
        memcpy(name, folder, used);
    }
    while (i < length) {
        size_t end = i;
        while (end < length && target[end] != '/')
            ++end;
        if (end - i == 2 && target[i] == '.' && target[i + 1] == '.') {
            while (used > 0 && name[used - 1] == '/')
                --used;
            while (used > 0 && name[used - 1] != '/')
                --used;
        } else if (!(end - i == 1 && target[i] == '.') && end > i) {
            if (used + (end - i) + 2 > room)
                return 0;
            memcpy(name + used, target + i, end - i);
            used += end - i;
            if (end < length)
                name[used++] = '/';
        }
        i = end + 1;
    }
    name[used] = '\0';
    return used > 0;
}

/* ---- inline marks ---- */

static const struct {
    unsigned prop;
    int node;
} inline_marks[] = {{PROP_B, NODE_B}, {PROP_I, NODE_I}, {PROP_U, NODE_U}, {PROP_S, NODE_S},
                    {PROP_SUP, NODE_SUP}, {PROP_SUB, NODE_SUB}, {PROP_SC, NODE_SC}, {PROP_CODE, NODE_C}};

static void apply_marks(docx_reader *r, unsigned wanted)
{
    size_t i;
    if (wanted == r->applied)
        return;
    for (i = sizeof inline_marks / sizeof *inline_marks; i-- > 0;)
        if ((r->applied & inline_marks[i].prop) && !(wanted & inline_marks[i].prop))
            doc_set(r->out, inline_marks[i].node, 0);
    for (i = 0; i < sizeof inline_marks / sizeof *inline_marks; ++i)
        if (!(r->applied & inline_marks[i].prop) && (wanted & inline_marks[i].prop))
            doc_set(r->out, inline_marks[i].node, 1);
    r->applied = wanted;
}

/* Properties set by a lower level stand unless a higher level sets them;
 * the styles' toggles turn each other off. */
static void layer(run_props *under, const run_props *over, int toggles)
{
    const unsigned toggled = toggles ? over->set & under->set & PROP_TOGGLES : 0;
    const unsigned both_on = over->on & under->on & toggled;
    under->on = (under->on & ~over->set) | (over->on & over->set);
    under->on &= ~both_on;
    under->set |= over->set;
}

/* The run's properties as Word resolves them: the document's defaults,
 * the paragraph's style, the run's character style, then its own. */
static unsigned run_marks(const docx_reader *r)
{
    run_props p = r->styles.defaults;
    /* a heading's, quote's or code's own look is what makes it one */
    if (r->para.style >= 0 && r->styles.styles[r->para.style].kind == KIND_PARAGRAPH)
        layer(&p, &r->styles.styles[r->para.style].runs, 0);
    if (r->run_style >= 0)
        layer(&p, &r->styles.styles[r->run_style].runs, 1);
    layer(&p, &r->run, 0);
    if (r->para.node == NODE_CODE)
        p.on &= ~PROP_CODE; /* the block is code already */
    if (r->hyperlink_depth || r->field_count)
        p.on &= ~PROP_U; /* a link's underline is the link's look */
    if (r->table_depth && r->tables[r->table_depth - 1].row_header)
        p.on &= ~PROP_B; /* and a header cell's bold the header's */
    return p.on & p.set;
}

/* ---- blocks ---- */

static int paragraph_kind(const docx_reader *r, int *level)
{
    const docx_style *s = r->para.style >= 0 ? &r->styles.styles[r->para.style] : NULL;
    if (r->para.outline_level >= 0 && r->para.outline_level < 9) {
        *level = r->para.outline_level + 1;
        return KIND_HEADING;
    }
    *level = s ? s->level : 0;
    return s ? s->kind : KIND_PARAGRAPH;
}

/* The cell whose first content comes, aligned as its first paragraph. */
static void open_pending_cell(docx_reader *r, unsigned align)
{
    table_state *t = r->table_depth && !r->tables_dropped ? &r->tables[r->table_depth - 1] : NULL;
    if (!t || !t->cell_pending)
        return;
    t->cell_pending = 0;
    doc_block_context(r->out, 0, align);
    doc_cell(r->out, t->row_header);
}

static int cell_holds_blocks(const doc_builder *b)
{
    return b->depth > 0 && b->containers[b->depth - 1] == NODE_CELL;
}

/* Where the block about to open stands in the open table cell: a
 * paragraph is a line of the cell's text until the cell holds other
 * blocks (a list, a table, code), then a paragraph of its own. */
static void place_block(docx_reader *r, int node)
{
    if (r->table_depth == 0)
        return;
    if (node == NODE_P) {
        if (cell_holds_blocks(r->out))
            doc_block_context(r->out, -1, 0);
    } else if (r->out->leaf == NODE_CELL) {
        doc_block_context(r->out, 0, DOC_IN_CELL);
    }
}

static void end_code(docx_reader *r)
{
    if (!r->code_open)
        return;
    doc_end_block(r->out, NODE_CODE);
    r->code_open = 0;
}

static void end_quote(docx_reader *r)
{
    if (!r->quote_open)
        return;
    doc_end_container(r->out, NODE_QUOTE);
    r->quote_open = 0;
}

static void end_lists(docx_reader *r)
{
    memset(r->list_num_ids, 0, sizeof r->list_num_ids);
}

static void end_definition(docx_reader *r)
{
    if (!r->definition_open)
        return;
    doc_end_container(r->out, NODE_DD);
    r->definition_open = 0;
}

/* The item's number and style, counted as Word counts: per definition,
 * the levels below an item starting again after it. */
static int item_number(docx_reader *r, int num_id, int level)
{
    numbering_instance *n = find_numbering(&r->numbering, num_id);
    abstract_numbering *a;
    numbering_level *l;
    int k;
    if (!n || n->abstract < 0)
        return DOC_BULLET;
    a = &r->numbering.abstracts[n->abstract];
    l = &a->levels[level];
    if (!n->used) {
        n->used = 1;
        for (k = 0; k < NUMBERING_LEVELS; ++k)
            if (n->restart[k])
                a->counts[k] = n->restart[k] - 1;
    }
    for (k = level + 1; k < NUMBERING_LEVELS; ++k)
        a->counts[k] = 0;
    a->counts[level] = a->counts[level] ? a->counts[level] + 1 : l->start;
    if (l->style == DOC_BULLET)
        return DOC_BULLET;
    if (l->shown > 1) {
        char label[NUMBERING_LEVELS * 12];
        size_t used = 0;
        for (k = level - l->shown + 1; k <= level; ++k) {
            const int written = snprintf(label + used, sizeof label - used, "%d.",
                                         k < 0 ? 1 : a->counts[k] ? a->counts[k] : a->levels[k].start);
            if (written > 0 && (size_t)written < sizeof label - used)
                used += (size_t)written;
        }
        doc_list_style(r->out, l->style, label, used);
    } else if (l->style != LIST_DECIMAL) {
        doc_list_style(r->out, l->style, NULL, 0);
    }
    return a->counts[level];
}

static void open_item(docx_reader *r, int num_id, int level)
{
    int number;
    if (level < 0)
        level = 0;
    if (level >= NUMBERING_LEVELS)
        level = NUMBERING_LEVELS - 1;
    place_block(r, NODE_LI);
    if (r->list_num_ids[0] && r->list_num_ids[level] != num_id && level == 0)
        doc_block_context(r->out, 0, DOC_NEW_LIST | (r->out->next_flags & DOC_IN_CELL));
    number = item_number(r, num_id, level);
    doc_block(r->out, NODE_LI, level + 1, number, NULL);
    r->list_num_ids[level] = num_id;
    memset(r->list_num_ids + level + 1, 0, sizeof r->list_num_ids - sizeof *r->list_num_ids * (size_t)(level + 1));
    r->para.node = NODE_LI;
}

/* Opens the paragraph's block at its first content, as its style and
 * numbering make it: a heading, an item, a line of code, a quote's
 * paragraph or a paragraph. */
static void open_paragraph(docx_reader *r)
{
    const docx_style *s = r->para.style >= 0 ? &r->styles.styles[r->para.style] : NULL;
    int level, kind = paragraph_kind(r, &level);
    int num_id = r->para.num_id >= 0 ? r->para.num_id : s ? s->num_id : 0;
    const int num_level = r->para.num_level >= 0 ? r->para.num_level : s && s->num_level >= 0 ? s->num_level : 0;
    r->para.open = 1;
    open_pending_cell(r, r->para.align);
    if (kind == KIND_CODE) {
        end_quote(r);
        if (r->code_open) {
            doc_text(r->out, "\n", 1);
        } else {
            place_block(r, NODE_CODE);
            doc_block(r->out, NODE_CODE, 0, 0, NULL);
            r->code_open = 1;
        }
        r->para.node = NODE_CODE;
        return;
    }
    end_code(r);
    if (kind != KIND_DEFINITION)
        end_definition(r);
    if (kind == KIND_TERM) {
        end_quote(r);
        doc_block(r->out, NODE_DT, 0, 0, NULL);
        r->para.node = NODE_DT;
        return;
    }
    if (kind == KIND_DEFINITION && !r->definition_open && r->table_depth == 0) {
        end_quote(r);
        doc_container(r->out, NODE_DD);
        r->definition_open = 1;
    }
    if (kind == KIND_QUOTE && !r->quote_open && r->table_depth == 0) {
        doc_container(r->out, NODE_QUOTE);
        r->quote_open = 1;
    } else if (kind != KIND_QUOTE && kind != KIND_DEFINITION) {
        end_quote(r);
    }
    if (kind == KIND_HEADING) {
        place_block(r, NODE_H);
        doc_block(r->out, NODE_H, level, 0, NULL);
        r->para.node = NODE_H;
        end_lists(r);
    } else if (num_id > 0 && find_numbering(&r->numbering, num_id)) {
        open_item(r, num_id, num_level);
    } else {
        place_block(r, NODE_P);
        doc_block(r->out, NODE_P, 0, 0, NULL);
        r->para.node = NODE_P;
        end_lists(r);
    }
}

static void end_paragraph(docx_reader *r)
{
    r->after_note_mark = 0;
    apply_marks(r, 0);
    if (r->para.open && r->para.node != NODE_CODE)
        doc_end_block(r->out, r->para.node);
    r->para.open = 0;
}

/* Text of the open run, in its marks; left out when hidden or part of a
 * field's instruction. */
static void put_text(docx_reader *r, const char *s, size_t n)
{
    unsigned marks;
    if (n == 0)
        return;
    if (r->instruction_depth) {
        if (r->instruction.size + n <= INSTRUCTION_SIZE)
            put_bytes(&r->instruction, s, n);
        return;
    }
    marks = run_marks(r);
    if (marks & PROP_HIDDEN)
        return;
    if (r->after_note_mark) {
        /* the space that follows a note's own number */
        r->after_note_mark = 0;
        if (s[0] == ' ' || s[0] == '\t') {
            ++s;
            if (--n == 0)
                return;
        }
    }
    if (!r->para.open)
        open_paragraph(r);
    apply_marks(r, marks & ~PROP_HIDDEN);
    doc_text(r->out, s, n);
}

static void put_char(docx_reader *r, uint32_t c)
{
    char bytes[4];
    put_text(r, bytes, utf8_encode((unsigned char *)bytes, c));
}

/* ---- fields: codes left out, results kept, links made of HYPERLINK ---- */

/* The address of a HYPERLINK instruction: its first quoted or bare
 * argument, with "#" before it after a \l switch. */
static void open_field_link(docx_reader *r, field *f)
{
    const char *s = (const char *)r->instruction.data + f->instruction_at;
    const char *end = (const char *)r->instruction.data + r->instruction.size;
    buffer *target = &r->data;
    int anchor = 0;
    while (s < end && *s == ' ')
        ++s;
    if (end - s < 9 || memcmp(s, "HYPERLINK", 9) != 0)
        return;
    s += 9;
    target->size = 0;
    while (s < end) {
        while (s < end && *s == ' ')
            ++s;
        if (end - s >= 2 && s[0] == '\\') {
            anchor |= s[1] == 'l';
            s += 2;
            continue;
        }
        if (s < end && *s == '"') {
            const char *close = (const char *)memchr(s + 1, '"', (size_t)(end - s - 1));
            if (!close)
                close = end;
            if (anchor)
                put_byte(target, '#');
            put_bytes(target, s + 1, (size_t)(close - s - 1));
            s = close + (close < end);
        } else {
            const char *stop = s;
            while (stop < end && *stop != ' ')
                ++stop;
            if (anchor)
                put_byte(target, '#');
            put_bytes(target, s, (size_t)(stop - s));
            s = stop;
        }
        if (target->size > 0)
            break;
    }
    if (target->size == 0 || target->failed)
        return;
    doc_link(r->out, (const char *)target->data, target->size);
    f->link_opened = 1;
}

static void begin_field(docx_reader *r)
{
    field *f;
    if (r->field_count == FIELD_DEPTH) {
        ++r->fields_dropped;
        return;
    }
    f = &r->fields[r->field_count++];
    f->in_instruction = 1;
    f->link_opened = 0;
    f->instruction_at = r->instruction.size;
    ++r->instruction_depth;
}

static void separate_field(docx_reader *r)
{
    field *f = r->field_count ? &r->fields[r->field_count - 1] : NULL;
    if (r->fields_dropped || !f || !f->in_instruction)
        return;
    f->in_instruction = 0;
    --r->instruction_depth;
    if (r->instruction_depth == 0)
        open_field_link(r, f);
}

static void end_field(docx_reader *r)
{
    field *f;
    if (r->fields_dropped) {
        --r->fields_dropped;
        return;
    }
    if (r->field_count == 0)
        return;
    f = &r->fields[--r->field_count];
    if (f->in_instruction)
        --r->instruction_depth;
    if (f->link_opened)
        doc_link(r->out, NULL, 0);
    r->instruction.size = f->instruction_at;
}

static void on_field_char(docx_reader *r, const xml_event *e)
{
    const xml_attribute *type = xml_attribute_of(e, NS_W, "fldCharType");
    if (!type)
        return;
    if (type->value_length == 5 && memcmp(type->value, "begin", 5) == 0)
        begin_field(r);
    else if (type->value_length == 8 && memcmp(type->value, "separate", 8) == 0)
        separate_field(r);
    else if (type->value_length == 3 && memcmp(type->value, "end", 3) == 0)
        end_field(r);
}

static void on_simple_field(docx_reader *r, const xml_event *e)
{
    const xml_attribute *instruction = xml_attribute_of(e, NS_W, "instr");
    begin_field(r);
    if (instruction && r->field_count && !r->fields_dropped && r->instruction.size + instruction->value_length <= INSTRUCTION_SIZE)
        put_bytes(&r->instruction, instruction->value, instruction->value_length);
    separate_field(r);
}

/* ---- pictures ---- */

static const char *media_type_of(const char *name)
{
    static const struct {
        const char *extension, *type;
    } types[] = {{".png", "image/png"}, {".jpeg", "image/jpeg"}, {".jpg", "image/jpeg"}, {".gif", "image/gif"},
                 {".bmp", "image/bmp"}, {".svg", "image/svg+xml"}, {".tif", "image/tiff"}, {".tiff", "image/tiff"},
                 {".emf", "image/emf"}, {".wmf", "image/wmf"}, {".webp", "image/webp"}};
    const size_t n = strlen(name);
    size_t i, k;
    for (i = 0; i < sizeof types / sizeof *types; ++i) {
        const size_t length = strlen(types[i].extension);
        if (n < length)
            continue;
        for (k = 0; k < length && ascii_lower((unsigned char)name[n - length + k]) == types[i].extension[k]; ++k)
            ;
        if (k == length)
            return types[i].type;
    }
    return "";
}

static void clear_picture(docx_reader *r)
{
    r->picture_id.size = r->picture_alt.size = r->picture_title.size = 0;
    r->picture_width = r->picture_height = 0;
}

/* The picture the last drawing or shape named, with its data from the
 * package; an address where it links to a file outside it. */
static void put_picture(docx_reader *r)
{
    const relationship *rel = find_relationship(&r->rels, (const char *)r->picture_id.data, r->picture_id.size);
    char name[512];
    const zip_entry *entry;
    if (!rel || r->instruction_depth || (run_marks(r) & PROP_HIDDEN))
        return;
    if (!r->para.open)
        open_paragraph(r);
    apply_marks(r, 0);
    if (rel->external) {
        doc_image(r->out, rel_text(&r->rels, rel->target_at), rel->target_length, (const char *)r->picture_title.data,
                  r->picture_title.size, (const char *)r->picture_alt.data, r->picture_alt.size);
        return;
    }
    if (!part_name(name, sizeof name, r->part_folder, rel_text(&r->rels, rel->target_at), rel->target_length) ||
        !(entry = zip_find(&r->zip, name)))
        return;
    r->part.size = 0;
    if (!zip_read(&r->zip, entry, &r->part)) {
        r->failed = 1;
        return;
    }
    doc_picture(r->out, NULL, 0, (const char *)r->picture_title.data, r->picture_title.size,
                (const char *)r->picture_alt.data, r->picture_alt.size, media_type_of(name), r->part.data,
                r->part.size, r->picture_width, r->picture_height);
}

static void copy_attribute(buffer *to, const xml_event *e, int ns, const char *name)
{
    const xml_attribute *a = xml_attribute_of(e, ns, name);
    to->size = 0;
    if (a)
        put_bytes(to, a->value, a->value_length);
}

/* English Metric Units, 9525 to a pixel at 96 dots an inch. */
static int pixels_of_emu(const xml_event *e, const char *name)
{
    const int emu = attribute_number(e, XML_NS_NONE, name, 0);
    return emu > 0 ? (emu + 4762) / 9525 : 0;
}

/* ---- the elements ---- */

typedef void (*element_handler)(docx_reader *r, const xml_event *e);

static void on_paragraph(docx_reader *r, const xml_event *e)
{
    (void)e;
    memset(&r->para, 0, sizeof r->para);
    r->para.style = -1;
    r->para.num_id = -1;
    r->para.num_level = -1;
    r->para.outline_level = -1;
}

static void on_paragraph_end(docx_reader *r)
{
    int level;
    if (!r->para.open && paragraph_kind(r, &level) == KIND_CODE && r->code_open)
        doc_text(r->out, "\n", 1); /* an empty line of code */
    if (!r->para.open && r->para.rule && r->table_depth == 0) {
        /* an empty paragraph with a border below: Word's horizontal line */
        end_code(r);
        end_quote(r);
        end_definition(r);
        end_lists(r);
        doc_hr(r->out);
    }
    end_paragraph(r);
}

/* w:pPr, read to its end. */
static void on_paragraph_props(docx_reader *r, const xml_event *start)
{
    const int depth = r->x->depth;
    xml_event e;
    (void)start;
    while (r->x->depth >= depth) {
        const int kind = xml_next(r->x, &e);
        const xml_attribute *val;
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT) {
            r->failed = 1;
            return;
        }
        if (kind != XML_START)
            continue;
        val = xml_attribute_of(&e, NS_W, "val");
        if (xml_is(&e, NS_W, "pStyle") && val)
            r->para.style = find_style(&r->styles, val->value, val->value_length);
        else if (xml_is(&e, NS_W, "numId"))
            r->para.num_id = attribute_number(&e, NS_W, "val", 0);
        else if (xml_is(&e, NS_W, "ilvl"))
            r->para.num_level = attribute_number(&e, NS_W, "val", 0);
        else if (xml_is(&e, NS_W, "outlineLvl"))
            r->para.outline_level = attribute_number(&e, NS_W, "val", -1);
        else if (xml_is(&e, NS_W, "jc") && val)
            r->para.align = (val->value_length == 6 && memcmp(val->value, "center", 6) == 0)  ? DOC_ALIGN_CENTER
                            : (val->value_length == 5 && memcmp(val->value, "right", 5) == 0) ? DOC_ALIGN_RIGHT
                            : (val->value_length == 3 && memcmp(val->value, "end", 3) == 0)   ? DOC_ALIGN_RIGHT
                                                                                            : 0;
        else if (xml_is(&e, NS_W, "bottom") && r->x->depth >= depth + 2)
            r->para.rule = 1; /* in w:pBdr */
        else if (xml_is(&e, NS_W, "rPr") || xml_is(&e, NS_W, "pPrChange") || xml_is(&e, NS_W, "sectPr"))
            xml_skip(r->x); /* the mark's own properties, a tracked change's old ones */
    }
}

static void on_run(docx_reader *r, const xml_event *e)
{
    (void)e;
    r->run_style = -1;
    r->run.set = r->run.on = 0;
}

/* w:rPr of a run, read to its end: its character style, its own
 * properties. */
static void on_run_props(docx_reader *r, const xml_event *start)
{
    const int depth = r->x->depth;
    xml_event e;
    (void)start;
    /* the style comes first in a run's properties; the rest are its own */
    while (r->x->depth >= depth) {
        const int kind = xml_next(r->x, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT) {
            r->failed = 1;
            return;
        }
        if (kind != XML_START)
            continue;
        if (xml_is(&e, NS_W, "rStyle")) {
            const xml_attribute *val = xml_attribute_of(&e, NS_W, "val");
            if (val)
                r->run_style = find_style(&r->styles, val->value, val->value_length);
        } else if (xml_is(&e, NS_W, "rPrChange")) {
            xml_skip(r->x);
        } else {
            read_run_prop(&r->run, &e);
        }
    }
}

static void on_text(docx_reader *r, const xml_event *e)
{
    (void)e;
    r->in_text = 1;
}

static void on_text_end(docx_reader *r)
{
    r->in_text = 0;
}

static void on_tab(docx_reader *r, const xml_event *e)
{
    (void)e;
    put_text(r, "\t", 1);
}

static void on_break(docx_reader *r, const xml_event *e)
{
    const xml_attribute *type = xml_attribute_of(e, NS_W, "type");
    if (type && !(type->value_length == 12 && memcmp(type->value, "textWrapping", 12) == 0))
        return; /* a page or column break: the page is not the document's */
    if (r->instruction_depth || (run_marks(r) & PROP_HIDDEN))
        return;
    if (!r->para.open)
        open_paragraph(r);
    if (r->para.node == NODE_CODE)
        doc_text(r->out, "\n", 1);
    else
        doc_br(r->out);
}

/* A symbol from a symbol font: its code as the font's private-use
 * character, the letters of the symbol fonts' lower half as they are. */
static void on_symbol(docx_reader *r, const xml_event *e)
{
    const xml_attribute *code = xml_attribute_of(e, NS_W, "char");
    uint32_t c = 0;
    size_t i;
    if (!code)
        return;
    for (i = 0; i < code->value_length && i < 6; ++i) {
        const int ch = ascii_lower((unsigned char)code->value[i]);
        c = c * 16 + (uint32_t)(ch >= 'a' ? ch - 'a' + 10 : ch - '0');
    }
    if (c >= 0xF020 && c < 0xF080)
        c -= 0xF000;
    put_char(r, c >= 0x20 && c < 0x110000 ? c : 0xFFFD);
}

static void on_no_break_hyphen(docx_reader *r, const xml_event *e)
{
    (void)e;
    put_char(r, 0x2011);
}

static void on_soft_hyphen(docx_reader *r, const xml_event *e)
{
    (void)e;
    put_char(r, 0x00AD);
}

static int by_number(const void *a, const void *b)
{
    const int x = *(const int *)a, y = *(const int *)b;
    return (x > y) - (x < y);
}

/* A reference to a note: "f3" for footnote 3, "e3" for endnote 3. */
static void put_note_reference(docx_reader *r, const xml_event *e, char kind)
{
    const int id = attribute_number(e, NS_W, "id", -1);
    char name[16];
    const int length = snprintf(name, sizeof name, "%c%d", kind, id);
    if (id < 0 || r->instruction_depth)
        return;
    if (!r->para.open)
        open_paragraph(r);
    apply_marks(r, 0);
    doc_footnote(r->out, name, (size_t)length);
    put_bytes(&r->note_ids, &(int){kind == 'e' ? -1 - id : id}, sizeof(int));
}

static void on_footnote_reference(docx_reader *r, const xml_event *e)
{
    put_note_reference(r, e, 'f');
}

static void on_endnote_reference(docx_reader *r, const xml_event *e)
{
    put_note_reference(r, e, 'e');
}

static void on_hyperlink(docx_reader *r, const xml_event *e)
{
    const xml_attribute *id = xml_attribute_of(e, NS_R, "id");
    const xml_attribute *anchor = xml_attribute_of(e, NS_W, "anchor");
    const relationship *rel = id ? find_relationship(&r->rels, id->value, id->value_length) : NULL;
    int opened = 0;
    if ((rel || anchor) && !r->instruction_depth) {
        /* an address, a place in the document, or a place in the page at
         * the address */
        r->data.size = 0;
        if (rel)
            put_bytes(&r->data, rel_text(&r->rels, rel->target_at), rel->target_length);
        if (anchor) {
            put_byte(&r->data, '#');
            put_bytes(&r->data, anchor->value, anchor->value_length);
        }
        doc_link(r->out, (const char *)r->data.data, r->data.size);
        opened = 1;
    }
    if (r->hyperlink_depth < FIELD_DEPTH)
        r->hyperlink_opened[r->hyperlink_depth] = opened;
    ++r->hyperlink_depth;
}

static void on_hyperlink_end(docx_reader *r)
{
    if (r->hyperlink_depth == 0)
        return;
    --r->hyperlink_depth;
    if (r->hyperlink_depth < FIELD_DEPTH && r->hyperlink_opened[r->hyperlink_depth])
        doc_link(r->out, NULL, 0);
}

static void on_note_mark(docx_reader *r, const xml_event *e)
{
    (void)e;
    r->after_note_mark = 1;
}

static void on_field_end(docx_reader *r)
{
    end_field(r);
}

/* Elements whose content is not the document's: deleted text, a field's
 * old result kept for comparison, properties read elsewhere. */
static void on_skipped(docx_reader *r, const xml_event *e)
{
    (void)e;
    if (!xml_skip(r->x))
        r->failed = 1;
}

/* ---- tables ---- */

static void on_table(docx_reader *r, const xml_event *e)
{
    table_state *t;
    (void)e;
    end_paragraph(r);
    end_code(r);
    end_quote(r);
    end_definition(r);
    end_lists(r);
    if (r->table_depth == FIELD_DEPTH) {
        ++r->tables_dropped; /* its cells' text goes on in the cell around it */
        return;
    }
    open_pending_cell(r, 0);
    if (r->table_depth > 0 && r->out->leaf == NODE_CELL)
        doc_block_context(r->out, 0, DOC_IN_CELL);
    doc_container(r->out, NODE_TABLE);
    t = &r->tables[r->table_depth++];
    memset(t, 0, sizeof *t);
}

static void on_table_end(docx_reader *r)
{
    end_paragraph(r);
    end_code(r);
    if (r->tables_dropped) {
        --r->tables_dropped;
        return;
    }
    if (r->table_depth == 0)
        return;
    --r->table_depth;
    doc_end_container(r->out, NODE_TABLE);
    end_lists(r);
}

static table_state *open_table(docx_reader *r)
{
    return r->table_depth && !r->tables_dropped ? &r->tables[r->table_depth - 1] : NULL;
}

/* The table's look: Word marks a table whose first row is its header. */
static void on_table_look(docx_reader *r, const xml_event *e)
{
    table_state *t = open_table(r);
    const xml_attribute *row = xml_attribute_of(e, NS_W, "firstRow");
    const xml_attribute *bits = xml_attribute_of(e, NS_W, "val");
    if (!t)
        return;
    if (row)
        t->header_row = row->value_length == 1 ? row->value[0] == '1' : memcmp(row->value, "true", 4) == 0;
    else if (bits)
        t->header_row = (strtol(bits->value, NULL, 16) & 0x20) != 0;
}

static void on_row(docx_reader *r, const xml_event *e)
{
    table_state *t = open_table(r);
    (void)e;
    if (!t)
        return;
    t->row_header = t->row == 0 && t->header_row;
    ++t->row;
    doc_container(r->out, NODE_ROW);
}

static void on_row_end(docx_reader *r)
{
    end_paragraph(r);
    end_code(r);
    if (open_table(r))
        doc_end_container(r->out, NODE_ROW);
}

static void on_header_row(docx_reader *r, const xml_event *e)
{
    table_state *t = open_table(r);
    if (t && attribute_on(e) && t->row == 1)
        t->row_header = 1;
}

static void on_cell(docx_reader *r, const xml_event *e)
{
    table_state *t = open_table(r);
    (void)e;
    if (!t)
        return;
    t->span = 1;
    t->cell_pending = 1;
    end_lists(r);
}

static void on_grid_span(docx_reader *r, const xml_event *e)
{
    table_state *t = open_table(r);
    const int span = attribute_number(e, NS_W, "val", 1);
    if (t)
        t->span = span < 1 ? 1 : span > 64 ? 64 : span;
}

/* A cell merged across columns stands as itself and empty cells after
 * it, so that the rows keep their columns. */
static void on_cell_end(docx_reader *r)
{
    table_state *t = open_table(r);
    int k;
    end_paragraph(r);
    end_code(r);
    if (!t)
        return;
    open_pending_cell(r, 0);
    for (k = 1; k < t->span && doc_spend(&r->out->expansion_left, DOC_EMPTY_CELL_COST); ++k)
        doc_cell(r->out, t->row_header);
}

/* ---- pictures and text boxes ---- */

static void on_drawing_object(docx_reader *r, const xml_event *e)
{
    (void)e;
    clear_picture(r);
}

static void on_drawing_object_end(docx_reader *r)
{
    if (r->picture_id.size)
        put_picture(r);
    clear_picture(r);
}

static void on_extent(docx_reader *r, const xml_event *e)
{
    r->picture_width = pixels_of_emu(e, "cx");
    r->picture_height = pixels_of_emu(e, "cy");
}

static void on_drawing_properties(docx_reader *r, const xml_event *e)
{
    copy_attribute(&r->picture_alt, e, XML_NS_NONE, "descr");
    copy_attribute(&r->picture_title, e, XML_NS_NONE, "title");
}

static void on_blip(docx_reader *r, const xml_event *e)
{
    copy_attribute(&r->picture_id, e, NS_R, "embed");
    if (r->picture_id.size == 0)
        copy_attribute(&r->picture_id, e, NS_R, "link");
}

static void on_shape(docx_reader *r, const xml_event *e)
{
    clear_picture(r);
    copy_attribute(&r->picture_alt, e, XML_NS_NONE, "alt");
}

static void on_image_data(docx_reader *r, const xml_event *e)
{
    copy_attribute(&r->picture_id, e, NS_R, "id");
    copy_attribute(&r->picture_title, e, NS_O, "title");
}

/* A text box's paragraphs stand after the paragraph that holds the box,
 * which goes on after them as a paragraph of its own. */
static void on_text_box(docx_reader *r, const xml_event *e)
{
    const paragraph_state outer = r->para;
    const run_props run = r->run;
    const int run_style = r->run_style, depth = r->x->depth;
    (void)e;
    if (r->text_box_depth == TEXT_BOX_DEPTH || r->instruction_depth) {
        on_skipped(r, e);
        return;
    }
    end_paragraph(r);
    ++r->text_box_depth;
    walk(r, depth);
    --r->text_box_depth;
    end_paragraph(r);
    end_code(r);
    r->para = outer;
    r->para.open = 0;
    r->run = run;
    r->run_style = run_style;
}

/* ---- the table of elements ---- */

typedef struct element {
    int ns;
    const char *name;
    size_t length;
    element_handler start;
    void (*end)(docx_reader *r);
} element;

/* Sorted by namespace, then by name as strcmp orders them. */
static const element elements[] = {
    {NS_W, "br", sizeof "br" - 1, on_break, NULL},
    {NS_W, "cr", sizeof "cr" - 1, on_break, NULL},
    {NS_W, "del", sizeof "del" - 1, on_skipped, NULL},
    {NS_W, "endnoteRef", sizeof "endnoteRef" - 1, on_note_mark, NULL},
    {NS_W, "endnoteReference", sizeof "endnoteReference" - 1, on_endnote_reference, NULL},
    {NS_W, "fldChar", sizeof "fldChar" - 1, on_field_char, NULL},
    {NS_W, "fldSimple", sizeof "fldSimple" - 1, on_simple_field, on_field_end},
    {NS_W, "footnoteRef", sizeof "footnoteRef" - 1, on_note_mark, NULL},
    {NS_W, "footnoteReference", sizeof "footnoteReference" - 1, on_footnote_reference, NULL},
    {NS_W, "gridSpan", sizeof "gridSpan" - 1, on_grid_span, NULL},
    {NS_W, "hyperlink", sizeof "hyperlink" - 1, on_hyperlink, on_hyperlink_end},
    {NS_W, "instrText", sizeof "instrText" - 1, on_text, on_text_end},
    {NS_W, "moveFrom", sizeof "moveFrom" - 1, on_skipped, NULL},
    {NS_W, "noBreakHyphen", sizeof "noBreakHyphen" - 1, on_no_break_hyphen, NULL},
    {NS_W, "p", sizeof "p" - 1, on_paragraph, on_paragraph_end},
    {NS_W, "pPr", sizeof "pPr" - 1, on_paragraph_props, NULL},
    {NS_W, "r", sizeof "r" - 1, on_run, NULL},
    {NS_W, "rPr", sizeof "rPr" - 1, on_run_props, NULL},
    {NS_W, "sdtEndPr", sizeof "sdtEndPr" - 1, on_skipped, NULL},
    {NS_W, "sdtPr", sizeof "sdtPr" - 1, on_skipped, NULL},
    {NS_W, "sectPr", sizeof "sectPr" - 1, on_skipped, NULL},
    {NS_W, "softHyphen", sizeof "softHyphen" - 1, on_soft_hyphen, NULL},
    {NS_W, "sym", sizeof "sym" - 1, on_symbol, NULL},
    {NS_W, "t", sizeof "t" - 1, on_text, on_text_end},
    {NS_W, "tab", sizeof "tab" - 1, on_tab, NULL},
    {NS_W, "tbl", sizeof "tbl" - 1, on_table, on_table_end},
    {NS_W, "tblGrid", sizeof "tblGrid" - 1, on_skipped, NULL},
    {NS_W, "tblHeader", sizeof "tblHeader" - 1, on_header_row, NULL},
    {NS_W, "tblLook", sizeof "tblLook" - 1, on_table_look, NULL},
    {NS_W, "tc", sizeof "tc" - 1, on_cell, on_cell_end},
    {NS_W, "tr", sizeof "tr" - 1, on_row, on_row_end},
    {NS_W, "txbxContent", sizeof "txbxContent" - 1, on_text_box, NULL},
    {NS_WP, "anchor", sizeof "anchor" - 1, on_drawing_object, on_drawing_object_end},
    {NS_WP, "docPr", sizeof "docPr" - 1, on_drawing_properties, NULL},
    {NS_WP, "extent", sizeof "extent" - 1, on_extent, NULL},
    {NS_WP, "inline", sizeof "inline" - 1, on_drawing_object, on_drawing_object_end},
    {NS_A, "blip", sizeof "blip" - 1, on_blip, NULL},
    {NS_MC, "Fallback", sizeof "Fallback" - 1, on_skipped, NULL}, /* the choice before it was read */
    {NS_V, "imagedata", sizeof "imagedata" - 1, on_image_data, NULL},
    {NS_V, "shape", sizeof "shape" - 1, on_shape, on_drawing_object_end},
};

static const element *find_element(const xml_event *e)
{
    int low = 0, high = (int)(sizeof elements / sizeof *elements);
    while (low < high) {
        const int middle = (low + high) / 2;
        const element *candidate = &elements[middle];
        int order = (candidate->ns > e->ns) - (candidate->ns < e->ns);
        if (order == 0) {
            const size_t n = candidate->length;
            order = memcmp(candidate->name, e->name, n < e->name_length ? n : e->name_length);
            if (order == 0)
                order = (n > e->name_length) - (n < e->name_length);
        }
        if (order == 0)
            return candidate;
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return NULL;
}

/* Walks the part's elements until the one open at `depth` ends (0: to
 * the part's end); elements that no handler takes are read through. */
static void walk(docx_reader *r, int depth)
{
    xml_event e;
    while (!r->failed && !r->b.out.failed && r->x->depth >= depth) {
        const int kind = xml_next(r->x, &e);
        const element *handler;
        if (kind == XML_FAILED) {
            r->failed = 1;
        } else if (kind == XML_END_OF_INPUT) {
            return;
        } else if (kind == XML_TEXT) {
            if (r->in_text)
                put_text(r, e.text, e.text_length);
        } else if ((handler = find_element(&e)) != NULL) {
            if (kind == XML_START && handler->start)
                handler->start(r, &e);
            else if (kind == XML_END && handler->end)
                handler->end(r);
        }
    }
}

/* ---- the parts ---- */

static int read_part(docx_reader *r, const char *name, buffer *into, int required)
{
    const zip_entry *entry = zip_find(&r->zip, name);
    into->size = 0;
    if (!entry)
        return required ? refusal_setf("It holds no document: its part %s is missing.", name) : 1;
    return zip_read(&r->zip, entry, into);
}

/* The part a relationship of the body names, read; 1 with nothing read
 * when the document has no such part. */
static int read_related_part(docx_reader *r, int kind, const char *fallback, buffer *into, char *name, size_t room)
{
    const relationship *rel = find_relationship_of_kind(&r->rels, kind);
    if (!rel || !part_name(name, room, r->part_folder, rel_text(&r->rels, rel->target_at), rel->target_length))
        snprintf(name, room, "%s", fallback);
    return read_part(r, name, into, 0);
}

static int note_referenced(const docx_reader *r, int key)
{
    const size_t count = r->note_ids.size / sizeof(int);
    return count && bsearch(&key, r->note_ids.data, count, sizeof key, by_number) != NULL;
}

/* The notes the body referred to, each walked into the note the builder
 * keeps for it. */
static void walk_notes(docx_reader *r, int kind, const char *fallback)
{
    const char *element_name = kind == REL_FOOTNOTES ? "footnote" : "endnote";
    char name[512];
    xml_reader x;
    xml_event e;
    int event;
    if (!read_related_part(r, kind, fallback, &r->part, name, sizeof name) || r->part.size == 0) {
        r->failed |= refusal_reason()[0] != '\0';
        return;
    }
    xml_begin(&x, r->part.data, r->part.size, name, docx_uris, docx_uri_ns, docx_uri_count);
    r->x = &x;
    while (!r->failed && (event = xml_next(&x, &e)) != XML_END_OF_INPUT) {
        const int id = event == XML_START && xml_is(&e, NS_W, element_name) ? attribute_number(&e, NS_W, "id", -1) : -1;
        char note[16];
        if (event == XML_FAILED) {
            r->failed = 1;
        } else if (id >= 0 && note_referenced(r, kind == REL_FOOTNOTES ? id : -1 - id)) {
            const int length = snprintf(note, sizeof note, "%c%d", kind == REL_FOOTNOTES ? 'f' : 'e', id);
            r->out = doc_note_begin(&r->b, note, (size_t)length);
            on_paragraph(r, &e);
            end_lists(r);
            walk(r, x.depth);
            end_paragraph(r);
            end_code(r);
            end_quote(r);
            end_definition(r);
            doc_note_end(r->out);
            r->out = &r->b;
        }
    }
    xml_end(&x);
    r->x = NULL;
}

static void read_tables(docx_reader *r)
{
    char name[512];
    if (read_related_part(r, REL_STYLES, "word/styles.xml", &r->part, name, sizeof name) && r->part.size &&
        !read_styles(&r->styles, r->part.data, r->part.size))
        r->failed = 1;
    if (!r->failed && read_related_part(r, REL_NUMBERING, "word/numbering.xml", &r->part, name, sizeof name) &&
        r->part.size && !read_numbering(&r->numbering, r->part.data, r->part.size))
        r->failed = 1;
    if (refusal_reason()[0])
        r->failed = 1;
}

/* The main part, from the package's relationships (Word's own name when
 * they do not say), and the folder its relationships point from. */
static int find_main_part(docx_reader *r, char *name, size_t room)
{
    buffer target = {0};
    int ok = read_part(r, "_rels/.rels", &r->part, 0) &&
             (r->part.size == 0 || read_relationships(NULL, &r->part, "_rels/.rels", "/officeDocument", &target));
    if (ok && !(target.size && part_name(name, room, "", (const char *)target.data, target.size)))
        snprintf(name, room, "word/document.xml");
    free(target.data);
    return ok;
}

static void body_relationships_name(char *rels_name, size_t room, const char *main_name)
{
    const char *slash = strrchr(main_name, '/');
    const size_t folder = slash ? (size_t)(slash - main_name + 1) : 0;
    snprintf(rels_name, room, "%.*s_rels/%s.rels", (int)folder, main_name, main_name + folder);
}

/* A compound file where a package was expected: an encrypted package,
 * or a document of Word 97-2003 named .docx. */
static int refuse_compound_file(const buffer *raw)
{
    static const char encrypted[] = "E\0n\0c\0r\0y\0p\0t\0e\0d\0P\0a\0c\0k\0a\0g\0e\0";
    size_t at;
    for (at = 0; at + sizeof encrypted - 1 <= raw->size; ++at) {
        const unsigned char *hit = find_byte(raw->data + at, raw->size - at, 'E');
        if (!hit || (size_t)(hit - raw->data) + sizeof encrypted - 1 > raw->size)
            break;
        at = (size_t)(hit - raw->data);
        if (memcmp(hit, encrypted, sizeof encrypted - 1) == 0)
            return refusal_set("It is encrypted: the Word document is protected by a password, and is read only "
                               "once it is saved without one.");
    }
    return refusal_set("It is not a Word document (.docx): it is a file of Office 97-2003, a .doc or another.");
}

static void release_reader(docx_reader *r)
{
    zip_close(&r->zip);
    release_input(&r->raw);
    free(r->rels.items);
    free(r->rels.text.data);
    styles_free(&r->styles);
    numbering_free(&r->numbering);
    free(r->instruction.data);
    free(r->picture_id.data);
    free(r->picture_alt.data);
    free(r->picture_title.data);
    free(r->part.data);
    free(r->data.data);
    free(r->note_ids.data);
    free(r);
}

static int32_t read_body(docx_reader *r, FILE *out, const char *found)
{
    char main_name[512], rels_name[600];
    buffer body = {0};
    xml_reader x;
    if (!find_main_part(r, main_name, sizeof main_name))
        return CONVERT_WRONG_FORMAT;
    body_relationships_name(rels_name, sizeof rels_name, main_name);
    if (!read_part(r, rels_name, &r->part, 0) ||
        (r->part.size && !read_relationships(&r->rels, &r->part, rels_name, NULL, NULL)))
        return CONVERT_WRONG_FORMAT;
    sort_relationships(&r->rels);
    snprintf(r->part_folder, sizeof r->part_folder, "word/");
    if (strrchr(main_name, '/') && (size_t)(strrchr(main_name, '/') - main_name) < sizeof r->part_folder - 2)
        snprintf(r->part_folder, sizeof r->part_folder, "%.*s/", (int)(strrchr(main_name, '/') - main_name),
                 main_name);
    read_tables(r);
    if (r->failed || !read_part(r, main_name, &body, 1)) {
        free(body.data);
        return CONVERT_WRONG_FORMAT;
    }
    doc_begin_found(&r->b, out, found);
    r->b.expansion_left = doc_expansion_budget(body.size);
    r->out = &r->b;
    xml_begin(&x, body.data, body.size, main_name, docx_uris, docx_uri_ns, docx_uri_count);
    r->x = &x;
    walk(r, 0);
    end_paragraph(r);
    end_code(r);
    end_quote(r);
    end_definition(r);
    xml_end(&x);
    free(body.data);
    if (r->note_ids.size)
        qsort(r->note_ids.data, r->note_ids.size / sizeof(int), sizeof(int), by_number);
    if (!r->failed && r->note_ids.size) {
        walk_notes(r, REL_FOOTNOTES, "word/footnotes.xml");
        walk_notes(r, REL_ENDNOTES, "word/endnotes.xml");
    }
    if (r->failed) {
        r->b.out.failed = 1; /* what was built is cut short: it fails with the reason given */
        doc_finish(&r->b);
        return CONVERT_WRONG_FORMAT;
    }
    return doc_finish(&r->b);
}

int32_t read_docx_found(FILE *in, FILE *out, const char *found)
{
    docx_reader *r = (docx_reader *)calloc(1, sizeof *r);
    int32_t result;
    if (!r)
        return refusal_set(REFUSAL_OUT_OF_MEMORY), CONVERT_WRONG_FORMAT;
    result = load_input(in, &r->raw);
    if (result == CONVERT_OK) {
        if (r->raw.size >= 8 && memcmp(r->raw.data, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0) {
            refuse_compound_file(&r->raw);
            result = CONVERT_WRONG_FORMAT;
        }
        else if (!zip_open(&r->zip, r->raw.data, r->raw.size, FORMAT_NAME))
            result = CONVERT_WRONG_FORMAT;
        else
            result = read_body(r, out, found);
    }
    release_reader(r);
    return result;
}

int32_t read_docx(FILE *in, FILE *out)
{
    return read_docx_found(in, out, NULL);
}
