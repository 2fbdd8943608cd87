"""pydicom's own test files, written out as Implicit VR Little Endian.

An Implicit VR file carries no VRs, so a reader learns a private element's
VR only from a private dictionary found through the block's creator. These
helpers make such files from the files pydicom ships (optionally with every
creator re-spelt, as other writers spell them) and compare what a reader
gets back with the original elements. The tests and the benchmark report
share them.
"""

from __future__ import annotations

import copy
import io
import os
import warnings
from collections.abc import Iterator
from typing import Any, NamedTuple

import pydicom
from pydicom.dataelem import DataElement
from pydicom.dataset import Dataset
from pydicom.uid import ImplicitVRLittleEndian

TEST_FILES = os.path.join(os.path.dirname(pydicom.__file__), "data", "test_files")

Path = tuple[tuple[int, int], ...]


def walk(ds: Dataset, path: Path = ()) -> Iterator[tuple[Path, DataElement]]:
    """Every element with the (sequence tag, item index) pairs above it."""
    for elem in ds:
        yield path, elem
        if elem.VR == "SQ":
            for i, item in enumerate(elem.value):
                yield from walk(item, (*path, (int(elem.tag), i)))


def is_private_data(tag: int) -> bool:
    return (tag >> 16) & 1 == 1 and tag >> 16 > 7 and tag & 0xFF00 != 0


def respell(text: str) -> str:
    """The same creator as another writer might spell it: other letter case,
    doubled inner spaces and a leading space."""
    flipped = "".join(c.lower() if i % 2 else c.upper() for i, c in enumerate(text.lower()))
    if flipped == text:
        flipped = text.swapcase()
    return " " + flipped.replace(" ", "  ")


def read(path: str) -> Dataset:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = pydicom.dcmread(path)
        for _ in walk(ds):  # decode everything while warnings are off
            pass
    return ds


def files_with_private_elements() -> list[str]:
    """pydicom's test files that hold typed private data elements."""
    found = []
    for name in sorted(os.listdir(TEST_FILES)):
        if not name.endswith(".dcm"):
            continue
        try:
            ds = read(os.path.join(TEST_FILES, name))
        except Exception:
            continue
        if any(is_private_data(int(e.tag)) and e.VR != "UN" for _, e in walk(ds)):
            found.append(name)
    return found


def implicit_bytes(ds: Dataset, respelt: bool) -> bytes:
    """``ds`` written as Implicit VR Little Endian, without its pixel data
    (compressed pixels cannot be written so); with ``respelt`` every private
    creator is re-spelt."""
    out = copy.deepcopy(ds)
    if "PixelData" in out:
        del out.PixelData
    if respelt:
        for _, elem in walk(out):
            tag = int(elem.tag)
            if (tag >> 16) & 1 and 0x10 <= tag & 0xFFFF <= 0xFF and isinstance(elem.value, str):
                elem.value = respell(elem.value)
    out.file_meta.TransferSyntaxUID = ImplicitVRLittleEndian
    buf = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out.save_as(buf, implicit_vr=True, little_endian=True)
    return buf.getvalue()


def read_bytes(data: bytes) -> Dataset:
    return read_buffer(io.BytesIO(data))


def read_buffer(buf: Any) -> Dataset:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pydicom.dcmread(buf)


def typed_private(ds: Dataset) -> dict[tuple[Path, int], DataElement]:
    """The private data elements of ``ds`` that have a VR other than UN."""
    return {
        (path, int(e.tag)): e
        for path, e in walk(ds)
        if is_private_data(int(e.tag)) and e.VR != "UN"
    }


def same(a: DataElement, b: DataElement) -> bool:
    """Same VR and value; sequences by their number of items (their elements
    are compared one by one, apart)."""
    if a.VR != b.VR:
        return False
    if a.VR == "SQ":
        return len(a.value) == len(b.value)
    return bool(a.value == b.value)


def restored(original: Dataset, back: Dataset) -> int:
    """How many typed private elements of ``original`` ``back`` holds with the
    same VR and value."""
    got = {(path, int(e.tag)): e for path, e in walk(back)}
    count = 0
    for key, elem in typed_private(original).items():
        other = got.get(key)
        if other is not None and same(other, elem):
            count += 1
    return count


class Counts(NamedTuple):
    """Typed private elements of the original files, and how many of them
    come back with the same VR and value from the Implicit VR copies."""

    files: int
    private: int
    by_pydicom: int  # creators as they were, pydicom's own dictionary
    by_taglex: int  # creators re-spelt, then fix_private_vrs


def count_restored(names: list[str] | None = None, dictionary: Any = None) -> Counts:
    """The counts over ``names`` (by default every test file of pydicom
    that holds typed private elements), fix_private_vrs looking elements up
    in ``dictionary`` (by default the bundled one)."""
    from taglex.pydicom import fix_private_vrs

    names = files_with_private_elements() if names is None else names
    private = by_pydicom = by_taglex = 0
    for name in names:
        original = read(os.path.join(TEST_FILES, name))
        private += len(typed_private(original))
        plain = read_bytes(implicit_bytes(original, respelt=False))
        for _ in walk(plain):  # pydicom decodes what its dictionary knows
            pass
        by_pydicom += restored(original, plain)
        fixed = read_bytes(implicit_bytes(original, respelt=True))
        fix_private_vrs(fixed, dictionary)
        by_taglex += restored(original, fixed)
    return Counts(len(names), private, by_pydicom, by_taglex)
