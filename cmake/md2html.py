#!/usr/bin/python3
"""Turns one help page of docs/ from Markdown into an HTML page for the client.

usage: md2html.py SOURCE.md TARGET.html DEPTH

DEPTH is how many folders TARGET lies below the docs folder (0 for docs/faq.md),
so that the page finds the manual's style sheet (<docs>/../manual/style.css)
both beside the program and where it is installed. Links to other .md pages
become links to their .html pages; headings get the ids their anchors use.
"""
import html
import re
import sys

import markdown


def main() -> int:
    source, target, depth = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(source, encoding="utf-8") as f:
        text = f.read()
    # ](page.md) and ](page.md#part): the pages are read as HTML.
    text = re.sub(r"\]\(([^)#\s]+)\.md(#[^)\s]*)?\)", lambda m: f"]({m.group(1)}.html{m.group(2) or ''})", text)
    body = markdown.markdown(text, extensions=["toc", "fenced_code", "tables"], output_format="html")
    heading = re.search(r"^#\s+(.+)$", text, re.MULTILINE)
    title = html.escape(heading.group(1).strip() if heading else "Corvantel")
    style = "../" * (depth + 1) + "manual/style.css"
    with open(target, "w", encoding="utf-8") as f:
        f.write(
            "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n  <meta charset=\"utf-8\">\n"
            "  <meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            f"  <title>{title}</title>\n  <link rel=\"stylesheet\" href=\"{style}\">\n</head>\n<body>\n<main>\n"
            f"{body}\n</main>\n</body>\n</html>\n"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
