/* cnvlatin.dll - a test plug-in whose format names are written as an old
 * plug-in writes them, in Windows-1252, beside one name in UTF-8 and one that
 * fills its field to the last byte. */
#include <stdio.h>
#include <string.h>
#include "plugins/morphex_plugin.h"

static int32_t __cdecl latin_copy(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        fwrite(block, 1, got, out);
    return 0;
}

static int32_t __cdecl latin_bracket(FILE *in, FILE *out)
{
    fputc('[', out);
    latin_copy(in, out);
    fputc(']', out);
    return 0;
}

static void put_entry(format_entry *entry, const char *name, const char *ext, convert_fn converter)
{
    memset(entry, 0, sizeof *entry);
    memcpy(entry->name, name, strlen(name) < sizeof entry->name ? strlen(name) : sizeof entry->name);
    strncpy(entry->ext, ext, sizeof entry->ext - 1);
    entry->converter = converter;
}

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    char full[FORMAT_NAME_SIZE];
    (void)always_one;
    if (list == FORMAT_LIST_SOURCE) {
        put_entry(first, "Caf\xe9 cr\xe8me", "", latin_copy);             /* Windows-1252 */
        put_entry(first + 1, "Na\xc3\xafve UTF-8", "", latin_copy);       /* UTF-8 */
        memset(full, '\xe9', sizeof full);                                  /* 64 bytes, no NUL */
        put_entry(first + 2, "", "", latin_copy);
        memcpy(first[2].name, full, sizeof full);
        return 3;
    }
    put_entry(first, "Cr\xe8me br\xfbl\xe9\x65 \x80", "l\xe0t", latin_bracket);
    return 1;
}
