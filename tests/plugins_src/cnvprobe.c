/* cnvprobe.dll - a test plug-in whose converters change the bytes visibly,
 * return a result the test chooses, and log every call. */
#include <windows.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "plugins/morphex_plugin.h"
#include "tests/plugins_src/test_plugin.h"

static int source_result;
static int target_result;
static int call_count;

PLUGIN_EXPORT void probe_set_results(int source, int target)
{
    source_result = source;
    target_result = target;
}

PLUGIN_EXPORT int probe_call_count(void)
{
    return call_count;
}

static void stream_path(FILE *stream, char *path, DWORD size)
{
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(stream));
    char full[MAX_PATH + 8];
    DWORD length = GetFinalPathNameByHandleA(handle, full, sizeof full, 0);
    const char *shown = full;
    if (length == 0 || length >= sizeof full) {
        snprintf(path, size, "?");
        return;
    }
    if (strncmp(full, "\\\\?\\", 4) == 0)
        shown += 4;
    snprintf(path, size, "%s", shown);
}

/* One line per call, appended to the file that MORPHEX_PROBE_LOG names. */
static void log_call(const char *converter, FILE *in, FILE *out)
{
    char log_name[MAX_PATH];
    char in_path[MAX_PATH];
    char out_path[MAX_PATH];
    FILE *log;
    ++call_count;
    if (GetEnvironmentVariableA("MORPHEX_PROBE_LOG", log_name, sizeof log_name) == 0)
        return;
    stream_path(in, in_path, sizeof in_path);
    stream_path(out, out_path, sizeof out_path);
    log = fopen(log_name, "ab");
    if (!log)
        return;
    fprintf(log, "%s %s > %s\r\n", converter, in_path, out_path);
    fclose(log);
}

static void copy_bytes(FILE *in, FILE *out, int upper)
{
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0) {
        if (upper) {
            size_t i;
            for (i = 0; i < got; ++i)
                if (block[i] >= 'a' && block[i] <= 'z')
                    block[i] = (char)(block[i] - 'a' + 'A');
        }
        fwrite(block, 1, got, out);
    }
}

PLUGIN_EXPORT int32_t __cdecl probe_upper(FILE *in, FILE *out)
{
    log_call("probe_upper", in, out);
    copy_bytes(in, out, 1);
    return source_result;
}

PLUGIN_EXPORT int32_t __cdecl probe_copy(FILE *in, FILE *out)
{
    log_call("probe_copy", in, out);
    copy_bytes(in, out, 0);
    return target_result;
}

PLUGIN_EXPORT int32_t __cdecl probe_mark(FILE *in, FILE *out)
{
    log_call("probe_mark", in, out);
    fputc('<', out);
    copy_bytes(in, out, 0);
    fputc('>', out);
    return target_result;
}

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
    if (list == FORMAT_LIST_SOURCE) {
        put_entry(first, "Probe upper", "", probe_upper);
        put_entry(first + 1, "Probe raw", "", NULL);
        return 2;
    }
    put_entry(first, "Probe text", "txt", probe_copy);
    put_entry(first + 1, "Probe mark", "prb", probe_mark);
    return 2;
}
