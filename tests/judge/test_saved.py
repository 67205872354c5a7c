"""Runs saved elsewhere (on Windows, say) and handed to the judge: the same
verdict, TAP and exit status as the same runs judged live, and the whole
exit codes that Windows gives."""
import os
import subprocess
import unittest

from support import FAKE, FAKE_OSTREVIN, TempDirTest, judge


class Saved(TempDirTest):
    def save(self, name, out=b"", status="0", err=None):
        with open(os.path.join(self.tmp, name + ".out"), "wb") as file:
            file.write(out)
        with open(os.path.join(self.tmp, name + ".status"), "wb") as file:
            file.write(status if isinstance(status, bytes) else status.encode())
        if err is not None:
            with open(os.path.join(self.tmp, name + ".err"), "wb") as file:
                file.write(err)

    def save_live(self, program, **fake):
        env = dict(os.environ, **{"FAKE_" + key.upper(): str(value)
                                  for key, value in fake.items()})
        done = subprocess.run([os.path.join(FAKE, program)], env=env, capture_output=True)
        self.save(program, done.stdout, str(done.returncode), done.stderr)

    def test_the_same_verdict_as_the_live_runs(self):
        for run, contract, status in (("conforming", "all_ok", None),
                                      ("exits", "not_ok", 0x29), ("exits", "all_ok", 70),
                                      ("wine_unhandled", "differs", None),
                                      ("many_lines", "per_promise", None),
                                      ("dll_missing", "exits", None)):
            fake = dict(run=run, contract=contract)
            if status:
                fake.update(status=status, lines=6)
            for program in ("ostrevin", "unwind-contract", "dispatch-contract"):
                self.save_live(program, **fake)
            # The same, but that a check is rerun by the saved program's name
            # alone, on the machine where it was saved.
            live = judge("--tap", "command", FAKE_OSTREVIN, **fake)
            saved = judge("saved", self.tmp, "--tap")
            self.assertEqual((saved.status, saved.out),
                             (live.status, live.out.replace(FAKE + "/", "")), run)
            live = judge("command", FAKE_OSTREVIN, **fake)
            saved = judge("saved", self.tmp)
            self.assertEqual(saved.out.replace("saved runs (%s/" % self.tmp, "X (")
                             .replace(".out)", ")"),
                             live.out.replace("this host (%s/" % FAKE, "X (")
                             .replace(FAKE + "/", ""), run)

    def test_runs_the_judge_saved_are_judged_again_the_same(self):
        folder = os.path.join(self.tmp, "runs")
        for run, contract, options in (("segv", "not_ok", ()), ("floods", "all_ok", ()),
                                       ("exits", "crashes", ()),
                                       ("hangs", "hangs", ("--timeout", "0.5"))):
            fake = dict(run=run, contract=contract, status=3)
            live = judge("--save", folder, *options, "command", FAKE_OSTREVIN, **fake)
            saved = judge("saved", folder)
            self.assertEqual(saved.status, live.status, run)
            self.assertEqual(saved.out.replace("saved runs (%s/" % folder, "X (")
                             .replace(".out)", ")"),
                             live.out.replace("this host (%s/" % FAKE, "X (")
                             .replace(FAKE + "/", ""), run)
        with open(os.path.join(folder, "unwind-contract.status")) as file:
            self.assertEqual(file.read(), "hung 0.5\n")
        verdict = judge("--save", os.path.join(FAKE_OSTREVIN, "x"), "command", FAKE_OSTREVIN)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("ostrevin-judge: cannot save the run of ostrevin in ", verdict.err)

    def test_exit_codes_as_windows_gives_them(self):
        lines = b"test 1\r\ntest 2 (should complain of a mismatch)\r\n"
        for status in ("-1073741783\r\n", "3221225513", "0xC0000029",
                       "\ufeff-1073741783\r\n".encode("utf-16-le")):
            self.save("ostrevin", lines, status)
            verdict = judge("saved", self.tmp)
            self.assertEqual(verdict.status, 1, verdict.text)
            self.assertIn("the run ended during test 2 with an unhandled exception"
                          " STATUS_INVALID_UNWIND_TARGET (0xC0000029); W3: ", verdict.out)
        self.save("ostrevin", lines, "-1073741819")
        self.assertIn("faulted during test 2: an unhandled exception 0xC0000005"
                      " (EXCEPTION_ACCESS_VIOLATION)", judge("saved", self.tmp).out)
        self.save("ostrevin", b"", "-1073741515")  # a DLL missing: nothing ran
        verdict = judge("saved", self.tmp)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("could not run: the run ended with exit status 0xC0000135 before printing"
                      " anything, STATUS_DLL_NOT_FOUND: the program could not be loaded.",
                      verdict.out)

    def test_what_cannot_be_read(self):
        self.save("ostrevin", b"test 1\n", "twelve")
        verdict = judge("saved", self.tmp)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("could not run: %s/ostrevin.status holds no exit status: 'twelve'."
                      % self.tmp, verdict.out)
        for name in ("unwind-contract", "dispatch-contract"):
            self.assertIn("%s.out not found beside %s/ostrevin.out: contract not judged."
                          % (name, self.tmp), verdict.out)
        os.remove(os.path.join(self.tmp, "ostrevin.status"))
        self.assertIn("cannot read %s/ostrevin.status: No such file" % self.tmp,
                      judge("saved", self.tmp).out)
        for folder, text in ((os.path.join(self.tmp, "none"), "it is not a folder"),
                             (FAKE, "no saved run at %s/ostrevin.out" % FAKE)):
            verdict = judge("saved", folder)
            self.assertEqual(verdict.status, 2, verdict.text)
            self.assertIn(text, verdict.err)


if __name__ == "__main__":
    unittest.main()
