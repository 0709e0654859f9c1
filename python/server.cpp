// Server: the Python face of the core server. Every method binds and converts
// its arguments, then makes one locked_call: the core call under the object's
// lock, the result turned into Python objects after the lock is released.
// (The interpreter's method descriptors refuse a receiver of another class
// before any of this runs.)
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "server.hpp"
#include "server_config.hpp"
#include "types.hpp"

namespace rtsp::python {
namespace {

struct ServerObject {
  PyObject_HEAD std::shared_ptr<rtsp::Server> server;
  // Serialises the core calls made through this object; held for one core
  // call, never while Python code can run.
  std::mutex mutex;
};

ServerObject* server_cast(PyObject* op) { return reinterpret_cast<ServerObject*>(op); }

constexpr const char* kNewParams[] = {"bind_addr", "public_host", "public_port", "session_name"};
constexpr Signature kNew = {"Server.__new__()", kNewParams, 0};

constexpr Signature kStart = {"Server.start()", {}, 0};
constexpr Signature kStop = {"Server.stop()", {}, 0};
constexpr Signature kIsRunning = {"Server.is_running()", {}, 0};
constexpr Signature kGetViewers = {"Server.get_viewers()", {}, 0};

constexpr const char* kSendFrameParams[] = {"data", "timestamp_increment"};
constexpr Signature kSendFrame = {"Server.send_frame()", kSendFrameParams, 2};

constexpr const char* kSendFrameToParams[] = {"mount_path", "data", "timestamp_increment"};
constexpr Signature kSendFrameTo = {"Server.send_frame_to()", kSendFrameToParams, 3};

constexpr const char* kSendRtpPacketParams[] = {"session_id", "payload"};
constexpr Signature kSendRtpPacket = {"Server.send_rtp_packet()", kSendRtpPacketParams, 2};

constexpr const char* kBroadcastParams[] = {"payload"};
constexpr Signature kBroadcast = {"Server.broadcast_rtp_packet()", kBroadcastParams, 1};

// Binding for a method without parameters.
int bind_none(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return bind_fastcall(sig, args, nargs, kwnames, {});
}

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[4];
  if (bind_tuple(kNew, args, kwargs, argv) < 0) {
    return nullptr;
  }
  std::string_view bind_addr = "0.0.0.0:8554";
  std::string_view session_name = "Stream";
  std::optional<std::string_view> public_host;
  std::optional<std::uint16_t> public_port;
  if (argv[0] != nullptr && convert_text(argv[0], "bind_addr", &bind_addr) < 0) {
    return nullptr;
  }
  if (is_present(argv[1])) {
    std::string_view host;
    if (convert_text(argv[1], "public_host", &host) < 0) {
      return nullptr;
    }
    public_host = host;
  }
  if (is_present(argv[2])) {
    std::uint16_t port = 0;
    if (convert_unsigned(argv[2], "public_port", &port) < 0) {
      return nullptr;
    }
    public_port = port;
  }
  if (argv[3] != nullptr && convert_text(argv[3], "session_name", &session_name) < 0) {
    return nullptr;
  }

  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  try {
    rtsp::ServerConfig config;
    config.session_name = std::string(session_name);
    if (public_host) {
      config.public_host = std::string(*public_host);
    }
    config.public_port = public_port;
    new (&self->server) std::shared_ptr<rtsp::Server>(
        std::make_shared<rtsp::Server>(std::string(bind_addr), std::move(config)));
  } catch (...) {
    // Nothing was constructed, so the object is freed by hand.
    type->tp_free(op);
    Py_DECREF(type);
    return raise_current_exception();
  }
  new (&self->mutex) std::mutex();
  return op;
}

// Releasing a running server stops it, as stop() does: no one could stop it
// afterwards, and its listener would hold the port until the process ends.
void server_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  ServerObject* self = server_cast(op);
  try {
    if (self->server->is_running()) {
      self->server->stop();
    }
  } catch (...) {
    // Only the stop event can fail (to be copied); `running` is cleared first.
  }
  self->mutex.~mutex();
  self->server.~shared_ptr();
  type->tp_free(op);
  Py_DECREF(type);
}

PyObject* server_start(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (bind_none(kStart, args, nargs, kwnames) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server, [](rtsp::Server& s) { return s.start(); });
}

PyObject* server_stop(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  if (bind_none(kStop, args, nargs, kwnames) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server, [](rtsp::Server& s) { s.stop(); });
}

PyObject* server_is_running(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  if (bind_none(kIsRunning, args, nargs, kwnames) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server, [](rtsp::Server& s) { return s.is_running(); });
}

PyObject* server_send_frame(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* argv[2];
  std::span<const std::uint8_t> data;
  std::uint32_t increment = 0;
  if (bind_fastcall(kSendFrame, args, nargs, kwnames, argv) < 0 ||
      convert_bytes(argv[0], "data", &data) < 0 ||
      convert_unsigned(argv[1], "timestamp_increment", &increment) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server,
                     [&](rtsp::Server& s) { return s.send_frame(data, increment); });
}

PyObject* server_send_frame_to(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* argv[3];
  std::string_view mount_path;
  std::span<const std::uint8_t> data;
  std::uint32_t increment = 0;
  if (bind_fastcall(kSendFrameTo, args, nargs, kwnames, argv) < 0 ||
      convert_text(argv[0], "mount_path", &mount_path) < 0 ||
      convert_bytes(argv[1], "data", &data) < 0 ||
      convert_unsigned(argv[2], "timestamp_increment", &increment) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server,
                     [&](rtsp::Server& s) { return s.send_frame_to(mount_path, data, increment); });
}

PyObject* server_send_rtp_packet(PyObject* op, PyTypeObject*, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[2];
  std::string_view session_id;
  std::span<const std::uint8_t> payload;
  if (bind_fastcall(kSendRtpPacket, args, nargs, kwnames, argv) < 0 ||
      convert_text(argv[0], "session_id", &session_id) < 0 ||
      convert_bytes(argv[1], "payload", &payload) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server,
                     [&](rtsp::Server& s) { return s.send_rtp_packet(session_id, payload); });
}

PyObject* server_broadcast_rtp_packet(PyObject* op, PyTypeObject*, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  std::span<const std::uint8_t> payload;
  if (bind_fastcall(kBroadcast, args, nargs, kwnames, argv) < 0 ||
      convert_bytes(argv[0], "payload", &payload) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(self->mutex, *self->server,
                     [&](rtsp::Server& s) { return s.broadcast_rtp_packet(payload); });
}

// The records become instances of the Viewer class of this Server class's
// module (`cls`, the defining class), so a re-imported module or another
// interpreter gets its own.
PyObject* viewer_list(PyTypeObject* cls, const std::vector<rtsp::Viewer>& viewers) {
  PyObject* module = PyType_GetModule(cls);
  PyTypeObject* viewer_class = module == nullptr ? nullptr : viewer_class_of(module);
  if (viewer_class == nullptr) {
    return nullptr;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(viewers.size()));
  for (std::size_t i = 0; list != nullptr && i < viewers.size(); ++i) {
    PyObject* viewer = new_viewer(viewer_class, viewers[i]);
    if (viewer == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), viewer);
  }
  Py_DECREF(viewer_class);
  return list;
}

PyObject* server_get_viewers(PyObject* op, PyTypeObject* cls, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_none(kGetViewers, args, nargs, kwnames) < 0) {
    return nullptr;
  }
  ServerObject* self = server_cast(op);
  return locked_call(
      self->mutex, *self->server, [](rtsp::Server& s) { return s.get_viewers(); },
      [cls](const std::vector<rtsp::Viewer>& viewers) { return viewer_list(cls, viewers); });
}

PyMethodDef server_methods[] = {
    {"start", method(server_start), kMethodFlags, "start($self)\n--\n\n"},
    {"stop", method(server_stop), kMethodFlags, "stop($self)\n--\n\n"},
    {"is_running", method(server_is_running), kMethodFlags, "is_running($self)\n--\n\n"},
    {"send_frame", method(server_send_frame), kMethodFlags,
     "send_frame($self, data, timestamp_increment)\n--\n\n"
     "Send a raw encoded frame to the default mount (`/stream`).\n"
     "Handles packetization and delivery internally."},
    {"send_frame_to", method(server_send_frame_to), kMethodFlags,
     "send_frame_to($self, mount_path, data, timestamp_increment)\n--\n\n"
     "Send a raw encoded frame to a specific mount."},
    {"send_rtp_packet", method(server_send_rtp_packet), kMethodFlags,
     "send_rtp_packet($self, session_id, payload)\n--\n\n"
     "Send a pre-packetized RTP packet to a specific session."},
    {"broadcast_rtp_packet", method(server_broadcast_rtp_packet), kMethodFlags,
     "broadcast_rtp_packet($self, payload)\n--\n\n"
     "Broadcast a pre-packetized RTP packet to all playing sessions\n"
     "on the default mount."},
    {"get_viewers", method(server_get_viewers), kMethodFlags, "get_viewers($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>("Server(bind_addr=\"0.0.0.0:8554\", public_host=None, "
                                  "public_port=None, session_name=\"Stream\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, server_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec server_spec = {
    .name = "rtsp.Server",
    .basicsize = sizeof(ServerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = server_slots,
};

}  // namespace

int add_server_class(PyObject* module) { return add_class(module, &server_spec); }

}  // namespace rtsp::python
