/* A Word document's styles and numbering, read once into small tables:
 * each style's kind and character properties resolved through the styles
 * it is based on, so that a paragraph or a run costs one look-up. */
#include <stdlib.h>

#include "shipped/cnvdoc/docx_read.h"
#include "shipped/core/form.h"
#include "shipped/core/refusal.h"

const char *const docx_uris[] = {
    "http://schemas.openxmlformats.org/wordprocessingml/2006/main",
    "http://purl.oclc.org/ooxml/wordprocessingml/main",
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "http://purl.oclc.org/ooxml/officeDocument/relationships",
    "http://schemas.openxmlformats.org/package/2006/relationships",
    "http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing",
    "http://purl.oclc.org/ooxml/drawingml/wordprocessingDrawing",
    "http://schemas.openxmlformats.org/drawingml/2006/main",
    "http://purl.oclc.org/ooxml/drawingml/main",
    "http://schemas.openxmlformats.org/drawingml/2006/picture",
    "http://purl.oclc.org/ooxml/drawingml/picture",
    "http://schemas.openxmlformats.org/markup-compatibility/2006",
    "urn:schemas-microsoft-com:vml",
    "urn:schemas-microsoft-com:office:office",
    "http://schemas.microsoft.com/office/word/2010/wordprocessingShape",
    "http://schemas.openxmlformats.org/package/2006/content-types",
};
const int docx_uri_ns[] = {NS_W, NS_W, NS_R, NS_R, NS_RELS, NS_WP, NS_WP, NS_A, NS_A,
                           NS_PIC, NS_PIC, NS_MC, NS_V, NS_O, NS_WPS, NS_CT};
const int docx_uri_count = (int)(sizeof docx_uris / sizeof *docx_uris);

int attribute_number(const xml_event *e, int ns, const char *name, int otherwise)
{
    const xml_attribute *a = xml_attribute_of(e, ns, name);
    char digits[16];
    size_t n;
    if (!a || a->value_length == 0)
        return otherwise;
    n = a->value_length < sizeof digits - 1 ? a->value_length : sizeof digits - 1;
    memcpy(digits, a->value, n);
    digits[n] = '\0';
    return (int)strtol(digits, NULL, 10);
}

int attribute_on(const xml_event *e)
{
    const xml_attribute *a = xml_attribute_of(e, NS_W, "val");
    if (!a)
        return 1;
    return !(a->value_length == 1 && (a->value[0] == '0')) &&
           !(a->value_length == 5 && memcmp(a->value, "false", 5) == 0) &&
           !(a->value_length == 3 && memcmp(a->value, "off", 3) == 0) &&
           !(a->value_length == 4 && memcmp(a->value, "none", 4) == 0);
}

static int value_is(const xml_attribute *a, const char *text)
{
    return a && a->value_length == strlen(text) && memcmp(a->value, text, a->value_length) == 0;
}

/* Monospaced fonts: text set in one of them is code. */
static int is_fixed_pitch_font(const char *name, size_t n)
{
    static const char *const fonts[] = {"Consolas", "Courier", "Courier New", "Lucida Console", "Menlo",
                                        "Monaco", "Liberation Mono", "DejaVu Sans Mono", "Source Code Pro",
                                        "Cascadia Code", "Cascadia Mono", "monospace", "Noto Mono"};
    size_t i;
    for (i = 0; i < sizeof fonts / sizeof *fonts; ++i)
        if (strlen(fonts[i]) == n && memcmp(fonts[i], name, n) == 0)
            return 1;
    return 0;
}

static void set_prop(run_props *p, unsigned bit, int on)
{
    p->set |= bit;
    p->on = on ? p->on | bit : p->on & ~bit;
}

/* One property of a run, from its element. */
void read_run_prop(run_props *p, const xml_event *e)
{
    static const struct {
        const char *name;
        unsigned bit;
    } toggles[] = {{"b", PROP_B}, {"i", PROP_I}, {"strike", PROP_S}, {"dstrike", PROP_S},
                   {"smallCaps", PROP_SC}, {"vanish", PROP_HIDDEN}, {"webHidden", PROP_HIDDEN}};
    size_t i;
    for (i = 0; i < sizeof toggles / sizeof *toggles; ++i)
        if (xml_is(e, NS_W, toggles[i].name)) {
            set_prop(p, toggles[i].bit, attribute_on(e));
            return;
        }
    if (xml_is(e, NS_W, "u")) {
        set_prop(p, PROP_U, attribute_on(e));
    } else if (xml_is(e, NS_W, "vertAlign")) {
        const xml_attribute *a = xml_attribute_of(e, NS_W, "val");
        set_prop(p, PROP_SUP, value_is(a, "superscript"));
        set_prop(p, PROP_SUB, value_is(a, "subscript"));
    } else if (xml_is(e, NS_W, "position")) {
        /* raised or lowered text: how LibreOffice writes a superscript */
        const int position = attribute_number(e, NS_W, "val", 0);
        set_prop(p, PROP_SUP, position > 0);
        set_prop(p, PROP_SUB, position < 0);
    } else if (xml_is(e, NS_W, "rFonts")) {
        const xml_attribute *a = xml_attribute_of(e, NS_W, "ascii");
        if (!a)
            a = xml_attribute_of(e, NS_W, "hAnsi");
        if (a)
            set_prop(p, PROP_CODE, is_fixed_pitch_font(a->value, a->value_length));
    } else if (xml_is(e, NS_W, "rStyle")) {
        /* the run's character style is the caller's to resolve */
    }
}

int read_run_props(xml_reader *x, run_props *p)
{
    const int depth = x->depth;
    xml_event e;
    while (x->depth >= depth) {
        const int kind = xml_next(x, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
        if (kind != XML_START)
            continue;
        if (xml_is(&e, NS_W, "rPrChange")) {
            if (!xml_skip(x)) /* the properties before a tracked change: not the document's */
                return 0;
            continue;
        }
        read_run_prop(p, &e);
    }
    return 1;
}

/* ---- styles ---- */

/* Names of the built-in styles, by their id or their name in lower case. */
static void classify_by_name(docx_style *s, const char *name, size_t n)
{
    char lower[40];
    size_t i;
    if (n >= sizeof lower)
        return;
    for (i = 0; i < n; ++i)
        lower[i] = (char)ascii_lower((unsigned char)name[i]);
    lower[n] = '\0';
    if ((n == 9 && memcmp(lower, "heading ", 8) == 0) || (n == 8 && memcmp(lower, "heading", 7) == 0)) {
        const char digit = lower[n - 1];
        if (digit >= '1' && digit <= '9') {
            s->kind = KIND_HEADING;
            s->level = digit - '0';
        }
    } else if (strcmp(lower, "title") == 0) {
        s->kind = KIND_HEADING;
        s->level = 1;
    } else if (strcmp(lower, "quote") == 0 || strcmp(lower, "intense quote") == 0 ||
               strcmp(lower, "intensequote") == 0 || strcmp(lower, "block text") == 0 ||
               strcmp(lower, "blocktext") == 0 || strcmp(lower, "quotations") == 0) {
        s->kind = KIND_QUOTE;
    } else if (strcmp(lower, "source code") == 0 || strcmp(lower, "sourcecode") == 0 ||
               strcmp(lower, "html preformatted") == 0 || strcmp(lower, "htmlpreformatted") == 0 ||
               strcmp(lower, "preformatted text") == 0 || strcmp(lower, "macro text") == 0 ||
               strcmp(lower, "code") == 0) {
        s->kind = KIND_CODE;
    } else if (strcmp(lower, "definition term") == 0 || strcmp(lower, "definitionterm") == 0) {
        s->kind = KIND_TERM;
    } else if (strcmp(lower, "definition") == 0) {
        s->kind = KIND_DEFINITION;
    }
}

static int add_name(style_table *t, const char *s, size_t n, size_t *at)
{
    *at = t->names.size;
    put_bytes(&t->names, s, n);
    return !t->names.failed;
}

/* A w:style, its start the last event: its id, kind, base, numbering and
 * run properties. */
static int read_style(style_table *t, xml_reader *x, const xml_event *start)
{
    const xml_attribute *id = xml_attribute_of(start, NS_W, "styleId");
    const xml_attribute *type = xml_attribute_of(start, NS_W, "type");
    const int depth = x->depth;
    docx_style *s;
    xml_event e;
    if (!id)
        return xml_skip(x);
    s = (docx_style *)room_for_one(t->styles, t->count, &t->capacity, 32, sizeof *s);
    if (!s)
        return 0;
    t->styles = s;
    s = &t->styles[t->count];
    memset(s, 0, sizeof *s);
    s->based_on = -1;
    s->is_paragraph = !type || value_is(type, "paragraph");
    s->num_level = -1;
    if (!add_name(t, id->value, id->value_length, &s->id_at))
        return 0;
    s->id_length = id->value_length;
    classify_by_name(s, id->value, id->value_length);
    while (x->depth >= depth) {
        const int kind = xml_next(x, &e);
        const xml_attribute *val;
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
        if (kind != XML_START)
            continue;
        val = xml_attribute_of(&e, NS_W, "val");
        if (xml_is(&e, NS_W, "name") && val)
            classify_by_name(s, val->value, val->value_length);
        else if (xml_is(&e, NS_W, "basedOn") && val) {
            if (!add_name(t, val->value, val->value_length, &s->base_at))
                return 0;
            s->base_length = val->value_length;
        }        else if (xml_is(&e, NS_W, "outlineLvl") && val && s->kind != KIND_HEADING) {
            const int level = attribute_number(&e, NS_W, "val", 9);
            if (level >= 0 && level < 9)
                s->kind = KIND_HEADING, s->level = level + 1;
        } else if (xml_is(&e, NS_W, "numId"))
            s->num_id = attribute_number(&e, NS_W, "val", 0);
        else if (xml_is(&e, NS_W, "ilvl"))
            s->num_level = attribute_number(&e, NS_W, "val", 0);
        else if (xml_is(&e, NS_W, "rPr") && !read_run_props(x, &s->runs))
            return 0;
    }
    ++t->count;
    return 1;
}

static int compare_ids(const char *a, size_t a_length, const char *b, size_t b_length)
{
    const int order = memcmp(a, b, a_length < b_length ? a_length : b_length);
    return order ? order : (a_length > b_length) - (a_length < b_length);
}

int find_style(const style_table *t, const char *id, size_t length)
{
    int low = 0, high = t->count;
    while (low < high) {
        const int middle = (low + high) / 2;
        const docx_style *s = &t->styles[t->by_id[middle]];
        const int order = compare_ids((const char *)t->names.data + s->id_at, s->id_length, id, length);
        if (order == 0)
            return t->by_id[middle];
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return -1;
}

/* A style takes from its base what it does not set itself; a chain that
 * loops back, or runs deeper than any real one, stops. */
static void resolve_style(style_table *t, int index, int depth)
{
    docx_style *s = &t->styles[index], *base;
    if (s->resolved)
        return;
    s->resolved = 1;
    if (s->base_length == 0 || depth > 32)
        return;
    s->based_on = find_style(t, (const char *)t->names.data + s->base_at, s->base_length);
    if (s->based_on < 0 || s->based_on == index)
        return;
    resolve_style(t, s->based_on, depth + 1);
    base = &t->styles[s->based_on];
    if (s->kind == KIND_PARAGRAPH) {
        s->kind = base->kind;
        s->level = base->level;
    }
    if (s->num_id == 0) {
        s->num_id = base->num_id;
        if (s->num_level < 0)
            s->num_level = base->num_level;
    }
    s->runs.on = (s->runs.on & s->runs.set) | (base->runs.on & ~s->runs.set);
    s->runs.set |= base->runs.set;
}

static int sort_styles(style_table *t)
{
    int i;
    t->by_id = (int *)malloc(sizeof *t->by_id * (size_t)(t->count ? t->count : 1));
    if (!t->by_id)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; i < t->count; ++i)
        t->by_id[i] = i;
    {
        /* a merge sort of the indices by id, bottom up: qsort would need
         * the names in a global */
        int *scratch = (int *)malloc(sizeof *scratch * (size_t)(t->count ? t->count : 1));
        int width;
        if (!scratch)
            return refusal_set(REFUSAL_OUT_OF_MEMORY);
        for (width = 1; width < t->count; width *= 2) {
            int start;
            for (start = 0; start < t->count; start += 2 * width) {
                const int middle = start + width < t->count ? start + width : t->count;
                const int end = start + 2 * width < t->count ? start + 2 * width : t->count;
                int a = start, b = middle, k = start;
                while (a < middle || b < end) {
                    const docx_style *x = a < middle ? &t->styles[t->by_id[a]] : NULL;
                    const docx_style *y = b < end ? &t->styles[t->by_id[b]] : NULL;
                    const int take_a = !y || (x && compare_ids((const char *)t->names.data + x->id_at, x->id_length,
                                                               (const char *)t->names.data + y->id_at,
                                                               y->id_length) <= 0);
                    scratch[k++] = take_a ? t->by_id[a++] : t->by_id[b++];
                }
            }
            memcpy(t->by_id, scratch, sizeof *scratch * (size_t)t->count);
        }
        free(scratch);
    }
    return 1;
}

/* A paragraph style set in a fixed-pitch font is a style for code. */
static void classify_by_font(docx_style *s)
{
    if (s->is_paragraph && s->kind == KIND_PARAGRAPH && (s->runs.set & s->runs.on & PROP_CODE))
        s->kind = KIND_CODE;
}

int read_styles(style_table *t, const unsigned char *s, size_t n)
{
    xml_reader x;
    xml_event e;
    int kind, ok = 1, i;
    xml_begin(&x, s, n, "word/styles.xml", docx_uris, docx_uri_ns, docx_uri_count);
    while (ok && (kind = xml_next(&x, &e)) != XML_END_OF_INPUT) {
        if (kind == XML_FAILED)
            ok = 0;
        else if (kind == XML_START && xml_is(&e, NS_W, "style"))
            ok = read_style(t, &x, &e);
        else if (kind == XML_START && xml_is(&e, NS_W, "rPrDefault"))
            ok = read_run_props(&x, &t->defaults);
    }
    xml_end(&x);
    if (!ok || !sort_styles(t))
        return 0;
    for (i = 0; i < t->count; ++i)
        resolve_style(t, i, 0);
    for (i = 0; i < t->count; ++i)
        classify_by_font(&t->styles[i]);
    return 1;
}

void styles_free(style_table *t)
{
    free(t->styles);
    free(t->by_id);
    free(t->names.data);
    memset(t, 0, sizeof *t);
}

/* ---- numbering ---- */

static int list_style_of_format(const xml_attribute *format)
{
    static const struct {
        const char *name;
        int style;
    } formats[] = {{"bullet", DOC_BULLET}, {"none", DOC_BULLET}, {"lowerLetter", LIST_LOWER_ALPHA},
                   {"upperLetter", LIST_UPPER_ALPHA}, {"lowerRoman", LIST_LOWER_ROMAN},
                   {"upperRoman", LIST_UPPER_ROMAN}};
    size_t i;
    for (i = 0; format && i < sizeof formats / sizeof *formats; ++i)
        if (value_is(format, formats[i].name))
            return formats[i].style;
    return LIST_DECIMAL;
}

/* The levels a level's text shows: "%1.%2." shows two. */
static int levels_shown(const xml_attribute *text)
{
    size_t i;
    int shown = 0;
    for (i = 0; text && i + 1 < text->value_length; ++i)
        if (text->value[i] == '%' && text->value[i + 1] >= '1' && text->value[i + 1] <= '9')
            ++shown;
    return shown;
}

static int read_level(abstract_numbering *a, xml_reader *x, const xml_event *start)
{
    const int index = attribute_number(start, NS_W, "ilvl", -1);
    const int depth = x->depth;
    numbering_level level = {LIST_DECIMAL, 1, 1};
    xml_event e;
    while (x->depth >= depth) {
        const int kind = xml_next(x, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
        if (kind != XML_START)
            continue;
        if (xml_is(&e, NS_W, "start"))
            level.start = attribute_number(&e, NS_W, "val", 1);
        else if (xml_is(&e, NS_W, "numFmt"))
            level.style = list_style_of_format(xml_attribute_of(&e, NS_W, "val"));
        else if (xml_is(&e, NS_W, "lvlText"))
            level.shown = levels_shown(xml_attribute_of(&e, NS_W, "val"));
        else if (xml_is(&e, NS_W, "pPr") || xml_is(&e, NS_W, "rPr"))
            xml_skip(x);
    }
    if (index >= 0 && index < NUMBERING_LEVELS)
        a->levels[index] = level;
    return 1;
}

static int read_abstract(numbering_table *t, xml_reader *x, const xml_event *start)
{
    const int depth = x->depth;
    abstract_numbering *a = (abstract_numbering *)room_for_one(t->abstracts, t->abstract_count, &t->abstract_capacity,
                                                                8, sizeof *a);
    xml_event e;
    int i;
    if (!a)
        return 0;
    t->abstracts = a;
    a = &t->abstracts[t->abstract_count++];
    memset(a, 0, sizeof *a);
    a->id = attribute_number(start, NS_W, "abstractNumId", -1);
    for (i = 0; i < NUMBERING_LEVELS; ++i)
        a->levels[i] = (numbering_level){LIST_DECIMAL, 1, 1};
    while (x->depth >= depth) {
        const int kind = xml_next(x, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
        if (kind == XML_START && xml_is(&e, NS_W, "lvl") && !read_level(a, x, &e))
            return 0;
    }
    return 1;
}

static int read_instance(numbering_table *t, xml_reader *x, const xml_event *start)
{
    const int depth = x->depth;
    numbering_instance *n = (numbering_instance *)room_for_one(t->instances, t->instance_count,
                                                                &t->instance_capacity, 8, sizeof *n);
    int overridden = -1;
    xml_event e;
    if (!n)
        return 0;
    t->instances = n;
    n = &t->instances[t->instance_count++];
    memset(n, 0, sizeof *n);
    n->id = attribute_number(start, NS_W, "numId", -1);
    n->abstract = -1 - attribute_number(start, NS_W, "abstractNumId", -1); /* an id until resolved */
    while (x->depth >= depth) {
        const int kind = xml_next(x, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
        if (kind != XML_START)
            continue;
        if (xml_is(&e, NS_W, "abstractNumId"))
            n->abstract = -1 - attribute_number(&e, NS_W, "val", -1);
        else if (xml_is(&e, NS_W, "lvlOverride"))
            overridden = attribute_number(&e, NS_W, "ilvl", -1);
        else if (xml_is(&e, NS_W, "startOverride") && overridden >= 0 && overridden < NUMBERING_LEVELS)
            n->restart[overridden] = attribute_number(&e, NS_W, "val", 1);
    }
    return 1;
}

static int by_abstract_id(const void *a, const void *b)
{
    const int x = ((const abstract_numbering *)a)->id, y = ((const abstract_numbering *)b)->id;
    return (x > y) - (x < y);
}

static int by_instance_id(const void *a, const void *b)
{
    const int x = ((const numbering_instance *)a)->id, y = ((const numbering_instance *)b)->id;
    return (x > y) - (x < y);
}

static int find_abstract(const numbering_table *t, int id)
{
    abstract_numbering key;
    const abstract_numbering *found;
    key.id = id;
    found = t->abstract_count ? (const abstract_numbering *)bsearch(&key, t->abstracts, (size_t)t->abstract_count,
                                                                    sizeof key, by_abstract_id)
                              : NULL;
    return found ? (int)(found - t->abstracts) : -1;
}

int read_numbering(numbering_table *t, const unsigned char *s, size_t n)
{
    xml_reader x;
    xml_event e;
    int kind, ok = 1, i;
    xml_begin(&x, s, n, "word/numbering.xml", docx_uris, docx_uri_ns, docx_uri_count);
    while (ok && (kind = xml_next(&x, &e)) != XML_END_OF_INPUT) {
        if (kind == XML_FAILED)
            ok = 0;
        else if (kind == XML_START && xml_is(&e, NS_W, "abstractNum"))
            ok = read_abstract(t, &x, &e);
        else if (kind == XML_START && xml_is(&e, NS_W, "num"))
            ok = read_instance(t, &x, &e);
    }
    xml_end(&x);
    /* sorted by id, so that instances find their definitions, and items
     * their instance, in a few steps however many a part defines */
    if (t->abstract_count)
        qsort(t->abstracts, (size_t)t->abstract_count, sizeof *t->abstracts, by_abstract_id);
    if (t->instance_count)
        qsort(t->instances, (size_t)t->instance_count, sizeof *t->instances, by_instance_id);
    for (i = 0; i < t->instance_count; ++i)
        t->instances[i].abstract = find_abstract(t, -1 - t->instances[i].abstract);
    return ok;
}

numbering_instance *find_numbering(numbering_table *t, int id)
{
    numbering_instance key;
    key.id = id;
    return t->instance_count ? (numbering_instance *)bsearch(&key, t->instances, (size_t)t->instance_count,
                                                             sizeof key, by_instance_id)
                             : NULL;
}

void numbering_free(numbering_table *t)
{
    free(t->abstracts);
    free(t->instances);
    memset(t, 0, sizeof *t);
}
