"""Re-serve this server's stream to players it cannot reach over UDP.

    /usr/bin/python3 examples/relay.py --source rtsp://CAMERA-HOST:8554/stream [--bind 0.0.0.0:8555]

The server sends RTP over UDP only, which needs a path without NAT or a
firewall between it and each player, and one process serves a bounded number
of viewers. This relay, an RTSP server engine from GStreamer (Debian's
gir1.2-gst-rtsp-server-1.0 and python3-gst-1.0), pulls the stream once over
UDP and serves it again at rtsp://RELAY-HOST:8555/stream, without re-encoding, to
any number of players, over UDP or interleaved in the RTSP connection
(`ffplay -rtsp_transport tcp rtsp://RELAY-HOST:8555/stream`), which passes
NAT and firewalls that let the one TCP connection through. It adds about
50 ms of delay (its jitter buffer). Run one relay per site or per few
hundred players.
"""

from __future__ import annotations

import argparse
import signal
import sys

# The relay runs where the rtsp module may not be installed, so it does not
# share launch.py; like the other examples, it names what is missing in one
# line rather than with a traceback.
try:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstRtspServer
except (ImportError, ValueError) as err:  # ValueError: "Namespace ... not available"
    sys.exit(f"relay.py: {err}: install Debian's python3-gi, python3-gst-1.0 and"
             " gir1.2-gst-rtsp-server-1.0")


def pipeline(source: str) -> str:
    # Depayload and payload again: the relay keeps its own sequence numbers
    # and timing, and its own SDP with the stream's parameter sets.
    # h264parse puts the SPS and PPS before every keyframe access unit, so a
    # player that joins late can start there; the payloader must not repeat
    # them before each slice as well, or a picture of several slices
    # decodes as several half-concealed ones.
    # A jitter buffer of 50 ms reorders what the LAN between the server and
    # the relay may reorder, and is all the delay the relay adds for a
    # live view; lost packets are not sent again over UDP, so more buys
    # nothing.
    return (f"( rtspsrc location={source} protocols=udp latency=50 "
            "! rtph264depay ! h264parse config-interval=-1 "
            "! rtph264pay name=pay0 pt=96 )")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__ and __doc__.splitlines()[0])
    parser.add_argument("--source", required=True, help="this server's stream URL")
    parser.add_argument("--bind", default="0.0.0.0:8555", metavar="HOST:PORT",
                        help="the relay's RTSP listen address (default 0.0.0.0:8555)")
    args = parser.parse_args(argv)
    host, _, port = args.bind.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")
    if not (host and port.isdigit()):
        parser.error("--bind must look like HOST:PORT")

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(host)
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(pipeline(args.source))
    # One pull from the source for every player; players may ask for UDP or
    # for RTP interleaved in their RTSP connection (the default transports).
    factory.set_shared(True)
    server.get_mount_points().add_factory("/stream", factory)
    if server.attach(None) == 0:
        sys.exit(f"relay.py: cannot listen on {args.bind}")

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print(f"relaying {args.source} at rtsp://{args.bind}/stream", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
