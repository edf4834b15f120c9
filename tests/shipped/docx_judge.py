#!/usr/bin/python3
"""Judges a Word document read by Morphex against pandoc's reading of it.

    docx_judge.py same OURS.html DOCUMENT.docx [TAG,...]
    docx_judge.py pack BODY.xml OUT.docx       a package around a body of w: elements
    docx_judge.py hostile DIR                  writes the damaged and hostile packages

pandoc reads DOCUMENT.docx to HTML; both HTML files are then read by
pandoc to plain text.  They must hold the same words in the same order,
and as many headings, list items, cells, links, pictures, superscripts
and subscripts, but for the tags named last (where pandoc reads otherwise:
it writes a merged cell as one, and leaves out an empty header row).
Prints "ok", else what differs, and exits 1.
"""
import re
import struct
import subprocess
import sys
import zipfile

COUNTED = ['h1', 'h2', 'h3', 'li', 'td|th', 'a', 'img', 'sup', 'sub', 'dt', 'blockquote', 'pre']


def pandoc(args, data=None):
    return subprocess.run(['pandoc'] + args, input=data, capture_output=True, check=True).stdout.decode('utf-8')


def words(html):
    text = pandoc(['-f', 'html', '-t', 'plain', '--wrap=none'], html.encode('utf-8'))
    # pandoc writes a superscript or subscript digit as its Unicode character
    text = text.translate(str.maketrans('\u2070\u00b9\u00b2\u00b3\u2074\u2075\u2076\u2077\u2078\u2079'
                                        '\u2080\u2081\u2082\u2083\u2084\u2085\u2086\u2087\u2088\u2089',
                                        '01234567890123456789'))
    return re.findall(r'\w+', text)


def counts(html):
    body = re.sub(r'<section[^>]*class="footnotes.*?</section>', '', html, flags=re.S)  # pandoc's notes
    body = re.sub(r'<a\s[^>]*class="footnote-(ref|back)".*?</a>', '', body, flags=re.S)
    body = re.sub(r'<(ol|ul|div)[^>]*class="footnotes".*?</\1>', '', body, flags=re.S)  # ours
    body = re.sub(r'<a\s[^>]*href="#fn[^"]*".*?</a>', '', body, flags=re.S)
    body = re.sub(r'<sup>\s*</sup>', '', body)
    body = re.sub(r'<span[^>]*class="anchor"[^>]*></span>', '', body)
    return {tag: len(re.findall(r'<(%s)[\s>]' % tag, body)) for tag in COUNTED}


def same(ours_path, document, excepted):
    ours = open(ours_path, encoding='utf-8').read()
    reference = pandoc(['-f', 'docx', '-t', 'html', '--wrap=none', document])
    problems = []
    a, b = words(ours), words(reference)
    if a != b:
        at = next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
        problems.append('words differ at %d: ours %r, pandoc %r' % (at, a[at:at + 8], b[at:at + 8]))
    ca, cb = counts(ours), counts(reference)
    for tag in COUNTED:
        if ca[tag] != cb[tag] and tag not in excepted:
            problems.append('<%s>: ours %d, pandoc %d' % (tag, ca[tag], cb[tag]))
    return problems


W = 'http://schemas.openxmlformats.org/wordprocessingml/2006/main'
R = 'http://schemas.openxmlformats.org/officeDocument/2006/relationships'
PARTS = {
    '[Content_Types].xml':
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
        '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
        '<Default Extension="xml" ContentType="application/xml"/></Types>',
    '_rels/.rels':
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rId1" Type="%s/officeDocument" Target="word/document.xml"/></Relationships>' % R,
    'word/_rels/document.xml.rels':
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Id="rStyles" Type="%s/styles" Target="styles.xml"/>'
        '<Relationship Id="rNumbering" Type="%s/numbering" Target="numbering.xml"/>'
        '<Relationship Id="rNotes" Type="%s/footnotes" Target="footnotes.xml"/>'
        '<Relationship Id="rLink" Type="%s/hyperlink" Target="http://example.org/" TargetMode="External"/>'
        '</Relationships>' % (R, R, R, R),
    'word/styles.xml':
        '<w:styles xmlns:w="%s"><w:docDefaults><w:rPrDefault><w:rPr/></w:rPrDefault></w:docDefaults>'
        '<w:style w:type="paragraph" w:styleId="Heading2"><w:name w:val="heading 2"/><w:rPr><w:b/></w:rPr></w:style>'
        '<w:style w:type="paragraph" w:styleId="Chapter"><w:name w:val="Chapter"/><w:basedOn w:val="Heading2"/></w:style>'
        '<w:style w:type="paragraph" w:styleId="Zitat"><w:name w:val="Quote"/></w:style>'
        '<w:style w:type="paragraph" w:styleId="Listing"><w:name w:val="Listing"/>'
        '<w:rPr><w:rFonts w:ascii="Consolas" w:hAnsi="Consolas"/></w:rPr></w:style>'
        '<w:style w:type="paragraph" w:styleId="Listing2"><w:name w:val="Listing 2"/><w:basedOn w:val="Listing"/></w:style>'
        '<w:style w:type="character" w:styleId="Strong"><w:name w:val="Strong"/><w:rPr><w:b/></w:rPr></w:style>'
        '<w:style w:type="paragraph" w:styleId="Loop"><w:name w:val="Loop"/><w:basedOn w:val="Loop"/></w:style>'
        '<w:style w:type="paragraph" w:styleId="BoldBody"><w:name w:val="Bold Body"/><w:rPr><w:b/></w:rPr></w:style>'
        '</w:styles>' % W,
    'word/numbering.xml':
        '<w:numbering xmlns:w="%s">'
        '<w:abstractNum w:abstractNumId="0"><w:lvl w:ilvl="0"><w:start w:val="1"/><w:numFmt w:val="decimal"/>'
        '<w:lvlText w:val="%%1."/></w:lvl><w:lvl w:ilvl="1"><w:start w:val="1"/><w:numFmt w:val="lowerRoman"/>'
        '<w:lvlText w:val="%%2."/></w:lvl></w:abstractNum>'
        '<w:abstractNum w:abstractNumId="1"><w:lvl w:ilvl="0"><w:numFmt w:val="bullet"/><w:lvlText w:val="*"/>'
        '</w:lvl></w:abstractNum>'
        '<w:num w:numId="1"><w:abstractNumId w:val="0"/></w:num>'
        '<w:num w:numId="2"><w:abstractNumId w:val="1"/></w:num>'
        '<w:num w:numId="3"><w:abstractNumId w:val="0"/><w:lvlOverride w:ilvl="0"><w:startOverride w:val="7"/>'
        '</w:lvlOverride></w:num></w:numbering>' % W,
    'word/footnotes.xml':
        '<w:footnotes xmlns:w="%s"><w:footnote w:type="separator" w:id="-1"><w:p><w:r><w:separator/></w:r></w:p>'
        '</w:footnote><w:footnote w:id="1"><w:p><w:r><w:footnoteRef/></w:r><w:r><w:t xml:space="preserve"> A note.'
        '</w:t></w:r></w:p></w:footnote></w:footnotes>' % W,
}


def pack(body_path, out_path, body=None):
    if body is None:
        body = open(body_path, encoding='utf-8').read()
    document = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<w:document xmlns:w="%s" xmlns:r="%s" '
                'xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006" '
                'xmlns:wps="http://schemas.microsoft.com/office/word/2010/wordprocessingShape" '
                'xmlns:v="urn:schemas-microsoft-com:vml"><w:body>%s</w:body></w:document>' % (W, R, body))
    strict = body.startswith('<!-- strict -->')
    with zipfile.ZipFile(out_path, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, text in list(PARTS.items()) + [('word/document.xml', document)]:
            if strict:  # the same document in the namespaces of ISO 29500 Strict
                text = text.replace(W, 'http://purl.oclc.org/ooxml/wordprocessingml/main').replace(
                    R, 'http://purl.oclc.org/ooxml/officeDocument/relationships')
            z.writestr(name, text)


def zip64_directory(data):
    """The same archive with its directory in ZIP64's records, as writers of
    archives past 4 GiB make them: every size and offset in the ZIP64
    extra field, the 32-bit fields full, and the ZIP64 end records."""
    count, _, old_at = struct.unpack('<HII', data[-12:-2])
    records, at = [], old_at
    for _ in range(count):
        fixed = bytearray(data[at:at + 46])
        name_length, extra_length, comment_length = struct.unpack('<HHH', fixed[28:34])
        compressed, size = struct.unpack('<II', fixed[20:28])
        offset, = struct.unpack('<I', fixed[42:46])
        rest = data[at + 46:at + 46 + name_length + extra_length + comment_length]
        extra = struct.pack('<HHQQQ', 1, 24, size, compressed, offset)
        fixed[20:28] = struct.pack('<II', 0xFFFFFFFF, 0xFFFFFFFF)
        fixed[42:46] = struct.pack('<I', 0xFFFFFFFF)
        fixed[30:32] = struct.pack('<H', extra_length + len(extra))
        records.append(bytes(fixed) + rest[:name_length] + extra + rest[name_length:])
        at += 46 + name_length + extra_length + comment_length
    directory = b''.join(records)
    end64_at = old_at + len(directory)
    end64 = struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count, len(directory), old_at)
    locator = struct.pack('<IIQI', 0x07064B50, 0, end64_at, 1)
    end = struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    return data[:old_at] + directory + end64 + locator + end


def hostile(directory):
    real = directory + '/real.docx'
    pack(None, real, '<w:p><w:r><w:t>words</w:t></w:r></w:p>')
    data = open(real, 'rb').read()
    open(directory + '/truncated.docx', 'wb').write(data[:len(data) // 2])
    open(directory + '/zip64.docx', 'wb').write(zip64_directory(data))
    with zipfile.ZipFile(directory + '/no-body.docx', 'w') as z:
        z.writestr('[Content_Types].xml', PARTS['[Content_Types].xml'])
    with zipfile.ZipFile(directory + '/bomb.docx', 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('word/document.xml', b'<w:document>' + b' ' * (300 << 20))
    with zipfile.ZipFile(directory + '/doctype.docx', 'w') as z:
        z.writestr('word/document.xml', '<!DOCTYPE d [<!ENTITY e "ee">]><d>&e;</d>')
    with zipfile.ZipFile(directory + '/deep.docx', 'w', zipfile.ZIP_DEFLATED) as z:
        z.writestr('word/document.xml', '<d>' * 100000 + '</d>' * 100000)
    with zipfile.ZipFile(directory + '/entity.docx', 'w') as z:
        z.writestr('word/document.xml', '<d>&unknown;</d>')
    with zipfile.ZipFile(directory + '/damaged.docx', 'w', zipfile.ZIP_STORED) as z:
        z.writestr('word/document.xml', '<d>checked words</d>')
    damaged = bytearray(open(directory + '/damaged.docx', 'rb').read())
    damaged[damaged.index(b'checked')] = ord('C')
    open(directory + '/damaged.docx', 'wb').write(damaged)
    # a compound file holding an EncryptedPackage stream, as Office encrypts a package
    open(directory + '/encrypted.docx', 'wb').write(b'\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1' + b'\0' * 504 +
                                                  'EncryptedPackage'.encode('utf-16-le') + b'\0' * 512)


if __name__ == '__main__':
    if len(sys.argv) in (4, 5) and sys.argv[1] == 'same':
        found = same(sys.argv[2], sys.argv[3], sys.argv[4].split(',') if len(sys.argv) == 5 else [])
        print('\n'.join(found) if found else 'ok')
        sys.exit(1 if found else 0)
    elif len(sys.argv) == 4 and sys.argv[1] == 'pack':
        pack(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == 'hostile':
        hostile(sys.argv[2])
    else:
        sys.exit(__doc__)
    print('ok')
