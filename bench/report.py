"""All the benchmark tables of scripts/bench, each beside the established peers.

Prints, as Markdown: the machine; packetizing per packet (the C++ core,
the Python module, FFmpeg's RTP muxer, GStreamer's rtph264pay); fan-out to
N loopback viewers (this server and GStreamer's RTSP server); the first
answer on a new control connection. Every ratio is ours divided by the
peer's figure, for costs, so below 1 means we spend less. All peers are
measured in the same run, on the same file.

    PYTHONPATH=<build>/python python3 bench/report.py --build <build> [--smoke]

Nothing here passes or fails on a figure: the smoke mode (--smoke) only
checks, in a few seconds, that every instrument still runs and measures
something.
"""

import argparse
import json
import os
import pathlib
import platform
import random
import statistics
import subprocess
import sys
import time

import fanout
import first_answer
import media
from peers import packetize_peers

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The NAL unit sizes of the access units of packetize_bench's two original
# cases, for a per-packet figure where the benchmark reports no packet count.
LEGACY_SHAPES = {
    "BM_PacketizeIdr": ((0x09, 2), (0x67, 25), (0x68, 4), (0x65, 50000)),
    "BM_PacketizeP": ((0x09, 2), (0x41, 5000)),
}

FULL = {"repeat_file": 8, "runs": 5, "bench_repetitions": 5, "bench_min_time": 0.2,
        "viewers": [1, 10, 50, 100, 200], "seconds": 6.0, "connections": 40}
SMOKE = {"repeat_file": 1, "runs": 1, "bench_repetitions": 1, "bench_min_time": 0.01,
         "viewers": [2], "seconds": 1.0, "connections": 5}


def log(line):
    print(f"bench: {line}", file=sys.stderr, flush=True)


def ratio(ours, peer):
    return f"{ours / peer:.2f}" if peer and ours is not None else "n/a"


def spread(values, digits=1, unit=" ms"):
    """"median (min-max)" of the values, or "none"."""
    if not values:
        return "none"
    f = f"{{:.{digits}f}}"
    return (f"{f.format(statistics.median(values))}{unit} "
            f"({f.format(min(values))}-{f.format(max(values))})")


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


# --- the machine ---------------------------------------------------------------

def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip()
    ffmpeg = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout
    gst = subprocess.run(["gst-launch-1.0", "--version"], capture_output=True, text=True).stdout
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "commit": commit,
        "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "ffmpeg": ffmpeg.split("\n", 1)[0].split(" Copyright")[0],
        "gstreamer": gst.split("\n")[1] if "\n" in gst else gst,
        "load": os.getloadavg()[0],
    }


# --- packetizing ---------------------------------------------------------------

def shape_packets(nal_shapes):
    """Packets our packetizer makes of an access unit of these NAL units."""
    import rtsp
    rng = random.Random(1)
    frame = b"".join(b"\x00\x00\x00\x01" + bytes([header]) + rng.randbytes(size - 1).replace(b"\x00", b"\x5a")
                     for header, size in nal_shapes)
    return len(rtsp.H264Packetizer(96).packetize(frame, 3000))


def packets_per_iteration(entry, seconds_per_iteration):
    for key, value in entry.items():
        if "packet" in key.lower() and isinstance(value, (int, float)):
            # A counter: per iteration, or (far larger) a rate per second.
            return value * seconds_per_iteration if value > 1e5 else value
    if "items_per_second" in entry:
        return entry["items_per_second"] * seconds_per_iteration
    base = entry["run_name"].split("/")[0]
    if base in LEGACY_SHAPES:
        return shape_packets(LEGACY_SHAPES[base])
    if "bytes_per_second" in entry:
        # Estimated as one slice of the access unit's size; shown as such.
        size = round(entry["bytes_per_second"] * seconds_per_iteration)
        return Estimate(shape_packets(((0x65, max(size - 4, 1)),)))
    return None


class Estimate(int):
    """A packet count worked out from the access unit's size alone."""


def core_packetizing(build, plan):
    """(name, ns per access unit, packets per access unit) for each
    packetizing case of packetize_bench, median of its repetitions."""
    command = [build / "bench" / "packetize_bench", "--benchmark_format=json",
               "--benchmark_filter=Packetize", f"--benchmark_min_time={plan['bench_min_time']}",
               f"--benchmark_repetitions={plan['bench_repetitions']}"]
    output = subprocess.run([str(c) for c in command], capture_output=True, text=True,
                            check=True, timeout=600).stdout
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    rows = []
    for entry in json.loads(output)["benchmarks"]:
        wanted = ("median" if plan["bench_repetitions"] > 1 else None)
        if entry.get("aggregate_name") != wanted:
            continue
        ns = entry["cpu_time"] * scale[entry["time_unit"]]
        rows.append((entry["run_name"], ns, packets_per_iteration(entry, ns / 1e9)))
    if not rows:
        raise RuntimeError("packetize_bench reported no packetizing case")
    return rows


def python_packetizing(script, path):
    output = subprocess.run([sys.executable, str(script), "--json", str(path)], capture_output=True,
                            text=True, check=True, timeout=600).stdout
    return json.loads(output[output.index("{"):])


def packetizing_table(results):
    ffmpeg = results["peers"]["ffmpeg"]["ns_per_packet"]
    gst = results["peers"]["gstreamer"]["ns_per_packet"]
    rows = []
    for name, ns, packets in results["core"]:
        per_packet = ns / packets if packets else None
        shown = ("≈" if isinstance(packets, Estimate) else "") + f"{packets:.0f}" if packets else "n/a"
        rows.append([f"core `{name}`", f"{ns / 1000:.2f} us", shown,
                     f"{per_packet:.0f}" if per_packet else "n/a",
                     ratio(per_packet, ffmpeg), ratio(per_packet, gst)])
    py = results["python"]
    if py is not None:
        rows.append(["Python `H264Packetizer.packetize`, stream",
                     f"{py['ns_per_packet'] * py['packets'] / py['frames'] / 1000:.2f} us",
                     f"{py['packets'] / py['frames']:.1f}", f"{py['ns_per_packet']:.0f}",
                     ratio(py["ns_per_packet"], ffmpeg), ratio(py["ns_per_packet"], gst)])
    else:
        rows.append(["Python `H264Packetizer.packetize`, stream", "n/a", "n/a",
                     "(bench/packetize_python.py missing)", "n/a", "n/a"])
    for label, peer in (("FFmpeg RTP muxer, stream", "ffmpeg"), ("GStreamer rtph264pay, stream", "gstreamer")):
        figures = results["peers"][peer]
        frames = results["stream_frames"]
        rows.append([label, f"{figures['ns_per_packet'] * figures['packets'] / frames / 1000:.2f} us",
                     f"{figures['packets'] / frames:.1f}", f"{figures['ns_per_packet']:.0f}",
                     ratio(figures["ns_per_packet"], ffmpeg), ratio(figures["ns_per_packet"], gst)])
    return table(["packetizer, input", "per access unit", "packets per AU", "ns per packet",
                  "÷ FFmpeg", "÷ GStreamer"], rows)


# --- fan-out -------------------------------------------------------------------

def median_of(cases, pick):
    return statistics.median(pick(case) for case in cases)


def frame_rate(case):
    """Frames a viewer received per second (RTP marker bits), on average."""
    received = case["received"]
    return received["frames"] / case["viewers"] / received["seconds"]


def fanout_table(results, counts):
    rows = []
    for n in counts:
        ours, gst = results[("ours", n)], results[("gstreamer", n)]
        cpu_ours = median_of(ours, lambda c: c["cpu_per_second"])
        cpu_gst = median_of(gst, lambda c: c["cpu_per_second"])
        feed = lambda key: median_of(ours, lambda c: c["feed"][key])  # noqa: E731
        rows.append([
            n, f"{cpu_ours:.3f}", f"{cpu_gst:.3f}", ratio(cpu_ours, cpu_gst),
            f"{100 * median_of(ours, fanout.loss_fraction):.3f}%",
            f"{100 * median_of(gst, fanout.loss_fraction):.3f}%",
            f"{feed('send_p50_ms'):.2f} / {feed('send_p99_ms'):.2f} / {feed('send_max_ms'):.2f}",
            f"{feed('late'):.0f} / {feed('frames'):.0f}",
            f"{median_of(ours, frame_rate):.1f} / {median_of(gst, frame_rate):.1f}",
            f"{median_of(ours, lambda c: c['setup_seconds']):.2f} / {median_of(gst, lambda c: c['setup_seconds']):.2f}",
        ])
    return table(["N", "ours CPU s/s", "GStreamer CPU s/s", "÷ GStreamer", "ours loss", "GStreamer loss",
                  "send_frame p50 / p99 / max ms", "late / frames", "frames/s per viewer (ours / GStreamer)",
                  "all playing after s (ours / GStreamer)"], rows)


def fanout_sanity(results):
    """Smoke: every viewer of every case received something."""
    for (name, n), cases in results.items():
        for case in cases:
            if case["received"]["silent_viewers"] or not case["received"]["packets"]:
                raise RuntimeError(f"fan-out {name} N={n}: a viewer received nothing")


# --- first answer --------------------------------------------------------------

def first_answer_table(results):
    ms = {name: [t * 1000 for t in times] for name, times in results.items()}
    med = {name: statistics.median(values) for name, values in ms.items()}
    rows = [[name, len(ms[name]), f"{med[name]:.3f}", f"{max(ms[name]):.3f}",
             ratio(med[name], med["gstreamer"])] for name in ms]
    return table(["server", "connections", "median ms", "max ms", "median ÷ GStreamer"], rows)


# --- the whole run -------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True, type=pathlib.Path)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--only", default="packetize,fanout,first-answer",
                        help="comma-separated sections (default: all)")
    parser.add_argument("--viewers", help="fan-out viewer counts, e.g. 1,10,100")
    parser.add_argument("--seconds", type=float, help="fan-out window per case")
    parser.add_argument("--repeat", type=int, default=1, help="fan-out rounds (medians are shown)")
    parser.add_argument("--packetize-python", type=pathlib.Path,
                        default=ROOT / "bench" / "packetize_python.py")
    parser.add_argument("--steer", action="store_true",
                        help="also run fan-out with the viewers' receive work on the other core")
    parser.add_argument("--json", type=pathlib.Path, help="also write every raw figure here")
    args = parser.parse_args()

    plan = dict(SMOKE if args.smoke else FULL)
    if args.viewers:
        plan["viewers"] = [int(n) for n in args.viewers.split(",")]
    if args.seconds:
        plan["seconds"] = min(max(args.seconds, 0.5), 60.0)
    sections = set(args.only.split(","))
    build = args.build.resolve()
    raw = {"machine": machine(), "smoke": args.smoke}
    m = raw["machine"]
    print(f"Machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}; load {m['load']:.2f} at start")
    print(f"Commit {m['commit']}, {m['date']}; {m['ffmpeg']}; {m['gstreamer']}\n")
    if args.smoke:
        print("Smoke run: a tiny stream and one pass each, so the figures mean nothing; "
              "it only shows that every instrument runs.\n")

    stream = media.stream(build / "bench-media", smoke=args.smoke)
    frames = len(media.access_units(stream))
    log(f"stream {stream.name}: {frames} access units")

    if "packetize" in sections:
        long_stream = media.repeated(stream, plan["repeat_file"])
        log("packetizing: FFmpeg and GStreamer")
        peers = packetize_peers.measure_peers(long_stream, stream, plan["repeat_file"], plan["runs"])
        log("packetizing: Python")
        python = (python_packetizing(args.packetize_python, long_stream)
                  if args.packetize_python.exists() else None)
        log("packetizing: core")
        core = core_packetizing(build, plan)
        results = {"peers": peers, "python": python, "core": core,
                   "stream_frames": frames * plan["repeat_file"]}
        raw["packetize"] = results
        print(f"## Packetizing, per RTP packet ({stream.name}, played {plan['repeat_file']} times "
              "for the stream rows)\n")
        print(packetizing_table(results) + "\n", flush=True)

    if "fanout" in sections:
        loadgen = build / "bench" / "loadgen"
        results = fanout.measure(stream, plan["viewers"], plan["seconds"], loadgen,
                                 repeat=max(1, args.repeat), log=log)
        raw["fanout"] = {f"{name} {n}": cases for (name, n), cases in results.items()}
        print(f"## Fan-out, {plan['seconds']:g} s per case, {frames / media.FPS:g} s stream looped "
              f"in real time ({args.repeat} round(s), medians)\n")
        print(fanout_table(results, plan["viewers"]) + "\n", flush=True)
        if args.smoke:
            fanout_sanity(results)
        if args.steer:
            results = fanout.measure(stream, plan["viewers"], plan["seconds"], loadgen,
                                     repeat=max(1, args.repeat), log=log, steer=True)
            raw["fanout_steered"] = {f"{name} {n}": cases for (name, n), cases in results.items()}
            print("## Fan-out as above, the viewers' receive work steered to the other core\n")
            print(fanout_table(results, plan["viewers"]) + "\n", flush=True)

    if "first-answer" in sections:
        results = first_answer.measure(stream, plan["connections"])
        raw["first_answer"] = results
        print("## First answer on a new control connection (connect, OPTIONS, whole response)\n")
        print(first_answer_table(results) + "\n", flush=True)

    if args.json:
        args.json.write_text(json.dumps(raw, indent=1, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
