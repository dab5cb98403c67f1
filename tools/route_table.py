#!/usr/bin/env python3
"""The README's table of the dense and sparse routes, from the Route rows of
sorvel2_speed_bench run with --benchmark_format=json and repetitions (their
medians are read):

    build-bench/bench/sorvel2_speed_bench --benchmark_filter='^Route' \\
        --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \\
        --benchmark_format=json > route.json
    python3 tools/route_table.py route.json

One row per grid, ball count and thread count: the field, the polygoniser
and the whole engine frame (both), dense and sparse, in milliseconds, the
frame's ratio, and the shares of samples evaluated and cubes walked."""
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
        if job == "Frame" and sparse:
            counters[key] = (b.get("triangles", 0), b.get("evaluated", 0), b.get("walked", 0))
    print("| grid | balls | threads | triangles | evaluated | cubes walked | field dense | field sparse "
          "| polygonise dense | polygonise sparse | both dense | both sparse | both, dense / sparse |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for key in sorted(counters):
        grid, balls, threads = key

        def ms(job, sparse):
            t = times.get((key, job, sparse))
            return "-" if t is None else (f"{t:.3g}" if t < 100 else f"{t:.0f}")

        dense, sparse = times.get((key, "Frame", 0)), times.get((key, "Frame", 1))
        triangles, evaluated, walked = counters[key]
        ratio = f"{dense / sparse:.2f}" if dense and sparse else "-"
        print(f"| {grid} | {balls} | {threads} | {triangles:.0f} | {100 * evaluated:.1f} % | {100 * walked:.1f} % "
              f"| {ms('Field', 0)} | {ms('Field', 1)} | {ms('Polygonise', 0)} | {ms('Polygonise', 1)} "
              f"| {ms('Frame', 0)} | {ms('Frame', 1)} | {ratio} |")


if __name__ == "__main__":
    main(sys.argv[1])
