/* The HTML reader: real pages, not only well-formed ones.  The encoding
 * comes from a byte order mark or a <meta> declaration, else from the bytes
 * as browsers' detectors take them: UTF-8 where they are valid UTF-8, else
 * Windows-1252.  A tolerant tokenizer maps block and inline elements to the
 * intermediate form and keeps the text of elements it does not know. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

#define LIST_DEPTH 32
#define PRESCAN_LENGTH 1024
/* How far ahead of an <li> its content is read to tell a loose item. */
#define ITEM_LOOKAHEAD 4096
#define ITEM_LOOKAHEAD_TAGS 64

/* ---- encodings ---- */

static int is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

static int is_alpha(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static int is_alnum(unsigned char c)
{
    return is_alpha(c) || (c >= '0' && c <= '9');
}

/* A charset's label, quotes and white space around it passed over. */
static int code_page_of_label(const char *s, size_t n)
{
    size_t j;
    while (n && (is_space((unsigned char)*s) || *s == '"' || *s == '\'')) {
        ++s;
        --n;
    }
    for (j = 0; j < n && !is_space((unsigned char)s[j]) && s[j] != '"' && s[j] != '\'' && s[j] != ';' && s[j] != '>'; ++j)
        ;
    return code_page_of_web_label(s, j);
}

static const char *find_folded(const char *s, size_t n, const char *word)
{
    const size_t length = strlen(word);
    size_t i, j;
    for (i = 0; i + length <= n; ++i) {
        for (j = 0; j < length && ascii_lower((unsigned char)s[i + j]) == word[j]; ++j)
            ;
        if (j == length)
            return s + i;
    }
    return NULL;
}

/* <meta charset=...> or <meta http-equiv content="...; charset=..."> in
 * the first bytes of the page; 0 when there is none. */
static int declared_code_page(const char *s, size_t n)
{
    const char *meta, *end = s + (n < PRESCAN_LENGTH ? n : PRESCAN_LENGTH);
    while ((meta = find_folded(s, (size_t)(end - s), "<meta")) != NULL) {
        const char *close = (const char *)memchr(meta, '>', (size_t)(end - meta));
        const char *charset;
        const size_t length = close ? (size_t)(close - meta) : (size_t)(end - meta);
        if ((charset = find_folded(meta, length, "charset")) != NULL) {
            const char *value = charset + 7;
            while (value < meta + length && (is_space((unsigned char)*value) || *value == '='))
                ++value;
            {
                const int page = code_page_of_label(value, (size_t)(meta + length - value));
                if (page)
                    return page;
            }
        }
        s = meta + 5;
    }
    return 0;
}

/* UTF-8 with invalid sequences replaced, as browsers show them. */
static void put_lenient_utf8(buffer *out, const unsigned char *s, size_t n)
{
    size_t pos = 0;
    while (pos < n) {
        size_t run = pos;
        while (run < n && s[run] < 0x80)
            ++run;
        put_bytes(out, s + pos, run - pos);
        pos = run;
        if (pos < n) {
            const size_t at = pos;
            uint32_t c = next_utf8(s, n, &pos);
            if (c == BAD_UTF8) {
                c = 0xFFFD;
                pos = at + 1;
            }
            put_utf8(out, c);
        }
    }
}

static int decode_page(const buffer *raw, buffer *text)
{
    const unsigned char *s = raw->data;
    const size_t n = raw->size;
    int page;
    const unsigned char *nul;
    if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        if ((nul = find_byte(s + 3, n - 3, 0)) != NULL)
            return refusal_binary("HTML", s, n, (size_t)(nul - s));
        put_lenient_utf8(text, s + 3, n - 3);
        return 1;
    }
    if (n >= 2 && ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) {
        put_utf16_as_utf8(text, s + 2, n - 2, s[0] == 0xFE); /* a NUL is no content, as browsers take it */
        return 1;
    }
    if ((nul = find_byte(s, n, 0)) != NULL)
        return refusal_binary("HTML", s, n, (size_t)(nul - s));
    page = declared_code_page((const char *)s, n);
    if (page == 0 && is_valid_utf8(s, n))
        page = 65001;
    if (page == 65001) {
        put_lenient_utf8(text, s, n);
        return 1;
    }
    if (page && put_code_page_text(text, page, s, n))
        return 1;
    return put_code_page_text(text, 1252, s, n);
}

/* A CR LF and a lone CR are each one LF, as browsers take a page before
 * they read it: a page with old Mac line ends keeps its lines in <pre>. */
static void normalize_line_ends(buffer *page)
{
    unsigned char *s = page->data;
    size_t n = page->size, i = 0, o = 0;
    while (i < n) {
        const unsigned char *cr = find_byte(s + i, n - i, '\r');
        const size_t run = cr ? (size_t)(cr - (s + i)) : n - i;
        memmove(s + o, s + i, run);
        o += run;
        i += run;
        if (i == n)
            break;
        s[o++] = '\n';
        i += i + 1 < n && s[i + 1] == '\n' ? 2 : 1;
    }
    page->size = o;
}

/* ---- character references ---- */

/* A reference at s (s[0] is '&'); its length and text, 0 when none.  In an
 * attribute, a name without ";" followed by "=" or a letter stays text. */
static size_t character_reference(buffer *out, const char *s, size_t n, int in_attribute)
{
    size_t i;
    if (n >= 3 && s[1] == '#') {
        const int hex = s[2] == 'x' || s[2] == 'X';
        size_t start = hex ? 3 : 2;
        uint32_t value = 0;
        int overflow = 0;
        for (i = start; i < n; ++i) {
            const unsigned char c = (unsigned char)s[i];
            uint32_t digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f')
                digit = (uint32_t)(ascii_lower(c) - 'a' + 10);
            else
                break;
            value = value * (hex ? 16 : 10) + digit;
            if (value > 0x10FFFF)
                overflow = 1, value = 0x110000;
        }
        if (i == start)
            return 0;
        if (i < n && s[i] == ';')
            ++i;
        if (overflow || value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            value = 0xFFFD;
        else if (value >= 0x80 && value <= 0x9F)
            value = windows_1252_char((unsigned char)value);
        put_utf8(out, value);
        return i;
    }
    for (i = 1; i < n && i < 40 && is_alnum((unsigned char)s[i]); ++i)
        ;
    if (i == 1)
        return 0;
    if (i < n && s[i] == ';') {
        const char *text = named_reference(s + 1, i);
        if (text) {
            put_str(out, text);
            return i + 1;
        }
    }
    /* the longest name that is valid without its ";" */
    for (; i > 2; --i) {
        const char *text = named_reference(s + 1, i - 1);
        if (text) {
            if (in_attribute && i < n && (s[i] == '=' || is_alnum((unsigned char)s[i])))
                return 0;
            put_str(out, text);
            return i;
        }
    }
    return 0;
}

static void decode_references(buffer *out, const char *s, size_t n, int in_attribute)
{
    size_t i = 0;
    while (i < n) {
        const char *amp = (const char *)find_byte((const unsigned char *)s + i, n - i, '&');
        size_t used;
        if (!amp) {
            put_bytes(out, s + i, n - i);
            return;
        }
        put_bytes(out, s + i, (size_t)(amp - s) - i);
        i = (size_t)(amp - s);
        used = character_reference(out, s + i, n - i, in_attribute);
        if (used) {
            i += used;
        } else {
            put_byte(out, '&');
            ++i;
        }
    }
}

/* ---- elements ---- */

enum action {
    ACT_IGNORE, ACT_BLOCK, ACT_HEADING, ACT_LIST, ACT_ITEM, ACT_QUOTE, ACT_PRE, ACT_HR, ACT_BR, ACT_TABLE, ACT_ROW,
    ACT_CELL, ACT_HEADER_CELL, ACT_CAPTION, ACT_INLINE, ACT_LINK, ACT_IMAGE, ACT_SKIP, ACT_HEAD, ACT_BODY,
    ACT_CODE_INLINE, ACT_SPAN, ACT_QUOTATION, ACT_DEFINITIONS, ACT_TERM, ACT_DEFINITION, ACT_SECTION, ACT_COUNT
};

typedef struct element {
    const char *name;
    int action;
    int node; /* inline node, or heading level, or 1 for an ordered list */
} element;

/* Sorted by name. */
static const element elements[] = {
    {"a", ACT_LINK, NODE_A}, {"address", ACT_BLOCK, 0}, {"article", ACT_BLOCK, 0}, {"aside", ACT_SECTION, 0},
    {"b", ACT_INLINE, NODE_B}, {"blockquote", ACT_QUOTE, 0}, {"body", ACT_BODY, 0}, {"br", ACT_BR, 0},
    {"caption", ACT_CAPTION, 0}, {"center", ACT_BLOCK, 0}, {"cite", ACT_INLINE, NODE_I},
    {"code", ACT_CODE_INLINE, NODE_C}, {"dd", ACT_DEFINITION, 0}, {"del", ACT_INLINE, NODE_S},
    {"details", ACT_BLOCK, 0}, {"dfn", ACT_INLINE, NODE_I}, {"dialog", ACT_BLOCK, 0}, {"dir", ACT_LIST, 0},
    {"div", ACT_SECTION, 0}, {"dl", ACT_DEFINITIONS, 0}, {"dt", ACT_TERM, 0}, {"em", ACT_INLINE, NODE_I},
    {"fieldset", ACT_BLOCK, 0}, {"figcaption", ACT_BLOCK, 0}, {"figure", ACT_BLOCK, 0}, {"footer", ACT_BLOCK, 0},
    {"form", ACT_BLOCK, 0}, {"h1", ACT_HEADING, 1}, {"h2", ACT_HEADING, 2}, {"h3", ACT_HEADING, 3},
    {"h4", ACT_HEADING, 4}, {"h5", ACT_HEADING, 5}, {"h6", ACT_HEADING, 6}, {"head", ACT_HEAD, 0},
    {"header", ACT_BLOCK, 0}, {"hgroup", ACT_BLOCK, 0}, {"hr", ACT_HR, 0}, {"html", ACT_BLOCK, 0},
    {"i", ACT_INLINE, NODE_I}, {"iframe", ACT_SKIP, 0}, {"img", ACT_IMAGE, 0}, {"ins", ACT_INLINE, NODE_U},
    {"kbd", ACT_CODE_INLINE, NODE_C}, {"li", ACT_ITEM, 0}, {"listing", ACT_PRE, 0}, {"main", ACT_BLOCK, 0},
    {"menu", ACT_LIST, 0}, {"nav", ACT_BLOCK, 0}, {"noscript", ACT_SKIP, 0}, {"object", ACT_SKIP, 0},
    {"ol", ACT_LIST, 1}, {"p", ACT_BLOCK, 0}, {"plaintext", ACT_PRE, 0}, {"pre", ACT_PRE, 0}, {"q", ACT_QUOTATION, 0},
    {"s", ACT_INLINE, NODE_S}, {"samp", ACT_CODE_INLINE, NODE_C}, {"script", ACT_SKIP, 0}, {"section", ACT_SECTION, 0},
    {"span", ACT_SPAN, 0}, {"strike", ACT_INLINE, NODE_S}, {"strong", ACT_INLINE, NODE_B}, {"style", ACT_SKIP, 0},
    {"sub", ACT_INLINE, NODE_SUB}, {"summary", ACT_BLOCK, 0}, {"sup", ACT_INLINE, NODE_SUP}, {"svg", ACT_SKIP, 0},
    {"table", ACT_TABLE, 0}, {"td", ACT_CELL, 0}, {"template", ACT_SKIP, 0}, {"textarea", ACT_SKIP, 0},
    {"th", ACT_HEADER_CELL, 0}, {"title", ACT_SKIP, 0}, {"tr", ACT_ROW, 0}, {"tt", ACT_CODE_INLINE, NODE_C},
    {"u", ACT_INLINE, NODE_U}, {"ul", ACT_LIST, 0}, {"var", ACT_INLINE, NODE_I}, {"xmp", ACT_PRE, 0},
};

static const element *find_element(const char *name)
{
    return (const element *)find_named(elements, sizeof elements / sizeof *elements, sizeof *elements, name);
}

typedef struct attribute {
    const char *name;
    size_t name_length;
    const char *value;
    size_t value_length;
} attribute;

#define ATTRIBUTES 32

typedef struct tag {
    char name[16];
    int closing;
    const element *element; /* NULL: an element the reader does not know */
    attribute attributes[ATTRIBUTES];
    int attribute_count;
} tag;

static const attribute *find_attribute(const tag *t, const char *name)
{
    int i;
    const size_t length = strlen(name);
    for (i = 0; i < t->attribute_count; ++i) {
        const attribute *a = &t->attributes[i];
        size_t j;
        if (a->name_length != length)
            continue;
        for (j = 0; j < length && ascii_lower((unsigned char)a->name[j]) == name[j]; ++j)
            ;
        if (j == length)
            return a;
    }
    return NULL;
}

static int hex_value(unsigned char c)
{
    return c >= '0' && c <= '9' ? c - '0' : ascii_lower(c) >= 'a' && ascii_lower(c) <= 'f' ? ascii_lower(c) - 'a' + 10 : -1;
}

/* Whether s[0..n) is `word`, ASCII case ignored. */
static int is_word(const char *s, size_t n, const char *word)
{
    size_t i;
    if (n != strlen(word))
        return 0;
    for (i = 0; i < n && ascii_lower((unsigned char)s[i]) == word[i]; ++i)
        ;
    return i == n;
}

/* Whether one of the words of s[0..n), parted by white space, is one of
 * `words` (a NULL ends them). */
static int has_word(const char *s, size_t n, const char *const *words)
{
    size_t i = 0;
    while (i < n) {
        size_t start, k;
        while (i < n && is_space((unsigned char)s[i]))
            ++i;
        start = i;
        while (i < n && !is_space((unsigned char)s[i]))
            ++i;
        for (k = 0; words[k]; ++k)
            if (i > start && is_word(s + start, i - start, words[k]))
                return 1;
    }
    return 0;
}

static int has_class(const tag *t, const char *const *names)
{
    const attribute *a = find_attribute(t, "class");
    return a && has_word(a->value, a->value_length, names);
}

static int attribute_is(const tag *t, const char *name, const char *value)
{
    const attribute *a = find_attribute(t, name);
    return a && is_word(a->value, a->value_length, value);
}

/* A number as HTML's integer attributes hold it: white space, a sign,
 * digits, held at INT_MAX in magnitude; `fallback` without digits. */
static int attribute_number(const attribute *a, int fallback)
{
    size_t i = 0;
    int value = 0, negative = 0;
    while (i < a->value_length && is_space((unsigned char)a->value[i]))
        ++i;
    if (i < a->value_length && (a->value[i] == '-' || a->value[i] == '+'))
        negative = a->value[i++] == '-';
    if (i == a->value_length || a->value[i] < '0' || a->value[i] > '9')
        return fallback;
    for (; i < a->value_length && a->value[i] >= '0' && a->value[i] <= '9'; ++i)
        value = value > (INT_MAX - (a->value[i] - '0')) / 10 ? INT_MAX : value * 10 + (a->value[i] - '0');
    return negative ? -value : value;
}

/* The value of `property` among the declarations of a style attribute,
 * its white space trimmed (the last one where it is given twice, as CSS
 * takes it); 0 when it is not there.  A ";" inside a string ends nothing. */
static int css_value(const tag *t, const char *property, const char **value, size_t *length)
{
    const attribute *style = find_attribute(t, "style");
    const char *s = style ? style->value : NULL, *end = style ? s + style->value_length : NULL;
    int found = 0;
    while (s < end) {
        const char *name = s, *name_end, *v;
        char quote = 0;
        while (s < end && *s != ':' && *s != ';')
            ++s;
        for (name_end = s; name_end > name && is_space((unsigned char)name_end[-1]);)
            --name_end;
        while (name < name_end && is_space((unsigned char)*name))
            ++name;
        v = s < end && *s == ':' ? ++s : end;
        for (; s < end && (quote || *s != ';'); ++s) {
            if (quote && *s == '\\' && s + 1 < end)
                ++s;
            else if (*s == quote || (!quote && (*s == '"' || *s == '\'')))
                quote = quote ? 0 : *s;
        }
        if (v < end && is_word(name, (size_t)(name_end - name), property)) {
            const char *v_end = s;
            while (v < v_end && is_space((unsigned char)*v))
                ++v;
            while (v_end > v && is_space((unsigned char)v_end[-1]))
                --v_end;
            *value = v;
            *length = (size_t)(v_end - v);
            found = 1;
        }
        if (s < end)
            ++s;
    }
    return found;
}

/* ---- the tokenizer ---- */

/* Parses a tag at s[0] == '<'; returns its length, 0 when it is text. */
static size_t parse_tag(const char *s, size_t n, tag *t)
{
    size_t i = 1, name_length = 0;
    t->closing = 0;
    t->attribute_count = 0;
    if (i < n && s[i] == '/') {
        t->closing = 1;
        ++i;
    }
    if (i >= n || !is_alpha((unsigned char)s[i]))
        return 0;
    while (i < n && !is_space((unsigned char)s[i]) && s[i] != '/' && s[i] != '>') {
        if (name_length < sizeof t->name - 1)
            t->name[name_length++] = (char)ascii_lower((unsigned char)s[i]);
        ++i;
    }
    t->name[name_length] = '\0';
    for (;;) {
        attribute *a;
        while (i < n && (is_space((unsigned char)s[i]) || s[i] == '/'))
            ++i;
        if (i >= n)
            return n;
        if (s[i] == '>')
            return i + 1;
        a = t->attribute_count < ATTRIBUTES ? &t->attributes[t->attribute_count++] : &t->attributes[ATTRIBUTES - 1];
        a->name = s + i;
        ++i; /* a name may begin with "=" */
        while (i < n && !is_space((unsigned char)s[i]) && s[i] != '/' && s[i] != '>' && s[i] != '=')
            ++i;
        a->name_length = (size_t)(s + i - a->name);
        a->value = "";
        a->value_length = 0;
        while (i < n && is_space((unsigned char)s[i]))
            ++i;
        if (i < n && s[i] == '=') {
            ++i;
            while (i < n && is_space((unsigned char)s[i]))
                ++i;
            if (i < n && (s[i] == '"' || s[i] == '\'')) {
                const char quote = s[i++];
                const char *end = (const char *)memchr(s + i, quote, n - i);
                a->value = s + i;
                a->value_length = end ? (size_t)(end - (s + i)) : n - i;
                i = end ? (size_t)(end - s) + 1 : n;
            } else {
                a->value = s + i;
                while (i < n && !is_space((unsigned char)s[i]) && s[i] != '>')
                    ++i;
                a->value_length = (size_t)(s + i - a->value);
            }
        }
    }
}

/* Skips the content of a raw-text element up to its end tag. */
static size_t skip_raw(const char *s, size_t n, size_t i, const char *name)
{
    const size_t length = strlen(name);
    while (i < n) {
        const char *lt = (const char *)find_byte((const unsigned char *)s + i, n - i, '<');
        size_t j;
        if (!lt)
            return n;
        i = (size_t)(lt - s);
        if (i + 2 + length <= n && s[i + 1] == '/') {
            for (j = 0; j < length && ascii_lower((unsigned char)s[i + 2 + j]) == name[j]; ++j)
                ;
            if (j == length && (i + 2 + length == n || !is_alnum((unsigned char)s[i + 2 + length])))
                return i;
        }
        ++i;
    }
    return n;
}

/* What a "<" begins. */
enum markup {
    MARKUP_TEXT,    /* nothing: the "<" is a character of the text */
    MARKUP_COMMENT, /* <!-- ... --> */
    MARKUP_BOGUS,   /* <!DOCTYPE ...>, <?xml ...?>, </ ...>: up to its ">", no content */
    MARKUP_TAG,     /* a start or end tag */
    MARKUP_RAW,     /* the start tag of a raw-text element and its text, up to its end tag */
};

/* Reads the markup that begins with the "<" at s[i], as the reader takes
 * it: the tag, if it is one, into t; sets *next to where it ends.  The one
 * tokenizer of the reader, which the look-ahead of a list item uses too. */
static enum markup read_markup(const char *s, size_t n, size_t i, tag *t, size_t *next)
{
    size_t used;
    if (i + 3 < n && memcmp(s + i, "<!--", 4) == 0) {
        size_t k;
        for (k = i + 4; k + 2 < n; ++k)
            if (s[k] == '-' && s[k + 1] == '-' && s[k + 2] == '>')
                break;
        *next = k + 2 < n ? k + 3 : n;
        return MARKUP_COMMENT;
    }
    if (i + 1 < n && (s[i + 1] == '!' || s[i + 1] == '?' ||
                      (s[i + 1] == '/' && i + 2 < n && !is_alpha((unsigned char)s[i + 2])))) {
        const char *end = (const char *)memchr(s + i, '>', n - i);
        *next = end ? (size_t)(end - s) + 1 : n;
        return MARKUP_BOGUS;
    }
    used = parse_tag(s + i, n - i, t);
    if (!used) {
        *next = i + 1;
        return MARKUP_TEXT;
    }
    *next = i + used;
    t->element = find_element(t->name);
    if (!t->closing && t->element && t->element->action == ACT_SKIP) {
        *next = skip_raw(s, n, *next, t->name);
        return MARKUP_RAW;
    }
    return MARKUP_TAG;
}

/* The notes at a page's end, as pandoc and most generators write them: an
 * element (<section>, <div>, <aside>) that says it holds footnotes, a list
 * in it, an item of the list for each note. */
typedef struct notes_section {
    char tag[16];       /* the element's name, "" outside one */
    int nesting;        /* elements of that name open inside it */
    int list_depth;     /* the list depth at which its list stands, -1 before it */
    int in_list;        /* inside its list of notes */
    doc_builder *note;  /* the open note's builder, NULL outside a note */
} notes_section;

#define SPAN_DEPTH 64
#define NESTING_LIMIT 1000000 /* <q>s and <span>s never closed nest no deeper */

typedef struct html_reader {
    doc_builder b;
    doc_builder *out;   /* where blocks go: b, or the open footnote's builder */
    buffer scratch;
    int in_head;
    int in_pre, pre_open;
    int pre_tag_first; /* a tag came before the pre's text: its first line end is content */
    buffer pre_text, pre_lang;
    int inline_depth[NODE_COUNT];
    int list_ordered[LIST_DEPTH + 1], list_counter[LIST_DEPTH + 1];
    int list_depth;
    int item_at[LIST_DEPTH + 1]; /* per list level: 1 + the builder's depth where its open item stands, 0: none */
    int new_list;        /* the list just opened follows one of its kind: its first item says so */
    int table_pending;   /* a table has begun, and no row of it yet: it opens with its first */
    int caption_before;  /* the caption being read is a title before its table */
    int list_style[LIST_DEPTH + 1]; /* per list level: its items' list_style */
    int definitions_pending; /* a <dl> has begun and opens with its first term or definition */
    int definitions_open;    /* definition lists this reader opened and has not ended */
    int quotations;          /* <q> elements open, whose quotation marks nest */
    unsigned char span_caps[SPAN_DEPTH]; /* per open <span>: it set small capitals */
    int span_depth, caps_open;
    int skip_link;      /* the text of a footnote's reference or back link is left out up to its </a> */
    int note_ref_sup;   /* a <sup> that says it holds a footnote's reference (markdown-it, cmark-gfm) */
    notes_section notes;
    const char *page;
    size_t page_size, after_tag; /* the decoded page, and where the tag at hand ends */
} html_reader;

static int has_content(const char *s, size_t n)
{
    size_t i;
    for (i = 0; i < n; ++i)
        if (!is_space((unsigned char)s[i]))
            return 1;
    return 0;
}

/* Whether the tag at hand follows the end tag `end` ("</ul>") with only
 * white space between: a list right after a list of its kind, which
 * Markdown would read as one. */
static int follows_end_tag(const html_reader *r, const char *end)
{
    const size_t length = strlen(end);
    size_t i = r->after_tag;
    while (i > 0 && r->page[i - 1] != '<')
        --i;
    if (i == 0)
        return 0;
    for (--i; i > 0 && is_space((unsigned char)r->page[i - 1]);)
        --i;
    return i >= length && find_folded(r->page + i - length, length, end) != NULL;
}

/* Whether the item whose <li> ends at `at` holds more than one paragraph:
 * text runs and <p>s standing in it, not in its nested lists, code blocks,
 * headings, quotes or tables.  Such an item is loose, as Markdown makes it;
 * one whose second paragraph lies beyond the look-ahead stays tight.  It
 * reads the page with the reader's own tokenizer, so that what it takes for
 * a tag, a comment or text is what the reader takes. */
static int item_is_loose(const char *s, size_t n, size_t at)
{
    const size_t end = n - at > ITEM_LOOKAHEAD ? at + ITEM_LOOKAHEAD : n;
    /* The tokenizer sees one byte past the look-ahead: markup that its end
     * cuts ends past it, and ends the look-ahead; a quote or a comment that
     * is never closed costs no more than the look-ahead. */
    const size_t limit = end < n ? end + 1 : n;
    size_t i = at;
    int lists = 0, other = 0, in_text = 0, paragraphs = 0, tags = 0, content = 0;
    tag t;
    while (i < end && tags < ITEM_LOOKAHEAD_TAGS) {
        const char *lt = (const char *)find_byte((const unsigned char *)s + i, end - i, '<');
        const size_t stop = lt ? (size_t)(lt - s) : end;
        enum markup kind;
        if (!in_text && lists == 0 && other == 0 && (content || has_content(s + i, stop - i))) {
            in_text = 1;
            if (++paragraphs > 1)
                return 1;
        }
        content = 0;
        if (!lt)
            break;
        kind = read_markup(s, limit, stop, &t, &i);
        if (i > end)
            break; /* the look-ahead's end cuts it */
        if (kind == MARKUP_TEXT || kind == MARKUP_COMMENT) {
            content = kind == MARKUP_TEXT; /* a "<" of the text */
            continue;
        }
        ++tags;
        if (kind != MARKUP_TAG || !t.element)
            continue;
        switch (t.element->action) {
        case ACT_LIST:
            if (!t.closing)
                ++lists;
            else if (lists-- == 0)
                return 0;
            in_text = 0;
            break;
        case ACT_ITEM:
            if (lists == 0)
                return 0; /* the item ends */
            break;
        case ACT_HEADING: case ACT_PRE: case ACT_QUOTE: case ACT_TABLE: case ACT_DEFINITIONS:
            other += t.closing ? (other > 0 ? -1 : 0) : 1;
            in_text = 0;
            break;
        case ACT_BLOCK: case ACT_SECTION: case ACT_TERM: case ACT_DEFINITION: case ACT_HR:
            in_text = 0;
            break;
        case ACT_IMAGE:
            content = 1; /* content, like text */
            break;
        }
    }
    return 0;
}

/* The list level of the item that a block opening here stands in: the
 * innermost open one, unless a quote or table opened inside it; 0: none. */
static int open_item_level(const html_reader *r)
{
    int level;
    for (level = r->list_depth ? r->list_depth : 1; level > 0; --level)
        if (r->item_at[level])
            return r->item_at[level] == r->out->depth + 1 ? level : 0;
    return 0;
}

/* Whether the open table cell holds blocks (a list, a table): a block
 * directly in it stands in it, and its text is paragraphs. */
static int cell_holds_blocks(const doc_builder *b)
{
    return b->depth > 0 && b->containers[b->depth - 1] == NODE_CELL;
}

/* A paragraph directly in a cell that holds blocks is one of its own, not
 * more of a list item before it in the cell: an item level below 1 says
 * that it continues none. */
#define PARAGRAPH_IN_CELL (-1)

/* Where the block about to open stands: in the open list item it
 * continues, or in the open table cell. */
static void place_block(html_reader *r)
{
    const int level = open_item_level(r);
    if (level)
        doc_block_context(r->out, level, 0);
    else if (r->out->leaf == NODE_CELL)
        doc_block_context(r->out, 0, DOC_IN_CELL);
    else if (cell_holds_blocks(r->out))
        doc_block_context(r->out, PARAGRAPH_IN_CELL, 0);
}

/* A table is opened by its first row or cell, so that its caption can
 * come before it and a table of nothing leaves nothing. */
static void open_pending_table(html_reader *r)
{
    if (!r->table_pending)
        return;
    r->table_pending = 0;
    place_block(r);
    doc_container(r->out, NODE_TABLE);
}

/* "language-x" or "lang-x" in a class attribute. */
static void language_of(const tag *t, buffer *lang)
{
    const attribute *a = find_attribute(t, "class");
    size_t i = 0;
    if (!a)
        return;
    while (i < a->value_length) {
        size_t start = i, end;
        while (i < a->value_length && !is_space((unsigned char)a->value[i]))
            ++i;
        end = i;
        while (i < a->value_length && is_space((unsigned char)a->value[i]))
            ++i;
        if (end - start > 9 && memcmp(a->value + start, "language-", 9) == 0) {
            lang->size = 0;
            decode_references(lang, a->value + start + 9, end - start - 9, 1);
            return;
        }
        if (end - start > 5 && memcmp(a->value + start, "lang-", 5) == 0) {
            lang->size = 0;
            decode_references(lang, a->value + start + 5, end - start - 5, 1);
            return;
        }
    }
}

static void begin_pre_text(html_reader *r)
{
    if (!r->pre_open) {
        char lang[DOC_LANGUAGE_SIZE];
        copy_language(lang, sizeof lang, r->pre_lang.data, r->pre_lang.size);
        place_block(r);
        doc_block(r->out, NODE_CODE, 0, 0, lang);
        r->pre_open = 1;
    }
}

static void end_pre(html_reader *r)
{
    size_t size = r->pre_text.size;
    if (!r->in_pre)
        return;
    begin_pre_text(r);
    /* the line end right after <pre> and the one that ends the last line
     * are not content; further ones are empty lines */
    {
        const char *s = (const char *)r->pre_text.data;
        size_t start = 0;
        if (size && s[0] == '\n' && !r->pre_tag_first)
            start = 1;
        if (size > start && s[size - 1] == '\n')
            --size;
        doc_text(r->out, s ? s + start : "", size - start);
    }
    doc_end_block(r->out, NODE_CODE);
    r->in_pre = r->pre_open = 0;
    r->pre_text.size = 0;
    r->pre_lang.size = 0;
}

/* Text with its references decoded, where it stands. */
static void put_text(html_reader *r, const char *s, size_t n)
{
    if (r->in_pre) {
        put_bytes(&r->pre_text, s, n);
        return;
    }
    if (r->out->leaf == NODE_NONE && has_content(s, n))
        place_block(r);
    doc_text(r->out, s, n);
}

static void text(html_reader *r, const char *s, size_t n)
{
    if (r->in_head || r->skip_link)
        return;
    r->scratch.size = 0;
    decode_references(&r->scratch, s, n, 0);
    put_text(r, (const char *)r->scratch.data, r->scratch.size);
}

/* ---- pictures ---- */

/* An image's width or height as HTML gives it, in pixels: 0 when it is not
 * given, or given as a percentage. */
static int pixels(const tag *t, const char *name)
{
    const attribute *a = find_attribute(t, name);
    const char *percent = a ? (const char *)memchr(a->value, '%', a->value_length) : NULL;
    const int value = a && !percent ? attribute_number(a, 0) : 0;
    return value > 0 ? value : 0;
}

/* A data: URL's base64, decoded in its own buffer. */
static int decode_base64_in_place(buffer *b)
{
    buffer decoded = {0};
    const int decoded_well = decode_base64(&decoded, b->data, b->size);
    free(b->data);
    *b = decoded;
    return decoded_well;
}

/* The bytes of a data: URL ("data:image/png;base64,...") and its media
 * type, in lower case, into type[0..size); 0 when url is no such URL. */
static int data_url(const char *url, size_t n, char *type, size_t size, buffer *data)
{
    const char *comma = n > 5 && is_word(url, 5, "data:") ? (const char *)memchr(url, ',', n) : NULL;
    const char *s = url + 5, *p;
    size_t length = 0, i;
    if (!comma)
        return 0;
    while (s + length < comma && s[length] != ';' && length < size)
        ++length;
    if (length == 0 || length == size)
        return 0;
    for (i = 0; i < length; ++i) {
        type[i] = (char)ascii_lower((unsigned char)s[i]);
        if (!is_alnum((unsigned char)type[i]) && !strchr("/+-.!#$&^_", type[i]))
            return 0; /* no media type */
    }
    type[length] = '\0';
    for (p = comma + 1; p < url + n; ++p) { /* its text, %XX decoded */
        if (*p == '%' && url + n - p > 2 && hex_value((unsigned char)p[1]) >= 0 &&
            hex_value((unsigned char)p[2]) >= 0) {
            put_byte(data, (unsigned char)(hex_value((unsigned char)p[1]) * 16 + hex_value((unsigned char)p[2])));
            p += 2;
        } else {
            put_byte(data, (unsigned char)*p);
        }
    }
    return comma - s < 7 || !is_word(comma - 7, 7, ";base64") || decode_base64_in_place(data);
}

/* ---- footnotes ---- */

static const char *const notes_classes[] = {"footnotes", "footnote", NULL};
static const char *const reference_classes[] = {"footnote-ref", NULL};
static const char *const back_link_classes[] = {"footnote-back", "footnote-backref", "reversefootnote", NULL};
/* LibreOffice's "save as web page": <a class=sdfootnoteanc href=#sdfootnote1sym>
 * where a note stands, <div id=sdfootnote1> for the note itself, which
 * begins with <a class=sdfootnotesym>, its number. */
static const char *const office_reference_classes[] = {"sdfootnoteanc", "sdendnoteanc", NULL};
static const char *const office_number_classes[] = {"sdfootnotesym", "sdendnotesym", NULL};

/* Whether an id is LibreOffice's for a note: sdfootnote or sdendnote and
 * its number. */
static int is_office_note_id(const attribute *id)
{
    size_t prefix = 0, i;
    if (!id)
        return 0;
    if (id->value_length > 10 && memcmp(id->value, "sdfootnote", 10) == 0)
        prefix = 10;
    else if (id->value_length > 9 && memcmp(id->value, "sdendnote", 9) == 0)
        prefix = 9;
    for (i = prefix; prefix && i < id->value_length; ++i)
        if (id->value[i] < '0' || id->value[i] > '9')
            return 0;
    return prefix != 0;
}

/* The element that holds a page's notes: pandoc's <section class=footnotes
 * role=doc-endnotes>, Python-Markdown's <div class=footnote>, kramdown's
 * and GitHub's kin. */
static int holds_notes(const tag *t)
{
    const attribute *id = find_attribute(t, "id");
    return has_class(t, notes_classes) || attribute_is(t, "role", "doc-endnotes") ||
           find_attribute(t, "data-footnotes") || (id && is_word(id->value, id->value_length, "footnotes"));
}

static void end_note(html_reader *r)
{
    if (!r->notes.note)
        return;
    doc_note_end(r->notes.note);
    r->notes.note = NULL;
    r->out = &r->b;
}

/* A start or end tag of the element that holds the notes, or of one of
 * its name inside it. */
static void notes_boundary(html_reader *r, const tag *t)
{
    if (!r->notes.tag[0]) {
        const attribute *id = find_attribute(t, "id");
        if (!t->closing && (holds_notes(t) || is_office_note_id(id))) {
            memcpy(r->notes.tag, t->name, sizeof r->notes.tag);
            r->notes.list_depth = -1;
        }
        if (!t->closing && is_office_note_id(id)) {
            /* the element is the note, no list around it */
            r->scratch.size = 0;
            decode_references(&r->scratch, id->value, id->value_length, 1);
            r->notes.note = doc_note_begin(&r->b, (const char *)r->scratch.data, r->scratch.size);
            r->out = r->notes.note;
        }
    } else if (strcmp(t->name, r->notes.tag) == 0) {
        if (!t->closing)
            ++r->notes.nesting;
        else if (r->notes.nesting > 0)
            --r->notes.nesting;
        else {
            end_note(r);
            memset(&r->notes, 0, sizeof r->notes);
        }
    }
}

/* An item of the notes' list opens or ends a note, its id that of the
 * item; 1 when it did. */
static int note_item(html_reader *r, const tag *t)
{
    const attribute *id = find_attribute(t, "id");
    if (!r->notes.in_list || r->list_depth != r->notes.list_depth)
        return 0;
    end_note(r);
    if (!t->closing) {
        r->scratch.size = 0;
        if (id)
            decode_references(&r->scratch, id->value, id->value_length, 1);
        r->notes.note = doc_note_begin(&r->b, r->scratch.data ? (const char *)r->scratch.data : "", r->scratch.size);
        r->out = r->notes.note;
    }
    return 1;
}

/* <a href="#fn1" class="footnote-ref">: where a note stands, its number
 * left out, as the writers number notes themselves; a note's link back to
 * it is left out too.  1 when the link was one of them. */
static int note_link(html_reader *r, const tag *t)
{
    const attribute *href = find_attribute(t, "href");
    const int sup = r->inline_depth[NODE_SUP] > 0 && r->inline_depth[NODE_SUP] <= 3;
    if (!href || href->value_length < 2 || href->value[0] != '#')
        return 0;
    if (r->notes.tag[0] && (has_class(t, back_link_classes) || attribute_is(t, "role", "doc-backlink") ||
                            find_attribute(t, "data-footnote-backref") || has_class(t, office_number_classes))) {
        r->skip_link = 1;
        return 1;
    }
    if (!r->note_ref_sup && !has_class(t, reference_classes) && !attribute_is(t, "role", "doc-noteref") &&
        !find_attribute(t, "data-footnote-ref") && !has_class(t, office_reference_classes))
        return 0;
    r->scratch.size = 0;
    decode_references(&r->scratch, href->value + 1, href->value_length - 1, 1);
    if (has_class(t, office_reference_classes) && r->scratch.size > 3 &&
        memcmp(r->scratch.data + r->scratch.size - 3, "sym", 3) == 0)
        r->scratch.size -= 3; /* the note's number's name; the note is its element's id */
    if (r->out->leaf == NODE_NONE)
        place_block(r);
    /* the <sup> around it raises its number, which the note's mark is */
    if (sup)
        doc_set(r->out, NODE_SUP, 0);
    doc_footnote(r->out, (const char *)r->scratch.data, r->scratch.size);
    if (sup)
        doc_set(r->out, NODE_SUP, 1);
    r->skip_link = 1;
    return 1;
}

/* ---- what each element does ---- */

/* A start or end tag of an element that the reader knows, one handler for
 * each kind (each action) of element. */
typedef void (*element_handler)(html_reader *r, const tag *t, const element *e);

/* Tags that do nothing: the end tag of a raw-text element, whose start tag
 * and text the tokenizer took. */
static void on_nothing(html_reader *r, const tag *t, const element *e)
{
    (void)r, (void)t, (void)e;
}

static void on_head(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    r->in_head = !t->closing;
}

static void on_body(html_reader *r, const tag *t, const element *e)
{
    (void)t, (void)e;
    r->in_head = 0;
    doc_end_block(r->out, NODE_NONE);
}

/* <p>, <div> and the other elements that hold a paragraph. */
static void on_paragraph(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing)
        doc_end_block(r->out, NODE_P);
    else if (open_item_level(r) && !(r->out->leaf == NODE_LI && !r->out->leaf_has_text))
        doc_end_block(r->out, NODE_NONE); /* a further paragraph of the item opens with its text */
    else if (cell_holds_blocks(r->out) && r->out->leaf != NODE_LI)
        doc_end_block(r->out, NODE_NONE); /* and one in a cell that holds blocks, saying so */
    else
        doc_block(r->out, NODE_P, 0, 0, NULL); /* an item's first one is its own text */
}

static void on_heading(html_reader *r, const tag *t, const element *e)
{
    if (t->closing) {
        doc_end_block(r->out, NODE_H);
    } else {
        place_block(r);
        doc_block(r->out, NODE_H, e->node, 0, NULL);
    }
}

/* A list's or an item's numbering style: HTML's type ("a", "A", "i",
 * "I", "1", told apart by case), else CSS's list-style-type; `fallback`
 * when neither names one. */
static int numbering_style(const tag *t, int fallback)
{
    static const struct {
        const char *name;
        int style;
    } styles[] = {{"decimal", LIST_DECIMAL}, {"lower-alpha", LIST_LOWER_ALPHA}, {"lower-latin", LIST_LOWER_ALPHA},
                  {"upper-alpha", LIST_UPPER_ALPHA}, {"upper-latin", LIST_UPPER_ALPHA},
                  {"lower-roman", LIST_LOWER_ROMAN}, {"upper-roman", LIST_UPPER_ROMAN}};
    const attribute *type = find_attribute(t, "type");
    const char *value;
    size_t length, i;
    if (type && type->value_length == 1) {
        switch (type->value[0]) {
        case '1': return LIST_DECIMAL;
        case 'a': return LIST_LOWER_ALPHA;
        case 'A': return LIST_UPPER_ALPHA;
        case 'i': return LIST_LOWER_ROMAN;
        case 'I': return LIST_UPPER_ROMAN;
        }
    }
    if (css_value(t, "list-style-type", &value, &length))
        for (i = 0; i < sizeof styles / sizeof *styles; ++i)
            if (is_word(value, length, styles[i].name))
                return styles[i].style;
    return fallback;
}

/* The notes' list: the first list in their element is no list of the
 * document's, and its end ends the note open in it; 1 when it was. */
static int notes_list(html_reader *r, const tag *t)
{
    if (!r->notes.tag[0])
        return 0;
    if (!t->closing && r->notes.list_depth < 0) {
        r->notes.list_depth = r->list_depth;
        r->notes.in_list = 1;
        return 1;
    }
    if (t->closing && r->notes.in_list && r->list_depth == r->notes.list_depth) {
        end_note(r);
        r->notes.in_list = 0;
        return 1;
    }
    return 0;
}

/* <ul>, <ol> and their old kin. */
static void on_list(html_reader *r, const tag *t, const element *e)
{
    if (notes_list(r, t))
        return;
    if (!t->closing) {
        const attribute *start = find_attribute(t, "start");
        if (r->list_depth < LIST_DEPTH)
            ++r->list_depth;
        r->list_ordered[r->list_depth] = e->node;
        r->list_counter[r->list_depth] = start ? attribute_number(start, 0) : 1;
        r->list_style[r->list_depth] = e->node ? numbering_style(t, LIST_DECIMAL) : LIST_DECIMAL;
        r->item_at[r->list_depth] = 0;
        r->new_list = follows_end_tag(r, e->node ? "</ol>" : "</ul>");
        doc_end_block(r->out, NODE_P);
    } else {
        doc_end_block(r->out, NODE_NONE);
        if (r->list_depth > 0)
            r->item_at[r->list_depth--] = 0;
    }
}

/* The number of the item that opens at `depth`: its value, else the one
 * after the last; DOC_BULLET in an unordered list. */
static int item_number(html_reader *r, const tag *t, int depth)
{
    const attribute *value = find_attribute(t, "value");
    int number = DOC_BULLET;
    if (r->list_depth && r->list_ordered[depth]) {
        if (value)
            r->list_counter[depth] = attribute_number(value, r->list_counter[depth]);
        number = r->list_counter[depth];
        r->list_counter[depth] += number < INT_MAX;
        if (number < 0)
            number = 0;
    }
    return number;
}

/* A CSS string's text, its escapes read; 0 when s[0..n) is no string. */
static int css_string(const char *s, size_t n, buffer *out)
{
    size_t i = 1;
    if (n < 2 || (s[0] != '\'' && s[0] != '"') || s[n - 1] != s[0])
        return 0;
    while (i + 1 < n) {
        uint32_t c = 0;
        int digits = 0;
        if (s[i] != '\\' || i + 2 >= n) {
            put_byte(out, (unsigned char)s[i++]);
            continue;
        }
        if (hex_value((unsigned char)s[++i]) < 0) {
            put_byte(out, (unsigned char)s[i++]); /* the character itself */
            continue;
        }
        for (; digits < 6 && i + 1 < n && hex_value((unsigned char)s[i]) >= 0; ++i, ++digits)
            c = c * 16 + (uint32_t)hex_value((unsigned char)s[i]);
        if (i + 1 < n && is_space((unsigned char)s[i]))
            ++i; /* the space that ends the escape */
        put_utf8(out, c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    }
    return 1;
}

/* An item's numbering style where it is numbered, and its label where a
 * style sheet gives its marker as a string (list-style-type: '2.1. '), as
 * the HTML writer does for an outline's labels. */
static void item_style(html_reader *r, const tag *t, int depth, int numbered)
{
    const char *value;
    size_t length;
    r->scratch.size = 0;
    if (css_value(t, "list-style-type", &value, &length) && css_string(value, length, &r->scratch))
        while (r->scratch.size && is_space(r->scratch.data[r->scratch.size - 1]))
            --r->scratch.size; /* the space between the marker and the text */
    doc_list_style(r->out, numbered ? numbering_style(t, r->list_style[depth]) : LIST_DECIMAL,
                   r->scratch.size ? (const char *)r->scratch.data : NULL, r->scratch.size);
}

static void on_item(html_reader *r, const tag *t, const element *e)
{
    const int depth = r->list_depth ? r->list_depth : 1;
    (void)e;
    if (note_item(r, t))
        return;
    if (!t->closing) {
        const int number = item_number(r, t, depth);
        doc_block_context(r->out, 0, (item_is_loose(r->page, r->page_size, r->after_tag) ? DOC_LOOSE : 0) |
                                        (r->new_list ? DOC_NEW_LIST : 0) |
                                        (r->out->leaf == NODE_CELL ? DOC_IN_CELL : 0));
        r->new_list = 0;
        item_style(r, t, depth, number != DOC_BULLET);
        doc_block(r->out, NODE_LI, depth, number, NULL);
        r->item_at[depth] = r->out->depth + 1;
    } else {
        doc_end_block(r->out, NODE_LI);
        r->item_at[depth] = 0;
    }
}

static void on_quote(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing) {
        doc_end_container(r->out, NODE_QUOTE);
    } else {
        place_block(r);
        doc_container(r->out, NODE_QUOTE);
    }
}

/* <q>: its quotation marks as a browser shows them in English, double
 * outside and single inside, are text that every format can hold. */
static void on_quotation(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (!t->closing)
        put_text(r, r->quotations < NESTING_LIMIT && r->quotations++ ? "\xE2\x80\x98" : "\xE2\x80\x9C", 3);
    else if (r->quotations > 0)
        put_text(r, --r->quotations ? "\xE2\x80\x99" : "\xE2\x80\x9D", 3);
}

/* <pre> and its old kin: their text is gathered until they end. */
static void on_pre(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    end_pre(r);
    if (!t->closing) {
        if (r->out->leaf != NODE_CELL) /* a cell's text goes on before the code in it */
            doc_end_block(r->out, NODE_NONE);
        r->in_pre = 1;
        r->pre_open = r->pre_tag_first = 0;
        language_of(t, &r->pre_lang);
    }
}

/* A tag inside a code block, which holds text only: a line break is a line
 * end, and the class of a <code> first in it names its language. */
static void tag_in_pre(html_reader *r, const tag *t, const element *e)
{
    if (r->pre_text.size == 0)
        r->pre_tag_first = 1;
    if (e->action == ACT_BR && !t->closing)
        put_byte(&r->pre_text, '\n');
    else if (e->action == ACT_CODE_INLINE && !t->closing && !r->pre_open && r->pre_text.size == 0)
        language_of(t, &r->pre_lang);
    else if (e->action == ACT_QUOTATION)
        on_quotation(r, t, e);
}

static void on_rule(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (!t->closing && !(r->notes.tag[0] && !r->notes.note)) { /* the rule above the notes is no content */
        place_block(r);
        doc_hr(r->out);
    }
}

/* <br>, and </br> as browsers take it: a line break too. */
static void on_line_break(html_reader *r, const tag *t, const element *e)
{
    (void)t, (void)e;
    if (r->out->leaf == NODE_NONE)
        place_block(r);
    doc_br(r->out);
}

static void on_table(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (!t->closing)
        r->table_pending = 1;
    else if (r->table_pending)
        r->table_pending = 0;
    else
        doc_end_container(r->out, NODE_TABLE);
}

static void on_row(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing) {
        doc_end_container(r->out, NODE_ROW);
    } else {
        open_pending_table(r);
        doc_container(r->out, NODE_ROW);
    }
}

/* A cell's alignment: its style's text-align, which a browser follows
 * before the align attribute; 0 for none. */
static unsigned cell_alignment(const tag *t)
{
    const attribute *align = find_attribute(t, "align");
    const char *value;
    size_t length, word = 0;
    if (css_value(t, "text-align", &value, &length)) {
        while (word < length && !is_space((unsigned char)value[word]))
            ++word; /* "center !important" */
        return is_word(value, word, "center") ? DOC_ALIGN_CENTER : is_word(value, word, "right") ? DOC_ALIGN_RIGHT
               : is_word(value, word, "left") ? DOC_ALIGN_LEFT : 0;
    }
    if (align && align->value_length >= 4) {
        const char c = (char)(align->value[0] | 0x20);
        return c == 'c' ? DOC_ALIGN_CENTER : c == 'r' ? DOC_ALIGN_RIGHT : c == 'l' ? DOC_ALIGN_LEFT : 0;
    }
    return 0;
}

/* A cell opens, in a row of its own when `own_row`, aligned as it says. */
static void start_cell(html_reader *r, const tag *t, int header, int own_row)
{
    const unsigned align = cell_alignment(t);
    open_pending_table(r);
    if (own_row)
        doc_container(r->out, NODE_ROW);
    if (align)
        doc_block_context(r->out, 0, align);
    doc_cell(r->out, header);
}

/* <td> and <th>. */
static void on_cell(html_reader *r, const tag *t, const element *e)
{
    if (t->closing)
        doc_end_block(r->out, NODE_CELL);
    else
        start_cell(r, t, e->action == ACT_HEADER_CELL, 0);
}

static void on_caption(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing ? r->caption_before : r->table_pending) {
        /* the caption of a table not yet begun is its title, so that
         * its first row stays its header */
        if (!t->closing) {
            place_block(r);
            doc_block(r->out, NODE_P, 0, 0, NULL);
        } else {
            doc_end_block(r->out, NODE_P);
        }
        r->caption_before = !t->closing;
    } else if (t->closing) { /* a caption after rows is one more row */
        doc_end_block(r->out, NODE_CELL);
        doc_end_container(r->out, NODE_ROW);
    } else {
        start_cell(r, t, 0, 1);
    }
}

/* <b>, <i>, <code> and the other marks of text. */
static void on_inline(html_reader *r, const tag *t, const element *e)
{
    const int node = e->node;
    if (node == NODE_SUP) /* markdown-it and cmark-gfm mark a note's reference on its <sup> */
        r->note_ref_sup = !t->closing && (has_class(t, reference_classes) || attribute_is(t, "role", "doc-noteref"));
    /* Nested in the same element three deep at most, as browsers keep
     * them: pages that never close a <b> do not nest ever deeper. */
    if (!t->closing) {
        if (r->inline_depth[node]++ < 3)
            doc_set(r->out, node, 1);
    } else if (r->inline_depth[node] > 0 && r->inline_depth[node]-- <= 3) {
        doc_set(r->out, node, 0);
    }
}

/* <a href>: a link, which a further <a> inside it does not begin again. */
static void on_link(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (!t->closing && note_link(r, t))
        return;
    if (!t->closing) {
        const attribute *href = find_attribute(t, "href"), *title = find_attribute(t, "title");
        if (href && r->inline_depth[NODE_A]++ == 0) {
            r->scratch.size = 0;
            if (title)
                decode_references(&r->scratch, title->value, title->value_length, 1);
            doc_link_title(r->out, (const char *)r->scratch.data, r->scratch.size);
            r->scratch.size = 0;
            decode_references(&r->scratch, href->value, href->value_length, 1);
            doc_link(r->out, (const char *)r->scratch.data ? (const char *)r->scratch.data : "", r->scratch.size);
        }
    } else if (r->inline_depth[NODE_A] > 0) {
        r->inline_depth[NODE_A] = 0;
        doc_link(r->out, NULL, 0);
    }
}

/* <img src>: the image, with its alternative text and its size in
 * pixels; the data of a data: URL, read; without a source, the text
 * alone. */
static void on_image(html_reader *r, const tag *t, const element *e)
{
    const attribute *alt, *src, *title;
    buffer parts[3] = {{0}, {0}, {0}}, data = {0};
    char type[48];
    int width, height;
    (void)e;
    if (t->closing)
        return;
    alt = find_attribute(t, "alt");
    src = find_attribute(t, "src");
    title = find_attribute(t, "title");
    if (!src) {
        if (alt && alt->value_length)
            text(r, alt->value, alt->value_length);
        return;
    }
    decode_references(&parts[0], src->value, src->value_length, 1);
    if (title)
        decode_references(&parts[1], title->value, title->value_length, 1);
    if (alt)
        decode_references(&parts[2], alt->value, alt->value_length, 1);
    width = pixels(t, "width");
    height = pixels(t, "height");
    if (r->out->leaf == NODE_NONE)
        place_block(r);
    if (data_url((const char *)parts[0].data, parts[0].size, type, sizeof type, &data))
        doc_picture(r->out, NULL, 0, (const char *)parts[1].data, parts[1].size,
                    parts[2].data ? (const char *)parts[2].data : "", parts[2].size, type, data.data, data.size,
                    width, height);
    else if (width || height)
        doc_picture(r->out, (const char *)parts[0].data, parts[0].size, (const char *)parts[1].data, parts[1].size,
                    parts[2].data ? (const char *)parts[2].data : "", parts[2].size, NULL, NULL, 0, width, height);
    else
        doc_image(r->out, (const char *)parts[0].data, parts[0].size, (const char *)parts[1].data, parts[1].size,
                  parts[2].data ? (const char *)parts[2].data : "", parts[2].size);
    free(parts[0].data);
    free(parts[1].data);
    free(parts[2].data);
    free(data.data);
}

static const char *const small_caps_words[] = {"small-caps", "all-small-caps", NULL};

/* <span>: small capitals where its style asks for them. */
static void on_span(html_reader *r, const tag *t, const element *e)
{
    const char *value;
    size_t length;
    (void)e;
    if (!t->closing) {
        /* three deep at most, and none past the spans it keeps count of */
        const int caps = (css_value(t, "font-variant", &value, &length) ||
                          css_value(t, "font-variant-caps", &value, &length)) &&
                         has_word(value, length, small_caps_words) && r->caps_open < 3 && r->span_depth < SPAN_DEPTH;
        if (r->span_depth < SPAN_DEPTH)
            r->span_caps[r->span_depth] = (unsigned char)caps;
        r->span_depth += r->span_depth < NESTING_LIMIT;
        if (caps) {
            ++r->caps_open;
            doc_set(r->out, NODE_SC, 1);
        }
    } else if (r->span_depth > 0 && --r->span_depth < SPAN_DEPTH && r->span_caps[r->span_depth]) {
        --r->caps_open;
        doc_set(r->out, NODE_SC, 0);
    }
}

/* <dl>: a definition list, which opens with its first term or definition,
 * so that one of nothing leaves nothing. */
static void on_definitions(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (!t->closing) {
        doc_end_block(r->out, NODE_P);
        r->definitions_pending = 1;
    } else if (r->definitions_pending) {
        r->definitions_pending = 0;
    } else if (r->definitions_open > 0) {
        --r->definitions_open;
        doc_end_container(r->out, NODE_DL);
    }
}

static void open_pending_definitions(html_reader *r)
{
    if (!r->definitions_pending)
        return;
    r->definitions_pending = 0;
    place_block(r);
    doc_container(r->out, NODE_DL); /* in a definition, a list of its own */
    ++r->definitions_open;
}

/* <dt>: a term. */
static void on_term(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing) {
        doc_end_block(r->out, NODE_DT);
        return;
    }
    open_pending_definitions(r);
    place_block(r);
    doc_block(r->out, NODE_DT, 0, 0, NULL);
}

/* <dd>: a definition, which holds blocks. */
static void on_definition(html_reader *r, const tag *t, const element *e)
{
    (void)e;
    if (t->closing) {
        doc_end_container(r->out, NODE_DD);
        return;
    }
    open_pending_definitions(r);
    place_block(r);
    doc_container(r->out, NODE_DD);
}

/* <section>, <div>, <aside>: a paragraph, and the element that may hold a
 * page's notes. */
static void on_section(html_reader *r, const tag *t, const element *e)
{
    notes_boundary(r, t);
    on_paragraph(r, t, e);
}

/* Indexed by the element's action. */
static const element_handler element_handlers[] = {
    [ACT_IGNORE] = on_nothing, [ACT_BLOCK] = on_paragraph, [ACT_HEADING] = on_heading, [ACT_LIST] = on_list,
    [ACT_ITEM] = on_item, [ACT_QUOTE] = on_quote, [ACT_PRE] = on_pre, [ACT_HR] = on_rule, [ACT_BR] = on_line_break,
    [ACT_TABLE] = on_table, [ACT_ROW] = on_row, [ACT_CELL] = on_cell, [ACT_HEADER_CELL] = on_cell,
    [ACT_CAPTION] = on_caption, [ACT_INLINE] = on_inline, [ACT_LINK] = on_link, [ACT_IMAGE] = on_image,
    [ACT_SKIP] = on_nothing, [ACT_HEAD] = on_head, [ACT_BODY] = on_body, [ACT_CODE_INLINE] = on_inline,
    [ACT_SPAN] = on_span, [ACT_QUOTATION] = on_quotation, [ACT_DEFINITIONS] = on_definitions, [ACT_TERM] = on_term,
    [ACT_DEFINITION] = on_definition, [ACT_SECTION] = on_section,
};
MORPHEX_STATIC_ASSERT(sizeof element_handlers / sizeof *element_handlers == ACT_COUNT, "a handler for each action");

/* A start or end tag: what the head and code blocks let through goes to
 * its element's handler. */
static void start_or_end(html_reader *r, const tag *t)
{
    const element *e = t->element;
    if (!e)
        return; /* unknown elements keep their text */
    if (r->in_head && e->action != ACT_HEAD && e->action != ACT_SKIP && e->action != ACT_IGNORE) {
        if (t->closing || strcmp(t->name, "html") == 0)
            return;
        r->in_head = 0; /* body content without <body> */
    }
    if (r->in_pre && e->action != ACT_PRE) {
        tag_in_pre(r, t, e);
        return; /* code blocks hold text only */
    }
    if (r->skip_link) { /* a note's number or back link: marks of text are left out with it */
        const int action = e->action;
        if (action == ACT_LINK && t->closing)
            r->skip_link = 0;
        if (action == ACT_LINK || action == ACT_INLINE || action == ACT_CODE_INLINE || action == ACT_SPAN ||
            action == ACT_QUOTATION)
            return;
        r->skip_link = 0; /* a block ends it, in case its </a> never comes */
    }
    element_handlers[e->action](r, t, e);
}

int32_t read_html(FILE *in, FILE *out)
{
    return read_html_found(in, out, NULL);
}

int32_t read_html_found(FILE *in, FILE *out, const char *found)
{
    buffer raw = {0}, page = {0};
    html_reader r;
    tag t;
    const char *s;
    size_t n, i = 0;
    const int32_t loaded = load_input(in, &raw);
    if (loaded != CONVERT_OK)
        return loaded;
    if (!decode_page(&raw, &page) || page.failed) {
        release_input(&raw);
        free(page.data);
        return CONVERT_WRONG_FORMAT;
    }
    release_input(&raw);
    normalize_line_ends(&page);
    memset(&r, 0, sizeof r);
    doc_begin_found(&r.b, out, found);
    r.out = &r.b;
    r.b.collapse_spaces = 1;
    r.b.expansion_left = doc_expansion_budget(raw.size); /* its size stays when the data is released */
    s = page.data ? (const char *)page.data : "";
    n = page.size;
    r.page = s;
    r.page_size = n;
    while (i < n) {
        const char *lt = (const char *)find_byte((const unsigned char *)s + i, n - i, '<');
        const size_t stop = lt ? (size_t)(lt - s) : n;
        if (stop > i)
            text(&r, s + i, stop - i);
        if (stop >= n)
            break;
        switch (read_markup(s, n, stop, &t, &i)) {
        case MARKUP_TEXT:
            text(&r, "<", 1);
            break;
        case MARKUP_TAG:
            r.after_tag = i;
            start_or_end(&r, &t);
            break;
        default: /* comments, declarations and raw text show nothing */
            break;
        }
    }
    end_pre(&r);
    end_note(&r);
    free(page.data);
    free(r.scratch.data);
    free(r.pre_text.data);
    free(r.pre_lang.data);
    return doc_finish(&r.b);
}
