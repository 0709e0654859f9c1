"""The test streams of scripts/bench, made once with ffmpeg and cached.

The full run uses a 1080p30 stream of about 8 Mbit/s (baseline profile,
an access unit delimiter opening every access unit, SPS and PPS before
every keyframe, a keyframe every 30 frames); a little noise over the test
pattern keeps the encoder at its bit rate. The smoke run uses a small,
quick one of the same shape.
"""

import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from annexb import AccessUnitSplitter  # noqa: E402  (the examples' splitter, shared)

FULL = {"size": "1920x1080", "seconds": 10, "bitrate": "8M"}
SMOKE = {"size": "320x240", "seconds": 2, "bitrate": "500k"}
FPS = 30


def stream(cache_dir, smoke=False):
    """Path of the cached Annex B stream, encoding it first if needed."""
    shape = SMOKE if smoke else FULL
    cache_dir = pathlib.Path(cache_dir)
    cache_dir.mkdir(parents=True, exist_ok=True)
    path = cache_dir / f"stream-{shape['size']}-{FPS}fps-{shape['bitrate']}-{shape['seconds']}s.h264"
    if path.exists() and path.stat().st_size > 0:
        return path
    partial = path.with_suffix(".partial")
    command = [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
        "-f", "lavfi", "-i", f"testsrc2=size={shape['size']}:rate={FPS}",
        "-t", str(shape["seconds"]), "-vf", "noise=alls=12:allf=t", "-pix_fmt", "yuv420p",
        "-c:v", "libx264", "-profile:v", "baseline", "-preset", "veryfast",
        "-b:v", shape["bitrate"], "-maxrate", shape["bitrate"], "-bufsize", shape["bitrate"],
        "-g", str(FPS), "-keyint_min", str(FPS), "-sc_threshold", "0", "-bf", "0",
        "-x264-params", "aud=1:repeat-headers=1", "-f", "h264", "-y", str(partial),
    ]
    subprocess.run(command, check=True, timeout=600)
    partial.rename(path)
    return path


def repeated(path, times):
    """The stream played `times` over as one file (beside it), for runs long
    enough to time a whole process: each copy starts with a keyframe and its
    parameter sets, so the joined stream is a valid one."""
    path = pathlib.Path(path)
    joined = path.with_name(f"{path.stem}-x{times}.h264")
    if not joined.exists() or joined.stat().st_size != path.stat().st_size * times:
        data = path.read_bytes()
        partial = joined.with_suffix(".partial")
        with open(partial, "wb") as out:
            for _ in range(times):
                out.write(data)
        partial.rename(joined)
    return joined


def access_units(path):
    """The access units of an Annex B file, in order."""
    splitter = AccessUnitSplitter()
    units = splitter.feed(pathlib.Path(path).read_bytes()) + splitter.flush()
    if not units:
        raise ValueError(f"{path} holds no H.264 access units")
    return units
