#!/usr/bin/env python3
"""Counts guest instructions with the counting plugin (insn_count.c) on
qemu-i386 7.2, the qemu-user whose plugin API the plugin is built for.

usage: count.py [--qemu QEMU] [--wine PREFIX] regions PLUGIN PROGRAM [ARG...]
       count.py [--qemu QEMU] total PLUGIN PROGRAM [ARG...]

regions: runs PROGRAM, a bench_count (with --wine, bench_count.exe under
Wine's ELF loader, with the prefix PREFIX made and its server started as
the judge does), and prints one line per operation: "<name> <instructions
per operation>", from the two regions that the program ran it in.
total: runs PROGRAM with an empty environment and its output on /dev/null,
and prints the instructions it ran from exec to exit.

Exit status: 0; 1 when a run fails or what it counted does not add up;
2 on bad use."""
import fractions
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "judge"))
from ostrevin_judge import platforms  # noqa: E402

TIMEOUT = 1800  # Wine on qemu-i386 7.2 takes a minute or two to start


class Failed(Exception):
    pass


def plugin_lines(text):
    """The plugin's regions and total: ([count, ...], total or None)."""
    regions, total = [], None
    for line in text.splitlines():
        words = line.split()
        if words[:1] == ["error"]:
            raise Failed("the plugin says: " + line[len("error "):])
        if len(words) != 2 or words[0] not in ("region", "total") or not words[1].isdigit():
            raise Failed("the plugin wrote a line it should not: %r" % line)
        if words[0] == "region":
            regions.append(int(words[1]))
        else:
            total = int(words[1])
    return regions, total


def per_operation(names, regions):
    """Joins the program's lines, "<name> <iterations>" one per region, with
    the plugin's counts in the same order: [(name, instructions per
    operation)], a whole number where every iteration cost the same, else a
    Fraction."""
    lines = [line.split() for line in names.splitlines() if line.strip()]
    if len(lines) != len(regions):
        raise Failed("the program named %d regions and the plugin counted %d"
                     % (len(lines), len(regions)))
    runs = {}
    for words, count in zip(lines, regions):
        if len(words) != 2 or not words[1].isdigit():
            raise Failed("the program wrote a line that names no region: %r" % " ".join(words))
        runs.setdefault(words[0], []).append((int(words[1]), count))
    joined = []
    for name, pair in runs.items():
        if len(pair) != 2 or pair[0][0] == pair[1][0]:
            raise Failed("%s: not two regions of different iterations" % name)
        (few, low), (many, high) = sorted(pair)
        value = fractions.Fraction(high - low, many - few)
        joined.append((name, value.numerator if value.denominator == 1 else value))
    return joined


def show(value):
    return str(value) if isinstance(value, int) else "%.2f" % float(value)


def run_counted(qemu, plugin, command, env, quiet):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "counts")
        try:
            done = subprocess.run([qemu, "-plugin", "%s,out=%s" % (os.path.abspath(plugin), out)]
                                  + command, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL if quiet else subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=TIMEOUT)
        except OSError as error:
            raise Failed("cannot run %s: %s" % (qemu, error.strerror)) from None
        except subprocess.TimeoutExpired:
            raise Failed("%s had not ended after %d s" % (command[0], TIMEOUT)) from None
        said = done.stderr.decode("utf-8", "replace").strip()
        if done.returncode != 0:
            raise Failed("%s exited with status %d%s" % (
                " ".join(command), done.returncode, ": " + said.splitlines()[-1] if said else ""))
        try:
            with open(out) as file:
                counts = file.read()
        except OSError:
            raise Failed("the plugin wrote nothing%s" % (": " + said if said else "")) from None
    stdout = "" if quiet else done.stdout.decode("utf-8", "replace").replace("\r", "")
    return stdout, plugin_lines(counts)


def main(argv):
    qemu, prefix = "qemu-i386", None
    while argv[:1] in (["--qemu"], ["--wine"]) and len(argv) > 1:
        if argv[0] == "--qemu":
            qemu = argv[1]
        else:
            prefix = os.path.abspath(argv[1])
        argv = argv[2:]
    if len(argv) < 3 or argv[0] not in ("regions", "total") or (prefix and argv[0] == "total"):
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    mode, plugin, command = argv[0], argv[1], argv[2:]
    try:
        if mode == "total":
            _, (_, total) = run_counted(qemu, plugin, command, {}, quiet=True)
            if total is None:
                raise Failed("the plugin wrote no total")
            print(total)
            return 0
        env = dict(os.environ)
        if prefix:
            wine_path = platforms.find_command(env.get("WINE") or "wine", env, "wine")
            wine = platforms.Wine(wine_path, platforms._server(wine_path, env), prefix)
            env = wine.environment(env)
            wine.prepare(env, TIMEOUT)
            # Wine's loader stays in the emulated process rather than
            # starting itself again natively.
            env["WINELOADERNOEXEC"] = "1"
            command = [platforms._wine_loader(wine_path)] + command
        names, (regions, _) = run_counted(qemu, plugin, command, env, quiet=False)
        for name, value in per_operation(names, regions):
            print(name, show(value))
    except (Failed, platforms.CannotRun) as error:
        sys.stderr.write("count.py: %s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
