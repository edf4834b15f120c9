/* What the document plug-in's readers and writers share beyond the
 * document core, and the plug-in's list of formats. */
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "plugins/morphex_plugin.h"
#include "shipped/cnvdoc/doc.h"
#include "shipped/core/refusal.h"
#include "shipped/cnvdoc/doc_tables.h"

void copy_language(char *lang, size_t room, const unsigned char *s, size_t size)
{
    size_t length = size < room - 1 ? size : room - 1;
    while (length > 0 && length < size && (s[length] & 0xC0) == 0x80)
        --length;
    if (length)
        memcpy(lang, s, length);
    lang[length] = '\0';
}

uint32_t windows_1252_char(unsigned char byte)
{
    return eight_bit_char(&code_page_entries[CODE_PAGE_1252], byte);
}

const char *named_reference(const char *name, size_t length)
{
    char key[64]; /* longer than any name the table holds */
    const named_reference_entry *entry;
    if (length >= sizeof key)
        return NULL;
    memcpy(key, name, length);
    key[length] = '\0';
    entry = (const named_reference_entry *)find_named(
        named_references, sizeof named_references / sizeof *named_references, sizeof *named_references, key);
    return entry ? entry->text : NULL;
}

/* ---- the plug-in ---- */

typedef struct format_description {
    const char *name;
    const char *ext;
    convert_fn converter;
} format_description;

/* A conversion that met a failure on its way (memory that ran out for a
 * buffer, a write that failed) has lost something, whatever it returned:
 * it fails, with that reason, and never passes for a whole document. */
static int32_t converted(int32_t result)
{
    return result != CONVERT_WRONG_FORMAT && result != CONVERT_EMPTY_INPUT && refusal_reason()[0]
               ? CONVERT_WRONG_FORMAT
               : result;
}

#define CONVERTER(name, call)                                 \
    static int32_t __cdecl name(FILE *in, FILE *out)          \
    {                                                         \
        refusal_clear();                                      \
        return converted(call(in, out));                      \
    }
CONVERTER(convert_read_rtf, read_rtf)
CONVERTER(convert_read_html, read_html)
CONVERTER(convert_read_markdown, read_markdown)
CONVERTER(convert_read_word97, read_word97)
CONVERTER(convert_read_any, read_any)
CONVERTER(convert_read_docx, read_docx)
CONVERTER(convert_read_odt, read_odt)
CONVERTER(convert_write_rtf, write_rtf)
CONVERTER(convert_write_docx, write_docx)
CONVERTER(convert_write_html, write_html)
CONVERTER(convert_write_markdown, write_markdown)
CONVERTER(convert_write_odt, write_odt)

static const format_description sources[] = {
    {"Document - Any (detected)", "", convert_read_any},
    {"Document - HTML", "html", convert_read_html},
    {"Document - Markdown", "md", convert_read_markdown},
    {"Document - OpenDocument Text (ODT)", "odt", convert_read_odt},
    {"Document - RTF", "rtf", convert_read_rtf},
    {"Document - Word (DOCX)", "docx", convert_read_docx},
    {"Document - Word 97-2003 (DOC)", "doc", convert_read_word97},
};

static const format_description targets[] = {
    {"Document - HTML", "html", convert_write_html},
    {"Document - Markdown", "md", convert_write_markdown},
    {"Document - OpenDocument Text (ODT)", "odt", convert_write_odt},
    {"Document - RTF", "rtf", convert_write_rtf},
    {"Document - Word (DOCX)", "docx", convert_write_docx},
};

PLUGIN_EXPORT int32_t __cdecl _DLL_threads(void) { return 1; }

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    const format_description *formats = list == FORMAT_LIST_SOURCE ? sources : targets;
    const int count = list == FORMAT_LIST_SOURCE ? (int)(sizeof sources / sizeof *sources)
                                                 : (int)(sizeof targets / sizeof *targets);
    int i;
    (void)always_one;
    for (i = 0; i < count; ++i) {
        memset(&first[i], 0, sizeof first[i]);
        snprintf(first[i].name, sizeof first[i].name, "%s", formats[i].name);
        snprintf(first[i].ext, sizeof first[i].ext, "%s", formats[i].ext);
        first[i].converter = formats[i].converter;
    }
    return count;
}
