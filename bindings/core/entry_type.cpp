// clang-format off
#include <Python.h>  // before any other header, as CPython requires
// clang-format on

#include "entry_type.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "layer.hpp"
#include "once.hpp"
#include "taglex/description.hpp"
#include "taglex/schema.hpp"
#include "taglex/tag_text.hpp"
#include "texts.hpp"

namespace taglex::py {
namespace {

namespace desc = taglex::description;

// The built-in answer for a private creator element.
constexpr std::string_view kCreatorKeyword = "PrivateCreator";
constexpr std::string_view kCreatorName = "Private Creator";
constexpr std::string_view kCreatorVr = "LO";
constexpr std::string_view kCreatorDescription = "VM 1";

// Everything an Entry shows, as views: of its record, or of the built-in
// answer.
struct Fields {
  std::uint16_t group = 0, element = 0;
  std::string_view creator, keyword, name, vr, description, sources;
  bool retired = false, block_offset = false;
};

EntryObject* as_entry(PyObject* self) noexcept { return reinterpret_cast<EntryObject*>(self); }

std::string_view utf8_of(PyObject* str) noexcept {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &n);
  if (p == nullptr) {
    PyErr_Clear();
    return {};
  }
  return {p, static_cast<std::size_t>(n)};
}

Fields fields_of(const EntryObject* e) {
  Fields f;
  if (e->layer == nullptr) {
    f.group = static_cast<std::uint16_t>(e->tag >> 16);
    f.element = static_cast<std::uint16_t>(e->tag & 0xFFFF);
    f.creator = e->creator != nullptr ? utf8_of(e->creator) : std::string_view();
    f.keyword = kCreatorKeyword;
    f.name = kCreatorName;
    f.vr = kCreatorVr;
    f.description = kCreatorDescription;
    return f;
  }
  const taglex::TagView r = layer_of(e->layer).view().record(e->record);
  f.group = r.group();
  f.element = r.element();
  f.creator = r.creator();
  f.keyword = r.keyword();
  f.name = r.name();
  f.vr = r.vr();
  f.description = r.description();
  f.sources = r.sources_text();
  f.retired = r.retired();
  f.block_offset = r.element_is_block_offset();
  return f;
}

PyRef text(std::string_view s) { return expect_object(new_text(s).release()); }

PyRef new_sources(const Fields& f) {
  Py_ssize_t count = 0;
  const taglex::Sources pieces(f.sources);
  for (auto it = pieces.begin(); it != pieces.end(); ++it) ++count;
  PyRef list = expect_object(PyList_New(count));
  Py_ssize_t i = 0;
  for (const std::string_view piece : pieces) {
    PyList_SET_ITEM(list.get(), i++, text(piece).release());
  }
  return list;
}

PyRef optional_text(std::string_view s) { return s.empty() ? borrow(Py_None) : text(s); }

// --- getters --------------------------------------------------------------------

template <class F>
PyObject* getter(PyObject* self, F&& body) noexcept {
  return entry([&]() -> PyResult<PyRef> { return body(fields_of(as_entry(self))); });
}

#define TAGLEX_GETTER(name, expression)                                                  \
  PyObject* get_##name(PyObject* self, void*) noexcept {                               \
    return getter(self, [&](const Fields& f) -> PyRef { (void)f; return expression; }); \
  }

TAGLEX_GETTER(group, expect_object(PyLong_FromLong(f.group)))
TAGLEX_GETTER(element, expect_object(PyLong_FromLong(f.element)))
TAGLEX_GETTER(creator, text(f.creator))
TAGLEX_GETTER(keyword, text(f.keyword))
TAGLEX_GETTER(name, text(f.name))
TAGLEX_GETTER(vr, expect_object(vr_text(f.vr).release()))
TAGLEX_GETTER(description, text(f.description))
TAGLEX_GETTER(retired, borrow(f.retired ? Py_True : Py_False))
TAGLEX_GETTER(block_offset, borrow(f.block_offset ? Py_True : Py_False))
TAGLEX_GETTER(sources, new_sources(f))
TAGLEX_GETTER(vm, optional_text(desc::parse(f.description).vm))
TAGLEX_GETTER(since, optional_text(desc::parse(f.description).since))

#undef TAGLEX_GETTER

PyObject* get_tag(PyObject* self, void*) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    return expect_object(PyLong_FromUnsignedLong(as_entry(self)->tag));
  });
}

PyObject* get_layer(PyObject* self, void*) noexcept {
  PyObject* layer = as_entry(self)->layer;
  return Py_NewRef(layer == nullptr ? Py_None : layer_of(layer).path());
}

PyRef optional_number(const std::optional<std::uint32_t>& v) {
  return v ? expect_object(PyLong_FromUnsignedLong(*v)) : borrow(Py_None);
}

desc::VmBounds bounds_of(const Fields& f) { return desc::vm_bounds(desc::parse(f.description).vm); }

PyObject* get_vm_min(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) { return optional_number(bounds_of(f).min); });
}
PyObject* get_vm_max(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) { return optional_number(bounds_of(f).max); });
}
PyObject* get_vm_step(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) {
    return expect_object(PyLong_FromUnsignedLong(bounds_of(f).step));
  });
}

PyRef tuple_of(const std::vector<std::string_view>& items, bool vr_codes) {
  PyRef tuple = expect_object(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyRef item = vr_codes ? expect_object(vr_text(items[i]).release()) : text(items[i]);
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return tuple;
}

PyObject* get_vrs(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) {
    std::vector<std::string_view> codes = desc::vr_codes(desc::parse(f.description).vr);
    if (codes.empty()) codes.push_back(f.vr);
    return tuple_of(codes, true);
  });
}

PyObject* get_former_keywords(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) {
    return tuple_of(desc::split_list(desc::parse(f.description).formerly), false);
  });
}

PyObject* get_safe_private(PyObject* self, void*) noexcept {
  return getter(self, [](const Fields& f) {
    for (const std::string_view label : taglex::Sources(f.sources)) {
      if (desc::is_safe_private_label(label)) return borrow(Py_True);
    }
    return borrow(Py_False);
  });
}

PyObject* get_deidentification(PyObject* self, void*) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    const Fields f = fields_of(as_entry(self));
    const std::string_view part = desc::parse(f.description).deidentification;
    if (part.empty()) return borrow(Py_None);
    const desc::Deidentification d = desc::parse_deidentification(part);
    PyRef options = expect_object(PyDict_New());
    for (const auto& [option, action] : d.options) {
      if (PyDict_SetItem(options.get(), text(option).get(), text(action).get()) < 0) {
        return Err{PythonError::fetch()};
      }
    }
    PyRef proxy = expect_object(PyDictProxy_New(options.get()));
    PyTypeObject* type = deidentification_type();
    if (type == nullptr) return Err{PythonError::fetch()};
    PyRef result = expect_object(PyStructSequence_New(type));
    PyStructSequence_SetItem(result.get(), 0, text(d.basic).release());
    PyStructSequence_SetItem(result.get(), 1, proxy.release());
    return result;
  });
}

// --- methods and slots ------------------------------------------------------------

PyResult<PyRef> as_dict(const Fields& f) {
  PyRef d = expect_object(PyDict_New());
  const auto set = [&](const char* key, PyRef value) {
    return PyDict_SetItemString(d.get(), key, value.get()) == 0;
  };
  if (!set("group", expect_object(PyLong_FromLong(f.group))) ||
      !set("element", expect_object(PyLong_FromLong(f.element))) ||
      !set("creator", text(f.creator)) || !set("keyword", text(f.keyword)) ||
      !set("name", text(f.name)) || !set("vr", expect_object(vr_text(f.vr).release())) ||
      !set("description", text(f.description)) ||
      !set("retired", borrow(f.retired ? Py_True : Py_False)) ||
      !set("block_offset", borrow(f.block_offset ? Py_True : Py_False)) ||
      !set("sources", new_sources(f))) {
    return Err{PythonError::fetch()};
  }
  return d;
}

PyObject* entry_as_dict(PyObject* self, PyObject*) noexcept {
  return entry([&]() -> PyResult<PyRef> { return as_dict(fields_of(as_entry(self))); });
}

PyObject* entry_copy(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

bool same_fields(const Fields& a, const Fields& b) noexcept {
  return a.group == b.group && a.element == b.element && a.creator == b.creator &&
         a.keyword == b.keyword && a.name == b.name && a.vr == b.vr &&
         a.description == b.description && a.retired == b.retired &&
         a.block_offset == b.block_offset && a.sources == b.sources;
}

PyObject* entry_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if ((op != Py_EQ && op != Py_NE) || !is_entry(other)) Py_RETURN_NOTIMPLEMENTED;
  return entry([&]() -> PyResult<PyRef> {
    const EntryObject* a = as_entry(self);
    const EntryObject* b = as_entry(other);
    bool equal = a->tag == b->tag;
    if (equal && !(a->layer != nullptr && a->layer == b->layer && a->record == b->record)) {
      equal = same_fields(fields_of(a), fields_of(b));
    }
    return borrow((equal == (op == Py_EQ)) ? Py_True : Py_False);
  });
}

Py_hash_t entry_hash(PyObject* self) noexcept {
  return entry([&]() -> PyResult<Py_ssize_t> {
    const EntryObject* e = as_entry(self);
    const Fields f = fields_of(e);
    std::size_t h = e->tag;
    for (const std::string_view s : {f.creator, f.keyword, f.name, f.description}) {
      h = h * 1000003u ^ std::hash<std::string_view>{}(s);
    }
    const auto out = static_cast<Py_hash_t>(h);
    return out == -1 ? -2 : out;
  });
}

PyObject* entry_repr(PyObject* self) noexcept {
  return entry([&]() -> PyResult<PyRef> {
    const EntryObject* e = as_entry(self);
    const Fields f = fields_of(e);
    const std::string tag = taglex::format_tag(static_cast<std::uint16_t>(e->tag >> 16),
                                               static_cast<std::uint16_t>(e->tag & 0xFFFF), false);
    PyRef label = text(f.keyword.empty() ? f.name : f.keyword);
    PyRef vr = text(f.vr);
    if (f.creator.empty()) {
      return expect_object(PyUnicode_FromFormat("<taglex.Entry %s %R %U>", tag.c_str(),
                                                label.get(), vr.get()));
    }
    PyRef creator = text(f.creator);
    return expect_object(PyUnicode_FromFormat("<taglex.Entry %s %R %U creator=%R>", tag.c_str(),
                                              label.get(), vr.get(), creator.get()));
  });
}

void entry_object_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  EntryObject* e = as_entry(self);
  Py_XDECREF(e->layer);
  Py_XDECREF(e->creator);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class F>
void* as_slot(F* f) noexcept {
  return reinterpret_cast<void*>(f);
}

PyGetSetDef entry_getset[] = {
    {"group", get_group, nullptr, "The group number.", nullptr},
    {"element", get_element, nullptr,
     "The element number (the low byte of a private element in block form).", nullptr},
    {"creator", get_creator, nullptr, "The private creator as stored; \"\" for none.", nullptr},
    {"keyword", get_keyword, nullptr, "The keyword, e.g. \"PatientName\".", nullptr},
    {"name", get_name, nullptr, "The name, e.g. \"Patient's Name\".", nullptr},
    {"vr", get_vr, nullptr, "The VR an Implicit VR reader needs (\"??\": none given).", nullptr},
    {"description", get_description, nullptr, "The description (VM, VR alternatives, notes).",
     nullptr},
    {"retired", get_retired, nullptr, "Whether the element is retired.", nullptr},
    {"block_offset", get_block_offset, nullptr,
     "Whether this is a private element in block form, (gggg,xxee).", nullptr},
    {"sources", get_sources, nullptr, "The dictionaries that list the element (a new list).",
     nullptr},
    {"tag", get_tag, nullptr,
     "The full tag: as asked for a private element found through its block form, else in "
     "the first block (0xGGGG10EE) for one in block form, else group << 16 | element.",
     nullptr},
    {"vm", get_vm, nullptr, "The VM, e.g. \"1-n\"; None when none is given.", nullptr},
    {"vm_min", get_vm_min, nullptr, "The least number of values; None if unknown.", nullptr},
    {"vm_max", get_vm_max, nullptr, "The most values; None for no bound or unknown.", nullptr},
    {"vm_step", get_vm_step, nullptr, "The multiple the number of values comes in.", nullptr},
    {"vrs", get_vrs, nullptr, "The VRs the element may have, e.g. ('OB', 'OW').", nullptr},
    {"layer", get_layer, nullptr, "The path of the file that answered; None for the built-in "
     "answer for a private creator element.", nullptr},
    {"since", get_since, nullptr,
     "The first edition of the standard that lists the element, or None.", nullptr},
    {"former_keywords", get_former_keywords, nullptr,
     "The keywords the element had before it was renamed, oldest first.", nullptr},
    {"deidentification", get_deidentification, nullptr,
     "The de-identification actions (basic, options) of the element, or None.", nullptr},
    {"safe_private", get_safe_private, nullptr,
     "Whether the element is a safe private attribute of the de-identification profile.",
     nullptr},
    {},
};

PyMethodDef entry_methods[] = {
    {"as_dict", entry_as_dict, METH_NOARGS,
     "as_dict($self)\n--\n\nThe ten stored fields as a new dict, as Dict.lookup gives them."},
    {"__copy__", entry_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", entry_copy, METH_O, nullptr},
    {},
};

constinit OnceObject entry_type_object;
constinit OnceObject deid_type_object;
constinit OnceObject vr_strings;

PyObject* create_entry_type() noexcept {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "One data element of a dictionary: the fields of its record, the tag "
                      "as asked, and what its description says (VM, VRs, history, "
                      "de-identification). Immutable; made by taglex.Dictionary.")},
      {Py_tp_getset, entry_getset},
      {Py_tp_methods, entry_methods},
      {Py_tp_richcompare, as_slot(&entry_richcompare)},
      {Py_tp_hash, as_slot(&entry_hash)},
      {Py_tp_repr, as_slot(&entry_repr)},
      {Py_tp_dealloc, as_slot(&entry_object_dealloc)},
      {},
  };
  PyType_Spec type_spec = {
      .name = "taglex.Entry",
      .basicsize = static_cast<int>(sizeof(EntryObject)),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return PyType_FromSpec(&type_spec);
}

PyStructSequence_Field deid_fields[] = {
    {"basic", "The action of the Basic Profile, as the table writes it (\"X\", \"X/Z\"...)."},
    {"options", "Each option's action where the table gives one, by option name."},
    {},
};
PyStructSequence_Desc deid_desc = {
    "taglex.Deidentification",
    "The de-identification actions of one element (PS3.15 Table E.1-1).",
    deid_fields,
    2,
};

}  // namespace

#if PY_VERSION_HEX < 0x030E0000
// Exported by CPython 3.13 (declared in its internal headers); from 3.14 on
// it is the public Py_HashBuffer.
extern "C" PyAPI_FUNC(Py_hash_t) _Py_HashBytes(const void*, Py_ssize_t);
#endif

std::size_t python_hash(std::string_view utf8) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
  return static_cast<std::size_t>(Py_HashBuffer(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
#else
  return static_cast<std::size_t>(_Py_HashBytes(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
#endif
}

std::size_t python_hash_of(PyObject* str, std::string_view utf8) noexcept {
  if (str != nullptr && PyUnicode_CheckExact(str) && PyUnicode_IS_COMPACT_ASCII(str) &&
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)) == utf8.size() &&
      static_cast<const void*>(PyUnicode_DATA(str)) == static_cast<const void*>(utf8.data())) {
    const Py_hash_t h = PyObject_Hash(str);
    if (h != -1) return static_cast<std::size_t>(h);
    PyErr_Clear();
  }
  return python_hash(utf8);
}

PyRef vr_text(std::string_view code) noexcept {
  PyObject* table = vr_strings.get([]() noexcept -> PyObject* {
    PyRef t = steal(PyTuple_New(static_cast<Py_ssize_t>(taglex::kVrCount)));
    if (!t) return nullptr;
    for (std::size_t i = 0; i < taglex::kVrCount; ++i) {
      PyObject* s = new_text(taglex::kVrNames[i]).release();
      if (s == nullptr) return nullptr;
      PyUnicode_InternInPlace(&s);
      PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), s);
    }
    return t.release();
  });
  if (table == nullptr) return PyRef();
  if (code.size() == 2) {
    for (std::size_t i = 0; i < taglex::kVrCount; ++i) {
      if (taglex::kVrNames[i] == code) {
        return borrow(PyTuple_GET_ITEM(table, static_cast<Py_ssize_t>(i)));
      }
    }
  }
  return new_text(code);
}

PyTypeObject* entry_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(entry_type_object.get(create_entry_type));
}

PyTypeObject* deidentification_type() noexcept {
  return reinterpret_cast<PyTypeObject*>(deid_type_object.get([]() noexcept -> PyObject* {
    return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&deid_desc));
  }));
}

PyResult<PyRef> new_entry(PyObject* layer, std::uint32_t record, std::uint32_t tag) {
  // Fields are read when asked for; a record whose texts cannot be read
  // fails here, with the answer, rather than at some later attribute.
  layer_of(layer).view().record(record).check_texts();
  PyTypeObject* type = entry_type();
  if (type == nullptr) return Err{PythonError::fetch()};
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return Err{PythonError::fetch()};
  EntryObject* e = as_entry(object);
  e->layer = Py_NewRef(layer);
  e->creator = nullptr;
  e->record = record;
  e->tag = tag;
  return steal(object);
}

PyResult<PyRef> new_private_creator_entry(std::uint32_t tag, PyObject* creator) {
  PyTypeObject* type = entry_type();
  if (type == nullptr) return Err{PythonError::fetch()};
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return Err{PythonError::fetch()};
  EntryObject* e = as_entry(object);
  e->layer = nullptr;
  e->creator = creator != nullptr ? Py_NewRef(creator) : nullptr;
  e->record = 0;
  e->tag = tag;
  return steal(object);
}

}  // namespace taglex::py
