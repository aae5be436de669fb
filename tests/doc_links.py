#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md reaches a file, and the heading it names.

Links inside code are not links. Headings are named as GitHub names them: lower case, without
punctuation, blanks as '-', a repeated heading numbered -1, -2 and so on.
Usage: doc_links.py SOURCE_DIR"""
import pathlib
import re
import sys

LINK = re.compile(r"\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
DEFINITION = re.compile(r"^\s*\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)")


def prose(path):
    """The lines of a Markdown file outside fenced code, with their numbers."""
    fenced = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if re.match(r"^\s*(```|~~~)", line):
            fenced = not fenced
        elif not fenced:
            yield number, line


def anchors(path):
    seen = {}
    for _, line in prose(path):
        if match := re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line):
            slug = re.sub(r"[^\w\- ]", "", match.group(1).replace("`", "").lower())
            slug = slug.replace(" ", "-")
            seen[slug] = seen.get(slug, -1) + 1
            yield slug if seen[slug] == 0 else f"{slug}-{seen[slug]}"


def main(root):
    docs = [root / "README.md", *sorted((root / "docs").rglob("*.md"))]
    faults = []
    for doc in docs:
        for number, line in prose(doc):
            text = re.sub(r"(`+).*?\1", "", line)
            for target in LINK.findall(text) + DEFINITION.findall(text):
                if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                    continue  # a URL, checked by nobody here
                file, _, anchor = target.partition("#")
                where = (doc.parent / file).resolve() if file else doc
                if not where.exists():
                    faults.append(f"{doc.relative_to(root)}:{number}: {target}: no such file")
                elif anchor and (where.suffix != ".md" or anchor not in set(anchors(where))):
                    faults.append(f"{doc.relative_to(root)}:{number}: {target}: no such heading")
    print(*faults, f"doc_links: {len(docs)} files, {len(faults)} broken links", sep="\n")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]).resolve()))
