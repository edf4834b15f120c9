#include "convert/intermediate_header.h"

#include <cstring>
#include <string_view>

namespace {

// A header is one line; a longer one is no header of the shipped plug-ins'.
constexpr std::size_t header_limit = 4096;

int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A value with its %XX escapes undone, cut at the buffer's end without
// splitting a UTF-8 character.
void decode_value(std::string_view value, char *out, std::size_t room)
{
    std::size_t used = 0;
    for (std::size_t i = 0; i < value.size() && used + 1 < room; ++i) {
        if (value[i] == '%' && i + 2 < value.size() && hex_value(value[i + 1]) >= 0 && hex_value(value[i + 2]) >= 0) {
            out[used++] = static_cast<char>(hex_value(value[i + 1]) * 16 + hex_value(value[i + 2]));
            i += 2;
        } else {
            out[used++] = value[i];
        }
    }
    if (used + 1 >= room)
        while (used > 0 && (static_cast<unsigned char>(out[used]) & 0xC0) == 0x80)
            --used;
    out[used] = '\0';
}

}  // namespace

found_format found_format_of(std::FILE *intermediate)
{
    static constexpr std::string_view opening = "\x1B[morphex-text ", key = " found=";
    found_format found{};
    char line[header_limit];
    std::rewind(intermediate);
    const std::size_t got = std::fread(line, 1, sizeof line, intermediate);
    std::rewind(intermediate);
    const std::string_view head(line, got);
    const std::size_t end = head.find(']');
    if (head.substr(0, opening.size()) != opening || end == std::string_view::npos)
        return found;
    const std::string_view fields = head.substr(0, end);
    const std::size_t at = fields.find(key);
    if (at == std::string_view::npos)
        return found;
    std::string_view value = fields.substr(at + key.size());
    value = value.substr(0, value.find(' '));
    decode_value(value, found.name, sizeof found.name);
    return found;
}
