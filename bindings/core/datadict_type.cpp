// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "datadict_type.hpp"

#include <array>
#include <atomic>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ask.hpp"
#include "binder.hpp"
#include "boundary.hpp"
#include "dictionary_type.hpp"
#include "layer.hpp"
#include "lazy.hpp"
#include "once.hpp"
#include "taglex/description.hpp"
#include "texts.hpp"

namespace taglex::py {
namespace {

namespace desc = taglex::description;

// What pydicom's datadict answers that a Dictionary does not hold ready:
// the repeating masks and their keywords, gathered once from the layers.
struct Repeaters {
  std::vector<taglex::StandardIndex::Repeater> masks;  // each mask once, the first layer's
  std::unordered_set<std::string_view> keywords;
};

// The int of each keyword's tag, made on its first answer and kept: one per
// keyword of the first layer at most, a bound the file sets, not the
// questions asked.
struct TagInts {
  explicit TagInts(std::size_t n) : ints(n) {}
  ~TagInts() {
    for (auto& i : ints) Py_XDECREF(i.load(std::memory_order_relaxed));
  }
  std::vector<std::atomic<PyObject*>> ints;
};

struct DatadictObject {
  PyObject_HEAD PyObject* dictionary;
  Lazy<Repeaters>* repeaters;
  Lazy<TagInts>* tag_ints;
};

DatadictObject* as_datadict(PyObject* self) noexcept {
  return reinterpret_cast<DatadictObject*>(self);
}

std::span<PyObject* const> layers(PyObject* self) noexcept {
  return layers_of(as_datadict(self)->dictionary);
}

const Repeaters& repeaters(PyObject* self) {
  return as_datadict(self)->repeaters->get([&] {
    Repeaters r;
    for (PyObject* layer : layers(self)) {
      for (const auto& rep : layer_of(layer).standard_index().repeaters()) {
        bool known = false;
        for (const auto& m : r.masks) {
          known = known || (m.mask.value == rep.mask.value && m.mask.care == rep.mask.care);
        }
        if (known) continue;
        r.masks.push_back(rep);
        if (!rep.keyword.empty()) r.keywords.insert(rep.keyword);
      }
    }
    return r;
  });
}

PyRef text(std::string_view s) { return expect_object(new_text(s).release()); }

// The tag as an int, already converted the way pydicom.tag.Tag does.
PyResult<std::uint32_t> int_tag(PyObject* o) {
  if (!PyLong_Check(o)) return Err{PythonError::lazy(PyExc_TypeError, "tag must be an int")};
  const long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) PyErr_Clear();
  if (v < 0 || v > 0xFFFFFFFFLL) {
    return Err{PythonError::lazy(PyExc_ValueError, "tag must be in 0..0xFFFFFFFF")};
  }
  return static_cast<std::uint32_t>(v);
}

// The VR as pydicom writes it: the alternatives ("OB or OW"), else the
// stored code, "NONE" for none given.
PyRef pydicom_vr(const taglex::TagView& r, const desc::Parsed& p) {
  if (!p.vr.empty()) return text(p.vr);
  if (r.vr() == "??") return text("NONE");
  return expect_object(vr_text(r.vr()).release());
}

PyRef retired_text(const taglex::TagView& r) {
  return expect_object(PyUnicode_FromString(r.retired() ? "Retired" : ""));
}

// The standard record of `tag` in some layer: stored for it, or that of a
// repeating group whose mask matches it (stored for the group's first
// member, gg00).
std::optional<taglex::TagView> standard_record(std::span<PyObject* const> all, std::uint32_t tag) {
  const auto g = static_cast<std::uint16_t>(tag >> 16);
  const auto e = static_cast<std::uint16_t>(tag & 0xFFFF);
  if ((g & 1) != 0) return std::nullopt;
  for (PyObject* layer : all) {
    const Layer& l = layer_of(layer);
    if (auto hit = l.standard(g, e)) {
      const taglex::TagView r = l.view().record(hit->record);
      if (r.raw().creator_len() == 0) return r;
    }
  }
  for (PyObject* layer : all) {
    const Layer& l = layer_of(layer);
    if (auto hit = l.standard(static_cast<std::uint16_t>(g & 0xFF00), e)) {
      const taglex::TagView r = l.view().record(hit->record);
      const desc::Parsed p = desc::parse(r.description());
      if (r.raw().creator_len() == 0 && p.repeating && p.repeating->matches(tag)) return r;
    }
  }
  return std::nullopt;
}

// --- methods --------------------------------------------------------------------

PyObject* datadict_entry(PyObject* self, PyObject* tag_object) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto tag = int_tag(tag_object);
    if (!tag) return Err{std::move(tag.error())};
    const std::optional<taglex::TagView> r = standard_record(layers(self), tag.value());
    if (!r) return borrow(Py_None);
    const desc::Parsed p = desc::parse(r->description());
    PyRef result = expect_object(PyTuple_New(5));
    PyTuple_SET_ITEM(result.get(), 0, pydicom_vr(*r, p).release());
    PyTuple_SET_ITEM(result.get(), 1, text(p.vm).release());
    PyTuple_SET_ITEM(result.get(), 2, text(r->name()).release());
    PyTuple_SET_ITEM(result.get(), 3, retired_text(*r).release());
    PyTuple_SET_ITEM(result.get(), 4, text(r->keyword()).release());
    return result;
  });
}

PyObject* datadict_has_tag(PyObject* self, PyObject* tag_object) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto tag = int_tag(tag_object);
    if (!tag) return Err{std::move(tag.error())};
    const auto g = static_cast<std::uint16_t>(tag.value() >> 16);
    const auto e = static_cast<std::uint16_t>(tag.value() & 0xFFFF);
    if ((g & 1) == 0) {
      for (PyObject* layer : layers(self)) {
        const Layer& l = layer_of(layer);
        if (auto hit = l.standard(g, e)) {
          const taglex::TagView r = l.view().record(hit->record);
          const bool repeating = desc::parse(r.description()).repeating.has_value();
          return borrow(r.raw().creator_len() == 0 && !repeating ? Py_True : Py_False);
        }
      }
    }
    return borrow(Py_False);
  });
}

constexpr std::array<std::string_view, 2> kPrivateParameters = {"tag", "creator"};
constexpr FunctionDescription kPrivateEntry = {"private_entry", "Datadict", kPrivateParameters, 2};

PyObject* datadict_private_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<2>(kPrivateEntry, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto tag = int_tag(bound.value()[0]);
    if (!tag) return Err{std::move(tag.error())};
    auto c = read_creator(bound.value()[1]);
    if (!c) return Err{std::move(c.error())};
    if (!c.value()) return Err{PythonError::lazy(PyExc_TypeError, "creator must be a str")};
    const AskedCreator& creator = *c.value();
    const std::span<PyObject* const> all = layers(self);
    const auto g = static_cast<std::uint16_t>(tag.value() >> 16);
    const auto e = static_cast<std::uint16_t>(tag.value() & 0xFFFF);
    std::optional<Answer> a;
    if ((g & 1) != 0) {
      Asked asked;
      asked.group = g;
      asked.element = e;
      a = answer(all, asked, &creator);
      if ((!a || a->layer == nullptr) && e <= 0xFF) {
        // pydicom reads every private tag as (gggg,xxee), whatever its
        // block byte: a creator element's number finds the block form too.
        asked.form = Asked::Form::kBlock;
        a = answer(all, asked, &creator);
      }
    } else {
      // A private dictionary's entry for an element of an even group.
      for (PyObject* layer : all) {
        if (auto hit = layer_of(layer).with_creator(g, e, creator, false)) {
          a = Answer{layer, hit->record, tag.value()};
          break;
        }
      }
    }
    if (!a || a->layer == nullptr) return borrow(Py_None);
    const taglex::TagView r = layer_of(a->layer).view().record(a->record);
    const desc::Parsed p = desc::parse(r.description());
    PyRef result = expect_object(PyTuple_New(4));
    PyTuple_SET_ITEM(result.get(), 0, pydicom_vr(r, p).release());
    PyTuple_SET_ITEM(result.get(), 1, text(p.vm).release());
    PyTuple_SET_ITEM(result.get(), 2, text(r.name()).release());
    PyTuple_SET_ITEM(result.get(), 3, retired_text(r).release());
    return result;
  });
}

// pydicom's keyword_dict.get(keyword): the tag of a standard element's
// keyword (a former one too), None for a repeating element's keyword or
// anything else; TypeError for what cannot be a dict key.
PyResult<PyRef> tag_for_keyword(PyObject* self, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) {
    if (PyObject_Hash(keyword) == -1) return Err{PythonError::fetch()};
    return borrow(Py_None);
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &n);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return borrow(Py_None);
  }
  const std::string_view word(utf8, static_cast<std::size_t>(n));
  const std::size_t hash = python_hash_of(keyword, word);
  bool first = true;
  for (PyObject* layer : layers(self)) {
    const Layer& l = layer_of(layer);
    const taglex::StandardIndex& index = l.standard_index();
    if (const auto found = index.find_keyword(l.view(), word, hash)) {
      if (found->repeating) return borrow(Py_None);
      const taglex::TagView r = l.view().record(found->record);
      const std::uint32_t tag = std::uint32_t{r.group()} << 16 | r.element();
      if (!first) return expect_object(PyLong_FromUnsignedLong(tag));
      const TagInts& cache =
          as_datadict(self)->tag_ints->get([&] { return TagInts(index.size()); });
      std::atomic<PyObject*>& slot = const_cast<TagInts&>(cache).ints[found->slot];
      if (PyObject* known = slot.load(std::memory_order_acquire)) return borrow(known);
      PyRef made = expect_object(PyLong_FromUnsignedLong(tag));
      PyObject* expected = nullptr;
      if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) {
        Py_INCREF(made.get());  // the cache's own reference
        return made;
      }
      return borrow(expected);  // another thread made it first
    }
    first = false;
  }
  return borrow(Py_None);
}

PyObject* datadict_tag_for_keyword(PyObject* self, PyObject* keyword) noexcept {
  return entry([&]() { return tag_for_keyword(self, keyword); });
}

PyObject* datadict_mask_match(PyObject* self, PyObject* tag_object) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    if (!PyLong_Check(tag_object)) {
      return Err{PythonError::lazy(PyExc_TypeError, "tag must be an int")};
    }
    const long long v = PyLong_AsLongLong(tag_object);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (v < 0 || v > 0xFFFFFFFFLL) return borrow(Py_None);
    for (const auto& r : repeaters(self).masks) {
      if (r.mask.matches(static_cast<std::uint32_t>(v))) return text(r.mask.text());
    }
    return borrow(Py_None);
  });
}

PyObject* datadict_is_repeater_keyword(PyObject* self, PyObject* keyword) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    if (!PyUnicode_Check(keyword)) return borrow(Py_False);
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &n);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return borrow(Py_False);
    }
    const bool found =
        repeaters(self).keywords.count(std::string_view(utf8, static_cast<std::size_t>(n))) != 0;
    return borrow(found ? Py_True : Py_False);
  });
}

// --- the type ---------------------------------------------------------------------

PyObject* datadict_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    PyObject* dictionary = nullptr;
    static const char* names[] = {"dictionary", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Datadict", const_cast<char**>(names),
                                     &dictionary)) {
      return Err{PythonError::fetch()};
    }
    if (!is_dictionary(dictionary)) {
      return Err{PythonError::lazy(PyExc_TypeError, "Datadict() needs a taglex.Dictionary")};
    }
    PyRef self = steal(type->tp_alloc(type, 0));
    if (!self) return Err{PythonError::fetch()};
    DatadictObject* d = as_datadict(self.get());
    d->repeaters = new Lazy<Repeaters>;
    d->tag_ints = new Lazy<TagInts>;
    d->dictionary = Py_NewRef(dictionary);
    return self;
  });
}

void datadict_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  DatadictObject* d = as_datadict(self);
  delete d->repeaters;
  delete d->tag_ints;
  Py_XDECREF(d->dictionary);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef datadict_methods[] = {
    {"entry", as_method(&datadict_entry), METH_O,
     "entry($self, tag, /)\n--\n\n"
     "(VR, VM, name, 'Retired' or '', keyword) of a standard element as pydicom's\n"
     "datadict gives it, repeating groups included; None if unknown."},
    {"has_tag", as_method(&datadict_has_tag), METH_O,
     "has_tag($self, tag, /)\n--\n\n"
     "Whether the tag is a standard element that is not a repeating group's."},
    {"private_entry", as_method(&datadict_private_entry), METH_FASTCALL | METH_KEYWORDS,
     "private_entry($self, tag, creator)\n--\n\n"
     "(VR, VM, name, 'Retired' or '') of a private element of a creator; None if unknown."},
    {"tag_for_keyword", as_method(&datadict_tag_for_keyword), METH_O,
     "tag_for_keyword($self, keyword, /)\n--\n\n"
     "The tag of a standard element's keyword; None for a repeating element's."},
    {"mask_match", as_method(&datadict_mask_match), METH_O,
     "mask_match($self, tag, /)\n--\n\nThe repeating mask that matches `tag`, or None."},
    {"is_repeater_keyword", as_method(&datadict_is_repeater_keyword), METH_O,
     "is_repeater_keyword($self, keyword, /)\n--\n\n"
     "Whether `keyword` is the keyword of a repeating element."},
    {},
};

constinit OnceObject datadict_type_object;

PyObject* create_datadict_type() noexcept {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Datadict(dictionary)\n--\n\n"
                                    "The answers of pydicom's datadict, from a Dictionary.")},
      {Py_tp_new, reinterpret_cast<void*>(&datadict_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&datadict_dealloc)},
      {Py_tp_methods, datadict_methods},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex._core.Datadict",
      .basicsize = static_cast<int>(sizeof(DatadictObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

}  // namespace

PyTypeObject* datadict_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(datadict_type_object.get(create_datadict_type));
}

}  // namespace taglex::py
