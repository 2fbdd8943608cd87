"""Write the prebuilt keyword index of the bundled dictionary.

``python tools/gen_keyword_index.py`` reads ``python/taglex/data/dicom.tlex``
and writes ``python/taglex/data/dicom.keywords`` beside it: the standard
keywords with their tags and every private element by creator, so that the
first reverse lookup in a process does not have to read 100,000 records.
The index records the size, CRC-32 and SHA-256 of the file it was built
for; taglex ignores an index whose size or CRC-32 does not match.

``--check`` writes nothing and exits 1 when the index is missing or stale
(run it after regenerating dicom.tlex).
"""

from __future__ import annotations

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "python", "taglex", "data")


def generate(tlex: str) -> str:
    from taglex import _index

    with open(tlex, "rb") as f:
        data = f.read()
    return _index.dump(_index.build(tlex), data)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tlex", default=os.path.join(DATA, "dicom.tlex"), help="the .tlex file")
    parser.add_argument("--check", action="store_true", help="exit 1 if the index is stale")
    args = parser.parse_args(argv)

    from taglex._index import prebuilt_path

    target = prebuilt_path(args.tlex)
    text = generate(args.tlex)
    if args.check:
        try:
            with open(target, encoding="utf-8") as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current != text:
            print(f"{target} is stale: run python tools/gen_keyword_index.py", file=sys.stderr)
            return 1
        print(f"{target} is up to date")
        return 0
    tmp = target + ".tmp"
    with open(tmp, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(tmp, target)
    print(f"wrote {target} ({len(text.encode())} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
