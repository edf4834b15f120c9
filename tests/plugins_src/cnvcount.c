/* cnvcount.dll - a test plug-in that counts the threads inside it.
 *
 * "Count write" copies its input and appends " callers N": the most callers
 * that were inside the plug-in at once while it ran.  Each call waits a
 * little for a second caller to come in, so that a host that lets two in
 * is seen doing so.  Built without _DLL_threads, a host must never let a
 * second in; built again as cnvcountmt.dll (THREADS_EXPORT), with the
 * export, two calls meet. */
#include <windows.h>

#include <stdio.h>

#include "plugins/morphex_plugin.h"
#include "tests/plugins_src/test_plugin.h"

/* How long a call waits for company, in steps of a few milliseconds: long
 * enough for a second thread to come in, short for a batch that none may. */
#define COMPANY_STEPS 40
#define COMPANY_STEP_MS 5

static volatile LONG inside;

static int32_t __cdecl count_read(FILE *in, FILE *out)
{
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0)
        fwrite(block, 1, got, out);
    return CONVERT_OK;
}

static int32_t __cdecl count_write(FILE *in, FILE *out)
{
    LONG most = InterlockedIncrement(&inside);
    for (int step = 0; step < COMPANY_STEPS && most < 2; ++step) {
        Sleep(COMPANY_STEP_MS);
        const LONG now = InterlockedCompareExchange(&inside, 0, 0);
        if (now > most)
            most = now;
    }
    count_read(in, out);
    fprintf(out, " callers %ld", (long)most);
    InterlockedDecrement(&inside);
    return CONVERT_OK;
}

#ifdef THREADS_EXPORT
PLUGIN_EXPORT int32_t __cdecl _DLL_threads(void)
{
    return 1;
}
#endif

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    if (list == FORMAT_LIST_SOURCE) {
        put_entry(first, "Count read", "", count_read);
        return 1;
    }
    put_entry(first, "Count write", "cnt", count_write);
    return 1;
}
