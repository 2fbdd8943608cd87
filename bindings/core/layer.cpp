// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "layer.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <variant>

#include "boundary.hpp"
#include "once.hpp"
#include "paths.hpp"
#include "taglex/canonical.hpp"
#include "taglex/overloaded.hpp"
#include "taglex/text.hpp"
#include "texts.hpp"

namespace taglex::py {
namespace {

// --- objects --------------------------------------------------------------------

void layer_dealloc(PyObject* self) noexcept {
  entry_dealloc([&] {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LayerObject*>(self)->layer;  // closes the file, unmaps it
    type->tp_free(self);
    Py_DECREF(type);
  });
}

constinit OnceObject layer_type_object;
constinit OnceObject damaged_error_type;

PyObject* create_layer_type() noexcept {
  PyType_Slot slots[] = {
      {.slot = Py_tp_doc, .pfunc = const_cast<char*>("One open dictionary file of a Dictionary.")},
      {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(&layer_dealloc)},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex._core.Layer",
      .basicsize = static_cast<int>(sizeof(LayerObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

// taglex.DamagedDictionaryError, from the pure-Python module that defines it.
PyObject* damaged_error() noexcept {
  return damaged_error_type.get([]() noexcept -> PyObject* {
    PyRef module = steal(PyImport_ImportModule("taglex._errors"));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), "DamagedDictionaryError");
  });
}

// OSError (the subclass its errno selects) with errno, text and filename.
PythonError os_error(int code, PyObject* path) {
  errno = code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  return PythonError::fetch();
}

PythonError not_regular(PyObject* path) {
  PyRef args = steal(Py_BuildValue("(isO)", ENODEV, "not a regular file", path));
  if (!args) return PythonError::fetch();
  PyRef error = steal(PyObject_Call(PyExc_OSError, args.get(), nullptr));
  if (!error) return PythonError::fetch();
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return PythonError::fetch();
}

// DamagedDictionaryError("<path> <words>") with filename set and the
// library's own text as a note.
PythonError damaged(PyObject* path, std::string_view words, const taglex::TlexError& error,
                    std::string_view path_bytes) {
  PyObject* type = damaged_error();
  if (type == nullptr) return PythonError::fetch();
  PyRef message = steal(PyUnicode_FromFormat("%S %s", path, std::string(words).c_str()));
  if (!message) return PythonError::fetch();
  PyRef exception = steal(PyObject_CallOneArg(type, message.get()));
  if (!exception) return PythonError::fetch();
  if (PyObject_SetAttrString(exception.get(), "filename", path) < 0) return PythonError::fetch();
  std::string note = "cannot open ";
  note += utf8_lossy(path_bytes);
  note += ": ";
  note += to_string(error);
  PyRef note_text = new_str(note);
  if (!note_text) return PythonError::fetch();
  PyRef added = steal(PyObject_CallMethod(exception.get(), "add_note", "O", note_text.get()));
  if (!added) return PythonError::fetch();
  PyErr_SetObject(type, exception.get());
  return PythonError::fetch();
}

PythonError open_failure(PyObject* path, std::string_view path_bytes,
                         const taglex::TlexError& error) {
  return std::visit(
      Overloaded{
          [&](const taglex::Io& io) -> PythonError {
            if (std::holds_alternative<std::string_view>(io.error)) {
              return PythonError::lazy(PyExc_ValueError, "embedded null byte");
            }
            const int code = std::get<taglex::OsError>(io.error).code;
            if (code == ENODEV) {
              // The file opened but cannot be mapped: a folder, a FIFO, a device.
              struct stat st;
              const std::string c_path(path_bytes);
              if (::stat(c_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                return os_error(EISDIR, path);
              }
              return not_regular(path);
            }
            return os_error(code, path);
          },
          [&](const taglex::TooSmall& x) {
            std::string words = "is not a taglex dictionary: it is ";
            append_decimal(words, x.length);
            words += x.length == 1 ? " byte long" : " bytes long";
            words += ", too short for the 32-byte header";
            return damaged(path, words, error, path_bytes);
          },
          [&](const taglex::BadMagic&) {
            return damaged(path, "is not a taglex dictionary: it does not start with \"TLEX\"",
                           error, path_bytes);
          },
          [&](const taglex::UnsupportedVersion& x) {
            std::string words = "is a taglex dictionary of version ";
            append_decimal(words, x.version);
            words += ", which this taglex cannot read (it reads version 2)";
            return damaged(path, words, error, path_bytes);
          },
          [&](const taglex::Integrity& x) {
            std::string words = "is not a taglex dictionary, or a damaged one: ";
            words += x.words.empty() ? std::string("its structure is not valid") : x.words;
            return damaged(path, words, error, path_bytes);
          },
      },
      error.kind);
}

std::uint32_t key_pair(const taglex::IndexEntry& e) noexcept {
  return std::uint32_t{e.group()} << 16 | e.element();
}

}  // namespace

// --- asked creators ---------------------------------------------------------------

AskedCreator AskedCreator::of(std::string_view text) {
  AskedCreator c;
  c.text = text;
  if (const auto h = taglex::canonical_ascii_hash(text)) {
    c.hash = *h;
  } else {
    c.hash = taglex::canonicalize_and_hash(text, c.storage_);
    c.owned_ = true;
  }
  return c;
}

// --- lookups ------------------------------------------------------------------------

std::optional<Hit> Layer::standard(std::uint16_t group, std::uint16_t element) const {
  const taglex::DictionaryView& v = view();
  if (v.len() == 0) return std::nullopt;
  const std::uint32_t k = v.position_of(group, element, 0);
  const taglex::IndexEntry e = v.index_entry(k);
  if (key_pair(e) != (std::uint32_t{group} << 16 | element) || e.creator_hash() != 0) {
    return std::nullopt;
  }
  const std::uint32_t r = e.record_index();
  if (v.record(r).element_is_block_offset()) return std::nullopt;
  return Hit{k, r};
}

std::optional<Hit> Layer::with_creator(std::uint16_t group, std::uint16_t element,
                                       const AskedCreator& creator, bool block) const {
  const taglex::DictionaryView& v = view();
  if (v.len() == 0 || creator.unmatchable) return std::nullopt;
  const std::uint32_t pair = std::uint32_t{group} << 16 | element;
  // Entries with equal keys lie side by side, the one a lookup answers
  // last: walk back from it, and take the first whose creator is the one
  // asked (a different creator with the same hash is not it).
  for (std::uint32_t k = v.position_of(group, element, creator.hash);; --k) {
    const taglex::IndexEntry e = v.index_entry(k);
    if (key_pair(e) != pair || e.creator_hash() != creator.hash) return std::nullopt;
    const taglex::TagView record = v.record(e.record_index());
    if (record.element_is_block_offset() == block && record.raw().creator_len() != 0 &&
        taglex::canonical_equals(record.creator(), creator.canonical())) {
      return Hit{k, e.record_index()};
    }
    if (k == 0) return std::nullopt;
  }
}

const taglex::StandardIndex& Layer::standard_index() const {
  // Keyed by the interpreter's own hash of the keyword, which every str
  // caches: a question by keyword hashes nothing.
  return standard_index_.get([&] { return taglex::StandardIndex::build(view(), &python_hash); });
}

const taglex::PrivateIndex& Layer::private_index() const {
  return private_index_.get([&] { return taglex::PrivateIndex::build(view()); });
}

// --- opening ------------------------------------------------------------------------

PyTypeObject* layer_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(layer_type_object.get(create_layer_type));
}

PyResult<PyRef> open_layer(PyObject* path) {
  auto bytes = fs_path_bytes(path);
  if (!bytes) return Err{std::move(bytes.error())};
  PyRef shown = steal(PyOS_FSPath(path));
  if (!shown) return Err{PythonError::fetch()};

  auto opened = taglex::TlexDict::open(bytes.value());
  if (!opened) return Err{open_failure(shown.get(), bytes.value(), opened.error())};

  PyTypeObject* type = layer_type();
  if (type == nullptr) return Err{PythonError::fetch()};
  PyRef object = steal(type->tp_alloc(type, 0));
  if (!object) return Err{PythonError::fetch()};
  reinterpret_cast<LayerObject*>(object.get())->layer =
      new Layer(std::move(opened).value(), std::move(shown));
  return object;
}

}  // namespace taglex::py
