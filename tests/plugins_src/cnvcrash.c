/* cnvcrash.dll - a test plug-in whose target converter copies its input,
 * except that an input beginning with "crash" makes it write through a null
 * pointer: the host must survive it and go on with the next file. */
#include <stdio.h>
#include <string.h>
#include "plugins/morphex_plugin.h"

static int32_t __cdecl crash_copy(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    int first = 1;
    while ((got = fread(block, 1, sizeof block, in)) > 0) {
        if (first && got >= 5 && memcmp(block, "crash", 5) == 0) {
            volatile int *nowhere = NULL;
            *nowhere = 1;
        }
        first = 0;
        fwrite(block, 1, got, out);
    }
    return 0;
}

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    memset(first, 0, sizeof *first);
    if (list == FORMAT_LIST_SOURCE) {
        strcpy(first->name, "Crash source");
        return 1;
    }
    strcpy(first->name, "Crash copy");
    strcpy(first->ext, "out");
    first->converter = crash_copy;
    return 1;
}
