// H264Packetizer: a standalone H.264 RTP packetizer for Python code that
// sends RTP itself.
#include "types.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "media/h264.hpp"

namespace rtsp::python {
namespace {

struct PacketizerObject {
  PyObject_HEAD std::shared_ptr<rtsp::H264Packetizer> packetizer;
  // Guards `packetizer`'s state; held only for one core call, never while
  // Python objects are made.
  std::mutex mutex;
};

PacketizerObject* packetizer_cast(PyObject* op) { return reinterpret_cast<PacketizerObject*>(op); }

constexpr const char* kNewParams[] = {"pt"};
constexpr Signature kNew = {"H264Packetizer.__new__()", kNewParams, 0};

constexpr const char* kPacketizeParams[] = {"frame_data", "timestamp_increment"};
constexpr Signature kPacketize = {"H264Packetizer.packetize()", kPacketizeParams, 2};

PyObject* packetizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (bind_tuple(kNew, args, kwargs, argv) < 0) {
    return nullptr;
  }
  std::uint8_t pt = 96;
  if (argv[0] != nullptr && convert_unsigned(argv[0], "pt", &pt) < 0) {
    return nullptr;
  }
  PyObject* op = type->tp_alloc(type, 0);
  if (op == nullptr) {
    return nullptr;
  }
  PacketizerObject* self = packetizer_cast(op);
  try {
    new (&self->packetizer) std::shared_ptr<rtsp::H264Packetizer>(
        new rtsp::H264Packetizer(rtsp::H264Packetizer::with_random_ssrc(pt)));
  } catch (...) {
    // Nothing was constructed, so the object is freed by hand.
    type->tp_free(op);
    Py_DECREF(type);
    return raise_current_exception();
  }
  new (&self->mutex) std::mutex();
  return op;
}

void packetizer_dealloc(PyObject* op) {
  PyTypeObject* type = Py_TYPE(op);
  PacketizerObject* self = packetizer_cast(op);
  self->mutex.~mutex();
  self->packetizer.~shared_ptr();
  type->tp_free(op);
  Py_DECREF(type);
}

// The plan's packets as a new list of bytes objects, each written in place:
// the packets are never built anywhere else first.
PyObject* render_to_list(rtsp::H264Packetizer::FramePlan& plan) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(plan.packet_count));
  if (list == nullptr) {
    return nullptr;
  }
  Py_ssize_t next = 0;
  const bool rendered = rtsp::H264Packetizer::render(plan, [&](std::size_t size) -> std::uint8_t* {
    PyObject* packet = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (packet == nullptr) {
      return nullptr;
    }
    PyList_SET_ITEM(list, next++, packet);
    return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet));
  });
  if (!rendered) {
    Py_DECREF(list);  // the slots not filled are NULL, which the list allows
    return nullptr;
  }
  return list;
}

PyObject* packetizer_packetize(PyObject* op, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* argv[2];
  std::span<const std::uint8_t> frame;
  std::uint32_t increment = 0;
  if (bind_fastcall(kPacketize, args, nargs, kwnames, argv) < 0 ||
      convert_bytes(argv[0], "frame_data", &frame) < 0 ||
      convert_unsigned(argv[1], "timestamp_increment", &increment) < 0) {
    return nullptr;
  }
  PacketizerObject* self = packetizer_cast(op);
  // `frame` stays valid after the lock: the call holds a reference to its
  // bytes object, and the plan is rendered from it.
  return locked_call(
      self->mutex, *self->packetizer,
      [&](rtsp::H264Packetizer& p) { return p.plan(frame, increment); }, render_to_list);
}

PyMethodDef packetizer_methods[] = {
    {"packetize", method(packetizer_packetize), kMethodFlags,
     "packetize($self, frame_data, timestamp_increment)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot packetizer_slots[] = {
    {Py_tp_doc, const_cast<char*>("H264Packetizer(pt=96)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(packetizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packetizer_dealloc)},
    {Py_tp_methods, packetizer_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec packetizer_spec = {
    .name = "rtsp.H264Packetizer",
    .basicsize = sizeof(PacketizerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = packetizer_slots,
};

}  // namespace

int add_packetizer_class(PyObject* module) { return add_class(module, &packetizer_spec); }

}  // namespace rtsp::python
