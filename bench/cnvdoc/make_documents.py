#!/usr/bin/env python3
"""Writes the benchmark's documents: make_documents.py MARKDOWN RTF [MIB]
(20 MiB each by default), made of one block of every structure repeated."""
import sys

MARKDOWN = """# Chapter {n}: Grüße aus München

Some **bold** and *italic* text, a [link](https://example.org/page/{n}) and `inline code`,
with ~~struck~~ words, entities &amp; escapes \\* and a second line that goes on for a while.

- first item with **emphasis**
- second item
  1. nested one
  2. nested two

> A quotation that spans
> two lines.

```c
int main(void) {{ return {n}; }}
```

| Name | Value |
| --- | ---: |
| alpha | {n} |
| beta | 2 |

---

"""

RTF_HEAD = (r"{\rtf1\ansi\ansicpg1252\deff0\uc1{\fonttbl{\f0\froman\fcharset0 Times New Roman;}"
            r"{\f1\fmodern\fcharset0 Courier New;}}{\stylesheet{\f0\fs24 Normal;}{\s1\b\fs36 heading 1;}}" "\n")
RTF_BLOCK = (r"\pard\plain\s1\b\fs36 Chapter {n}: Gr\'fc\'dfe aus M\'fcnchen\par" "\n"
             r"\pard\plain\f0\fs24 Some {\b bold} and {\i italic} text, a {\field{\*\fldinst{HYPERLINK "
             r'"https://example.org/page/{n}"}}{\fldrslt{\ul link}}} and {\f1 inline code}, with {\strike struck} '
             r"words, \u945?\u946? and \'80 and a second line\line that goes on for a while.\par" "\n"
             r"{\pntext\'95\tab}{\*\pn\pnlvlblt{\pntxtb\'95}}\fi-360\li720 first item with {\b emphasis}\par" "\n"
             r"{\pntext 1.\tab}{\*\pn\pnlvlbody\pnstart1{\pntxta.}}\fi-360\li1440 nested one\par" "\n"
             r"\trowd\cellx3000\cellx6000\pard\intbl Name\cell Value\cell\row" "\n"
             r"\trowd\cellx3000\cellx6000\pard\intbl alpha\cell {n}\cell\row" "\n"
             r"\pard\plain\f0\fs24 {\*\shppict{\pict\pngblip 89504e470d0a1a0a}}A closing paragraph.\par" "\n")


def write(path, head, block, tail, size):
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        f.write(head)
        written, n = len(head), 0
        while written < size:
            text = block.replace('{n}', str(n)).replace('{{', '{').replace('}}', '}')
            f.write(text)
            written += len(text.encode('utf-8'))
            n += 1
        f.write(tail)


size = (int(sys.argv[3]) if len(sys.argv) > 3 else 20) << 20
write(sys.argv[1], '', MARKDOWN, '', size)
write(sys.argv[2], RTF_HEAD, RTF_BLOCK.replace('{n}', '\x00').replace('{', '{{').replace('}', '}}').replace('\x00', '{n}'), '}\n', size)
