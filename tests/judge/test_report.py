"""The contract's verdict as a report to file bugs from: findings under
their promise in the contract's order, each check as the program printed it,
whole, with the commands that rerun it and write its reproducer on the
platform the judge ran, commands that do run the same; a hang is the
platform's deviation, whatever it printed first."""
import os
import shutil
import subprocess
import unittest

from support import FAKE, FAKE_OSTREVIN, JUDGE, TempDirTest, judge, write_pe

FAKE_WINE = os.path.join(FAKE, "wine-build", "wine")
BIN = os.path.dirname(JUDGE)
HAVE_ELF = os.path.isfile(os.path.join(BIN, "unwind-contract"))


def contract(case, *options, **fake):
    return judge("--only", "contract", *options, "command", FAKE_OSTREVIN, contract=case,
                 **fake)


def commands(out, word):
    """The commands after `word:` in a report, in order."""
    return [line.split(": ", 1)[1] for line in out.splitlines()
            if line.lstrip().startswith(word + ": ")]


class Grouping(unittest.TestCase):
    def test_by_promise_in_the_contracts_order_then_as_printed(self):
        verdict = contract("interleaved")
        self.assertEqual(verdict.status, 1, verdict.text)
        lines = [line for line in verdict.out.splitlines() if not line.startswith("    ")]
        self.assertEqual(lines[1:], [
            lines[1].rsplit(" (", 1)[0] + " (3 checks: 1 ok, 2 not ok, 0 differs)",
            "  not ok U1 1-above/a: the head was record 1",
            "  not ok U1 3-above/c: the head was record 3",
            lines[4].rsplit(" (", 1)[0] + " (2 checks: 1 ok, 1 not ok, 0 differs)",
            "  not ok W7 2-above/b: all were unlinked at the end",
            lines[6].rsplit(" (", 1)[0] + " (1 checks: 0 ok, 0 not ok, 1 differs; a difference to"
                                      " look at, not a deviation)",
            "  differs E3 1-above/a: RtlUnwind returned",
            "dispatch-contract on this host (%s): conforms (2 checks: 2 ok, 0 not ok,"
            " 0 differs)." % os.path.join(FAKE, "dispatch-contract")])
        self.assertTrue(lines[1].startswith("U1: TargetFrame is the record to unwind to"))
        # TAP and JUnit in the same order
        tap = contract("interleaved", "--tap").out
        points = [line.split(" - ", 1)[1] for line in tap.splitlines() if " - " in line]
        self.assertEqual(points[:6], ["U1 1-above/a", "U1 2-above/b", "U1 3-above/c",
                                      "W7 1-above/a", "W7 2-above/b", "E3 1-above/a"])

    def test_every_finding_has_its_two_commands(self):
        verdict = contract("interleaved")
        self.assertEqual(commands(verdict.out, "rerun"), [
            "%s/unwind-contract %s" % (FAKE, check) for check in
            ("U1 1-above/a", "U1 3-above/c", "W7 2-above/b", "E3 1-above/a")])
        self.assertEqual(commands(verdict.out, "reproduce")[1],
                         "%s/unwind-contract --reproduce U1 3-above/c >U1-3-above-c.c" % FAKE)
        tap = contract("interleaved", "--tap").out
        self.assertIn("not ok 3 - U1 3-above/c\n  # not ok U1 3-above/c: the head was record 3\n"
                      "  # U1: TargetFrame is the record to unwind to", tap)
        self.assertIn("  # rerun: %s/unwind-contract U1 3-above/c\n  # reproduce: " % FAKE, tap)

    def test_its_own_lines_whole_what_the_platform_printed_cut(self):
        verdict = contract("long_lines")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("it called 0x00405A4D, " * 20 + "and faulted\n", verdict.out)
        self.assertIn('(line 2: "%s... (cut to 160 of its 400 characters)")' % ("x" * 160),
                      verdict.out)
        self.assertNotIn("x" * 161, verdict.out)


class Commands(TempDirTest):
    def test_the_command_platform_reruns_with_its_own_command_line(self):
        verdict = contract("not_ok")
        self.assertEqual(commands(verdict.out, "rerun"),
                         ["%s/unwind-contract W7 'records leave the chain one by one'" % FAKE])
        for command, asked in ((commands(verdict.out, "rerun")[0],
                                "W7 | records leave the chain one by one"),
                               (commands(verdict.out, "reproduce")[0].split(" >")[0],
                                "--reproduce | W7 | records leave the chain one by one")):
            done = subprocess.run(command, shell=True, capture_output=True, text=True)
            self.assertEqual(done.stdout, "asked: %s\n" % asked)

    def test_wine_is_run_as_the_judge_ran_it(self):
        for name in ("ostrevin.exe", "unwind-contract.exe"):
            write_pe(os.path.join(self.tmp, name))
        log = os.path.join(self.tmp, "log")
        env = {name: value for name, value in os.environ.items() if not name.startswith("WINE")}
        env.update(FAKE_WINE_LOG=log, FAKE_CONTRACT="not_ok", HOME=self.tmp,
                   XDG_CACHE_HOME=os.path.join(self.tmp, "cache"))
        verdict = judge("--only", "contract", "wine", "--wine", FAKE_WINE,
                        os.path.join(self.tmp, "ostrevin.exe"), env=env)
        self.assertEqual(verdict.status, 1, verdict.text)
        with open(log) as file:
            judged = [line for line in file if line.startswith("run ")]
        os.remove(log)
        rerun = commands(verdict.out, "rerun")[0]
        self.assertIn("WINEDEBUG=-all", rerun)
        done = subprocess.run(rerun, shell=True, env=env, capture_output=True, text=True)
        self.assertEqual(done.stdout, "asked: W7 | records leave the chain one by one\n")
        with open(log) as file:
            rerun_log = file.read()
        self.assertEqual(rerun_log, judged[0].replace(
            "unwind-contract.exe ", "unwind-contract.exe W7 records leave the chain one by one "))

    @unittest.skipUnless(HAVE_ELF, "the linux-i386 build beside the judge")
    def test_a_real_check_reruns_alone_with_the_same_verdict(self):
        env = dict(os.environ, LD_LIBRARY_PATH=os.path.join(BIN, "faults", "record_left"))
        verdict = judge("--only", "contract", "linux", env=env, timeout=300)
        self.assertEqual(verdict.status, 1, verdict.text[:3000])
        first = next(line.strip() for line in verdict.out.splitlines()
                     if line.startswith("  not ok "))
        rerun = commands(verdict.out, "rerun")[0]
        shown = verdict.out.split("unwind-contract on linux-i386 (", 1)[1].split(")")[0]
        self.assertEqual(os.path.realpath(shown), os.path.join(BIN, "unwind-contract"))
        # the layer it ran on, then the program as it was named
        self.assertTrue(rerun.startswith("LD_LIBRARY_PATH=%s %s " % (
            env["LD_LIBRARY_PATH"], shown)), rerun)
        done = subprocess.run(rerun, shell=True, env=dict(os.environ), capture_output=True,
                              text=True, timeout=60)
        self.assertIn(first + "\n", done.stdout)


class Hangs(unittest.TestCase):
    def test_a_contract_that_hangs_deviates_and_keeps_its_lines(self):
        verdict = contract("hangs", "--timeout", "1")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("unwind-contract on this host (%s/unwind-contract): deviates" % FAKE,
                      verdict.out)
        self.assertIn("  not ok W7 records leave the chain one by one", verdict.out)
        self.assertIn("ended early: the run hung: it had not ended within the time-out of 1 s,"
                      " after 2 checks (the last: W7 records leave the chain one by one)",
                      verdict.out)
        self.assertNotIn("could not run", verdict.out)

    def test_a_run_that_hangs_silent_deviates(self):
        verdict = contract("hangs_silent", "--timeout", "1")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("deviates (0 checks: 0 ok, 0 not ok, 0 differs).\nended early: the run"
                      " hung", verdict.out)
        verdict = judge("--only", "transcript", "--timeout", "1", "command", FAKE_OSTREVIN,
                        run="hangs_silent")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("the run hung: it had not ended within the time-out of 1 s", verdict.out)


class ContractPrograms(TempDirTest):
    def test_each_program_its_own_promises(self):
        verdict = judge("--only", "contract", "command", FAKE_OSTREVIN, dispatch="not_ok")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn(" and ESP restored after the call (1 checks: 0 ok, 1 not ok, 0 differs)\n"
                      "  not ok H1 a handler is called with its frame: it got 0x0\n", verdict.out)
        # its rerun and its reproducer, by dispatch-contract itself
        self.assertEqual(commands(verdict.out, "rerun"),
                         ["%s/dispatch-contract H1 'a handler is called with its frame'" % FAKE])
        self.assertEqual(commands(verdict.out, "reproduce"),
                         ["%s/dispatch-contract --reproduce H1 'a handler is called with its frame'"
                          " >H1-a-handler-is-called-with-its-frame.c" % FAKE])
        verdict = judge("--only", "contract", "command", FAKE_OSTREVIN, dispatch="unwind_lines")
        self.assertIn('a line that dispatch-contract never prints (line 3: "ok U1 the unwind'
                      ' stops at the target")', verdict.out)

    def test_named_alone_the_contract_program_finds_the_others(self):
        folder = os.path.join(self.tmp, "bin")
        shutil.copytree(FAKE, folder, ignore=shutil.ignore_patterns("wine-build", "*.cpp"))
        verdict = judge("command", os.path.join(folder, "dispatch-contract"), run="conforming")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on this host (%s/ostrevin): conforms." % folder, verdict.out)


if __name__ == "__main__":
    unittest.main()
