// Argument binding and conversion for the extension module's classes.
#include "binding.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace rtsp::python {
namespace {

Py_ssize_t param_count(const Signature& sig) { return static_cast<Py_ssize_t>(sig.params.size()); }

// Positional arguments beyond the parameter list, in the interpreter's words.
int too_many_positional(const Signature& sig, Py_ssize_t given) {
  const Py_ssize_t max = param_count(sig);
  const Py_ssize_t min = static_cast<Py_ssize_t>(sig.required);
  const char* verb = given == 1 ? "was" : "were";
  if (min == max) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", sig.name,
                 max, max == 1 ? "" : "s", given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.name, min, max, given, verb);
  }
  return -1;
}

// Places one keyword argument into its parameter's slot.
int bind_keyword(const Signature& sig, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) {
        continue;
      }
      if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.name,
                     sig.params[i]);
        return -1;
      }
      out[i] = value;
      return 0;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.name, key);
  return -1;
}

// Required parameters left without a value, named as the interpreter names
// them: 'a', 'a' and 'b', 'a', 'b', and 'c'.
int check_required(const Signature& sig, std::span<PyObject*> out) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      ++missing;
    }
  }
  if (missing == 0) {
    return 0;
  }
  std::size_t listed = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) {
      continue;
    }
    if (listed > 0) {
      names += missing == 2 ? " and " : (listed + 1 == missing ? ", and " : ", ");
    }
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.name,
               missing, missing == 1 ? "" : "s", names.c_str());
  return -1;
}

int bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    std::span<PyObject*> out) {
  for (PyObject*& slot : out) {
    slot = nullptr;
  }
  if (nargs > param_count(sig)) {
    return too_many_positional(sig, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[static_cast<std::size_t>(i)] = args[i];
  }
  return 0;
}

int raise_not_instance(PyObject* obj, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name,
               expected);
  return -1;
}

// Rewrites a pending TypeError as "argument '{name}': {message}", keeping the
// replaced error's cause. Other errors stay as they are.
int argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
    return -1;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
#endif
  PyObject* replacement = nullptr;
  if (value != nullptr) {
    replacement = PyObject_CallFunction(PyExc_TypeError, "(N)",
                                        PyUnicode_FromFormat("argument '%s': %S", name, value));
  }
  if (replacement == nullptr) {
    Py_XDECREF(value);
    return -1;
  }
  PyException_SetCause(replacement, PyException_GetCause(value));
  Py_DECREF(value);
  PyErr_SetObject(PyExc_TypeError, replacement);
  Py_DECREF(replacement);
  return -1;
}

}  // namespace

int bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::span<PyObject*> out) {
  nargs = PyVectorcall_NARGS(nargs);
  if (bind_positional(sig, args, nargs, out) < 0) {
    return -1;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out) < 0) {
        return -1;
      }
    }
  }
  return check_required(sig, out);
}

int bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  PyObject* const* items = args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  if (bind_positional(sig, items, nargs, out) < 0) {
    return -1;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (bind_keyword(sig, key, value, out) < 0) {
        return -1;
      }
    }
  }
  return check_required(sig, out);
}

int convert_text(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return argument_error(name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) {
    return argument_error(name);
  }
  *out = std::string_view(text, static_cast<std::size_t>(size));
  return 0;
}

int convert_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out) {
  if (!PyBytes_Check(obj)) {
    raise_not_instance(obj, "bytes");
    return argument_error(name);
  }
  *out =
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return 0;
}

int convert_unsigned(PyObject* obj, const char* name, unsigned long long max,
                     unsigned long long* out) {
  const long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    return argument_error(name);
  }
  if (value < 0 || static_cast<unsigned long long>(value) > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return -1;
  }
  *out = static_cast<unsigned long long>(value);
  return 0;
}

PyObject* to_python(const std::expected<void, RtspError>& result) {
  if (!result) {
    return raise_core_error(result.error());
  }
  Py_RETURN_NONE;
}

PyObject* to_python(const std::expected<std::size_t, RtspError>& result) {
  if (!result) {
    return raise_core_error(result.error());
  }
  return PyLong_FromSize_t(*result);
}

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* raise_core_error(const RtspError& error) {
  const std::string message = error.message();
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text != nullptr) {
    PyErr_SetObject(PyExc_RuntimeError, text);
    Py_DECREF(text);
  }
  return nullptr;
}

PyObject* raise_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

PyTypeObject* new_class(PyObject* module, PyType_Spec* type_spec) {
  PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (type == nullptr) {
    return nullptr;
  }
  // The name buffer belongs to the type and lives as long as it does.
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(type);
  const char* dot = std::strrchr(cls->tp_name, '.');
  if (dot != nullptr) {
    cls->tp_name = dot + 1;
  }
  return cls;
}

int add_class(PyObject* module, PyType_Spec* type_spec) {
  PyTypeObject* cls = new_class(module, type_spec);
  if (cls == nullptr) {
    return -1;
  }
  const int rc = PyModule_AddType(module, cls);
  Py_DECREF(cls);
  return rc;
}

}  // namespace rtsp::python
