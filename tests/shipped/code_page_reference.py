#!/usr/bin/env python3
"""Writes, for each code page named, every byte sequence that Python's codec
defines as one character: `BYTES CODE_POINT ENCODED` in hexadecimal, where
ENCODED is what the codec writes for that character (it differs from BYTES
only for the duplicates of a double-byte page).  The test of cnvtext reads
these files; they are made at build time into the directory given.

    code_page_reference.py OUTPUT_DIR cp1252 cp932 ...
"""
import codecs
import os
import sys


def one_character(codec, sequence):
    try:
        text = codecs.decode(sequence, codec)
    except UnicodeDecodeError:
        return None
    return text if len(text) == 1 else None


def sequences(codec):
    for byte in range(256):
        text = one_character(codec, bytes([byte]))
        if text is not None:
            yield bytes([byte]), text
            continue
        for trail in range(256):
            text = one_character(codec, bytes([byte, trail]))
            if text is not None:
                yield bytes([byte, trail]), text


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for codec in sys.argv[2:]:
        with open(os.path.join(out_dir, codec + '.txt'), 'w') as f:
            for sequence, text in sequences(codec):
                f.write('%s %04X %s\n' % (sequence.hex().upper(), ord(text), text.encode(codec).hex().upper()))


if __name__ == '__main__':
    main()
