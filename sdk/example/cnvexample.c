/* cnvexample.dll - the smallest useful Morphex plug-in.
 *
 * It declares one source format, "Example - reversed lines", whose reader
 * turns each line of a plain text around, and one target format,
 * "Example - plain text", whose writer copies the intermediate text out.
 * Build (32-bit Windows; use x86_64-w64-mingw32-gcc for 64-bit):
 *     i686-w64-mingw32-gcc -shared -O2 -I<morphex>/plugins -o cnvexample.dll cnvexample.c -static-libgcc
 * and put cnvexample.dll in the directory where Morphex starts. */
#include <stdio.h>
#include <string.h>

#include "morphex_plugin.h"

#define HEADER "\x1B[morphex-text 1 eol=lf bom=0]\n"

/* A line at a time; lines longer than the buffer are turned around in
 * pieces, which is good enough for an example. */
static int32_t __cdecl read_reversed(FILE *in, FILE *out)
{
    char line[4096];
    int any = 0;
    fputs(HEADER, out);
    while (fgets(line, sizeof line, in)) {
        size_t n = strlen(line), i;
        int ends_line = n > 0 && line[n - 1] == '\n';
        any = 1;
        if (ends_line)
            line[--n] = '\0';
        if (n > 0 && line[n - 1] == '\r')
            line[--n] = '\0';
        for (i = 0; i < n / 2; ++i) {
            char c = line[i];
            line[i] = line[n - 1 - i];
            line[n - 1 - i] = c;
        }
        fputs(line, out);
        if (ends_line)
            fputc('\n', out);
    }
    return any ? CONVERT_OK : CONVERT_EMPTY_INPUT;
}

/* Copies the text after the header; structure marks are not expected from
 * the reader above. */
static int32_t __cdecl write_plain(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    int c = fgetc(in);
    if (c == EOF)
        return CONVERT_EMPTY_INPUT;
    if (c == 0x1B) {
        while ((c = fgetc(in)) != EOF && c != '\n')
            ;
    } else {
        fputc(c, out);
    }
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        fwrite(block, 1, got, out);
    return CONVERT_OK;
}

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    memset(first, 0, sizeof *first);
    if (list == FORMAT_LIST_SOURCE) {
        strcpy(first->name, "Example - reversed lines");
        first->converter = read_reversed;
    } else {
        strcpy(first->name, "Example - plain text");
        strcpy(first->ext, "txt");
        first->converter = write_plain;
    }
    return 1;
}
