// Viewer: an immutable snapshot of one playing client.
#include "types.hpp"

#include <new>
#include <string>

#include "binding.hpp"

namespace rtsp::python {
namespace {

struct ViewerObject {
  PyObject_HEAD rtsp::Viewer viewer;
};

ViewerObject* viewer_cast(PyObject* op) { return reinterpret_cast<ViewerObject*>(op); }

// The core's texts are expected to be UTF-8; stray bytes are replaced rather
// than making an attribute read fail.
PyObject* text_object(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void viewer_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  viewer_cast(op)->viewer.~Viewer();
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* viewer_get_session_id(PyObject* op, void*) {
  return text_object(viewer_cast(op)->viewer.session_id);
}

PyObject* viewer_get_uri(PyObject* op, void*) { return text_object(viewer_cast(op)->viewer.uri); }

PyObject* viewer_get_client_addr(PyObject* op, void*) {
  return text_object(viewer_cast(op)->viewer.client_addr);
}

PyObject* viewer_get_client_rtp_port(PyObject* op, void*) {
  return PyLong_FromUnsignedLong(viewer_cast(op)->viewer.client_rtp_port);
}

PyObject* viewer_repr(PyObject* op) {
  try {
    const rtsp::Viewer& v = viewer_cast(op)->viewer;
    std::string text = "Viewer(session_id='";
    text += v.session_id;
    text += "', uri='";
    text += v.uri;
    text += "', client_addr='";
    text += v.client_addr;
    text += "', client_rtp_port=";
    text += std::to_string(v.client_rtp_port);
    text += ')';
    return text_object(text);
  } catch (...) {
    return raise_current_exception();
  }
}

PyGetSetDef viewer_getset[] = {
    {"session_id", viewer_get_session_id, nullptr, nullptr, nullptr},
    {"uri", viewer_get_uri, nullptr, nullptr, nullptr},
    {"client_addr", viewer_get_client_addr, nullptr, nullptr, nullptr},
    {"client_rtp_port", viewer_get_client_rtp_port, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot viewer_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(viewer_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(viewer_repr)},
    {Py_tp_getset, viewer_getset},
    {0, nullptr},  // sentinel
};

PyType_Spec viewer_spec = {
    .name = "rtsp.Viewer",
    .basicsize = sizeof(ViewerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = viewer_slots,
};

}  // namespace

int add_viewer_class(PyObject* module) { return add_class(module, &viewer_spec); }

PyTypeObject* viewer_class_of(PyObject* module) {
  PyObject* found = PyObject_GetAttrString(module, "Viewer");
  if (found == nullptr) {
    return nullptr;
  }
  // Only a class made from viewer_spec has the layout new_viewer fills in.
  PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(found);
  if (!PyType_Check(found) || !PyType_HasFeature(cls, Py_TPFLAGS_HEAPTYPE) ||
      PyType_GetSlot(cls, Py_tp_dealloc) != reinterpret_cast<void*>(viewer_dealloc)) {
    Py_DECREF(found);
    PyErr_SetString(PyExc_TypeError, "rtsp.Viewer is no longer the module's Viewer class");
    return nullptr;
  }
  return cls;
}

PyObject* new_viewer(PyTypeObject* viewer_class, const rtsp::Viewer& viewer) {
  PyObject* op = viewer_class->tp_alloc(viewer_class, 0);
  if (op == nullptr) {
    return nullptr;
  }
  try {
    new (&viewer_cast(op)->viewer) rtsp::Viewer(viewer);
  } catch (...) {
    // The fields were never constructed, so the object is freed by hand.
    PyTypeObject* type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
    return raise_current_exception();
  }
  return op;
}

}  // namespace rtsp::python
