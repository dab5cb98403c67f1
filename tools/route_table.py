#!/usr/bin/env python3
"""The table of the dense and sparse routes (docs/performance-routes.md), from
the Route rows of sorvel2_speed_bench run with --benchmark_format=json and
repetitions (their medians are read):

    build-bench/bench/sorvel2_speed_bench --benchmark_filter='^Route' \\
        --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \\
        --benchmark_report_aggregates_only=true --benchmark_format=json > route.json
    python3 tools/route_table.py route.json

One row per grid, ball count and thread count: the field, the polygoniser
and the whole engine frame (both), dense and sparse, in milliseconds, the
frame's ratio, and how far each part of the sparse route is from its floor:
  exact            the share of samples the triangles depend on;
  evaluated        the share computed exactly, and its ratio to exact;
  field floor      the evaluated samples at the dense route's cost per
                   sample (its field row of the same run), and the sparse
                   field's time over it;
  ns / triangle    the sparse polygoniser's time per triangle;
  serial           the work only the calling thread can do (the field's
                   set-up and close and the emission: alone, all of it; with
                   workers, handing the runs they recorded to the sink) as a
                   share of the one-thread sparse frame, and the speed-up it
                   implies for 8 threads, 1 / (s + (1 - s) / 8), on the rows
                   with workers (alone, the emission is the caller's anyway);
  over 1 thread    the sparse frame at 1 thread over this row's."""
import json
import re
import sys


def main(path):
    with open(path) as f:
        report = json.load(f)
    times = {}
    counters = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        m = re.match(r"Route(Field|Polygonise|Frame)/sparse:(\d)/threads:(\d)/grid:(\d+)/balls:(\d+)/", b["name"])
        if not m:
            continue
        job, sparse, threads, grid, balls = m.group(1), int(m.group(2)), int(m.group(3)), int(m.group(4)), int(m.group(5))
        key = (grid, balls, threads)
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
        times[(key, job, sparse)] = b["real_time"] * scale
        if sparse:
            counters[(key, job)] = b
    print("| grid | balls | threads | triangles | exact | evaluated | evaluated / exact | cubes walked "
          "| field dense | field sparse | field floor | field / floor | polygonise dense | polygonise sparse "
          "| ns / triangle | both dense | both sparse | both, dense / sparse | serial | 8-thread speed-up "
          "| over 1 thread | bytes / sample |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    keys = sorted({key for (key, job) in counters if job == "Frame"})
    for key in keys:
        grid, balls, threads = key

        def fmt(t):
            return "-" if t is None else (f"{t:.3g}" if t < 100 else f"{t:.0f}")

        def ms(job, sparse):
            return fmt(times.get((key, job, sparse)))

        frame = counters[(key, "Frame")]
        poly = counters.get((key, "Polygonise"), {})
        dense, sparse = times.get((key, "Frame", 0)), times.get((key, "Frame", 1))
        triangles, evaluated, walked = frame.get("triangles", 0), frame.get("evaluated", 0), frame.get("walked", 0)
        exact = frame.get("exact", 0)
        ratio = f"{dense / sparse:.2f}" if dense and sparse else "-"
        over_exact = f"{evaluated / exact:.2f}" if exact else "-"
        field_dense, field_sparse = times.get((key, "Field", 0)), times.get((key, "Field", 1))
        floor = field_dense * evaluated if field_dense else None
        over_floor = f"{field_sparse / floor:.2f}" if floor and field_sparse else "-"
        per_triangle = poly.get("s/triangle")
        per_triangle = f"{per_triangle * 1e9:.1f}" if per_triangle else "-"
        one = times.get(((grid, balls, 1), "Frame", 1))
        serial_ms = frame.get("serial ms")
        serial = serial_ms / one if serial_ms is not None and one else None
        # Amdahl's bound: what stays on the caller when workers record the
        # emission, against one thread's whole frame.
        speedup = 1.0 / (serial + (1.0 - serial) / 8.0) if serial is not None and threads > 1 else None
        over_one = f"{one / sparse:.2f}" if one and sparse else "-"
        print(f"| {grid} | {balls} | {threads} | {triangles:.0f} | {100 * exact:.1f} % | {100 * evaluated:.1f} % "
              f"| {over_exact} | {100 * walked:.1f} % "
              f"| {ms('Field', 0)} | {ms('Field', 1)} | {fmt(floor)} | {over_floor} "
              f"| {ms('Polygonise', 0)} | {ms('Polygonise', 1)} | {per_triangle} "
              f"| {ms('Frame', 0)} | {ms('Frame', 1)} | {ratio} "
              f"| {'-' if serial is None else f'{100 * serial:.1f} %'} | {'-' if speedup is None else f'{speedup:.2f}'} "
              f"| {over_one} | {frame.get('bytes/sample', 0):.1f} |")


if __name__ == "__main__":
    main(sys.argv[1])
