"""The judge on fake runs of ostrevin, one per way a run can go wrong: the
verdict must name the right cause in the right scenario, with the right
exit status."""
import os
import time
import unittest

from support import FAKE_OSTREVIN, TempDirTest, copy_judge, fake_run, judge

CONFORMS, DEVIATES, COULD_NOT_RUN = 0, 1, 2


class Causes(unittest.TestCase):
    """How the run ended, read from its wait status, never guessed."""

    def assertVerdict(self, verdict, status, *texts):
        self.assertEqual(verdict.status, status, verdict.text)
        for text in texts:
            self.assertIn(text, verdict.text)

    def test_killed_by_sigkill_is_not_a_hang(self):
        verdict = fake_run("sigkill")
        self.assertVerdict(verdict, DEVIATES, "was ended by SIGKILL during test 2, not by the judge")
        self.assertNotIn("hung", verdict.text)

    def test_own_exit_124_and_130_are_exit_statuses(self):
        for status in (124, 130, 137, 143):
            verdict = fake_run("exits", status=status)
            self.assertVerdict(verdict, DEVIATES, "ended with exit status %d during test 2,"
                               " which ostrevin never does" % status)
            self.assertNotIn("SIG", verdict.text)
            self.assertNotIn("hung", verdict.text)

    def test_fault_names_the_signal_and_the_scenario(self):
        verdict = fake_run("segv", "--tap")
        self.assertVerdict(verdict, DEVIATES, "not ok 2 - test 2",
                           "# the run faulted (SIGSEGV) during test 2", "not ok 3 - test 3",
                           "# not reached", "ok 1 - test 1")

    def test_hang_is_the_judges_time_out(self):
        start = time.monotonic()
        verdict = fake_run("hangs", "--timeout", "1")
        elapsed = time.monotonic() - start
        self.assertVerdict(verdict, DEVIATES, "the run hung: it had not ended within the"
                           " time-out of 1 s, during test 1")
        print("hang judged in %.2f s (time-out 1 s)" % elapsed)

    def test_hang_after_printing_everything(self):
        verdict = fake_run("hangs_after_all", "--timeout", "0.5")
        self.assertVerdict(verdict, DEVIATES, 'printed "Tests complete." but then hung: it had'
                           " not ended within the time-out of 0.5 s")
        self.assertNotIn("exit status", verdict.text)

    def test_layer_statuses_name_their_promise(self):
        for status, name, promise in ((0x26, "STATUS_INVALID_DISPOSITION", "W6"),
                                      (0x27, "STATUS_UNWIND", "E3"),
                                      (0x28, "STATUS_BAD_STACK", "W2"),
                                      (0x29, "STATUS_INVALID_UNWIND_TARGET", "W3"),
                                      (0xFD, "STATUS_STACK_OVERFLOW", "W5"),
                                      (70, "could not give the thread an information block", "T1")):
            verdict = fake_run("exits", status=status, lines=6)
            self.assertVerdict(verdict, DEVIATES, "during test 5 with exit status %d" % status,
                               name, "; %s: " % promise)
            self.assertNotIn("never does", verdict.text)

    def test_unhandled_exception_under_wine(self):
        self.assertVerdict(fake_run("wine_unhandled"), DEVIATES,
                           "during test 5 with an unhandled exception STATUS_INVALID_UNWIND_TARGET"
                           " (0xC0000029); W3: ", "(stderr: wine: Unhandled exception 0xc0000029")
        self.assertVerdict(fake_run("wine_page_fault"), DEVIATES,
                           "faulted during test 3: an unhandled exception 0xC0000005"
                           " (EXCEPTION_ACCESS_VIOLATION)")

    def test_unhandled_exception_on_the_layer(self):
        self.assertVerdict(fake_run("layer_page_fault"), DEVIATES,
                           "faulted during test 3: an unhandled exception 0xC0000005"
                           " (EXCEPTION_ACCESS_VIOLATION)",
                           "(stderr: seh_platform: unhandled exception 0xc0000005")
        self.assertVerdict(fake_run("layer_status"), DEVIATES,
                           "during test 5 with an unhandled exception STATUS_INVALID_UNWIND_TARGET"
                           " (0xC0000029); W3: ")

    def test_status_after_completion(self):
        verdict = fake_run("exits", status=0x28, lines=9)
        self.assertVerdict(verdict, DEVIATES, 'printed "Tests complete." but then ended with exit'
                           " status 40 (0x28), the low byte of STATUS_BAD_STACK")


class StatusTable(TempDirTest):
    """The platform's statuses are those of the table the layer is built
    from (statuses.def, installed with the judge), not a copy of the judge's."""

    def test_a_status_the_table_gains_is_named(self):
        tool = copy_judge(self.tmp)
        table = os.path.join(self.tmp, "ostrevin_judge", "statuses.def")
        with open(table, "a") as file:
            file.write('STATUS(STATUS_FRESH, 0xC0000042, T3, "a status the table just gained")\n'
                       'LAYER_EXIT(SEH_PLATFORM_EXIT_OTHER, 71, T2, "the layer lost its'
                       ' stack")\n')
        for status, text in ((0x42, "with exit status 66 (0x42), the low byte of STATUS_FRESH"
                                    " (0xC0000042); T3: unwinds on several threads"),
                             (71, "with exit status 71: the layer lost its stack; T2: ")):
            verdict = judge("command", FAKE_OSTREVIN, tool=tool, run="exits", status=status,
                            lines=6, contract="all_ok")
            self.assertEqual(verdict.status, DEVIATES, verdict.text)
            self.assertIn(text, verdict.out)
        os.remove(table)
        verdict = judge("command", FAKE_OSTREVIN, tool=tool)
        self.assertEqual((verdict.status, verdict.out), (COULD_NOT_RUN, ""), verdict.text)
        self.assertIn("ostrevin-judge: the table of the platform's statuses is missing: no %s"
                      % table, verdict.err)


class CouldNotRun(unittest.TestCase):
    def test_a_run_that_prints_nothing(self):
        verdict = fake_run("nothing")
        self.assertEqual(verdict.status, COULD_NOT_RUN, verdict.text)
        self.assertIn("could not run: the run ended before printing anything", verdict.text)

    def test_a_dll_that_cannot_be_loaded(self):
        verdict = fake_run("dll_missing")
        self.assertEqual(verdict.status, COULD_NOT_RUN, verdict.text)
        self.assertIn("import_dll Library qarvel.dll", verdict.text)

    def test_a_platform_status_before_any_output_is_a_deviation(self):
        verdict = fake_run("exits", status=70, lines=0)
        self.assertEqual(verdict.status, DEVIATES, verdict.text)
        self.assertIn("ended before anything it printed reached the judge (what a program has"
                      " not flushed is lost when it ends this way) with exit status 70",
                      verdict.text)


class Transcripts(unittest.TestCase):
    """Each added, missing or moved line, once, in the scenario it falls in."""

    def test_line_ends(self):
        self.assertEqual(fake_run("crlf").status, CONFORMS)
        verdict = fake_run("trailing_spaces")
        self.assertEqual(verdict.status, DEVIATES)
        self.assertIn('test 1: the line ends in white space that ostrevin never prints (line 1:'
                      ' "test 1  ")', verdict.out)
        self.assertNotIn("before test 1", verdict.out)
        self.assertEqual(len(verdict.out.splitlines()), 2, verdict.out)

    def test_final_line_out_of_place(self):
        verdict = fake_run("final_early")
        self.assertIn('"Tests complete." is out of place, inside test 4 (line 6', verdict.out)
        self.assertNotIn("never prints", verdict.out)
        self.assertNotIn("ended", verdict.out)
        self.assertEqual(len(verdict.out.splitlines()), 2, verdict.out)

    def test_swapped_labels_one_finding(self):
        verdict = fake_run("labels_swapped")
        self.assertEqual(verdict.status, DEVIATES)
        self.assertEqual(verdict.out.count("out of place"), 1, verdict.out)
        self.assertEqual(len(verdict.out.splitlines()), 2, verdict.out)

    def test_body_lines_are_judged_in_their_scenario(self):
        verdict = fake_run("mismatch_moved")
        self.assertIn("test 2: the harness did not report its dangling record", verdict.out)
        self.assertIn("test 3: after a forced unwind with nothing to unwind", verdict.out)

    def test_control_bytes_are_shown_escaped(self):
        for options in ((), ("--tap",)):
            verdict = fake_run("escapes", *options)
            self.assertNotIn("\x1b", verdict.out)
            self.assertNotIn("\x07", verdict.out)
            self.assertIn(r'"\e]0;owned\x07\e[2J\e[31mred"', verdict.out)
            self.assertIn(r'"C:\new\test.exe"', verdict.out)


class Bounds(unittest.TestCase):
    """What the judge reads and prints is bounded; judging is linear."""

    def test_a_flood_is_cut_off(self):
        verdict = fake_run("floods")
        self.assertEqual(verdict.status, DEVIATES)
        self.assertIn("the run floods its output: it wrote more than 1048576 bytes during test 5,"
                      " and the judge ended it", verdict.out)
        self.assertLess(len(verdict.out), 10000)

    def test_a_long_line_is_cut_in_the_verdict(self):
        for options in ((), ("--tap",)):
            verdict = fake_run("long_line", *options)
            self.assertEqual(verdict.status, DEVIATES)
            self.assertIn("(cut to 160 of its 1000000 characters)", verdict.out)
            self.assertLess(len(verdict.out), 10000)

    def test_many_extra_lines_are_grouped(self):
        start = time.monotonic()
        verdict = fake_run("many_lines")
        elapsed = time.monotonic() - start
        self.assertEqual(verdict.status, DEVIATES)
        self.assertIn("test 5: a nested unwind resumed in the scenario more often than the"
                      " scenario started one (promise W5) (10000 times, lines 9, 11, 13, 15, 17, ...:"
                      " \"should get here.\")", verdict.out)
        self.assertIn("(10000 times, lines 10, 12, 14, 16, 18, ...: \"dirty frame was"
                      " unwound.\")", verdict.out)
        self.assertLess(len(verdict.out), 2000)
        print("20,000 extra lines judged in %.2f s" % elapsed)


if __name__ == "__main__":
    unittest.main()
