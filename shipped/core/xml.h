/* A pull reader of XML in memory, for the parts of office documents.
 *
 * Names are resolved to namespaces by URI, never by prefix: the caller
 * gives the URIs it knows, and an element or attribute reports the index
 * of its URI in that table (XML_NS_NONE without a namespace, XML_NS_OTHER
 * for one it does not know).  Several URIs may share an index (a format's
 * transitional and strict namespaces).  Entities are XML's five and
 * character references; a DOCTYPE is refused, so no entity is ever
 * defined, let alone expanded.  Depth and attribute counts are bounded.
 * Text comes decoded, CDATA included; comments and processing
 * instructions are passed over. */
#ifndef SHIPPED_CORE_XML_H
#define SHIPPED_CORE_XML_H

#include <stddef.h>

#include "shipped/core/buffer.h"

#define XML_NS_NONE (-1)
#define XML_NS_OTHER (-2)
/* Deeper than any document's parts nest, shallow enough that no reader's
 * stack of open elements grows past a few KiB. */
#define XML_DEPTH_MOST 512
#define XML_ATTRIBUTES_MOST 64
#define XML_NAMESPACES_MOST 256 /* declarations in scope at once */

enum xml_kind { XML_END_OF_INPUT, XML_START, XML_END, XML_TEXT, XML_FAILED };

typedef struct xml_attribute {
    int ns;
    const char *name; /* local name */
    size_t name_length;
    const char *value; /* decoded */
    size_t value_length;
} xml_attribute;

typedef struct xml_event {
    int kind;
    int ns;              /* XML_START, XML_END: the element's namespace */
    const char *name;    /* and its local name */
    size_t name_length;
    const char *text;    /* XML_TEXT: decoded text */
    size_t text_length;
    int depth;           /* XML_START: the element's depth, 1 for the root; XML_END: the same */
    int attribute_count; /* XML_START */
    xml_attribute attributes[XML_ATTRIBUTES_MOST];
} xml_event;

typedef struct xml_reader {
    const unsigned char *s;
    size_t size, pos;
    const char *const *uris; /* the caller's table */
    const int *uri_ns;       /* the index each URI reports; NULL: its own position */
    int uri_count;
    struct xml_scope *scopes;  /* namespace declarations in scope */
    int scope_count, scope_capacity;
    struct xml_open *open;     /* open elements */
    int depth, open_capacity;
    int pending_end;           /* an empty element's end, given next */
    buffer text, values;       /* decoded text and attribute values */
    const char *part_name;     /* "word/document.xml": named in refusals */
    /* the prefix resolved last: most names of a part share one or two */
    char cached_prefix[8];
    size_t cached_length;
    int cached_ns, cached_valid;
    int failed;
} xml_reader;

void xml_begin(xml_reader *r, const unsigned char *s, size_t size, const char *part_name, const char *const *uris,
               const int *uri_ns, int uri_count);
/* The next event; XML_FAILED (with the reason) for XML that is not well
 * formed, a DOCTYPE, or limits passed.  Pointers in the event stay valid
 * until the next call. */
int xml_next(xml_reader *r, xml_event *e);
/* Passes over the rest of the element whose XML_START was the last event. */
int xml_skip(xml_reader *r);
/* The next start of an element inside the one open at `depth` (the
 * reader's depth when its start was given): 1 with the event, 0 once that
 * element has ended, -1 when the part fails. */
int xml_next_inside(xml_reader *r, int depth, xml_event *e);
void xml_end(xml_reader *r);

/* Whether the event's name is `name` in namespace `ns`. */
static inline int xml_is(const xml_event *e, int ns, const char *name)
{
    return e->ns == ns && strlen(name) == e->name_length && memcmp(e->name, name, e->name_length) == 0;
}
/* The attribute of that namespace and local name, NULL when absent. */
static inline const xml_attribute *xml_attribute_of(const xml_event *e, int ns, const char *name)
{
    const size_t length = strlen(name);
    int i;
    for (i = 0; i < e->attribute_count; ++i) {
        const xml_attribute *a = &e->attributes[i];
        if (a->ns == ns && a->name_length == length && memcmp(a->name, name, length) == 0)
            return a;
    }
    return NULL;
}

/* Writing XML: text or an attribute's value escaped, the characters XML
 * 1.0 forbids (C0 controls but tab and line ends, U+FFFE, U+FFFF) left
 * out, bytes that are no UTF-8 written as U+FFFD, so that a part is well
 * formed whatever the document holds. */
void put_xml_text(buffer *out, const char *text, size_t n);
/* ` name="value"` */
void put_xml_attribute(buffer *out, const char *name, const char *value, size_t n);
void put_xml_number_attribute(buffer *out, const char *name, long value);

#endif
