/* "Document - Any (detected)": each file read as what its bytes show it is,
 * never by its name (a converter gets none), so that one batch takes a
 * folder where documents of every kind lie together, and an RTF or a web
 * page saved as .doc reads as what it is.  The header of the intermediate
 * says what each file was taken for. */
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"

#define SNIFF_SIZE 4096
/* Where the names of a ZIP package's parts are looked for: its central
 * directory, at the end of the file. */
#define ZIP_TAIL_SIZE (64 * 1024 + 22)

typedef struct sniffed {
    unsigned char head[SNIFF_SIZE];
    size_t head_size;
    unsigned char tail[ZIP_TAIL_SIZE];
    size_t tail_size;
} sniffed;

/* What the file begins with, and for a ZIP package how it ends; the stream
 * is left at its start for the reader that takes it. */
static int sniff(FILE *in, sniffed *s)
{
    long length;
    s->head_size = fread(s->head, 1, sizeof s->head, in);
    s->tail_size = 0;
    if (s->head_size >= 4 && memcmp(s->head, "PK\x03\x04", 4) == 0 && fseek(in, 0, SEEK_END) == 0 &&
        (length = ftell(in)) > 0) {
        const long from = length > (long)sizeof s->tail ? length - (long)sizeof s->tail : 0;
        if (fseek(in, from, SEEK_SET) == 0)
            s->tail_size = fread(s->tail, 1, (size_t)(length - from), in);
    }
    if (ferror(in) || fseek(in, 0, SEEK_SET) != 0)
        return refusal_set(REFUSAL_READ_ERROR);
    return 1;
}

static int holds(const unsigned char *s, size_t n, const char *what, size_t length)
{
    size_t i;
    for (i = 0; i + length <= n; ++i)
        if (s[i] == (unsigned char)what[0] && memcmp(s + i, what, length) == 0)
            return 1;
    return 0;
}
#define HOLDS(s, n, literal) holds(s, n, literal, sizeof literal - 1)

static const char word_document[] = "a Word document (.docx)";
static const char opendocument_text[] = "an OpenDocument text (.odt)";
static const char compound_file[] = "a file of Office 97-2003 (a Word document, a workbook or a presentation)";

/* An office package or a compound file: what it is, for its reader or
 * for the reason of its refusal where the plug-in has no reader for it. */
static const char *package_kind(const sniffed *s)
{
    if (memcmp(s->head, "PK\x03\x04", 4) == 0) {
        if (HOLDS(s->head, s->head_size, "mimetypeapplication/vnd.oasis.opendocument.text"))
            return opendocument_text;
        if (HOLDS(s->tail, s->tail_size, "word/document.xml") || HOLDS(s->head, s->head_size, "word/document.xml"))
            return word_document;
        if (HOLDS(s->tail, s->tail_size, "xl/workbook.xml"))
            return "an Excel workbook (.xlsx)";
        if (HOLDS(s->tail, s->tail_size, "ppt/presentation.xml"))
            return "a PowerPoint presentation (.pptx)";
        if (HOLDS(s->head, s->head_size, "mimetypeapplication/vnd.oasis.opendocument."))
            return "an OpenDocument file other than text";
        return "a ZIP archive";
    }
    if (s->head_size >= 8 && memcmp(s->head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) == 0)
        return compound_file;
    return NULL;
}

typedef struct signature {
    const char *bytes;
    size_t length;
    const char *kind;
} signature;
#define SIGNATURE(s, kind) {s, sizeof s - 1, kind}

/* Binary files a batch meets among documents, by their first bytes. */
static const signature binary_signatures[] = {
    SIGNATURE("\x89PNG", "a PNG image"),       SIGNATURE("\xFF\xD8\xFF", "a JPEG image"),
    SIGNATURE("GIF8", "a GIF image"),          SIGNATURE("BM", "a bitmap image"),
    SIGNATURE("%PDF", "a PDF document"),       SIGNATURE("MZ", "a Windows program or library"),
    SIGNATURE("\x7F" "ELF", "a program"),      SIGNATURE("\x1F\x8B", "a compressed file (gzip)"),
    SIGNATURE("Rar!", "a RAR archive"),        SIGNATURE("7z\xBC\xAF", "a 7-Zip archive"),
    SIGNATURE("RIFF", "a sound or video file"), SIGNATURE("ID3", "a sound file (MP3)"),
    SIGNATURE("OggS", "a sound file (Ogg)"),
};

static const char *binary_kind(const sniffed *s)
{
    size_t i;
    for (i = 0; i < sizeof binary_signatures / sizeof *binary_signatures; ++i)
        if (s->head_size >= binary_signatures[i].length &&
            memcmp(s->head, binary_signatures[i].bytes, binary_signatures[i].length) == 0)
            return binary_signatures[i].kind;
    return NULL;
}

/* The first bytes after a UTF-8 byte order mark and white space. */
static size_t content_start(const sniffed *s)
{
    size_t i = s->head_size >= 3 && memcmp(s->head, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    while (i < s->head_size && is_white_space(s->head[i]))
        ++i;
    return i;
}

static int is_rtf(const sniffed *s)
{
    const size_t at = content_start(s);
    return s->head_size - at >= 5 && memcmp(s->head + at, "{\\rtf", 5) == 0;
}

/* A doctype, an html element, or markup first: a letter, "!" or "?" after
 * the "<".  A UTF-16 page with its byte order mark is one where every
 * other byte of those is a NUL. */
static int is_html(const sniffed *s)
{
    unsigned char text[16];
    size_t n = 0, i = content_start(s);
    const int utf_16 = s->head_size >= 2 && ((s->head[0] == 0xFF && s->head[1] == 0xFE) ||
                                             (s->head[0] == 0xFE && s->head[1] == 0xFF));
    if (utf_16) {
        const int big_endian = s->head[0] == 0xFE;
        for (i = 2; i + 1 < s->head_size && n < sizeof text; i += 2) {
            const uint32_t unit = utf16_unit(s->head + i, big_endian);
            if (n == 0 && unit < 0x80 && is_white_space((unsigned char)unit))
                continue;
            text[n++] = unit < 0x80 ? (unsigned char)unit : 0x80;
        }
    } else {
        for (; i < s->head_size && n < sizeof text; ++i)
            text[n++] = s->head[i];
    }
    if (n < 2 || text[0] != '<')
        return 0;
    if (n >= 5 && ascii_lower(text[1]) == 'h' && ascii_lower(text[2]) == 't' && ascii_lower(text[3]) == 'm' && ascii_lower(text[4]) == 'l')
        return 1;
    return (ascii_lower(text[1]) >= 'a' && ascii_lower(text[1]) <= 'z') || text[1] == '!' || text[1] == '?';
}

/* ---- plain text: paragraphs parted by blank lines ---- */

typedef struct decoded_text {
    buffer utf8;
    char found[48]; /* "Text (windows-1252)" */
} decoded_text;

static int decode_utf_16(const unsigned char *s, size_t n, int big_endian, buffer *out)
{
    const size_t nul_at = put_utf16_as_utf8(out, s, n, big_endian);
    return nul_at == n ? 1 : refusal_binary("text", s, n, nul_at);
}

/* The text in UTF-8, in the encoding the text plug-in's detection finds: a
 * byte order mark, else valid UTF-8, else UTF-16 by its NULs, else the
 * user's code page. */
static int decode_text(const buffer *raw, decoded_text *t)
{
    const unsigned char *s = raw->data;
    const size_t n = raw->size;
    const int order = utf_16_order_by_nuls(s, n);
    const unsigned char *nul;
    if (n >= 2 && ((s[0] == 0xFF && s[1] == 0xFE) || (s[0] == 0xFE && s[1] == 0xFF))) {
        snprintf(t->found, sizeof t->found, "Text (UTF-16)");
        return decode_utf_16(s + 2, n - 2, s[0] == 0xFE, &t->utf8);
    }
    if (order != UTF_16_NOT) {
        snprintf(t->found, sizeof t->found, "Text (UTF-16)");
        return decode_utf_16(s, n, order == UTF_16_BIG_ENDIAN, &t->utf8);
    }
    if ((nul = find_byte(s, n, 0)) != NULL)
        return refusal_binary("a document", s, n, (size_t)(nul - s));
    if (n >= 3 && memcmp(s, "\xEF\xBB\xBF", 3) == 0) {
        snprintf(t->found, sizeof t->found, "Text (UTF-8)");
        put_bytes(&t->utf8, s + 3, n - 3);
    } else if (is_valid_utf8(s, n)) {
        snprintf(t->found, sizeof t->found, "Text (UTF-8)");
        put_bytes(&t->utf8, s, n);
    } else {
        const unsigned number = user_ansi_code_page();
        const code_page_entry *page = code_page_by_number(number);
        snprintf(t->found, sizeof t->found, "Text (%s)", page ? page->label : "windows-1252");
        if (!put_code_page_text(&t->utf8, (int)number, s, n))
            put_code_page_text(&t->utf8, 1252, s, n);
    }
    return !t->utf8.failed;
}

static int is_blank_line(const unsigned char *s, size_t n)
{
    size_t i;
    for (i = 0; i < n; ++i)
        if (!is_white_space(s[i]))
            return 0;
    return 1;
}

/* Blank lines part paragraphs; a line end inside one is a line break. */
static void build_paragraphs(doc_builder *b, const unsigned char *s, size_t n)
{
    size_t pos = 0;
    int in_paragraph = 0;
    while (pos < n) {
        const unsigned char *line_end = find_byte(s + pos, n - pos, '\n');
        size_t end = line_end ? (size_t)(line_end - s) : n, next = line_end ? end + 1 : n;
        if (end > pos && s[end - 1] == '\r')
            --end;
        if (is_blank_line(s + pos, end - pos)) {
            if (in_paragraph)
                doc_end_block(b, NODE_P);
            in_paragraph = 0;
        } else {
            if (in_paragraph)
                doc_br(b);
            else
                doc_block(b, NODE_P, 0, 0, NULL);
            in_paragraph = 1;
            doc_text(b, (const char *)s + pos, end - pos);
        }
        pos = next;
    }
}

static int32_t read_plain_text(FILE *in, FILE *out)
{
    buffer raw = {0};
    decoded_text text;
    doc_builder b;
    int32_t result = load_input(in, &raw);
    memset(&text, 0, sizeof text);
    if (result != CONVERT_OK)
        return result;
    if (!decode_text(&raw, &text)) {
        release_input(&raw);
        free(text.utf8.data);
        return CONVERT_WRONG_FORMAT;
    }
    release_input(&raw);
    doc_begin_found(&b, out, text.found);
    build_paragraphs(&b, text.utf8.data, text.utf8.size);
    free(text.utf8.data);
    return doc_finish(&b);
}

int32_t read_any(FILE *in, FILE *out)
{
    sniffed *s = (sniffed *)malloc(sizeof *s);
    const char *kind;
    int32_t result;
    if (!s)
        return refusal_set(REFUSAL_OUT_OF_MEMORY), CONVERT_WRONG_FORMAT;
    if (!sniff(in, s)) {
        free(s);
        return CONVERT_READ_WRITE_FAILED;
    }
    if (s->head_size == 0) {
        free(s);
        return CONVERT_EMPTY_INPUT;
    }
    if ((kind = package_kind(s)) == word_document) {
        result = read_docx_found(in, out, "Word (DOCX)");
    } else if (kind == opendocument_text) {
        result = read_odt_found(in, out, "OpenDocument Text (ODT)");
    } else if (kind == compound_file) {
        result = read_word97_found(in, out, "Word 97-2003 (DOC)");
    } else if (kind != NULL) {
        refusal_setf("It is %s, which the document plug-in does not read yet.", kind);
        result = CONVERT_WRONG_FORMAT;
    } else if (is_rtf(s)) {
        result = read_rtf_found(in, out, "RTF");
    } else if (is_html(s)) {
        result = read_html_found(in, out, "HTML");
    } else if ((kind = binary_kind(s)) != NULL &&
               (find_byte(s->head, s->head_size, 0) || memcmp(s->head, "%PDF", 4) == 0)) {
        /* a PDF begins as text, and holds streams that are not */
        refusal_setf("It is not a document: it is %s.", kind);
        result = CONVERT_WRONG_FORMAT;
    } else {
        result = read_plain_text(in, out);
    }
    free(s);
    return result;
}
