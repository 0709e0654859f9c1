"""A live source whose every picture carries its own index, for measuring how
long a picture takes from send_frame to a player's screen.

    python tests/browser/stamping_source.py --bind HOST:PORT [--seconds N]

examples/numpy_frames.py's pictures (640x360, Main profile, two slices a
picture, a keyframe for each new viewer), with a strip along the top: 24
blocks of 16x16 pixels, black or white, the picture's index in 16 bits and 8
check bits. Prints "serving URL", then "sent INDEX TIME" for each picture
as it is handed to the server (TIME from time.time(), in seconds).

read_stamp() reads the strip back from a picture's luma; the page's reader in
test_browser.py does the same in a canvas.
"""

import argparse
import os
import sys

import numpy as np

BLOCK = 16  # pixels a side: one macroblock, which survives compression
INDEX_BITS = 16
CHECK_BITS = 8
BITS = INDEX_BITS + CHECK_BITS
STRIP_WIDTH = BITS * BLOCK


def check_of(index):
    """The check bits of a 16-bit index: neither all black nor all white
    (nor a screen before any picture) reads as a stamp."""
    return ~((index >> 8) ^ index) & 0xFF


def stamp(frame, index):
    """Writes `index` (modulo 2**16) into the top strip of an RGB frame."""
    index &= 0xFFFF
    word = index << CHECK_BITS | check_of(index)
    for bit in range(BITS):
        white = (word >> (BITS - 1 - bit)) & 1
        frame[:BLOCK, bit * BLOCK:(bit + 1) * BLOCK] = 255 if white else 0
    return frame


def read_stamp(luma):
    """The index stamped in a picture, from its luma (a 2-D array at least
    BLOCK rows by STRIP_WIDTH columns, top-left aligned), or None if the
    strip is not a valid stamp."""
    quarter = BLOCK // 4
    centres = np.asarray(luma[quarter:BLOCK - quarter, :STRIP_WIDTH], dtype=np.float32)
    centres = centres.reshape(BLOCK - 2 * quarter, BITS, BLOCK)[:, :, quarter:BLOCK - quarter]
    word = 0
    for white in centres.mean(axis=(0, 2)) > 128:
        word = word << 1 | int(white)
    index = word >> CHECK_BITS
    return index if word & 0xFF == check_of(index) else None


def main():
    import launch
    import numpy_frames

    parser = argparse.ArgumentParser(description="a source that stamps each picture's index")
    launch.add_bind_option(parser, "127.0.0.1:8554")
    parser.add_argument("--seconds", type=float, default=None)
    args = parser.parse_args()

    def stamped(index, width, height):
        return stamp(numpy_frames.draw(index, width, height), index)

    def sent(index, when):
        print(f"sent {index} {when:.6f}", flush=True)

    server = launch.start_server(args.bind)
    print(f"serving {launch.watch_url(args.bind)}", flush=True)
    try:
        numpy_frames.serve(server, 640, 360, 30, args.seconds, drawer=stamped, on_sent=sent)
    finally:
        server.stop()


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples"))
    import launch
    launch.run(main)
