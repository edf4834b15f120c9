// ravel.dll: file-name and text routines shared by the program's parts.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "support/ansi_text.h"
#include "support/paths.h"
#include "support/ravel.h"

namespace {

using path_buffer = std::array<char, RAVEL_PATH_SIZE>;

// extension_num tries the numbers below this one.
constexpr unsigned last_number = 1000000;

// Bytes before the extension's dot (the whole text when the last component
// has no dot).
std::size_t stem_length(std::string_view path) {
    const std::size_t start = directory_part_length(path);
    const std::size_t dot = path.rfind('.');
    return dot == std::string_view::npos || dot < start ? path.size() : dot;
}

// path := stem + middle + tail, only when it fits.
int store_path(char *path, std::string_view stem, std::string_view middle, std::string_view tail) {
    path_buffer result{};
    const int n = std::snprintf(result.data(), result.size(), "%.*s%.*s%.*s",
                                static_cast<int>(stem.size()), stem.data(),
                                static_cast<int>(middle.size()), middle.data(),
                                static_cast<int>(tail.size()), tail.data());
    if (n < 0 || static_cast<std::size_t>(n) >= result.size()) return -1;
    std::memcpy(path, result.data(), static_cast<std::size_t>(n) + 1);
    return 0;
}

std::string_view bounded(const char *path) {
    return {path, strnlen(path, RAVEL_PATH_SIZE)};
}

thread_local path_buffer recorded_input{};
thread_local path_buffer recorded_output{};

void record(path_buffer &to, const char *name) {
    copy_bounded(to.data(), to.size(), name ? name : "");
}

}  // namespace

extern "C" {

void *salloc(size_t size) {
    return std::calloc(size ? size : 1, 1);
}

int extension(char *path, const char *ext) {
    if (!path || !ext) return -1;
    const std::string_view name = bounded(path);
    const std::string_view stem = name.substr(0, stem_length(name));
    return store_path(path, stem, *ext ? "." : "", ext);
}

int extension_temp(char *path) {
    if (!path) return -1;
    const std::string_view name = bounded(path);
    const std::size_t stem = stem_length(name);
    const std::string_view current = stem < name.size() ? name.substr(stem + 1) : std::string_view{};
    const bool already = current.size() == 3 && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE,
                                                               current.data(), 3, "~mx", 3) == CSTR_EQUAL;
    return store_path(path, name.substr(0, stem), already ? ".~my" : ".~mx", "");
}

int existe(const char *path) {
    return path && *path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int extension_numbered(char *path, unsigned number) {
    if (!path || number == 0 || number >= last_number) return -1;
    const std::string_view name = bounded(path);
    const std::size_t stem_end = stem_length(name);
    std::array<char, 16> middle{};
    std::snprintf(middle.data(), middle.size(), "_%u", number);
    return store_path(path, name.substr(0, stem_end), middle.data(), name.substr(stem_end));
}

int extension_num(char *path) {
    if (!path || bounded(path).size() >= RAVEL_PATH_SIZE) return -1;
    path_buffer candidate{};
    for (unsigned number = 1; number < last_number; ++number) {
        copy_bounded(candidate.data(), candidate.size(), path);
        if (extension_numbered(candidate.data(), number) != 0) return -1;
        if (!existe(candidate.data())) {
            std::memcpy(path, candidate.data(), strlen(candidate.data()) + 1);
            return 0;
        }
    }
    return -1;
}

void enreg_noms(const char *input, const char *output) {
    record(recorded_input, input);
    record(recorded_output, output);
}

void enreg_noms_last(const char **input, const char **output) {
    if (input) *input = recorded_input.data();
    if (output) *output = recorded_output.data();
}

void suppression_crlf(char *line) {
    if (!line) return;
    std::size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == '\r' || line[n - 1] == '\n')) line[--n] = '\0';
}

void strcnv(char *dst, const char *src, const unsigned char *table) {
    if (!dst || !src || !table) return;
    // A table of bytes speaks of one-byte characters only: in UTF-8 the
    // characters of two bytes and more go through whole.
    const bool utf8 = ansi_is_utf8();
    const std::string_view text(src);
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t size = utf8 && static_cast<unsigned char>(src[i]) >= 0x80 ? ansi_char_size(text, i) : 1;
        if (size == 1) {
            dst[i] = static_cast<char>(table[static_cast<unsigned char>(src[i])]);
        } else {
            std::memmove(dst + i, src + i, size);
        }
        i += size;
    }
    dst[i] = '\0';
}

int strapp(char *text, size_t size, char c) {
    if (!text || size == 0) return -1;
    const std::size_t n = strnlen(text, size);
    if (n + 1 >= size) return -1;
    text[n] = c;
    text[n + 1] = '\0';
    return 0;
}

void minstr_ansi(char *text) {
    lower_ansi(text);
}

int support_lfn(int drive) {
    std::array<char, 4> root{'?', ':', '\\', '\0'};
    if (drive < 0) {
        std::array<char, ansi_path_capacity> current{};
        const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(current.size()), current.data());
        if (n < 2 || n >= current.size() || current[1] != ':') return 0;
        root[0] = current[0];
    } else if (drive < 26) {
        root[0] = static_cast<char>('A' + drive);
    } else {
        return 0;
    }
    DWORD max_component = 0;
    if (!GetVolumeInformationA(root.data(), nullptr, 0, nullptr, &max_component, nullptr, nullptr, 0)) return 0;
    return max_component > 12 ? 1 : 0;
}

int sec_open_ro(const char *name) {
    if (!name) return -1;
    return _open(name, _O_RDONLY | _O_BINARY);
}

}  // extern "C"
