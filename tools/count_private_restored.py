"""How many private elements come back from Implicit VR copies of pydicom's
test files: through pydicom alone, with the creators as they were, and
through taglex.pydicom.fix_private_vrs, with every creator re-spelt.

An Implicit VR file carries no VRs: a reader learns a private element's VR
only from a private dictionary found through its block's creator. Each test
file of pydicom that holds typed private elements is written out as Implicit
VR Little Endian twice (creators as they were; creators in other letter case
and spacing), read back, and every typed private element of the original is
compared (VR and value) with what the reader got.

Usage: python tools/count_private_restored.py [--dict FILE]...
(needs pydicom and taglex; --dict puts .tlex files before the bundled one)
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import pydicom  # noqa: E402
import pydicom_corpus as corpus  # noqa: E402

import taglex  # noqa: E402


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dict", metavar="FILE", action="append", default=[])
    args = parser.parse_args(argv)
    dictionary = taglex.Dictionary([*args.dict, taglex.default_path()]) if args.dict else None
    names = corpus.files_with_private_elements()
    counts = corpus.count_restored(names, dictionary)
    print(f"pydicom {pydicom.__version__}: {counts.files} test files hold {counts.private} typed private elements")
    for name in names:
        print(f"  {name}")
    print(f"restored by pydicom, creators as they were: {counts.by_pydicom}")
    print(f"restored by fix_private_vrs, creators re-spelt: {counts.by_taglex}")
    print(f"  dictionary: {', '.join(args.dict + [taglex.default_path()])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
