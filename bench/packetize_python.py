"""H264Packetizer.packetize from Python, per RTP packet, over an H.264 stream.

    .venv/bin/python bench/packetize_python.py [--repeat N] [--json] FILE.h264

Splits the Annex B file into access units (bench/media.py), then times
`packetize` over all of them, N passes; the figure is the median pass minus
the same loop without `packetize` (the parse-only baseline), per packet. With
--json prints one object: frames, packets, ns_per_packet (baseline
subtracted), ns_per_packet_raw, baseline_ns_per_packet.
"""

import argparse
import json
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import media  # noqa: E402

import rtsp  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--json", action="store_true")
    parser.add_argument("file")
    args = parser.parse_args(argv)

    units = media.access_units(args.file)
    packetizer = rtsp.H264Packetizer(96)
    packets = sum(len(packetizer.packetize(unit, 3000)) for unit in units)  # warm-up
    passes, baselines = [], []
    for _ in range(args.repeat):
        start = time.perf_counter_ns()
        for unit in units:
            packetizer.packetize(unit, 3000)
        middle = time.perf_counter_ns()
        for unit in units:
            len(unit)
        passes.append(middle - start)
        baselines.append(time.perf_counter_ns() - middle)
    raw = statistics.median(passes) / packets
    baseline = statistics.median(baselines) / packets
    result = {"frames": len(units), "packets": packets, "ns_per_packet": raw - baseline,
              "ns_per_packet_raw": raw, "baseline_ns_per_packet": baseline}
    if args.json:
        print(json.dumps(result))
    else:
        print(f"{result['frames']} access units, {packets} packets: "
              f"{result['ns_per_packet']:.0f} ns per packet "
              f"({raw:.0f} raw, {baseline:.0f} baseline)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
