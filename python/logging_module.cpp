// The extension module `rtsp_logging`, as Python sees it:
//
//   enable(level=logging.INFO)   route the server's events to `logging`
//   disable()                    stop, after delivering what is pending
//
// A companion of `rtsp`, which installs no sink of its own: both modules
// reach the same diagnostic facade through librtsp_log. Importing this module
// names level 5 "TRACE" in `logging`; the bridge is logging_bridge.cpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "logging_bridge.hpp"

namespace {

int rtsp_logging_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  // The delivery thread attaches to the main interpreter, and the sink is
  // one for the whole process.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "rtsp_logging can be imported in the main interpreter only");
    return -1;
  }
  if (rtsp::python::name_trace_level() < 0) {
    return -1;
  }
  if (rtsp::python::register_logging_exit_hook() < 0) {
    return -1;
  }
  return 0;
}

// No Py_mod_gil slot: the bridge's state is guarded by the interpreter lock,
// so a free-threaded interpreter keeps its lock while this module is loaded.
PyModuleDef_Slot rtsp_logging_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(rtsp_logging_exec)}, {0, nullptr},  // sentinel
};

PyModuleDef rtsp_logging_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rtsp_logging",
    .m_doc = "The rtsp server's diagnostic events in Python's logging.",
    .m_size = 0,
    .m_methods = rtsp::python::logging_functions,
    .m_slots = rtsp_logging_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_rtsp_logging(void) { return PyModuleDef_Init(&rtsp_logging_module); }
