#!/usr/bin/env python3
"""The faulty builds of the layer, each judged by the promises it breaks,
and the mutation score.

    check_faults.py MANIFEST FAULTS_DIR TRANSCRIPT OSTREVIN CONTRACT JUDGE [RUN...]

For each fault of MANIFEST (tab-separated lines "NAME PROMISES SEEN_BY
WITNESSES WHAT", see cmake/faults.cmake), with the build FAULTS_DIR/NAME
picked by LD_LIBRARY_PATH, RUN... OSTREVIN and RUN... CONTRACT are run:
  - the contract program's failing checks ("not ok" or "differs") must fail
    exactly the promises that the patch names (none, for a fault that only
    ostrevin sees), each of its witnesses among them, and its count lines
    must add up;
  - JUDGE, given both runs as saved runs, must say the platform deviates
    (or, for reference behaviour only, conforms with differences) and name
    every promise the patch names; for a fault that only ostrevin sees,
    ostrevin's transcript must not be TRANSCRIPT, the conforming one.
A fault is caught when all of this holds. The score, caught out of all, is
the last line; the exit status is 1 unless every fault is caught."""
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

CHECK = re.compile(r"(ok|not ok|differs) ([A-Z][0-9]+) (\S+?)(: .*)?")
COUNT = re.compile(r"(?:([A-Z][0-9]+): )?(\d+) checks: (\d+) ok, (\d+) not ok, (\d+) differs")


def run(argv, library):
    env = dict(os.environ, LD_LIBRARY_PATH=library)
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=1200)
    status = done.returncode if done.returncode >= 0 else 128 - done.returncode
    return status, done.stdout.decode("utf-8", "replace"), done.stderr.decode("utf-8", "replace")


def contract_problems(status, out):
    """What is wrong with the form of a contract run, the promises of its
    failing checks, and those checks."""
    problems, failing, counted, said = [], {}, {}, {}
    if status != 0:
        problems.append("the contract program's exit status %d, not 0" % status)
    for line in out.splitlines():
        check = CHECK.fullmatch(line)
        count = COUNT.fullmatch(line)
        if check:
            result, promise = check.group(1), check.group(2)
            counts = counted.setdefault(promise, [0, 0, 0])
            counts[("ok", "not ok", "differs").index(result)] += 1
            if result != "ok":
                failing.setdefault(promise, set()).add(check.group(3))
        elif count:
            said[count.group(1)] = [int(n) for n in count.groups()[2:]]
        else:
            problems.append("the contract program printed %r" % line[:200])
    total = [sum(c[k] for c in counted.values()) for k in range(3)]
    if said.pop(None, None) != total:
        problems.append("its count line does not add up to its lines")
    if said != counted:
        problems.append("its count lines per promise do not add up to its lines")
    return problems, failing


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
    name, promises, seen_by, witnesses = fault[0], fault[1].split(), fault[2], fault[3]
    library = os.path.join(args["faults"], name)
    runs = {"ostrevin": run(args["run"] + [args["ostrevin"]], library),
            "unwind-contract": run(args["run"] + [args["contract"]], library)}
    problems, failing = contract_problems(*runs["unwind-contract"][:2])
    wanted = [] if seen_by == "ostrevin" else sorted(promises)
    if sorted(failing) != wanted:
        problems.append("its failing checks fail %s, but its patch says it breaks %s"
                        % (" ".join(sorted(failing)) or "nothing", " ".join(wanted) or "nothing"))
    for witness in filter(None, witnesses.split("|")):
        promise, situation = witness.split(" ", 1)
        if situation not in failing.get(promise, ()):
            problems.append("its witness %s does not fail" % witness)
    status, out, _ = runs["ostrevin"]
    transcript_shows = status != 0 or out != args["transcript"]
    if seen_by == "ostrevin" and not transcript_shows:
        problems.append("ostrevin's transcript does not show it")
    deviates = transcript_shows or any(
        line.startswith("not ok ") for line in runs["unwind-contract"][1].splitlines())
    problems += judge_problems(args["judge"], runs, promises, deviates)
    return name, problems


def main(argv):
    if len(argv) < 6:
        sys.stderr.write(__doc__)
        return 2
    manifest, faults, transcript, ostrevin, contract, judge = argv[:6]
    args = {"faults": faults, "ostrevin": ostrevin, "contract": contract, "judge": judge,
            "run": argv[6:], "transcript": open(transcript).read()}
    entries = [line.rstrip("\n").split("\t") for line in open(manifest) if line.strip()]
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
