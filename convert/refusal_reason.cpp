// Why a converter refused its input, in its plug-in's words.
//
// The plug-in's text is foreign memory: it is read under the same guard as
// a converter, no further than the bytes shown, so that a reason function
// that crashes, or a text that runs into unreadable memory without its NUL,
// costs the reason and never the batch.  What is shown is the host's own
// copy, made one line so that it sits below the notice as one.
#include "convert/refusal_reason.h"

#include <windows.h>

#include <cstdint>

#include "plugins/registry.h"
#include "support/ansi_text.h"
#include "support/guard.h"

namespace {

constexpr char space = ' ';
constexpr unsigned char delete_character = 0x7F;
// UTF-8 writes the C1 controls (U+0080 to U+009F) as 0xC2 and one of these.
constexpr unsigned char c1_lead = 0xC2;
constexpr unsigned char c1_last = 0x9F;
constexpr std::size_t utf8_longest = 4;

// Runs guarded: the only code of the host that touches the plug-in's text.
std::int32_t __cdecl copy_reason(dll_reason_fn reason, char *copy, std::int32_t size)
{
    const char *text = reason();
    std::int32_t length = 0;
    if (text)
        for (; length < size && text[length] != '\0'; ++length)
            copy[length] = text[length];
    return length;
}

bool continuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The length of UTF-8 `text` without a last character that the byte limit
// cut short.
std::size_t whole_characters(const char *text, std::size_t length)
{
    std::size_t start = length;
    while (start > 0 && length - start < utf8_longest - 1 && continuation(text[start - 1]))
        --start;
    if (start == 0)
        return length;
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return needed > length - (start - 1) ? start - 1 : length;
}

// Bytes of the control character at text[at], 0 for none: C0 and DEL take
// one, CR LF two (one space, as mxconv makes a notice one line), and a C1
// control two.
std::size_t control_size(const char *text, std::size_t at, std::size_t length)
{
    const auto byte = static_cast<unsigned char>(text[at]);
    const auto next = at + 1 < length ? static_cast<unsigned char>(text[at + 1]) : 0u;
    if (byte == '\r' && next == '\n')
        return 2;
    if (byte < static_cast<unsigned char>(space) || byte == delete_character)
        return 1;
    return byte == c1_lead && next >= 0x80 && next <= c1_last ? 2 : 0;
}

// Each control character becomes a space, and the spaces at the end go.
// Returns the new length.
std::size_t one_line(char *text, std::size_t length)
{
    std::size_t kept = 0;
    for (std::size_t at = 0; at < length;) {
        const std::size_t control = control_size(text, at, length);
        text[kept++] = control > 0 ? space : text[at];
        at += control > 0 ? control : 1;
    }
    while (kept > 0 && text[kept - 1] == space)
        --kept;
    return kept;
}

// In a host whose code page is not UTF-8 the reason is written in that code
// page, as the notices are; a character it lacks becomes its substitute.
// No character takes more bytes there than in UTF-8, so it still fits.
std::size_t into_host_code_page(char *text, std::size_t length)
{
    if (length == 0 || ansi_is_utf8())
        return length;
    wchar_t wide[reason_shown_bytes];
    const int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide, reason_shown_bytes);
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, text, static_cast<int>(reason_shown_bytes),
                                          nullptr, nullptr);
    return units > 0 && bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

}  // namespace

refusal_reason refusal_reason_of(convert_fn converter, int list)
{
    refusal_reason reason{};
    const dll_reason_fn ask = refusal_reason_for(converter, list);
    if (!ask)
        return reason;
    const guard_result call =
        guarded_call(copy_reason, ask, reason.text, static_cast<std::int32_t>(reason_shown_bytes));
    if (call.faulted || call.value <= 0)
        return refusal_reason{};
    std::size_t length = whole_characters(reason.text, static_cast<std::size_t>(call.value));
    length = one_line(reason.text, length);
    length = into_host_code_page(reason.text, length);
    reason.text[length] = '\0';
    return reason;
}
