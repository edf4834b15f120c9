#!/usr/bin/python3
"""Judges HTML for the document tests with Python's own html.parser.

    html_structure.py wellformed FILE       every element closed in order, a charset and a title
    html_structure.py same A B              the same elements and words (in the body, where there is one)
    html_structure.py examples FILE.gz DIR  writes CommonMark's examples as DIR/N.md and DIR/N.html
    html_structure.py score DIR             compares DIR/N.out.html with DIR/N.html: "passed P of T"

Prints "ok" (or the score) on success, else what differs, and exits 1.
"""
import gzip
import html
import html.parser
import os
import re
import sys

VOID = {'area', 'base', 'br', 'col', 'embed', 'hr', 'img', 'input', 'link', 'meta', 'source', 'track', 'wbr'}
IGNORED = {'thead', 'tbody', 'tfoot'}


class Checker(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack, self.errors, self.charset, self.title, self.in_title = [], [], None, '', False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == 'meta' and attrs.get('charset'):
            self.charset = attrs['charset'].lower()
        if tag == 'title':
            self.in_title = True
        if tag not in VOID:
            self.stack.append((tag, self.getpos()))

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        if tag == 'title':
            self.in_title = False
        if not self.stack or self.stack[-1][0] != tag:
            self.errors.append('</%s> at %s closes %s' % (tag, self.getpos(), self.stack[-1] if self.stack else 'nothing'))
        else:
            self.stack.pop()

    def handle_data(self, data):
        if self.in_title:
            self.title += data


class Structure(html.parser.HTMLParser):
    """Elements and words in order, attributes and white space left out."""

    def __init__(self, body_only):
        super().__init__(convert_charrefs=True)
        self.tokens, self.active, self.text, self.open = [], not body_only, [], []

    def flush(self):
        words = ' '.join(''.join(self.text).split())
        if words and self.active:
            self.tokens.append(words)
        self.text = []

    def handle_starttag(self, tag, attrs):
        self.flush()
        if tag == 'body':
            self.active = True
        elif tag == 'p' and self.open[-1:] == ['li']:
            self.open.append('li-p')  # a loose list's paragraph is the item's text
        elif self.active and tag not in IGNORED:
            self.tokens.append('<%s>' % tag)
            if tag not in VOID:
                self.open.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)

    def handle_endtag(self, tag):
        self.flush()
        if tag == 'body':
            self.active = False
        elif self.active and tag not in IGNORED and tag not in VOID:
            if tag == 'p' and self.open[-1:] == ['li-p']:
                self.open.pop()
                return
            self.tokens.append('</%s>' % tag)
            if tag in self.open:
                while self.open.pop() != tag:
                    pass

    def handle_data(self, data):
        self.text.append(data)


def structure(path):
    markup = open(path, encoding='utf-8', errors='replace').read()
    parser = Structure('<body' in markup)
    parser.feed(markup)
    parser.close()
    parser.flush()
    return parser.tokens


def wellformed(path):
    checker = Checker()
    checker.feed(open(path, encoding='utf-8').read())
    checker.close()
    problems = checker.errors + ['<%s> at %s never closed' % s for s in checker.stack]
    if checker.charset != 'utf-8':
        problems.append('charset is %r' % checker.charset)
    if not checker.title.strip():
        problems.append('no title')
    return problems


def examples(source, directory):
    text = gzip.open(source, 'rt', encoding='utf-8').read()
    fence = '`' * 32
    pattern = re.compile('^' + fence + r' example( \S+)?\n(.*?)^\.\n(.*?)^' + fence + '$', re.S | re.M)
    count = 0
    for match in pattern.finditer(text):
        extension = (match.group(1) or '').strip()
        if extension not in ('', 'table', 'strikethrough'):
            continue  # extensions Morphex does not read
        count += 1
        for suffix, body in (('md', match.group(2)), ('html', match.group(3))):
            with open(os.path.join(directory, '%d.%s' % (count, suffix)), 'w', encoding='utf-8', newline='') as f:
                f.write(body.replace('\u2192', '\t'))
    return count


def normalized(markup):
    markup = re.sub(r'<(br|hr|img[^>]*?)\s*/?>', lambda m: '<%s>' % m.group(1).rstrip(' /'), markup)
    markup = re.sub(r'(<pre><code[^>]*>)(.*?)(</code></pre>)',
                    lambda m: m.group(1) + m.group(2).rstrip('\n') + m.group(3), markup, flags=re.S)
    markup = re.sub(r'>\s+', '>', markup)
    markup = re.sub(r'\s+<', '<', markup)
    return re.sub(r'\s+', ' ', html.unescape(markup)).strip()


def score(directory):
    passed = total = 0
    for name in sorted(os.listdir(directory)):
        if not name.endswith('.md'):
            continue
        base = os.path.join(directory, name[:-3])
        total += 1
        expected = open(base + '.html', encoding='utf-8').read()
        try:
            got = open(base + '.out.html', encoding='utf-8').read()
        except OSError:
            continue
        body = re.search(r'<body>\n(.*)</body>', got, re.S)
        passed += normalized(body.group(1) if body else got) == normalized(expected)
    return passed, total


def main():
    mode = sys.argv[1]
    if mode == 'wellformed':
        problems = wellformed(sys.argv[2])
        print('\n'.join(problems) if problems else 'ok')
        return 1 if problems else 0
    if mode == 'same':
        a, b = structure(sys.argv[2]), structure(sys.argv[3])
        if a == b:
            print('ok')
            return 0
        for i, (x, y) in enumerate(zip(a + [''] * len(b), b + [''] * len(a))):
            if x != y:
                print('first difference at token %d: %r against %r; before it: %r' % (i, x, y, a[max(0, i - 5):i]))
                return 1
    if mode == 'examples':
        print(examples(sys.argv[2], sys.argv[3]))
        return 0
    if mode == 'score':
        passed, total = score(sys.argv[2])
        print('passed %d of %d' % (passed, total))
        return 0
    return 2


sys.exit(main())
