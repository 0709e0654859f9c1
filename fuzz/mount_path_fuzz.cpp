// Fuzz target: arbitrary text as a request URI, resolved against a registry
// holding "/stream" (the default) and "/live".
//
// The mount path is "/stream", empty, or a '/'-led piece of the URI itself
// with no "/track" left in its last segment; resolution never fails with a
// default set, and it picks "/live" exactly when the path names it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "media/h264.hpp"
#include "mount.hpp"

namespace {

rtsp::MountRegistry make_registry() {
  rtsp::MountRegistry registry;
  for (const char* path : {"/stream", "/live"}) {
    registry.add(path, std::make_unique<rtsp::H264Packetizer>(rtsp::RtpHeader(96, 1)));
  }
  registry.set_default("/stream");
  return registry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const rtsp::MountRegistry registry = make_registry();
  static const std::shared_ptr<rtsp::Mount> stream = registry.get("/stream");
  static const std::shared_ptr<rtsp::Mount> live = registry.get("/live");
  const std::string_view uri(reinterpret_cast<const char*>(data), size);

  const std::string path = rtsp::extract_mount_path(uri);
  if (path != "/stream") {
    FUZZ_CHECK(path.empty() || path.front() == '/');
    // A piece of the URI that runs to its end or stops at a "/track".
    bool found = false;
    for (std::size_t at = uri.find(path); at != std::string_view::npos && !found;
         at = uri.find(path, at + 1)) {
      const std::string_view rest = uri.substr(at + path.size());
      found = rest.empty() || rest.starts_with("/track");
    }
    FUZZ_CHECK(found);
  }

  const std::shared_ptr<rtsp::Mount> mount = registry.resolve_from_uri(uri);
  FUZZ_CHECK(mount != nullptr);
  FUZZ_CHECK(mount == (path == "/live" ? live : stream));
  return 0;
}
