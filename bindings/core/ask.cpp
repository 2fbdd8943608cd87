// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "ask.hpp"

#include "entry_type.hpp"
#include "texts.hpp"
#include "taglex/tag_text.hpp"

namespace taglex::py {
namespace {

PythonError value_error(PyRef message);

constexpr std::uint32_t kFirstBlock = 0x10;

PythonError value_error(PyRef message) { return PythonError::lazy(PyExc_ValueError, std::move(message)); }
PythonError type_error(PyRef message) { return PythonError::lazy(PyExc_TypeError, std::move(message)); }

// An int's value, if it fits in 64 bits (the caller checks the range).
std::optional<long long> int_value(PyObject* o) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

PyResult<Asked> read_text(PyObject* tag) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(tag, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Err{value_error(steal(PyUnicode_FromFormat("malformed tag %R: not valid text", tag)))};
  }
  const std::string_view text(utf8, static_cast<std::size_t>(size));
  auto parsed = taglex::parse_tag_text(text);
  if (parsed) {
    const taglex::WrittenTag& t = parsed.value();
    Asked a;
    a.form = t.block ? Asked::Form::kBlock : Asked::Form::kTag;
    a.group = t.group;
    a.element = t.element;
    return a;
  }
  const std::string_view word = taglex::trim_ascii(text);
  if (taglex::is_keyword_text(word)) {
    Asked a;
    a.form = Asked::Form::kKeyword;
    a.keyword = word;
    if (word.size() == text.size()) a.keyword_object = tag;
    return a;
  }
  return Err{tag_text_error(tag, parsed.error())};
}

std::uint32_t full(std::uint16_t group, std::uint16_t element) noexcept {
  return std::uint32_t{group} << 16 | element;
}

const Layer& at(PyObject* layer) noexcept { return layer_of(layer); }

std::optional<Answer> standard_in(std::span<PyObject* const> layers, std::uint16_t group,
                                  std::uint16_t element) {
  for (PyObject* layer : layers) {
    if (auto hit = at(layer).standard(group, element)) {
      return Answer{layer, hit->record, full(group, element)};
    }
  }
  return std::nullopt;
}

std::optional<Answer> keyword_in(std::span<PyObject* const> layers, std::string_view keyword,
                                 PyObject* keyword_object, const AskedCreator* creator) {
  const std::size_t hash = creator == nullptr ? python_hash_of(keyword_object, keyword) : 0;
  for (PyObject* layer : layers) {
    const Layer& l = at(layer);
    const taglex::DictionaryView& v = l.view();
    if (creator == nullptr) {
      if (auto k = l.standard_index().find_keyword(v, keyword, hash)) {
        const taglex::TagView r = v.record(k->record);
        return Answer{layer, k->record, full(r.group(), r.element())};
      }
      continue;
    }
    if (creator->unmatchable) return std::nullopt;
    const taglex::PrivateIndex::Creator* c = l.private_index().find(creator->canonical());
    if (c == nullptr) continue;
    for (const std::uint32_t k : c->entries) {
      const taglex::IndexEntry e = v.index_entry(k);
      const taglex::TagView r = v.record(e.record_index());
      if (r.keyword() != keyword) continue;
      const std::uint32_t tag = r.element_is_block_offset()
                                    ? full(e.group(), static_cast<std::uint16_t>(
                                                          kFirstBlock << 8 | (e.element() & 0xFF)))
                                    : full(e.group(), e.element());
      return Answer{layer, e.record_index(), tag};
    }
  }
  return std::nullopt;
}

bool is_private_creator_element(std::uint16_t group, std::uint16_t element) noexcept {
  return (group & 1) != 0 && element >= 0x10 && element <= 0xFF;
}

}  // namespace

PythonError tag_text_error(PyObject* tag, const taglex::TagTextError& e) {
  using Kind = taglex::TagTextError::Kind;
  PyRef part = steal(PyUnicode_DecodeUTF8(e.part.data(), static_cast<Py_ssize_t>(e.part.size()),
                                          "replace"));
  if (!part) return PythonError::fetch();
  switch (e.kind) {
    case Kind::kNoComma:
      return value_error(steal(PyUnicode_FromFormat("malformed tag %R: expected (gggg,eeee)", tag)));
    case Kind::kNotEightDigits:
      return value_error(steal(PyUnicode_FromFormat(
          "malformed tag %R: expected 8 hex digits, (gggg,eeee) or gggg,eeee", tag)));
    case Kind::kBadGroup:
      return value_error(steal(PyUnicode_FromFormat(
          "malformed tag %R: group %R is not 4 hex digits", tag, part.get())));
    case Kind::kBadElement:
      break;
  }
  return value_error(steal(PyUnicode_FromFormat(
      "malformed tag %R: element %R is not 4 hex digits or xxee", tag, part.get())));
}

PyResult<Asked> read_tag(PyObject* tag) {
  if (PyLong_CheckExact(tag) || (PyLong_Check(tag) && !PyBool_Check(tag))) {
    const std::optional<long long> v = int_value(tag);
    if (!v || *v < 0 || *v > 0xFFFFFFFFLL) {
      return Err{value_error(
          steal(PyUnicode_FromFormat("ill-formed tag %R: not in 0..0xFFFFFFFF", tag)))};
    }
    Asked a;
    a.group = static_cast<std::uint16_t>(*v >> 16);
    a.element = static_cast<std::uint16_t>(*v & 0xFFFF);
    return a;
  }
  if (PyUnicode_Check(tag)) return read_text(tag);
  if (PyBool_Check(tag)) {
    return Err{type_error(steal(PyUnicode_FromFormat("tag cannot be a bool: %R", tag)))};
  }
  if (PyTuple_Check(tag) && PyTuple_GET_SIZE(tag) == 2) {
    std::uint16_t parts[2] = {0, 0};
    for (Py_ssize_t i = 0; i < 2; ++i) {
      PyObject* part = PyTuple_GET_ITEM(tag, i);
      if (!PyLong_Check(part) || PyBool_Check(part)) {
        return Err{type_error(steal(
            PyUnicode_FromFormat("tag %R: a (group, element) pair holds two ints", tag)))};
      }
      const std::optional<long long> v = int_value(part);
      if (!v || *v < 0 || *v > 0xFFFF) {
        return Err{value_error(steal(PyUnicode_FromFormat(
            "ill-formed tag %R: group and element must be in 0..0xFFFF", tag)))};
      }
      parts[i] = static_cast<std::uint16_t>(*v);
    }
    Asked a;
    a.group = parts[0];
    a.element = parts[1];
    return a;
  }
  return Err{type_error(steal(PyUnicode_FromFormat(
      "tag must be an int, a (group, element) pair or a text, not %s", Py_TYPE(tag)->tp_name)))};
}

PyResult<std::optional<AskedCreator>> read_creator(PyObject* creator) {
  if (creator == nullptr || creator == Py_None) return std::optional<AskedCreator>();
  if (!PyUnicode_Check(creator)) {
    return Err{type_error(steal(PyUnicode_FromFormat("creator must be a str or None, not %s",
                                                     Py_TYPE(creator)->tp_name)))};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(creator, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    AskedCreator c;
    c.unmatchable = true;
    return std::optional<AskedCreator>(std::move(c));
  }
  return std::optional<AskedCreator>(
      AskedCreator::of(std::string_view(utf8, static_cast<std::size_t>(size))));
}

std::optional<Answer> answer(std::span<PyObject* const> layers, const Asked& asked,
                             const AskedCreator* creator) {
  const std::uint16_t g = asked.group;
  const std::uint16_t e = asked.element;
  switch (asked.form) {
    case Asked::Form::kKeyword:
      return keyword_in(layers, asked.keyword, asked.keyword_object, creator);

    case Asked::Form::kBlock:
      if (creator == nullptr) return std::nullopt;
      for (PyObject* layer : layers) {
        if (auto hit = at(layer).with_creator(g, e, *creator, true)) {
          return Answer{layer, hit->record, full(g, static_cast<std::uint16_t>(kFirstBlock << 8 | e))};
        }
      }
      return std::nullopt;

    case Asked::Form::kTag:
      break;
  }
  if (creator == nullptr) {
    if (auto found = standard_in(layers, g, e)) return found;
  } else if ((g & 1) == 0) {
    for (PyObject* layer : layers) {
      if (auto hit = at(layer).with_creator(g, e, *creator, false)) {
        return Answer{layer, hit->record, full(g, e)};
      }
    }
    return standard_in(layers, g, e);
  } else {
    for (PyObject* layer : layers) {
      const Layer& l = at(layer);
      if (auto hit = l.with_creator(g, e, *creator, false)) return Answer{layer, hit->record, full(g, e)};
      if (e > 0xFF) {
        if (auto hit = l.with_creator(g, static_cast<std::uint16_t>(e & 0xFF), *creator, true)) {
          return Answer{layer, hit->record, full(g, e)};
        }
      }
    }
  }
  if (is_private_creator_element(g, e)) return Answer{nullptr, 0, full(g, e)};
  return std::nullopt;
}

PyResult<PyRef> entry_of(const Answer& a, PyObject* creator_object) {
  if (a.layer == nullptr) {
    return new_private_creator_entry(
        a.tag, creator_object != nullptr && creator_object != Py_None ? creator_object : nullptr);
  }
  return new_entry(a.layer, a.record, a.tag);
}

}  // namespace taglex::py
