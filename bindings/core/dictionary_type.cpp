// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "dictionary_type.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ask.hpp"
#include "binder.hpp"
#include "boundary.hpp"
#include "entry_type.hpp"
#include "layer.hpp"
#include "once.hpp"
#include "taglex/canonical.hpp"
#include "taglex/index.hpp"
#include "texts.hpp"

namespace taglex::py {
namespace {

constexpr std::uint32_t kFirstBlock = 0x10;

DictionaryObject* as_dictionary(PyObject* self) noexcept {
  return reinterpret_cast<DictionaryObject*>(self);
}

PyResult<std::span<PyObject* const>> layers(PyObject* self) {
  if (as_dictionary(self)->layers == nullptr) {
    return Err{PythonError::lazy(PyExc_ValueError, "Dictionary holds no layers")};
  }
  return layers_of(self);
}

template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class F>
void* as_slot(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

PythonError type_error(PyRef message) { return PythonError::lazy(PyExc_TypeError, std::move(message)); }

PyResult<std::string_view> text_argument(PyObject* o, const char* method, const char* name) {
  if (!PyUnicode_Check(o)) {
    return Err{type_error(steal(PyUnicode_FromFormat("%s() %s must be a str, not %s", method, name,
                                                     Py_TYPE(o)->tp_name)))};
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(o, &n);
  if (p == nullptr) return Err{PythonError::fetch()};
  return std::string_view(p, static_cast<std::size_t>(n));
}

std::uint32_t shown_tag(const taglex::IndexEntry& e, bool block) noexcept {
  const std::uint32_t element = block ? (kFirstBlock << 8 | (e.element() & 0xFF)) : e.element();
  return std::uint32_t{e.group()} << 16 | element;
}

// --- walking every entry ------------------------------------------------------------

// The entries of iteration, layer by layer in index order: of the index
// entries with equal keys, only the one a lookup answers; and an entry whose
// key an earlier layer has is left out. A key is the group, the element,
// the block form and the canonical creator.
class Walker {
 public:
  struct Position {
    PyObject* layer;
    std::uint32_t entry, record, tag;
  };

  explicit Walker(std::span<PyObject* const> layers) : layers_(layers.begin(), layers.end()) {}

  std::optional<Position> next() {
    while (layer_ < layers_.size()) {
      PyObject* layer = layers_[layer_];
      const taglex::DictionaryView& v = layer_of(layer).view();
      while (k_ < v.len()) {
        const std::uint32_t k = k_++;
        const taglex::IndexEntry e = v.index_entry(k);
        const taglex::TagView r = v.record(e.record_index());
        const bool several = layers_.size() > 1;
        const bool tied = k + 1 < v.len() && same_key(e, v.index_entry(k + 1));
        std::string_view canonical;
        if ((several || tied) && r.raw().creator_len() != 0) canonical = canonical_of(r);
        if (tied && !taglex::answers_for_its_key(v, k, canonical)) continue;
        if (several) {
          std::string key = key_of(e, r, canonical);
          if (earlier_.count(key) != 0) continue;
          if (layer_ + 1 < layers_.size()) current_.insert(std::move(key));
        }
        return Position{layer, k, e.record_index(), shown_tag(e, r.element_is_block_offset())};
      }
      earlier_.merge(current_);
      current_.clear();
      canonical_.clear();
      ++layer_;
      k_ = 0;
    }
    return std::nullopt;
  }

 private:
  static bool same_key(const taglex::IndexEntry& a, const taglex::IndexEntry& b) noexcept {
    return a.group() == b.group() && a.element() == b.element() &&
           a.creator_hash() == b.creator_hash();
  }

  std::string_view canonical_of(const taglex::TagView& r) {
    const std::uint64_t offset =
        std::uint64_t{r.raw().creator_len()} << 32 | r.raw().creator_offset();
    auto it = canonical_.find(offset);
    if (it == canonical_.end()) {
      std::string c;
      taglex::canonicalize_and_hash(r.creator(), c);
      it = canonical_.emplace(offset, std::move(c)).first;
    }
    return it->second;
  }

  static std::string key_of(const taglex::IndexEntry& e, const taglex::TagView& r,
                            std::string_view canonical) {
    std::string key(5, '\0');
    key[0] = static_cast<char>(e.group() >> 8);
    key[1] = static_cast<char>(e.group());
    key[2] = static_cast<char>(e.element() >> 8);
    key[3] = static_cast<char>(e.element());
    key[4] = r.element_is_block_offset() ? 'b' : 'e';
    key += canonical;
    return key;
  }

  std::vector<PyObject*> layers_;
  std::size_t layer_ = 0;
  std::uint32_t k_ = 0;
  std::unordered_set<std::string> earlier_, current_;
  std::unordered_map<std::uint64_t, std::string> canonical_;
};

// --- the entries iterator ---------------------------------------------------------------

struct EntriesIterator {
  PyObject_HEAD PyObject* dictionary;
  Walker* walker;
};

PyObject* iterator_next(PyObject* self) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto* it = reinterpret_cast<EntriesIterator*>(self);
    if (it->walker == nullptr) return PyRef();  // exhausted: null without an exception
    const std::optional<Walker::Position> p = it->walker->next();
    if (!p) {
      delete it->walker;
      it->walker = nullptr;
      return PyRef();
    }
    return new_entry(p->layer, p->record, p->tag);
  });
}

void iterator_dealloc(PyObject* self) noexcept {
  auto* it = reinterpret_cast<EntriesIterator*>(self);
  PyTypeObject* type = Py_TYPE(self);
  delete it->walker;
  Py_XDECREF(it->dictionary);
  type->tp_free(self);
  Py_DECREF(type);
}

constinit OnceObject iterator_type_object;

PyObject* create_iterator_type() noexcept {
  PyType_Slot slots[] = {
      {Py_tp_iter, as_slot(&PyObject_SelfIter)},
      {Py_tp_iternext, as_slot(&iterator_next)},
      {Py_tp_dealloc, as_slot(&iterator_dealloc)},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex._core.EntriesIterator",
      .basicsize = static_cast<int>(sizeof(EntriesIterator)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

// --- construction ---------------------------------------------------------------------

bool is_path(PyObject* o) noexcept {
  if (PyUnicode_Check(o)) return true;
  if (PyBytes_Check(o)) return false;
  PyObject* fspath = nullptr;
  const int has = PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)),
                                                 "__fspath__", &fspath);
  Py_XDECREF(fspath);
  if (has < 0) PyErr_Clear();
  return has > 0;
}

PythonError not_a_path(PyObject* o) {
  return type_error(steal(PyUnicode_FromFormat(
      "Dictionary() paths must be a path (a str or an os.PathLike) or an iterable of paths, "
      "not %s",
      Py_TYPE(o)->tp_name)));
}

constexpr std::array<std::string_view, 1> kNewParameters = {"paths"};
constexpr FunctionDescription kNewDescription = {
    .function_name = "Dictionary",
    .class_name = std::nullopt,
    .parameter_names = kNewParameters,
    .required_count = 1,
};

PyObject* dictionary_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    // Bind as a fast call would: positional arguments, then keywords.
    std::vector<PyObject*> values;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs; ++i) values.push_back(PyTuple_GET_ITEM(args, i));
    PyRef names;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      names = steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!names) return Err{PythonError::fetch()};
      Py_ssize_t pos = 0, i = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), i++, Py_NewRef(key));
        values.push_back(value);
      }
    }
    auto bound = bind_arguments<1>(kNewDescription, values.data(), nargs, names.get());
    if (!bound) return Err{std::move(bound.error())};
    PyObject* given = bound.value()[0];

    PyRef paths_list = steal(PyList_New(0));
    if (!paths_list) return Err{PythonError::fetch()};
    if (is_path(given)) {
      if (PyList_Append(paths_list.get(), given) < 0) return Err{PythonError::fetch()};
    } else {
      if (PyBytes_Check(given)) return Err{not_a_path(given)};
      PyRef iterator = steal(PyObject_GetIter(given));
      if (!iterator) {
        PyErr_Clear();
        return Err{not_a_path(given)};
      }
      while (PyRef item = steal(PyIter_Next(iterator.get()))) {
        if (!is_path(item.get())) return Err{not_a_path(item.get())};
        if (PyList_Append(paths_list.get(), item.get()) < 0) return Err{PythonError::fetch()};
      }
      if (PyErr_Occurred()) return Err{PythonError::fetch()};
    }
    const Py_ssize_t n = PyList_GET_SIZE(paths_list.get());
    if (n == 0) {
      return Err{PythonError::lazy(PyExc_ValueError, "a Dictionary needs at least one .tlex file")};
    }
    PyRef paths = steal(PyTuple_New(n));
    PyRef opened = steal(PyTuple_New(n));
    if (!paths || !opened) return Err{PythonError::fetch()};
    for (Py_ssize_t i = 0; i < n; ++i) {
      auto layer = open_layer(PyList_GET_ITEM(paths_list.get(), i));
      if (!layer) return Err{std::move(layer.error())};
      PyTuple_SET_ITEM(paths.get(), i, Py_NewRef(layer_of(layer.value().get()).path()));
      PyTuple_SET_ITEM(opened.get(), i, layer.value().release());
    }
    PyRef self = steal(type->tp_alloc(type, 0));
    if (!self) return Err{PythonError::fetch()};
    as_dictionary(self.get())->paths = paths.release();
    as_dictionary(self.get())->layers = opened.release();
    return self;
  });
}

void dictionary_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_dictionary(self)->paths);
  Py_XDECREF(as_dictionary(self)->layers);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- by tag -------------------------------------------------------------------------

constexpr std::array<std::string_view, 2> kTagParameters = {"tag", "creator"};
constexpr FunctionDescription kGetDescription = {
    .function_name = "get",
    .class_name = "Dictionary",
    .parameter_names = kTagParameters,
    .required_count = 1,
};
constexpr FunctionDescription kKeywordForTagDescription = {
    .function_name = "keyword_for_tag",
    .class_name = "Dictionary",
    .parameter_names = kTagParameters,
    .required_count = 1,
};
constexpr FunctionDescription kPrivateEntriesDescription = {
    .function_name = "private_entries",
    .class_name = "Dictionary",
    .parameter_names = std::span<const std::string_view>(kTagParameters).first(1),
    .required_count = 1,
};

// The answer to (tag, creator), or nothing.
PyResult<std::optional<Answer>> ask(PyObject* self, PyObject* tag, PyObject* creator) {
  auto all = layers(self);
  if (!all) return Err{std::move(all.error())};
  auto asked = read_tag(tag);
  if (!asked) return Err{std::move(asked.error())};
  auto c = read_creator(creator);
  if (!c) return Err{std::move(c.error())};
  const AskedCreator* chosen = c.value() ? &*c.value() : nullptr;
  return answer(all.value(), asked.value(), chosen);
}

PyObject* dictionary_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    PyObject* tag;
    PyObject* creator = nullptr;
    if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {
      tag = args[0];
      if (nargs == 2) creator = args[1];
    } else {
      auto bound = bind_arguments<2>(kGetDescription, args, nargs, kwnames);
      if (!bound) return Err{std::move(bound.error())};
      tag = bound.value()[0];
      creator = bound.value()[1];
    }
    // The common case in a few operations: an int tag without a creator.
    if (creator == nullptr && PyLong_CheckExact(tag) && as_dictionary(self)->layers != nullptr) {
      const long long v = PyLong_AsLongLong(tag);
      if (v >= 0 && v <= 0xFFFFFFFFLL) {
        const std::span<PyObject* const> all = layers_of(self);
        const auto g = static_cast<std::uint16_t>(v >> 16);
        const auto e = static_cast<std::uint16_t>(v & 0xFFFF);
        if (auto hit = layer_of(all[0]).standard(g, e)) {
          return new_entry(all[0], hit->record, static_cast<std::uint32_t>(v));
        }
        Asked asked;
        asked.group = g;
        asked.element = e;
        const std::optional<Answer> a = answer(all.subspan(1), asked, nullptr);
        if (a) return entry_of(*a, nullptr);
        if ((g & 1) != 0 && e >= 0x10 && e <= 0xFF) {
          return entry_of(Answer{nullptr, 0, static_cast<std::uint32_t>(v)}, nullptr);
        }
        return borrow(Py_None);
      }
      if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    auto found = ask(self, tag, creator);
    if (!found) return Err{std::move(found.error())};
    if (!found.value()) return borrow(Py_None);
    return entry_of(*found.value(), creator);
  });
}

PyObject* dictionary_keyword_for_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto bound = bind_arguments<2>(kKeywordForTagDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto found = ask(self, bound.value()[0], bound.value()[1]);
    if (!found) return Err{std::move(found.error())};
    const std::optional<Answer>& a = found.value();
    if (!a) return borrow(Py_None);
    if (a->layer == nullptr) return expect_object(new_text("PrivateCreator").release());
    return expect_object(new_text(layer_of(a->layer).view().record(a->record).keyword()).release());
  });
}

// The tag and creator of a key: d[tag] or d[tag, creator].
std::pair<PyObject*, PyObject*> split_key(PyObject* key) noexcept {
  if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 2) {
    PyObject* second = PyTuple_GET_ITEM(key, 1);
    if (second == Py_None || PyUnicode_Check(second)) return {PyTuple_GET_ITEM(key, 0), second};
  }
  return {key, nullptr};
}

// d[tag] or d[tag, creator]: the entry, or what __missing__(tag, creator)
// says (taglex.Dictionary raises a KeyError with a hint there).
PyObject* dictionary_subscript(PyObject* self, PyObject* key) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    const auto [tag, creator] = split_key(key);
    auto found = ask(self, tag, creator);
    if (!found) return Err{std::move(found.error())};
    if (found.value()) return entry_of(*found.value(), creator);
    PyObject* missing = nullptr;
    if (PyObject_GetOptionalAttrString(self, "__missing__", &missing) < 0) {
      return Err{PythonError::fetch()};
    }
    if (missing != nullptr) {
      PyRef method = steal(missing);
      PyRef result = steal(PyObject_CallFunctionObjArgs(method.get(), tag,
                                                        creator != nullptr ? creator : Py_None,
                                                        nullptr));
      if (!result) return Err{PythonError::fetch()};
      return result;
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return Err{PythonError::fetch()};
  });
}

// `key in d`: whether d[key] has an entry; False for what is no tag.
int dictionary_contains(PyObject* self, PyObject* key) noexcept {
  return entry([&]() -> PyResult<Py_ssize_t> {
    const auto [tag, creator] = split_key(key);
    auto found = ask(self, tag, creator);
    if (!found) {
      PythonError error = std::move(found.error());
      PyObject* e = error.value();
      if (PyErr_GivenExceptionMatches(e, PyExc_ValueError) ||
          PyErr_GivenExceptionMatches(e, PyExc_TypeError)) {
        return Py_ssize_t{0};
      }
      return Err{std::move(error)};
    }
    return Py_ssize_t{found.value() ? 1 : 0};
  });
}

// --- by keyword -------------------------------------------------------------------------

constexpr std::array<std::string_view, 2> kKeywordParameters = {"keyword", "creator"};
constexpr FunctionDescription kTagForKeywordDescription = {
    .function_name = "tag_for_keyword",
    .class_name = "Dictionary",
    .parameter_names = kKeywordParameters,
    .required_count = 1,
};

PyObject* dictionary_tag_for_keyword(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    PyObject* keyword;
    PyObject* creator = nullptr;
    if (kwnames == nullptr && nargs == 1) {
      keyword = args[0];
    } else {
      auto bound = bind_arguments<2>(kTagForKeywordDescription, args, nargs, kwnames);
      if (!bound) return Err{std::move(bound.error())};
      keyword = bound.value()[0];
      creator = bound.value()[1];
    }
    auto text = text_argument(keyword, "tag_for_keyword", "keyword");
    if (!text) return Err{std::move(text.error())};
    auto c = read_creator(creator);
    if (!c) return Err{std::move(c.error())};
    Asked asked;
    asked.form = Asked::Form::kKeyword;
    asked.keyword = text.value();
    asked.keyword_object = keyword;
    const std::optional<Answer> a =
        answer(all.value(), asked, c.value() ? &*c.value() : nullptr);
    if (!a) return borrow(Py_None);
    return expect_object(PyLong_FromUnsignedLong(a->tag));
  });
}

constexpr std::array<std::string_view, 1> kCreatorParameter = {"creator"};

PyResult<std::optional<AskedCreator>> optional_creator(PyObject* const* args, Py_ssize_t nargs,
                                                       PyObject* kwnames,
                                                       const FunctionDescription& d) {
  auto bound = bind_arguments<1>(d, args, nargs, kwnames);
  if (!bound) return Err{std::move(bound.error())};
  return read_creator(bound.value()[0]);
}

constexpr FunctionDescription kKeywordsDescription = {
    .function_name = "keywords",
    .class_name = "Dictionary",
    .parameter_names = kCreatorParameter,
    .required_count = 0,
};

// Every keyword: of the standard elements (former ones included), or of the
// private elements of one creator. Each once, in no particular order.
PyObject* dictionary_keywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto c = optional_creator(args, nargs, kwnames, kKeywordsDescription);
    if (!c) return Err{std::move(c.error())};
    std::unordered_set<std::string_view> seen;
    PyRef out = expect_object(PyList_New(0));
    const auto add = [&](std::string_view keyword) -> bool {
      if (keyword.empty() || !seen.insert(keyword).second) return true;
      PyRef s = expect_object(new_text(keyword).release());
      return PyList_Append(out.get(), s.get()) == 0;
    };
    for (PyObject* layer : all.value()) {
      const Layer& l = layer_of(layer);
      if (!c.value()) {
        for (const std::string_view k : l.standard_index().keywords()) {
          if (!add(k)) return Err{PythonError::fetch()};
        }
        continue;
      }
      if (c.value()->unmatchable) break;
      const taglex::PrivateIndex::Creator* found = l.private_index().find(c.value()->canonical());
      if (found == nullptr) continue;
      for (const std::uint32_t k : found->entries) {
        if (!add(l.view().record_of_entry(k).keyword())) return Err{PythonError::fetch()};
      }
    }
    return out;
  });
}

// --- by creator ---------------------------------------------------------------------------

// The private creators, one spelling each (that of the first layer holding
// the creator), in no particular order.
PyObject* dictionary_creators(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    std::unordered_set<std::string_view> seen;
    PyRef out = expect_object(PyList_New(0));
    for (PyObject* layer : all.value()) {
      for (const auto& c : layer_of(layer).private_index().creators()) {
        if (!seen.insert(c.canonical).second) continue;
        PyRef s = expect_object(new_text(c.spelling).release());
        if (PyList_Append(out.get(), s.get()) < 0) return Err{PythonError::fetch()};
      }
    }
    return out;
  });
}

constexpr FunctionDescription kHasCreatorDescription = {
    .function_name = "has_creator",
    .class_name = "Dictionary",
    .parameter_names = kCreatorParameter,
    .required_count = 1,
};

PyObject* dictionary_has_creator(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto bound = bind_arguments<1>(kHasCreatorDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto text = text_argument(bound.value()[0], "has_creator", "creator");
    if (!text) return Err{std::move(text.error())};
    const AskedCreator c = AskedCreator::of(text.value());
    for (PyObject* layer : all.value()) {
      if (layer_of(layer).private_index().find(c.canonical()) != nullptr) return borrow(Py_True);
    }
    return borrow(Py_False);
  });
}

constexpr FunctionDescription kElementsDescription = {
    .function_name = "elements",
    .class_name = "Dictionary",
    .parameter_names = kCreatorParameter,
    .required_count = 1,
};

// The entries of one creator, sorted by group and element (a block form
// before the exact elements of the same number).
PyObject* dictionary_elements(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto bound = bind_arguments<1>(kElementsDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    PyObject* creator = bound.value()[0];
    auto text = text_argument(creator, "elements", "creator");
    if (!text) return Err{std::move(text.error())};
    const AskedCreator c = AskedCreator::of(text.value());
    // (group, element, block form first)
    std::vector<std::tuple<std::uint16_t, std::uint16_t, bool>> keys;
    for (PyObject* layer : all.value()) {
      const Layer& l = layer_of(layer);
      const taglex::PrivateIndex::Creator* found = l.private_index().find(c.canonical());
      if (found == nullptr) continue;
      for (const std::uint32_t k : found->entries) {
        const taglex::IndexEntry e = l.view().index_entry(k);
        const bool block = l.view().record(e.record_index()).element_is_block_offset();
        keys.emplace_back(e.group(), e.element(), !block);
      }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    PyRef out = expect_object(PyList_New(0));
    for (const auto& [group, element, exact] : keys) {
      Asked asked;
      asked.form = exact ? Asked::Form::kTag : Asked::Form::kBlock;
      asked.group = group;
      asked.element = element;
      const std::optional<Answer> a = answer(all.value(), asked, &c);
      if (!a || a->layer == nullptr) continue;
      auto e = entry_of(*a, creator);
      if (!e) return Err{std::move(e.error())};
      if (PyList_Append(out.get(), e.value().get()) < 0) return Err{PythonError::fetch()};
    }
    return out;
  });
}

// The private entries, under any creator, that a tag or keyword names: a
// tag (gggg,bbee) or (gggg,xxee) of an odd group, or the keyword of a
// private element. For telling someone which creator to give.
PyObject* dictionary_private_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto bound = bind_arguments<1>(kPrivateEntriesDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto asked = read_tag(bound.value()[0]);
    if (!asked) return Err{std::move(asked.error())};
    const Asked& a = asked.value();
    PyRef out = expect_object(PyList_New(0));
    const auto add = [&](PyObject* layer, const taglex::IndexEntry& e, bool block) -> bool {
      const std::uint32_t tag = block && a.form == Asked::Form::kTag && a.element > 0xFF
                                    ? (std::uint32_t{a.group} << 16 | a.element)
                                    : shown_tag(e, block);
      auto made = new_entry(layer, e.record_index(), tag);
      if (!made) {
        std::move(made.error()).restore();
        return false;
      }
      return PyList_Append(out.get(), made.value().get()) == 0;
    };
    for (PyObject* layer : all.value()) {
      const Layer& l = layer_of(layer);
      const taglex::DictionaryView& v = l.view();
      if (a.form == Asked::Form::kKeyword) {
        for (const auto& creator : l.private_index().creators()) {
          for (const std::uint32_t k : creator.entries) {
            const taglex::IndexEntry e = v.index_entry(k);
            const taglex::TagView r = v.record(e.record_index());
            if (r.keyword() == a.keyword && !add(layer, e, r.element_is_block_offset())) {
              return Err{PythonError::fetch()};
            }
          }
        }
        continue;
      }
      if ((a.group & 1) == 0 || v.len() == 0) continue;
      // Entries of one (group, element) lie side by side: every creator's.
      const auto scan = [&](std::uint16_t element, bool block) -> bool {
        std::uint32_t k = v.position_of(a.group, element, 0);
        for (; k < v.len(); ++k) {
          const taglex::IndexEntry e = v.index_entry(k);
          if (e.group() < a.group || (e.group() == a.group && e.element() < element)) continue;
          if (e.group() != a.group || e.element() != element) break;
          if (e.creator_hash() == 0) continue;
          const taglex::TagView r = v.record(e.record_index());
          if (r.raw().creator_len() == 0 || r.element_is_block_offset() != block) continue;
          if (!add(layer, e, block)) return false;
        }
        return true;
      };
      const bool ok = a.form == Asked::Form::kBlock
                          ? scan(a.element, true)
                          : scan(a.element, false) &&
                                (a.element <= 0xFF || scan(a.element & 0xFF, true));
      if (!ok) return Err{PythonError::fetch()};
    }
    return out;
  });
}

// --- everything -------------------------------------------------------------------------

PyObject* dictionary_iter(PyObject* self) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    PyTypeObject* type = entries_iterator_type();
    if (type == nullptr) return Err{PythonError::fetch()};
    PyRef it = steal(type->tp_alloc(type, 0));
    if (!it) return Err{PythonError::fetch()};
    auto* object = reinterpret_cast<EntriesIterator*>(it.get());
    object->dictionary = Py_NewRef(self);
    object->walker = new Walker(all.value());
    return it;
  });
}

bool ascii_lower_contains(std::string_view text, std::string_view needle) noexcept {
  if (needle.empty()) return true;
  if (needle.size() > text.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t j = 0;
    while (j < needle.size() && lower(text[i + j]) == needle[j]) ++j;
    if (j == needle.size()) return true;
  }
  return false;
}

bool is_ascii(std::string_view s) noexcept {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

constexpr std::array<std::string_view, 2> kMatchingParameters = {"name", "keyword"};
constexpr FunctionDescription kMatchingDescription = {
    .function_name = "matching",
    .class_name = "Dictionary",
    .parameter_names = kMatchingParameters,
    .required_count = 2,
};

// The entries of iteration whose name contains `name` or whose keyword
// contains `keyword`, both given in lower case, letters compared in either
// case. A text or needle beyond ASCII is kept for the caller to decide.
PyObject* dictionary_matching(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto bound = bind_arguments<2>(kMatchingDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    auto name = text_argument(bound.value()[0], "matching", "name");
    if (!name) return Err{std::move(name.error())};
    auto keyword = text_argument(bound.value()[1], "matching", "keyword");
    if (!keyword) return Err{std::move(keyword.error())};
    const bool loose = !is_ascii(name.value()) || !is_ascii(keyword.value());
    const auto matches = [&](std::string_view text, std::string_view needle) {
      return ascii_lower_contains(text, needle) || ((loose || !is_ascii(text)) && !text.empty());
    };
    PyRef out = expect_object(PyList_New(0));
    Walker walker(all.value());
    while (const auto p = walker.next()) {
      const taglex::TagView r = layer_of(p->layer).view().record(p->record);
      if (!matches(r.keyword(), keyword.value()) && !matches(r.name(), name.value())) continue;
      auto e = new_entry(p->layer, p->record, p->tag);
      if (!e) return Err{std::move(e.error())};
      if (PyList_Append(out.get(), e.value().get()) < 0) return Err{PythonError::fetch()};
    }
    return out;
  });
}

// The repeating masks of the standard elements: (mask, keyword) pairs, each
// mask once (the first layer's), e.g. ("60xx3000", "OverlayData").
PyObject* dictionary_repeaters(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    std::vector<std::uint64_t> seen;
    PyRef out = expect_object(PyList_New(0));
    for (PyObject* layer : all.value()) {
      for (const auto& r : layer_of(layer).standard_index().repeaters()) {
        const std::uint64_t key = std::uint64_t{r.mask.value} << 32 | r.mask.care;
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
        seen.push_back(key);
        PyRef pair = expect_object(Py_BuildValue("(s#s#)", r.mask.text().c_str(),
                                                 static_cast<Py_ssize_t>(8), r.keyword.data(),
                                                 static_cast<Py_ssize_t>(r.keyword.size())));
        if (PyList_Append(out.get(), pair.get()) < 0) return Err{PythonError::fetch()};
      }
    }
    return out;
  });
}

// What each layer holds: a dict per layer with its path, size in bytes,
// index entries, records and bytes of text.
PyObject* dictionary_stats(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    PyRef out = expect_object(PyList_New(0));
    for (PyObject* layer : all.value()) {
      const Layer& l = layer_of(layer);
      PyRef d = expect_object(Py_BuildValue(
          "{s:O,s:n,s:k,s:k,s:k}", "path", l.path(), "size", static_cast<Py_ssize_t>(l.file_size()),
          "entries", static_cast<unsigned long>(l.view().len()), "records",
          static_cast<unsigned long>(l.view().record_count()), "strings",
          static_cast<unsigned long>(l.view().strings_len())));
      if (PyList_Append(out.get(), d.get()) < 0) return Err{PythonError::fetch()};
    }
    return out;
  });
}

constexpr std::array<std::string_view, 1> kRecordsParameters = {"layer"};
constexpr FunctionDescription kRecordsDescription = {
    .function_name = "records",
    .class_name = "Dictionary",
    .parameter_names = kRecordsParameters,
    .required_count = 0,
};

// Every record of one layer (0 unless given), in the order the file stores
// them, duplicates and records no index entry names included: a new dict
// each, with the fields of Entry.as_dict().
PyObject* dictionary_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto all = layers(self);
    if (!all) return Err{std::move(all.error())};
    auto bound = bind_arguments<1>(kRecordsDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    Py_ssize_t which = 0;
    if (bound.value()[0] != nullptr) {
      which = PyNumber_AsSsize_t(bound.value()[0], PyExc_IndexError);
      if (which == -1 && PyErr_Occurred()) return Err{PythonError::fetch()};
    }
    if (which < 0 || static_cast<std::size_t>(which) >= all.value().size()) {
      return Err{PythonError::lazy(PyExc_IndexError, "records(): no such layer")};
    }
    PyObject* layer = all.value()[static_cast<std::size_t>(which)];
    const taglex::DictionaryView& v = layer_of(layer).view();
    PyRef out = expect_object(PyList_New(0));
    PyRef as_dict_name = expect_object(PyUnicode_FromString("as_dict"));
    for (std::uint32_t r = 0; r < v.record_count(); ++r) {
      auto e = new_entry(layer, r, 0);
      if (!e) return Err{std::move(e.error())};
      PyRef d = steal(PyObject_CallMethodNoArgs(e.value().get(), as_dict_name.get()));
      if (!d) return Err{PythonError::fetch()};
      if (PyList_Append(out.get(), d.get()) < 0) return Err{PythonError::fetch()};
    }
    return out;
  });
}

PyObject* dictionary_paths(PyObject* self, void*) noexcept {
  PyObject* paths = as_dictionary(self)->paths;
  return Py_NewRef(paths != nullptr ? paths : Py_None);
}

// --- registration -----------------------------------------------------------------------

PyMethodDef dictionary_methods[] = {
    {"get", as_method(&dictionary_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, tag, creator=None)\n--\n\n"
     "The entry of `tag` (with `creator` for a private element), or None.\n\n"
     "`tag` is an int 0xGGGGEEEE (or an int subclass such as pydicom's BaseTag),\n"
     "a (group, element) pair, a text such as \"(0010,0010)\", \"0010,0010\",\n"
     "\"00100010\", \"0x00100010\" or \"(0029,xx10)\", or a keyword. A private tag\n"
     "written with its block, such as 0x00291010, finds the creator's entry for that\n"
     "element, else its entry in block form; a creator given with a standard tag\n"
     "finds its own entry first, else the standard element. A private creator\n"
     "element (gggg,0010-00FF) that no layer describes answers as \"Private\n"
     "Creator\", LO. Raises ValueError for an ill-formed tag and TypeError for\n"
     "something that is no tag at all."},
    {"keyword_for_tag", as_method(&dictionary_keyword_for_tag), METH_FASTCALL | METH_KEYWORDS,
     "keyword_for_tag($self, tag, creator=None)\n--\n\n"
     "The keyword of a tag (as get() finds it), or None."},
    {"tag_for_keyword", as_method(&dictionary_tag_for_keyword), METH_FASTCALL | METH_KEYWORDS,
     "tag_for_keyword($self, keyword, creator=None)\n--\n\n"
     "The tag of a keyword, or None. Without `creator` the standard elements are\n"
     "searched (a former keyword finds its element); with one, that creator's\n"
     "private elements, the creator in any spelling. A private element in block\n"
     "form answers with its tag in the first block (0xGGGG10EE)."},
    {"keywords", as_method(&dictionary_keywords), METH_FASTCALL | METH_KEYWORDS,
     "keywords($self, creator=None)\n--\n\n"
     "Every keyword of the standard elements (former ones included), or of one\n"
     "creator's private elements; each once, in no particular order."},
    {"creators", as_method(&dictionary_creators), METH_NOARGS,
     "creators($self)\n--\n\nThe private creators, one spelling each, in no particular order."},
    {"has_creator", as_method(&dictionary_has_creator), METH_FASTCALL | METH_KEYWORDS,
     "has_creator($self, creator)\n--\n\nWhether some layer has private elements of `creator`."},
    {"elements", as_method(&dictionary_elements), METH_FASTCALL | METH_KEYWORDS,
     "elements($self, creator)\n--\n\n"
     "The entries of one private creator (in any spelling), by group and element."},
    {"private_entries", as_method(&dictionary_private_entries), METH_FASTCALL | METH_KEYWORDS,
     "private_entries($self, tag)\n--\n\n"
     "The private entries, under every creator, that a tag of an odd group or a\n"
     "keyword names: which creators define it."},
    {"matching", as_method(&dictionary_matching), METH_FASTCALL | METH_KEYWORDS,
     "matching($self, name, keyword)\n--\n\n"
     "The entries whose name contains `name` or whose keyword contains `keyword`\n"
     "(both in lower case; letters compared in either case). Texts beyond ASCII\n"
     "are kept, for the caller to compare."},
    {"repeaters", as_method(&dictionary_repeaters), METH_NOARGS,
     "repeaters($self)\n--\n\nThe repeating masks and their keywords, e.g. ('60xx3000', "
     "'OverlayData')."},
    {"stats", as_method(&dictionary_stats), METH_NOARGS,
     "stats($self)\n--\n\nPer layer: path, size, entries, records and strings (bytes)."},
    {"records", as_method(&dictionary_records), METH_FASTCALL | METH_KEYWORDS,
     "records($self, layer=0)\n--\n\n"
     "Every record of one layer as stored, in file order, as dicts."},
    {},
};

PyGetSetDef dictionary_getset[] = {
    {"paths", dictionary_paths, nullptr, "The paths of the layers, in order.", nullptr},
    {},
};

constinit OnceObject dictionary_type_object;

PyObject* create_dictionary_type() noexcept {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("One or more .tlex files, searched in order.")},
      {Py_tp_new, as_slot(&dictionary_new)},
      {Py_tp_dealloc, as_slot(&dictionary_dealloc)},
      {Py_tp_methods, dictionary_methods},
      {Py_tp_getset, dictionary_getset},
      {Py_tp_iter, as_slot(&dictionary_iter)},
      {Py_mp_subscript, as_slot(&dictionary_subscript)},
      {Py_sq_contains, as_slot(&dictionary_contains)},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex._core.Dictionary",
      .basicsize = static_cast<int>(sizeof(DictionaryObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

}  // namespace

PyTypeObject* dictionary_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(dictionary_type_object.get(create_dictionary_type));
}

PyTypeObject* entries_iterator_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(iterator_type_object.get(create_iterator_type));
}

bool is_dictionary(PyObject* o) noexcept {
  PyTypeObject* type = dictionary_type();
  return type != nullptr && PyObject_TypeCheck(o, type) &&
         reinterpret_cast<DictionaryObject*>(o)->layers != nullptr;
}

}  // namespace taglex::py
