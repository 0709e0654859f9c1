#include "logging_bridge.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "binding.hpp"
#include "log.hpp"

namespace rtsp::python {
namespace {

// Events waiting for delivery beyond this are dropped and counted.
constexpr std::size_t kQueueCapacity = 10000;

struct QueuedEvent {
  log::Level level;
  std::string target;
  std::string message;
  std::vector<std::pair<std::string, std::variant<std::uint64_t, std::string>>> fields;
};

// Python's numbers for the facade's levels.
int python_level(log::Level level) {
  switch (level) {
    case log::Level::Trace:
      return 5;
    case log::Level::Debug:
      return 10;
    case log::Level::Info:
      return 20;
    case log::Level::Warn:
      return 30;
    case log::Level::Error:
      return 40;
  }
  return 40;
}

// The lowest facade level a Python level lets through.
log::Level facade_level(unsigned int level) {
  if (level <= 5) return log::Level::Trace;
  if (level <= 10) return log::Level::Debug;
  if (level <= 20) return log::Level::Info;
  if (level <= 30) return log::Level::Warn;
  return log::Level::Error;
}

class QueueSink final : public log::Sink {
 public:
  explicit QueueSink(log::Level min) : min_(min) {}

  log::Level min_level() const noexcept override { return min_.load(std::memory_order_relaxed); }
  void set_min_level(log::Level min) noexcept { min_.store(min, std::memory_order_relaxed); }

  // Any thread, any locks held: copies the event and never blocks on Python.
  void write(const log::Event& event) override {
    QueuedEvent copy{event.level, std::string(event.target), std::string(event.message), {}};
    copy.fields.reserve(event.fields.size());
    for (const log::Field& field : event.fields) {
      if (const auto* number = std::get_if<std::uint64_t>(&field.value)) {
        copy.fields.emplace_back(std::string(field.name), *number);
      } else {
        copy.fields.emplace_back(std::string(field.name),
                                 std::string(std::get<std::string_view>(field.value)));
      }
    }
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kQueueCapacity) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(copy));
    // The delivery thread sleeps only on an empty queue, so the first event
    // is the one that must wake it; a full queue has woken it already.
    if (queue_.size() == 1) ready_.notify_one();
  }

  // With `wait`, sleeps until there are events or a stop; then takes them
  // all with the count of those dropped since the last take.
  bool take(std::deque<QueuedEvent>& out, std::size_t& dropped, bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) ready_.wait(lock, [&] { return !queue_.empty() || stopping_; });
    out.swap(queue_);
    dropped = std::exchange(dropped_, 0);
    return !stopping_;
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    ready_.notify_one();
  }

 private:
  std::atomic<log::Level> min_;
  // Guards queue_, dropped_ and stopping_; held only to copy an event in or
  // to swap the queue out, never while Python runs.
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<QueuedEvent> queue_;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
};

// The installed bridge. Touched only by Python calls, with the interpreter
// lock held.
struct Bridge {
  std::shared_ptr<QueueSink> sink;
  std::thread delivery;
};
Bridge g_bridge;

// Hands one event to its logger. Called with the interpreter lock held;
// a failure in a handler is reported by the interpreter and not raised.
void deliver_one(PyObject* logging, const QueuedEvent& event) {
  // "rtsp::transport::tcp" logs to "rtsp.transport.tcp".
  std::string name;
  name.reserve(event.target.size());
  for (std::size_t i = 0; i < event.target.size(); ++i) {
    if (event.target.compare(i, 2, "::") == 0) {
      name += '.';
      ++i;
    } else {
      name += event.target[i];
    }
  }
  std::string text = event.message;
  PyObject* fields = PyDict_New();
  if (fields == nullptr) return PyErr_WriteUnraisable(nullptr);
  for (const auto& [field, value] : event.fields) {
    text += ' ';
    text += field;
    text += '=';
    PyObject* item = nullptr;
    if (const auto* number = std::get_if<std::uint64_t>(&value)) {
      text += std::to_string(*number);
      item = PyLong_FromUnsignedLongLong(*number);
    } else {
      const std::string& s = std::get<std::string>(value);
      text += s;
      item = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
    }
    if (item == nullptr || PyDict_SetItemString(fields, field.c_str(), item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(fields);
      return PyErr_WriteUnraisable(nullptr);
    }
    Py_DECREF(item);
  }
  const int level = python_level(event.level);
  PyObject* logger = PyObject_CallMethod(logging, "getLogger", "s#", name.data(),
                                         static_cast<Py_ssize_t>(name.size()));
  PyObject* result = nullptr;
  if (logger != nullptr) {
    PyObject* enabled = PyObject_CallMethod(logger, "isEnabledFor", "i", level);
    const int on = enabled == nullptr ? -1 : PyObject_IsTrue(enabled);
    Py_XDECREF(enabled);
    if (on > 0) {
      // No args, so a '%' in the text is never taken as a format.
      PyObject* extra = Py_BuildValue("{s:O}", "rtsp_fields", fields);
      PyObject* record =
          extra == nullptr
              ? nullptr
              : PyObject_CallMethod(logger, "makeRecord", "s#is#is#OOsO", name.data(),
                                    static_cast<Py_ssize_t>(name.size()), level, "", Py_ssize_t{0},
                                    0, text.data(), static_cast<Py_ssize_t>(text.size()), Py_None,
                                    Py_None, nullptr, extra);
      if (record != nullptr) result = PyObject_CallMethod(logger, "handle", "O", record);
      Py_XDECREF(record);
      Py_XDECREF(extra);
    } else if (on == 0) {
      result = Py_NewRef(Py_None);
    }
  }
  if (result == nullptr) PyErr_WriteUnraisable(logger);
  Py_XDECREF(result);
  Py_XDECREF(logger);
  Py_DECREF(fields);
}

// Delivers a batch, and one WARN on "rtsp" for the events dropped before it.
// Called with the interpreter lock held.
void deliver(std::deque<QueuedEvent>& batch, std::size_t dropped) {
  if (batch.empty() && dropped == 0) return;
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) return PyErr_WriteUnraisable(nullptr);
  if (dropped > 0) {
    deliver_one(logging, QueuedEvent{log::Level::Warn,
                                     "rtsp",
                                     "diagnostic events dropped: delivery fell behind",
                                     {{"dropped", std::uint64_t{dropped}}}});
  }
  for (const QueuedEvent& event : batch) deliver_one(logging, event);
  batch.clear();
  Py_DECREF(logging);
}

void delivery_loop(std::shared_ptr<QueueSink> sink) {
  pthread_setname_np(pthread_self(), "rtsp-logging");
  std::deque<QueuedEvent> batch;
  std::size_t dropped = 0;
  for (;;) {
    const bool running = sink->take(batch, dropped, true);
    if (!batch.empty() || dropped > 0) {
      PyGILState_STATE gil = PyGILState_Ensure();
      deliver(batch, dropped);
      PyGILState_Release(gil);
    }
    // What is left after a stop is delivered by the thread that stopped us.
    if (!running) return;
  }
}

// Removes the sink, stops and joins the delivery thread (which delivers what
// it has) and delivers what is left. Called with the interpreter lock held.
void shut_down() {
  if (!g_bridge.sink) return;
  log::set_sink(nullptr);
  std::shared_ptr<QueueSink> sink = std::move(g_bridge.sink);
  sink->stop();
  if (g_bridge.delivery.joinable()) {
    Py_BEGIN_ALLOW_THREADS g_bridge.delivery.join();
    Py_END_ALLOW_THREADS
  }
  // Events emitted while the sink was being removed.
  std::deque<QueuedEvent> batch;
  std::size_t dropped = 0;
  sink->take(batch, dropped, false);
  deliver(batch, dropped);
}

constexpr const char* kEnableParams[] = {"level"};
constexpr Signature kEnable = {"enable()", kEnableParams, 0};
constexpr Signature kDisable = {"disable()", {}, 0};

PyObject* enable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* argv[1];
  if (bind_fastcall(kEnable, args, nargs, kwnames, argv) < 0) return nullptr;
  unsigned int level = 20;
  if (argv[0] != nullptr && convert_unsigned(argv[0], "level", &level) < 0) return nullptr;
  const log::Level min = facade_level(level);
  if (g_bridge.sink) {
    g_bridge.sink->set_min_level(min);
    log::set_sink(g_bridge.sink);  // the facade reads the level at installation
    Py_RETURN_NONE;
  }
  try {
    auto sink = std::make_shared<QueueSink>(min);
    g_bridge.delivery = std::thread(delivery_loop, sink);
    g_bridge.sink = sink;
    log::set_sink(std::move(sink));
  } catch (const std::system_error& error) {
    PyErr_Format(PyExc_RuntimeError, "cannot start the logging thread: %s", error.what());
    return nullptr;
  } catch (...) {
    return raise_current_exception();
  }
  Py_RETURN_NONE;
}

PyObject* disable(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_fastcall(kDisable, args, nargs, kwnames, {}) < 0) return nullptr;
  shut_down();
  Py_RETURN_NONE;
}

PyObject* exit_hook(PyObject*, PyObject*) {
  shut_down();
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_rtsp_logging_exit", exit_hook, METH_NOARGS, nullptr};

}  // namespace

PyMethodDef logging_functions[] = {
    {"enable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(enable)),
     METH_FASTCALL | METH_KEYWORDS,
     "enable($module, level=20)\n--\n\n"
     "Route the server's diagnostic events to Python's logging, at `level` and\n"
     "above. Logger names follow the event's source (\"rtsp.transport.tcp\");\n"
     "each record carries the event's fields as `record.rtsp_fields`."},
    {"disable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(disable)),
     METH_FASTCALL | METH_KEYWORDS,
     "disable($module)\n--\n\n"
     "Stop routing diagnostic events to logging, after delivering those pending."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

int register_logging_exit_hook() {
  PyObject* hook = PyCFunction_New(&exit_hook_def, nullptr);
  if (hook == nullptr) return -1;
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* result =
      atexit == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", hook);
  Py_XDECREF(atexit);
  Py_DECREF(hook);
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

int name_trace_level() {
  PyObject* logging = PyImport_ImportModule("logging");
  if (logging == nullptr) return -1;
  PyObject* name = PyObject_CallMethod(logging, "getLevelName", "i", 5);
  int rc = name == nullptr ? -1 : 0;
  if (rc == 0 && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "Level 5") == 0) {
    PyObject* result = PyObject_CallMethod(logging, "addLevelName", "is", 5, "TRACE");
    rc = result == nullptr ? -1 : 0;
    Py_XDECREF(result);
  }
  Py_XDECREF(name);
  Py_DECREF(logging);
  return rc;
}

}  // namespace rtsp::python
