"""Fixtures: dictionary files written with the writer into tmp_path."""

from __future__ import annotations

import itertools
from collections.abc import Callable

import pytest
from support import EXAMPLE

import taglex._taglex as _taglex
from taglex import writer


@pytest.fixture
def make_file(tmp_path) -> Callable[..., str]:
    """make_file(records or bytes, name=...) -> path of the written file."""
    counter = itertools.count()

    def make(content, name: str | None = None) -> str:
        path = tmp_path / (name or f"d{next(counter)}.tlex")
        if isinstance(content, (bytes, bytearray)):
            path.write_bytes(content)
        else:
            writer.write(path, content)
        return str(path)

    return make


@pytest.fixture
def open_dict(make_file) -> Callable[..., _taglex.Dict]:
    """open_dict(records or bytes) -> an open Dict of that content."""

    def opener(content) -> _taglex.Dict:
        return _taglex.open(make_file(content))

    return opener


@pytest.fixture
def example(open_dict) -> _taglex.Dict:
    return open_dict(EXAMPLE)




@pytest.fixture
def example_path(make_file) -> str:
    """The path of a file holding the reference records."""
    return make_file(EXAMPLE)
