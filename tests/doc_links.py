#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md reaches a file, and the heading it names.

Links inside code are not links. Headings are named as GitHub names them: lower case, without
punctuation, blanks as '-', a repeated heading numbered -1, -2 and so on.
Usage: doc_links.py SOURCE_DIR"""
import pathlib
import re
import sys

FENCE = re.compile(r"^\s*(```|~~~)")
INLINE_CODE = re.compile(r"(`+).*?\1")
LINK = re.compile(r"\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
DEFINITION = re.compile(r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")


def prose(path):
    """The lines of a Markdown file outside fenced code, with their numbers."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
        elif not fenced:
            yield number, line


def anchors(path):
    seen, names = {}, set()
    for _, line in prose(path):
        match = HEADING.match(line)
        if not match:
            continue
        slug = re.sub(r"[^\w\- ]", "", match.group(1).replace("`", "").lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        names.add(slug if count == 0 else f"{slug}-{count}")
    return names


def main(root):
    docs = [root / "README.md", *sorted((root / "docs").rglob("*.md"))]
    faults = []
    for doc in docs:
        for number, line in prose(doc):
            text = INLINE_CODE.sub("", line)
            for target in LINK.findall(text) + DEFINITION.findall(text):
                if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                    continue  # a URL, checked by nobody here
                file, _, anchor = target.partition("#")
                where = (doc.parent / file).resolve() if file else doc
                if not where.exists():
                    faults.append(f"{doc.relative_to(root)}:{number}: {target}: no such file")
                elif anchor and (where.suffix != ".md" or anchor not in anchors(where)):
                    faults.append(f"{doc.relative_to(root)}:{number}: {target}: no such heading")
    for fault in faults:
        print(fault)
    print(f"doc_links: {len(docs)} files, {len(faults)} broken links")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]).resolve()))
