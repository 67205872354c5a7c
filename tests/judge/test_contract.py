"""The judge on fake runs of the contract program: every `not ok` is a
deviation named with its promise, `differs` is shown but is not one, and a
run without its count line (or with a wrong one) ended early."""
import os
import shutil
import time
import unittest

from support import FAKE, FAKE_OSTREVIN, TempDirTest, judge


def contract(case, *options, **fake):
    return judge("--only", "contract", *options, "command", FAKE_OSTREVIN, contract=case,
                 **fake)


class Checks(unittest.TestCase):
    def test_all_ok(self):
        for case in ("all_ok", "crlf"):
            verdict = contract(case)
            self.assertEqual(verdict.status, 0, verdict.text)
            self.assertIn("unwind-contract on this host (%s): conforms (3 checks: 3 ok, 0 not ok,"
                          " 0 differs)." % os.path.join(FAKE, "unwind-contract"), verdict.out)

    def test_not_ok_under_its_promise_and_its_meaning(self):
        verdict = contract("not_ok")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("\nW7: after its handler returns each record is taken off the chain at once,"
                      " before the next handler runs, and each handler is called exactly once per"
                      " unwind (1 checks: 0 ok, 1 not ok, 0 differs)\n"
                      "  not ok W7 records leave the chain one by one: all were unlinked at the"
                      " end\n", verdict.out)

    def test_differs_is_not_a_deviation(self):
        verdict = contract("differs")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("conforms (4 checks: 3 ok, 0 not ok, 1 differs)", verdict.out)
        self.assertIn("\nE3: reaching the end marker otherwise", verdict.out)
        self.assertIn("(1 checks: 0 ok, 0 not ok, 1 differs; a difference to look at, not a"
                      " deviation)\n  differs E3 a null target raises at the end of the chain:"
                      " RtlUnwind returned\n", verdict.out)
        tap = contract("differs", "--tap")
        self.assertIn("ok 4 - E3 a null target raises at the end of the chain\n  # differs E3",
                      tap.out)
        self.assertIn("\n  # E3: reaching the end marker otherwise", tap.out)
        self.assertIn("(reference behaviour only) (a difference to look at, not a deviation)\n",
                      tap.out)

    def test_runs_that_end_early(self):
        for case, text in (
                ("no_count", "ended early: the run ended after 3 checks (the last: E1 RtlUnwind"
                             " returns as a stdcall function), without its count line"),
                ("crashes", "ended early: the run faulted (SIGSEGV) after 2 checks"),
                ("count_disagrees", 'ended early: its count line "4 checks: 4 ok, 0 not ok, 0'
                                    ' differs" disagrees with its lines, "3 checks: 3 ok'),
                ("exits", "the run printed its count line but then ended with exit status 3,"
                          " which unwind-contract never does")):
            verdict = contract(case)
            self.assertEqual(verdict.status, 1, case + ": " + verdict.text)
            self.assertIn(text, verdict.out, case)

    def test_count_lines_per_promise(self):
        verdict = contract("per_promise")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("deviates (4 checks: 2 ok, 1 not ok, 1 differs)", verdict.out)
        # the title, each finding's promise, line and two commands: no line is stray
        self.assertEqual(len(verdict.out.splitlines()), 1 + 4 + 4 + 1, verdict.out)
        verdict = contract("per_promise_disagrees")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn('ended early: its count line "W7: 1 checks: 0 ok, 1 not ok, 0 differs"'
                      ' disagrees with its lines, "W7: 1 checks: 1 ok, 0 not ok, 0 differs"',
                      verdict.out)
        self.assertIn('ended early: it printed no count line for E1, whose lines are "E1: 1'
                      ' checks: 1 ok, 0 not ok, 0 differs"', verdict.out)

    def test_thousands_of_checks(self):
        for options in ((), ("--junit", os.devnull), ("--tap",)):
            start = time.monotonic()
            verdict = contract("thousands", *options)
            elapsed = time.monotonic() - start
            self.assertEqual(verdict.status, 0, verdict.text[:2000])
            print("6,600 checks judged in %.2f s with %s" % (elapsed, options or "words"))
        self.assertIn("\nok 6600 - T3 5-above/to-record/callers/answers-4/nested-299\nok 6601 -"
                      " unwind-contract completed with its count line\n", verdict.out)

    def test_lines_it_never_prints(self):
        verdict = contract("stray_line")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn(r'a line that unwind-contract never prints (line 2: "\e[31mhello")',
                      verdict.out)
        verdict = contract("unknown_promise")
        self.assertIn('never prints (line 4: "ok Z9 a promise nobody made")', verdict.out)


class BothPrograms(TempDirTest):
    def test_both_are_reported_and_either_deviation_counts(self):
        verdict = judge("--tap", "command", FAKE_OSTREVIN, contract="not_ok")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("1..13\n", verdict.out)
        self.assertIn("ok 6 - run completed", verdict.out)
        self.assertIn("not ok 8 - W7 records leave the chain one by one", verdict.out)
        self.assertIn("ok 10 - unwind-contract completed with its count line", verdict.out)
        self.assertIn("ok 13 - dispatch-contract completed with its count line", verdict.out)

    def test_a_missing_contract_program_is_a_note(self):
        folder = os.path.join(self.tmp, "C:\\new\\test")  # backslashes stay backslashes
        os.mkdir(folder)
        shutil.copy(FAKE_OSTREVIN, folder)
        alone = os.path.join(folder, "ostrevin")
        verdict = judge("command", alone, run="conforming")
        self.assertEqual(verdict.status, 0, verdict.text)
        for name in ("unwind-contract", "dispatch-contract"):
            self.assertIn("%s not found beside %s: contract not judged." % (name, alone),
                          verdict.out)
        verdict = judge("--tap", "command", alone, run="conforming")
        self.assertIn("ok 7 - unwind-contract # SKIP unwind-contract not found", verdict.out)
        self.assertIn("ok 8 - dispatch-contract # SKIP dispatch-contract not found", verdict.out)
        verdict = judge("--only", "contract", "command", alone)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("ostrevin-judge: no contract program to run: unwind-contract not found",
                      verdict.err)
        # One of them is enough, and judged alone.
        shutil.copy(os.path.join(FAKE, "dispatch-contract"), folder)
        verdict = judge("--only", "contract", "command", alone, dispatch="not_ok")
        self.assertEqual(verdict.status, 1, verdict.text)
        self.assertIn("dispatch-contract on this host (%s): deviates" % os.path.join(
            folder, "dispatch-contract"), verdict.out)
        self.assertIn("unwind-contract not found beside", verdict.out)

    def test_only_transcript_keeps_the_verdict_of_ostrevin_alone(self):
        verdict = judge("--only", "transcript", "command", FAKE_OSTREVIN, contract="not_ok")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertNotIn("unwind-contract", verdict.out)

    def test_could_not_run_and_deviates(self):
        verdict = judge("command", FAKE_OSTREVIN, run="nothing", contract="all_ok")
        self.assertEqual(verdict.status, 2, verdict.text)
        verdict = judge("command", FAKE_OSTREVIN, run="nothing", contract="not_ok")
        self.assertEqual(verdict.status, 1, verdict.text)


if __name__ == "__main__":
    unittest.main()
