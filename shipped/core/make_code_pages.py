#!/usr/bin/env python3
"""Writes code_page_tables.h: every code page the shipped plug-ins know, as
tables to Unicode, with the name each has in the intermediate form's header
and its Windows number; and the fold table that maps accented Latin letters
to their letter without accent.  Source: Python's own codecs and
unicodedata, and for the Mac's Arabic and Hebrew pages, which Python lacks
(its mac_arabic is another page), the tables Wine gives Windows programs
(/usr/share/wine/nls/c_NUMBER.nls).

    python3 shipped/core/make_code_pages.py > shipped/core/code_page_tables.h

The index of each page (CODE_PAGE_...) is always declared; the tables
themselves only where CODE_PAGE_TABLES_DEFINE is, in code_pages.c.

Eight-bit pages: one table of 256 code points.  A byte that the page leaves
undefined stands for the C1 control or Latin-1 letter of the same value, as
Windows maps them, or, where the page already has that letter elsewhere, for
the private-use code point U+F700 + byte; either way it comes back unchanged.

Double-byte pages: a table of the single bytes (DBCS_LEAD for a lead byte,
DBCS_NONE for a byte the page does not define), the row of each lead byte,
the pairs of each row for trail bytes 0x40 to 0xFF (0 where undefined), and
the few encodings that differ from the first pair in byte order that decodes
to a code point (duplicates and one-way mappings of the code page's encoder).
"""
import codecs
import struct
import unicodedata

# (Python codec, Windows code page number, name in the intermediate header)
UNICODE = [('utf_8', 65001, 'utf-8'), ('utf_16_le', 1200, 'utf-16le'), ('utf_16_be', 1201, 'utf-16be')]
EIGHT_BIT = [('cp1250', 1250, 'windows-1250'), ('cp1251', 1251, 'windows-1251'), ('cp1252', 1252, 'windows-1252'),
             ('cp1253', 1253, 'windows-1253'), ('cp1254', 1254, 'windows-1254'), ('cp1255', 1255, 'windows-1255'),
             ('cp1256', 1256, 'windows-1256'), ('cp1257', 1257, 'windows-1257'), ('cp1258', 1258, 'windows-1258'),
             ('cp874', 874, 'windows-874'), ('cp437', 437, 'ibm437'), ('cp737', 737, 'ibm737'),
             ('cp850', 850, 'ibm850'), ('cp852', 852, 'ibm852'), ('cp857', 857, 'ibm857'), ('cp866', 866, 'ibm866'),
             ('latin_1', 28591, 'iso-8859-1'), ('iso8859_2', 28592, 'iso-8859-2'), ('iso8859_5', 28595, 'iso-8859-5'),
             ('iso8859_7', 28597, 'iso-8859-7'), ('iso8859_9', 28599, 'iso-8859-9'),
             ('iso8859_15', 28605, 'iso-8859-15'), ('koi8_r', 20866, 'koi8-r'), ('koi8_u', 21866, 'koi8-u'),
             ('mac_roman', 10000, 'macintosh'),
             ('mac_greek', 10006, 'x-mac-greek'), ('mac_cyrillic', 10007, 'x-mac-cyrillic'),
             ('nls:10004', 10004, 'x-mac-arabic'), ('nls:10005', 10005, 'x-mac-hebrew')]
NLS_FOLDER = '/usr/share/wine/nls'
NLS_NAMES = {'nls:10004': 'mac_arabic_10004', 'nls:10005': 'mac_hebrew_10005'}
# The Mac's double-byte pages are the national standards they were built
# on; Apple's few additions to their single bytes stay undefined.
DOUBLE_BYTE = [('cp932', 932, 'shift_jis'), ('cp936', 936, 'gbk'), ('cp949', 949, 'ks_c_5601-1987'),
               ('cp950', 950, 'big5'), ('shift_jis', 10001, 'x-mac-japanese'), ('big5', 10002, 'x-mac-chinesetrad'),
               ('euc_kr', 10003, 'x-mac-korean'), ('gb2312', 10008, 'x-mac-chinesesimp')]
# Bytes of the code page's published table that Python's codec lacks.
EXTRA_SINGLES = {'cp936': {0x80: 0x20AC}}
TRAIL_FIRST = 0x40  # DBCS_TRAIL_FIRST in code_pages.h
DBCS_LEAD, DBCS_NONE = 0xFFFF, 0xFFFE  # as code_pages.h names them


def c_name(codec):
    return NLS_NAMES.get(codec, codec.replace('latin_1', 'iso8859_1'))


def nls_bytes(number):
    """The 256 characters of an eight-bit page as a Windows code page file
    gives them: a header of as many words as its first word says, a word,
    then one word for each byte."""
    data = open('%s/c_%d.nls' % (NLS_FOLDER, number), 'rb').read()
    words = struct.unpack('<%dH' % (len(data) // 2), data[:len(data) // 2 * 2])
    assert words[1] == number and words[2] == 1, 'c_%d.nls is no eight-bit page' % number
    return words[words[0] + 1:words[0] + 1 + 256]


def eight_bit_table(codec):
    defined = {}
    if codec.startswith('nls:'):
        for byte, c in enumerate(nls_bytes(int(codec[4:]))):
            # a byte that repeats another's character (Hebrew's second
            # qamats) keeps a character of its own, so that it comes back
            defined[byte] = c if c not in defined.values() else 0xF700 + byte
    for byte in range(256 if not codec.startswith('nls:') else 0):
        try:
            defined[byte] = ord(codecs.decode(bytes([byte]), codec))
        except UnicodeDecodeError:
            pass
    taken = set(defined.values())
    table = []
    for byte in range(256):
        if byte in defined:
            table.append(defined[byte])
        elif byte not in taken:
            table.append(byte)
        else:
            table.append(0xF700 + byte)
    assert len(set(table)) == 256, codec
    return table


def decode_one(codec, sequence):
    try:
        text = codecs.decode(sequence, codec)
    except UnicodeDecodeError:
        return None
    return ord(text) if len(text) == 1 else None


def double_byte_tables(codec):
    singles, rows, pairs = [], [0] * 256, []
    for byte in range(256):
        c = EXTRA_SINGLES.get(codec, {}).get(byte, decode_one(codec, bytes([byte])))
        row = [decode_one(codec, bytes([byte, trail])) or 0 for trail in range(TRAIL_FIRST, 256)] if c is None else []
        if any(row):
            singles.append(DBCS_LEAD)
            pairs.append(row)
            rows[byte] = len(pairs)
        else:
            singles.append(DBCS_NONE if c is None else c)
    # The encoder's choice where it is not the first sequence in byte order.
    first = {}
    for byte in range(256):
        if singles[byte] < DBCS_NONE:
            first.setdefault(singles[byte], byte)
        elif rows[byte]:
            for i, c in enumerate(pairs[rows[byte] - 1]):
                if c:
                    first.setdefault(c, byte << 8 | (TRAIL_FIRST + i))
    preferred = []
    for c in range(0x10000):
        if 0xD800 <= c < 0xE000:
            continue
        try:
            encoded = chr(c).encode(codec)
        except UnicodeEncodeError:
            continue
        if len(encoded) > 2:
            continue  # a composed sequence (EUC-KR's Hangul): no pair of the table writes it
        value = int.from_bytes(encoded, 'big')
        if first.get(c) != value:
            preferred.append((c, value))
    return singles, rows, pairs, preferred


def fold(code_point):
    decomposed = unicodedata.normalize('NFKD', chr(code_point))
    base = decomposed[0]
    if base.isascii() and base.isalpha():
        return ord(base)
    special = {'\u00df': 's', '\u00e6': 'a', '\u00c6': 'A', '\u00f8': 'o', '\u00d8': 'O', '\u0111': 'd',
               '\u0110': 'D', '\u0142': 'l', '\u0141': 'L', '\u00f0': 'd', '\u00d0': 'D', '\u00fe': 't',
               '\u00de': 'T', '\u0153': 'o', '\u0152': 'O', '\u0131': 'i'}
    return ord(special.get(chr(code_point), '\0'))


def numbers(values, per_line, form='%d'):
    return ['    ' + ','.join(form % v for v in values[i:i + per_line]) + ','
            for i in range(0, len(values), per_line)]


def index_name(number):
    return 'CODE_PAGE_%d' % number


def main():
    out = ['/* Generated by make_code_pages.py from Python\'s codecs and Wine\'s tables; do not edit. */',
           '#ifndef SHIPPED_CORE_CODE_PAGE_TABLES_H', '#define SHIPPED_CORE_CODE_PAGE_TABLES_H', '',
           'enum code_page_index {']
    for _, number, _ in UNICODE + EIGHT_BIT + DOUBLE_BYTE:
        out.append('    %s,' % index_name(number))
    first, last = 0x00C0, 0x024F
    out += ['    CODE_PAGE_COUNT', '};', '', '#define FOLD_FIRST 0x%04X' % first, '#define FOLD_LAST 0x%04X' % last, '',
            '#ifdef CODE_PAGE_TABLES_DEFINE', '']
    for codec, _, _ in EIGHT_BIT:
        out.append('static const uint16_t %s_to_unicode[256] = {' % c_name(codec))
        out += numbers(eight_bit_table(codec), 16, '0x%04X')
        out += ['};', '']
    # The Mac's pages share most rows with the Windows pages that extend the
    # same standards: each distinct row is written once.
    tables = {codec: double_byte_tables(codec) for codec, _, _ in DOUBLE_BYTE}
    distinct = {}
    for codec, _, _ in DOUBLE_BYTE:
        for row in tables[codec][2]:
            distinct.setdefault(tuple(row), len(distinct))
    out.append('static const uint16_t double_byte_rows[%d][%d] = {' % (len(distinct), 256 - TRAIL_FIRST))
    for row in distinct:
        out.append('  {')
        out += numbers(list(row), 24)
        out.append('  },')
    out += ['};', '']
    for codec, _, _ in DOUBLE_BYTE:
        singles, rows, pairs, preferred = tables[codec]
        name = c_name(codec)
        out.append('static const uint16_t %s_singles[256] = {' % name)
        out += numbers(singles, 16, '0x%04X')
        out += ['};', 'static const uint8_t %s_lead_row[256] = {' % name]
        out += numbers(rows, 32)
        out += ['};', 'static const uint16_t *const %s_pairs[%d] = {' % (name, len(pairs))]
        out += numbers([distinct[tuple(row)] for row in pairs], 8, 'double_byte_rows[%d]')
        out += ['};', '/* Code point << 16 | encoding, where the encoder prefers another sequence. */',
                'static const uint32_t %s_preferred[%d] = {' % (name, max(1, len(preferred)))]
        out += numbers([c << 16 | value for c, value in preferred] or [0], 8, '0x%08X')
        out += ['};', 'static const double_byte_table %s_table = {%s_singles, %s_lead_row, %s_pairs, %s_preferred, %d};'
                % (name, name, name, name, name, len(preferred)), '']
    out.append('const code_page_entry code_page_entries[CODE_PAGE_COUNT] = {')
    for _, number, label in UNICODE:
        family = 'PAGE_FAMILY_UTF_8' if number == 65001 else 'PAGE_FAMILY_UTF_16'
        out.append('    [%s] = {"%s", %d, %s, NULL, NULL},' % (index_name(number), label, number, family))
    for codec, number, label in EIGHT_BIT:
        out.append('    [%s] = {"%s", %d, PAGE_FAMILY_EIGHT_BIT, %s_to_unicode, NULL},'
                   % (index_name(number), label, number, c_name(codec)))
    for codec, number, label in DOUBLE_BYTE:
        out.append('    [%s] = {"%s", %d, PAGE_FAMILY_DOUBLE_BYTE, NULL, &%s_table},'
                   % (index_name(number), label, number, c_name(codec)))
    out += ['};', '']
    out.append('/* Letter without accent for U+%04X to U+%04X, 0 where there is none. */' % (first, last))
    out.append('const char fold_to_ascii[FOLD_LAST - FOLD_FIRST + 1] = {')
    out += numbers([fold(c) for c in range(first, last + 1)], 16)
    out.append('};')
    out += ['', '#endif', '', '#endif']
    print('\n'.join(out))


if __name__ == '__main__':
    main()
