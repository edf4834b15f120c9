// Texts in the process's ANSI code page, measured and cut by character.
//
// The program's texts are 8-bit, in the ANSI code page.  Where the manifest
// could choose it (Windows 10 1903 and later, Wine 8), that code page is
// UTF-8 and a character takes one to four bytes; elsewhere it is the
// system's 8-bit code page (or a double-byte one), and these routines keep
// the byte form there.  Lengths and limits are in bytes unless a name says
// characters; no routine here ever leaves a character split.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// The longest path the system takes (MAX_PATH UTF-16 units) in bytes of the
// ANSI code page: UTF-8 writes each unit in at most three bytes.
constexpr std::size_t ansi_path_capacity = 3 * 260;

bool ansi_is_utf8();

// Bytes of the character that starts at text[at] (at < text.size()).  A byte
// that starts no well-formed character counts as one.
std::size_t ansi_char_size(std::string_view text, std::size_t at);

// The greatest length up to `limit` at which text can be cut without
// splitting a character.
std::size_t ansi_cut(std::string_view text, std::size_t limit);

// Number of characters in text.
std::size_t ansi_length(std::string_view text);

// Bytes taken by the first `count` characters of text (all of it when it
// has fewer).
std::size_t ansi_prefix(std::string_view text, std::size_t count);

// Copies as much of text as fits into dst (`size` bytes, NUL included),
// whole characters only.  Returns the bytes copied.
std::size_t copy_bounded(char *dst, std::size_t size, std::string_view text);

// snprintf into dst, the result cut at a character boundary where it does
// not fit.  False when it was cut.
bool format_bounded(char *dst, std::size_t size, const char *format, ...);
bool vformat_bounded(char *dst, std::size_t size, const char *format, va_list args);

// Lower case in the ANSI code page, in place: CharLowerBuffA in an 8-bit
// code page; in UTF-8 every letter that has a lower case (Latin, Greek,
// Cyrillic and the rest), where the lower case takes no more bytes than the
// letter, so the text never grows.
void lower_ansi(char *text);

// Whether text is well-formed UTF-8.
bool is_utf8(std::string_view text);

// A format name (or extension) as a plug-in wrote it into its field of `size`
// bytes (no NUL needed), made a text of the host's code page in place.  In a UTF-8 host a
// name that is not UTF-8 was written in the plug-in's 8-bit code page and is
// read as Windows-1252; a UTF-8 name stays byte for byte.  The result is cut
// at a character boundary to size - 1 bytes.  In an 8-bit host the name is
// kept byte for byte and cut to size - 1 bytes.
void format_name_for_host(char *name, std::size_t size);
