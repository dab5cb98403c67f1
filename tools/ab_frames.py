#!/usr/bin/env python3
"""Two builds of the speed benchmark, frame by frame in turn.

    python3 tools/ab_frames.py [--row ROW] [--frames N] [--warm K] [--turn F] [--copy] A B

A and B are sorvel2_speed_bench binaries (say, one built from main and one
from a change; or one build twice, with --row-b set, to set two rows of it
against each other). Each runs one RouteFrame row (--lockstep=ROW; the
default sparse:1/threads:1/grid:256/balls:50) in a process of its own, the
grids made one after the other; then in each round both take a turn, in an
order drawn at random, for N rounds after K rounds not counted. A turn is
two frames (--turn), of which the second is timed: it finds the caches as
its own build's frame left them, as a frame of the program does, and not
as the other build's did.

Why: on a shared machine the speed of the processor drifts by a quarter
and more over minutes, far more than most changes move a frame, and runs
of the two binaries one after the other, even interleaved, see different
machines. Two frames taken one right after the other meet the same one, so
the ratio of a round's pair cancels most of the drift; its median over the
rounds is the figure to read. Running A against itself shows how far that
median moves by chance (at 256 / 50, 150 rounds: within about 2 %; more on
frames of a millisecond or less).

Prints, per binary, the median and the fastest frame in ms, and B over A:
the ratio of the medians, and the median and quartiles of the rounds'
ratios.
"""
import argparse
import random
import statistics
import subprocess
import sys


class Build:
    """One binary in lockstep mode: a frame per request."""

    def __init__(self, binary, row, copy):
        args = [binary, "--lockstep=" + row]
        if copy:
            args.insert(1, "--route_sink=copy")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if line.strip() != "ready":
            self.proc.kill()
            raise SystemExit(f"{binary}: no lockstep mode here (it said {line.strip()!r})")

    def frames(self, count):
        """Runs count frames; returns the last one's time in ms."""
        self.proc.stdin.write("f\n" * count)
        self.proc.stdin.flush()
        for _ in range(count):
            line = self.proc.stdout.readline()
            if not line:
                raise SystemExit("a benchmark process ended before its frames did")
        return int(line) / 1e6

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def quartiles(values):
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", help="the build to compare against")
    parser.add_argument("b", help="the build compared")
    parser.add_argument("--row", default="sparse:1/threads:1/grid:256/balls:50",
                        help="the RouteFrame row, as the benchmark names it (its T optional, 20 by default)")
    parser.add_argument("--row-b", help="B's row, when it differs from A's (say, two threads against one)")
    parser.add_argument("--frames", type=int, default=200, help="rounds counted")
    parser.add_argument("--warm", type=int, default=5, help="rounds first, not counted")
    parser.add_argument("--turn", type=int, default=2,
                        help="frames a build runs in its turn, the last one timed (1: each frame meets "
                             "the caches as the other build's frame left them)")
    parser.add_argument("--copy", action="store_true", help="the sink copies every vertex")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.frames < 2:
        parser.error("--frames: 2 or more")
    if args.turn < 1:
        parser.error("--turn: 1 or more")
    if args.warm < 0:
        parser.error("--warm: 0 or more")
    order = random.Random(args.seed)
    rows = (args.row, args.row_b or args.row)
    builds = [Build(args.a, rows[0], args.copy), Build(args.b, rows[1], args.copy)]
    times = ([], [])
    try:
        for round_ in range(args.warm + args.frames):
            first = order.randrange(2)
            pair = [0.0, 0.0]
            for which in (first, 1 - first):
                pair[which] = builds[which].frames(args.turn)
            if round_ >= args.warm:
                times[0].append(pair[0])
                times[1].append(pair[1])
    finally:
        for build in builds:
            build.close()
    ratios = [b / a for a, b in zip(*times)]
    low, high = quartiles(ratios)
    print(f"{args.frames} rounds{', copying sink' if args.copy else ''}")
    for which, label in ((0, "A"), (1, "B")):
        t = times[which]
        print(f"{label} {(args.a, args.b)[which]} {rows[which]}: median {statistics.median(t):.3f} ms, "
              f"fastest {min(t):.3f} ms")
    print(f"B / A: medians {statistics.median(times[1]) / statistics.median(times[0]):.3f}; "
          f"rounds {statistics.median(ratios):.3f} (quartiles {low:.3f} to {high:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
