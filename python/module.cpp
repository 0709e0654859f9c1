// The extension module `rtsp`, as Python sees it:
//
//   class Server(bind_addr="0.0.0.0:8554", public_host=None, public_port=None,
//                session_name="Stream"):
//       start(), stop(), is_running() -> bool
//       send_frame(data, timestamp_increment) -> int
//       send_frame_to(mount_path, data, timestamp_increment) -> int
//       send_rtp_packet(session_id, payload) -> int
//       broadcast_rtp_packet(payload) -> int
//       get_viewers() -> list[Viewer]
//   class H264Packetizer(pt=96):
//       packetize(frame_data, timestamp_increment) -> list[bytes]
//   class Viewer:  # made by Server.get_viewers only
//       session_id: str, uri: str, client_addr: str, client_rtp_port: int
//
// Nothing else: no functions, no constants, no state of its own. The
// diagnostic events go nowhere until `rtsp_logging` routes them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "types.hpp"

namespace {

int rtsp_exec(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'module'",
                 Py_TYPE(module)->tp_name);
    return -1;
  }
  if (rtsp::python::add_server_class(module) < 0) {
    return -1;
  }
  if (rtsp::python::add_packetizer_class(module) < 0) {
    return -1;
  }
  if (rtsp::python::add_viewer_class(module) < 0) {
    return -1;
  }
  return 0;
}

PyModuleDef_Slot rtsp_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(rtsp_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},  // sentinel
};

PyModuleDef rtsp_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rtsp",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = rtsp_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_rtsp(void) { return PyModuleDef_Init(&rtsp_module); }
