"""This server fed in real time, for the fan-out benchmark (bench/fanout.py).

    PYTHONPATH=<build>/python python3 bench/serve_ours.py FILE.h264

Starts an rtsp.Server on a free loopback port, prints "listening PORT" and
calls send_frame once per frame by the clock (bench/realtime_feed.py), the
file looped, until standard input ends.
"""

import realtime_feed
from send_frame import start_server


def start(fps):
    server, port = start_server()
    increment = 90000 // fps
    return (lambda unit: server.send_frame(unit, increment)), port, server.stop


if __name__ == "__main__":
    realtime_feed.serve(__doc__.split("\n\n")[0], start)
