"""`portrait-main check PICTURE --id DOCUMENT`: an existing ID photo, whoever
made it, measured against the document's rules. Prints each rule (or, with
--json, one JSON object) and exits 0 only when every rule passed; 1 when one
failed, 2 when the picture or the document could not be read."""

from __future__ import annotations

import argparse
import dataclasses
import json
import sys
from pathlib import Path

USAGE_EXIT = 2


def wanted(argv: list[str]) -> bool:
    """`check` first selects this command, unless it names a photograph to
    cut out (`portrait-main check -o out.png`)."""
    return argv[:1] == ["check"] and not any(a.startswith(("-o", "--ou")) for a in argv[1:])


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="portrait-main check",
        description="Measure an existing ID photo against a document's rules: head height, eye line, centring, "
                    "margins, pose, eyes and mouth, background colour and evenness, pixel and file size. "
                    "Exit status 0 only when every rule passes.",
        epilog="example: portrait-main check passport.jpg --id uk-passport --json")
    parser.add_argument("picture", help="the ID photo to check (the whole print, as it would be submitted)")
    parser.add_argument("--id", required=True, metavar="DOCUMENT",
                        help="the document it is for (portrait-main --id list names them)")
    parser.add_argument("--json", action="store_true", help="one JSON object: document, passed, checks")
    parser.add_argument("--matte", default="refined", choices=("refined", "fast", "model"),
                        help="the matte that finds the top of the hair and the background (default: refined)")
    return parser


def main(argv: list[str]) -> int:
    args = build_parser().parse_args(argv)
    from ..core import imageio
    from ..core.documents import find_document
    from ..idphoto import passed
    from ..idphoto.verify import check_photo
    from ..pipeline import Cutout

    path = Path(args.picture)
    try:
        document = find_document(args.id)
        checks = check_photo(Cutout(), imageio.read_bytes(path), document, args.matte, name=imageio.shown(path))
    except (imageio.ImageError, ValueError) as error:
        print(f"portrait-main check: {error}", file=sys.stderr)
        return USAGE_EXIT
    ok = passed(checks)
    if args.json:
        print(json.dumps({"picture": str(path), "document": document.name, "passed": ok,
                          "checks": [dataclasses.asdict(c) for c in checks]}, ensure_ascii=False))
    else:
        for check in checks:
            print(check)
        failed = sum(not c.passed for c in checks)
        print(f"{path}: {'passes' if ok else f'fails {failed} of {len(checks)} rules for'} {document.name}")
    return 0 if ok else 1
