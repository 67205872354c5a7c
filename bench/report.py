#!/usr/bin/env python3
"""Turns the rounds of bench/run into a Markdown report and a plot: for every
figure the median and the minimum over the interleaved rounds, the ratio to
longjmp at the same depth, the fixed and per-record cost fitted over N, the
startup of ostrevin against a program that does nothing, and how the figures
stand against the layer's targets.

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
SERIES = {
    "forced_unwind": "forced unwind (harness, N records)",
    "longjmp": "setjmp/longjmp through N frames",
    "cxx_throw": "C++ throw caught N frames up",
}
TARGETS = {"linux": "linux-i386, our platform layer", "win32": "win32 under Wine"}


def read_linux(path):
    with open(path) as f:
        data = json.load(f)
    times = {}
    for b in data["benchmarks"]:
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        times[b["name"][3:]] = b["real_time"] * scale
    return times


def read_win32(path):
    times = {}
    with open(path) as f:
        for line in f:
            name, ns, _ = line.split()
            times[name[3:]] = float(ns)
    return times


def rounds(run_dir, pattern, reader):
    """Every figure's values over the rounds: {name: [ns, ...]}."""
    values = {}
    paths = sorted(glob.glob(os.path.join(run_dir, pattern)))
    if not paths:
        sys.exit(f"report.py: no {pattern} in {run_dir}")
    for path in paths:
        for name, ns in reader(path).items():
            values.setdefault(name, []).append(ns)
    return values, len(paths)


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


def plot(median, png):
    with tempfile.TemporaryDirectory() as tmp:
        plots = []
        for target, times in median.items():
            for series, title in SERIES.items():
                data = os.path.join(tmp, f"{target}-{series}.dat")
                with open(data, "w") as f:
                    for n in DEPTHS:
                        f.write(f"{n + 1} {times[f'{series}/{n}']}\n")
                plots.append(f"'{data}' using 1:2 with linespoints "
                             f"title '{title}, {TARGETS[target]}'")
        script = "\n".join([
            "set terminal png size 1000,640",
            f"set output '{png}'",
            "set logscale xy",
            "set xlabel 'N + 1 (records or frames unwound, plus one)'",
            "set ylabel 'ns per operation (median of the rounds)'",
            "set key top left",
            "set grid",
            "plot " + ", \\\n  ".join(plots),
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def read_startup(run_dir):
    figures = {}
    with open(os.path.join(run_dir, "startup.txt")) as f:
        for line in f:
            program, median, low = line.split()
            figures[os.path.basename(program)] = (int(median), int(low))
    return figures


def main(run_dir, md, png):
    linux, count = rounds(run_dir, "linux-i386.*.json", read_linux)
    win32, _ = rounds(run_dir, "win32.*.txt", read_win32)
    values = {"linux": linux, "win32": win32}
    median = {t: {k: statistics.median(v) for k, v in vs.items()} for t, vs in values.items()}
    low = {t: {k: min(v) for k, v in vs.items()} for t, vs in values.items()}
    fits = {(t, s): fit(DEPTHS, [median[t][f"{s}/{n}"] for n in DEPTHS])
            for t in values for s in SERIES}
    fits_low = {(t, s): fit(DEPTHS, [low[t][f"{s}/{n}"] for n in DEPTHS])
                for t in values for s in SERIES}
    startup = read_startup(run_dir)

    def cell(t, key):
        return f"{median[t][key]:.1f} ({low[t][key]:.1f})"

    out = []
    w = out.append
    w("# Benchmarks: forced unwind against longjmp, C++ throw and Wine\n")
    w(f"Measured by `bench/run` on {datetime.date.today().isoformat()}, on "
      f"{cpu_name()} ({os.cpu_count()} cores, a shared machine): linux-i386 "
      f"with Google Benchmark, win32 under {wine_version()} with a loop on "
      f"QueryPerformanceCounter, in {count} interleaved rounds (linux-i386, "
      "Wine, linux-i386, ...). Every figure is nanoseconds per operation, the "
      "median of the rounds with the minimum in parentheses; ratios and fits "
      "use the medians. The machine's speed changes from round to round (it "
      "is shared), which the medians carry and the minimums mostly do not. "
      "Every non-local exit leaves through the same frames: "
      "the timing loop calls the establisher (the harness, setjmp, or try) "
      "inline, the establisher calls the scenario through one frame, the "
      "scenario descends N + 1 frames, and the deepest calls a one-frame exit "
      "(perform_test_unwind, or a routine that calls longjmp or throws) that "
      "leaves straight back into the establisher. Each frame of the descent "
      "takes its depth, its exit and its handler in registers, so that none "
      "reads a global (in position-independent code, a call of its own).\n")
    w("## One operation\n")
    w("| operation | linux-i386 (ns) | win32 under Wine (ns) |")
    w("|---|---:|---:|")
    for key, title in [("harness_return", "harness run, scenario returns at once"),
                       ("dirty_unwind_pass", "one dirty-unwind pass (test 5)")]:
        w(f"| {title} | {cell('linux', key)} | {cell('win32', key)} |")
    w("")
    w("## Non-local exit through N records or frames\n")
    w("| N | forced unwind, our layer | ratio to longjmp | C++ throw, linux | ratio "
      "| forced unwind, Wine | ratio to longjmp | C++ throw, win32 | ratio |")
    w("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in DEPTHS:
        row = [str(n)]
        for t in ("linux", "win32"):
            lj = median[t][f"longjmp/{n}"]
            for s in ("forced_unwind", "cxx_throw"):
                row += [cell(t, f"{s}/{n}"), f"{median[t][f'{s}/{n}'] / lj:.1f}x"]
        w("| " + " | ".join(row) + " |")
    w("")
    w("longjmp itself (ns): " + "; ".join(
        f"{TARGETS[t]}: " + ", ".join(f"N={n} {cell(t, f'longjmp/{n}')}" for n in DEPTHS)
        for t in values) + ".\n")
    w("## Fixed and per-record cost (least-squares line over N = 0 to 512)\n")
    w("Fitted to the medians, and in parentheses to the minimums.\n")
    w("| series | target | per record or frame (ns) | fixed (ns) | R² |")
    w("|---|---|---:|---:|---:|")
    for (t, s), (slope, icpt, r2) in fits.items():
        ls, li, _ = fits_low[(t, s)]
        w(f"| {SERIES[s]} | {TARGETS[t]} | {slope:.2f} ({ls:.2f}) | {icpt:.1f} ({li:.1f}) | {r2:.4f} |")
    w("")
    w("`longjmp` costs the same whatever N: it restores the registers saved "
      "by `setjmp` and jumps, without looking at the frames in between. Its "
      "slope is the benchmark's own descent, the N calls that every series "
      "makes before it exits, and so it is also part of the other slopes: of "
      f"our layer's {fits[('linux', 'forced_unwind')][0]:.2f} ns per record, "
      f"{fits[('linux', 'longjmp')][0]:.2f} ns is that descent and "
      f"{fits[('linux', 'forced_unwind')][0] - fits[('linux', 'longjmp')][0]:.2f} ns "
      "the unwind itself (the record each frame installs, its handler call, "
      "its checks). At N = 0 the forced unwind comes back through three "
      "returns, do_unwind's resume, invoke_callback's and the harness's own, "
      "while the return predictor still holds the returns of the frames it "
      "skipped, so that it misses each; longjmp comes back through one, that "
      "of setjmp's caller (inferred from the code: this machine has no "
      "counters to show it). "
      "Google Benchmark's timing loop is inlined from its header into the "
      "benchmark, so how Debian built the library does not enter the "
      "figures.\n")

    sp = startup
    w("## A whole run of ostrevin\n")
    w("| program | median (ms) | minimum (ms) |")
    w("|---|---:|---:|")
    for name in ("ostrevin", "noop"):
        title = "ostrevin (linux-i386)" if name == "ostrevin" else "a 32-bit program that does nothing"
        w(f"| {title} | {sp[name][0] / 1e6:.3f} | {sp[name][1] / 1e6:.3f} |")
    w("")
    w("301 runs of each, interleaved, started with `posix_spawn` and timed to "
      "the end of `waitpid`, output to /dev/null.\n")

    def measure(fig, fitted):
        ours, wine = fitted[("linux", "forced_unwind")], fitted[("win32", "forced_unwind")]
        m = fig["linux"]
        return {
            "n0": m["forced_unwind/0"] / m["longjmp/0"],
            "slope": ours[0],
            "wine_slope": wine[0],
            "throw": min(m[f"cxx_throw/{n}"] / m[f"forced_unwind/{n}"] for n in DEPTHS),
            "wine": fig["win32"]["forced_unwind/0"] / m["forced_unwind/0"],
        }
    a, b = measure(median, fits), measure(low, fits_low)
    start_ratio = sp["ostrevin"][0] / sp["noop"][0]
    start_low = sp["ostrevin"][1] / sp["noop"][1]
    checks = [
        ("forced unwind at N = 0 at most 1.6x longjmp", a["n0"] <= 1.6,
         f"{a['n0']:.2f}x ({b['n0']:.2f}x)"),
        ("at most 4 ns per record (fitted over N = 0 to 512)", a["slope"] <= 4,
         f"{a['slope']:.2f} ns ({b['slope']:.2f} ns)"),
        ("at least 30x faster than C++ throw at every N", a["throw"] >= 30,
         f"{a['throw']:.1f}x ({b['throw']:.1f}x) at the worst N"),
        ("at least 7x faster than Wine's at N = 0", a["wine"] >= 7,
         f"{a['wine']:.1f}x ({b['wine']:.1f}x)"),
        ("a smaller per-record cost than Wine's", a["slope"] < a["wine_slope"],
         f"{a['slope']:.2f} ns against {a['wine_slope']:.2f} ns"),
        ("ostrevin at most 1.5x a program that does nothing", start_ratio <= 1.5,
         f"{start_ratio:.2f}x ({start_low:.2f}x)"),
    ]
    w("## Against the targets\n")
    w("From the medians, and in parentheses from the minimums; met is judged "
      "on the medians.\n")
    w("| target | measured | met |")
    w("|---|---:|---|")
    for title, met, measured in checks:
        w(f"| {title} | {measured} | {'yes' if met else 'no'} |")
    w("")
    ours, wine = fits[("linux", "forced_unwind")], fits[("win32", "forced_unwind")]
    w(f"Our layer's forced unwind: {ours[1]:.0f} ns fixed and {ours[0]:.2f} ns per "
      f"record; Wine's: {wine[1]:.0f} ns fixed and {wine[0]:.2f} ns per record.\n")
    w("![time against N](benchmarks.png)\n")
    with open(md, "w") as f:
        f.write("\n".join(out))
    plot(median, os.path.abspath(png))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: report.py RUN_DIR OUT_MD OUT_PNG")
    main(*sys.argv[1:])
