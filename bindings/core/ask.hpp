// A tag as written, asked of the layers of a Dictionary: the one place that
// decides what each form of a tag means and how it is looked up.
//
// The forms: an int 0xGGGGEEEE (any int subclass, such as pydicom's
// BaseTag), a (group, element) pair of ints, a text "(gggg,eeee)",
// "gggg,eeee", "ggggeeee" or "0xggggeeee", a private element in block form
// "(gggg,xxee)", and a keyword. With a creator:
//
// - a private tag written with its block, (gggg,bbee) in an odd group,
//   finds the creator's entry for exactly that element, else its entry in
//   block form (gggg,xxee);
// - a block form finds only the creator's block-form entry;
// - a keyword finds the creator's private element of that keyword;
// - a standard (even-group) tag finds the creator's entry for it where one
//   exists (some private dictionaries list elements of even groups), else
//   the standard element: the creator does not hide it.
//
// Without a creator, a tag finds the element stored without one, and a
// keyword the standard element of that keyword (or the one that had it
// before a rename). A private creator element (gggg,0010-00FF) of an odd
// group that no layer describes answers as "Private Creator", LO. Layers are
// asked in order and the first that answers wins: for a keyword, the first
// layer whose own records have it, so the entry always has the keyword
// asked.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "layer.hpp"
#include "python_error.hpp"
#include "taglex/tag_text.hpp"

namespace taglex::py {

struct Asked {
  enum class Form { kTag, kBlock, kKeyword };
  Form form = Form::kTag;
  std::uint16_t group = 0, element = 0;  // kBlock: element is the low byte
  std::string_view keyword;              // kKeyword: borrowed from the caller's str
  PyObject* keyword_object = nullptr;    // kKeyword: that str, when `keyword` is all of it
};

// `tag` read as one of the forms: TypeError for what is no tag at all,
// ValueError for an ill-formed one, each naming it.
PyResult<Asked> read_tag(PyObject* tag);

// The ValueError for a text that is not a tag (naming the text).
PythonError tag_text_error(PyObject* tag, const taglex::TagTextError& error);

// `creator` read as None (nothing) or a str; a TypeError naming it
// otherwise. A str that is not valid text (a lone surrogate) matches no
// stored creator.
PyResult<std::optional<AskedCreator>> read_creator(PyObject* creator);

// What answered: a record of a layer (a borrowed LayerObject), or the
// built-in private creator answer (layer null).
struct Answer {
  PyObject* layer = nullptr;
  std::uint32_t record = 0;
  std::uint32_t tag = 0;
};

std::optional<Answer> answer(std::span<PyObject* const> layers, const Asked& asked,
                             const AskedCreator* creator);

// The Entry of an answer (creator_object: the creator as asked, for the
// built-in answer).
PyResult<PyRef> entry_of(const Answer& a, PyObject* creator_object);

}  // namespace taglex::py
