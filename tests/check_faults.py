#!/usr/bin/env python3
"""The faulty builds of the layer, each held to its expectations, and the
mutation score.

    check_faults.py MANIFEST FAULTS_DIR EXPECTED_DIR CONFORMING_TRANSCRIPT
                    CONFORMING_CONTRACT OSTREVIN CONTRACT JUDGE [RUN...]

For each fault of MANIFEST (a line "NAME PROMISES SEEN_BY WHAT"), with the
build FAULTS_DIR/NAME picked by LD_LIBRARY_PATH, RUN... OSTREVIN and RUN...
CONTRACT are run:
  - ostrevin's transcript must be the conforming one with the differences of
    EXPECTED_DIR/NAME.transcript (diff's normal format, after "#" lines that
    give the exit status and a pattern of stderr), or the conforming one;
  - unwind-contract's lines must be the conforming ones, each check that
    EXPECTED_DIR/NAME.contract holds a line for replaced by that line (what
    the platform did compared with its addresses left out, and for T3 not at
    all, since which thread meets trouble first is chance), a situation with
    a T2 line (bounds that are not the thread's: it is not staged) having no
    other, with count lines that add up;
  - the promises of those lines must be the promises the fault's patch says
    it breaks (none, for a fault that only ostrevin sees);
  - JUDGE, given both runs as saved runs, must say the platform deviates
    and name every promise the patch says the fault breaks.
A fault is caught when its runs show it and the promises are its own. The
score, caught out of all, is the last line; the exit status is 1 unless
every fault is caught as expected."""
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (\S+)(: .*)?")
COUNT = re.compile(r"(?:([A-Z][0-9]+): )?(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")


ADDRESS = re.compile(r"0x[0-9A-Fa-f]{8}")


def run(argv, library):
    env = dict(os.environ, LD_LIBRARY_PATH=library)
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=900)
    status = done.returncode if done.returncode >= 0 else 128 - done.returncode
    return status, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def comparable(line):
    """A contract line as the faults' expectations hold it: the numbers that
    are addresses differ from run to run, and what made 8 threads differ
    depends on which thread came first."""
    if line is None:
        return None
    match = CHECK.fullmatch(line)
    if match and match.group(2) == "T3":
        return line.split(": ", 1)[0]
    return ADDRESS.sub("0x########", line)


def diff(expected_text, actual_text):
    with tempfile.TemporaryDirectory() as work:
        a, b = os.path.join(work, "a"), os.path.join(work, "b")
        with open(a, "w") as f:
            f.write(expected_text)
        with open(b, "w") as f:
            f.write(actual_text)
        return subprocess.run(["diff", a, b], capture_output=True, text=True).stdout


def transcript_problems(name, expected_dir, conforming, status, out, err):
    """What is wrong with a fault's transcript, or []."""
    path = os.path.join(expected_dir, name + ".transcript")
    want_status, want_err, want_diff = 0, None, ""
    if os.path.exists(path):
        for line in open(path):
            if line.startswith("# exit status "):
                want_status = int(line.split()[3].rstrip(","))
                if "stderr: " in line:
                    want_err = line.split("stderr: ", 1)[1].strip()
            elif not line.startswith("#"):
                want_diff += line
    problems = []
    got = diff(conforming, out)
    if got != want_diff:
        problems.append("ostrevin's transcript differs from the conforming one by\n%s"
                        "and not by\n%s" % (got or "(nothing)\n", want_diff or "(nothing)\n"))
    if status != want_status:
        problems.append("ostrevin's exit status %d, not %d" % (status, want_status))
    if want_err and not re.search(want_err, err):
        problems.append("ostrevin's stderr lacks /%s/: %s" % (want_err, err.strip()))
    return problems


def checks_of(text):
    """The check lines, by "PROMISE SITUATION", and the count lines."""
    checks, counts = {}, []
    for line in text.splitlines():
        match = CHECK.fullmatch(line)
        if match:
            checks[match.group(2) + " " + match.group(3)] = line
        elif COUNT.fullmatch(line):
            counts.append(line)
        else:
            checks[line] = line  # never a check: it cannot match the expected ones
    return checks, counts


def counted(checks):
    """The count lines that the check lines make."""
    by_promise = {}
    for line in checks.values():
        match = CHECK.fullmatch(line)
        kind = {"ok": 0, "not ok": 1, "differs": 2}[match.group(1)]
        by_promise.setdefault(match.group(2), [0, 0, 0])[kind] += 1
    order = sorted(by_promise, key=lambda p: ("UWET".index(p[0]), int(p[1:])))
    lines = ["%s: %d checks: %d ok, %d not ok, %d differs" % (p, sum(by_promise[p]), *by_promise[p])
             for p in order]
    total = [sum(by_promise[p][k] for p in by_promise) for k in range(3)]
    lines.append("%d checks: %d ok, %d not ok, %d differs" % (sum(total), *total))
    return lines


def contract_problems(name, expected_dir, conforming, out):
    path = os.path.join(expected_dir, name + ".contract")
    expected, _ = checks_of(conforming)
    fault_lines, _ = checks_of(open(path).read()) if os.path.exists(path) else ({}, [])
    # Bounds that are not the thread's (T2) leave the situation unstaged:
    # its line says so, and it has no other.
    unstaged = {key.split(" ", 1)[-1] for key, line in fault_lines.items()
                if line.startswith("not ok T2 ")}
    expected = {key: line for key, line in expected.items()
                if key.split(" ", 1)[-1] not in unstaged}
    expected.update(fault_lines)
    got, counts = checks_of(out)
    problems = []
    for key in sorted(set(expected) | set(got)):
        if comparable(expected.get(key)) != comparable(got.get(key)):
            problems.append("unwind-contract printed %s, not %s" % (
                repr(got.get(key, "no such line")), repr(expected.get(key, "no such line"))))
            if len(problems) == 5:
                problems.append("...")
                break
    if counts != counted(got):
        problems.append("unwind-contract's count lines do not add up: %s" % counts[-1:])
    promises = sorted({CHECK.fullmatch(line).group(2) for line in fault_lines.values()})
    deviates = any(line.startswith("not ok ") for line in fault_lines.values())
    return problems, promises, deviates


def judge_problems(judge, runs, promises, deviates):
    """What the judge, given the runs as saved, says wrongly of the fault:
    it deviates, or (reference behaviour only) conforms with differences."""
    with tempfile.TemporaryDirectory() as saved:
        for program, (status, out, err) in runs.items():
            for suffix, text in (("out", out), ("err", err), ("status", "%d\n" % status)):
                with open(os.path.join(saved, "%s.%s" % (program, suffix)), "w") as f:
                    f.write(text)
        done = subprocess.run([judge, "saved", saved], capture_output=True, text=True)
    problems = []
    want = (1, "deviates") if deviates else (0, "differs")
    if done.returncode != want[0] or want[1] not in done.stdout:
        problems.append("the judge's verdict, exit status %d: %s" % (done.returncode,
                                                                     done.stdout.strip()[:300]))
    for promise in promises:
        if not re.search(r"\b%s\b" % promise, done.stdout):
            problems.append("the judge names no %s" % promise)
    return problems


def judge_fault(args, fault):
    name, promises, seen_by = fault[0], fault[1].split(","), fault[2]
    library = os.path.join(args["faults"], name)
    status, out, err = run(args["run"] + [args["ostrevin"]], library)
    problems = transcript_problems(name, args["expected"], args["transcript"], status, out, err)
    transcript_shows = status != 0 or out != args["transcript"]
    runs = {"ostrevin": (status, out, err)}
    runs["unwind-contract"] = run(args["run"] + [args["contract"]], library)
    more, failed, deviates = contract_problems(name, args["expected"], args["contract_output"],
                                               runs["unwind-contract"][1])
    problems += more
    problems += judge_problems(args["judge"], runs, promises, deviates or transcript_shows)
    wanted = [] if seen_by == "ostrevin" else sorted(promises)
    if failed != wanted:
        problems.append("its expected contract lines fail %s, but its patch says it breaks %s"
                        % (" ".join(failed) or "nothing", " ".join(wanted) or "nothing"))
    caught = bool(failed) or (seen_by == "ostrevin" and transcript_shows)
    if not caught:
        problems.append("neither program shows it")
    return name, problems


def main(argv):
    if len(argv) < 8:
        sys.stderr.write(__doc__)
        return 2
    manifest, faults, expected, transcript, contract_output, ostrevin, contract, judge = argv[:8]
    args = {"faults": faults, "expected": expected, "ostrevin": ostrevin,
            "contract": contract, "judge": judge, "run": argv[8:],
            "transcript": open(transcript).read(),
            "contract_output": open(contract_output).read()}
    entries = [line.split(None, 3) for line in open(manifest) if line.strip()]
    # The exception dispatcher's faults break promises that neither program
    # here tries: the dispatcher's own checks judge them.
    entries = [entry for entry in entries if entry[2] != "dispatcher"]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda fault: judge_fault(args, fault), entries))
    caught = 0
    for name, problems in results:
        if problems:
            print("MISSED %s:\n  %s" % (name, "\n  ".join(problems)))
        else:
            caught += 1
            print("caught %s" % name)
    print("mutation score: %d of %d faulty builds caught, each with the promises it breaks"
          % (caught, len(results)))
    return 0 if caught == len(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
