// The bridge from the core's diagnostic events to Python's `logging`, the
// functions of the module `rtsp_logging` (logging_module.cpp):
//
//   rtsp_logging.enable(level=logging.INFO)
//   rtsp_logging.disable()
//
// Core threads emit events while they hold registry locks, and a Python
// caller may wait for those locks while it holds the interpreter lock, so
// the sink never touches Python: it copies each event into a bounded queue,
// and a delivery thread of the bridge's own ("rtsp-logging") takes the
// interpreter lock and hands the events to `logging`. The sink is the one
// of the whole process (librtsp_log), so the bridge serves the main
// interpreter only. Called with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rtsp::python {

// The module-level functions, for the module's method table.
extern PyMethodDef logging_functions[];

// Registers the interpreter-exit hook that delivers what is pending and stops
// the delivery thread before the interpreter finalises. Once per module.
int register_logging_exit_hook();

// Names level 5, the facade's TRACE, in `logging` unless it has a name already.
int name_trace_level();

}  // namespace rtsp::python
