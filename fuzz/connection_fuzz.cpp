// Fuzz target: the request loop of one control connection, fed the input as
// the byte stream a client sends and then closes, over a socket pair.
//
// A model of the loop reads the same bytes: lines through their LF, each
// valid UTF-8, a head complete at a line "\n" or "\r\n" and at most
// kMaxRequestHeadBytes long; white-space heads are skipped; the body a head
// declares is dropped (a head declaring more than kMaxRequestBodyBytes ends it). The connection
// must answer exactly the heads that parse, in order, each with its CSeq
// echoed; end for the reason the model predicts (never reading on past the
// head bound); and leave no session behind after its cleanup.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_check.hpp"
#include "media/h264.hpp"
#include "mount.hpp"
#include "protocol/request.hpp"
#include "server_config.hpp"
#include "session/session_manager.hpp"
#include "socket_address.hpp"
#include "text.hpp"
#include "transport/fd.hpp"
#include "transport/tcp.hpp"

namespace {

struct Expected {
  std::vector<std::string> cseqs;  // one per answered head, in order
  std::string_view reason;
};

Expected model(std::string_view stream) {
  Expected out;
  std::string head;
  for (;;) {
    if (stream.empty()) {
      out.reason = "connection closed by client";
      return out;
    }
    const std::size_t room = rtsp::kMaxRequestHeadBytes - head.size();
    const std::size_t lf = stream.find('\n');
    const std::size_t line_size = lf == std::string_view::npos ? stream.size() : lf + 1;
    if (line_size > room) {
      out.reason = "request head too large";
      return out;
    }
    const std::string_view line = stream.substr(0, line_size);
    stream.remove_prefix(line_size);
    if (!rtsp::is_valid_utf8(line)) {
      out.reason = "read error";
      return out;
    }
    head += line;
    if (line != "\n" && line != "\r\n") continue;

    if (const auto body = rtsp::declared_body_length(head); body && *body > 0) {
      if (*body > rtsp::kMaxRequestBodyBytes) {
        out.reason = "request body too large";
        return out;
      }
      if (*body > stream.size()) {
        out.reason = "connection closed by client";
        return out;
      }
      stream.remove_prefix(*body);
    }
    if (!rtsp::is_all_whitespace(head)) {
      if (const auto request = rtsp::RtspRequest::parse(head)) {
        const rtsp::Header* cseq = rtsp::find_header(request->headers, "CSeq");
        out.cseqs.push_back(cseq != nullptr ? cseq->value : "0");
      }
    }
    head.clear();
  }
}

// The CSeq value of every response in `wire`, checking each one's framing.
std::vector<std::string> answered_cseqs(std::string_view wire) {
  std::vector<std::string> cseqs;
  while (!wire.empty()) {
    FUZZ_CHECK(wire.starts_with("RTSP/1.0 "));
    const std::size_t end = wire.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view head = wire.substr(0, end + 2);
    wire.remove_prefix(end + 4);

    const std::size_t server = head.find("\r\nServer: mirovid/0.1\r\nCSeq: ");
    FUZZ_CHECK(server != std::string_view::npos && head.find("\r\n") == server);
    const std::size_t value = server + 29;
    cseqs.emplace_back(head.substr(value, head.find("\r\n", value) - value));

    constexpr std::string_view kLength = "\r\nContent-Length: ";
    if (const std::size_t at = head.find(kLength); at != std::string_view::npos) {
      const std::size_t body = std::stoul(std::string(head.substr(at + kLength.size())));
      FUZZ_CHECK(body <= wire.size());
      wire.remove_prefix(body);
    }
  }
  return cseqs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  int pair[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
  rtsp::Fd server(pair[0]);
  rtsp::Fd client(pair[1]);
  rtsp::Fd server_reader(::dup(server.get()));
  FUZZ_CHECK(server_reader.valid());

  // The client writes everything and closes its sending side; a server that
  // stops reading early makes the rest of the writes fail, which ends them.
  std::thread writer([&client, input] {
    std::string_view rest = input;
    while (!rest.empty()) {
      const ssize_t n = ::send(client.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::shutdown(client.get(), SHUT_WR);
  });
  std::string answers;
  std::thread reader([&client, &answers] {
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      answers.append(buffer, static_cast<std::size_t>(n));
    }
  });

  rtsp::ControlContext context{rtsp::SessionManager(), rtsp::MountRegistry(),
                               std::make_shared<const rtsp::ServerConfig>(),
                               std::make_shared<std::atomic<bool>>(true)};
  context.mount_registry.add("/stream",
                             std::make_unique<rtsp::H264Packetizer>(rtsp::RtpHeader(96, 1)));
  context.mount_registry.set_default("/stream");

  const auto peer = rtsp::SocketAddress::parse("127.0.0.1:40000");
  std::string_view reason;
  {
    rtsp::Connection connection(*peer, std::move(server_reader), std::move(server), context);
    reason = connection.serve();
  }
  writer.join();
  reader.join();

  const Expected expected = model(input);
  FUZZ_CHECK(reason == expected.reason);
  FUZZ_CHECK(answered_cseqs(answers) == expected.cseqs);
  FUZZ_CHECK(context.session_manager.session_count() == 0);
  FUZZ_CHECK(context.mount_registry.get("/stream")->subscribed_session_ids().empty());
  return 0;
}
