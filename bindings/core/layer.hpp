// One open dictionary file of a Dictionary: its one mapping, its path, and
// the keyword and creator indexes built from that mapping when first needed.
//
// A Layer is a Python object (the internal type taglex._core.Layer) so that
// every Entry it answers can hold it with a plain reference: the mapping then
// lives as long as the last Dictionary or Entry that needs it.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lazy.hpp"
#include "py_ref.hpp"
#include "python_error.hpp"
#include "taglex/index.hpp"
#include "taglex/lookup.hpp"

namespace taglex::py {

// A creator as asked: its text, and its canonical form and hash, computed
// once per question.
struct AskedCreator {
  std::string_view text;
  std::uint32_t hash = 0;
  // The creator could not be read as UTF-8 (a lone surrogate): no stored
  // creator can equal it.
  bool unmatchable = false;

  static AskedCreator of(std::string_view text);
  // `text` itself when it is canonical already, else its canonical form.
  std::string_view canonical() const noexcept { return owned_ ? std::string_view(storage_) : text; }

 private:
  std::string storage_;
  bool owned_ = false;
};

// A found record: the layer's position of the index entry and the record.
struct Hit {
  std::uint32_t entry;
  std::uint32_t record;
};

class Layer {
 public:
  Layer(taglex::TlexDict dict, PyRef path) noexcept
      : dict_(std::move(dict)), path_(std::move(path)) {}

  const taglex::DictionaryView& view() const noexcept { return dict_.view(); }
  PyObject* path() const noexcept { return path_.get(); }
  std::size_t file_size() const noexcept { return dict_.mapping().size(); }

  // The record of (group, element) without a creator (not in block form).
  std::optional<Hit> standard(std::uint16_t group, std::uint16_t element) const;
  // The record of (group, element) whose creator is `creator` (canonical
  // forms equal), in block form or not.
  std::optional<Hit> with_creator(std::uint16_t group, std::uint16_t element,
                                  const AskedCreator& creator, bool block) const;

  // Built on first call, then the same; thread-safe.
  const taglex::StandardIndex& standard_index() const;
  const taglex::PrivateIndex& private_index() const;

 private:
  taglex::TlexDict dict_;
  PyRef path_;
  Lazy<taglex::StandardIndex> standard_index_;
  Lazy<taglex::PrivateIndex> private_index_;
};

struct LayerObject {
  PyObject_HEAD Layer* layer;
};

// The Layer type, made by the module's exec (once per process).
PyTypeObject* layer_type() noexcept;

// Opens the file at `path` (a str or path-like object) as a new Layer
// object. Failures are the package's exceptions: FileNotFoundError,
// PermissionError and the like with errno and filename set,
// IsADirectoryError for a folder, OSError for something that is not a
// regular file, and taglex.DamagedDictionaryError for a file that is not a
// dictionary this version can read, its message in words, the library's
// own text as a note.
PyResult<PyRef> open_layer(PyObject* path);

inline const Layer& layer_of(PyObject* object) noexcept {
  return *reinterpret_cast<LayerObject*>(object)->layer;
}

}  // namespace taglex::py
