"""The module object, the Dict type and the open function as objects."""

from __future__ import annotations

import gc
import importlib
import importlib.util
import inspect
import sys
import weakref

import pytest

import taglex
import taglex._taglex as _taglex


def test_module_attributes():
    assert _taglex.__all__ == ["Dict", "open", "__version__"]
    assert type(_taglex.__all__) is list
    assert _taglex.__version__ == "0.2.8"
    assert _taglex.__doc__ == ""
    assert _taglex.__name__ == "taglex._taglex"
    assert taglex.open is _taglex.open and taglex.Dict is _taglex.Dict


def test_dict_type_names_and_doc():
    Dict = _taglex.Dict
    assert (Dict.__name__, Dict.__qualname__, Dict.__module__) == ("Dict", "Dict", "taglex._taglex")
    assert Dict.__doc__ == "Opaque handle holding an mmap'd dictionary."
    assert Dict.__bases__ == (object,)


def test_open_function_object():
    f = _taglex.open
    assert f.__name__ == "open"
    assert f.__module__ == "taglex._taglex"
    assert f.__self__ is _taglex
    assert f.__text_signature__ == "(path)"
    assert f.__doc__ == (
        "Open a `.tlex` file. Raises `IOError` on missing file or corruption,\n"
        "`ValueError` on unsupported version."
    )
    assert list(inspect.signature(f).parameters) == ["path"]


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        (
            "lookup",
            "($self, group, element, creator=None)",
            "Look up a tag. Returns a dict or `None`.\n\n"
            '`element` is the low byte for private tags (the "xx" form).',
        ),
        ("__enter__", "($self)", "Context-manager support (no-op - mmap is released on drop)."),
        ("__exit__", "($self, _exc_type=None, _exc=None, _tb=None)", None),
    ],
)
def test_method_docstrings(name, signature, doc):
    method = getattr(_taglex.Dict, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_dict_cannot_be_instantiated_or_subclassed():
    for args in [(), (1,), ("x.tlex",)]:
        with pytest.raises(TypeError, match=r"^cannot create 'taglex\._taglex\.Dict' instances$"):
            _taglex.Dict(*args)
    with pytest.raises(TypeError, match=r"is not an acceptable base type"):
        type("Sub", (_taglex.Dict,), {})


def test_instances_have_no_attributes_and_no_weakref(example):
    with pytest.raises(AttributeError, match=r"Dict' object has no attribute 'foo'"):
        example.foo = 1
    assert not hasattr(example, "__dict__")
    with pytest.raises(TypeError, match=r"cannot create weak reference to 'taglex\._taglex\.Dict' object"):
        weakref.ref(example)
    assert not gc.is_tracked(example)


def test_class_attributes_are_assignable():
    Dict = _taglex.Dict
    Dict.extra_attribute = 42
    try:
        assert Dict.extra_attribute == 42
    finally:
        del Dict.extra_attribute
    assert not hasattr(Dict, "extra_attribute")


@pytest.fixture
def restore_module():
    saved = sys.modules["taglex._taglex"]
    yield saved
    sys.modules["taglex._taglex"] = saved
    taglex._taglex = saved


def test_reimport_makes_a_new_module_with_the_same_type(restore_module, example):
    old = restore_module
    del sys.modules["taglex._taglex"]
    new = importlib.import_module("taglex._taglex")
    assert new is not old
    assert new.Dict is old.Dict
    assert new.open is not old.open and new.open.__self__ is new
    assert new.__all__ == ["Dict", "open", "__version__"] and new.__all__ is not old.__all__
    assert type(example) is new.Dict


def test_import_under_another_name():
    found = importlib.util.spec_from_file_location("elsewhere._taglex", _taglex.__file__)
    other = importlib.util.module_from_spec(found)
    found.loader.exec_module(other)
    assert other.__name__ == "elsewhere._taglex"
    assert other.open.__module__ == "elsewhere._taglex"
    assert other.Dict.__module__ == "taglex._taglex"
    assert other.Dict is _taglex.Dict
