/* cnvlost.dll - a test plug-in that loses characters the way an 8-bit
 * target encoding does: its target converter writes every byte above 0x7F
 * as '?' and counts it, and _DLL_lost reports that count; a text that holds
 * "crash the count" makes _DLL_lost crash instead.  Built a second time as
 * cnvnolost.dll without the export (NO_LOST_EXPORT). */
#include <stdio.h>
#include <string.h>
#include "plugins/morphex_plugin.h"
#include "tests/plugins_src/test_plugin.h"

/* The source converter leaves a count no target call would: a host that
 * asked after the wrong stage would report it. */
#define SOURCE_STAGE_MARK 1000

static int32_t last_lost;
static int crash_the_count;

static int32_t __cdecl lost_source(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    size_t total = 0;
    while ((got = fread(block, 1, sizeof block, in)) > 0) {
        fwrite(block, 1, got, out);
        total += got;
    }
    last_lost = SOURCE_STAGE_MARK;
    return total == 0 ? CONVERT_EMPTY_INPUT : CONVERT_OK;
}

static int32_t __cdecl lost_ascii(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    int32_t lost = 0;
    crash_the_count = 0;
    while ((got = fread(block, 1, sizeof block, in)) > 0) {
        size_t i;
        crash_the_count |= got >= 15 && memcmp(block, "crash the count", 15) == 0;
        for (i = 0; i < got; ++i)
            if ((unsigned char)block[i] > 0x7F) {
                block[i] = '?';
                ++lost;
            }
        fwrite(block, 1, got, out);
    }
    last_lost = lost;
    return 0;
}

#ifndef NO_LOST_EXPORT
PLUGIN_EXPORT int32_t __cdecl _DLL_lost(void)
{
    if (crash_the_count)
        return *(volatile int32_t *)NULL;
    return last_lost;
}
#endif

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    if (list == FORMAT_LIST_SOURCE)
        put_entry(first, "Lost bytes", "", lost_source);
    else
        put_entry(first, "Lost ASCII", "asc", lost_ascii);
    return 1;
}
