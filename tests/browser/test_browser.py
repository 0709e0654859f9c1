"""A browser tab plays the stream through examples/browser.py over WebRTC:
headless Chromium in the suite's network namespace, the stamping source
behind it. Asserts what was played (frames, no corruption, several windows,
nothing left behind by churn); prints how late each picture reached the
screen and how soon a page showed its first one."""

import os
import time

import pytest

from harness import latencies_ms, summary
from support import descriptors, threads, wait_for

LATENCY_S = float(os.environ.get("RTSP_BROWSER_LATENCY_S", "60"))
FRAMES = min(150, int(25 * LATENCY_S))  # at least, of the 30 a second sent
JOINS = int(os.environ.get("RTSP_BROWSER_JOINS", "10"))
PLAYING_S = 20  # bound on a page's first picture, on a loaded machine

# Runs before the page's own script: on every frame the <video> presents,
# reads the stamp strip (see stamping_source.py) through a canvas and keeps
# [index, wall-clock ms the frame was due on screen]; counts frames whose
# strip did not read as a stamp.
STAMP_READER = r"""
(() => {
  const BLOCK = 16, BITS = 24, WIDTH = BLOCK * BITS;
  window.stamps = [];
  window.unstamped = 0;
  const checkOf = (index) => ~((index >> 8) ^ index) & 0xFF;
  function watch(video) {
    const canvas = document.createElement('canvas');
    canvas.width = WIDTH;
    canvas.height = BLOCK;
    const context = canvas.getContext('2d', {willReadFrequently: true});
    const onFrame = (now, metadata) => {
      context.drawImage(video, 0, 0, WIDTH, BLOCK, 0, 0, WIDTH, BLOCK);
      const pixels = context.getImageData(0, 0, WIDTH, BLOCK).data;
      let word = 0;
      for (let bit = 0; bit < BITS; bit++) {
        let sum = 0;
        for (let y = BLOCK / 4; y < BLOCK * 3 / 4; y++) {
          for (let x = BLOCK / 4; x < BLOCK * 3 / 4; x++) {
            const at = (y * WIDTH + bit * BLOCK + x) * 4;
            sum += 0.299 * pixels[at] + 0.587 * pixels[at + 1] + 0.114 * pixels[at + 2];
          }
        }
        word = word * 2 + (sum / (BLOCK * BLOCK / 4) > 128 ? 1 : 0);
      }
      const index = word >> 8;
      if ((word & 0xFF) === checkOf(index)) {
        window.stamps.push([index, performance.timeOrigin + metadata.expectedDisplayTime]);
      } else {
        window.unstamped++;
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  }
  document.addEventListener('DOMContentLoaded', () => watch(document.getElementById('video')));
})();
"""

PAGE_STATE = """
const quality = document.getElementById('video').getVideoPlaybackQuality();
return {state: window.whepState, error: window.whepError,
        status: document.getElementById('status').textContent,
        presented: window.stamps.length, unstamped: window.unstamped,
        total: quality.totalVideoFrames, dropped: quality.droppedVideoFrames,
        corrupted: quality.corruptedVideoFrames, timeOrigin: performance.timeOrigin};
"""


# Since the page's navigation started, in ms: its first picture, when its
# script could start, and when the offer went to the gateway and its answer
# came back.
JOIN_TIMES = """
const page = performance.getEntriesByType('navigation')[0];
const post = performance.getEntriesByType('resource').find(e => e.name.endsWith('/whep'));
return [window.stamps[0][1] - performance.timeOrigin, page.domInteractive, post.startTime,
        post.responseEnd];
"""


def viewer(windows, gateway, *scripts):
    """A new window that reads the stamps of the gateway's page, loaded;
    `scripts` run there before the page's own too."""
    window = windows.open()
    for script in (STAMP_READER, *scripts):
        window.on_every_page(script)
    window.driver.get(gateway.url)
    return window


def state(window):
    return window.driver.execute_script(PAGE_STATE)


def wait_presented(window, frames, timeout=PLAYING_S):
    """Waits until the page has presented `frames` stamped pictures; its
    state then (an AssertionError if it failed or took too long)."""
    last = {}

    def enough():
        last.update(state(window))
        assert last["state"] != "failed", f"the page failed: {last}"
        return last["presented"] >= frames

    assert wait_for(enough, timeout, interval=0.1), f"too few pictures presented: {last}"
    return last


def assert_clean(page):
    """No corrupted frame, and next to no picture whose strip does not read
    (one shown damaged). A packet lost to a stalled process on a loaded
    machine damages a few, until the next keyframe; a stream that the
    browser decodes wrongly damages most of them."""
    assert page["corrupted"] == 0, page
    assert page["unstamped"] * 50 <= page["presented"], page


def stamps(window):
    """{index: wall-clock seconds presented} of the window's page."""
    return {index: at / 1000 for index, at in window.driver.execute_script("return window.stamps")}


def test_a_window_plays_clean_and_in_time(windows, gateway, source):
    window = viewer(windows, gateway)
    wait_presented(window, 1)
    deadline = time.monotonic() + LATENCY_S
    while time.monotonic() < deadline:  # watch it fail early rather than late
        assert state(window)["state"] == "playing"
        time.sleep(1)
    page = state(window)
    presented = stamps(window)
    span = range(min(presented), max(presented) + 1)
    latency, line = summary(latencies_ms(source.sent, presented))
    print(f"\nbrowser, {LATENCY_S:.0f} s: {page['presented']} pictures presented, "
          f"{len(span) - len(presented)} of the source's skipped, {page['unstamped']} unreadable; "
          f"playback quality: {page['total']} frames, {page['dropped']} dropped, "
          f"{page['corrupted']} corrupted; send_frame to presented p50 / p95 / max {line}")
    assert page["presented"] >= FRAMES
    assert_clean(page)
    assert latency["p95"] < 1000  # a sanity bound only: the figures are printed


def test_time_to_first_picture_over_joins(windows, gateway):
    assert wait_for(lambda: gateway.status()["viewers"] == 0, 20, interval=0.2)
    # A browser's first page also starts its renderer and media stack (some
    # 50-100 ms): told apart, as a user's browser is usually running.
    window = viewer(windows, gateway)
    wait_presented(window, 1)
    cold = window.driver.execute_script(JOIN_TIMES)[0]
    times = []  # JOIN_TIMES of each join
    for _ in range(JOINS):
        window.driver.get(gateway.url)  # the page before leaves as a user's would
        wait_presented(window, 1)
        times.append(window.driver.execute_script(JOIN_TIMES))
    # Each page left ended its session as it went (not by falling silent).
    assert wait_for(lambda: gateway.status()["viewers"] == 1, 2, interval=0.1)
    figures, line = summary([first for first, *_ in times])
    script, offer, answer = (summary(column)[0]["p50"] for column in list(zip(*times))[1:])
    print(f"\nbrowser, {JOINS} joins: page load to first picture p50 / p95 / max {line} "
          f"(medians: script from {script:.0f} ms, offer sent at {offer:.0f} ms, "
          f"answer in at {answer:.0f} ms); in turn: {' '.join(f'{t[0]:.0f}' for t in times)}; "
          f"the browser's first page after it started: {cold:.0f} ms")
    assert figures["p95"] < 2000  # a sanity bound only


def test_two_windows_at_once_both_play(windows, gateway):
    assert wait_for(lambda: gateway.status()["viewers"] == 0, 20, interval=0.2)
    both = [viewer(windows, gateway), viewer(windows, gateway)]
    pages = [wait_presented(window, 90) for window in both]
    assert gateway.status()["viewers"] == 2
    for page in pages:
        assert_clean(page)


def gateway_holds(gateway):
    return (gateway.status()["viewers"], threads(gateway.pid), descriptors(gateway.pid))


def test_churn_leaves_the_gateway_as_it_was(windows, gateway):
    assert wait_for(lambda: gateway.status()["viewers"] == 0, 20, interval=0.2)
    base = gateway_holds(gateway)
    first = viewer(windows, gateway)
    wait_presented(first, 30)
    windows.close(first)  # its page ends its session
    second = viewer(windows, gateway)
    wait_presented(second, 30)
    during = gateway_holds(gateway)
    windows.close(second, abruptly=True)  # the gateway hears nothing more from it
    closed = time.monotonic()
    back = wait_for(lambda: all(now <= then for now, then in zip(gateway_holds(gateway), base)),
                    20, interval=0.2)
    after = gateway_holds(gateway)
    print(f"\nchurn: viewers, threads, descriptors {base} -> {during} -> {after}, "
          f"{time.monotonic() - closed:.1f} s after the last window closed")
    assert during[0] == 1
    assert back, f"the gateway kept what a closed window used: {after} vs {base}"


# A browser that offers no H.264 format the stream can be sent as (only High
# 4:4:4 here, the stream being Main) is told why in words.
HIGH_444_ONLY = "\r\n".join([
    "v=0", "o=- 1 2 IN IP4 127.0.0.1", "s=-", "t=0 0", "a=group:BUNDLE 0",
    "m=video 9 UDP/TLS/RTP/SAVPF 41", "c=IN IP4 0.0.0.0", "a=rtcp:9 IN IP4 0.0.0.0",
    "a=ice-ufrag:abcd", "a=ice-pwd:abcdefghijklmnopqrstuvwx",
    "a=fingerprint:sha-256 " + ":".join(["AB"] * 32), "a=setup:actpass", "a=mid:0",
    "a=recvonly", "a=rtcp-mux", "a=rtpmap:41 H264/90000",
    "a=fmtp:41 level-asymmetry-allowed=1;packetization-mode=1;profile-level-id=f4001f", ""])


@pytest.mark.parametrize("method, path, body, expected, reason", [
    ("POST", "/whep", HIGH_444_ONLY, 406, "H.264"),
    ("DELETE", "/whep/no-such-session", None, 404, None),
])
def test_requests_the_gateway_refuses(gateway, method, path, body, expected, reason):
    headers = {"Content-Type": "application/sdp"} if body else {}
    status, text = gateway.request(method, path, body and body.encode(), headers)
    assert status == expected, text
    if reason:
        assert reason in text
