#!/usr/bin/env python3
"""Turns one run of bench_unwind on both targets into a Markdown table and a
plot: ns per operation, the ratio to longjmp at the same depth, and the cost
per record or frame as the least-squares slope over the depth."""
import datetime
import json
import os
import platform
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
    return times, data.get("context", {})


def read_win32(path):
    times = {}
    with open(path) as f:
        for line in f:
            name, ns, _ = line.split()
            times[name[3:]] = float(ns)
    return times


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


def plot(results, png):
    with tempfile.TemporaryDirectory() as tmp:
        plots = []
        for target, times in results.items():
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
            "set ylabel 'ns per operation'",
            "set key top left",
            "set grid",
            "plot " + ", \\\n  ".join(plots),
        ])
        subprocess.run(["gnuplot"], input=script, text=True, check=True)


def main(linux_json, win32_txt, md, png):
    linux, context = read_linux(linux_json)
    results = {"linux": linux, "win32": read_win32(win32_txt)}
    fits = {(t, s): fit(DEPTHS, [results[t][f"{s}/{n}"] for n in DEPTHS])
            for t in results for s in SERIES}

    out = []
    w = out.append
    w("# Benchmarks: forced unwind against longjmp, C++ throw and Wine\n")
    w(f"Measured by `bench/run` on {datetime.date.today().isoformat()}, "
      f"on {cpu_name()} ({context.get('num_cpus', os.cpu_count())} cores, "
      f"a shared machine), linux-i386 with Google Benchmark and win32 under "
      f"{wine_version()} with a loop on QueryPerformanceCounter, one after the "
      "other. Figures are nanoseconds per operation; ratios are to longjmp "
      "at the same N on the same target, measured in the same run. Debian's "
      "Google Benchmark library is a debug build, which adds a constant "
      "to every linux-i386 iteration, not to the slopes.\n")
    w("## One operation\n")
    w("| operation | linux-i386 (ns) | win32 under Wine (ns) |")
    w("|---|---:|---:|")
    for key, title in [("harness_return", "harness run, scenario returns at once"),
                       ("dirty_unwind_pass", "one dirty-unwind pass (test 5)")]:
        w(f"| {title} | {results['linux'][key]:.1f} | {results['win32'][key]:.1f} |")
    w("")
    w("## Non-local exit through N records or frames\n")
    w("| N | forced unwind, our layer | ratio to longjmp | C++ throw, linux | ratio "
      "| forced unwind, Wine | ratio to longjmp | C++ throw, win32 | ratio |")
    w("|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in DEPTHS:
        row = [str(n)]
        for t in ("linux", "win32"):
            lj = results[t][f"longjmp/{n}"]
            for s in ("forced_unwind", "cxx_throw"):
                v = results[t][f"{s}/{n}"]
                row += [f"{v:.1f}", f"{v / lj:.1f}x"]
        w("| " + " | ".join(row) + " |")
    w("")
    w("longjmp itself, for reference (ns): " + "; ".join(
        f"{TARGETS[t]}: " + ", ".join(f"N={n} {results[t][f'longjmp/{n}']:.1f}" for n in DEPTHS)
        for t in results) + ".\n")
    w("## Cost per record or frame (least-squares slope over N = 0 to 512)\n")
    w("| series | target | slope (ns per N) | intercept (ns) | R² |")
    w("|---|---|---:|---:|---:|")
    for (t, s), (slope, icpt, r2) in fits.items():
        w(f"| {SERIES[s]} | {TARGETS[t]} | {slope:.2f} | {icpt:.1f} | {r2:.4f} |")
    w("")

    ours, wine = fits[("linux", "forced_unwind")], fits[("win32", "forced_unwind")]
    lj, thr = fits[("linux", "longjmp")], fits[("linux", "cxx_throw")]
    slower = [n for n in DEPTHS
              if results["linux"][f"forced_unwind/{n}"] > results["win32"][f"forced_unwind/{n}"]]
    w("## Where the forced unwind stands\n")
    w(f"- Our layer's forced unwind grows linearly in N: {ours[0]:.2f} ns per "
      f"record (R² = {ours[2]:.4f}), on top of {ours[1]:.0f} ns for the harness "
      "run and the unwind's set-up. Each record costs a handler call under a "
      "guard record, so it stays dearer than the "
      f"{lj[0]:.2f} ns per frame of longjmp (which only walks down the frames "
      "it skips) and far cheaper than the "
      f"{thr[0]:.0f} ns per frame of a C++ throw through the DWARF unwinder.")
    w(f"- Against Wine's `RtlUnwind` ({wine[0]:.2f} ns per record, R² = "
      f"{wine[2]:.4f}, {wine[1]:.0f} ns fixed): "
      + ("our layer is faster at every N measured."
         if not slower else
         "our layer is slower at N = " + ", ".join(map(str, slower)) + "."))
    w("")
    w("![time against N](benchmarks.png)\n")
    with open(md, "w") as f:
        f.write("\n".join(out))
    plot(results, os.path.abspath(png))


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: report.py LINUX_JSON WIN32_TXT OUT_MD OUT_PNG")
    main(*sys.argv[1:])
