// The classes of the extension module: one exec step per class, called by the
// module's exec function in module.cpp, and the factory through which
// Server.get_viewers (server.cpp) makes Viewer records (types.cpp).
//
// The classes belong to one module object: a re-import or a sub-interpreter
// makes new ones, and nothing here outlives the module that made it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "viewer.hpp"

namespace rtsp::python {

// Each creates its class and adds it to `module`; 0, or -1 with an error set.
int add_server_class(PyObject* module);      // server.cpp
int add_packetizer_class(PyObject* module);  // packetizer.cpp
int add_viewer_class(PyObject* module);      // types.cpp

// The Viewer class of `module`, the module a Server class was made for: its
// attribute "Viewer", checked to be that class. A new reference, or nullptr
// with an error set.
PyTypeObject* viewer_class_of(PyObject* module);

// A new instance of `viewer_class` (from viewer_class_of) holding a copy of
// `viewer`; nullptr with an error set.
PyObject* new_viewer(PyTypeObject* viewer_class, const rtsp::Viewer& viewer);

}  // namespace rtsp::python
