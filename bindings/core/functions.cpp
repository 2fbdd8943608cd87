// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "functions.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "ask.hpp"
#include "binder.hpp"
#include "boundary.hpp"
#include "taglex/canonical.hpp"
#include "taglex/description.hpp"
#include "taglex/tag_text.hpp"
#include "texts.hpp"

namespace taglex::py {
namespace {

namespace desc = taglex::description;

template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyRef text(std::string_view s) { return expect_object(new_text(s).release()); }

PyResult<std::string_view> utf8_argument(PyObject* o, std::string_view name) {
  auto t = extract_text(o);
  if (!t) return Err{argument_extraction_error(name, std::move(t.error()))};
  return t.value();
}

// --- creators -------------------------------------------------------------------

constexpr std::array<std::string_view, 1> kTextParameter = {"text"};

template <const FunctionDescription* D, class F>
PyObject* text_function(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, F&& body) {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<1>(*D, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto t = utf8_argument(bound.value()[0], "text");
    if (!t) return Err{std::move(t.error())};
    return body(bound.value()[0], t.value());
  });
}

constexpr FunctionDescription kCreatorHash = {"creator_hash", std::nullopt, kTextParameter, 1};
constexpr FunctionDescription kCanonicalize = {"canonicalize_creator", std::nullopt,
                                               kTextParameter, 1};
constexpr FunctionDescription kParseTag = {"parse_tag", std::nullopt, kTextParameter, 1};
constexpr FunctionDescription kParseDescription = {"parse_description", std::nullopt,
                                                   kTextParameter, 1};

PyObject* creator_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return text_function<&kCreatorHash>(args, nargs, kwnames, [](PyObject*, std::string_view t) {
    return expect_object(PyLong_FromUnsignedLong(taglex::creator_hash(t)));
  });
}

PyObject* canonicalize_creator(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
  return text_function<&kCanonicalize>(args, nargs, kwnames, [](PyObject*, std::string_view t) {
    return text(taglex::canonicalize_creator(t));
  });
}

// --- tags ---------------------------------------------------------------------------

PyObject* parse_tag(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return text_function<&kParseTag>(
      args, nargs, kwnames, [](PyObject* object, std::string_view t) -> PyResult<PyRef> {
        auto parsed = taglex::parse_tag_text(t);
        if (!parsed) return Err{tag_text_error(object, parsed.error())};
        const taglex::WrittenTag& w = parsed.value();
        return expect_object(
            Py_BuildValue("(iiO)", w.group, w.element, w.block ? Py_True : Py_False));
      });
}

constexpr std::array<std::string_view, 3> kFormatParameters = {"group", "element", "block"};
constexpr FunctionDescription kFormatTag = {"format_tag", std::nullopt, kFormatParameters, 2};

PyObject* format_tag(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<3>(kFormatTag, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto group = extract_u16(bound.value()[0]);
    if (!group) return Err{argument_extraction_error("group", std::move(group.error()))};
    auto element = extract_u16(bound.value()[1]);
    if (!element) return Err{argument_extraction_error("element", std::move(element.error()))};
    bool block = false;
    if (PyObject* b = bound.value()[2]; b != nullptr) {
      const int truth = PyObject_IsTrue(b);
      if (truth < 0) return Err{PythonError::fetch()};
      block = truth != 0;
    }
    if (block && element.value() > 0xFF) {
      return Err{PythonError::lazy(PyExc_ValueError,
                                   "format_tag(): a block-form element is its low byte, 0..0xFF")};
    }
    return text(taglex::format_tag(group.value(), element.value(), block));
  });
}

// --- descriptions ---------------------------------------------------------------------

PyRef optional_text(std::string_view s) { return s.empty() ? borrow(Py_None) : text(s); }

PyObject* parse_description(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return text_function<&kParseDescription>(
      args, nargs, kwnames, [](PyObject*, std::string_view t) -> PyResult<PyRef> {
        const desc::Parsed p = desc::parse(t);
        PyRef vrs = expect_object(PyTuple_New(0));
        {
          const std::vector<std::string_view> codes = desc::vr_codes(p.vr);
          vrs = expect_object(PyTuple_New(static_cast<Py_ssize_t>(codes.size())));
          for (std::size_t i = 0; i < codes.size(); ++i) {
            PyTuple_SET_ITEM(vrs.get(), static_cast<Py_ssize_t>(i), text(codes[i]).release());
          }
        }
        const std::vector<std::string_view> old = desc::split_list(p.formerly);
        PyRef formerly = expect_object(PyTuple_New(static_cast<Py_ssize_t>(old.size())));
        for (std::size_t i = 0; i < old.size(); ++i) {
          PyTuple_SET_ITEM(formerly.get(), static_cast<Py_ssize_t>(i), text(old[i]).release());
        }
        PyRef deid = borrow(Py_None);
        if (!p.deidentification.empty()) {
          const desc::Deidentification d = desc::parse_deidentification(p.deidentification);
          PyRef options = expect_object(PyDict_New());
          for (const auto& [option, action] : d.options) {
            if (PyDict_SetItem(options.get(), text(option).get(), text(action).get()) < 0) {
              return Err{PythonError::fetch()};
            }
          }
          deid = expect_object(Py_BuildValue("(NO)", text(d.basic).release(), options.get()));
        }
        PyRef also = expect_object(PyList_New(0));
        for (const desc::Also& a : desc::also_parts(t)) {
          PyRef item = expect_object(Py_BuildValue("(NNO)", text(a.mask.text()).release(),
                                                   text(a.keyword).release(),
                                                   a.repeating ? Py_True : Py_False));
          if (PyList_Append(also.get(), item.get()) < 0) return Err{PythonError::fetch()};
        }
        PyRef repeating = p.repeating ? text(p.repeating->text()) : borrow(Py_None);
        return expect_object(Py_BuildValue(
            "{s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:N}", "vm", optional_text(p.vm).release(), "vr",
            optional_text(p.vr).release(), "vrs", vrs.release(), "repeating", repeating.release(),
            "since", optional_text(p.since).release(), "formerly", formerly.release(),
            "deidentification", deid.release(), "also", also.release()));
      });
}

// Reads an iterable of str (or of `width`-tuples of str) into `out`.
PyResult<std::vector<std::vector<std::string>>> rows_of(PyObject* o, std::string_view name,
                                                        std::size_t width) {
  std::vector<std::vector<std::string>> out;
  if (o == nullptr || o == Py_None) return out;
  PyRef it = steal(PyObject_GetIter(o));
  if (!it) return Err{argument_extraction_error(name, PythonError::fetch())};
  while (PyRef item = steal(PyIter_Next(it.get()))) {
    std::vector<std::string> row;
    const auto take = [&](PyObject* s) -> bool {
      auto t = extract_text(s);
      if (!t) return false;
      row.emplace_back(t.value());
      return true;
    };
    bool ok = true;
    if (width == 1) {
      ok = take(item.get());
    } else {
      PyRef seq = steal(PySequence_Tuple(item.get()));
      ok = seq && PyTuple_GET_SIZE(seq.get()) == static_cast<Py_ssize_t>(width);
      for (Py_ssize_t i = 0; ok && i < static_cast<Py_ssize_t>(width); ++i) {
        ok = take(PyTuple_GET_ITEM(seq.get(), i));
      }
      if (!ok && !PyErr_Occurred()) {
        std::string message = "each item must hold ";
        message += std::to_string(width);
        message += " texts";
        return Err{argument_extraction_error(name, PythonError::lazy(PyExc_TypeError, message))};
      }
    }
    if (!ok) return Err{argument_extraction_error(name, PythonError::fetch())};
    out.push_back(std::move(row));
  }
  if (PyErr_Occurred()) return Err{argument_extraction_error(name, PythonError::fetch())};
  return out;
}

PyResult<std::string> one_text(PyObject* o, std::string_view name) {
  if (o == nullptr || o == Py_None) return std::string();
  auto t = extract_text(o);
  if (!t) return Err{argument_extraction_error(name, std::move(t.error()))};
  return std::string(t.value());
}

constexpr std::array<std::string_view, 12> kComposeParameters = {
    "vm",    "vrs",       "repeating", "since",    "formerly", "deidentification",
    "options", "differences", "listed", "disputed", "also",   "notes"};
constexpr FunctionDescription kCompose = {"compose_description", std::nullopt, kComposeParameters,
                                          0};

PyObject* compose_description(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<12>(kCompose, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    const auto& a = bound.value();
    desc::Parts parts;
    if (a[0] != nullptr && a[0] != Py_None) {
      auto vm = one_text(a[0], "vm");
      if (!vm) return Err{std::move(vm.error())};
      parts.vm = vm.value();
    }
    auto single = [&](std::size_t i, std::string_view name, std::string& into) -> EmptyResult {
      auto t = one_text(a[i], name);
      if (!t) return Err{std::move(t.error())};
      into = std::move(t.value());
      return Ok{};
    };
    auto list = [&](std::size_t i, std::string_view name,
                    std::vector<std::string>& into) -> EmptyResult {
      auto rows = rows_of(a[i], name, 1);
      if (!rows) return Err{std::move(rows.error())};
      for (auto& r : rows.value()) into.push_back(std::move(r[0]));
      return Ok{};
    };
    auto pairs = [&](std::size_t i, std::string_view name,
                     std::vector<std::pair<std::string, std::string>>& into) -> EmptyResult {
      PyObject* o = a[i];
      PyRef items;
      if (o != nullptr && PyDict_Check(o)) {
        items = steal(PyDict_Items(o));
        if (!items) return Err{PythonError::fetch()};
        o = items.get();
      }
      auto rows = rows_of(o, name, 2);
      if (!rows) return Err{std::move(rows.error())};
      for (auto& r : rows.value()) into.emplace_back(std::move(r[0]), std::move(r[1]));
      return Ok{};
    };
    if (a[1] != nullptr) {
      if (auto r = list(1, "vrs", parts.vrs); !r) return Err{std::move(r.error())};
    } else {
      parts.vrs.emplace_back("UN");  // one VR: no VR part
    }
    if (auto r = single(2, "repeating", parts.repeating); !r) return Err{std::move(r.error())};
    if (auto r = single(3, "since", parts.since); !r) return Err{std::move(r.error())};
    if (auto r = list(4, "formerly", parts.formerly); !r) return Err{std::move(r.error())};
    if (a[5] != nullptr && a[5] != Py_None) {
      auto basic = one_text(a[5], "deidentification");
      if (!basic) return Err{std::move(basic.error())};
      parts.deidentification = basic.value();
    }
    if (auto r = pairs(6, "options", parts.options); !r) return Err{std::move(r.error())};
    {
      // differences: (source, [what, ...]) pairs
      PyObject* o = a[7];
      if (o != nullptr && o != Py_None) {
        PyRef it = steal(PyObject_GetIter(o));
        if (!it) return Err{argument_extraction_error("differences", PythonError::fetch())};
        while (PyRef item = steal(PyIter_Next(it.get()))) {
          PyRef seq = steal(PySequence_Tuple(item.get()));
          if (!seq || PyTuple_GET_SIZE(seq.get()) != 2) {
            PyErr_Clear();
            return Err{argument_extraction_error(
                "differences",
                PythonError::lazy(PyExc_TypeError, "each item must be (source, [texts])"))};
          }
          auto source = one_text(PyTuple_GET_ITEM(seq.get(), 0), "differences");
          if (!source) return Err{std::move(source.error())};
          auto said = rows_of(PyTuple_GET_ITEM(seq.get(), 1), "differences", 1);
          if (!said) return Err{std::move(said.error())};
          std::vector<std::string> what;
          for (auto& r : said.value()) what.push_back(std::move(r[0]));
          parts.differences.emplace_back(std::move(source.value()), std::move(what));
        }
        if (PyErr_Occurred()) return Err{PythonError::fetch()};
      }
    }
    if (auto r = single(8, "listed", parts.listed); !r) return Err{std::move(r.error())};
    if (auto r = pairs(9, "disputed", parts.disputed); !r) return Err{std::move(r.error())};
    {
      // also: (where, keyword, repeating) triples
      PyObject* o = a[10];
      if (o != nullptr && o != Py_None) {
        PyRef it = steal(PyObject_GetIter(o));
        if (!it) return Err{argument_extraction_error("also", PythonError::fetch())};
        while (PyRef item = steal(PyIter_Next(it.get()))) {
          PyRef seq = steal(PySequence_Tuple(item.get()));
          if (!seq || PyTuple_GET_SIZE(seq.get()) != 3) {
            PyErr_Clear();
            return Err{argument_extraction_error(
                "also", PythonError::lazy(PyExc_TypeError,
                                          "each item must be (where, keyword, repeating)"))};
          }
          auto where = one_text(PyTuple_GET_ITEM(seq.get(), 0), "also");
          if (!where) return Err{std::move(where.error())};
          auto keyword = one_text(PyTuple_GET_ITEM(seq.get(), 1), "also");
          if (!keyword) return Err{std::move(keyword.error())};
          const int repeating = PyObject_IsTrue(PyTuple_GET_ITEM(seq.get(), 2));
          if (repeating < 0) return Err{PythonError::fetch()};
          parts.also.push_back({std::move(where.value()), std::move(keyword.value()), repeating != 0});
        }
        if (PyErr_Occurred()) return Err{PythonError::fetch()};
      }
    }
    if (auto r = list(11, "notes", parts.notes); !r) return Err{std::move(r.error())};

    auto composed = desc::compose(parts);
    if (!composed) return Err{PythonError::lazy(PyExc_ValueError, composed.error())};
    return text(composed.value());
  });
}

}  // namespace

PyMethodDef core_functions[] = {
    {"creator_hash", as_method(&creator_hash), METH_FASTCALL | METH_KEYWORDS,
     "creator_hash(text)\n--\n\n"
     "The hash a private creator is indexed under: FNV-1a 32 of its canonical form."},
    {"canonicalize_creator", as_method(&canonicalize_creator), METH_FASTCALL | METH_KEYWORDS,
     "canonicalize_creator(text)\n--\n\n"
     "The canonical form of a private creator: split at white space, joined with\n"
     "one space, upper-cased (Unicode 17.0 full mapping)."},
    {"parse_tag", as_method(&parse_tag), METH_FASTCALL | METH_KEYWORDS,
     "parse_tag(text)\n--\n\n"
     "(group, element, block) of a tag written (gggg,eeee), gggg,eeee, ggggeeee,\n"
     "0xggggeeee or (gggg,xxee); ValueError for anything else."},
    {"format_tag", as_method(&format_tag), METH_FASTCALL | METH_KEYWORDS,
     "format_tag(group, element, block=False)\n--\n\n"
     "(GGGG,EEEE), or (GGGG,xxEE) for a block-form private element."},
    {"parse_description", as_method(&parse_description), METH_FASTCALL | METH_KEYWORDS,
     "parse_description(text)\n--\n\n"
     "What a description says: vm, vr, vrs, repeating, since, formerly,\n"
     "deidentification ((basic, {option: action}) or None) and also."},
    {"compose_description", as_method(&compose_description), METH_FASTCALL | METH_KEYWORDS,
     "compose_description(vm=None, vrs=None, repeating=None, since=None, formerly=(),\n"
     "                    deidentification=None, options=(), differences=(),\n"
     "                    listed=None, disputed=(), also=(), notes=())\n--\n\n"
     "The description text of these parts, in the grammar parse_description reads;\n"
     "ValueError for a part that cannot be written."},
    {},
};

}  // namespace taglex::py
