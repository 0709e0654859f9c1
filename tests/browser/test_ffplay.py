"""The browser's figures for a desktop player beside them: ffplay playing the
stamping source directly over UDP with its low-delay flags, on a virtual X
display. A grabber reads the stamp of what is on the screen 200 times a
second, so a picture counts as presented when the X server's screen shows
it (seen up to 5 ms late). Prints the figures; asserts only that it played."""

import os
import time

import pytest

from harness import Child, Display, latencies_ms, summary
from support import wait_for

LATENCY_S = float(os.environ.get("RTSP_BROWSER_LATENCY_S", "60"))
FRAMES = min(150, int(25 * LATENCY_S))  # at least, of the 30 a second sent
JOINS = int(os.environ.get("RTSP_BROWSER_JOINS", "10"))
PLAYING_S = 20  # bound on the first picture, on a loaded machine

FFPLAY = ["ffplay", "-hide_banner", "-loglevel", "error", "-fflags", "nobuffer",
          "-flags", "low_delay", "-rtsp_transport", "udp", "-an", "-noborder",
          "-left", "0", "-top", "0", "-x", "640", "-y", "360"]
# More flags to try, e.g. "-sync video" (ffplay's own clock, with no audio to
# follow, holds pictures back some 250 ms).
FFPLAY += os.environ.get("RTSP_FFPLAY_FLAGS", "").split()


@pytest.fixture(scope="module")
def display():
    screen = Display()
    try:
        yield screen
    finally:
        screen.close()


def ffplay(display, source):
    return Child(FFPLAY + [source.url],
                 env=dict(os.environ, DISPLAY=display.name, SDL_AUDIODRIVER="dummy"))


def test_ffplay_plays_and_in_time(display, source):
    player = ffplay(display, source)
    try:
        assert wait_for(lambda: display.current is not None, PLAYING_S), player.stderr
        display.seen = {}
        time.sleep(LATENCY_S)
        presented = dict(display.seen)
    finally:
        player.stop()
    span = range(min(presented), max(presented) + 1)
    latency, line = summary(latencies_ms(source.sent, presented))
    print(f"\nffplay, {LATENCY_S:.0f} s: {len(presented)} pictures on screen, "
          f"{len(span) - len(presented)} of the source's never shown; "
          f"send_frame to screen p50 / p95 / max {line}")
    assert len(presented) >= FRAMES
    assert latency["p95"] < 1000  # a sanity bound only: the figures are printed


def test_ffplay_time_to_first_picture_over_joins(display, source):
    firsts = []
    for _ in range(JOINS):
        assert wait_for(lambda: display.current is None, 5), "the last picture stayed on screen"
        display.seen = {}
        started = time.time()
        player = ffplay(display, source)
        try:
            assert wait_for(lambda: display.seen, PLAYING_S), player.stderr
            firsts.append((min(display.seen.values()) - started) * 1000)
        finally:
            player.stop()
    figures, line = summary(firsts)
    print(f"\nffplay, {JOINS} joins: process start to first picture p50 / p95 / max {line}; "
          f"in turn: {' '.join(f'{first:.0f}' for first in firsts)}")
    assert figures["p95"] < 3000  # a sanity bound only
