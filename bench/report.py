#!/usr/bin/env python3
"""Turns a run of bench/run into a Markdown report and a plot: every
operation in guest instructions on both targets, the ratios to longjmp and
to C++ throw, the fixed and per-record costs, the instructions from exec
to exit of a program with and without the layer, how the figures stand
against the layer's goals and, where the run timed the benchmarks too
(a kernel that runs i386 programs), their nanoseconds.

usage: report.py RUN_DIR OUT_MD OUT_PNG"""
import datetime
import glob
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile

DEPTHS = [0, 1, 8, 64, 512]
RAISE_DEPTHS = [0, 8, 64]
SERIES = {
    "forced_unwind": "forced unwind (harness, N records)",
    "longjmp": "setjmp/longjmp through N frames",
    "cxx_throw": "C++ throw caught N frames up",
    "raise_and_catch": "raise-and-catch through N records",
}
TARGETS = {"linux": "linux-i386, our platform layer", "win32": "win32 under Wine"}
PROGRAMS = {"noop": "a 32-bit program that does nothing",
            "noop_layer": "the same, linked against the layer",
            "ostrevin": "ostrevin, a whole run"}


def fail(message):
    sys.exit("report.py: " + message)


def read_figures(path):
    """A file of "<name> <figure>" lines: {name without BM_: figure}."""
    figures = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if len(words) != 2:
                fail(f"{path}: not a line of a name and a figure: {line.strip()!r}")
            name = words[0][3:] if words[0].startswith("BM_") else words[0]
            try:
                figures[name] = int(words[1])
            except ValueError:
                figures[name] = float(words[1])
    return figures


def two_runs(run_dir, stem):
    """The two runs' figures of stem.count.1 and .2, and the names whose
    figures differ between them."""
    runs = []
    for run in (1, 2):
        path = os.path.join(run_dir, f"{stem}.count.{run}")
        if not os.path.isfile(path):
            fail(f"no {stem}.count.{run} in {run_dir}")
        runs.append(read_figures(path))
    differ = sorted(n for n in set(runs[0]) | set(runs[1]) if runs[0].get(n) != runs[1].get(n))
    return runs[0], differ


def fit(xs, ys):
    """Least-squares line: slope, intercept and R^2."""
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    slope = sxy / sxx
    intercept = my - slope * mx
    ss_res = sum((y - (intercept + slope * x)) ** 2 for x, y in zip(xs, ys))
    ss_tot = sum((y - my) ** 2 for y in ys)
    return slope, intercept, 1 - ss_res / ss_tot if ss_tot else 1.0


def num(value):
    return f"{value:,}" if isinstance(value, int) else f"{value:,.2f}"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def wine_version():
    try:
        return subprocess.run(["wine", "--version"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "wine (version unknown)"


def depths_of(series):
    return RAISE_DEPTHS if series == "raise_and_catch" else DEPTHS


def fits_of(counts):
    """(target, series) -> the line through N >= 1 (N = 0 takes its own,
    shorter path on every target: nothing is above the target)."""
    fits = {}
    for t, figures in counts.items():
        for s in SERIES:
            ns = [n for n in depths_of(s) if n >= 1]
            fits[(t, s)] = fit(ns, [figures[f"{s}/{n}"] for n in ns])
    return fits


def plot(counts, png):
    with tempfile.TemporaryDirectory() as tmp:
        plots = []
        for target, figures in counts.items():
            for series, title in SERIES.items():
                if series == "longjmp" and target == "win32":
                    continue  # the same as linux-i386's, to the instruction nearly
                points = [(n, figures[f"{series}/{n}"]) for n in depths_of(series)]
                data = os.path.join(tmp, f"{target}-{series}.dat")
                with open(data, "w") as f:
                    for n, value in points:
                        f.write(f"{n + 1} {value}\n")
                plots.append(f"'{data}' using 1:2 with linespoints "
                             f"title '{title}, {TARGETS[target]}'")
        script = "\n".join([
            "set terminal png size 1000,640",
            f"set output '{png}'",
            "set logscale xy",
            "set xlabel 'N + 1 (records or frames unwound, plus one)'",
            "set ylabel 'guest instructions per operation'",
            "set key top left",
            "set grid",
            "plot " + ", \\\n  ".join(plots),
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def goals(counts, fits, startup):
    """[(goal, measured, met)] from the counts; met is "yes", "no" or, for
    what was not measured, why."""
    lin, win = counts["linux"], counts["win32"]
    rows = []
    ours = lin["raise_and_catch/0"]
    rows.append(("raise-and-catch at N = 0 at most 1/30 of a C++ throw",
                 f"{num(ours)} against {num(lin['cxx_throw/0'])} (1/{lin['cxx_throw/0'] / ours:.1f})",
                 "yes" if ours * 30 <= lin["cxx_throw/0"] else "no"))
    rows.append(("raise-and-catch at N = 0 at most half of Wine's",
                 f"{num(ours)} against {num(win['raise_and_catch/0'])} "
                 f"({ours / win['raise_and_catch/0']:.2f}x)",
                 "yes" if ours * 2 <= win["raise_and_catch/0"] else "no"))
    ratio = lin["forced_unwind/0"] / lin["longjmp/0"]
    rows.append(("forced unwind at N = 0 at most 1.6x longjmp",
                 f"{num(lin['forced_unwind/0'])} against {num(lin['longjmp/0'])} ({ratio:.2f}x)",
                 "yes" if ratio <= 1.6 else "no"))
    slope = fits[("linux", "forced_unwind")][0]
    rows.append(("forced unwind at most 42 instructions a record",
                 f"{slope:.2f} a record", "yes" if slope <= 42 + 1e-9 else "no"))
    start = startup["noop_layer"] / startup["noop"]
    rows.append(("a program linked against the layer at most 1.5x the instructions of one "
                 "that is not, from exec to exit",
                 f"{num(startup['noop_layer'])} against {num(startup['noop'])} ({start:.2f}x)",
                 "yes" if start <= 1.5 else "no"))
    return rows


# Nanoseconds, where the run timed the benchmarks.

def read_linux_times(path):
    with open(path) as f:
        data = json.load(f)
    times = {}
    for b in data["benchmarks"]:
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        times[b["name"][3:]] = b["real_time"] * scale
    return times


def read_win32_times(path):
    times = {}
    with open(path) as f:
        for line in f:
            name, ns, _ = line.split()
            times[name[3:]] = float(ns)
    return times


def timed_rounds(run_dir):
    """{target: {name: [ns, ...]}} and the number of rounds, or None where
    the run timed nothing."""
    linux = sorted(glob.glob(os.path.join(run_dir, "linux-i386.*.json")))
    win32 = sorted(glob.glob(os.path.join(run_dir, "win32.*.txt")))
    if not linux and not win32:
        return None, 0
    if not linux or not win32 or not os.path.isfile(os.path.join(run_dir, "startup.txt")):
        fail(f"{run_dir} holds some of the timed rounds but not all")
    values = {"linux": {}, "win32": {}}
    for target, paths, reader in (("linux", linux, read_linux_times),
                                  ("win32", win32, read_win32_times)):
        for path in paths:
            for name, ns in reader(path).items():
                values[target].setdefault(name, []).append(ns)
    return values, len(linux)


def nanoseconds(w, run_dir, values, count):
    median = {t: {k: statistics.median(v) for k, v in vs.items()} for t, vs in values.items()}
    low = {t: {k: min(v) for k, v in vs.items()} for t, vs in values.items()}

    def cell(t, key):
        return f"{median[t][key]:.1f} ({low[t][key]:.1f})" if key in median[t] else "—"

    w("## Nanoseconds\n")
    w(f"The same operations timed on {cpu_name()} ({os.cpu_count()} cores), "
      f"linux-i386 with Google Benchmark and win32 with a loop on "
      f"QueryPerformanceCounter, in {count} interleaved rounds (linux-i386, Wine, "
      "linux-i386, ...): the median of the rounds, the minimum in parentheses.\n")
    w("| operation | linux-i386 (ns) | win32 under Wine (ns) |")
    w("|---|---:|---:|")
    names = list(dict.fromkeys(list(median["linux"]) + list(median["win32"])))
    for name in names:
        w(f"| {name} | {cell('linux', name)} | {cell('win32', name)} |")
    w("")
    spawned = {}
    with open(os.path.join(run_dir, "startup.txt")) as f:
        for line in f:
            program, med, least = line.split()
            spawned[os.path.basename(program)] = (int(med), int(least))
    w("| program, exec to exit | median (ms) | minimum (ms) |")
    w("|---|---:|---:|")
    for name, title in PROGRAMS.items():
        if name in spawned:
            w(f"| {title} | {spawned[name][0] / 1e6:.3f} | {spawned[name][1] / 1e6:.3f} |")
    w("")
    w("301 runs of each, interleaved, started with `posix_spawn` and timed to the end "
      "of `waitpid`, output to /dev/null.\n")


def main(run_dir, md, png):
    linux, linux_differ = two_runs(run_dir, "linux-i386")
    win32, win32_differ = two_runs(run_dir, "win32")
    startup, startup_differ = two_runs(run_dir, "startup")
    for name in PROGRAMS:
        if name not in startup:
            fail(f"startup.count.1 in {run_dir} has no {name}")
    counts = {"linux": linux, "win32": win32}
    for t, figures in counts.items():
        for s in SERIES:
            for n in depths_of(s):
                if f"{s}/{n}" not in figures:
                    fail(f"the {t} counts have no {s}/{n}")
    try:
        with open(os.path.join(run_dir, "emulator.txt")) as f:
            emulator = f.read().strip()
    except OSError:
        emulator = "qemu-i386"
    fits = fits_of(counts)
    timed, rounds = timed_rounds(run_dir)

    out = []
    w = out.append
    w("# Benchmarks: guest instructions per operation\n")
    w(f"Measured by `bench/run` on {datetime.date.today().isoformat()}: every operation "
      f"counted in guest instructions on {emulator} with the counting plugin "
      "(`bench/insn_count.c`), linux-i386 against our layer, and win32 under "
      f"{wine_version()}, whose ELF loader runs on the same emulator (its server "
      "natively). The program (`bench/count_main.cpp`) runs each operation once, "
      "then in two marked regions of a few and of more iterations: a figure is the "
      "difference of the two counts over the difference of the iterations, one "
      "operation with the loop's own few instructions, whatever the regions' set-up "
      "costs. Every non-local exit leaves "
      "through the same frames: the loop calls the establisher (the harness, setjmp, "
      "try, or a record whose handler catches as `__except` does) inline, the "
      "establisher calls the scenario through one frame, the scenario descends N + 1 "
      "frames, and the deepest calls a one-frame exit (perform_test_unwind, or a "
      "routine that calls longjmp, throws, or calls `RaiseException`) that leaves "
      "straight back into the establisher.\n")
    differ = ([f"linux-i386 {n}" for n in linux_differ] + [f"win32 {n}" for n in win32_differ]
              + [f"{n} from exec to exit" for n in startup_differ])
    if differ:
        w("**The two runs differed** in " + ", ".join(differ) + ": the figures are the "
          "first run's.\n")
    else:
        w("Each count was taken twice, and the two runs gave the same figure for every "
          "operation and program, to the instruction.\n")
    w("## Against the goals\n")
    w("| goal | measured | met |")
    w("|---|---|---|")
    for goal, measured, met in goals(counts, fits, startup):
        w(f"| {goal} | {measured} | {met} |")
    w("")

    w("## One operation\n")
    w("| operation | linux-i386 | win32 under Wine |")
    w("|---|---:|---:|")
    for key, title in [("harness_return", "harness run, scenario returns at once"),
                       ("dirty_unwind_pass", "one dirty-unwind pass (test 5)")]:
        w(f"| {title} | {num(linux[key])} | {num(win32[key])} |")
    w("")
    w("## Non-local exit through N records or frames\n")
    w("| N | forced unwind, our layer | ratio to longjmp | C++ throw, linux | ratio "
      "| forced unwind, Wine | ratio to longjmp | C++ throw, win32 | ratio |")
    w("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in DEPTHS:
        row = [str(n)]
        for t in ("linux", "win32"):
            lj = counts[t][f"longjmp/{n}"]
            for s in ("forced_unwind", "cxx_throw"):
                value = counts[t][f"{s}/{n}"]
                row += [num(value), f"{value / lj:.2f}x"]
        w("| " + " | ".join(row) + " |")
    w("")
    w("longjmp itself: " + "; ".join(
        f"{TARGETS[t]}: " + ", ".join(f"N={n} {num(counts[t][f'longjmp/{n}'])}" for n in DEPTHS)
        for t in counts) + ".\n")

    w("## Raise and catch through N records\n")
    w("`RaiseException` from the deepest frame, every record of the descent passing "
      "it on, caught by the establisher's record, whose handler unwinds to itself "
      "(`RtlUnwind`) and continues in its function.\n")
    w("| N | our layer | Wine | ratio | C++ throw, linux | C++ throw, win32 |")
    w("|---:|---:|---:|---:|---:|---:|")
    for n in RAISE_DEPTHS:
        key = f"raise_and_catch/{n}"
        w(f"| {n} | {num(linux[key])} | {num(win32[key])} | {linux[key] / win32[key]:.2f}x | {num(linux[f'cxx_throw/{n}'])} "
          f"| {num(win32[f'cxx_throw/{n}'])} |")
    w("")

    w("## Fixed and per-record cost\n")
    w("The least-squares line through N = 1 and deeper, with N = 0 apart: an "
      "unwind with nothing above its target takes a shorter path of its own.\n")
    w("| series | target | per record or frame | fixed | N = 0 | R² |")
    w("|---|---|---:|---:|---:|---:|")
    for (t, s), (slope, icpt, r2) in fits.items():
        w(f"| {SERIES[s]} | {TARGETS[t]} | {slope:,.2f} | {icpt:,.1f} "
          f"| {num(counts[t][f'{s}/0'])} | {r2:.4f} |")
    w("")
    ours, jump = fits[("linux", "forced_unwind")], fits[("linux", "longjmp")]
    w("`longjmp` restores the registers saved by `setjmp` and jumps, without "
      "looking at the frames in between: its per-frame cost is the benchmark's own "
      "descent, the call that every series makes per frame, and so also part of the "
      f"other series'. Of our layer's {ours[0]:.2f} instructions a record, "
      f"{jump[0]:.2f} are that descent and {ours[0] - jump[0]:.2f} the unwind "
      "itself (the record each frame installs, its handler's call, its checks).\n")

    w("## From exec to exit\n")
    w("| program | instructions | ratio |")
    w("|---|---:|---:|")
    for name, title in PROGRAMS.items():
        w(f"| {title} | {num(startup[name])} | {startup[name] / startup['noop']:.2f}x |")
    w("")
    w("Each run with an empty environment and its output on /dev/null: the loader's "
      "work depends on both.\n")

    if timed:
        nanoseconds(w, run_dir, timed, rounds)
    else:
        w("## Nanoseconds\n")
        w("None: this machine's kernel runs no i386 programs, so every program here ran "
          "on qemu-i386, and its nanoseconds would be the emulator's, not the "
          "platform's. `bench/run` times the benchmarks where the kernel runs them.\n")
    w("![instructions against N](benchmarks.png)\n")
    with open(md, "w") as f:
        f.write("\n".join(out))
    plot(counts, os.path.abspath(png))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: report.py RUN_DIR OUT_MD OUT_PNG")
    main(*sys.argv[1:])
