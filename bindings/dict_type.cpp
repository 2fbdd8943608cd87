// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "dict_type.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "binder.hpp"
#include "boundary.hpp"
#include "once.hpp"
#include "strings.hpp"
#include "taglex/text.hpp"

namespace taglex::py {
namespace {

// Functions stored in a PyMethodDef are declared with the generic PyCFunction
// signature; the flags tell the interpreter the real one.
template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class F>
void* as_slot(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

// The dictionary of `self`, or the error for an instance that open() did not
// make.
PyResult<const taglex::TlexDict*> inner_of(PyObject* self) noexcept {
  const auto* object = reinterpret_cast<const PyTlexDict*>(self);
  if (!object->holds) {
    return Err{PythonError::lazy(
        PyExc_ValueError, "Dict holds no dictionary (Dicts are made by taglex._taglex.open)")};
  }
  return object->inner.get();
}

constexpr std::array<std::string_view, 3> kLookupParameters = {"group", "element", "creator"};
constexpr FunctionDescription kLookupDescription = {
    .function_name = "lookup",
    .class_name = "Dict",
    .parameter_names = kLookupParameters,
    .required_count = 2,
};

constexpr std::array<std::string_view, 3> kExitParameters = {"_exc_type", "_exc", "_tb"};
constexpr FunctionDescription kExitDescription = {
    .function_name = "__exit__",
    .class_name = "Dict",
    .parameter_names = kExitParameters,
    .required_count = 0,
};

// ---------------------------------------------------------------------------
// Building the lookup result

// The ten keys of a result, in their order. Every result gets new key
// objects; what is made once per process is their hashes, which each new key
// is given at birth, so that inserting it hashes nothing.
constexpr std::array<std::string_view, 10> kKeys = {
    "group", "element", "creator", "keyword", "name",
    "vr", "description", "retired", "block_offset", "sources",
};
// 0 until known (a text whose hash is 0 is hashed each time).
constinit std::atomic<Py_hash_t> key_hashes[kKeys.size()] = {};

PyRef new_text(std::string_view text,
               taglex::SourceLocation where = taglex::SourceLocation::current()) {
  return expect_object(py::new_text(text).release(), where);
}

// A new key object for kKeys[i], its hash already set.
PyRef new_key(std::size_t i) {
  PyRef key = new_text(kKeys[i]);
  Py_hash_t h = key_hashes[i].load(std::memory_order_relaxed);
  if (h == 0) {
    // The hash of equal text is the same in any thread: a race only
    // stores the same value twice.
    h = PyObject_Hash(key.get());
    if (h == -1) {
      PyErr_Clear();
      return key;
    }
    key_hashes[i].store(h, std::memory_order_relaxed);
  } else {
    reinterpret_cast<PyASCIIObject*>(key.get())->hash = h;
  }
  return key;
}

PyObject* new_result_dict() {
  // Sized for the ten entries, so that filling it never resizes it.
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(kKeys.size()));
}

// The ten entries of a found tag, in this order: group, element, creator,
// keyword, name, vr, description, retired, block_offset, sources. Every key
// and value is a new object.
PyResult<PyRef> tag_to_dict(const taglex::TagView& tag) {
  PyRef result = expect_object(new_result_dict());
  std::size_t next = 0;
  // True when the entry was stored; false with the Python error pending.
  auto set = [&](PyRef value) -> bool {
    PyRef key_object = new_key(next++);
    return PyDict_SetItem(result.get(), key_object.get(), value.get()) == 0;
  };
  auto set_bool = [&](bool value) { return set(borrow(value ? Py_True : Py_False)); };
  if (!set(expect_object(PyLong_FromLong(tag.group()))) ||
      !set(expect_object(PyLong_FromLong(tag.element()))) || !set(new_text(tag.creator())) ||
      !set(new_text(tag.keyword())) || !set(new_text(tag.name())) || !set(new_text(tag.vr())) ||
      !set(new_text(tag.description())) || !set_bool(tag.retired()) ||
      !set_bool(tag.element_is_block_offset())) {
    return Err{PythonError::fetch()};
  }
  // Count the pieces first, so that the list is made at its final length
  // without a temporary container; then fill it in order.
  const taglex::Sources sources = tag.sources();
  const auto count = std::distance(sources.begin(), sources.end());
  PyRef list = expect_object(PyList_New(static_cast<Py_ssize_t>(count)));
  Py_ssize_t i = 0;
  for (const std::string_view piece : sources) {
    PyList_SET_ITEM(list.get(), i++, new_text(piece).release());
  }
  if (!set(std::move(list))) return Err{PythonError::fetch()};
  return result;
}

// ---------------------------------------------------------------------------
// Methods and slots

PyObject* dict_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto inner = inner_of(self);
    if (!inner) return Err{std::move(inner.error())};
    auto bound = bind_arguments<kLookupParameters.size()>(kLookupDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    const auto& slots = bound.value();
    auto group = extract_u16(slots[0]);
    if (!group) return Err{argument_extraction_error("group", std::move(group.error()))};
    auto element = extract_u16(slots[1]);
    if (!element) return Err{argument_extraction_error("element", std::move(element.error()))};
    std::optional<std::string_view> creator;
    if (slots[2] != nullptr && slots[2] != Py_None) {
      auto text = extract_text(slots[2]);
      if (!text) return Err{argument_extraction_error("creator", std::move(text.error()))};
      creator = text.value();
    }

    const std::optional<taglex::TagView> tag =
        inner.value()->lookup(group.value(), element.value(), creator);
    if (!tag) return borrow(Py_None);
    return tag_to_dict(*tag);
  });
}

PyObject* dict_enter(PyObject* self, PyObject* /*unused*/) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto inner = inner_of(self);
    if (!inner) return Err{std::move(inner.error())};
    return borrow(self);
  });
}

PyObject* dict_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto inner = inner_of(self);
    if (!inner) return Err{std::move(inner.error())};
    // The arguments are bound (so that a wrong call is refused) and ignored:
    // leaving a `with` block releases nothing.
    auto bound = bind_arguments<kExitParameters.size()>(kExitDescription, args, nargs, kwnames);
    if (!bound) return Err{std::move(bound.error())};
    return borrow(Py_False);
  });
}

Py_ssize_t dict_length(PyObject* self) noexcept {
  return entry([&]() -> PyResult<Py_ssize_t> {
    auto inner = inner_of(self);
    if (!inner) return Err{std::move(inner.error())};
    return static_cast<Py_ssize_t>(inner.value()->len());
  });
}

PyObject* dict_repr(PyObject* self) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    auto inner = inner_of(self);
    if (!inner) return Err{std::move(inner.error())};
    std::string text = "<taglex.Dict len=";
    append_decimal(text, inner.value()->len());
    text += ">";
    PyRef repr = new_str(text);
    if (!repr) return Err{PythonError::fetch()};
    return repr;
  });
}

void dict_dealloc(PyObject* self) noexcept {
  entry_dealloc([&] {
    PyTypeObject* type = Py_TYPE(self);
    // Dropping the handle closes the file and removes the mapping when this
    // object was its last holder.
    auto* object = reinterpret_cast<PyTlexDict*>(self);
    if (object->holds) std::destroy_at(&object->inner);
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
  });
}

// ---------------------------------------------------------------------------
// Registration

PyMethodDef dict_methods[] = {
    {
        .ml_name = "lookup",
        .ml_meth = as_method(&dict_lookup),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "lookup($self, group, element, creator=None)\n--\n\n"
                  "Look up a tag. Returns a dict or `None`.\n\n"
                  "`element` is the low byte for private tags (the \"xx\" form).",
    },
    {
        .ml_name = "__enter__",
        .ml_meth = as_method(&dict_enter),
        .ml_flags = METH_NOARGS,
        .ml_doc = "__enter__($self)\n--\n\n"
                  "Context-manager support (no-op - mmap is released on drop).",
    },
    {
        .ml_name = "__exit__",
        .ml_meth = as_method(&dict_exit),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "__exit__($self, _exc_type=None, _exc=None, _tb=None)\n--\n\n",
    },
    {},
};

constinit OnceObject dict_type_object;

PyObject* create_dict_type() noexcept {
  PyType_Slot slots[] = {
      {.slot = Py_tp_doc,
       .pfunc = const_cast<char*>("Opaque handle holding an mmap'd dictionary.")},
      {.slot = Py_mp_length, .pfunc = as_slot(&dict_length)},
      {.slot = Py_tp_repr, .pfunc = as_slot(&dict_repr)},
      {.slot = Py_tp_methods, .pfunc = dict_methods},
      {.slot = Py_tp_base, .pfunc = &PyBaseObject_Type},
      {.slot = Py_tp_dealloc, .pfunc = as_slot(&dict_dealloc)},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex._taglex.Dict",
      .basicsize = static_cast<int>(sizeof(PyTlexDict)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

}  // namespace

PyTypeObject* dict_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(dict_type_object.get(create_dict_type));
}

PyResult<PyRef> new_dict_object(std::shared_ptr<const taglex::TlexDict> inner) {
  PyTypeObject* type = dict_type();
  if (type == nullptr) return Err{PythonError::fetch()};
  // As object() would make it: base tp_new, allocation through tp_alloc, no
  // __init__. Dict itself has no constructor that Python could call.
  PyRef no_args = steal(PyTuple_New(0));
  if (!no_args) return Err{PythonError::fetch()};
  PyRef object = steal(PyBaseObject_Type.tp_new(type, no_args.get(), nullptr));
  if (!object) return Err{PythonError::fetch()};  // `inner` goes out of scope here
  auto* dict = reinterpret_cast<PyTlexDict*>(object.get());
  new (&dict->inner) std::shared_ptr<const taglex::TlexDict>(std::move(inner));
  dict->holds = true;
  return object;
}

}  // namespace taglex::py
