#!/usr/bin/env python3
"""Two builds of the speed benchmark, frame by frame in turn.

    python3 tools/ab_frames.py [--row ROW] [--frames N] [--warm K] [--turn F] [--copy] [--split MS[:MS_B]]
                               [--pairs P] A B

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

A pair of processes also keeps a speed of its own: where the memory each
was given lies. On an AMD EPYC guest, A against itself at 256 / 50 gave
0.926, 1.029 and 0.969 in three runs of 40 rounds (at 128 / 50 within 2 %),
so one run there cannot tell a few per cent. --pairs P runs P pairs of
fresh processes, the second half of them B's started first, and gives each
pair's B over A and their mean and spread; the rest of the figures pool
the rounds of all pairs.

The machine also runs at two speeds, in stretches from a few frames long
to many seconds: in the busy kind (another guest on the same physical
core, it seems) the sparse route's frames take 40 % longer and the dense
route's hardly longer (docs/performance-routes.md). A round that falls in
one kind compares like with like, but the rounds' median mixes the kinds
in shares that change from run to run. --split MS sets a frame time
between the two kinds of A's frames (MS_B for B's, when its row differs;
read them off the 10th and 90th percentiles printed), and B over A is
given again for the rounds in which both frames were quiet (under their
time) and for those in which both were busy.

Prints, per binary, the median, the fastest frame and the 10th and 90th
percentiles in ms, and B over A: the ratio of the medians, and the median
and quartiles of the rounds' ratios (with --pairs, each pair's median of
them first).
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
    parser.add_argument("--pairs", type=int, default=1,
                        help="pairs of fresh processes, each running --frames rounds (see above)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--split", metavar="MS[:MS_B]",
                        help="also B over A in rounds where both frames were under (quiet) or both at or over "
                             "(busy) these frame times, in ms; B's defaults to A's")
    args = parser.parse_args()
    if args.frames < 2:
        parser.error("--frames: 2 or more")
    if args.turn < 1:
        parser.error("--turn: 1 or more")
    if args.warm < 0:
        parser.error("--warm: 0 or more")
    split = None
    if args.split is not None:
        try:
            split = [float(t) for t in args.split.split(":")]
        except ValueError:
            split = []
        if len(split) == 1:
            split.append(split[0])
        if len(split) != 2 or not all(t > 0 for t in split):
            parser.error("--split: a frame time in ms above 0, or two joined by ':'")
    if args.pairs < 1:
        parser.error("--pairs: 1 or more")
    order = random.Random(args.seed)
    rows = (args.row, args.row_b or args.row)
    times = ([], [])
    pair_ratios = []
    for pair_ in range(args.pairs):
        # The second half of the pairs start B's process first.
        starts = (0, 1) if 2 * pair_ < args.pairs else (1, 0)
        builds = [None, None]
        try:
            for which in starts:
                builds[which] = Build((args.a, args.b)[which], rows[which], args.copy)
            own = ([], [])
            for round_ in range(args.warm + args.frames):
                first = order.randrange(2)
                pair = [0.0, 0.0]
                for which in (first, 1 - first):
                    pair[which] = builds[which].frames(args.turn)
                if round_ >= args.warm:
                    own[0].append(pair[0])
                    own[1].append(pair[1])
        finally:
            for build in builds:
                if build is not None:
                    build.close()
        times[0].extend(own[0])
        times[1].extend(own[1])
        pair_ratios.append(statistics.median(b / a for a, b in zip(*own)))
    ratios = [b / a for a, b in zip(*times)]
    low, high = quartiles(ratios)
    if args.pairs > 1:
        print("B / A by pair of processes: " + ", ".join(f"{r:.3f}" for r in pair_ratios))
        print(f"pairs: mean {statistics.mean(pair_ratios):.3f}, standard deviation "
              f"{statistics.stdev(pair_ratios):.3f}, {min(pair_ratios):.3f} to {max(pair_ratios):.3f}")
    print(f"{args.frames * args.pairs} rounds{', copying sink' if args.copy else ''}")
    for which, label in ((0, "A"), (1, "B")):
        t = times[which]
        deciles = statistics.quantiles(t, n=10)
        print(f"{label} {(args.a, args.b)[which]} {rows[which]}: median {statistics.median(t):.3f} ms, "
              f"fastest {min(t):.3f} ms, 10th to 90th percentile {deciles[0]:.3f} to {deciles[-1]:.3f} ms")
    print(f"B / A: medians {statistics.median(times[1]) / statistics.median(times[0]):.3f}; "
          f"rounds {statistics.median(ratios):.3f} (quartiles {low:.3f} to {high:.3f})")
    if split is not None:
        for kind, keep in (("quiet", lambda a, b: a < split[0] and b < split[1]),
                           ("busy", lambda a, b: a >= split[0] and b >= split[1])):
            chosen = [b / a for a, b in zip(*times) if keep(a, b)]
            if len(chosen) < 2:
                print(f"{kind} rounds: {len(chosen)}, too few for a ratio")
                continue
            low, high = quartiles(chosen)
            print(f"{kind} rounds: {len(chosen)}, B / A {statistics.median(chosen):.3f} "
                  f"(quartiles {low:.3f} to {high:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
