// bench_pathological [--only TEXT] [--limit SECONDS]: inputs built to make a
// reader or writer of cnvdoc.dll slow or greedy (runs of openers with no
// closers, deep nesting, colliding labels, tables padded out, expansions),
// each converted through both stages at two sizes, n and 4n.  A conversion
// in linear time takes about 4 times as long at 4n, so the ratio of the two
// times, measured in the same run, says whether it is linear; quadratic
// code shows 16.  The peak memory of the conversion at 4n is set against
// the size of its input.
//
// Goals: a time ratio of about 4, at most 5; a peak of at most 10 times the
// input and 4 MiB.  Each conversion runs alone in a child process (this
// program, started again with --convert), so that its peak is its own and a
// conversion that does not end can be stopped: after the limit (60 s unless
// --limit says otherwise) it is killed and shown as "over 60 s".  --only
// runs the classes whose name contains TEXT.
//
// The classes are the inputs of a report of slow conversions and the
// pathological inputs of the CommonMark reference implementation's tests,
// written anew from their description.  Markdown is written to HTML, HTML
// and RTF to Markdown, unless a class says otherwise.
#include <windows.h>

#include <psapi.h>

#include "bench/common/bench_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "convert/convert_file.h"
#include "convert/engine_events.h"
#include "plugins/morphex_plugin.h"

namespace {

constexpr char markdown[] = "Document - Markdown";
constexpr char html[] = "Document - HTML";
constexpr char rtf[] = "Document - RTF";

constexpr double ratio_goal = 5.0;
constexpr double memory_goal_per_input_byte = 10.0;
constexpr double memory_goal_slack = 4.0 * 1024 * 1024;
// A conversion shorter than this runs three times and the fastest counts:
// one stall of a shared machine should not decide a ratio.
constexpr double rerun_below_seconds = 2.0;

// ---------------------------------------------------------------------------
// The inputs.  Each generator takes the size n of its class (a count of
// repeats, columns or bytes, as its comment says) and returns the document.

std::string repeat(const std::string &piece, std::size_t count)
{
    std::string text;
    text.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        text += piece;
    return text;
}

// A Markdown link target of 10,000 bytes.
std::string long_target()
{
    return "/" + std::string(9999, 'x');
}

std::string rtf_document(const std::string &body)
{
    return "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Times New Roman;}}\n" + body + "\n}\n";
}

std::string html_document(const std::string &body)
{
    return "<!DOCTYPE html>\n<html><head><title>t</title></head><body>\n" + body + "\n</body></html>\n";
}

// n repeats of "*a **a ", then "b", then n repeats of " a** a*": emphasis
// nested n deep, each level waiting for its closer.
std::string nested_strong(std::size_t n)
{
    return repeat("*a **a ", n) + "b" + repeat(" a** a*", n);
}

// "a`a``a```..." up to n bytes: backtick runs of every length, none closed,
// so that each run would be looked for a closer over the rest of the text.
std::string backtick_runs(std::size_t n)
{
    std::string text;
    for (std::size_t run = 1; text.size() < n; ++run)
        text += "a" + std::string(run, '`');
    return text;
}

// n labels of the same length and the same bytes in other orders (so the
// same byte sum, the same xor), each defined and then used: one bucket of a
// simple hash holds them all.
std::string colliding_labels(std::size_t n)
{
    std::string label = "abcdefghij";
    std::string definitions, uses;
    for (std::size_t i = 0; i < n && std::next_permutation(label.begin(), label.end()); ++i) {
        definitions += "[" + label + "]: /u\n";
        uses += "[" + label + "] ";
    }
    return definitions + "\n" + uses + "\n";
}

// n distinct labels, each defined and then used.
std::string distinct_labels(std::size_t n)
{
    std::string definitions, uses;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string label = "l" + std::to_string(i);
        definitions += "[" + label + "]: /u" + std::to_string(i) + "\n";
        uses += "[" + label + "] ";
    }
    return definitions + "\n" + uses + "\n";
}

// A link whose text is n emphases, to a 10,000-byte target: a writer that
// repeats the target around each run of its text writes it n times.
std::string markdown_link_around_emphasis(std::size_t n)
{
    return "[" + repeat("*a* ", n) + "](" + long_target() + ")\n";
}

std::string html_link_around_emphasis(std::size_t n)
{
    return html_document("<p><a href=\"http://x" + long_target() + "\">" + repeat("<em>a</em> ", n) + "</a></p>");
}

std::string rtf_link_around_emphasis(std::size_t n)
{
    return rtf_document("{\\field{\\*\\fldinst HYPERLINK \"http://x" + long_target() + "\"}{\\fldrslt " +
                        repeat("{\\i a} ", n) + "}}\\par");
}

// n lines ended by CR alone, as old Mac OS wrote text.
std::string carriage_return_lines(std::size_t n)
{
    return repeat("line text\r", n);
}

// A table header of n columns over n rows of one cell: a writer that pads
// every row to the header's width writes n * n cells.
std::string markdown_wide_header(std::size_t n)
{
    return repeat("|a", n) + "|\n" + repeat("|-", n) + "|\n" + repeat("|a|\n", n);
}

// One 10,000-byte reference target used n times: the output holds it n
// times whatever the reader does.
std::string reference_expansion(std::size_t n)
{
    return "[a]: " + long_target() + "\n\n" + repeat("[a] ", n) + "\n";
}

// A first row of n cells, then n rows of one cell.
std::string html_wide_first_row(std::size_t n)
{
    return html_document("<table>\n<tr>" + repeat("<td>a</td>", n) + "</tr>\n" + repeat("<tr><td>a</td></tr>\n", n) +
                         "</table>");
}

std::string rtf_wide_first_row(std::size_t n)
{
    std::string first = "\\trowd";
    for (std::size_t i = 1; i <= n; ++i)
        first += "\\cellx" + std::to_string(100 * i);
    first += "\n\\pard\\intbl " + repeat("a\\cell ", n) + "\\row\n";
    return rtf_document(first + repeat("\\trowd\\cellx1000\\pard\\intbl a\\cell\\row\n", n) + "\\pard a\\par");
}

// One hyperlink field with n result groups where one is expected.
std::string rtf_field_results(std::size_t n)
{
    return rtf_document("{\\field{\\*\\fldinst HYPERLINK \"http://x\"}" + repeat("{\\fldrslt a}", n) + "}\\par");
}

// Lines indented two more spaces each, every one a list item inside the one
// before: n bytes in all, about the square root of 2n levels deep.
std::string nested_lists(std::size_t n)
{
    std::string text;
    for (std::size_t depth = 0; text.size() < n; ++depth)
        text += std::string(2 * depth, ' ') + "* a\n";
    return text;
}

// n opening brackets, a letter, n closing brackets.
std::string nested_brackets(std::size_t n)
{
    return std::string(n, '[') + "a" + std::string(n, ']') + "\n";
}

// n quote marks deep: "> > > ... a" written as ">>>... a".
std::string nested_quotes(std::size_t n)
{
    return std::string(n, '>') + " a\n";
}

// A link target of n opening and n closing parentheses.
std::string nested_parentheses_in_target(std::size_t n)
{
    return "[a](" + std::string(n, '(') + std::string(n, ')') + ")\n";
}

// n repeats of a piece: most classes are one piece repeated.
template <const char *piece>
std::string repeated(std::size_t n)
{
    return repeat(piece, n);
}

// The pieces, named for the templates above.
constexpr char pi_piece[] = "a<?";
constexpr char cdata_piece[] = "a<![CDATA[";
constexpr char declaration_piece[] = "a<!A";
constexpr char comment_piece[] = "a<!--";
constexpr char link_opener_piece[] = "[a";
constexpr char list_item_piece[] = "- a\n";
constexpr char underscore_closer_piece[] = "a_ ";
constexpr char underscore_opener_piece[] = "_a ";
constexpr char star_opener_piece[] = "*a ";
constexpr char mismatched_piece[] = "*a_ ";
constexpr char multiple_of_3_piece[] = "c* ";
constexpr char link_emphasis_piece[] = "**x [a*b**c*](d) ";
constexpr char opener_emph_closer_piece[] = "[ a_";
constexpr char bracket_paren_piece[] = "[ (](";
constexpr char unclosed_angle_link_piece[] = "[a](<b";
constexpr char unclosed_link_piece[] = "[a](b";
constexpr char link_closer_piece[] = "a]";
constexpr char nul_piece[] = "abc\0de\0";

std::string multiple_of_3(std::size_t n)
{
    return "a**b" + repeat(multiple_of_3_piece, n);
}

// The NUL piece holds NULs, which a C string would end at.
std::string nul_characters(std::size_t n)
{
    return repeat(std::string(nul_piece, sizeof nul_piece - 1), n);
}

// ---------------------------------------------------------------------------
// The table of classes.

struct input_class {
    const char *name;
    const char *source;
    const char *target;
    std::size_t n;  // the generator's size for the smaller input; the larger is 4n
    std::string (*make)(std::size_t n);
};

// n is chosen so that a linear conversion of the smaller input takes 0.05
// to 0.3 s under Wine, unless the class fixes its size (the tables, the
// expansion, the megabyte of "[a" and of "- a" at n).
const input_class classes[] = {
    // From the report of slow conversions.
    {"nested strong *a **a ...b... a** a*", markdown, html, 18000, nested_strong},
    {"backtick runs a`a``a```", markdown, html, 6000000, backtick_runs},
    {"a<? repeated", markdown, html, 400000, repeated<pi_piece>},
    {"a<![CDATA[ repeated", markdown, html, 250000, repeated<cdata_piece>},
    {"a<!A repeated", markdown, html, 250000, repeated<declaration_piece>},
    {"a<!-- repeated", markdown, html, 200000, repeated<comment_piece>},
    {"labels colliding in a hash", markdown, html, 20000, colliding_labels},
    {"labels all distinct", markdown, html, 20000, distinct_labels},
    {"md link, 10 KB target, *a* inside", markdown, html, 40000, markdown_link_around_emphasis},
    {"html link, 10 KB target, <em> inside", html, markdown, 200000, html_link_around_emphasis},
    {"rtf link, 10 KB target, {\\i} inside", rtf, markdown, 100000, rtf_link_around_emphasis},
    {"CR-only line ends", markdown, html, 600000, carriage_return_lines},
    {"table header n columns, n rows", markdown, html, 800, markdown_wide_header},
    {"table header n columns, to md", markdown, markdown, 800, markdown_wide_header},
    {"10 KB reference target used n times", markdown, html, 2500, reference_expansion},
    {"html table first row n cells", html, markdown, 2000, html_wide_first_row},
    {"rtf table first row n cells", rtf, markdown, 2000, rtf_wide_first_row},
    {"rtf field with n results", rtf, markdown, 800000, rtf_field_results},
    {"[a repeated (1 MB at n)", markdown, html, 524288, repeated<link_opener_piece>},
    {"- a lines (1 MB at n)", markdown, html, 262144, repeated<list_item_piece>},
    // The CommonMark reference implementation's pathological inputs that
    // the report does not already name; its nested inlines, backticks,
    // many references, reference expansion, tables of many columns, "[a"
    // and "<?" runs are the ones above.
    {"emph closers no openers a_", markdown, html, 80000, repeated<underscore_closer_piece>},
    {"emph openers no closers _a", markdown, html, 80000, repeated<underscore_opener_piece>},
    {"emph openers no closers *a", markdown, html, 80000, repeated<star_opener_piece>},
    {"mismatched openers closers *a_", markdown, html, 60000, repeated<mismatched_piece>},
    {"openers closers multiple of 3", markdown, html, 80000, multiple_of_3},
    {"link closers with emphasis", markdown, html, 15000, repeated<link_emphasis_piece>},
    {"link openers, emph closers [ a_", markdown, html, 60000, repeated<opener_emph_closer_piece>},
    {"pattern [ (]( repeated", markdown, html, 60000, repeated<bracket_paren_piece>},
    {"nested brackets [[[a]]]", markdown, html, 1000000, nested_brackets},
    {"nested block quotes >>> a", markdown, html, 3000000, nested_quotes},
    {"deeply nested lists", markdown, html, 500000, nested_lists},
    {"U+0000 in input", markdown, html, 100000, nul_characters},
    {"unclosed links [a](<b", markdown, html, 50000, repeated<unclosed_angle_link_piece>},
    {"unclosed links [a](b", markdown, html, 50000, repeated<unclosed_link_piece>},
    {"link closers no openers a]", markdown, html, 1000000, repeated<link_closer_piece>},
    {"nested parens in link target", markdown, html, 3000000, nested_parentheses_in_target},
};

// ---------------------------------------------------------------------------
// The child: one conversion, its time and its peak memory.

const char *extension_of(const format_entry *area, int count, const char *name)
{
    for (int i = 0; i < count; ++i)
        if (std::strcmp(area[i].name, name) == 0)
            return area[i].ext;
    return "out";
}

unsigned long long file_size(const std::string &name)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return static_cast<unsigned long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

// How the child's result begins when the conversion left no output.
constexpr char failed_prefix[] = "failed: ";

// What the engine said about the one file of the child.
std::string child_output;
std::string child_failure;

void child_notice(engine_notice_kind, const char *text, DWORD)
{
    if (child_failure.empty())
        child_failure = text;
}

void child_converted(const char *, const char *output)
{
    child_output = output;
}

// --convert FILE SOURCE TARGET RESULT: converts FILE, removes the output and
// writes "seconds output-bytes peak-bytes" to the file RESULT, or a line
// that begins with "failed".  The peak is the growth of the working set's
// peak over the working set just before the conversion: what the
// conversion itself held at most, the input's mapped view included.  The
// child reports it itself: Wine reads a process's counters from its live
// Linux process, and gives zeros to a parent asking after the child ended.
// PeakWorkingSetSize is the Linux process's true peak (VmHWM) there;
// PeakPagefileUsage is only the current private memory, no peak.
int convert_child(const char *file, const char *source, const char *target, const char *result_name)
{
    FILE *result = std::fopen(result_name, "w");
    HMODULE plugin = LoadLibraryA("cnvdoc.dll");
    if (!result || !plugin || !alloc_path_buffers())
        return 3;
    auto enumerate =
        reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(plugin, PLUGIN_ENUM_EXPORT)));
    static format_entry sources[64], targets[64];
    const int source_count = enumerate(sources, FORMAT_LIST_SOURCE, 1);
    const int target_count = enumerate(targets, FORMAT_LIST_TARGET, 1);
    const convert_fn reader = find_converter(sources, source_count, source);
    const convert_fn writer = find_converter(targets, target_count, target);
    if (!reader || !writer) {
        std::fprintf(result, "%scnvdoc.dll declares no \"%s\" or \"%s\"\n", failed_prefix, source, target);
        std::fclose(result);
        return 2;
    }
    engine_events events{};
    events.notice = child_notice;
    events.file_converted = child_converted;
    set_engine_events(events);

    PROCESS_MEMORY_COUNTERS before{}, after{};
    before.cb = after.cb = sizeof before;
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    convert_file(file, extension_of(targets, target_count, target), reader, writer);
    const double seconds = seconds_since(start);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);

    if (child_output.empty()) {
        // The notice's first line says what went wrong.
        const std::string why = child_failure.substr(0, child_failure.find('\n'));
        std::fprintf(result, "%s%s\n", failed_prefix, why.empty() ? "no output" : why.c_str());
        std::fclose(result);
        return 2;
    }
    const unsigned long long output_bytes = file_size(child_output);
    DeleteFileA(child_output.c_str());
    const SIZE_T peak = after.PeakWorkingSetSize > before.WorkingSetSize
                            ? after.PeakWorkingSetSize - before.WorkingSetSize
                            : 0;
    std::fprintf(result, "%.6f %s %s\n", seconds, std::to_string(output_bytes).c_str(),
                 std::to_string(static_cast<unsigned long long>(peak)).c_str());
    std::fclose(result);
    return 0;
}

// ---------------------------------------------------------------------------
// The parent: runs each conversion in a child and prints the table.

int limit_seconds = 60;
std::string scratch;

std::string program_path()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length);
}

struct outcome {
    enum { done, failed, over_limit, not_run } state = failed;
    double seconds = 0;
    unsigned long long output_bytes = 0;
    unsigned long long peak_bytes = 0;
    std::string why;  // when failed
};

outcome convert_once(const std::string &file, const input_class &c)
{
    outcome result;
    const std::string result_name = scratch + "result.txt";
    DeleteFileA(result_name.c_str());
    const std::string exe = program_path();
    std::string command = "\"" + exe + "\" --convert \"" + file + "\" \"" + c.source + "\" \"" + c.target + "\" \"" +
                          result_name + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        result.why = "the child did not start";
        return result;
    }
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit_seconds) * 1000) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        result.state = outcome::over_limit;
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (result.state == outcome::over_limit)
        return result;

    char line[512] = "";
    if (FILE *in = std::fopen(result_name.c_str(), "r")) {
        if (!std::fgets(line, sizeof line, in))
            line[0] = '\0';
        std::fclose(in);
    }
    line[std::strcspn(line, "\r\n")] = '\0';
    double seconds = 0;
    char output[32] = "", peak[32] = "";
    if (status == 0 && std::sscanf(line, "%lf %31s %31s", &seconds, output, peak) == 3) {
        result.state = outcome::done;
        result.seconds = seconds;
        result.output_bytes = std::strtoull(output, nullptr, 10);
        result.peak_bytes = std::strtoull(peak, nullptr, 10);
    } else if (status == 2 && std::strncmp(line, failed_prefix, std::strlen(failed_prefix)) == 0) {
        // The engine's notice, without the input's folder.
        result.why = line + std::strlen(failed_prefix);
        const std::size_t folder = result.why.find(scratch);
        if (folder != std::string::npos)
            result.why.erase(folder, scratch.size());
    } else {
        char code[64];
        std::snprintf(code, sizeof code, "the child ended with code 0x%08lX", static_cast<unsigned long>(status));
        result.why = code;
    }
    return result;
}

// Writes the input and converts it, three times when that is short; the
// fastest run counts.
outcome convert(const std::string &text, const std::string &file, const input_class &c)
{
    if (FILE *out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
    outcome best = convert_once(file, c);
    for (int run = 1; run < 3 && best.state == outcome::done && best.seconds < rerun_below_seconds; ++run) {
        const outcome again = convert_once(file, c);
        if (again.state == outcome::done && again.seconds < best.seconds)
            best = again;
    }
    DeleteFileA(file.c_str());
    return best;
}

const char *short_name(const char *format)
{
    return format == markdown ? "md" : format == html ? "html" : "rtf";
}

std::string seconds_text(const outcome &o)
{
    char text[32];
    if (o.state == outcome::done)
        std::snprintf(text, sizeof text, "%.3f", o.seconds);
    else if (o.state == outcome::over_limit)
        std::snprintf(text, sizeof text, "over %d s", limit_seconds);
    else if (o.state == outcome::failed)
        std::snprintf(text, sizeof text, "failed");
    else
        std::snprintf(text, sizeof text, "-");
    return text;
}

double mib(unsigned long long bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// Runs one class at n and 4n and prints its line; true when it meets the goals.
bool run_class(const input_class &c, int index)
{
    const std::string extension = c.source == markdown ? "md" : c.source == html ? "html" : "rtf";
    const std::string base = scratch + "class" + std::to_string(index);
    const std::string small_text = c.make(c.n);
    const std::string large_text = c.make(4 * c.n);
    const outcome small = convert(small_text, base + "-n." + extension, c);
    // A conversion over the limit at n would only be longer at 4n.
    outcome large;
    large.state = outcome::not_run;
    if (small.state == outcome::done)
        large = convert(large_text, base + "-4n." + extension, c);

    const double input = static_cast<double>(large_text.size());
    std::string ratio = "-", output = "-", peak = "-", verdict;
    bool within = false;
    char text[96];
    if (small.state == outcome::done && large.state == outcome::done) {
        const double r = large.seconds / small.seconds;
        std::snprintf(text, sizeof text, "%.1f", r);
        ratio = text;
        output = std::to_string(large.output_bytes);
        const double peak_bytes = static_cast<double>(large.peak_bytes);
        std::snprintf(text, sizeof text, "%.1f MiB %.1fx", mib(large.peak_bytes), peak_bytes / input);
        peak = text;
        const bool fast = r <= ratio_goal;
        const bool small_memory = peak_bytes <= memory_goal_per_input_byte * input + memory_goal_slack;
        within = fast && small_memory;
        verdict = within ? "ok" : !fast && !small_memory ? "over: time, memory" : !fast ? "over: time" : "over: memory";
    } else if (small.state == outcome::done && large.state == outcome::over_limit) {
        // Only a bound: 4n took longer than the limit.
        std::snprintf(text, sizeof text, ">%.0f", limit_seconds / small.seconds);
        ratio = text;
        verdict = "over: time";
    } else {
        const outcome &bad = small.state != outcome::done ? small : large;  // never both run and failed
        verdict = bad.state == outcome::over_limit ? "over: time" : "failed: " + bad.why;
    }
    std::printf("%-38s %-8s %9s %9s %9s %9s %6s %11s %19s  %s\n", c.name,
                (std::string(short_name(c.source)) + ">" + short_name(c.target)).c_str(),
                std::to_string(small_text.size()).c_str(), std::to_string(large_text.size()).c_str(),
                seconds_text(small).c_str(), seconds_text(large).c_str(), ratio.c_str(), output.c_str(), peak.c_str(),
                verdict.c_str());
    std::fflush(stdout);
    return within;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && std::strcmp(argv[1], "--convert") == 0)
        return convert_child(argv[2], argv[3], argv[4], argv[5]);

    const char *only = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        else if (std::strcmp(argv[i], "--limit") == 0)
            limit_seconds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (argc % 2 == 0 || GetFileAttributesA("cnvdoc.dll") == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "usage: bench_pathological [--only TEXT] [--limit SECONDS] (run beside cnvdoc.dll)\n");
        return 1;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    scratch = std::string(temp) + "morphex-bench-pathological\\";
    CreateDirectoryA(scratch.c_str(), nullptr);

    std::printf("Each input at n and 4n through both stages of cnvdoc.dll, each conversion in a child process.\n"
                "Goals: 4n/n time ratio about 4, at most %.0f; peak memory at 4n at most %.0fx the input + %.0f MiB.\n",
                ratio_goal, memory_goal_per_input_byte, mib(static_cast<unsigned long long>(memory_goal_slack)));
    std::printf("%-38s %-8s %9s %9s %9s %9s %6s %11s %19s  %s\n", "class", "formats", "bytes n", "bytes 4n", "s n",
                "s 4n", "ratio", "out 4n", "peak 4n, xinput", "goals");
    int run = 0, within = 0;
    for (const input_class &c : classes) {
        if (only && !std::strstr(c.name, only))
            continue;
        within += run_class(c, run) ? 1 : 0;
        ++run;
    }
    std::printf("%d of %d classes within the goals (ratio at most %.0f, peak at most %.0fx input + %.0f MiB)\n", within,
                run, ratio_goal, memory_goal_per_input_byte, mib(static_cast<unsigned long long>(memory_goal_slack)));
    remove_dir(scratch.substr(0, scratch.size() - 1));
    return 0;
}
