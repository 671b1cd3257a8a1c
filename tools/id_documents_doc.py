"""The documents section of docs/id-photos.md, written from the table in
core/documents.py so that the two cannot drift apart.

    .venv/bin/python tools/id_documents_doc.py          # prints the section
    .venv/bin/python tools/id_documents_doc.py --write  # replaces it in the docs
"""

from __future__ import annotations

import sys
from pathlib import Path

from portrait_studio.core.documents import DOCUMENTS

DOCS = Path(__file__).resolve().parents[1] / "docs" / "id-photos.md"
BEGIN = "<!-- documents: written by tools/id_documents_doc.py from core/documents.py; do not edit by hand -->"
END = "<!-- end of documents -->"


def _range(pair, unit) -> str:
    return f"{pair[0]:g}-{pair[1]:g} {unit}" if pair else "-"


def _files(d) -> str:
    parts = []
    if d.min_pixels:
        parts.append(f"at least {d.min_pixels[0]} x {d.min_pixels[1]} px")
    if d.max_pixels:
        parts.append(f"at most {d.max_pixels[0]} x {d.max_pixels[1]} px")
    if d.min_kb or d.max_kb:
        low = f"{d.min_kb:g}" if d.min_kb else "0"
        parts.append(f"{low}-{d.max_kb:g} KB" if d.max_kb else f"at least {low} KB")
    return "; ".join(parts) or "-"


def row(d) -> str:
    unit = d.unit
    size = f"{d.width:g} x {d.height:g} {unit}"
    width, height = d.size
    if not d.head_given:
        head = f"({_range(d.head, unit)}, aim only)"
    elif d.head_accepted:
        head = f"{_range(d.head, unit)} (refused outside {_range(d.head_accepted, unit)})"
    else:
        head = _range(d.head, unit)
    crown = "hair" if d.hair_in_head else "skull (hair left out)"
    margins = []
    if d.top_given:
        margins.append(f"top {_range(d.top, unit)}")
    if d.chin:
        margins.append(f"chin {_range(d.chin, unit)}")
    edits = "forbidden" if d.edits else "-"
    aliases = ", ".join(f"`{a}`" for a in d.aliases) or "-"
    return (f"| `{d.name}` | {size} | {width} x {height}, {d.dpi} | {head} | {crown} | "
            f"{_range(d.eye_line, unit)} | {', '.join(margins) or '-'} | {', '.join(d.backgrounds)} | {edits} | "
            f"{_files(d)} | {aliases} |")


def section() -> str:
    lines = [BEGIN, "",
             "| document | size | pixels, dpi | head, chin to crown | crown | eye line from the bottom | "
             "margins checked | backgrounds | edited photos | file | aliases |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    lines += [row(d) for d in DOCUMENTS.values()]
    lines += ["", "Sources, each as the row cites it, with when its figures were read:", ""]
    for d in DOCUMENTS.values():
        extra = []
        if d.edits:
            extra.append(f"Edited photos: {d.edits}.")
        if d.note:
            extra.append(f"Note: {d.note}.")
        lines.append(f"- `{d.name}`: {d.source} *Read: {d.read}.*" + ("".join(" " + e for e in extra)))
    lines += ["", END]
    return "\n".join(lines)


def replaced(text: str) -> str:
    start, end = text.index(BEGIN), text.index(END) + len(END)
    return text[:start] + section() + text[end:]


def main(argv: list[str]) -> int:
    if argv[1:] == ["--write"]:
        DOCS.write_text(replaced(DOCS.read_text()))
    else:
        print(section())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
