// RTSP load generator: N viewers of one stream, each with its own control
// connection and its own RTP/RTCP socket pair, received on one thread.
//
//   loadgen --url rtsp://127.0.0.1:8554/stream --viewers 100
//
// Brings every viewer to PLAY (DESCRIBE, SETUP to the control URL of the
// SDP's video section with "Transport: RTP/AVP;unicast;client_port=A-B",
// PLAY at the aggregate URL; a few handshakes at a time, over non-blocking
// sockets), prints "playing N" and then counts what arrives. Commands on
// standard input: "mark" zeroes every counter, so that the figures cover a
// window the caller chose; "report" (or the end of input) prints one JSON
// object with the packets, bytes, loss and reordering seen since the last
// mark (frames are counted by the RTP marker bit, and the generator's own CPU
// time is there to show it kept up), and exits. Loss and reordering come from
// RTP sequence numbers, counted per viewer from the first packet it received
// after the mark.
//
// Loopback only: the host in the URL must be an IPv4 address. Every wait is
// bounded (--setup-timeout, --max-seconds), so the program always ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string url;
  int viewers = 1;
  int parallel = 16;            // handshakes in flight at once
  int rcvbuf = 4 << 20;         // per RTP socket
  double setup_timeout = 60.0;  // seconds to bring every viewer to PLAY
  double max_seconds = 300.0;   // hard bound on the whole run
};

[[noreturn]] void fail(const std::string& what) {
  std::printf("error %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// Owns one descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Url {
  sockaddr_in addr{};
  std::string text;
};

Url parse_url(const std::string& text) {
  constexpr std::string_view kScheme = "rtsp://";
  if (!text.starts_with(kScheme)) fail("url must start with rtsp://");
  const std::string rest = text.substr(kScheme.size());
  const auto slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  const auto colon = authority.rfind(':');
  const std::string host = authority.substr(0, colon);
  int port = 554;
  if (colon != std::string::npos) port = std::atoi(authority.c_str() + colon + 1);
  Url url;
  url.text = text;
  url.addr.sin_family = AF_INET;
  url.addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, host.c_str(), &url.addr.sin_addr) != 1)
    fail("host must be an IPv4 address");
  return url;
}

// Sequence-number bookkeeping of one RTP stream as one viewer receives it.
struct RtpCounters {
  bool started = false;
  std::int64_t first = 0;    // extended sequence number of the first packet
  std::int64_t highest = 0;  // highest extended sequence number so far
  std::uint64_t packets = 0;
  std::uint64_t bytes = 0;
  std::uint64_t reordered = 0;  // arrived after a higher sequence number
  std::uint64_t markers = 0;    // packets with the marker bit: the last of each frame

  void add(const std::uint8_t* data, std::size_t size) {
    if (size < 12 || (data[0] >> 6) != 2) return;
    const std::uint16_t seq = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
    ++packets;
    bytes += size;
    if (data[1] & 0x80) ++markers;
    if (!started) {
      started = true;
      first = highest = seq;
      return;
    }
    const auto delta = static_cast<std::int16_t>(seq - static_cast<std::uint16_t>(highest));
    const std::int64_t extended = highest + delta;
    if (extended > highest) {
      highest = extended;
    } else {
      ++reordered;
    }
  }

  std::uint64_t expected() const {
    return started ? static_cast<std::uint64_t>(highest - first + 1) : 0;
  }
  std::uint64_t lost() const { return expected() > packets ? expected() - packets : 0; }
};

enum class Step { Connecting, Describe, Setup, Play, Playing, Failed };

struct Viewer {
  Fd control;
  Fd rtp;
  Fd rtcp;
  std::uint16_t rtp_port = 0;
  Step step = Step::Connecting;
  int cseq = 0;
  std::string out;        // request bytes not yet written
  std::string in;         // response bytes read so far
  std::string base;       // aggregate control URL
  std::string setup_url;  // the video section's control URL
  std::string session;
  RtpCounters counters;
  std::uint64_t rtcp_packets = 0;
  bool control_closed = false;
};

// epoll user data: what kind of descriptor and which viewer.
enum Kind : std::uint64_t { kControl = 0, kRtp = 1, kRtcp = 2, kStdin = 3 };
std::uint64_t tag(Kind kind, std::size_t index) {
  return (static_cast<std::uint64_t>(kind) << 32) | index;
}

std::optional<std::string> header(std::string_view head, std::string_view name) {
  std::size_t pos = head.find("\r\n");
  while (pos != std::string_view::npos && pos + 2 < head.size()) {
    const std::size_t start = pos + 2;
    const std::size_t end = head.find("\r\n", start);
    const std::string_view line =
        head.substr(start, end == std::string_view::npos ? end : end - start);
    const std::size_t colon = line.find(':');
    if (colon == name.size() &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    pos = end;
  }
  return std::nullopt;
}

// The control URL of the SDP's first video section (or of the session when
// the section names none), resolved against `base`.
std::string control_url(std::string_view sdp, const std::string& base) {
  std::string session_control;
  std::string media_control;
  bool in_video = false;
  bool seen_video = false;
  std::size_t pos = 0;
  while (pos < sdp.size()) {
    std::size_t end = sdp.find('\n', pos);
    if (end == std::string_view::npos) end = sdp.size();
    std::string_view line = sdp.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end + 1;
    if (line.starts_with("m=")) {
      in_video = !seen_video && line.starts_with("m=video");
      seen_video = seen_video || in_video;
    } else if (line.starts_with("a=control:")) {
      const std::string value(line.substr(10));
      if (in_video && media_control.empty()) media_control = value;
      if (!seen_video) session_control = value;
    }
  }
  const std::string& control = media_control.empty() ? session_control : media_control;
  if (control.empty() || control == "*") return base;
  if (control.starts_with("rtsp://")) return control;
  return base.ends_with('/') ? base + control : base + "/" + control;
}

Fd udp_socket(const sockaddr_in& host, std::uint16_t port, int rcvbuf) {
  Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) fail(std::string("socket: ") + std::strerror(errno));
  if (rcvbuf > 0 &&
      ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);  // capped at rmem_max
  }
  sockaddr_in addr = host;
  addr.sin_port = htons(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return Fd();
  return fd;
}

// RTP on an even port, RTCP on the next one.
void bind_udp_pair(Viewer& viewer, const sockaddr_in& host, int rcvbuf) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    Fd rtp = udp_socket(host, 0, rcvbuf);
    if (rtp.get() < 0) continue;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(rtp.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    const std::uint16_t port = ntohs(bound.sin_port);
    if (port % 2 != 0 || port == 65534) continue;
    Fd rtcp = udp_socket(host, static_cast<std::uint16_t>(port + 1), 64 << 10);
    if (rtcp.get() < 0) continue;
    viewer.rtp = std::move(rtp);
    viewer.rtcp = std::move(rtcp);
    viewer.rtp_port = port;
    return;
  }
  fail("no free UDP port pair on the loopback");
}

class LoadGenerator {
 public:
  explicit LoadGenerator(const Options& options)
      : options_(options), url_(parse_url(options.url)), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_.get() < 0) fail("epoll_create1");
    viewers_.resize(static_cast<std::size_t>(options.viewers));
    watch(STDIN_FILENO, tag(kStdin, 0), EPOLLIN);
    started_ = Clock::now();
  }

  int run() {
    const auto setup_deadline = started_ + to_duration(options_.setup_timeout);
    while (playing_ < viewers_.size()) {
      while (next_to_start_ < viewers_.size() &&
             in_flight_ < static_cast<std::size_t>(options_.parallel)) {
        start_viewer(next_to_start_++);
      }
      if (Clock::now() > setup_deadline) fail("timed out bringing viewers to PLAY");
      poll(100);
      if (stop_requested_) fail("stopped before every viewer played");
    }
    const double setup_seconds = seconds_since(started_);
    std::printf("playing %zu %.3f\n", playing_, setup_seconds);
    std::fflush(stdout);
    mark();
    const auto end = started_ + to_duration(options_.max_seconds);
    while (!stop_requested_ && Clock::now() < end) poll(100);
    report(setup_seconds);
    return 0;
  }

 private:
  static Clock::duration to_duration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  static double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
      return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
  }
  static double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  }

  void watch(int fd, std::uint64_t data, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = data;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) fail("epoll_ctl add");
  }
  void rewatch(int fd, std::uint64_t data, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = data;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0) fail("epoll_ctl mod");
  }

  // Viewers of a server on the loopback come from 127.0.0.1, 127.0.0.2, ...,
  // a hundred from each, as many hosts would; the server's per-address
  // connection limit would refuse a thousand from one address.
  sockaddr_in source_of(std::size_t index) const {
    constexpr std::size_t kViewersPerAddress = 100;
    sockaddr_in source = url_.addr;
    source.sin_port = 0;
    if (ntohl(url_.addr.sin_addr.s_addr) >> 24 == 127) {
      source.sin_addr.s_addr =
          htonl(0x7f000001u + static_cast<std::uint32_t>(index / kViewersPerAddress));
    }
    return source;
  }

  void start_viewer(std::size_t index) {
    Viewer& viewer = viewers_[index];
    const sockaddr_in source = source_of(index);
    bind_udp_pair(viewer, source, options_.rcvbuf);
    watch(viewer.rtp.get(), tag(kRtp, index), EPOLLIN);
    watch(viewer.rtcp.get(), tag(kRtcp, index), EPOLLIN);
    viewer.control = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (viewer.control.get() < 0) fail("socket");
    const int one = 1;
    ::setsockopt(viewer.control.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (source.sin_addr.s_addr != url_.addr.sin_addr.s_addr &&
        ::bind(viewer.control.get(), reinterpret_cast<const sockaddr*>(&source), sizeof source) !=
            0) {
      fail(std::string("bind: ") + std::strerror(errno));
    }
    const int rc = ::connect(viewer.control.get(), reinterpret_cast<const sockaddr*>(&url_.addr),
                             sizeof url_.addr);
    if (rc != 0 && errno != EINPROGRESS) fail(std::string("connect: ") + std::strerror(errno));
    viewer.base = url_.text;
    ++in_flight_;
    watch(viewer.control.get(), tag(kControl, index), EPOLLOUT | EPOLLIN);
  }

  void send_request(std::size_t index, std::string_view method, const std::string& uri,
                    const std::string& extra) {
    Viewer& viewer = viewers_[index];
    viewer.out = std::string(method) + " " + uri +
                 " RTSP/1.0\r\nCSeq: " + std::to_string(++viewer.cseq) +
                 "\r\nUser-Agent: loadgen\r\n" + extra + "\r\n";
    flush(index);
  }

  void flush(std::size_t index) {
    Viewer& viewer = viewers_[index];
    while (!viewer.out.empty()) {
      const ssize_t n =
          ::send(viewer.control.get(), viewer.out.data(), viewer.out.size(), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) break;
        fail(std::string("control send: ") + std::strerror(errno));
      }
      viewer.out.erase(0, static_cast<std::size_t>(n));
    }
    rewatch(viewer.control.get(), tag(kControl, index),
            viewer.out.empty() ? EPOLLIN : EPOLLIN | EPOLLOUT);
  }

  void on_control(std::size_t index, std::uint32_t events) {
    Viewer& viewer = viewers_[index];
    if (viewer.step == Step::Connecting) {
      if (events & (EPOLLERR | EPOLLHUP)) fail("control connection refused");
      if (!(events & EPOLLOUT)) return;
      viewer.step = Step::Describe;
      send_request(index, "DESCRIBE", url_.text, "Accept: application/sdp\r\n");
      return;
    }
    if ((events & EPOLLOUT) && !viewer.out.empty()) flush(index);
    if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::recv(viewer.control.get(), buffer, sizeof buffer, 0);
      if (n > 0) {
        if (viewer.step != Step::Playing) viewer.in.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      // End of stream or error.
      if (viewer.step != Step::Playing) fail("server closed a control connection during set-up");
      viewer.control_closed = true;
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, viewer.control.get(), nullptr);
      return;
    }
    while (viewer.step != Step::Playing && answer_ready(index)) {
    }
  }

  // Handles one complete response if one is buffered; false otherwise.
  bool answer_ready(std::size_t index) {
    Viewer& viewer = viewers_[index];
    const std::size_t head_end = viewer.in.find("\r\n\r\n");
    if (head_end == std::string::npos) return false;
    const std::string head = viewer.in.substr(0, head_end + 2);
    std::size_t length = 0;
    if (const auto value = header(head, "Content-Length"))
      length = std::strtoul(value->c_str(), nullptr, 10);
    if (viewer.in.size() < head_end + 4 + length) return false;
    const std::string body = viewer.in.substr(head_end + 4, length);
    viewer.in.erase(0, head_end + 4 + length);

    const std::size_t space = head.find(' ');
    const int status = space == std::string::npos ? 0 : std::atoi(head.c_str() + space + 1);
    if (status != 200)
      fail("answer to step " + std::to_string(static_cast<int>(viewer.step)) + ": " +
           head.substr(0, head.find("\r\n")));
    switch (viewer.step) {
      case Step::Describe: {
        if (const auto base = header(head, "Content-Base")) viewer.base = *base;
        viewer.setup_url = control_url(body, viewer.base);
        viewer.step = Step::Setup;
        const std::string transport =
            "Transport: RTP/AVP;unicast;client_port=" + std::to_string(viewer.rtp_port) + "-" +
            std::to_string(viewer.rtp_port + 1) + "\r\n";
        send_request(index, "SETUP", viewer.setup_url, transport);
        break;
      }
      case Step::Setup: {
        const auto session = header(head, "Session");
        if (!session) fail("SETUP answer without Session");
        viewer.session = session->substr(0, session->find(';'));
        viewer.step = Step::Play;
        send_request(index, "PLAY", viewer.base,
                     "Session: " + viewer.session + "\r\nRange: npt=0.000-\r\n");
        break;
      }
      case Step::Play:
        viewer.step = Step::Playing;
        viewer.in.clear();
        --in_flight_;
        ++playing_;
        break;
      default:
        break;
    }
    return true;
  }

  void on_datagrams(Viewer& viewer, bool rtp) {
    constexpr unsigned kBatch = 64;
    constexpr std::size_t kSize = 2048;
    static std::uint8_t buffers[kBatch][kSize];
    static iovec iov[kBatch];
    static mmsghdr messages[kBatch];
    const int fd = rtp ? viewer.rtp.get() : viewer.rtcp.get();
    for (;;) {
      for (unsigned i = 0; i < kBatch; ++i) {
        iov[i] = {buffers[i], kSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN: drained
      }
      for (int i = 0; i < n; ++i) {
        if (rtp) {
          viewer.counters.add(buffers[i], messages[i].msg_len);
        } else {
          ++viewer.rtcp_packets;
        }
      }
      if (static_cast<unsigned>(n) < kBatch) return;
    }
  }

  void on_stdin() {
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) return;
      stop_requested_ = true;
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, STDIN_FILENO, nullptr);
      return;
    }
    commands_.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = commands_.find('\n')) != std::string::npos) {
      const std::string command = commands_.substr(0, newline);
      commands_.erase(0, newline + 1);
      if (command == "mark") mark();
      if (command == "report") stop_requested_ = true;
    }
  }

  void poll(int timeout_ms) {
    epoll_event events[256];
    const int n = ::epoll_wait(epoll_.get(), events, 256, timeout_ms);
    if (n < 0 && errno != EINTR) fail("epoll_wait");
    for (int i = 0; i < n; ++i) {
      const auto kind = static_cast<Kind>(events[i].data.u64 >> 32);
      const auto index = static_cast<std::size_t>(events[i].data.u64 & 0xFFFFFFFFu);
      switch (kind) {
        case kControl:
          on_control(index, events[i].events);
          break;
        case kRtp:
          on_datagrams(viewers_[index], true);
          break;
        case kRtcp:
          on_datagrams(viewers_[index], false);
          break;
        case kStdin:
          on_stdin();
          break;
      }
    }
  }

  void mark() {
    for (Viewer& viewer : viewers_) {
      viewer.counters = RtpCounters{};
      viewer.rtcp_packets = 0;
    }
    marked_ = Clock::now();
    cpu_at_mark_ = cpu_seconds();
  }

  void report(double setup_seconds) const {
    std::uint64_t packets = 0, bytes = 0, lost = 0, expected = 0, reordered = 0, rtcp = 0,
                  frames = 0;
    std::uint64_t least = UINT64_MAX, most = 0, silent = 0, closed = 0;
    for (const Viewer& viewer : viewers_) {
      const RtpCounters& c = viewer.counters;
      packets += c.packets;
      bytes += c.bytes;
      lost += c.lost();
      expected += c.expected();
      reordered += c.reordered;
      frames += c.markers;
      rtcp += viewer.rtcp_packets;
      least = std::min(least, c.packets);
      most = std::max(most, c.packets);
      if (c.packets == 0) ++silent;
      if (viewer.control_closed) ++closed;
    }
    if (viewers_.empty()) least = 0;
    std::printf(
        "{\"viewers\": %zu, \"seconds\": %.3f, \"cpu_seconds\": %.3f, \"setup_seconds\": %.3f, "
        "\"packets\": %llu, \"bytes\": %llu, "
        "\"expected\": %llu, \"lost\": %llu, \"reordered\": %llu, \"frames\": %llu, "
        "\"rtcp_packets\": %llu, "
        "\"min_viewer_packets\": %llu, \"max_viewer_packets\": %llu, \"silent_viewers\": %llu, "
        "\"closed_controls\": %llu}\n",
        viewers_.size(), seconds_since(marked_), cpu_seconds() - cpu_at_mark_, setup_seconds,
        static_cast<unsigned long long>(packets), static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(expected), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(reordered), static_cast<unsigned long long>(frames),
        static_cast<unsigned long long>(rtcp), static_cast<unsigned long long>(least),
        static_cast<unsigned long long>(most), static_cast<unsigned long long>(silent),
        static_cast<unsigned long long>(closed));
    std::fflush(stdout);
  }

  Options options_;
  Url url_;
  Fd epoll_;
  std::vector<Viewer> viewers_;
  std::size_t next_to_start_ = 0;
  std::size_t in_flight_ = 0;
  std::size_t playing_ = 0;
  bool stop_requested_ = false;
  std::string commands_;
  Clock::time_point started_;
  Clock::time_point marked_;
  double cpu_at_mark_ = 0;
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--url") {
      options.url = value();
    } else if (arg == "--viewers") {
      options.viewers = std::atoi(value().c_str());
    } else if (arg == "--parallel") {
      options.parallel = std::max(1, std::atoi(value().c_str()));
    } else if (arg == "--rcvbuf") {
      options.rcvbuf = std::atoi(value().c_str());
    } else if (arg == "--setup-timeout") {
      options.setup_timeout = std::atof(value().c_str());
    } else if (arg == "--max-seconds") {
      options.max_seconds = std::atof(value().c_str());
    } else {
      fail(
          "usage: loadgen --url rtsp://IPV4:PORT/PATH [--viewers N] [--parallel K] [--rcvbuf "
          "BYTES] "
          "[--setup-timeout S] [--max-seconds S]");
    }
  }
  if (options.url.empty()) fail("--url is required");
  if (options.viewers < 1 || options.viewers > 1000) fail("--viewers must be between 1 and 1000");
  options.max_seconds = std::min(std::max(options.max_seconds, 1.0), 3600.0);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  LoadGenerator generator(options);
  return generator.run();
}
