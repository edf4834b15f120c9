/* The intermediate form, version 2 (sdk/GUIDE.md): blocks and inline marks
 * around UTF-8 text, every mark ESC [ name arguments ].  This is its one
 * grammar for every shipped plug-in.  Readers of a format write it through
 * a builder that keeps the marks properly nested whatever order the source
 * format gives them in; writers read it through an iterator that gives
 * well-formed events for any input, plain text and version 1 included. */
#ifndef SHIPPED_CORE_FORM_H
#define SHIPPED_CORE_FORM_H

#include "shipped/core/buffer.h"

#define MARK 0x1B

/* White space between the blocks of the form, and collapsed in HTML. */
static inline int is_white_space(unsigned char c)
{
    return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f';
}

/* What a document may expand into beyond its own text: reference links
 * that repeat a long target, cells added to fill short table rows.  Each
 * conversion may add the input's size twice over and a mebibyte that no
 * ordinary document reaches; past it a reference is left as its text and
 * a row keeps its own cells, so that output stays proportional to input. */
#define DOC_EXPANSION_FLOOR ((size_t)1 << 20)
#define DOC_EXPANSION_PER_BYTE 2
static inline size_t doc_expansion_budget(size_t input_size)
{
    const size_t most = ((size_t)-1 - DOC_EXPANSION_FLOOR) / DOC_EXPANSION_PER_BYTE;
    return DOC_EXPANSION_FLOOR + DOC_EXPANSION_PER_BYTE * (input_size < most ? input_size : most);
}
/* Takes `cost` from a budget; 0 when the budget cannot pay it. */
static inline int doc_spend(size_t *budget, size_t cost)
{
    if (cost > *budget)
        return 0;
    *budget -= cost;
    return 1;
}
/* What an empty cell costs in the intermediate form, its marks with their
 * line ends. */
#define DOC_EMPTY_CELL_COST 16


/* Nodes of the intermediate form. */
enum node {
    NODE_NONE,
    NODE_P, NODE_H, NODE_LI, NODE_CODE, NODE_CELL, /* leaves: hold text (a cell also blocks, version 3) */
    NODE_QUOTE, NODE_TABLE, NODE_ROW,               /* containers */
    NODE_HR,
    NODE_A, NODE_I, NODE_B, NODE_U, NODE_S, NODE_C, /* inline */
    NODE_SUP, NODE_SUB, NODE_SC,                    /* inline, version 3: superscript, subscript, small capitals */
    NODE_BR,
    NODE_HTML,                                      /* leaf: raw HTML, verbatim */
    NODE_IMG, NODE_RAW,                             /* inline: an image (its text the alternative), raw HTML */
    NODE_FN,                                        /* inline, version 3: where a footnote stands */
    NODE_NOTE,                                      /* container, version 3: a footnote's blocks */
    NODE_DL, NODE_DT, NODE_DD,                      /* version 3: a definition list, its term, its definition */
    NODE_BITS,                                      /* version 3: a piece of an image's data, in its mark */
    NODE_COUNT
};
#define IS_LEAF(n) (((n) >= NODE_P && (n) <= NODE_CELL) || (n) == NODE_HTML || (n) == NODE_DT)
#define IS_VERBATIM(n) ((n) == NODE_CODE || (n) == NODE_HTML)
#define IS_INLINE(n) ((n) >= NODE_A && (n) <= NODE_SC)
#define INLINE_BIT(n) (1u << ((n) - NODE_A))
/* Containers in which blocks stand as they do in the document. */
#define IS_FLOW(n) ((n) == NODE_QUOTE || (n) == NODE_NOTE || (n) == NODE_DD)

/* A numbered list's style; the intermediate names them as CSS does. */
enum list_style { LIST_DECIMAL, LIST_LOWER_ALPHA, LIST_UPPER_ALPHA, LIST_LOWER_ROMAN, LIST_UPPER_ROMAN };

/* An image's data rides in its mark in pieces of this many base64
 * characters, so that no mark makes a line longer than that. */
#define DOC_BITS_PIECE 1024

/* ---- Writing the intermediate form (the readers' side) ---- */

#define BUILDER_DEPTH 64
#define INLINE_DEPTH 24 /* inline marks open at once, nested ones included */
#define DOC_BULLET (-1) /* the number of a bulleted list item (any below 0 is one) */

typedef struct doc_builder {
    buffer out;
    int leaf;            /* open leaf block, NODE_NONE outside one */
    int leaf_has_text;
    int leaf_unwritten;  /* a paragraph's mark waits for its first text */
    int leaf_absorbed;   /* a paragraph taken into the open item or cell */
    int containers[BUILDER_DEPTH];
    int depth;
    int wanted[INLINE_DEPTH]; /* inline marks the next text should carry, in the order they opened */
    int wanted_count;
    int wanted_dropped[NODE_SC - NODE_A + 1]; /* opened beyond INLINE_DEPTH: the next ends of that mark end nothing */
    int inlines_changed; /* wanted marks changed since the output's were brought in line */
    int code_ended;      /* a code span ended since then: the next one is a span of its own */
    buffer wanted_href;
    int emitted[INLINE_DEPTH]; /* inline marks open in the output, outermost first */
    int emitted_count;
    buffer emitted_href;
    int collapse_spaces; /* HTML: runs of white space are one space */
    int pending_space;
    int after_break;     /* HTML: white space that starts a line is no content */
    buffer wanted_title, emitted_title; /* a link's title */
    int link_compared;   /* the wanted link was compared with the emitted one since either changed */
    int link_same;       /* and they were the same: a long target is compared once, not at every mark */
    /* What the document may still expand into: every link mark written
     * spends its target and title, so that a link around thousands of
     * paragraphs, or a field's thousands of results, cannot write its long
     * target thousands of times.  A reader sets it to doc_expansion_budget
     * of its input; past it text goes on without its link.  No limit
     * unless set. */
    size_t expansion_left;
    int next_item;       /* the next block continues the list item of this level */
    unsigned next_flags; /* DOC_ flags of the next item or cell */
    int next_style;      /* the next item's list_style, and its outline label */
    buffer next_label;
    struct doc_builder *notes; /* footnotes, written after the document's last block */
} doc_builder;

#define DOC_LOOSE 1u    /* an item of a list whose items are parted by blank lines */
#define DOC_NEW_LIST 2u /* an item that begins a list right after another one */
#define DOC_ALIGN_LEFT 4u   /* a table cell's alignment */
#define DOC_ALIGN_CENTER 8u
#define DOC_ALIGN_RIGHT 16u
#define DOC_IN_CELL 32u     /* the next block stands in the open table cell (version 3) */

/* Starts the document; the intermediate form goes to `out` as it is made. */
void doc_begin(doc_builder *b, FILE *out);
/* The same, the header recording what the file was found to be ("RTF",
 * "Text (UTF-8)"; NULL: nothing) where the reader was chosen by content. */
void doc_begin_found(doc_builder *b, FILE *out, const char *found);
/* Opens a leaf block (NODE_P, NODE_H, NODE_LI, NODE_CODE); level and
 * number for headings and items (DOC_BULLET: bulleted), lang for code. */
void doc_block(doc_builder *b, int node, int level, int number, const char *lang);
/* Ends the open leaf when it is `node` (any leaf for NODE_NONE). */
void doc_end_block(doc_builder *b, int node);
void doc_container(doc_builder *b, int node);
void doc_end_container(doc_builder *b, int node);
void doc_cell(doc_builder *b, int header);
void doc_hr(doc_builder *b);
void doc_br(doc_builder *b);
/* Opens an inline mark other than a link inside those open (the same mark
 * again nests in it), or ends the innermost open one of its kind.  Code
 * always goes innermost: it holds no other marks. */
void doc_set(doc_builder *b, int node, int on);
void doc_link(doc_builder *b, const char *href, size_t length); /* NULL ends it */
/* The title of the link that the next doc_link opens (NULL: none). */
void doc_link_title(doc_builder *b, const char *title, size_t length);
/* An image: its source, title (may be NULL) and alternative text. */
void doc_image(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
               const char *alt, size_t alt_length);
/* Raw HTML inside a block, kept verbatim. */
void doc_raw(doc_builder *b, const char *s, size_t n);
/* What the next block mark carries: the list item level it continues
 * (0: none); for an item DOC_LOOSE and DOC_NEW_LIST, for a cell a
 * DOC_ALIGN_ flag. */
void doc_block_context(doc_builder *b, int item, unsigned flags);
/* The next list item's numbering style, and the label the source shows
 * for it where that is more than its number (an outline's "2.1."). */
void doc_list_style(doc_builder *b, int style, const char *label, size_t label_length);
/* An image with its data: its media type ("image/png"), the bytes, its
 * size in pixels (0: not given); src may be NULL when it has no address. */
void doc_picture(doc_builder *b, const char *src, size_t src_length, const char *title, size_t title_length,
                 const char *alt, size_t alt_length, const char *media_type, const unsigned char *data,
                 size_t data_length, int width, int height);
/* Where a footnote stands; `id` ties it to its note. */
void doc_footnote(doc_builder *b, const char *id, size_t id_length);
/* Opens the note of that id and gives the builder its blocks go to; they
 * follow the document's last block.  doc_note_end closes it. */
doc_builder *doc_note_begin(doc_builder *b, const char *id, size_t id_length);
void doc_note_end(doc_builder *notes);
/* Text in UTF-8; an ESC in it is doubled. */
void doc_text(doc_builder *b, const char *s, size_t n);
int doc_in_code(const doc_builder *b);
/* Closes what is open and writes the rest; frees the builder. */
int32_t doc_finish(doc_builder *b);

/* ---- Reading the intermediate form (the writers' side) ---- */

enum event_kind { EV_END, EV_OPEN, EV_CLOSE, EV_TEXT, EV_BR, EV_HR };

typedef struct doc_event {
    int kind;
    int node;
    int level, number, header; /* number: DOC_BULLET, or an item's number (0 and up) */
    /* version 3, small so that an event is cleared in a few stores */
    unsigned char in_cell;    /* EV_OPEN of a block: it stands in the open table cell */
    unsigned char list_style; /* EV_OPEN of an item */
    const char *text; /* EV_TEXT: the bytes; EV_OPEN of a link: its target; of code: its language; of an image:
                       * its source; of a footnote or a note: its id */
    size_t length;
    int item;          /* EV_OPEN of a block: the list item level it continues, 0 for none */
    int loose, new_list; /* EV_OPEN of an item */
    int align;         /* EV_OPEN of a cell: 0, or DOC_ALIGN_LEFT, _CENTER, _RIGHT */
    const char *title; /* EV_OPEN of a link or an image: its title ("" for none); of an item: its label */
    size_t title_length;
    const struct doc_image_data *picture; /* EV_OPEN of an image (version 3): its data, NULL for other events */
} doc_event;

/* An image's data, decoded, with its media type ("" when it has none) and
 * its size in pixels (0 where not given). */
typedef struct doc_image_data {
    const unsigned char *data;
    size_t data_length;
    const char *media_type;
    int width, height;
} doc_image_data;

#define READER_DEPTH 64
#define READER_QUEUE 80

typedef struct doc_reader {
    const unsigned char *s;
    size_t size, pos;
    int plain;        /* no block marks: blank lines part paragraphs */
    int stack[READER_DEPTH];
    int stack_level[READER_DEPTH], stack_header[READER_DEPTH]; /* repeated on the closing event */
    int depth;
    doc_event queue[READER_QUEUE];
    int head, count;
    buffer args[READER_DEPTH]; /* decoded targets and languages of open marks */
    buffer titles[READER_DEPTH];
    doc_image_data picture; /* the open image's */
    buffer picture_data;
    char media_type[48];
    int finished;
    int leaf_at;      /* 1 + the stack index of the open leaf, 0 outside one */
    size_t no_mark_before; /* an ESC [ before this offset is text: its line ends before any ']' */
} doc_reader;

void doc_read_begin(doc_reader *r, const buffer *input);

/* Footnotes are numbered in the order their references appear; a note met
 * before any reference to it takes the next number then.  note_number
 * gives an id's number (0 when memory ran out). */
typedef struct note_numbers {
    buffer ids;
    void *slots;
    size_t slot_count;
    int count;
    uint64_t key;
} note_numbers;
int note_number(note_numbers *n, const char *id, size_t length);
void note_numbers_free(note_numbers *n);
/* Whether a mark, its bytes after ESC [ up to its ], names a block. */
int doc_is_block_mark(const unsigned char *mark, size_t length);
/* The value of key=value among a mark's arguments (its bytes after ESC [
 * up to its ]), as a NUL-ended copy of at most size - 1 bytes; 0 when the
 * mark has no such key. */
int doc_mark_field(const unsigned char *mark, size_t length, const char *key, char *value, size_t size);
int doc_next(doc_reader *r, doc_event *e);
/* Where each note's mark begins in the form, in order (an ESC in text is
 * doubled, so a mark is found without reading the form): a first pass for
 * the writers that must write a note where its reference stands, before
 * the iterator reaches the note.  NULL with *count 0 when there is none
 * or memory ran out; the caller frees it. */
size_t *doc_find_note_marks(const buffer *input, int *count);
void doc_read_end(doc_reader *r);

#endif
