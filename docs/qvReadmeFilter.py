#!/usr/bin/env python3
"""Doxygen input filter for README.md (docs/Doxyfile, FILTER_PATTERNS).

The README is written for a repository browser: its in-page links use the anchors that such a
browser derives from the headings ("## Windows" is #windows), and its links to files under
docs/ are relative to the repository root. In the API reference the README is the main page:
each heading below the title gets its anchor as a Doxygen label ({#windows}), and links to
docs/ files point at the copies beside the HTML pages (HTML_EXTRA_FILES). Code blocks are left
as they are.
"""
import re
import sys


def slug(title):
    text = re.sub(r"[`*_]", "", title.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().split("\n")
    fenced = False
    out = []
    for line in lines:
        if line.lstrip().startswith("```"):
            fenced = not fenced
        elif not fenced:
            heading = re.match(r"^(#{2,6})\s+(.*?)\s*$", line)
            if heading and "{#" not in line:
                line = f"{heading.group(1)} {heading.group(2)} {{#{slug(heading.group(2))}}}"
            line = re.sub(r"\]\(docs/", "](", line)
        out.append(line)
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
