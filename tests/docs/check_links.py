#!/usr/bin/python3
"""check_links.py FILE...: every relative link and #anchor in the Markdown
FILEs must resolve: the file or folder exists, and the anchor is a heading of
the target as GitHub names it. Prints each broken link; exits 1 if any."""
import os
import re
import sys

FENCE = re.compile(r"^(```|~~~)")
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def prose(path, code=""):
    """The lines of path outside fenced code blocks and HTML comments, with
    each inline code span replaced by code, or by its text for None."""
    lines, fenced, comment = [], False, False
    for line in open(path, encoding="utf-8"):
        if FENCE.match(line):
            fenced = not fenced
        elif line.startswith("<!--"):
            comment = "-->" not in line
        elif comment:
            comment = "-->" not in line
        elif not fenced:
            lines.append(re.sub(r"`([^`]*)`", code if code is not None else r"\1", line))
    return lines


def anchors(path):
    """GitHub's anchors for the headings of path: lower case, punctuation
    but hyphens dropped, blanks made hyphens, repeats numbered."""
    seen, names = {}, set()
    for line in prose(path, None) if path.endswith(".md") else []:
        heading = re.match(r"#+\s+(.*)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            names.add(slug if slug not in seen else f"{slug}-{seen[slug]}")
            seen[slug] = seen.get(slug, 0) + 1
    return names


def main():
    broken = 0
    for path in sys.argv[1:]:
        for line in prose(path):
            for target in LINK.findall(line):
                if re.match(r"[a-z]+:", target):
                    continue  # http:, https:, mailto:
                name, _, anchor = target.partition("#")
                where = os.path.join(os.path.dirname(path), name) if name else path
                if not os.path.exists(where) or (anchor and anchor not in anchors(where)):
                    print(f"{path}: broken link {target}")
                    broken += 1
    sys.exit(1 if broken else 0)


main()
