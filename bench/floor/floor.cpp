// _tlex_floor: the cost floor of Dict.lookup, for the benchmarks only.
//
//   floor = _tlex_floor.Floor(standard_result, private_result)
//   floor.lookup(group, element, creator=None)  -> a new ten-key dict
//   floor.none(group, element, creator=None)    -> None
//   floor.lookup_keys_once(group, element, creator=None) -> the same dict,
//     its ten keys made once (when Floor is made) and the dict presized:
//     the floor of any lookup whose keys are not new objects
//   _tlex_floor.touch_pages(path, stride=4096)   -> number of bytes read
//
// Floor copies the two result dicts it is given into plain C++ data once.
// Its lookup is called the way Dict.lookup is (a METH_FASTCALL|METH_KEYWORDS
// method of an object, the same parameters), converts its arguments in the
// cheapest way, and returns the same ten-key dict built from that constant
// data with the same C-API calls as the extension: PyDict_New, PyDict_SetItem,
// PyUnicode_FromStringAndSize for every key and text, PyLong_FromLong,
// PyList_New, Py_True/Py_False, new key and value objects on every call. The
// private result is returned when a creator is given, the standard one
// otherwise. What Dict.lookup costs beyond this is its argument checks, the
// search and the reading of the record.
//
// touch_pages maps a whole file as the dictionary library does (read-only,
// shared) and reads one byte of every page: the floor of opening a file. With
// a stride of 64 it reads every cache line instead: the floor of anything that
// reads every record.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Record {
  long group = 0;
  long element = 0;
  std::string creator, keyword, name, vr, description;
  bool retired = false;
  bool block_offset = false;
  std::vector<std::string> sources;
};

constexpr const char* kKeys[10] = {"group", "element", "creator", "keyword", "name",
                                   "vr", "description", "retired", "block_offset", "sources"};

struct FloorObject {
  PyObject_HEAD
  Record* standard;
  Record* private_;
  PyObject* keys[10];  // made once, interned
};

// --- reading the constructor's dicts ----------------------------------------

bool get_text(PyObject* dict, const char* key, std::string& out) {
  PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "field %s must be a str", key);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool get_long(PyObject* dict, const char* key, long& out) {
  PyObject* value = PyDict_GetItemString(dict, key);
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "field %s is missing", key);
    return false;
  }
  out = PyLong_AsLong(value);
  return !(out == -1 && PyErr_Occurred());
}

bool get_bool(PyObject* dict, const char* key, bool& out) {
  PyObject* value = PyDict_GetItemString(dict, key);
  if (value == nullptr) {
    PyErr_Format(PyExc_TypeError, "field %s is missing", key);
    return false;
  }
  int truth = PyObject_IsTrue(value);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool read_record(PyObject* dict, Record& r) {
  if (!PyDict_Check(dict)) {
    PyErr_SetString(PyExc_TypeError, "Floor() takes two dicts");
    return false;
  }
  if (!get_long(dict, "group", r.group) || !get_long(dict, "element", r.element) ||
      !get_text(dict, "creator", r.creator) || !get_text(dict, "keyword", r.keyword) ||
      !get_text(dict, "name", r.name) || !get_text(dict, "vr", r.vr) ||
      !get_text(dict, "description", r.description) || !get_bool(dict, "retired", r.retired) ||
      !get_bool(dict, "block_offset", r.block_offset)) {
    return false;
  }
  PyObject* sources = PyDict_GetItemString(dict, "sources");
  if (sources == nullptr || !PyList_Check(sources)) {
    PyErr_SetString(PyExc_TypeError, "field sources must be a list");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sources); ++i) {
    PyObject* item = PyList_GET_ITEM(sources, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (utf8 == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a source must be a str");
      return false;
    }
    r.sources.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  return true;
}

PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* standard = nullptr;
  PyObject* private_ = nullptr;
  static const char* names[] = {"standard", "private", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Floor", const_cast<char**>(names), &standard,
                                   &private_)) {
    return nullptr;
  }
  auto* self = reinterpret_cast<FloorObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->standard = new (std::nothrow) Record();
  self->private_ = new (std::nothrow) Record();
  if (self->standard == nullptr || self->private_ == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  for (int i = 0; i < 10; ++i) self->keys[i] = nullptr;
  if (!read_record(standard, *self->standard) || !read_record(private_, *self->private_)) {
    Py_DECREF(self);
    return nullptr;
  }
  for (int i = 0; i < 10; ++i) {
    self->keys[i] = PyUnicode_InternFromString(kKeys[i]);
    if (self->keys[i] == nullptr) {
      Py_DECREF(self);
      return nullptr;
    }
  }
  return reinterpret_cast<PyObject*>(self);
}

void floor_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<FloorObject*>(object);
  delete self->standard;
  delete self->private_;
  for (PyObject* key : self->keys) Py_XDECREF(key);
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

// --- the lookup floor ----------------------------------------------------------

// Binds (group, element, creator=None) from a fast call: positions first,
// then keywords by name. Returns false with a TypeError set on a bad call.
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* slots[3]) {
  static const char* const names[3] = {"group", "element", "creator"};
  slots[0] = slots[1] = slots[2] = nullptr;
  if (nargs > 3) {
    PyErr_SetString(PyExc_TypeError, "lookup() takes from 2 to 3 positional arguments");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      int found = -1;
      for (int p = 0; p < 3; ++p) {
        if (PyUnicode_CompareWithASCIIString(name, names[p]) == 0) found = p;
      }
      if (found < 0 || slots[found] != nullptr) {
        PyErr_SetString(PyExc_TypeError, "lookup() got a bad keyword argument");
        return false;
      }
      slots[found] = args[nargs + k];
    }
  }
  if (slots[0] == nullptr || slots[1] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "lookup() missing a required argument");
    return false;
  }
  return true;
}

// Converts the bound arguments: two ints and an optional str. Returns the
// record to answer with, or nullptr with an exception set.
const Record* convert(FloorObject* self, PyObject* slots[3]) {
  long group = PyLong_AsLong(slots[0]);
  if (group == -1 && PyErr_Occurred()) return nullptr;
  long element = PyLong_AsLong(slots[1]);
  if (element == -1 && PyErr_Occurred()) return nullptr;
  if (slots[2] != nullptr && slots[2] != Py_None) {
    Py_ssize_t size = 0;
    if (!PyUnicode_Check(slots[2]) || PyUnicode_AsUTF8AndSize(slots[2], &size) == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "creator must be a str");
      return nullptr;
    }
    return self->private_;
  }
  return self->standard;
}

// Inserts key -> value (a new reference, stolen) with a new key object.
bool set_item(PyObject* dict, std::string_view key, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* key_object = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  if (key_object == nullptr) {
    Py_DECREF(value);
    return false;
  }
  int status = PyDict_SetItem(dict, key_object, value);
  Py_DECREF(key_object);
  Py_DECREF(value);
  return status == 0;
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* build_result(const Record& r) {
  PyObject* result = PyDict_New();
  if (result == nullptr) return nullptr;
  bool ok = set_item(result, "group", PyLong_FromLong(r.group)) &&
            set_item(result, "element", PyLong_FromLong(r.element)) &&
            set_item(result, "creator", text(r.creator)) &&
            set_item(result, "keyword", text(r.keyword)) &&
            set_item(result, "name", text(r.name)) && set_item(result, "vr", text(r.vr)) &&
            set_item(result, "description", text(r.description)) &&
            set_item(result, "retired", Py_NewRef(r.retired ? Py_True : Py_False)) &&
            set_item(result, "block_offset", Py_NewRef(r.block_offset ? Py_True : Py_False));
  if (ok) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.sources.size()));
    if (list != nullptr) {
      for (std::size_t i = 0; i < r.sources.size(); ++i) {
        PyObject* piece = text(r.sources[i]);
        if (piece == nullptr) {
          Py_CLEAR(list);
          break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), piece);
      }
    }
    ok = set_item(result, "sources", list);
  }
  if (!ok) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

PyObject* floor_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind(args, nargs, kwnames, slots)) return nullptr;
  const Record* record = convert(reinterpret_cast<FloorObject*>(self), slots);
  if (record == nullptr) return nullptr;
  return build_result(*record);
}

// The same dict with keys made once and the dict presized.
PyObject* build_result_keys_once(const FloorObject* self, const Record& r) {
  PyObject* result = _PyDict_NewPresized(10);
  if (result == nullptr) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(r.sources.size()));
  if (list != nullptr) {
    for (std::size_t i = 0; i < r.sources.size(); ++i) {
      PyObject* piece = text(r.sources[i]);
      if (piece == nullptr) {
        Py_CLEAR(list);
        break;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), piece);
    }
  }
  PyObject* values[10] = {
      PyLong_FromLong(r.group), PyLong_FromLong(r.element), text(r.creator), text(r.keyword),
      text(r.name), text(r.vr), text(r.description), Py_NewRef(r.retired ? Py_True : Py_False),
      Py_NewRef(r.block_offset ? Py_True : Py_False), list,
  };
  bool ok = true;
  for (int i = 0; i < 10; ++i) {
    ok = ok && values[i] != nullptr && PyDict_SetItem(result, self->keys[i], values[i]) == 0;
    Py_XDECREF(values[i]);
  }
  if (!ok) {
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

PyObject* floor_lookup_keys_once(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind(args, nargs, kwnames, slots)) return nullptr;
  auto* floor = reinterpret_cast<FloorObject*>(self);
  const Record* record = convert(floor, slots);
  if (record == nullptr) return nullptr;
  return build_result_keys_once(floor, *record);
}

// The same call and argument conversion, answering None: the floor of a miss.
PyObject* floor_none(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[3];
  if (!bind(args, nargs, kwnames, slots)) return nullptr;
  if (convert(reinterpret_cast<FloorObject*>(self), slots) == nullptr) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef floor_methods[] = {
    {"lookup", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor_lookup)),
     METH_FASTCALL | METH_KEYWORDS, "lookup(group, element, creator=None): the constant result"},
    {"lookup_keys_once",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor_lookup_keys_once)),
     METH_FASTCALL | METH_KEYWORDS,
     "lookup_keys_once(group, element, creator=None): the constant result, its keys made once "
     "and the dict presized"},
    {"none", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&floor_none)),
     METH_FASTCALL | METH_KEYWORDS, "none(group, element, creator=None): None"},
    {nullptr, nullptr, 0, nullptr},
};

// --- touching a file's pages ------------------------------------------------

PyObject* touch_pages(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_SetString(PyExc_TypeError, "touch_pages(path, stride=page size)");
    return nullptr;
  }
  PyObject* arg = args[0];
  long stride = nargs == 2 ? PyLong_AsLong(args[1]) : ::sysconf(_SC_PAGESIZE);
  if (stride == -1 && PyErr_Occurred()) return nullptr;
  if (stride <= 0) {
    PyErr_SetString(PyExc_ValueError, "stride must be positive");
    return nullptr;
  }
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(arg, &encoded)) return nullptr;
  const char* path = PyBytes_AS_STRING(encoded);
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, arg);
    Py_DECREF(encoded);
    return nullptr;
  }
  Py_DECREF(encoded);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  const std::size_t length = static_cast<std::size_t>(st.st_size);
  void* p = ::mmap(nullptr, length > 0 ? length : 1, PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  const std::size_t step = static_cast<std::size_t>(stride);
  const volatile unsigned char* bytes = static_cast<const unsigned char*>(p);
  unsigned sum = 0;
  std::size_t pages = 0;
  for (std::size_t at = 0; at < length; at += step, ++pages) sum += bytes[at];
  ::close(fd);
  ::munmap(p, length > 0 ? length : 1);
  (void)sum;
  return PyLong_FromSize_t(pages);
}

PyMethodDef module_methods[] = {
    {"touch_pages", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&touch_pages)),
     METH_FASTCALL,
     "touch_pages(path, stride=page size): map the file read-only and shared, read one byte "
     "every `stride` bytes (per page by default; 64: every cache line), unmap; returns the count"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&floor_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&floor_dealloc)},
      {Py_tp_methods, floor_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"_tlex_floor.Floor", sizeof(FloorObject), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return -1;
  return PyModule_Add(module, "Floor", type);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_tlex_floor", nullptr, 0, module_methods, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tlex_floor() { return PyModuleDef_Init(&module_def); }
