/* A pull reader of XML in memory, for the parts of office packages.
 *
 * Chosen over the platform's XmlLite: that one hands every name and text
 * over in UTF-16 through COM calls, where the document core works in
 * UTF-8, and its limits are its own; this one reads the part where it
 * lies, gives text without a copy unless an entity or a CR changes it,
 * and stops at the limits the readers need. */
#include "shipped/core/xml.h"

#include <stdlib.h>

#include "shipped/core/refusal.h"
#include "shipped/core/utf.h"

typedef struct xml_scope {
    const char *prefix; /* NULL: the default namespace */
    size_t prefix_length;
    int ns;
} xml_scope;

typedef struct xml_open {
    const char *qname; /* as the start tag wrote it, for its end tag */
    size_t qname_length;
    int ns;
    const char *name;
    size_t name_length;
    int scope_count; /* declarations in scope before it */
} xml_open;

static int failed(xml_reader *r, const char *what)
{
    r->failed = 1;
    return refusal_setf("It is damaged: its part %s is not well-formed XML (%s, at byte %llu).", r->part_name, what,
                        (unsigned long long)r->pos);
}

void xml_begin(xml_reader *r, const unsigned char *s, size_t size, const char *part_name, const char *const *uris,
               const int *uri_ns, int uri_count)
{
    memset(r, 0, sizeof *r);
    r->s = s;
    r->size = size;
    r->part_name = part_name;
    r->uris = uris;
    r->uri_ns = uri_ns;
    r->uri_count = uri_count;
    if (size >= 3 && memcmp(s, "\xEF\xBB\xBF", 3) == 0)
        r->pos = 3;
}

void xml_end(xml_reader *r)
{
    free(r->scopes);
    free(r->open);
    free(r->text.data);
    free(r->values.data);
    memset(r, 0, sizeof *r);
}

static int is_space(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

/* Where a name ends: white space or one of the bytes that follow names. */
static size_t name_end(const xml_reader *r, size_t at)
{
    while (at < r->size) {
        const unsigned char c = r->s[at];
        if (c <= ' ' || c == '/' || c == '>' || c == '=' || c == '<' || c == '"' || c == '\'')
            break;
        ++at;
    }
    return at;
}

static void skip_space(xml_reader *r)
{
    while (r->pos < r->size && is_space(r->s[r->pos]))
        ++r->pos;
}

/* The offset of `what` at or after `from`, or size when it is not there. */
static size_t find_text(const xml_reader *r, size_t from, const char *what, size_t length)
{
    while (from < r->size) {
        const unsigned char *hit = find_byte(r->s + from, r->size - from, (unsigned char)what[0]);
        if (!hit)
            break;
        from = (size_t)(hit - r->s);
        if (r->size - from >= length && memcmp(hit, what, length) == 0)
            return from;
        ++from;
    }
    return r->size;
}

/* ---- text and values, entities decoded ---- */

static int decode_reference(xml_reader *r, const unsigned char *s, size_t n, size_t *used, buffer *out)
{
    static const struct {
        const char *name;
        char c;
    } entities[] = {{"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"apos;", '\''}, {"quot;", '"'}};
    const unsigned char *semicolon = find_byte(s, n < 16 ? n : 16, ';');
    size_t i;
    if (!semicolon)
        return failed(r, "an & that begins no reference");
    *used = (size_t)(semicolon - s) + 1;
    if (n > 1 && s[1] == '#') {
        const int hex = n > 2 && s[2] == 'x';
        uint32_t c = 0;
        const unsigned char *p = s + 2 + hex;
        if (p == semicolon)
            return failed(r, "an empty character reference");
        for (; p < semicolon; ++p) {
            const int digit = *p >= '0' && *p <= '9' ? *p - '0'
                              : hex && (*p | 32) >= 'a' && (*p | 32) <= 'f' ? (*p | 32) - 'a' + 10 : -1;
            if (digit < 0)
                return failed(r, "a character reference that is no number");
            c = c > 0x10FFFF ? c : c * (hex ? 16 : 10) + (uint32_t)digit;
        }
        put_utf8(out, c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
        return 1;
    }
    for (i = 0; i < sizeof entities / sizeof *entities; ++i) {
        const size_t length = strlen(entities[i].name);
        if (*used == length + 1 && memcmp(s + 1, entities[i].name, length) == 0) {
            put_byte(out, (unsigned char)entities[i].c);
            return 1;
        }
    }
    return failed(r, "a reference to an entity that XML does not define");
}

/* s[0..n) with its references decoded and its line ends made LF, appended
 * to `out`. */
static int decode(xml_reader *r, const unsigned char *s, size_t n, buffer *out)
{
    size_t i = 0;
    while (i < n) {
        size_t run = i, used = 0;
        while (run < n && s[run] != '&' && s[run] != '\r')
            ++run;
        put_bytes(out, s + i, run - i);
        if (run == n)
            break;
        if (s[run] == '\r') {
            put_byte(out, '\n');
            i = run + 1 + (run + 1 < n && s[run + 1] == '\n');
            continue;
        }
        if (!decode_reference(r, s + run, n - run, &used, out))
            return 0;
        i = run + used;
    }
    return !out->failed;
}

static int needs_decoding(const unsigned char *s, size_t n)
{
    return holds_byte(s, n, '&') || holds_byte(s, n, '\r');
}

/* ---- namespaces ---- */

static int ns_of_uri(const xml_reader *r, const unsigned char *uri, size_t n)
{
    int i;
    for (i = 0; i < r->uri_count; ++i)
        if (strlen(r->uris[i]) == n && memcmp(r->uris[i], uri, n) == 0)
            return r->uri_ns ? r->uri_ns[i] : i;
    return n ? XML_NS_OTHER : XML_NS_NONE;
}

static int declare(xml_reader *r, const char *prefix, size_t prefix_length, int ns)
{
    if (r->scope_count == XML_NAMESPACES_MOST)
        return failed(r, "too many namespaces declared at once");
    if (r->scope_count == r->scope_capacity) {
        xml_scope *grown = (xml_scope *)room_for_one(r->scopes, r->scope_count, &r->scope_capacity, 16, sizeof *grown);
        if (!grown)
            return r->failed = 1, 0;
        r->scopes = grown;
    }
    r->scopes[r->scope_count].prefix = prefix;
    r->scopes[r->scope_count].prefix_length = prefix_length;
    r->scopes[r->scope_count].ns = ns;
    ++r->scope_count;
    r->cached_valid = 0;
    return 1;
}

/* The namespace of a prefix ("" for none) in scope; the innermost
 * declaration wins. */
static int ns_of_prefix(xml_reader *r, const char *prefix, size_t n, int is_attribute)
{
    int i;
    if (n == 0 && is_attribute)
        return XML_NS_NONE;
    if (r->cached_valid && r->cached_length == n && memcmp(r->cached_prefix, prefix, n) == 0)
        return r->cached_ns;
    for (i = r->scope_count; i-- > 0;) {
        const xml_scope *scope = &r->scopes[i];
        if (scope->prefix_length == n && (n == 0 || memcmp(scope->prefix, prefix, n) == 0)) {
            if (n <= sizeof r->cached_prefix) {
                memcpy(r->cached_prefix, prefix, n);
                r->cached_length = n;
                r->cached_ns = scope->ns;
                r->cached_valid = 1;
            }
            return scope->ns;
        }
    }
    if (n == 3 && memcmp(prefix, "xml", 3) == 0)
        return XML_NS_OTHER;
    return n ? XML_NS_OTHER : XML_NS_NONE;
}

/* Splits a qualified name at its colon into its namespace and local name. */
static void resolve(xml_reader *r, const char *qname, size_t n, int is_attribute, int *ns, const char **name,
                    size_t *name_length)
{
    const char *colon = (const char *)memchr(qname, ':', n);
    const size_t prefix_length = colon ? (size_t)(colon - qname) : 0;
    *ns = ns_of_prefix(r, qname, prefix_length, is_attribute);
    *name = colon ? colon + 1 : qname;
    *name_length = colon ? n - prefix_length - 1 : n;
}

/* ---- tags ---- */

typedef struct raw_attribute {
    const char *qname;
    size_t qname_length;
    size_t value_at, value_length; /* in r->values */
} raw_attribute;

/* One attribute, name="value": the declarations of namespaces among them
 * are taken at once, the others kept for their names to be resolved. */
static int read_attribute(xml_reader *r, raw_attribute *a)
{
    const size_t name_at = r->pos, end = name_end(r, r->pos);
    unsigned char quote;
    size_t close;
    if (end == name_at)
        return failed(r, "a tag with a stray character");
    a->qname = (const char *)r->s + name_at;
    a->qname_length = end - name_at;
    r->pos = end;
    skip_space(r);
    if (r->pos >= r->size || r->s[r->pos] != '=')
        return failed(r, "an attribute without a value");
    ++r->pos;
    skip_space(r);
    if (r->pos >= r->size || (r->s[r->pos] != '"' && r->s[r->pos] != '\''))
        return failed(r, "an attribute value without quotes");
    quote = r->s[r->pos++];
    {
        const unsigned char *hit = find_byte(r->s + r->pos, r->size - r->pos, quote);
        if (!hit)
            return failed(r, "an attribute value that does not end");
        close = (size_t)(hit - r->s);
    }
    if (holds_byte(r->s + r->pos, close - r->pos, '<'))
        return failed(r, "a < in an attribute value");
    a->value_at = r->values.size;
    if (!decode(r, r->s + r->pos, close - r->pos, &r->values))
        return 0;
    a->value_length = r->values.size - a->value_at;
    r->pos = close + 1;
    return 1;
}

static int is_declaration(const raw_attribute *a, const char **prefix, size_t *prefix_length)
{
    if (a->qname_length == 5 && memcmp(a->qname, "xmlns", 5) == 0) {
        *prefix = NULL;
        *prefix_length = 0;
        return 1;
    }
    if (a->qname_length > 6 && memcmp(a->qname, "xmlns:", 6) == 0) {
        *prefix = a->qname + 6;
        *prefix_length = a->qname_length - 6;
        return 1;
    }
    return 0;
}

static int open_element(xml_reader *r, const char *qname, size_t qname_length, int scope_count, xml_event *e)
{
    xml_open *element;
    if (r->depth == XML_DEPTH_MOST) {
        r->failed = 1;
        return refusal_setf("It is refused: its part %s nests elements deeper than %d, as no document does.",
                            r->part_name, XML_DEPTH_MOST);
    }
    if (r->depth == r->open_capacity) {
        xml_open *grown = (xml_open *)room_for_one(r->open, r->depth, &r->open_capacity, 32, sizeof *grown);
        if (!grown)
            return r->failed = 1, 0;
        r->open = grown;
    }
    element = &r->open[r->depth++];
    element->qname = qname;
    element->qname_length = qname_length;
    element->scope_count = scope_count;
    resolve(r, qname, qname_length, 0, &element->ns, &element->name, &element->name_length);
    e->kind = XML_START;
    e->ns = element->ns;
    e->name = element->name;
    e->name_length = element->name_length;
    e->depth = r->depth;
    return 1;
}

static int read_start_tag(xml_reader *r, xml_event *e)
{
    raw_attribute raw[XML_ATTRIBUTES_MOST];
    const size_t name_at = ++r->pos, name_stop = name_end(r, r->pos);
    const int scope_count = r->scope_count;
    int count = 0, i, empty = 0;
    if (name_stop == name_at)
        return failed(r, "a < that begins no tag");
    r->pos = name_stop;
    r->values.size = 0;
    for (;;) {
        raw_attribute a;
        const char *prefix;
        size_t prefix_length;
        skip_space(r);
        if (r->pos >= r->size)
            return failed(r, "a tag that does not end");
        if (r->s[r->pos] == '>' || (r->s[r->pos] == '/' && r->pos + 1 < r->size && r->s[r->pos + 1] == '>')) {
            empty = r->s[r->pos] == '/';
            r->pos += 1 + empty;
            break;
        }
        if (!read_attribute(r, &a))
            return 0;
        if (is_declaration(&a, &prefix, &prefix_length)) {
            if (!declare(r, prefix, prefix_length, ns_of_uri(r, r->values.data + a.value_at, a.value_length)))
                return 0;
        } else if (count < XML_ATTRIBUTES_MOST) {
            raw[count++] = a; /* those past the most are not needed by any reader */
        }
    }
    if (!open_element(r, (const char *)r->s + name_at, name_stop - name_at, scope_count, e))
        return 0;
    e->attribute_count = count;
    for (i = 0; i < count; ++i) {
        xml_attribute *a = &e->attributes[i];
        resolve(r, raw[i].qname, raw[i].qname_length, 1, &a->ns, &a->name, &a->name_length);
        a->value = (const char *)r->values.data + raw[i].value_at;
        a->value_length = raw[i].value_length;
    }
    r->pending_end = empty;
    return 1;
}

static void close_element(xml_reader *r, xml_event *e)
{
    const xml_open *element = &r->open[--r->depth];
    if (r->scope_count != element->scope_count)
        r->cached_valid = 0;
    e->kind = XML_END;
    e->ns = element->ns;
    e->name = element->name;
    e->name_length = element->name_length;
    e->depth = r->depth + 1;
    e->attribute_count = 0;
    r->scope_count = element->scope_count;
}

static int read_end_tag(xml_reader *r, xml_event *e)
{
    const size_t name_at = r->pos + 2, name_stop = name_end(r, name_at);
    const xml_open *element;
    if (r->depth == 0)
        return failed(r, "an end tag with no element open");
    element = &r->open[r->depth - 1];
    if (name_stop - name_at != element->qname_length || memcmp(r->s + name_at, element->qname, element->qname_length))
        return failed(r, "an end tag that does not match its start");
    r->pos = name_stop;
    skip_space(r);
    if (r->pos >= r->size || r->s[r->pos] != '>')
        return failed(r, "an end tag that does not end");
    ++r->pos;
    close_element(r, e);
    return 1;
}

/* ---- the rest: text, CDATA, comments, instructions ---- */

static int give_text(xml_reader *r, const unsigned char *s, size_t n, int verbatim, xml_event *e)
{
    e->kind = XML_TEXT;
    e->attribute_count = 0;
    if (verbatim || !needs_decoding(s, n)) {
        e->text = (const char *)s;
        e->text_length = n;
        return 1;
    }
    r->text.size = 0;
    if (!decode(r, s, n, &r->text))
        return 0;
    e->text = (const char *)r->text.data;
    e->text_length = r->text.size;
    return 1;
}

/* Passes over what ends with `end` (a comment, an instruction). */
static int pass_over(xml_reader *r, size_t from, const char *end, const char *what)
{
    const size_t at = find_text(r, from, end, strlen(end));
    if (at == r->size)
        return failed(r, what);
    r->pos = at + strlen(end);
    return 1;
}

/* What begins with "<!" or "<?": 1 when it gave an event, 0 on failure,
 * -1 when it was passed over. */
static int read_markup(xml_reader *r, xml_event *e)
{
    const unsigned char *p = r->s + r->pos;
    const size_t left = r->size - r->pos;
    if (left >= 2 && p[1] == '?')
        return pass_over(r, r->pos + 2, "?>", "an instruction that does not end") ? -1 : 0;
    if (left >= 4 && memcmp(p, "<!--", 4) == 0)
        return pass_over(r, r->pos + 4, "-->", "a comment that does not end") ? -1 : 0;
    if (left >= 9 && memcmp(p, "<![CDATA[", 9) == 0) {
        const size_t end = find_text(r, r->pos + 9, "]]>", 3);
        if (end == r->size)
            return failed(r, "a CDATA section that does not end");
        r->pos = end + 3;
        return give_text(r, p + 9, end - (size_t)(p + 9 - r->s), 1, e);
    }
    if (left >= 9 && memcmp(p, "<!DOCTYPE", 9) == 0) {
        r->failed = 1;
        return refusal_setf("It is refused: its part %s declares a document type, where entities could be "
                            "defined; no document's writer puts one there.", r->part_name);
    }
    return failed(r, "a <! that begins nothing XML knows");
}

int xml_next(xml_reader *r, xml_event *e)
{
    while (!r->failed) {
        if (r->pending_end) {
            r->pending_end = 0;
            close_element(r, e);
            return e->kind;
        }
        if (r->pos >= r->size) {
            if (r->depth > 0)
                return failed(r, "it ends inside an element"), e->kind = XML_FAILED;
            return e->kind = XML_END_OF_INPUT;
        }
        if (r->s[r->pos] == '<') {
            const unsigned char next = r->pos + 1 < r->size ? r->s[r->pos + 1] : 0;
            int given;
            if (next == '/')
                given = read_end_tag(r, e);
            else if (next == '!' || next == '?')
                given = read_markup(r, e);
            else if (r->depth == 0 && r->open_capacity > 0)
                given = failed(r, "a second root element");
            else
                given = read_start_tag(r, e);
            if (given > 0)
                return e->kind;
            if (given == 0)
                break;
            continue;
        }
        {
            const unsigned char *lt = find_byte(r->s + r->pos, r->size - r->pos, '<');
            const size_t at = r->pos, end = lt ? (size_t)(lt - r->s) : r->size;
            r->pos = end;
            if (r->depth == 0)
                continue; /* white space around the root */
            if (!give_text(r, r->s + at, end - at, 0, e))
                break;
            return e->kind;
        }
    }
    return e->kind = XML_FAILED;
}

int xml_next_inside(xml_reader *r, int depth, xml_event *e)
{
    while (r->depth >= depth) {
        const int kind = xml_next(r, e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return -1;
        if (kind == XML_START)
            return r->depth >= depth ? 1 : 0;
    }
    return 0;
}

int xml_skip(xml_reader *r)
{
    const int depth = r->depth;
    xml_event e;
    if (r->pending_end) {
        r->pending_end = 0;
        close_element(r, &e);
        return 1;
    }
    while (r->depth >= depth) {
        const int kind = xml_next(r, &e);
        if (kind == XML_FAILED || kind == XML_END_OF_INPUT)
            return 0;
    }
    return 1;
}

/* ---- writing ---- */

/* ASCII bytes that XML text or an attribute cannot hold as they are:
 * markup, and the control characters XML 1.0 forbids. */
static const unsigned char xml_stop[128] = {
    [0x00] = 1, [0x01] = 1, [0x02] = 1, [0x03] = 1, [0x04] = 1, [0x05] = 1, [0x06] = 1, [0x07] = 1, [0x08] = 1,
    [0x0B] = 1, [0x0C] = 1, [0x0E] = 1, [0x0F] = 1, [0x10] = 1, [0x11] = 1, [0x12] = 1, [0x13] = 1, [0x14] = 1,
    [0x15] = 1, [0x16] = 1, [0x17] = 1, [0x18] = 1, [0x19] = 1, [0x1A] = 1, [0x1B] = 1, [0x1C] = 1, [0x1D] = 1,
    [0x1E] = 1, [0x1F] = 1, ['&'] = 1,  ['<'] = 1,  ['>'] = 1,  ['"'] = 1,
};

/* What stops a run at s[*i], written as XML holds it: an escape, nothing
 * for a character XML 1.0 forbids (a C0 control, U+FFFE, U+FFFF), a
 * character beyond ASCII checked, U+FFFD for bytes that are no UTF-8. */
static void put_xml_stop(buffer *out, const unsigned char *s, size_t n, size_t *i)
{
    uint32_t c;
    size_t length;
    switch (s[*i]) {
    case '&': put_bytes(out, "&amp;", 5); ++*i; return;
    case '<': put_bytes(out, "&lt;", 4); ++*i; return;
    case '>': put_bytes(out, "&gt;", 4); ++*i; return;
    case '"': put_bytes(out, "&quot;", 6); ++*i; return;
    }
    if (s[*i] < 0x80) {
        ++*i;
        return;
    }
    length = utf8_decode(s + *i, n - *i, &c);
    if (length == 0) {
        put_bytes(out, "\xEF\xBF\xBD", 3);
        ++*i;
        return;
    }
    if (c != 0xFFFE && c != 0xFFFF)
        put_bytes(out, s + *i, length);
    *i += length;
}

void put_xml_text(buffer *out, const char *text, size_t n)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t i = 0;
    while (i < n) {
        size_t run = i;
        while (run < n && s[run] < 0x80 && !xml_stop[s[run]])
            ++run;
        put_bytes(out, s + i, run - i);
        i = run;
        if (i < n)
            put_xml_stop(out, s, n, &i);
    }
}

void put_xml_attribute(buffer *out, const char *name, const char *value, size_t n)
{
    put_byte(out, ' ');
    put_str(out, name);
    put_str(out, "=\"");
    put_xml_text(out, value, n);
    put_byte(out, '"');
}

void put_xml_number_attribute(buffer *out, const char *name, long value)
{
    put_byte(out, ' ');
    put_str(out, name);
    put_str(out, "=\"");
    put_number(out, value);
    put_byte(out, '"');
}
