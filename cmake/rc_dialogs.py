#!/usr/bin/env python3
"""Writes the C++ table of the dialog templates in a Win32 resource script.

Usage: rc_dialogs.py SCRIPT.rc OUT.cpp

The resource script is where the installer's dialogs are defined; builds without Win32
resources take them from the table this writes. Understood: DIALOG headers, CAPTION, and the
CONTROL (PROGRESS_CLASS), LTEXT and PUSHBUTTON statements; anything else inside a dialog stops
the build, so the two forms cannot drift apart.
"""
import re
import sys

HEADER = re.compile(r'^(\w+)\s+DIALOG\s+\d+\s*,\s*\d+\s*,\s*(\d+)\s*,\s*(\d+)\s*$')
CAPTION = re.compile(r'^CAPTION\s+"([^"]*)"\s*$')
STATEMENT = re.compile(r'^(CONTROL|LTEXT|PUSHBUTTON)\s+"([^"]*)"\s*,\s*(\w+)\s*,(.*)$')
KINDS = {'LTEXT': 'kStatic', 'PUSHBUTTON': 'kButton', 'PROGRESS_CLASS': 'kProgressBar'}


def statements(lines):
    """Joins continuation lines (a line ending with a comma goes on on the next)."""
    joined = ''
    for line in lines:
        line = line.split('//')[0].strip()
        if not line:
            continue
        joined = f'{joined} {line}'.strip() if joined else line
        if not joined.endswith(','):
            yield joined
            joined = ''


def parse(path):
    with open(path, encoding='utf-8') as source:
        lines = source.read().splitlines()
    dialogs, current = [], None
    for line in statements(lines):
        if current is None:
            match = HEADER.match(line)
            if match:
                current = {'id': match[1], 'size': (match[2], match[3]), 'caption': None,
                           'controls': [], 'open': False}
            continue
        if line == 'BEGIN':
            current['open'] = True
        elif line == 'END':
            dialogs.append(current)
            current = None
        elif not current['open']:
            match = CAPTION.match(line)
            if match:
                current['caption'] = match[1]
            elif not line.startswith(('STYLE', 'FONT')):
                sys.exit(f'{path}: not understood in {current["id"]}: {line}')
        else:
            match = STATEMENT.match(line)
            if not match:
                sys.exit(f'{path}: not understood in {current["id"]}: {line}')
            rest = [part.strip() for part in match[4].split(',')]
            if match[1] == 'CONTROL':
                kind, rest = KINDS.get(rest[0]), rest[2:]  # class, style, x, y, w, h
            else:
                kind = KINDS[match[1]]
            if kind is None or len(rest) < 4:
                sys.exit(f'{path}: not understood in {current["id"]}: {line}')
            current['controls'].append((match[3], kind, match[2], rest[:4]))
    return dialogs


def write(dialogs, path, script):
    out = [f'// Written by cmake/rc_dialogs.py from {script}; edit the resource script instead.',
           '#include <iterator>', '', '#include "app/dialog_templates.h"',
           '#include "app/resource.h"', '', 'namespace app {', 'namespace {', '']
    for dialog in dialogs:
        out.append(f'constexpr platform::ControlTemplate k{dialog["id"]}[] = {{')
        for control_id, kind, text, box in dialog['controls']:
            out.append(f'    {{{control_id}, platform::ControlKind::{kind}, u"{text}", '
                       f'{", ".join(box)}}},')
        out.append('};')
    out += ['', '}  // namespace', '', 'const platform::DialogTemplate kDialogTemplates[] = {']
    for dialog in dialogs:
        caption = f'u"{dialog["caption"]}"' if dialog['caption'] is not None else 'nullptr'
        out.append(f'    {{{dialog["id"]}, {caption}, {dialog["size"][0]}, {dialog["size"][1]}, '
                   f'k{dialog["id"]}, std::size(k{dialog["id"]})}},')
    out += ['};', 'const std::size_t kDialogTemplateCount = std::size(kDialogTemplates);', '',
            '}  // namespace app', '']
    with open(path, 'w', encoding='utf-8') as target:
        target.write('\n'.join(out))


if __name__ == '__main__':
    write(parse(sys.argv[1]), sys.argv[2], 'app/qzpupdate.rc')
