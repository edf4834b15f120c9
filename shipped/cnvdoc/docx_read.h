/* What the Word document reader's files share: the namespaces it knows,
 * and the tables it reads from a document's styles and numbering parts
 * before it walks the body. */
#ifndef CNVDOC_DOCX_READ_H
#define CNVDOC_DOCX_READ_H

#include "shipped/core/buffer.h"
#include "shipped/core/xml.h"

/* Namespaces by what they are; the transitional and the strict URI of
 * each report the same one. */
enum docx_ns { NS_W, NS_R, NS_RELS, NS_WP, NS_A, NS_PIC, NS_MC, NS_V, NS_O, NS_WPS, NS_CT };
extern const char *const docx_uris[];
extern const int docx_uri_ns[];
extern const int docx_uri_count;

/* Character properties, each a bit, in two words: which a style or run
 * sets, and to what. */
enum {
    PROP_B = 1, PROP_I = 2, PROP_U = 4, PROP_S = 8, PROP_SUP = 16, PROP_SUB = 32, PROP_SC = 64,
    PROP_HIDDEN = 128, PROP_CODE = 256,
};
/* The properties that styles toggle: each level of styles that turns one
 * on turns it off again, as Word reads them. */
#define PROP_TOGGLES (PROP_B | PROP_I | PROP_S | PROP_SC | PROP_HIDDEN)
typedef struct run_props {
    unsigned set, on;
} run_props;
/* One property element of a w:rPr into p; other elements leave it. */
void read_run_prop(run_props *p, const xml_event *e);
/* Reads a w:rPr whose start was the last event, to its end. */
int read_run_props(xml_reader *x, run_props *p);

/* What a paragraph style makes of its paragraphs. */
enum paragraph_kind { KIND_PARAGRAPH, KIND_HEADING, KIND_QUOTE, KIND_CODE, KIND_TERM, KIND_DEFINITION };

typedef struct docx_style {
    size_t id_at, id_length; /* in the table's names */
    int is_paragraph;
    size_t base_at, base_length; /* the id of the style it is based on */
    int based_on;            /* its index, -1 for none */
    int kind, level;         /* level: a heading's, 1 to 9 */
    int num_id, num_level;   /* numbering the style gives; num_id 0: none */
    run_props runs;
    int resolved;
} docx_style;

typedef struct style_table {
    docx_style *styles;
    int count, capacity;
    int *by_id; /* indices sorted by id */
    buffer names;
    run_props defaults;
} style_table;

int read_styles(style_table *t, const unsigned char *s, size_t n);
/* The index of the style of that id, -1 when there is none. */
int find_style(const style_table *t, const char *id, size_t length);
void styles_free(style_table *t);

/* Numbering: a numbering instance (w:num) names an abstract definition
 * and may restart its levels; items count on per definition, as Word
 * counts them. */
#define NUMBERING_LEVELS 9
typedef struct numbering_level {
    int style; /* DOC_BULLET, or a list_style */
    int start;
    int shown; /* the levels its text shows ("%1.%2." shows 2) */
} numbering_level;

typedef struct abstract_numbering {
    int id;
    numbering_level levels[NUMBERING_LEVELS];
    int counts[NUMBERING_LEVELS];
} abstract_numbering;

typedef struct numbering_instance {
    int id;
    int abstract;  /* an index, -1 when its definition is missing */
    int restart[NUMBERING_LEVELS]; /* a start override, 0 for none */
    int used;
} numbering_instance;

typedef struct numbering_table {
    abstract_numbering *abstracts;
    int abstract_count, abstract_capacity;
    numbering_instance *instances;
    int instance_count, instance_capacity;
} numbering_table;

int read_numbering(numbering_table *t, const unsigned char *s, size_t n);
numbering_instance *find_numbering(numbering_table *t, int id);
void numbering_free(numbering_table *t);

/* An attribute's value as a number; `otherwise` when it is absent. */
int attribute_number(const xml_event *e, int ns, const char *name, int otherwise);
/* Whether an attribute is "on" as Word writes it: absent, true, 1, on. */
int attribute_on(const xml_event *e);

#endif
