#!/usr/bin/env python3
"""Checks that every #include in src/ points down the layers (or stays in its own folder).

The layers, top first; a folder may include its own files and those of any folder below
it, never one above. Folders on one line are peers and may not include each other.
testing/ holds the unit tests' fakes: only tests include it. Exits 1 naming each include
that points the wrong way, or a folder missing from the list.
"""
import re
import sys
from pathlib import Path

LAYERS = [
    ["main.cpp"],
    ["sendmail"],
    ["invocation"],
    ["compose"],
    ["headerscan"],
    ["smtp", "oauth"],
    ["core"],
    ["platform"],
]
RANK = {folder: rank for rank, peers in enumerate(LAYERS) for folder in peers}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(path: Path, src: Path) -> str:
    parts = path.relative_to(src).parts
    return parts[0]


def main() -> int:
    src = Path(__file__).resolve().parent.parent / "src"
    faults = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp") or not path.is_file():
            continue
        here = folder_of(path, src)
        is_test = path.stem.endswith("_test") or here == "testing"
        if here not in RANK and here != "testing":
            faults.append(f"{path.relative_to(src)}: folder '{here}' has no place in the layers")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            there = target.split("/")[0] if "/" in target else here
            if there == "testing":
                if not is_test:
                    faults.append(f"{path.relative_to(src)}: includes {target}, which only tests may")
                continue
            if there not in RANK:
                faults.append(f"{path.relative_to(src)}: includes {target} from unknown folder '{there}'")
                continue
            if here == "testing" or there == here:
                continue
            if RANK[there] <= RANK[here]:
                faults.append(f"{path.relative_to(src)}: includes {target}, which is not below '{here}'")
    for fault in faults:
        print(f"check-layers: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
