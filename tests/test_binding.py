"""Argument binding and conversion of open, Dict.lookup and Dict.__exit__."""

from __future__ import annotations

import operator
import os

import pytest
from support import record

import taglex._taglex as _taglex


def notes(excinfo) -> list[str] | None:
    return getattr(excinfo.value, "__notes__", None)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


LOOKUP_BINDING_ERRORS = [
    ((), {}, "Dict.lookup() missing 2 required positional arguments: 'group' and 'element'"),
    ((1,), {}, "Dict.lookup() missing 1 required positional argument: 'element'"),
    ((), {"group": 1, "creator": "x"}, "Dict.lookup() missing 1 required positional argument: 'element'"),
    ((), {"element": 1}, "Dict.lookup() missing 1 required positional argument: 'group'"),
    ((1, 2, 3, 4), {}, "Dict.lookup() takes from 2 to 3 positional arguments but 4 were given"),
    ((1, 2, 3, 4), {"foo": 5}, "Dict.lookup() takes from 2 to 3 positional arguments but 4 were given"),
    ((1, 2), {"foo": 3}, "Dict.lookup() got an unexpected keyword argument 'foo'"),
    ((1,), {"foo": 2}, "Dict.lookup() got an unexpected keyword argument 'foo'"),
    ((), {"Group": 1, "element": 2}, "Dict.lookup() got an unexpected keyword argument 'Group'"),
    ((1, 2), {"\ud800": 3}, "Dict.lookup() got an unexpected keyword argument '\ud800'"),
    ((1,), {"group": 2}, "Dict.lookup() got multiple values for argument 'group'"),
    ((1, 2, None), {"creator": None}, "Dict.lookup() got multiple values for argument 'creator'"),
    # Binding comes before any conversion.
    ((70000,), {}, "Dict.lookup() missing 1 required positional argument: 'element'"),
    ((1.5, 2), {"nope": 1}, "Dict.lookup() got an unexpected keyword argument 'nope'"),
]


@pytest.mark.parametrize(("args", "kwargs", "message"), LOOKUP_BINDING_ERRORS)
def test_lookup_binding_errors(example, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        example.lookup(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (message,)
    assert notes(excinfo) is None


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2, 3, 4), {}, "Dict.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
        ((), {"exc_type": 1}, "Dict.__exit__() got an unexpected keyword argument 'exc_type'"),
        ((1,), {"_exc_type": 1}, "Dict.__exit__() got multiple values for argument '_exc_type'"),
    ],
)
def test_exit_binding_errors(example, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        example.__exit__(*args, **kwargs)
    assert excinfo.value.args == (message,)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "open() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "open() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, "open() takes 1 positional arguments but 3 were given"),
        (("a",), {"path": "b"}, "open() got multiple values for argument 'path'"),
        ((), {"file": "a"}, "open() got an unexpected keyword argument 'file'"),
        ((), {"Path": "a"}, "open() got an unexpected keyword argument 'Path'"),
    ],
)
def test_open_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        _taglex.open(*args, **kwargs)
    assert excinfo.value.args == (message,)
    assert notes(excinfo) is None


OUT_OF_RANGE = "out of range integral type conversion attempted"


def index_error(value) -> str:
    """The interpreter's own message for a value whose __index__ fails: its
    wording differs between versions ("__index__ returned non-int (type
    float)" on 3.13, "Index.__index__() must return an int, not float" on
    3.15), and the module passes it on unchanged."""
    with pytest.raises(TypeError) as excinfo:
        operator.index(value)
    return str(excinfo.value)


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        (-1, OverflowError, OUT_OF_RANGE),
        (65536, OverflowError, OUT_OF_RANGE),
        (-(2**40), OverflowError, OUT_OF_RANGE),
        (2**70, OverflowError, "Python int too large to convert to C long"),
        (-(2**70), OverflowError, "Python int too large to convert to C long"),
        (Index(65536), OverflowError, OUT_OF_RANGE),
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("16", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (Index(1.5), TypeError, index_error(Index(1.5))),
    ],
)
@pytest.mark.parametrize("param", ["group", "element"])
def test_tag_number_conversion_errors(example, param, value, exc_type, message):
    args = {"group": 0x10, "element": 0x10, param: value}
    with pytest.raises(exc_type) as excinfo:
        example.lookup(args["group"], args["element"])
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert notes(excinfo) == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        (b"ACME 1.0", TypeError, "'bytes' object is not an instance of 'str'"),
        (3, TypeError, "'int' object is not an instance of 'str'"),
        (["ACME"], TypeError, "'list' object is not an instance of 'str'"),
        ("ACME\ud800", UnicodeEncodeError, None),
    ],
)
def test_creator_conversion_errors(example, value, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        example.lookup(0x29, 0x10, value)
    assert type(excinfo.value) is exc_type
    if message is None:  # the interpreter's own encoding error
        assert excinfo.value.reason == "surrogates not allowed"
    else:
        assert excinfo.value.args == (message,)
    assert notes(excinfo) == ["while processing 'creator'"]


@pytest.mark.parametrize(
    ("args", "param"),
    [
        ((70000, -1, 3), "group"),
        ((1.5, "x", b"y"), "group"),
        ((1, -1, 3), "element"),
        ((1, 2, 3), "creator"),
    ],
)
def test_conversion_order_group_element_creator(example, args, param):
    with pytest.raises((TypeError, OverflowError)) as excinfo:
        example.lookup(*args)
    assert notes(excinfo) == [f"while processing '{param}'"]


@pytest.mark.parametrize(
    ("group", "element", "creator"),
    [
        (0x10, 0x10, None),
        (Index(0x10), Index(0x10), None),
        (0x29, 0x10, Text("acme 1.0")),
    ],
)
def test_accepted_argument_forms(example, group, element, creator):
    assert example.lookup(group, element, creator) is not None


def test_keywords_and_positions_bind_alike(example):
    expected = example.lookup(0x29, 0x10, "ACME 1.0")
    assert expected is not None
    for call in (
        lambda: example.lookup(0x29, 0x10, creator="ACME 1.0"),
        lambda: example.lookup(0x29, element=0x10, creator="ACME 1.0"),
        lambda: example.lookup(creator="ACME 1.0", element=0x10, group=0x29),
    ):
        assert call() == expected
    standard = example.lookup(0x10, 0x10)
    assert standard is not None
    assert example.lookup(0x10, 0x10, None) == standard
    assert example.lookup(0x10, 0x10, creator=None) == standard
    assert example.lookup(group=0x10, element=0x10) == standard


def test_bool_and_boundary_tag_numbers(open_dict):
    d = open_dict(
        [record(group=1, element=0), record(group=0, element=65535), record(group=65535, element=1)]
    )
    assert d.lookup(True, False)["group"] == 1
    assert d.lookup(0, 65535)["element"] == 65535
    assert d.lookup(65535, True)["group"] == 65535


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize("path", [b"/tmp/x.tlex", FsPath(b"/tmp/x.tlex"), bytearray(b"x")])
def test_open_refuses_bytes_paths(path):
    expected = (
        "'bytes' object is not an instance of 'str'"
        if not isinstance(path, bytearray)
        else _fspath_message(path)
    )
    with pytest.raises(TypeError) as excinfo:
        _taglex.open(path)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (expected,)
    assert notes(excinfo) == ["while processing 'path'"]


def _fspath_message(obj) -> str:
    with pytest.raises(TypeError) as excinfo:
        os.fspath(obj)
    return str(excinfo.value)


@pytest.mark.parametrize("path", [3, None, 1.5, FsPath(7), FsPath(None)])
def test_open_non_path_objects_raise_the_interpreters_error(path):
    with pytest.raises(TypeError) as excinfo:
        _taglex.open(path)
    assert str(excinfo.value) == _fspath_message(path)
    assert notes(excinfo) == ["while processing 'path'"]


def test_open_propagates_errors_of_fspath():
    class Broken:
        def __fspath__(self):
            raise KeyError("from fspath")

    with pytest.raises(KeyError, match="from fspath") as excinfo:
        _taglex.open(Broken())
    assert notes(excinfo) == ["while processing 'path'"]
