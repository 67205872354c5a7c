#!/usr/bin/env python3
"""The reproducers of the contract programs' checks: each builds as it is,
without warnings, and gives its check's verdict.

    check_reproducers.py layer CONTRACT[,CONTRACT...] LIBDIR [MANIFEST FAULTS_DIR]
    check_reproducers.py wine CONTRACT_EXE[,CONTRACT_EXE...] WINE_RUN [RUN...]
    check_reproducers.py row RUNS [--findings-of OTHER_RUNS]... PLATFORM... OSTREVIN_EXE

layer: for a sample of checks of every promise (and, of dispatch-contract's,
of every family of promises in every place), the reproducer that CONTRACT
writes builds with `gcc -m32` against the layer in LIBDIR and with
`i686-w64-mingw32-gcc` (when there is one), both at -Wall -Wextra -Werror,
and gives on the layer the verdict that its check gives there: "ok" and
exit 0, but "differs" where the processor cannot try the promise (an
emulator that raises no x87 exception). With MANIFEST, for every faulty
build of the layer (FAULTS_DIR/NAME, picked by LD_LIBRARY_PATH), the
reproducers of its witnesses give their check's verdict there ("not ok" and
exit 1; "differs" and exit 0 for a promise that only one source states), and
one check that the fault keeps, as the check itself says, exits 0. Only
the witnesses of CONTRACT's own promises are its to reproduce: a fault that
only another contract program sees, or only ostrevin, is passed over.

wine: CONTRACT_EXE runs under WINE_RUN (RUN... in front of it): its own run
gives every check's verdict; for a check of every promise, and for some of
the checks that are not ok or differ there, the reproducer built with mingw
gives the same verdict, its line and exit status. dispatch-contract's whole
run is long: its sample's verdicts come from a run of those checks alone,
among them the checks that differ on Wine 8 (EXPECTED_ON_WINE). Exit status
1 on any difference, with the checks that differ.

row: the findings of a platform's row of the matrix that scripts/platforms
keeps in RUNS (RUNS/saved/PROGRAM.out, each contract program's output as
the judge saved it): every check that is not ok, and of the checks that
differ at most DIFFERS_PER_PROMISE of each promise, each by its reproducer
written by the contract program on that platform, built with mingw and run
there; PLATFORM... are the judge's arguments that name the platform, with
the ostrevin.exe beside the contract programs last. Prints how many agree,
the sample, and each that does not with its check's line, what it printed
and how it ended; exit status 0 all agree, 1 some do not (or were not
written or built), 2 when none could run. With --findings-of, the findings
of another platform's row, kept in OTHER_RUNS (named after it) and picked
alike, are tried on this one as well, each held to this row's own verdict of its check
(one this row's run does not hold is passed over, and counted)."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

LINE = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (\S+?)(: .*)?")
# Checks that no fault of the layer breaks but for the ones named here:
# the fault's kept check is the first of these whose promise it keeps.
KEPT = ["W1 1-above/to-record/own/continues/top", "U6 1-above/to-record/own/continues/top",
        "E1 1-above/to-record/own/continues/top", "W4 1-above/to-record/own/continues/top",
        "R1 raise/first/continues/top", "D1 raise/first/continues/top",
        "H1 raise/first/continues/top"]
# Where a dispatch situation is raised: its sample has each family in each.
PLACES = ("top", "in-handler", "in-handler-2", "in-vectored", "in-unwind", "in-filter",
          "new-thread", "8-threads")
# dispatch-contract's checks that differ on Wine 8: the chained record of the
# dispatcher's statuses (H4), and what qemu-user makes Wine report of faults
# and of the single step of a context continued with the trap flag set.
EXPECTED_ON_WINE = ["H4 raise/first/answers-3/top", "H4 hlt/first/answers-7/top",
                    "H2 ud2/df-set/first/continues/top", "X2 read/first/continues/top",
                    "X5 div0/first/continues/top", "X8 single-step/first/continues/top",
                    "X1 int3/first/continues/top", "X8 raise/first/sets-tf/top"]
# A reproducer that disagrees with its check is shown with this many lines of
# what it printed at most.
OUTPUT_SHOWN = 40
# On a platform's row, the checks that differ that are tried of a promise at
# most, evenly spread (every check that is not ok is).
DIFFERS_PER_PROMISE = 3
MINGW = "i686-w64-mingw32-gcc"
JUDGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "judge")


def run(argv, env=None, timeout=120):
    """Its exit status and output; the status None when it has not ended
    within `timeout` seconds: then it is killed with every process it started
    (Wine's among them, which would keep its output open)."""
    child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        out, _ = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        child.stdout.close()
        return None, ""
    status = child.returncode if child.returncode >= 0 else 128 - child.returncode
    return status, out.decode("utf-8", "replace").replace("\r", "")


def ending(status):
    return "did not end within its time" if status is None else "exited %d" % status


def checked(out):
    """{"PROMISE SITUATION": (word, line)} of a contract run's check lines,
    in the run's order."""
    found = {}
    for line in out.replace("\r", "").splitlines():
        m = LINE.fullmatch(line)
        if m:
            found["%s %s" % (m.group(2), m.group(3))] = (m.group(1), line)
    return found


def sample(checks, per_promise):
    """Evenly spread checks of each promise, the same on every run."""
    by = {}
    for check in checks:
        by.setdefault(check.split()[0], []).append(check)
    picked = []
    for promise in sorted(by):
        some = by[promise]
        step = max(1, len(some) // per_promise)
        picked += some[step // 2::step][:per_promise]
    return picked


def sample_places(checks):
    """Of dispatch-contract's checks, one of each family of promises in each
    place, the same on every run."""
    by = {}
    for check in checks:
        promise, situation = check.split()
        place = next((w for w in situation.split("/") if w in PLACES), None)
        if place:
            by.setdefault((promise[0], place), []).append(check)
    return [some[len(some) // 2] for _, some in sorted(by.items())]


class Reproducers:
    """Writes, builds and runs the reproducers of one contract program's
    checks (`contract`: the command that runs it, in `env`), in `work`;
    every way a reproducer fails its check goes to `problems`."""

    def __init__(self, contract, work, env=None, drive=""):
        self.contract, self.work, self.env, self.problems = contract, work, env, []
        # How the contract program names `work`: under Wine, on the drive
        # that maps the root.
        self.drive = drive

    def path(self, check):
        promise, situation = check.split()
        return os.path.join(self.work, (promise + "_" + situation).replace("/", "_") + ".c")

    def write(self, checks):
        """The sources of `checks` written at once, in one run of the
        contract program; source() writes any that it did not."""
        checks = [c for c in dict.fromkeys(checks) if not os.path.exists(self.path(c))]
        if not checks:
            return
        status, out = run(self.contract + ["--reproduce-into", self.drive + self.work] +
                          " ".join(checks).split(), self.env)
        written = out.splitlines()
        if status != 0 or len(written) != len(checks):
            self.problems.append("--reproduce-into, %d checks: %s, writing %d" % (
                len(checks), ending(status), len(written)))
            return
        for check, printed in zip(checks, written):
            os.rename(printed[len(self.drive):], self.path(check))

    def source(self, check):
        path = self.path(check)
        if not os.path.exists(path):
            status, text = run(self.contract + ["--reproduce"] + check.split(), self.env)
            if status != 0:
                self.problems.append("%s: --reproduce %s" % (check, ending(status)))
                return None
            with open(path, "w") as f:
                f.write(text)
        return path

    def build(self, check, compiler, suffix, extra=()):
        source = self.source(check)
        if not source:
            return None
        binary = source[:-2] + suffix
        if not os.path.exists(binary):
            done = subprocess.run(compiler + ["-Wall", "-Wextra", "-Werror", "-o", binary, source] +
                                  list(extra), capture_output=True)
            if done.returncode != 0:
                self.problems.append("%s: %s does not build it:\n%s" % (
                    check, compiler[0], done.stderr.decode("utf-8", "replace")[:2000]))
                return None
        return binary

    def judge(self, check, argv, want, env=None, line=None):
        """The reproducer's last line and exit status against the verdict
        `want` (of the check's `line`, when there is one); whether they agree.
        When not, the problem shows the check's line, and all the reproducer
        printed and how it ended."""
        status, out = run(argv, env)
        # Eight threads at once on a platform that shares its records between
        # them may crash anywhere: once more.
        if status is not None and status > 128 and check.endswith("8-threads"):
            status, out = run(argv, env)
        last = out.strip().splitlines()[-1] if out.strip() else ""
        m = LINE.fullmatch(last)
        got = m.group(1) if m and "%s %s" % (m.group(2), m.group(3)) == check else None
        wanted_status = 1 if want == "not ok" else 0
        if got == want and status == wanted_status:
            return True
        printed = out.rstrip("\n").splitlines()
        shown = printed[:OUTPUT_SHOWN] + (["... (%d lines more)" % (len(printed) - OUTPUT_SHOWN)]
                                          if len(printed) > OUTPUT_SHOWN else [])
        self.problems.append("%s: the check says %r; its reproducer %s, %s" % (
            check, line or want, ending(status),
            "printing:" + "".join("\n    " + text for text in shown) if printed
            else "printing nothing"))
        return False


def layer(contracts, libdir, manifest=None, faults=None):
    tried = problems = 0
    for program in contracts.split(","):
        t, p = layer_of([program], libdir, manifest, faults)
        tried, problems = tried + t, problems + p
    print("%d reproducers, %d differ from their check" % (tried, problems))
    return 1 if problems else 0


def layer_of(contract, libdir, manifest, faults):
    with tempfile.TemporaryDirectory() as work:
        r = Reproducers(contract, work)
        # The checks as they run here, with their verdicts: ok, but where
        # the processor cannot try a promise (an emulator that raises no
        # x87 exception), whose situation is that one line.
        _, out = run(contract)
        here = checked(out)
        listed = list(here)
        every = set(listed)
        checks = sample(listed, 1)
        if "dispatch" in os.path.basename(contract[0]):
            checks += [c for c in sample_places(listed) if c not in checks]
        ours = {check.split()[0] for check in checks}
        mingw = subprocess.run(["sh", "-c", "command -v i686-w64-mingw32-gcc"],
                               capture_output=True).returncode == 0
        gcc = ["gcc", "-m32"]
        link = ["-L", libdir, "-lseh_platform", "-Wl,-rpath," + os.path.abspath(libdir)]
        # (check, the faulty build or None, the verdict it must give): the
        # sample on the layer, then each fault's witnesses and a check it keeps.
        trials = [(check, None, here[check][0]) for check in checks]
        if manifest:
            for line in open(manifest):
                name, promises, seen, witnesses, _, also, _ = line.rstrip("\n").split("\t")
                witnesses = [w for w in witnesses.split("|") if w and w.split()[0] in ours]
                if seen != "contract" or not witnesses:
                    continue
                broken = promises.split() + also.split()  # what fails with it, too
                kept = next(k for k in KEPT if k.split()[0] not in broken and k in every)
                trials += [(check, name, None) for check in witnesses + [kept]]

        # The sample builds with mingw as well; a fault's checks run here only.
        def build(check):
            binary = r.build(check, gcc, "", link)
            if mingw and check in checks:
                r.build(check, ["i686-w64-mingw32-gcc"], ".exe")
            return check, binary

        def fault_env(name):
            return dict(os.environ, LD_LIBRARY_PATH=os.path.join(faults, name)) if name else None

        def on_fault(name):
            """The verdicts of a faulty build's checks, all in one run."""
            named = " ".join(t[0] for t in trials if t[1] == name).split()
            return name, run(contract + named, fault_env(name))

        def judge(trial):
            check, name, want = trial
            binary = built[check]
            env = fault_env(name)
            if name:
                status, out = said[name]
                want = checked(out).get(check, (None,))[0]
                if not want:
                    r.problems.append("%s on %s: the check gave no verdict (it %s)" %
                                      (check, name, ending(status)))
                    return
            if binary:
                r.judge(check, [binary], want, env)

        # Every core at work: each reproducer is written and built once,
        # each faulty build's checks run once, then all the reproducers are run.
        r.write(t[0] for t in trials)
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            built = dict(pool.map(build, dict.fromkeys(t[0] for t in trials)))
            said = dict(pool.map(on_fault, dict.fromkeys(t[1] for t in trials if t[1])))
            list(pool.map(judge, trials))
        for problem in sorted(r.problems):
            print(problem)
        return len(trials), len(r.problems)


def wine(contract_exes, wine_run):
    tried = problems = 0
    for exe in contract_exes.split(","):
        t, p = wine_of(exe, wine_run)
        if t is None:
            return 1
        tried, problems = tried + t, problems + p
    print("%d reproducers under Wine, %d differ from their check" % (tried, problems))
    return 1 if problems else 0


def wine_of(contract_exe, wine_run):
    with tempfile.TemporaryDirectory() as work:
        contract = wine_run + [contract_exe]
        r = Reproducers(contract, work, drive="Z:")
        if "dispatch" in os.path.basename(contract_exe):
            status, listed = run(contract + ["--list"])
            listed = listed.split("\n")[:-1]
            # A check of each family of promises, all in one run (each run
            # starts Wine twice: the program and its child).
            families = {}
            for check in sample(listed, 1):
                families.setdefault(check[0], check)
            checks = EXPECTED_ON_WINE + [c for c in families.values() if c not in EXPECTED_ON_WINE]
            status, out = run(contract + " ".join(checks).split(), timeout=300)
            said = checked(out)
        else:
            status, out = run(contract, timeout=300)
            said = checked(out)
            checks = sample(list(said), 1)
            findings = sorted(check for check, (word, _) in said.items() if word != "ok")
            checks += findings[:: max(1, len(findings) // 6)][:6]
        if not said:
            print("the contract's own run under Wine gave no verdict: it %s" % ending(status))
            return None, None
        checks = [c for c in checks if c in said]
        r.write(checks)
        for check in checks:
            binary = r.build(check, ["i686-w64-mingw32-gcc"], ".exe")
            if binary:
                word, line = said[check]
                r.judge(check, wine_run + [binary], word, line=line)
        for problem in r.problems:
            print(problem)
        return len(checks), len(r.problems)


def picked_findings(found):
    """Of a run's checks, those a row's reproducers try: every one not ok,
    and of those that differ at most DIFFERS_PER_PROMISE a promise; and the
    words that say so."""
    failing = [check for check, (word, _) in found.items() if word == "not ok"]
    differing = [check for check, (word, _) in found.items() if word == "differs"]
    picked = sample(differing, DIFFERS_PER_PROMISE)
    return failing + picked, "%s; %s" % (
        "all %d not ok" % len(failing) if failing else "none not ok",
        "none differs" if not differing else
        "all %d that differ" % len(picked) if len(picked) == len(differing) else
        "%d of the %d that differ (at most %d a promise, evenly spread)" % (
            len(picked), len(differing), DIFFERS_PER_PROMISE))


def kept_run(runs, role):
    """A program's output kept in a row's runs, or None."""
    try:
        with open(os.path.join(runs, "saved", role + ".out"), encoding="utf-8",
                  errors="replace") as file:
            return file.read()
    except OSError:
        return None


def row(runs, platform_args):
    """Every finding kept in runs/saved (each contract program's output, as
    the judge saves it: not ok all, differs at most DIFFERS_PER_PROMISE a
    promise), by its reproducer built with mingw and run on the platform of
    the judge's arguments."""
    sys.path.insert(0, JUDGE)
    from ostrevin_judge import cli, programs
    others = []
    while len(platform_args) > 1 and platform_args[0] == "--findings-of":
        others.append(platform_args[1])
        platform_args = platform_args[2:]
    if not shutil.which(MINGW):
        print("reproducers: none built: no %s on PATH" % MINGW)
        return 2
    paths = programs.beside(platform_args[-1], ".exe")
    try:
        target = cli.platform(platform_args, dict(os.environ), JUDGE)
    except (cli.UsageError, programs.CannotRun) as error:
        print("reproducers: none run: %s" % error)
        return 2
    if target.kind != "wine":
        print("reproducers: none run: %s is no Wine platform" % target.name)
        return 2
    # In a root tree, Wine's server opens the files (the programs among
    # them), and it may have been started, in a mount namespace of its own,
    # by an earlier run that it outlived: the reproducers go where every run
    # shows it, beside the prefix.
    where = os.path.dirname(target.wine.prefix) if target.root else None
    with tempfile.TemporaryDirectory(prefix="reproducers-", dir=where) as work:
        said, told, trials, kept = {}, [], [], 0
        for role in programs.ROLES[1:]:
            out = kept_run(runs, role)
            if out is None:
                told.append("%s: no run of it kept" % role)
                continue
            kept += 1
            found = checked(out)
            said.update(found)
            own, words = picked_findings(found)
            told.append("%s: %s" % (role, words))
            os.mkdir(os.path.join(work, role))
            r = Reproducers(target.command(paths[role]), os.path.join(work, role), target.env)
            trials += [(r, check) for check in own]
            for other in others:
                theirs, words = picked_findings(checked(kept_run(other, role) or ""))
                new = [check for check in theirs if check not in own]
                held = [check for check in new if check in found]
                told.append("%s, the findings of %s: %s; %d more tried here%s" % (
                    role, os.path.basename(os.path.normpath(other)), words, len(held),
                    ", %d that this run does not hold passed over" % (len(new) - len(held))
                    if len(held) < len(new) else ""))
                trials += [(r, check) for check in held]
                own += held
        if not kept:
            print("reproducers: none run: %s" % "; ".join(told))
            return 2

        def trial(each):
            r, check = each
            binary = r.build(check, [MINGW], ".exe")
            word, line = said[check]
            return bool(binary) and r.judge(check, target.command(binary), word, target.env, line)

        # Both cores at work: Wine's start is most of each run.
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            agreed = sum(pool.map(trial, trials))
        print("reproducers: %d of %d agree with their check" % (agreed, len(trials)))
        print("  built with %s, run on %s" % (MINGW, target.name))
        for line in told:
            print("  " + line)
        # By check, whichever reproducer ended first: the same words each run.
        for problem in sorted(p for r in dict.fromkeys(r for r, _ in trials) for p in r.problems):
            print(problem)
        return 0 if agreed == len(trials) else 1


def main(argv):
    if len(argv) in (4, 6) and argv[1] == "layer":
        return layer(argv[2], argv[3], *argv[4:])
    if len(argv) >= 4 and argv[1] == "wine":
        return wine(argv[2], argv[3:])
    if len(argv) >= 5 and argv[1] == "row":
        return row(argv[2], argv[3:])
    print(__doc__.split("\n\n")[1], file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
