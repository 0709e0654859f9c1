// Argument binding and conversion shared by every class of the extension
// module, so that all methods report binding and conversion errors with the
// same messages. Each method body then reads: bind, convert, then one
// locked_call (lock, call the core, unlock, convert the result).
//
// Called with the interpreter lock held (or, on free-threaded builds, from an
// attached thread). The binding and conversion helpers take no lock;
// locked_call takes the object's lock for the one core call it makes and
// releases it before converting the result, so no Python code runs under it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <mutex>
#include <span>
#include <string_view>
#include <type_traits>

#include "error.hpp"

namespace rtsp::python {

// The parameters of one callable. Every parameter is positional-or-keyword;
// the first `required` ones have no default.
struct Signature {
  const char* name;  // the callable as messages name it, e.g. "Server.send_frame()"
  std::span<const char* const> params;
  std::size_t required;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call. On success
// `out` (one slot per parameter) holds borrowed references, nullptr where a
// parameter was not given. Returns -1 with TypeError set on a binding error.
int bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  std::span<PyObject*> out);

// The same for a constructor's tuple and dict (either may be NULL).
int bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Conversions. Each returns 0, or -1 with the error set; a TypeError is
// reported as "argument '{name}': {message}".

// str or a subclass, as UTF-8 text borrowed from `obj`.
int convert_text(PyObject* obj, const char* name, std::string_view* out);

// bytes or a subclass (not bytearray or memoryview), borrowed from `obj`.
int convert_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>* out);

// An integer in 0..max through the interpreter's signed 64-bit conversion.
int convert_unsigned(PyObject* obj, const char* name, unsigned long long max,
                     unsigned long long* out);

template <typename T>
int convert_unsigned(PyObject* obj, const char* name, T* out) {
  unsigned long long value = 0;
  if (convert_unsigned(obj, name, std::numeric_limits<T>::max(), &value) < 0) {
    return -1;
  }
  *out = static_cast<T>(value);
  return 0;
}

// True for an optional parameter that was given and is not None (None means
// absent there). Parameters that merely have a default do not accept None.
inline bool is_present(PyObject* obj) { return obj != nullptr && obj != Py_None; }

// Raises a core error as RuntimeError carrying its display text.
PyObject* raise_core_error(const RtspError& error);

// Raises the error of a C++ exception caught at the module boundary:
// MemoryError for std::bad_alloc, RuntimeError otherwise. Call only from
// inside a catch block.
PyObject* raise_current_exception();

// Python results of core calls: None, an int or a bool, or the core error
// raised as RuntimeError.
PyObject* to_python(const std::expected<void, RtspError>& result);
PyObject* to_python(const std::expected<std::size_t, RtspError>& result);
PyObject* to_python(bool value);

struct ToPython {
  template <typename T>
  PyObject* operator()(T& value) const {
    return to_python(value);
  }
};

// The body of every method after its arguments are converted: runs
// `call(core)` with `mutex` (the object's lock) held, then, with the lock
// released, turns its result into a Python object with `convert` (None for a
// call that returns nothing). A C++ exception from either becomes a Python
// error (raise_current_exception).
template <typename Core, typename Call, typename Convert = ToPython>
PyObject* locked_call(std::mutex& mutex, Core& core, Call call, Convert convert = {}) {
  try {
    using Result = std::invoke_result_t<Call&, Core&>;
    if constexpr (std::is_void_v<Result>) {
      {
        std::lock_guard lock(mutex);
        call(core);
      }
      Py_RETURN_NONE;
    } else {
      Result result = [&] {
        std::lock_guard lock(mutex);
        return call(core);
      }();
      return convert(result);
    }
  } catch (...) {
    return raise_current_exception();
  }
}

// A METH_METHOD | METH_FASTCALL | METH_KEYWORDS function as the PyCFunction
// that method tables store.
template <typename F>
PyCFunction method(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline constexpr int kMethodFlags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// Creates a class from `type_spec` for `module` and returns a new reference.
// `type_spec->name` is "rtsp.{Class}", which gives the class its __module__ (a
// dotless name leaves it unset and the interpreter warns on creation); the
// type's own name is then cut to the bare class name.
PyTypeObject* new_class(PyObject* module, PyType_Spec* type_spec);

// Adds a new class to `module` under its bare name.
int add_class(PyObject* module, PyType_Spec* type_spec);

}  // namespace rtsp::python
