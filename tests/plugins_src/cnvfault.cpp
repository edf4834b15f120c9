// cnvfault.dll - a test plug-in whose converters crash on a marked input.
//
// The readers copy their input, the writers copy it between "<" and ">".
// "Fault read" and "Fault write" look for
// a mark "fault:KIND" in it; when they find one they first write the part
// of the input before the mark to their output (and flush it to the disk),
// then:
//   av      write through a null pointer
//   avio    hand fwrite a bad buffer, so that the fault happens inside the
//           C runtime while it holds the output stream's lock
//   div     divide an integer by zero
//   stack   recurse until the stack overflows
//   throw   throw a C++ exception that nothing in the plug-in catches
//   ill     execute an undefined instruction
//   priv    execute a privileged instruction
// and two kinds that the plug-in handles itself and then copies as usual:
//   catch   throw and catch a C++ exception inside the plug-in
//   probe   probe unreadable memory under its own exception handler
// "Plain read" and "Plain write" never look for marks.
//
// Built with ENUM_FAULT=0 or 1, _DLL_enum writes past the host's scratch
// area when asked for that list, instead of declaring formats.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "plugins/morphex_plugin.h"
#include "tests/plugins_src/test_plugin.h"

extern "C" int fault_probe_readable(const volatile char *address);

namespace {

std::string read_all(FILE *in)
{
    std::string text;
    char block[4096];
    std::size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0)
        text.append(block, got);
    return text;
}

volatile int dividend = 7;
volatile int zero_divisor = 0;
volatile int recursion_limit = 1 << 30;

__attribute__((noinline)) int dive(volatile char *above, int depth)
{
    volatile char block[1024];
    block[0] = static_cast<char>(above[0] + 1);
    if (depth >= recursion_limit)
        return block[0];
    return dive(block, depth + 1) + block[1];
}

// Does what the mark asks; returns only for the kinds handled inside.
void act_on(const std::string &kind, FILE *out)
{
    if (kind == "av") {
        *static_cast<volatile int *>(nullptr) = 1;
    } else if (kind == "avio") {
        std::fwrite(reinterpret_cast<const void *>(std::uintptr_t{16}), 1, 64, out);
    } else if (kind == "div") {
        std::fprintf(out, "%d", dividend / zero_divisor);
    } else if (kind == "stack") {
        volatile char start[1] = {0};
        std::fprintf(out, "%d", dive(start, 0));
    } else if (kind == "throw") {
        throw std::runtime_error("cnvfault: marked input");
    } else if (kind == "ill") {
        asm volatile("ud2");
    } else if (kind == "priv") {
        asm volatile("hlt");
    } else if (kind == "catch") {
        try {
            throw std::runtime_error("caught inside");
        } catch (const std::exception &) {
        }
    } else if (kind == "probe") {
        if (fault_probe_readable(static_cast<const volatile char *>(nullptr)) ||
            IsBadReadPtr(reinterpret_cast<const void *>(std::uintptr_t{16}), 1) == 0)
            std::fputs("[probe saw null as readable]", out);
    }
}

int32_t copy(FILE *in, FILE *out, bool obey_marks, bool wrap)
{
    const std::string text = read_all(in);
    const std::size_t mark = obey_marks ? text.find("fault:") : std::string::npos;
    if (wrap)
        std::fputc('<', out);
    if (mark == std::string::npos) {
        std::fwrite(text.data(), 1, text.size(), out);
    } else {
        std::fwrite(text.data(), 1, mark, out);
        std::fflush(out);
        const std::size_t start = mark + 6;
        std::size_t end = start;
        while (end < text.size() && text[end] >= 'a' && text[end] <= 'z')
            ++end;
        act_on(text.substr(start, end - start), out);
        std::fwrite(text.data() + mark, 1, text.size() - mark, out);
    }
    if (wrap)
        std::fputc('>', out);
    return CONVERT_OK;
}

}  // namespace

extern "C" {

PLUGIN_EXPORT int32_t __cdecl fault_read(FILE *in, FILE *out)
{
    return copy(in, out, true, false);
}

PLUGIN_EXPORT int32_t __cdecl fault_write(FILE *in, FILE *out)
{
    return copy(in, out, true, true);
}

PLUGIN_EXPORT int32_t __cdecl plain_read(FILE *in, FILE *out)
{
    return copy(in, out, false, false);
}

PLUGIN_EXPORT int32_t __cdecl plain_write(FILE *in, FILE *out)
{
    return copy(in, out, false, true);
}

PLUGIN_EXPORT int32_t __cdecl _DLL_enum(format_entry *first, int32_t list, int32_t always_one)
{
    (void)always_one;
#ifdef ENUM_FAULT
    if (list == ENUM_FAULT) {
        // A list without end: runs into whatever lies past the area.
        for (int32_t i = 0;; ++i)
            put_entry(first + i, "Endless", "end", plain_write);
    }
#endif
    if (list == FORMAT_LIST_SOURCE) {
        put_entry(first, "Fault read", "", fault_read);
        put_entry(first + 1, "Plain read", "", plain_read);
        return 2;
    }
    put_entry(first, "Fault write", "flt", fault_write);
    put_entry(first + 1, "Plain write", "out", plain_write);
    return 2;
}

}  // extern "C"
