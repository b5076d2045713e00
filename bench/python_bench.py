#!/usr/bin/python3
"""The qzcache module against the C++ library on the same frames, in one run.

Writing: a one-file "kcc" cache of one float_vector_array channel (--points per frame,
--frames frames), from numpy through qzcache.Writer and from a C++ buffer through the
facade (qzcache_pyref). Reading: every stored frame of the cache the module wrote, with
qzcache's read (a new array each time), its read into out= (one array), and the C++
direct read into one buffer. Each side takes the median of --rounds rounds, in wall-clock
time and in CPU time (which the other work on a shared machine disturbs less); the script
alternates the sides --repeats times and reports the median of each, and the ratios.

  scripts/bench.sh --python [--points N] [--frames N] [--rounds N] [--repeats N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def timed(run, frames):
    """Wall-clock and CPU seconds per frame of run()."""
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return ((time.perf_counter() - wall) / frames, (time.process_time() - cpu) / frames)


def medians(pairs):
    pairs = list(pairs)
    return tuple(statistics.median(p[k] for p in pairs) for k in (0, 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True, help="a build directory with the module")
    parser.add_argument("--points", type=int, default=100000)
    parser.add_argument("--frames", type=int, default=24)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    import numpy as np
    import qzcache

    reference = os.path.join(args.build, "bench", "qzcache_pyref")
    points = np.random.default_rng(1).random((args.points, 3), dtype=np.float32)

    def cpp(*command):
        out = subprocess.run([reference, *map(str, command)], check=True, timeout=600,
                             capture_output=True, text=True).stdout
        return tuple(float(value) for value in out.split())

    with tempfile.TemporaryDirectory() as scratch:
        description = os.path.join(scratch, "py.xml")

        def remove_python_cache():
            # Each timed write starts on removed files, as on the C++ side.
            for name in ("py.kc", "py.xml"):
                if os.path.exists(os.path.join(scratch, name)):
                    os.remove(os.path.join(scratch, name))

        def python_write():
            with qzcache.Writer(scratch, "py", layout="one-file", format="kcc") as writer:
                writer.add_channel("points", "float_vector_array", interpretation="position")
                for frame in range(1, args.frames + 1):
                    writer.write(frame * 250, {"points": points})

        def python_read(into):
            with qzcache.open(description) as cache:
                times = cache.times("points").tolist()
                # Memory touched before the clock starts, as the C++ side's buffer is: a first
                # read maps the pages that the arrays of the timed reads then reuse.
                out = np.zeros_like(points)
                cache.read("points", times[0])

                def run():
                    for t in times:
                        if into:
                            cache.read("points", t, out=out)
                        else:
                            cache.read("points", t)
                return timed(run, len(times))

        def rounds(run):
            return medians(run() for _ in range(args.rounds))

        cases = {
            "write_py": lambda: rounds(lambda: remove_python_cache() or
                                       timed(python_write, args.frames)),
            "write_cpp": lambda: cpp("write", scratch, "cpp", args.points, args.frames,
                                     args.rounds),
            "read_py": lambda: rounds(lambda: python_read(False)),
            "read_py_out": lambda: rounds(lambda: python_read(True)),
            "read_cpp": lambda: cpp("read", description, args.rounds),
        }
        figures = {name: [] for name in cases}
        python_write()
        for repeat in range(args.repeats):
            # Writes before reads, so that no read shares the disk with a write's flush; the
            # order within each alternates from one repeat to the next.
            for group in (["write_py", "write_cpp"], ["read_py", "read_py_out", "read_cpp"]):
                subprocess.run(["sync"], check=False)
                for name in (group if repeat % 2 == 0 else group[::-1]):
                    figures[name].append(cases[name]())

    median = {name: medians(values) for name, values in figures.items()}
    mb = args.points * 12 / 1e6
    print(f"{args.points} points ({mb:.1f} MB) per frame, {args.frames} frames, "
          f"medians of {args.repeats} x {args.rounds} rounds; microseconds per frame")
    print(f"  {'':28} {'wall':>8} {'ratio':>7} {'cpu':>8} {'ratio':>7}")
    for name, label, base in (("write_cpp", "write, C++ facade", None),
                              ("write_py", "write, qzcache from numpy", "write_cpp"),
                              ("read_cpp", "read, C++ direct read", None),
                              ("read_py", "read, qzcache (new array)", "read_cpp"),
                              ("read_py_out", "read, qzcache (out=)", "read_cpp")):
        line = f"  {label:28}"
        for k in (0, 1):
            ratio = f"{median[name][k] / median[base][k]:6.3f}x" if base else ""
            line += f" {median[name][k] * 1e6:8.1f} {ratio:>7}"
        print(line)


if __name__ == "__main__":
    main()
