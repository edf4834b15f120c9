/* Word 97-2003 documents (.doc), as [MS-DOC] describes them: the text is
 * pieces of the WordDocument stream named by a piece table; paragraph and
 * character properties are runs of sprms in formatted disk pages (FKPs)
 * over the stylesheet's properties; lists, notes and fields are tables in
 * the table stream, keyed by character position (CP).
 *
 * Everything is read into memory whole (the compound file layer checks its
 * chains), and every table the file gives is checked against the stream it
 * points into before use, so that no count or offset reads outside a
 * buffer.  The text is walked once, a paragraph at a time, since a
 * paragraph's properties hang on its mark at its end. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/cfb.h"
#include "shipped/core/refusal.h"

#define WORD_IDENT 0xA5EC
#define WORD6_IDENT 0xA5DC /* Word 6 and Word 95 */
#define NFIB_OLDEST 0x00C0 /* Word 6 wrote 0x65, Word 95 0x68; Word 97 and later 0xC1 and up */
#define FKP_SIZE 512
#define LIST_LEVELS 9
#define FIELD_DEPTH 16
#define FIELD_CODE_KEPT 2048 /* of a field's code: a HYPERLINK's target, quoted, fits */
#define TABLE_DEPTH 16       /* tables nested deeper are read as the sixteenth */
#define ROW_CELLS 64         /* a row's definition gives at most 63 */

/* Indices of the FibRgFcLcb97 pairs this reader uses. */
enum {
    FIB_STSHF = 1,
    FIB_PLCFFNDREF = 2,
    FIB_PLCFFNDTXT = 3,
    FIB_PLCFBTECHPX = 12,
    FIB_PLCFBTEPAPX = 13,
    FIB_STTBFFFN = 15,
    FIB_CLX = 33,
    FIB_PLCSPAMOM = 40,
    FIB_PLCFENDREF = 46,
    FIB_PLCFENDTXT = 47,
    FIB_DGGINFO = 50,
    FIB_PLFLST = 73,
    FIB_PLFLFO = 74,
    FIB_PAIRS_USED = 75
};

/* FibBase flags.  A fast-saved file (fComplex) needs nothing of its own:
 * its edits are pieces of the piece table like any text, and the sprms
 * they changed are the pieces' own. */
#define FIB_ENCRYPTED 0x0100u
#define FIB_WHICH_TABLE 0x0200u
#define FIB_OBFUSCATED 0x8000u

/* Character properties, as bits. */
#define C_BOLD 0x001u
#define C_ITALIC 0x002u
#define C_UNDERLINE 0x004u
#define C_STRIKE 0x008u
#define C_SUPER 0x010u
#define C_SUB 0x020u
#define C_SMALL_CAPS 0x040u
#define C_HIDDEN 0x080u
#define C_SPECIAL 0x100u
#define C_DELETED 0x200u
#define C_OLE 0x400u

/* The marks the text carries, each with its property. */
static const struct {
    unsigned bit;
    int node;
} char_marks[] = {
    {C_BOLD, NODE_B},   {C_ITALIC, NODE_I}, {C_UNDERLINE, NODE_U},    {C_STRIKE, NODE_S},
    {C_SUPER, NODE_SUP}, {C_SUB, NODE_SUB}, {C_SMALL_CAPS, NODE_SC},
};

typedef struct para_props {
    int in_table, row_end, depth, inner_cell, inner_row_end;
    int ilfo, ilvl;
    int outline; /* 0..8, or 9: body text */
    int style;
} para_props;

typedef struct props {
    unsigned chars;
    unsigned toggle_base; /* the style's, which toggling sprms flip */
    uint32_t picture;     /* in the Data stream */
    uint32_t symbol;      /* the character a symbol placeholder stands for */
    int symbol_font, font; /* the placeholder's font and the text's, by their number */
    int char_style;       /* -1: none */
    para_props para;
} props;

/* A range of the text streams' bytes. */
typedef struct span {
    uint32_t at, length;
} span;

typedef struct piece {
    uint32_t cp, cp_end;
    uint32_t at;      /* the first character's byte in the WordDocument stream */
    int compressed;   /* 8-bit text */
    span sprms;       /* the piece's own properties, in the table stream */
    uint16_t sprm;    /* or a single sprm of its own, of a one-byte operand (0: none) */
    unsigned char value;
} piece;

/* A run of one FKP: the bytes [fc, fc_end) of the WordDocument stream and
 * its sprms (in the same stream), with the style of a paragraph's run. */
typedef struct run {
    uint32_t fc, fc_end;
    span sprms;
    int style;
} run;

typedef struct style {
    int kind;  /* 1 paragraph, 2 character */
    int base;
    int sti;   /* the built-in style it is: 1..9 the headings */
    span para_sprms, char_sprms; /* in the table stream */
    int state; /* 0 unresolved, 1 resolving, 2 resolved */
    props resolved;
} style;

typedef struct list_level {
    int start, format;
} list_level;

typedef struct list_def {
    int32_t id;
    list_level levels[LIST_LEVELS];
    int counters[LIST_LEVELS];
    int counted[LIST_LEVELS];
} list_def;

/* What a paragraph's ilfo names: a list, and the levels it starts again
 * (at its first item there) or shows in another format. */
typedef struct list_override {
    int32_t list; /* -1: none */
    int start[LIST_LEVELS];
    int format[LIST_LEVELS]; /* -1: the list's own */
    unsigned char restarts[LIST_LEVELS];
} list_override;

/* One story's footnotes or endnotes: where each is referred to, and the
 * CPs of their texts in the note story. */
typedef struct note_table {
    const char *prefix;
    uint32_t *refs, *texts;
    size_t count;
    uint32_t story_cp, story_end;
    unsigned char *done;
} note_table;

/* A picture's bytes, in one of the streams. */
typedef struct picture {
    const unsigned char *data;
    size_t length;
    const char *media;
} picture;

/* A drawn shape: its picture's entry in the BLIP store (1 and up), and its
 * description in UTF-16. */
typedef struct shape {
    uint32_t id;
    uint32_t blip;
    const unsigned char *alt;
    size_t alt_length;
} shape;

typedef struct text_char {
    uint32_t ch;
    uint32_t cp, fc;
    uint32_t piece;
} text_char;

typedef struct field {
    int in_code, link;
    buffer code;
} field;

/* What a row's definition, at its end, says of its cells: whether they
 * are headers, and which are merged into the cell before them. */
typedef struct row_info {
    int header;
    unsigned char merged[ROW_CELLS];
} row_info;

/* What one story (the main text, a note) has open as it is read. */
typedef struct story {
    doc_builder *b;
    int in_note;
    int depth;                   /* tables open */
    uint32_t end;                /* the story's last CP */
    int cell[TABLE_DEPTH + 1];   /* per depth: 0 no cell open, 1 a cell holding its text, 2 holding blocks */
    int row_open[TABLE_DEPTH + 1];
    int cell_index[TABLE_DEPTH + 1];
    row_info rows[TABLE_DEPTH + 1];
    field fields[FIELD_DEPTH];
    int field_count;
    int last_list;               /* the list of the item before, -1 after another block */
    int after_note_mark;
    unsigned marks;              /* character marks open */
    buffer text;                 /* the text waiting for its marks */
    buffer notes;                /* the notes referred to in the paragraph: a table's index, then the note's */
} story;

typedef struct word_reader {
    buffer raw;
    cfb_file cfb;
    buffer word, table, data;
    unsigned nfib, flags;
    uint32_t ccp_text, ccp_ftn, ccp_hdd, ccp_atn, ccp_edn;
    piece *pieces;
    size_t piece_count;
    span *prcs; /* the Clx's property lists, in the table stream */
    int prc_count, prc_capacity;
    run *chpx, *papx;
    size_t chpx_count, papx_count;
    style *styles;
    size_t style_count;
    int *style_chain; /* room to resolve a style's chain of bases */
    list_def *lists;
    size_t list_count;
    list_override *overrides; /* by ilfo - 1 */
    size_t lfo_count;
    note_table footnotes, endnotes;
    text_char *para;
    size_t para_count, para_capacity;
    picture *blips;   /* the BLIP store's entries */
    int blip_count, blip_capacity;
    shape *shapes;    /* by id */
    int shape_count, shape_capacity;
    const unsigned char *anchors; /* PlcSpaMom: where the main text's shapes stand */
    size_t anchor_count;
    int symbol_font;  /* the number of the font named Symbol, -1 for none */
    size_t picture_budget;
    doc_builder b;
} word_reader;

static uint32_t u32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static unsigned u16(const unsigned char *p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8;
}

/* Whether [at, at + length) lies in a buffer of `size` bytes. */
static int fits(size_t size, uint64_t at, uint64_t length)
{
    return at <= size && length <= size - at;
}

/* ---- the File Information Block ---- */

static span fib_pair(const word_reader *r, int index)
{
    const unsigned count = u16(r->word.data + 152);
    span s = {0, 0};
    if ((unsigned)index < count && fits(r->word.size, 154 + 8u * (unsigned)index, 8)) {
        s.at = u32(r->word.data + 154 + 8 * index);
        s.length = u32(r->word.data + 158 + 8 * index);
    }
    if (!fits(r->table.size, s.at, s.length))
        s.length = 0; /* a table that is not there is read as an empty one */
    return s;
}

/* Refuses what this reader cannot read, naming it. */
static int read_fib(word_reader *r)
{
    const unsigned char *w = r->word.data;
    if (r->word.size < 154 || (u16(w) != WORD_IDENT && u16(w) != WORD6_IDENT))
        return refusal_set("It is not a Word 97-2003 document: its WordDocument stream does not begin as one.");
    r->nfib = u16(w + 2);
    r->flags = u16(w + 10);
    if (u16(w) == WORD6_IDENT || r->nfib < NFIB_OLDEST)
        return refusal_setf("It is a Word 6 or Word 95 document (nFib %u), which this reader does not read: open it in "
                            "Word or LibreOffice and save it as a Word 97-2003 document.",
                            r->nfib);
    if (r->flags & FIB_ENCRYPTED && r->flags & FIB_OBFUSCATED)
        return refusal_set("It is an obfuscated Word document (XOR-encrypted with a password), which this reader does "
                           "not decrypt.");
    if (r->flags & FIB_ENCRYPTED)
        return refusal_set("It is a Word document encrypted with a password, which this reader does not decrypt.");
    if (u16(w + 32) < 14 || u16(w + 62) < 22)
        return refusal_set("It is not a Word 97-2003 document: its File Information Block is cut short.");
    r->ccp_text = u32(w + 76);
    r->ccp_ftn = u32(w + 80);
    r->ccp_hdd = u32(w + 84);
    r->ccp_atn = u32(w + 92);
    r->ccp_edn = u32(w + 96);
    if (u16(w + 152) < FIB_PAIRS_USED || !fits(r->word.size, 154, 8u * u16(w + 152)))
        return refusal_set("It is not a Word 97-2003 document: its File Information Block is cut short.");
    return 1;
}

/* ---- sprms ---- */

/* The length of a sprm's operand at p[2..), -1 when it runs past `end`. */
static long operand_length(const unsigned char *p, const unsigned char *end)
{
    static const int by_kind[8] = {1, 1, 2, 4, 2, 2, -1, 3};
    const unsigned sprm = u16(p);
    const int fixed = by_kind[sprm >> 13];
    if (fixed > 0)
        return fixed;
    if (end - p < 3)
        return -1;
    if (sprm == 0xD608 || sprm == 0xD606) /* a table's definition: a 16-bit length, itself counted */
        return end - p >= 4 ? (long)(u16(p + 2) ? u16(p + 2) + 1 : 2) : -1;
    if (sprm == 0xC615 && p[2] == 255) { /* tab stops' changes, their length in their counts */
        const long deleted = end - p > 3 ? 1 + 4L * p[3] : -1;
        const unsigned char *added = p + 3 + deleted;
        return deleted > 0 && added < end ? 1 + deleted + 1 + 3L * *added : -1;
    }
    return 1 + (long)p[2];
}

static unsigned toggled(unsigned chars, unsigned base, unsigned bit, unsigned value)
{
    const unsigned on = value == 0x80 ? (base & bit) : value == 0x81 ? (~base & bit) : value ? bit : 0;
    return (chars & ~bit) | on;
}

typedef void (*sprm_fn)(props *p, const unsigned char *operand, unsigned bit);

static void on_toggle(props *p, const unsigned char *operand, unsigned bit)
{
    p->chars = toggled(p->chars, p->toggle_base, bit, operand[0]);
}

static void on_flag(props *p, const unsigned char *operand, unsigned bit)
{
    p->chars = operand[0] ? p->chars | bit : p->chars & ~bit;
}

static void on_underline(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->chars = operand[0] ? p->chars | C_UNDERLINE : p->chars & ~C_UNDERLINE;
}

static void on_position(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->chars &= ~(C_SUPER | C_SUB);
    p->chars |= operand[0] == 1 ? C_SUPER : operand[0] == 2 ? C_SUB : 0;
}

static void on_raised(props *p, const unsigned char *operand, unsigned bit)
{
    const int half_points = (int16_t)u16(operand);
    (void)bit;
    p->chars &= ~(C_SUPER | C_SUB);
    p->chars |= half_points > 0 ? C_SUPER : half_points < 0 ? C_SUB : 0;
}

static void on_picture(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->picture = u32(operand);
}

static void on_symbol(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->symbol_font = (int)u16(operand);
    p->symbol = u16(operand + 2); /* Symbol and Wingdings put theirs at U+F000 and up */
}

static void on_font(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->font = (int)u16(operand);
}

static void on_char_style(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->char_style = (int)u16(operand);
}

static void on_in_table(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.in_table = operand[0] != 0;
    if (p->para.in_table && p->para.depth == 0)
        p->para.depth = 1;
}

static void on_row_end(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.row_end = operand[0] != 0;
}

static void on_depth(props *p, const unsigned char *operand, unsigned bit)
{
    const int32_t value = (int32_t)u32(operand);
    p->para.depth = bit ? p->para.depth + value : value; /* sprmPDtap changes it, sprmPItap sets it */
    if (p->para.depth < 0)
        p->para.depth = 0;
}

static void on_inner_cell(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.inner_cell = operand[0] != 0;
}

static void on_inner_row_end(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.inner_row_end = operand[0] != 0;
}

static void on_list(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.ilfo = (int)(int16_t)u16(operand);
}

static void on_list_level(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.ilvl = operand[0] < LIST_LEVELS ? operand[0] : 0;
}

static void on_outline(props *p, const unsigned char *operand, unsigned bit)
{
    (void)bit;
    p->para.outline = operand[0] < 9 ? operand[0] : 9;
}

/* The sprms that carry what the intermediate form shows, by code. */
static const struct {
    uint16_t sprm;
    sprm_fn apply;
    unsigned bit;
} sprm_table[] = {
    {0x0800, on_flag, C_DELETED},       /* sprmCFRMarkDel: a deletion tracked, not yet accepted */
    {0x080A, on_flag, C_OLE},           /* sprmCFOle2 */
    {0x0835, on_toggle, C_BOLD},        /* sprmCFBold */
    {0x0836, on_toggle, C_ITALIC},      /* sprmCFItalic */
    {0x0837, on_toggle, C_STRIKE},      /* sprmCFStrike */
    {0x083A, on_toggle, C_SMALL_CAPS},  /* sprmCFSmallCaps */
    {0x083C, on_toggle, C_HIDDEN},      /* sprmCFVanish */
    {0x0855, on_flag, C_SPECIAL},       /* sprmCFSpec */
    {0x2416, on_in_table, 0},           /* sprmPFInTable */
    {0x2417, on_row_end, 0},            /* sprmPFTtp */
    {0x244B, on_inner_cell, 0},         /* sprmPFInnerTableCell */
    {0x244C, on_inner_row_end, 0},      /* sprmPFInnerTtp */
    {0x260A, on_list_level, 0},         /* sprmPIlvl */
    {0x2640, on_outline, 0},            /* sprmPOutLvl */
    {0x2A3E, on_underline, 0},          /* sprmCKul */
    {0x2A48, on_position, 0},           /* sprmCIss */
    {0x2A53, on_toggle, C_STRIKE},      /* sprmCFDStrike: a double line is a strike all the same */
    {0x460B, on_list, 0},               /* sprmPIlfo */
    {0x4845, on_raised, 0},             /* sprmCHpsPos: text raised or lowered by half points */
    {0x4A30, on_char_style, 0},         /* sprmCIstd */
    {0x4A4F, on_font, 0},               /* sprmCRgFtc0: the font of ASCII text */
    {0x6649, on_depth, 0},              /* sprmPItap */
    {0x664A, on_depth, 1},              /* sprmPDtap */
    {0x6A03, on_picture, 0},            /* sprmCPicLocation */
    {0x6A09, on_symbol, 0},             /* sprmCSymbol */
};

static void apply_sprm(props *p, unsigned sprm, const unsigned char *operand)
{
    size_t low = 0, high = sizeof sprm_table / sizeof *sprm_table;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (sprm_table[middle].sprm == sprm) {
            /* every sprm of the table has a fixed length, which its code gives */
            sprm_table[middle].apply(p, operand, sprm_table[middle].bit);
            return;
        }
        if (sprm_table[middle].sprm < sprm)
            low = middle + 1;
        else
            high = middle;
    }
}

/* Applies the sprms of s[0..n); one that runs past the end ends them. */
static void apply_sprms(props *p, const unsigned char *s, size_t n)
{
    const unsigned char *end = s + n;
    while (end - s >= 2) {
        const long length = operand_length(s, end);
        if (length < 0 || length > end - s - 2)
            return;
        apply_sprm(p, u16(s), s + 2);
        s += 2 + length;
    }
}

static void apply_span(props *p, const buffer *stream, span s)
{
    if (fits(stream->size, s.at, s.length))
        apply_sprms(p, stream->data + s.at, s.length);
}

/* ---- the piece table ---- */

#define PIECE_DAMAGED "The Word document is damaged: its piece table "

static int read_property_lists(word_reader *r, const unsigned char *s, size_t n, size_t *pcdt)
{
    size_t i = 0;
    while (i < n && s[i] == 1) {
        const unsigned length = u16(s + i + 1);
        span *grown;
        if (!fits(n, i + 3, length))
            return refusal_set(PIECE_DAMAGED "has a property list that runs past its end.");
        grown = (span *)room_for_one(r->prcs, r->prc_count, &r->prc_capacity, 8, sizeof *r->prcs);
        if (!grown)
            return refusal_set(REFUSAL_OUT_OF_MEMORY);
        r->prcs = grown;
        r->prcs[r->prc_count].at = (uint32_t)(s + i + 3 - r->table.data);
        r->prcs[r->prc_count++].length = length;
        i += 3 + length;
    }
    if (i + 5 > n || s[i] != 2)
        return refusal_set(PIECE_DAMAGED "is missing or cut short.");
    *pcdt = i;
    return 1;
}

/* The sprm that a piece's Prm0 names by its index, for those this reader
 * shows (0 for the others), from [MS-DOC]'s table of them. */
static uint16_t single_sprm(unsigned index)
{
    static const struct {
        unsigned char index;
        uint16_t sprm;
    } sprms[] = {
        {0x0C, 0x260A}, /* sprmPIlvl */      {0x18, 0x2416}, /* sprmPFInTable */ {0x19, 0x2417}, /* sprmPFTtp */
        {0x41, 0x0800}, /* sprmCFRMarkDel */ {0x4B, 0x080A}, /* sprmCFOle2 */    {0x55, 0x0835}, /* sprmCFBold */
        {0x56, 0x0836}, /* sprmCFItalic */   {0x57, 0x0837}, /* sprmCFStrike */  {0x5A, 0x083A}, /* sprmCFSmallCaps */
        {0x5C, 0x083C}, /* sprmCFVanish */   {0x5E, 0x2A3E}, /* sprmCKul */
    };
    size_t i;
    for (i = 0; i < sizeof sprms / sizeof *sprms; ++i)
        if (sprms[i].index == index)
            return sprms[i].sprm;
    return 0;
}

static int read_piece(word_reader *r, const unsigned char *cps, const unsigned char *pcd, piece *p, uint64_t *bytes)
{
    const uint32_t fc = u32(pcd + 2);
    const unsigned prm = u16(pcd + 6);
    uint64_t length;
    p->cp = u32(cps);
    p->cp_end = u32(cps + 4);
    p->compressed = (fc & 0x40000000u) != 0;
    p->at = p->compressed ? (fc & 0x3FFFFFFFu) / 2 : fc;
    if (p->cp_end < p->cp)
        return refusal_set(PIECE_DAMAGED "has a piece that ends before it begins.");
    length = (uint64_t)(p->cp_end - p->cp) * (p->compressed ? 1 : 2);
    if (!fits(r->word.size, p->at, length))
        return refusal_setf(PIECE_DAMAGED "points past the end of its text stream (byte %lu of %lu).",
                            (unsigned long)p->at, (unsigned long)r->word.size);
    *bytes += length;
    p->sprms.at = p->sprms.length = 0;
    p->sprm = (prm & 1) ? 0 : single_sprm(prm >> 1 & 0x7F);
    p->value = (unsigned char)(prm >> 8);
    if ((prm & 1) && (int)(prm >> 1) < r->prc_count)
        p->sprms = r->prcs[prm >> 1];
    return 1;
}

static int read_pieces(word_reader *r)
{
    const span clx = fib_pair(r, FIB_CLX);
    const unsigned char *s = r->table.data + clx.at;
    size_t pcdt = 0, i, n;
    uint64_t bytes = 0;
    if (!read_property_lists(r, s, clx.length, &pcdt))
        return 0;
    n = u32(s + pcdt + 1);
    if (!fits(clx.length, pcdt + 5, n) || n < 4 || (n - 4) % 12 != 0)
        return refusal_set(PIECE_DAMAGED "is missing or cut short.");
    s += pcdt + 5;
    r->piece_count = (n - 4) / 12;
    r->pieces = (piece *)malloc((r->piece_count + 1) * sizeof *r->pieces);
    if (!r->pieces)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; i < r->piece_count; ++i) {
        if (!read_piece(r, s + 4 * i, s + 4 * (r->piece_count + 1) + 8 * i, &r->pieces[i], &bytes))
            return 0;
        if (i > 0 && r->pieces[i].cp < r->pieces[i - 1].cp_end)
            return refusal_set(PIECE_DAMAGED "has pieces out of order.");
    }
    /* pieces that share their text would repeat it without end */
    if (bytes > 2 * (uint64_t)r->word.size)
        return refusal_set(PIECE_DAMAGED "names more text than its stream holds.");
    return 1;
}

/* ---- formatted disk pages ---- */

/* The runs of every FKP that a bin table (PlcBteChpx, PlcBtePapx) names. */
static int read_runs(word_reader *r, int pair, int paragraphs, run **runs, size_t *count)
{
    const span plc = fib_pair(r, pair);
    /* each page once: a table naming one page many times would repeat its runs */
    const size_t named = plc.length >= 4 ? (plc.length - 4) / 8 : 0, held = r->word.size / FKP_SIZE;
    const size_t pages = named < held ? named : held;
    const unsigned char *s = r->table.data + plc.at;
    size_t i, capacity = 0;
    for (i = 0; i < pages; ++i) {
        const uint32_t page = u32(s + 4 * (named + 1) + 4 * i) & 0x3FFFFFu;
        const unsigned char *fkp;
        unsigned j, n;
        if (!fits(r->word.size, (uint64_t)page * FKP_SIZE, FKP_SIZE))
            continue; /* a page outside the stream: its text keeps the style's properties */
        fkp = r->word.data + (size_t)page * FKP_SIZE;
        n = fkp[FKP_SIZE - 1];
        if (4 * (n + 1) + n * (paragraphs ? 13u : 1u) > FKP_SIZE - 1)
            continue;
        if (*count + n > capacity) {
            run *grown;
            capacity = 2 * capacity + n + 16;
            grown = (run *)realloc(*runs, capacity * sizeof **runs);
            if (!grown)
                return refusal_set(REFUSAL_OUT_OF_MEMORY);
            *runs = grown;
        }
        for (j = 0; j < n; ++j) {
            run *u = &(*runs)[(*count)++];
            const unsigned offset = 2u * fkp[4 * (n + 1) + j * (paragraphs ? 13u : 1u)];
            u->fc = u32(fkp + 4 * j);
            u->fc_end = u32(fkp + 4 * j + 4);
            u->sprms.at = u->sprms.length = 0;
            u->style = 0;
            if (offset == 0 || offset >= FKP_SIZE - 1)
                continue;
            if (!paragraphs) {
                u->sprms.at = (uint32_t)(fkp - r->word.data) + offset + 1;
                u->sprms.length = fkp[offset];
            } else {
                /* a length of 0 is followed by the real one; either counts words */
                const unsigned words = fkp[offset] ? fkp[offset] : (offset + 1 < FKP_SIZE ? fkp[offset + 1] : 0);
                const unsigned first = offset + (fkp[offset] ? 1u : 2u);
                const unsigned length = fkp[offset] ? 2 * words - 1 : 2 * words;
                if (length < 2 || first + length > FKP_SIZE - 1)
                    continue;
                u->style = (int)u16(fkp + first);
                u->sprms.at = (uint32_t)(fkp - r->word.data) + first + 2;
                u->sprms.length = length - 2;
            }
        }
    }
    return 1;
}

/* The run that holds byte fc of the WordDocument stream, NULL when none. */
static const run *run_at(const run *runs, size_t count, uint32_t fc)
{
    size_t low = 0, high = count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (runs[middle].fc_end <= fc)
            low = middle + 1;
        else if (runs[middle].fc > fc)
            high = middle;
        else
            return &runs[middle];
    }
    return NULL;
}

/* A piece's own properties: its property list, or its single sprm. */
static void apply_piece(const word_reader *r, props *p, size_t k)
{
    const piece *pc = &r->pieces[k];
    apply_span(p, &r->table, pc->sprms);
    if (pc->sprm)
        apply_sprm(p, pc->sprm, &pc->value);
}

/* ---- fonts ---- */

/* The font named Symbol, whose characters stand for Greek letters and
 * mathematical signs at codes of their own: its number in the font table
 * (SttbfFfn, each font's FFN behind its length, its name 39 bytes in). */
static int read_fonts(word_reader *r)
{
    static const char symbol[] = "Symbol";
    const span fonts = fib_pair(r, FIB_STTBFFFN);
    const unsigned char *s = r->table.data + fonts.at;
    const unsigned count = fonts.length >= 4 ? u16(s) : 0;
    size_t at = 4;
    unsigned i, k;
    r->symbol_font = -1;
    for (i = 0; i < count && at < fonts.length; ++i) {
        const unsigned length = s[at];
        if (!fits(fonts.length, at + 1, length))
            return 1;
        for (k = 0; k < sizeof symbol && 39 + 2 * k + 1 < length; ++k)
            if (u16(s + at + 1 + 39 + 2 * k) != (unsigned char)symbol[k])
                break;
        if (k == sizeof symbol) {
            r->symbol_font = (int)i;
            return 1;
        }
        at += 1 + length;
    }
    return 1;
}

/* A character of the Symbol font as Unicode has it, 0 where it has none. */
static uint32_t symbol_char(uint32_t code)
{
    static const uint16_t low[0x5F] = {
        0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B, 0x002C,
        0x2212, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039,
        0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, 0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6,
        0x0393, 0x0397, 0x0399, 0x03D1, 0x039A, 0x039B, 0x039C, 0x039D, 0x039F, 0x03A0, 0x0398, 0x03A1, 0x03A3,
        0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, 0x005B, 0x2234, 0x005D, 0x22A5, 0x005F, 0x203E,
        0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA, 0x03BB, 0x03BC,
        0x03BD, 0x03BF, 0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6,
        0x007B, 0x007C, 0x007D, 0x223C,
    };
    static const uint16_t high[0x5F] = {
        0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194, 0x2190,
        0x2191, 0x2192, 0x2193, 0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260,
        0x2261, 0x2248, 0x2026, 0x23D0, 0x23AF, 0x21B5, 0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205,
        0x2229, 0x222A, 0x2283, 0x2287, 0x2284, 0x2282, 0x2286, 0x2208, 0x2209, 0x2220, 0x2207, 0x00AE, 0x00A9,
        0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4, 0x21D0, 0x21D1, 0x21D2, 0x21D3, 0x25CA,
        0x2329, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3, 0x23A7, 0x23A8,
        0x23A9, 0x23AA, 0x0000, 0x232A, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5,
        0x23A6, 0x23AB, 0x23AC, 0x23AD,
    };
    code &= 0xFF; /* the font's codes, at U+F000 and up or as bytes */
    return code >= 0x20 && code < 0x7F ? low[code - 0x20] : code >= 0xA0 && code < 0xFF ? high[code - 0xA0] : 0;
}

/* A character as the reader writes it: the Symbol font's as Unicode has
 * them (the code kept where Unicode has none), others as they are. */
static uint32_t shown_char(const word_reader *r, const text_char *c, const props *p)
{
    uint32_t code = c->ch, mapped;
    int font = p->font;
    if (c->ch == 0x28 && p->symbol && (p->chars & C_SPECIAL)) {
        code = p->symbol; /* a symbol inserted from a font */
        font = p->symbol_font;
    }
    if (font < 0 || font != r->symbol_font || (code > 0xFF && (code < 0xF020 || code > 0xF0FF)))
        return code;
    mapped = symbol_char(code);
    return mapped ? mapped : code;
}

/* ---- the stylesheet ---- */

#define NO_STYLE 0x0FFF

static void read_style(word_reader *r, style *st, const unsigned char *s, size_t n, unsigned base_size)
{
    unsigned name_length, k, upx_count;
    size_t q;
    st->kind = u16(s + 2) & 0xF;
    st->base = (int)(u16(s + 2) >> 4);
    st->sti = (int)(u16(s) & 0xFFF);
    upx_count = u16(s + 4) & 0xF;
    if ((st->kind != 1 && st->kind != 2) || !fits(n, base_size, 2))
        return; /* a table's or a list's style: no text takes its properties from it */
    name_length = u16(s + base_size);
    q = base_size + 2 + 2 * (size_t)name_length + 2;
    for (k = 0; k < upx_count && k < 2 && fits(n, q, 2); ++k) {
        const unsigned length = u16(s + q);
        span *into = st->kind == 1 && k == 0 ? &st->para_sprms : &st->char_sprms;
        if (!fits(n, q + 2, length))
            return;
        into->at = (uint32_t)(s + q + 2 - r->table.data);
        into->length = length;
        if (st->kind == 1 && k == 0) { /* a paragraph's properties begin with the style's own number */
            into->at += length >= 2 ? 2 : 0;
            into->length = length >= 2 ? length - 2 : 0;
        }
        q += 2 + length + (length & 1);
    }
}

static int read_styles(word_reader *r)
{
    const span stsh = fib_pair(r, FIB_STSHF);
    const unsigned char *s = r->table.data + stsh.at;
    size_t i, at, count;
    unsigned header, base_size;
    if (stsh.length < 6)
        return 1;
    header = u16(s);
    count = u16(s + 2);
    base_size = u16(s + 4);
    if (count > NO_STYLE)
        count = NO_STYLE;
    if (base_size < 10)
        return 1;
    r->styles = (style *)calloc(count + 1, sizeof *r->styles);
    r->style_chain = (int *)malloc((count + 1) * sizeof *r->style_chain);
    if (!r->styles || !r->style_chain)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    r->style_count = count;
    for (i = 0, at = 2 + (size_t)header; i < count && fits(stsh.length, at, 2); ++i) {
        const unsigned length = u16(s + at);
        r->styles[i].base = NO_STYLE;
        if (length >= 10 && fits(stsh.length, at + 2, length))
            read_style(r, &r->styles[i], s + at + 2, length, base_size);
        at += 2 + length;
    }
    return 1;
}

static props default_props(void)
{
    props p;
    memset(&p, 0, sizeof p);
    p.picture = UINT32_MAX;
    p.char_style = -1;
    p.symbol_font = p.font = -1;
    p.para.outline = 9;
    return p;
}

/* The style's properties over its base's, each style resolved once: the
 * chain of bases is followed to one already resolved (or to a loop, which
 * is read as no base), then resolved back from there. */
static const props *style_props(word_reader *r, int istd)
{
    static const props none = {0, 0, UINT32_MAX, 0, -1, -1, -1, {0, 0, 0, 0, 0, 0, 0, 9, 0}};
    int k, n = 0;
    if (istd < 0 || (size_t)istd >= r->style_count)
        return &none;
    for (k = istd; k >= 0 && (size_t)k < r->style_count && r->styles[k].state == 0; k = r->styles[k].base) {
        r->styles[k].state = 1;
        r->style_chain[n++] = k;
    }
    while (n-- > 0) {
        style *st = &r->styles[r->style_chain[n]];
        st->resolved = st->base >= 0 && (size_t)st->base < r->style_count && r->styles[st->base].state == 2
                           ? r->styles[st->base].resolved
                           : default_props();
        st->resolved.toggle_base = st->resolved.chars;
        st->resolved.picture = UINT32_MAX;
        apply_span(&st->resolved, &r->table, st->para_sprms);
        apply_span(&st->resolved, &r->table, st->char_sprms);
        st->state = 2;
    }
    return r->styles[istd].state == 2 ? &r->styles[istd].resolved : &none;
}

/* ---- lists ---- */

static int compare_lists(const void *a, const void *b)
{
    const int32_t x = ((const list_def *)a)->id, y = ((const list_def *)b)->id;
    return x < y ? -1 : x > y;
}

/* A list's levels, nine or one for a simple list: each an LVLF, its
 * sprms and its number text. */
static size_t read_levels(list_def *list, int simple, const unsigned char *s, size_t n, size_t at)
{
    int level;
    for (level = 0; level < (simple ? 1 : LIST_LEVELS); ++level) {
        size_t next;
        if (!fits(n, at, 30))
            return n;
        list->levels[level].start = (int)(int32_t)u32(s + at);
        list->levels[level].format = s[at + 4];
        next = at + 28 + s[at + 24] + s[at + 25];
        if (!fits(n, next, 2))
            return n;
        at = next + 2 + 2 * (size_t)u16(s + next);
    }
    return at;
}

/* An LFO's levels that start again or change their format: each an
 * LFOLVL, with an LVL after it where it changes the format. */
static size_t read_override(const word_reader *r, list_override *o, unsigned count, size_t at)
{
    unsigned k;
    for (k = 0; k < LIST_LEVELS; ++k)
        o->format[k] = -1;
    for (k = 0; k < count && fits(r->table.size, at, 8); ++k) {
        const uint32_t flags = u32(r->table.data + at + 4);
        const unsigned level = flags & 0xF;
        if ((flags & 0x10) && level < LIST_LEVELS) {
            o->start[level] = (int)(int32_t)u32(r->table.data + at);
            o->restarts[level] = 1;
        }
        at += 8;
        if (flags & 0x20) {
            list_def changed;
            changed.levels[0].format = -1;
            at = read_levels(&changed, 1, r->table.data, r->table.size, at);
            if (level < LIST_LEVELS)
                o->format[level] = changed.levels[0].format;
        }
    }
    return at;
}

static int read_lists(word_reader *r)
{
    const span lst = fib_pair(r, FIB_PLFLST), lfo = fib_pair(r, FIB_PLFLFO);
    const unsigned char *s = r->table.data + lst.at, *f = r->table.data + lfo.at;
    size_t count = lst.length >= 2 && (int16_t)u16(s) > 0 ? u16(s) : 0, i, at;
    if (lst.length < 2 || !fits(lst.length, 2, 28 * count))
        count = 0;
    r->lists = (list_def *)calloc(count + 1, sizeof *r->lists);
    r->lfo_count = lfo.length >= 4 ? u32(f) : 0;
    if (!fits(lfo.length, 4, 16 * (uint64_t)r->lfo_count))
        r->lfo_count = 0;
    r->overrides = (list_override *)calloc(r->lfo_count + 1, sizeof *r->overrides);
    if (!r->lists || !r->overrides)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    r->list_count = count;
    /* the levels follow the PlfLst in the table stream, outside its length */
    for (i = 0, at = (size_t)lst.at + lst.length; i < count; ++i) {
        int level;
        r->lists[i].id = (int32_t)u32(s + 2 + 28 * i);
        for (level = 0; level < LIST_LEVELS; ++level)
            r->lists[i].levels[level].start = 1;
        at = read_levels(&r->lists[i], s[2 + 28 * i + 26] & 1, r->table.data, r->table.size, at);
    }
    qsort(r->lists, count, sizeof *r->lists, compare_lists);
    /* each LFO's overrides follow all the LFOs, each behind a CP */
    for (i = 0, at = (size_t)lfo.at + 4 + 16 * r->lfo_count; i < r->lfo_count; ++i) {
        list_def key;
        const list_def *found;
        key.id = (int32_t)u32(f + 4 + 16 * i);
        found = (const list_def *)bsearch(&key, r->lists, count, sizeof *r->lists, compare_lists);
        r->overrides[i].list = found ? (int32_t)(found - r->lists) : -1;
        at = read_override(r, &r->overrides[i], f[4 + 16 * i + 12], at + 4);
    }
    return 1;
}

/* What a paragraph's ilfo names, NULL for no list. */
static list_override *list_of(word_reader *r, int ilfo)
{
    if (ilfo <= 0 || (size_t)ilfo > r->lfo_count || r->overrides[ilfo - 1].list < 0)
        return NULL;
    return &r->overrides[ilfo - 1];
}

/* ---- notes ---- */

static int read_notes(word_reader *r, note_table *t, int ref_pair, int text_pair, const char *prefix, uint32_t story,
                      uint32_t story_length)
{
    const span refs = fib_pair(r, ref_pair), texts = fib_pair(r, text_pair);
    size_t count = refs.length >= 4 ? (refs.length - 4) / 6 : 0, i;
    const size_t text_cps = texts.length / 4;
    t->prefix = prefix;
    t->story_cp = story;
    t->story_end = story + story_length;
    if (count + 1 > text_cps)
        count = text_cps > 0 ? text_cps - 1 : 0;
    t->refs = (uint32_t *)malloc((count + 1) * sizeof *t->refs);
    t->texts = (uint32_t *)malloc((count + 1) * sizeof *t->texts);
    t->done = (unsigned char *)calloc(count + 1, 1);
    if (!t->refs || !t->texts || !t->done)
        return refusal_set(REFUSAL_OUT_OF_MEMORY);
    for (i = 0; i < count + (count > 0); ++i) {
        t->refs[i] = u32(r->table.data + refs.at + 4 * i);
        t->texts[i] = u32(r->table.data + texts.at + 4 * i);
        if (i > 0 && t->texts[i] < t->texts[i - 1])
            t->texts[i] = t->texts[i - 1]; /* out of order: the note is empty, never another's text again */
    }
    t->count = count;
    return 1;
}

/* The note referred to at cp, -1 when none or when it was written already. */
static long note_at(const note_table *t, uint32_t cp)
{
    size_t low = 0, high = t->count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (t->refs[middle] == cp)
            return t->done[middle] ? -1 : (long)middle;
        if (t->refs[middle] < cp)
            low = middle + 1;
        else
            high = middle;
    }
    return -1;
}

/* ---- the text ---- */

/* 8-bit pieces hold Windows-1252 but for five bytes that [MS-DOC] leaves
 * as their Latin-1 values (0x80, 0x8E, 0x9E among them). */
static uint32_t compressed_char(unsigned char byte)
{
    static const uint16_t high[32] = {
        0x0080, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x008E, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x009E, 0x0178,
    };
    return byte >= 0x80 && byte < 0xA0 ? high[byte - 0x80] : byte;
}

static size_t piece_at(const word_reader *r, uint32_t cp)
{
    size_t low = 0, high = r->piece_count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (r->pieces[middle].cp_end <= cp)
            low = middle + 1;
        else if (r->pieces[middle].cp > cp)
            high = middle;
        else
            return middle;
    }
    return r->piece_count;
}

static int is_paragraph_end(uint32_t ch)
{
    return ch == 0x0D || ch == 0x07 || ch == 0x0C;
}

/* The characters from *cp up to the next paragraph's mark (included) or
 * to `end`, into r->para; 0 when there are none. */
static int take_paragraph(word_reader *r, uint32_t *cp, uint32_t end)
{
    size_t k = piece_at(r, *cp);
    r->para_count = 0;
    while (*cp < end && k < r->piece_count) {
        const piece *p = &r->pieces[k];
        const uint32_t fc = p->compressed ? p->at + (*cp - p->cp) : p->at + 2 * (*cp - p->cp);
        uint32_t ch = p->compressed ? compressed_char(r->word.data[fc]) : u16(r->word.data + fc);
        text_char *c;
        if (ch >= 0xD800 && ch < 0xDC00 && *cp + 1 < p->cp_end && *cp + 1 < end) {
            const uint32_t low = u16(r->word.data + fc + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                ch = 0x10000 + ((ch - 0xD800) << 10) + (low - 0xDC00);
                ++*cp;
            }
        }
        if (ch >= 0xD800 && ch < 0xE000)
            ch = 0xFFFD; /* half a pair, which UTF-8 cannot hold */
        if (r->para_count == r->para_capacity) {
            text_char *grown = (text_char *)realloc(r->para, (2 * r->para_capacity + 64) * sizeof *r->para);
            if (!grown)
                return refusal_set(REFUSAL_OUT_OF_MEMORY);
            r->para = grown;
            r->para_capacity = 2 * r->para_capacity + 64;
        }
        c = &r->para[r->para_count++];
        c->ch = ch;
        c->cp = *cp - (ch >= 0x10000);
        c->fc = fc;
        c->piece = (uint32_t)k;
        if (++*cp >= p->cp_end)
            k = piece_at(r, *cp);
        if (is_paragraph_end(ch))
            break;
    }
    return r->para_count > 0;
}

/* The properties of the paragraph whose mark is at fc in piece k: its
 * style's, then its run's sprms, then its piece's. */
static props mark_props(word_reader *r, uint32_t fc, uint32_t k, const run **paragraph_run)
{
    const run *u = run_at(r->papx, r->papx_count, fc);
    const int istd = u ? u->style : 0;
    props p = *style_props(r, istd);
    unsigned chars;
    p.toggle_base = p.chars;
    if (u)
        apply_span(&p, &r->word, u->sprms);
    /* the piece's sprms that change characters are its characters', not the paragraph's */
    chars = p.chars;
    apply_piece(r, &p, k);
    p.chars = chars;
    p.para.style = istd;
    if (paragraph_run)
        *paragraph_run = u;
    return p;
}

static props paragraph_props(word_reader *r)
{
    const text_char *mark = &r->para[r->para_count - 1];
    return mark_props(r, mark->fc, mark->piece, NULL);
}

/* Where a paragraph stands in tables: its depth, and whether its mark
 * ends a cell or a row.  A table's own cells end with 0x07, the cells of
 * tables nested in it with paragraph marks that say so. */
typedef struct table_place {
    int depth, row_end, cell_end;
} table_place;

static table_place place_of(const props *p, uint32_t mark)
{
    table_place t;
    t.depth = !p->para.in_table ? 0 : p->para.depth < 1 ? 1 : p->para.depth > TABLE_DEPTH ? TABLE_DEPTH : p->para.depth;
    t.row_end = t.depth == 1 ? p->para.row_end && mark == 0x07 : t.depth > 1 && p->para.inner_row_end;
    t.cell_end = t.depth == 1 ? mark == 0x07 && !t.row_end : t.depth > 1 && p->para.inner_cell && !t.row_end;
    return t;
}

/* A row's definition (sprmTDefTable) and sprmTTableHeader, among the
 * sprms of its end mark. */
static void read_row_sprms(const unsigned char *s, size_t n, row_info *row)
{
    const unsigned char *end = s + n;
    while (end - s >= 2) {
        const long length = operand_length(s, end);
        const unsigned sprm = u16(s);
        if (length < 0 || length > end - s - 2)
            return;
        if (sprm == 0x3404)
            row->header = s[2] != 0;
        if (sprm == 0xD608 && length >= 3) {
            /* its length, its count of cells, their edges, then a TC80 of 20 bytes each */
            const unsigned count = s[4] < ROW_CELLS ? s[4] : ROW_CELLS;
            const long first = 3 + 2 * ((long)s[4] + 1);
            unsigned i;
            for (i = 0; i < count && first + 20 * ((long)i + 1) <= length; ++i)
                row->merged[i] = (u16(s + 2 + first + 20 * i) & 2) != 0; /* fMerged */
        }
        s += 2 + length;
    }
}

/* The definition of the row whose first cell begins at cp, read ahead at
 * its end mark; a row read ahead is not read ahead again, and the reading
 * stops where the text leaves the row's depth, so that the text is read
 * ahead once for each depth at most. */
static void read_row_ahead(word_reader *r, uint32_t cp, uint32_t end, int depth, row_info *row)
{
    size_t k = piece_at(r, cp);
    memset(row, 0, sizeof *row);
    while (cp < end && k < r->piece_count) {
        const piece *p = &r->pieces[k];
        const uint32_t fc = p->compressed ? p->at + (cp - p->cp) : p->at + 2 * (cp - p->cp);
        const uint32_t ch = p->compressed ? r->word.data[fc] : u16(r->word.data + fc);
        if (ch == 0x0D || ch == 0x07) {
            const run *u;
            const props pp = mark_props(r, fc, (uint32_t)k, &u);
            const table_place t = place_of(&pp, ch);
            if (t.depth < depth)
                return;
            if (t.depth == depth && t.row_end) {
                if (u && fits(r->word.size, u->sprms.at, u->sprms.length))
                    read_row_sprms(r->word.data + u->sprms.at, u->sprms.length, row);
                return;
            }
        }
        if (++cp >= p->cp_end)
            k = piece_at(r, cp);
    }
}

/* The properties of the last character, which the next one in the same
 * run and piece shares. */
typedef struct char_cache {
    const run *run;
    uint32_t piece;
    int valid;
    props p;
} char_cache;

/* A character's properties over its paragraph's style. */
static props char_props(word_reader *r, const props *paragraph, const text_char *c, char_cache *cache)
{
    props p = *paragraph;
    const run *last = cache->run;
    const run *u = last && last->fc <= c->fc && c->fc < last->fc_end ? last : run_at(r->chpx, r->chpx_count, c->fc);
    if (cache->valid && u == cache->run && c->piece == cache->piece)
        return cache->p;
    p.toggle_base = p.chars;
    p.picture = UINT32_MAX;
    p.symbol = 0;
    p.symbol_font = -1;
    p.char_style = -1;
    if (u) {
        props styled;
        apply_span(&p, &r->word, u->sprms);
        if (p.char_style >= 0) {
            /* a character style lies between the paragraph's and the run's own */
            const props *cs = style_props(r, p.char_style);
            styled = *paragraph;
            styled.chars = paragraph->chars | cs->chars;
            styled.toggle_base = styled.chars;
            styled.picture = UINT32_MAX;
            apply_span(&styled, &r->word, u->sprms);
            p.chars = styled.chars;
        }
    }
    apply_piece(r, &p, c->piece);
    cache->run = u;
    cache->piece = c->piece;
    cache->valid = 1;
    cache->p = p;
    return p;
}

/* ---- writing a story ---- */

static void flush_text(story *st)
{
    if (st->text.size) {
        doc_text(st->b, (const char *)st->text.data, st->text.size);
        st->text.size = 0;
    }
}

static void set_marks(story *st, unsigned wanted)
{
    size_t i;
    if (wanted == st->marks)
        return;
    flush_text(st);
    for (i = sizeof char_marks / sizeof *char_marks; i-- > 0;)
        if ((st->marks & char_marks[i].bit) && !(wanted & char_marks[i].bit))
            doc_set(st->b, char_marks[i].node, 0);
    for (i = 0; i < sizeof char_marks / sizeof *char_marks; ++i)
        if (!(st->marks & char_marks[i].bit) && (wanted & char_marks[i].bit))
            doc_set(st->b, char_marks[i].node, 1);
    st->marks = wanted;
}

/* The next word of a field's code from *i, quotes taken off; 0 at its end. */
static int field_word(const buffer *code, size_t *i, size_t *start, size_t *length)
{
    const unsigned char *s = code->data;
    const size_t n = code->size;
    while (*i < n && s[*i] == ' ')
        ++*i;
    if (*i >= n)
        return 0;
    if (s[*i] == '"') {
        const unsigned char *close = find_byte(s + *i + 1, n - *i - 1, '"');
        *start = *i + 1;
        *length = close ? (size_t)(close - s) - *start : n - *start;
        *i = *start + *length + 1;
        return 1;
    }
    *start = *i;
    while (*i < n && s[*i] != ' ')
        ++*i;
    *length = *i - *start;
    return 1;
}

/* A HYPERLINK field's target ("#name" for a place in the document, \l),
 * into `href`; 0 for any other field. */
static int hyperlink_target(const buffer *code, buffer *href)
{
    static const char keyword[] = "HYPERLINK";
    size_t i = 0, start, length, k;
    int anchor = 0, got = 0;
    if (!field_word(code, &i, &start, &length) || length != sizeof keyword - 1)
        return 0;
    for (k = 0; k < length; ++k)
        if (ascii_lower(code->data[start + k]) != ascii_lower((unsigned char)keyword[k]))
            return 0;
    href->size = 0;
    while (field_word(code, &i, &start, &length)) {
        const unsigned char *w = code->data + start;
        if (length == 2 && w[0] == '\\') {
            anchor = w[1] == 'l';
            if (w[1] == 'o' || w[1] == 't') /* a tip or a target frame: their words are not the address */
                field_word(code, &i, &start, &length);
            continue;
        }
        if (anchor)
            put_byte(href, '#');
        put_bytes(href, w, length);
        got = 1;
        anchor = 0;
    }
    return got;
}

static void field_begin(story *st)
{
    if (st->field_count < FIELD_DEPTH) {
        field *f = &st->fields[st->field_count];
        f->in_code = 1;
        f->link = 0;
        f->code.size = 0;
    }
    ++st->field_count; /* nested deeper than kept: counted, so that its end ends nothing kept */
}

static void field_separate(story *st)
{
    field *f;
    buffer href = {0};
    if (st->field_count == 0 || st->field_count > FIELD_DEPTH)
        return;
    f = &st->fields[st->field_count - 1];
    f->in_code = 0;
    if (hyperlink_target(&f->code, &href) && !href.failed) {
        flush_text(st);
        doc_link(st->b, (const char *)href.data, href.size);
        f->link = 1;
    }
    free(href.data);
}

static void field_end(story *st)
{
    if (st->field_count == 0)
        return;
    if (st->field_count <= FIELD_DEPTH && st->fields[st->field_count - 1].link) {
        flush_text(st);
        doc_link(st->b, NULL, 0);
    }
    --st->field_count;
}

static int in_link(const story *st)
{
    int i;
    for (i = 0; i < st->field_count && i < FIELD_DEPTH; ++i)
        if (st->fields[i].link)
            return 1;
    return 0;
}

/* Whether the text is a field's code, which the document does not show. */
static int in_field_code(const story *st)
{
    int i;
    for (i = 0; i < st->field_count && i < FIELD_DEPTH; ++i)
        if (st->fields[i].in_code)
            return 1;
    return 0;
}

/* ---- pictures ---- */

#define RECORD_DG_CONTAINER 0xF002
#define RECORD_FBSE 0xF007
#define RECORD_FSP 0xF00A
#define RECORD_FOPT 0xF00B
#define RECORD_TERTIARY_FOPT 0xF122
#define RECORD_BLIP_JPEG 0xF01D
#define RECORD_BLIP_PNG 0xF01E
#define RECORD_BLIP_CMYK_JPEG 0xF02A
#define PROPERTY_BLIP 0x0104
#define PROPERTY_DESCRIPTION 0x0381
#define PROPERTY_COMPLEX 0x8000u
#define FBSE_SIZE 36
#define FSPA_SIZE 26
#define PICF_SIZE 68
#define MM_SHAPE_FILE 0x66

/* A BLIP record at d[at..end): its PNG or JPEG, 0 for another kind. */
static int blip_record(const unsigned char *d, size_t at, size_t end, picture *p)
{
    const unsigned instance = at + 8 <= end ? u16(d + at) >> 4 : 0, type = at + 8 <= end ? u16(d + at + 2) : 0;
    /* one identifier, or two where the instance's low bit says so, then a tag byte */
    const size_t header = 16 * (1 + (instance & 1)) + 1;
    const uint32_t size = at + 8 <= end ? u32(d + at + 4) : 0;
    if (type != RECORD_BLIP_PNG && type != RECORD_BLIP_JPEG && type != RECORD_BLIP_CMYK_JPEG)
        return 0;
    if (size < header || !fits(end, at + 8, size))
        return 0;
    p->media = type == RECORD_BLIP_PNG ? "image/png" : "image/jpeg";
    p->data = d + at + 8 + header;
    p->length = size - header;
    return 1;
}

/* A BLIP store entry's picture: the record inside it, or the one at its
 * offset in the WordDocument stream. */
static int fbse_picture(const word_reader *r, const unsigned char *d, size_t at, size_t end, picture *p)
{
    const size_t body = at + 8;
    const uint32_t size = u32(d + at + 4);
    size_t name, delay, length;
    if (!fits(end, body, FBSE_SIZE) || size > end - body)
        return 0;
    name = d[body + 33];
    if (size > FBSE_SIZE + name)
        return blip_record(d, body + FBSE_SIZE + name, body + size, p);
    delay = u32(d + body + 28);
    length = u32(d + body + 20);
    return fits(r->word.size, delay, length) && blip_record(r->word.data, delay, delay + length, p);
}

/* What a shape's properties say of its picture: the BLIP store entry it
 * shows, and its description, the picture's alternative text. */
static void shape_properties(const unsigned char *d, size_t at, size_t end, shape *s)
{
    const unsigned count = u16(d + at) >> 4;
    const size_t body = at + 8, record_end = body + u32(d + at + 4) < end ? body + u32(d + at + 4) : end;
    size_t complex = body + 6 * (size_t)count, i;
    for (i = 0; i < count && complex <= record_end; ++i) {
        const unsigned id = u16(d + body + 6 * i);
        const uint32_t value = u32(d + body + 6 * i + 2);
        if ((id & 0x3FFF) == PROPERTY_BLIP && !(id & PROPERTY_COMPLEX))
            s->blip = value;
        if (!(id & PROPERTY_COMPLEX))
            continue;
        if (value > record_end - complex)
            return;
        if ((id & 0x3FFF) == PROPERTY_DESCRIPTION) {
            s->alt = d + complex;
            s->alt_length = value;
        }
        complex += value;
    }
}

typedef void (*record_fn)(word_reader *r, const unsigned char *d, size_t at, size_t end, void *context);

/* Calls `fn` on each drawing record of d[at..end) in order, containers
 * and what they hold; every step moves on by a record's header at least. */
static void walk_records(word_reader *r, const unsigned char *d, size_t at, size_t end, record_fn fn, void *context)
{
    while (at < end && end - at >= 8) {
        const uint32_t size = u32(d + at + 4);
        fn(r, d, at, end, context);
        if ((u16(d + at) & 0xF) == 0xF)
            at += 8;
        else if (size > end - at - 8)
            return;
        else
            at += 8 + size;
    }
}

typedef struct inline_shape {
    shape s;
    picture p;
    int found;
} inline_shape;

static void on_inline_record(word_reader *r, const unsigned char *d, size_t at, size_t end, void *context)
{
    inline_shape *in = (inline_shape *)context;
    const unsigned type = u16(d + at + 2);
    if (type == RECORD_FOPT || type == RECORD_TERTIARY_FOPT)
        shape_properties(d, at, end, &in->s);
    else if (!in->found && type == RECORD_FBSE)
        in->found = fbse_picture(r, d, at, end, &in->p);
    else if (!in->found)
        in->found = blip_record(d, at, end, &in->p);
}

static void put_shape_picture(word_reader *r, story *st, const picture *p, const shape *s)
{
    buffer alt = {0};
    if (!doc_spend(&r->picture_budget, p->length))
        return;
    if (s && s->alt)
        put_utf16_as_utf8(&alt, s->alt, s->alt_length & ~(size_t)1, 0);
    flush_text(st);
    doc_picture(st->b, NULL, 0, NULL, 0, alt.data ? (const char *)alt.data : "", alt.size, p->media, p->data,
                p->length, 0, 0);
    free(alt.data);
}

/* An inline picture: its PICF in the Data stream, then its shape's
 * records, which hold the picture whole where it is PNG or JPEG. */
static void put_picture(word_reader *r, story *st, uint32_t location)
{
    const unsigned char *d = r->data.data;
    inline_shape in;
    size_t end, at;
    if (location == UINT32_MAX || !fits(r->data.size, location, PICF_SIZE))
        return;
    memset(&in, 0, sizeof in);
    end = u32(d + location) < r->data.size - location ? location + u32(d + location) : r->data.size;
    at = location + u16(d + location + 4);
    if (u16(d + location + 6) == MM_SHAPE_FILE && at < end)
        at += 1 + d[at];
    walk_records(r, d, at, end, on_inline_record, &in);
    if (in.found)
        put_shape_picture(r, st, &in.p, &in.s);
}

/* The drawings' records: the BLIP store's entries, and each shape with
 * the entry it shows. */
static void on_drawing_record(word_reader *r, const unsigned char *d, size_t at, size_t end, void *context)
{
    const unsigned type = u16(d + at + 2);
    (void)context;
    if (type == RECORD_FBSE) {
        picture *grown = (picture *)room_for_one(r->blips, r->blip_count, &r->blip_capacity, 8, sizeof *r->blips);
        if (!grown)
            return;
        r->blips = grown;
        memset(&r->blips[r->blip_count], 0, sizeof *r->blips);
        fbse_picture(r, d, at, end, &r->blips[r->blip_count++]);
    } else if (type == RECORD_FSP && end - at >= 12) {
        shape *grown = (shape *)room_for_one(r->shapes, r->shape_count, &r->shape_capacity, 8, sizeof *r->shapes);
        if (!grown)
            return;
        r->shapes = grown;
        memset(&r->shapes[r->shape_count], 0, sizeof *r->shapes);
        r->shapes[r->shape_count++].id = u32(d + at + 8);
    } else if ((type == RECORD_FOPT || type == RECORD_TERTIARY_FOPT) && r->shape_count > 0) {
        shape_properties(d, at, end, &r->shapes[r->shape_count - 1]);
    }
}

static int compare_shapes(const void *a, const void *b)
{
    const uint32_t x = ((const shape *)a)->id, y = ((const shape *)b)->id;
    return x < y ? -1 : x > y;
}

/* The drawing group (its BLIP store) and each drawing after it, every
 * drawing behind a byte that says whose it is. */
static int read_drawings(word_reader *r)
{
    const span dgg = fib_pair(r, FIB_DGGINFO), spa = fib_pair(r, FIB_PLCSPAMOM);
    const unsigned char *d = r->table.data;
    size_t at = dgg.at, end = (size_t)dgg.at + dgg.length, first = 1;
    while (at < end && end - at >= 8) {
        const size_t next = at + 8 + u32(d + at + 4);
        if (next > end || next < at)
            break;
        if (first || u16(d + at + 2) == RECORD_DG_CONTAINER)
            walk_records(r, d, at, next, on_drawing_record, NULL);
        first = 0;
        at = next + 1;
    }
    if (r->shape_count)
        qsort(r->shapes, (size_t)r->shape_count, sizeof *r->shapes, compare_shapes);
    r->anchor_count = spa.length >= 4 ? (spa.length - 4) / (4 + FSPA_SIZE) : 0;
    r->anchors = d + spa.at;
    return 1;
}

/* A floating picture, anchored at cp: its anchor names its shape, whose
 * properties name its picture in the BLIP store. */
static void put_drawn_picture(word_reader *r, story *st, uint32_t cp)
{
    size_t low = 0, high = r->anchor_count;
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const uint32_t at = u32(r->anchors + 4 * middle);
        if (at == cp) {
            shape key;
            const shape *s;
            key.id = u32(r->anchors + 4 * (r->anchor_count + 1) + FSPA_SIZE * middle);
            s = r->shape_count ? (const shape *)bsearch(&key, r->shapes, (size_t)r->shape_count, sizeof *r->shapes,
                                                        compare_shapes)
                               : NULL;
            if (s && s->blip >= 1 && s->blip <= (uint32_t)r->blip_count && r->blips[s->blip - 1].data)
                put_shape_picture(r, st, &r->blips[s->blip - 1], s);
            return;
        }
        if (at < cp)
            low = middle + 1;
        else
            high = middle;
    }
}

/* ---- paragraphs ---- */

static void read_story(word_reader *r, doc_builder *b, uint32_t start, uint32_t end, int in_note);

/* Opens a cell of the row at `depth`, reading the row ahead when the cell
 * is its first; 0 for an empty cell merged into the one before it, which
 * shows nothing of its own. */
static int open_cell(word_reader *r, story *st, int depth, uint32_t cp, int empty)
{
    const row_info *row = &st->rows[depth];
    int index;
    if (!st->row_open[depth]) {
        read_row_ahead(r, cp, st->end, depth, &st->rows[depth]);
        st->row_open[depth] = 1;
        st->cell_index[depth] = 0;
    }
    index = st->cell_index[depth];
    if (empty && index > 0 && index < ROW_CELLS && row->merged[index])
        return 0;
    flush_text(st);
    doc_cell(st->b, row->header);
    st->cell[depth] = 1;
    return 1;
}

/* Tables open and close to the paragraph's depth; a table nested in a
 * cell makes the cell one that holds blocks. */
static void set_table_depth(word_reader *r, story *st, int depth, uint32_t cp)
{
    while (st->depth > depth) {
        flush_text(st);
        doc_end_container(st->b, NODE_TABLE);
        st->row_open[st->depth] = 0;
        st->cell[st->depth--] = 0;
        if (st->cell[st->depth])
            st->cell[st->depth] = 2;
    }
    while (st->depth < depth) {
        flush_text(st);
        if (st->depth > 0) {
            if (!st->cell[st->depth])
                open_cell(r, st, st->depth, cp, 0);
            doc_block_context(st->b, 0, DOC_IN_CELL);
            st->cell[st->depth] = 2;
        } else {
            doc_end_block(st->b, NODE_NONE);
        }
        doc_container(st->b, NODE_TABLE);
        st->cell[++st->depth] = 0;
        st->row_open[st->depth] = 0;
    }
}

static int list_style_of(int format)
{
    switch (format) {
    case 1: return LIST_UPPER_ROMAN;
    case 2: return LIST_LOWER_ROMAN;
    case 3: return LIST_UPPER_ALPHA;
    case 4: return LIST_LOWER_ALPHA;
    default: return LIST_DECIMAL;
    }
}

/* A list item's number, counted per list and level, a level's count
 * starting again under each item of the levels above it. */
static void open_item(word_reader *r, story *st, list_override *o, int level, unsigned flags)
{
    list_def *list = &r->lists[o->list];
    const list_level *lv = &list->levels[level];
    const int format = o->format[level] >= 0 ? o->format[level] : lv->format;
    const int bullet = format == 23 || format == 255;
    const int list_index = o->list;
    int k;
    if (o->restarts[level]) {
        list->counters[level] = o->start[level];
        o->restarts[level] = 0;
    } else if (!list->counted[level]) {
        list->counters[level] = lv->start;
    } else if (list->counters[level] < 0x7FFFFFFF) {
        ++list->counters[level];
    }
    list->counted[level] = 1;
    for (k = level + 1; k < LIST_LEVELS; ++k)
        list->counted[k] = 0;
    if (st->last_list >= 0 && st->last_list != list_index)
        flags |= DOC_NEW_LIST;
    st->last_list = list_index;
    doc_block_context(st->b, 0, flags);
    if (!bullet)
        doc_list_style(st->b, list_style_of(format), NULL, 0);
    doc_block(st->b, NODE_LI, level + 1, bullet ? DOC_BULLET : list->counters[level], NULL);
}

/* Opens the paragraph's block: a heading, a list item or a paragraph, in
 * the open cell where it is in a table; the kind it opened. */
static int open_block(word_reader *r, story *st, const props *p)
{
    const style *sty = (size_t)p->para.style < r->style_count ? &r->styles[p->para.style] : NULL;
    const int heading = sty && sty->sti >= 1 && sty->sti <= 9 ? sty->sti
                        : p->para.outline < 9                 ? p->para.outline + 1
                                                              : 0;
    list_override *list = heading ? NULL : list_of(r, p->para.ilfo);
    const int kind = heading ? NODE_H : list ? NODE_LI : NODE_P;
    unsigned flags = 0;
    if (st->depth > 0) {
        int *cell = &st->cell[st->depth];
        if (*cell == 1 && kind == NODE_P) {
            doc_block(st->b, NODE_P, 0, 0, NULL); /* a line of the cell's text */
            return NODE_CELL;
        }
        if (*cell == 1)
            flags = DOC_IN_CELL;
        *cell = 2;
    }
    if (!list)
        st->last_list = -1;
    if (list) {
        open_item(r, st, list, p->para.ilvl, flags);
        return NODE_LI;
    }
    doc_block_context(st->b, 0, flags);
    doc_block(st->b, kind, heading, 0, NULL);
    return kind;
}

/* The note referred to at c, opened after the paragraph: its table and index. */
static void note_reference(word_reader *r, story *st, const text_char *c)
{
    note_table *tables[2] = {&r->footnotes, &r->endnotes};
    int t;
    for (t = 0; t < 2; ++t) {
        const long i = note_at(tables[t], c->cp);
        char id[24];
        uint32_t entry[2];
        if (i < 0)
            continue;
        tables[t]->done[i] = 1;
        flush_text(st);
        snprintf(id, sizeof id, "%s%ld", tables[t]->prefix, i + 1);
        doc_footnote(st->b, id, strlen(id));
        entry[0] = (uint32_t)t;
        entry[1] = (uint32_t)i;
        put_bytes(&st->notes, entry, sizeof entry);
        return;
    }
}

static void write_notes(word_reader *r, story *st)
{
    note_table *tables[2] = {&r->footnotes, &r->endnotes};
    size_t k;
    for (k = 0; k + 2 * sizeof(uint32_t) <= st->notes.size; k += 2 * sizeof(uint32_t)) {
        uint32_t entry[2];
        note_table *t;
        char id[24];
        uint32_t from, to;
        doc_builder *nb;
        memcpy(entry, st->notes.data + k, sizeof entry);
        t = tables[entry[0]];
        snprintf(id, sizeof id, "%s%lu", t->prefix, (unsigned long)entry[1] + 1);
        from = t->story_cp + t->texts[entry[1]];
        to = t->story_cp + t->texts[entry[1] + 1];
        nb = doc_note_begin(st->b, id, strlen(id));
        read_story(r, nb, from, to < t->story_end ? to : t->story_end, 1);
        doc_note_end(nb);
    }
    st->notes.size = 0;
}

/* What a special character of the text is in the intermediate form; 0
 * when it was handled or is not shown. */
static uint32_t special_char(word_reader *r, story *st, const text_char *c, const props *p)
{
    const int special = (p->chars & C_SPECIAL) != 0;
    switch (c->ch) {
    case 0x01:
        if (special && !(p->chars & C_OLE))
            put_picture(r, st, p->picture);
        return 0;
    case 0x08:
        if (special && !st->in_note)
            put_drawn_picture(r, st, c->cp);
        return 0;
    case 0x02:
        if (special && !st->in_note)
            note_reference(r, st, c);
        st->after_note_mark = special && st->in_note; /* the space or tab after a note's own number */
        return 0;
    case 0x09:
        return '\t';
    case 0x0B:
        flush_text(st);
        doc_br(st->b);
        return 0;
    case 0x1E: /* a hyphen that does not break */
        return '-';
    default:
        return c->ch < 0x20 ? 0 : c->ch; /* optional hyphens, drawings, notes' separators */
    }
}

/* The characters of the paragraph, up to its mark.  A heading's bold and a
 * link's underline are what the block and the link show already. */
static void put_chars(word_reader *r, story *st, const props *paragraph, int kind, size_t count)
{
    char_cache cache;
    size_t i;
    memset(&cache, 0, sizeof cache);
    for (i = 0; i < count; ++i) {
        const unsigned shown_by_block =
            (kind == NODE_H ? paragraph->chars & C_BOLD : 0) | (in_link(st) ? C_UNDERLINE : 0);
        const text_char *c = &r->para[i];
        props p;
        uint32_t ch;
        p = char_props(r, paragraph, c, &cache);
        /* a field's marks are special characters: the same codes as text are controls, left out */
        if (c->ch >= 0x13 && c->ch <= 0x15 && (p.chars & C_SPECIAL)) {
            if (c->ch == 0x13)
                field_begin(st);
            else if (c->ch == 0x14)
                field_separate(st);
            else
                field_end(st);
            continue;
        }
        if (in_field_code(st)) {
            field *f = &st->fields[(st->field_count < FIELD_DEPTH ? st->field_count : FIELD_DEPTH) - 1];
            if (f->in_code && st->field_count <= FIELD_DEPTH && f->code.size < FIELD_CODE_KEPT && c->ch >= 0x20)
                put_utf8(&f->code, c->ch);
            continue;
        }
        if (p.chars & (C_HIDDEN | C_DELETED))
            continue;
        if (st->after_note_mark && (c->ch == ' ' || c->ch == '\t'))
            continue;
        st->after_note_mark = 0;
        ch = c->ch < 0x20 ? special_char(r, st, c, &p) : shown_char(r, c, &p);
        if (ch == 0)
            continue;
        set_marks(st, p.chars & ~shown_by_block);
        put_utf8(&st->text, ch);
    }
    flush_text(st);
    set_marks(st, 0);
}

/* Whether every character of the paragraph, its mark too, is hidden or
 * deleted: then the paragraph is not there, not even as an empty block or
 * a list item's number.  One holding a field's marks stays, so that the
 * field's other marks find theirs. */
static int paragraph_gone(word_reader *r, const props *paragraph)
{
    char_cache cache;
    size_t i;
    memset(&cache, 0, sizeof cache);
    for (i = 0; i < r->para_count; ++i) {
        const text_char *c = &r->para[i];
        if ((c->ch >= 0x13 && c->ch <= 0x15) || !(char_props(r, paragraph, c, &cache).chars & (C_HIDDEN | C_DELETED)))
            return 0;
    }
    return 1;
}

static void put_paragraph(word_reader *r, story *st)
{
    const props p = paragraph_props(r);
    const uint32_t mark = r->para[r->para_count - 1].ch;
    const table_place t = place_of(&p, mark);
    const int depth = t.depth, cell_end = t.cell_end;
    int kind;
    if (depth == 0 && paragraph_gone(r, &p))
        return;
    set_table_depth(r, st, depth, r->para[0].cp);
    if (t.row_end) {
        doc_end_container(st->b, NODE_ROW);
        st->cell[depth] = st->row_open[depth] = 0;
        return;
    }
    if (r->para_count == 1 && depth > 0 && st->cell[depth] == 2) {
        /* the empty paragraph that ends a cell after its blocks, a nested table's */
        doc_end_block(st->b, NODE_NONE);
        st->cell[depth] = cell_end ? 0 : 2;
        st->cell_index[depth] += cell_end;
        return;
    }
    if (depth > 0 && st->cell[depth] == 0 &&
        !open_cell(r, st, depth, r->para[0].cp, cell_end && r->para_count == 1)) {
        ++st->cell_index[depth]; /* an empty cell merged into the one before it */
        return;
    }
    kind = open_block(r, st, &p);
    put_chars(r, st, &p, kind, is_paragraph_end(mark) ? r->para_count - 1 : r->para_count);
    if (kind != NODE_CELL)
        doc_end_block(st->b, kind);
    if (cell_end) {
        doc_end_block(st->b, NODE_NONE);
        st->cell[depth] = 0;
        ++st->cell_index[depth];
    }
    if (st->notes.size)
        write_notes(r, st);
}

static void read_story(word_reader *r, doc_builder *b, uint32_t start, uint32_t end, int in_note)
{
    story st;
    uint32_t cp = start;
    int i;
    memset(&st, 0, sizeof st);
    st.b = b;
    st.in_note = in_note;
    st.last_list = -1;
    st.end = end;
    while (take_paragraph(r, &cp, end))
        put_paragraph(r, &st);
    while (st.field_count > 0)
        field_end(&st);
    set_table_depth(r, &st, 0, cp);
    doc_end_block(b, NODE_NONE);
    for (i = 0; i < FIELD_DEPTH; ++i)
        free(st.fields[i].code.data);
    free(st.text.data);
    free(st.notes.data);
}

/* ---- the document ---- */

static int read_stream(word_reader *r, const char *name, buffer *out, int needed)
{
    const long entry = cfb_find(&r->cfb, name);
    if (entry < 0 && needed && strcmp(name, "WordDocument") == 0)
        return refusal_set("It is a file of Office 97-2003 without a WordDocument stream (a workbook or a "
                           "presentation), not a Word document.");
    if (entry < 0)
        return needed ? refusal_setf("It is not a Word 97-2003 document: it has no %s stream.", name) : 1;
    return cfb_read(&r->cfb, entry, out);
}

static int read_tables(word_reader *r)
{
    const uint32_t notes_at = r->ccp_text + r->ccp_ftn + r->ccp_hdd + u32(r->word.data + 88) + r->ccp_atn;
    return read_pieces(r) && read_runs(r, FIB_PLCFBTECHPX, 0, &r->chpx, &r->chpx_count) &&
           read_runs(r, FIB_PLCFBTEPAPX, 1, &r->papx, &r->papx_count) && read_styles(r) && read_lists(r) &&
           read_fonts(r) &&
           read_notes(r, &r->footnotes, FIB_PLCFFNDREF, FIB_PLCFFNDTXT, "fn", r->ccp_text, r->ccp_ftn) &&
           read_notes(r, &r->endnotes, FIB_PLCFENDREF, FIB_PLCFENDTXT, "en", notes_at, r->ccp_edn) && read_drawings(r);
}

static int open_document(word_reader *r)
{
    if (r->raw.size >= 4 && memcmp(r->raw.data, "PK\x03\x04", 4) == 0)
        return refusal_set("It is a ZIP package, as a Word 2007 or later document (.docx) is, not a Word 97-2003 "
                           "document.");
    if (!cfb_is_compound(r->raw.data, r->raw.size))
        return refusal_first_bytes("a Word 97-2003 document", r->raw.data, r->raw.size);
    if (!cfb_open(&r->cfb, r->raw.data, r->raw.size) || !read_stream(r, "WordDocument", &r->word, 1) ||
        !read_fib(r))
        return 0;
    if (!read_stream(r, r->flags & FIB_WHICH_TABLE ? "1Table" : "0Table", &r->table, 1) ||
        !read_stream(r, "Data", &r->data, 0))
        return 0;
    return read_tables(r);
}

static void release_reader(word_reader *r)
{
    cfb_close(&r->cfb);
    free(r->word.data);
    free(r->table.data);
    free(r->data.data);
    free(r->pieces);
    free(r->prcs);
    free(r->chpx);
    free(r->papx);
    free(r->styles);
    free(r->style_chain);
    free(r->lists);
    free(r->overrides);
    free(r->footnotes.refs);
    free(r->footnotes.texts);
    free(r->footnotes.done);
    free(r->endnotes.refs);
    free(r->endnotes.texts);
    free(r->endnotes.done);
    free(r->para);
    free(r->blips);
    free(r->shapes);
    release_input(&r->raw);
    free(r);
}

int32_t read_word97(FILE *in, FILE *out)
{
    return read_word97_found(in, out, NULL);
}

int32_t read_word97_found(FILE *in, FILE *out, const char *found)
{
    word_reader *r = (word_reader *)calloc(1, sizeof *r);
    int32_t result;
    if (!r)
        return refusal_set(REFUSAL_OUT_OF_MEMORY), CONVERT_WRONG_FORMAT;
    result = load_input(in, &r->raw);
    if (result != CONVERT_OK) {
        free(r);
        return result;
    }
    if (r->raw.size >= 5 && memcmp(r->raw.data, "{\\rtf", 5) == 0) {
        /* Word saved RTF under the name .doc when asked to, and many programs still do */
        release_reader(r);
        return fseek(in, 0, SEEK_SET) == 0 ? read_rtf_found(in, out, "RTF")
                                           : (refusal_set(REFUSAL_READ_ERROR), CONVERT_WRONG_FORMAT);
    }
    if (!open_document(r)) {
        release_reader(r);
        return CONVERT_WRONG_FORMAT;
    }
    r->picture_budget = doc_expansion_budget(r->raw.size);
    doc_begin_found(&r->b, out, found);
    r->b.expansion_left = doc_expansion_budget(r->raw.size);
    read_story(r, &r->b, 0, r->ccp_text, 0);
    result = doc_finish(&r->b);
    release_reader(r);
    return result;
}
