// The classes of the extension module: one exec step per class, called by the
// module's exec function in module.cpp, and the factory through which
// Server.get_viewers (server.cpp) makes Viewer records (types.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "viewer.hpp"

namespace rtsp::python {

// Each creates its class and adds it to `module`; 0, or -1 with an error set.
int add_server_class(PyObject* module);      // server.cpp
int add_packetizer_class(PyObject* module);  // packetizer.cpp
int add_viewer_class(PyObject* module);      // types.cpp

// A new Viewer holding a copy of `viewer`; nullptr with an error set.
PyObject* new_viewer(const rtsp::Viewer& viewer);

}  // namespace rtsp::python
