"""GStreamer's RTSP server fed the same way as ours, for the fan-out benchmark.

    python3 bench/peers/gst_rtsp_server.py FILE.h264

A shared media factory at /stream whose pipeline is
appsrc (live, time-stamped on arrival) ! h264parse ! rtph264pay name=pay0,
with the payloader's packets no larger than ours. The main thread pushes
one access unit per frame by the clock (bench/realtime_feed.py), the file
looped, until standard input ends; GLib's main loop serves RTSP on another
thread. Prints "listening PORT" once the server is bound.
"""

import pathlib
import sys
import threading

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))
import realtime_feed  # noqa: E402

RTP_PACKET_SIZE = 1412  # 12-byte header and at most 1400 bytes of payload, as ours

PIPELINE = (
    "( appsrc name=src is-live=true format=time do-timestamp=true "
    "max-bytes=8000000 leaky-type=downstream "
    "caps=video/x-h264,stream-format=byte-stream,alignment=au "
    f"! h264parse ! rtph264pay name=pay0 pt=96 mtu={RTP_PACKET_SIZE} )"
)


class Feeder:
    """Pushes access units into the shared media's appsrc once it exists."""

    def __init__(self):
        self.lock = threading.Lock()  # guards appsrc, set on the main-loop thread
        self.appsrc = None

    def on_media_configure(self, _factory, media_object):
        source = media_object.get_element().get_by_name("src")
        with self.lock:
            self.appsrc = source

    def send(self, unit):
        with self.lock:
            source = self.appsrc
        if source is not None:
            source.emit("push-buffer", Gst.Buffer.new_wrapped(unit))


def start(_fps):
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(PIPELINE)
    factory.set_shared(True)
    feeder = Feeder()
    factory.connect("media-configure", feeder.on_media_configure)
    server.get_mount_points().add_factory("/stream", factory)
    if server.attach(None) == 0:
        sys.exit("gst_rtsp_server: could not bind")
    loop = GLib.MainLoop()
    threading.Thread(target=loop.run, name="glib-main", daemon=True).start()
    return feeder.send, server.get_bound_port(), loop.quit


if __name__ == "__main__":
    realtime_feed.serve(__doc__.split("\n\n")[0], start)
