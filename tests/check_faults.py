#!/usr/bin/env python3
"""The faulty builds of the layer, each judged by the promises it breaks,
and the mutation score.

    check_faults.py MANIFEST FAULTS_DIR TRANSCRIPT OSTREVIN UNWIND DISPATCH UNIT_TESTS JUDGE [RUN...]

For each fault of MANIFEST (tab-separated lines "NAME PROMISES SEEN_BY
WITNESSES WHAT ALSO UNSEEN", see cmake/faults.cmake), with the build
FAULTS_DIR/NAME picked by LD_LIBRARY_PATH, RUN... runs OSTREVIN and both
contract programs, UNWIND (RtlUnwind's) and DISPATCH (the dispatcher's):
  - the contract programs' failing checks ("not ok" or "differs", but
    those that differ for the emulator's deviation) must fail
    every promise that the patch breaks but the unseen, and no other but
    those that it says may also fail (none at all, for a fault that only
    ostrevin sees), each of its witnesses among them, and each program's
    count lines must add up; a witness that is a unit test ("test Suite.Name") must fail
    when UNIT_TESTS runs it alone;
  - JUDGE, given the three runs as saved runs, must say the platform
    deviates (or, for reference behaviour only, conforms with differences)
    and name every promise the patch breaks but the unseen; for a fault
    that only ostrevin sees, ostrevin's transcript must not be TRANSCRIPT,
    the conforming one.
A promise of which this processor lets no check be tried (all its checks
differ for the emulator's deviation: X10 where no x87 exception is raised)
counts as unseen here, its witnesses with it. A fault is caught when all
of this holds. The score, caught out of all, and
how many break promises that no check sees, is the last line; the exit
status is 1 unless every fault is caught."""
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
    failing checks, and those checks, and the promises that the processor
    let some check try."""
    problems, failing, counted, said, tried = [], {}, {}, {}, set()
    if status != 0:
        problems.append("the contract program's exit status %d, not 0" % status)
    for line in out.splitlines():
        check = CHECK.fullmatch(line)
        count = COUNT.fullmatch(line)
        if check:
            result, promise = check.group(1), check.group(2)
            counts = counted.setdefault(promise, [0, 0, 0])
            counts[("ok", "not ok", "differs").index(result)] += 1
            # What the processor cannot try here is the emulator's, on
            # every build alike: no fault's.
            emulated = result == "differs" and line.endswith("(the emulator's deviation)")
            if result != "ok" and not emulated:
                failing.setdefault(promise, set()).add(check.group(3))
            if not emulated:
                tried.add(promise)
        elif count:
            said[count.group(1)] = [int(n) for n in count.groups()[2:]]
        else:
            problems.append("the contract program printed %r" % line[:200])
    total = [sum(c[k] for c in counted.values()) for k in range(3)]
    if said.pop(None, None) != total:
        problems.append("its count line does not add up to its lines")
    if said != counted:
        problems.append("its count lines per promise do not add up to its lines")
    return problems, failing, tried


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


CONTRACTS = ("unwind-contract", "dispatch-contract")


def judge_fault(args, fault):
    name, promises, seen_by, witnesses, _, also, unseen = fault
    promises = [p for p in promises.split() if p not in unseen.split()]
    library = os.path.join(args["faults"], name)
    runs = {program: run(args["run"] + [args[program]], library)
            for program in ("ostrevin",) + CONTRACTS}
    problems, failing, tried = [], {}, set()
    for program in CONTRACTS:
        found, failed, judged = contract_problems(*runs[program][:2])
        problems += ["%s: %s" % (program, problem) for problem in found]
        failing.update(failed)
        tried |= judged
    # What this processor lets no check try (an emulator raises no x87
    # exception, say) is unseen here.
    untried = [p for p in promises if seen_by != "ostrevin" and p not in tried]
    promises = [p for p in promises if p not in untried]
    wanted = set() if seen_by == "ostrevin" else set(promises)
    allowed = wanted | set(also.split())
    if not wanted <= set(failing) <= allowed:
        problems.append("its failing checks fail %s, but its patch says it breaks %s%s"
                        % (" ".join(sorted(failing)) or "nothing",
                           " ".join(sorted(wanted)) or "nothing",
                           " and may fail " + also if also else ""))
    for witness in filter(None, witnesses.split("|")):
        promise, situation = witness.split(" ", 1)
        if promise in untried:
            continue
        if promise == "test":
            if run(args["run"] + [args["unit_tests"], "--gtest_filter=" + situation],
                   library)[0] == 0:
                problems.append("its witness %s passes" % witness)
        elif situation not in failing.get(promise, ()):
            problems.append("its witness %s does not fail" % witness)
    status, out, _ = runs["ostrevin"]
    transcript_shows = status != 0 or out != args["transcript"]
    if seen_by == "ostrevin" and not transcript_shows:
        problems.append("ostrevin's transcript does not show it")
    deviates = transcript_shows or any(
        line.startswith("not ok ") for program in CONTRACTS for line in runs[program][1].splitlines())
    problems += judge_problems(args["judge"], runs, promises, deviates)
    return name, problems, unseen, untried


def main(argv):
    if len(argv) < 8:
        sys.stderr.write(__doc__)
        return 2
    manifest, faults, transcript = argv[:3]
    args = dict(zip(("ostrevin",) + CONTRACTS + ("unit_tests", "judge"), argv[3:8]))
    args.update(faults=faults, run=argv[8:], transcript=open(transcript).read())
    entries = [line.rstrip("\n").split("\t") for line in open(manifest) if line.strip()]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda fault: judge_fault(args, fault), entries))
    caught = 0
    gaps = []
    for name, problems, unseen, untried in results:
        if problems:
            print("MISSED %s:\n  %s" % (name, "\n  ".join(problems)))
            continue
        caught += 1
        if unseen:
            gaps.append(name)
            print("caught %s (no check sees its %s yet)" % (name, unseen.replace(" ", ", ")))
        elif untried:
            gaps.append(name)
            print("caught %s (this processor lets no check try its %s)" % (name, ", ".join(untried)))
        else:
            print("caught %s" % name)
    print("mutation score: %d of %d faulty builds caught, each with the promises it breaks; "
          "%d of them break promises that no check sees yet, or none here" % (caught, len(results), len(gaps)))
    return 0 if caught == len(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
