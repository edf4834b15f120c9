// Texts in the process's ANSI code page, measured and cut by character.
#include "support/ansi_text.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned windows_1252 = 1252;
// UTF-8 needs up to three bytes for each UTF-16 unit that Windows-1252 gives.
constexpr std::size_t utf8_per_1252_byte = 3;

struct code_page_facts {
    bool utf8 = false;
    bool double_byte = false;
    std::array<bool, 256> lead{};  // double-byte code pages: bytes that begin a two-byte character
};

const code_page_facts &facts()
{
    static const code_page_facts known = [] {
        code_page_facts result;
        result.utf8 = GetACP() == CP_UTF8;
        CPINFO info{};
        if (!result.utf8 && GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2)
            for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
                for (unsigned byte = info.LeadByte[i]; byte <= info.LeadByte[i + 1] && byte < 256; ++byte)
                    result.lead[byte] = result.double_byte = true;
        return result;
    }();
    return known;
}

constexpr bool continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// Length a UTF-8 lead byte announces; 0 for a byte that cannot lead.
constexpr std::size_t utf8_sequence_length(unsigned char byte)
{
    if (byte < 0x80)
        return 1;
    if (byte >= 0xC2 && byte <= 0xDF)
        return 2;
    if (byte >= 0xE0 && byte <= 0xEF)
        return 3;
    if (byte >= 0xF0 && byte <= 0xF4)
        return 4;
    return 0;
}

std::size_t utf8_char_size(std::string_view text, std::size_t at)
{
    const std::size_t length = utf8_sequence_length(static_cast<unsigned char>(text[at]));
    if (length <= 1 || at + length > text.size())
        return 1;
    for (std::size_t i = 1; i < length; ++i)
        if (!continuation(static_cast<unsigned char>(text[at + i])))
            return 1;
    return length;
}

std::size_t utf8_decode(std::string_view text, std::size_t at, std::size_t size)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    switch (size) {
    case 2: return (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu);
    case 3: return (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    default: return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 | (byte(3) & 0x3Fu);
    }
}

std::size_t utf8_encode(std::size_t code_point, char *out)
{
    if (code_point < 0x80) {
        out[0] = static_cast<char>(code_point);
        return 1;
    }
    if (code_point < 0x800) {
        out[0] = static_cast<char>(0xC0 | code_point >> 6);
        out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 2;
    }
    if (code_point < 0x10000) {
        out[0] = static_cast<char>(0xE0 | code_point >> 12);
        out[1] = static_cast<char>(0x80 | (code_point >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | code_point >> 18);
    out[1] = static_cast<char>(0x80 | (code_point >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code_point >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 4;
}

// The lower case of one character given as a code point, by the system's
// own table (the one CharLowerBuffA applies to 8-bit text).
std::size_t lower_code_point(std::size_t code_point)
{
    if (code_point >= 0xD800 && code_point <= 0xDFFF)
        return code_point;
    if (code_point < 0x10000) {
        WCHAR unit = static_cast<WCHAR>(code_point);
        CharLowerBuffW(&unit, 1);
        return unit;
    }
    const std::size_t offset = code_point - 0x10000;
    WCHAR pair[2] = {static_cast<WCHAR>(0xD800 + (offset >> 10)), static_cast<WCHAR>(0xDC00 + (offset & 0x3FF))};
    CharLowerBuffW(pair, 2);
    if (pair[0] < 0xD800 || pair[0] > 0xDBFF || pair[1] < 0xDC00 || pair[1] > 0xDFFF)
        return code_point;
    return 0x10000 + ((static_cast<std::size_t>(pair[0]) - 0xD800) << 10) + (pair[1] - 0xDC00u);
}

void lower_utf8(char *text)
{
    const std::string_view original(text);
    std::size_t write = 0;
    for (std::size_t read = 0; read < original.size();) {
        const unsigned char byte = static_cast<unsigned char>(original[read]);
        if (byte < 0x80) {
            text[write++] = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
            ++read;
            continue;
        }
        const std::size_t size = utf8_char_size(original, read);
        char lowered[4];
        std::size_t lowered_size = 0;
        if (size > 1)
            lowered_size = utf8_encode(lower_code_point(utf8_decode(original, read, size)), lowered);
        // A lower case that takes more bytes would not fit where the letter stood.
        if (lowered_size == 0 || lowered_size > size)
            std::memmove(text + write, original.data() + read, size);
        else
            std::memcpy(text + write, lowered, lowered_size);
        write += lowered_size == 0 || lowered_size > size ? size : lowered_size;
        read += size;
    }
    text[write] = '\0';
}

// A name that fills its field may end in a character the plug-in cut short;
// the rest decides whether it is UTF-8.  A name of plain ASCII and one
// stray byte reads better as Windows-1252 ("Caf\xe9").
std::string_view without_cut_last_character(std::string_view field, std::size_t size)
{
    if (field.size() + 1 < size)
        return field;
    for (std::size_t back = 1; back <= 3 && back <= field.size(); ++back) {
        const auto byte = static_cast<unsigned char>(field[field.size() - back]);
        if (continuation(byte))
            continue;
        if (utf8_sequence_length(byte) <= back)
            return field;
        const std::string_view rest = field.substr(0, field.size() - back);
        for (char c : rest)
            if (static_cast<unsigned char>(c) >= 0x80)
                return rest;
        return field;
    }
    return field;
}

}  // namespace

bool ansi_is_utf8()
{
    return facts().utf8;
}

std::size_t ansi_char_size(std::string_view text, std::size_t at)
{
    const code_page_facts &cp = facts();
    if (cp.utf8)
        return utf8_char_size(text, at);
    if (cp.lead[static_cast<unsigned char>(text[at])] && at + 1 < text.size() && text[at + 1] != '\0')
        return 2;
    return 1;
}

std::size_t ansi_cut(std::string_view text, std::size_t limit)
{
    if (limit >= text.size())
        return text.size();
    const code_page_facts &cp = facts();
    if (cp.utf8) {
        // The character that holds byte `limit` begins at most three bytes before it.
        std::size_t start = limit;
        while (start > 0 && limit - start < 3 && continuation(static_cast<unsigned char>(text[start])))
            --start;
        return start < limit && start + utf8_char_size(text, start) > limit ? start : limit;
    }
    if (!cp.double_byte)
        return limit;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t size = ansi_char_size(text, at);
        if (at + size > limit)
            return at;
        at += size;
    }
    return limit;
}

std::size_t ansi_length(std::string_view text)
{
    const code_page_facts &cp = facts();
    if (!cp.utf8 && !cp.double_byte)
        return text.size();
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += ansi_char_size(text, at))
        ++count;
    return count;
}

std::size_t ansi_prefix(std::string_view text, std::size_t count)
{
    std::size_t at = 0;
    for (; at < text.size() && count > 0; --count)
        at += ansi_char_size(text, at);
    return at;
}

std::size_t copy_bounded(char *dst, std::size_t size, std::string_view text)
{
    if (!dst || size == 0)
        return 0;
    const std::size_t length = ansi_cut(text, size - 1);
    std::memmove(dst, text.data(), length);
    dst[length] = '\0';
    return length;
}

bool vformat_bounded(char *dst, std::size_t size, const char *format, va_list args)
{
    if (!dst || size == 0)
        return false;
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0) {
        dst[0] = '\0';
        return false;
    }
    std::string whole(static_cast<std::size_t>(needed) + 1, '\0');
    std::vsnprintf(&whole[0], whole.size(), format, args);
    whole.resize(static_cast<std::size_t>(needed));
    return copy_bounded(dst, size, whole) == whole.size();
}

bool format_bounded(char *dst, std::size_t size, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const bool whole = vformat_bounded(dst, size, format, args);
    va_end(args);
    return whole;
}

void lower_ansi(char *text)
{
    if (!text)
        return;
    if (ansi_is_utf8())
        lower_utf8(text);
    else
        CharLowerBuffA(text, static_cast<DWORD>(std::strlen(text)));
}

bool is_utf8(std::string_view text)
{
    if (text.empty())
        return true;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr,
                               0) > 0;
}

void format_name_for_host(char *name, std::size_t size)
{
    if (!name || size == 0)
        return;
    const std::string_view field(name, strnlen(name, size));
    const std::string_view whole = without_cut_last_character(field, size);
    if (!ansi_is_utf8() || is_utf8(whole)) {
        const std::size_t length = ansi_is_utf8() ? ansi_cut(whole, size - 1) : std::min(field.size(), size - 1);
        name[length] = '\0';
        return;
    }
    std::wstring wide(field.size(), L'\0');
    const int units = MultiByteToWideChar(windows_1252, 0, field.data(), static_cast<int>(field.size()), &wide[0],
                                          static_cast<int>(wide.size()));
    std::string utf8(field.size() * utf8_per_1252_byte, '\0');
    const int bytes = units > 0 ? WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, &utf8[0],
                                                      static_cast<int>(utf8.size()), nullptr, nullptr)
                                : 0;
    utf8.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    copy_bounded(name, size, utf8);
}
