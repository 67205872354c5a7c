"""The judge on the win32 build under the real Wine: the conforming verdict
(with Wine's tracing on, as a user debugging would run it), a program whose
DLL cannot be loaded, which could not run, and unhandled statuses."""
import os
import shutil
import subprocess
import unittest

from support import FAKE, JUDGE, TempDirTest, judge

BIN = os.path.dirname(JUDGE)
OSTREVIN = os.path.join(BIN, "ostrevin.exe")
RAISES = os.path.join(BIN, "judge_raises.exe")
WINE_RUN = os.path.join(os.path.dirname(BIN), "wine-run")


@unittest.skipUnless(os.path.isfile(OSTREVIN), "the win32 build's ostrevin.exe")
class RealWine(TempDirTest):
    def test_conforms_with_tracing_left_on(self):
        env = dict(os.environ, WINEDEBUG="+seh,+module")
        verdict = judge("--only", "transcript", "wine", OSTREVIN, env=env)
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertRegex(verdict.out, r"ostrevin on win32 under wine-\S+.* conforms\.")

    def test_a_dll_that_cannot_be_loaded(self):
        alone = os.path.join(self.tmp, "ostrevin.exe")
        shutil.copy(OSTREVIN, alone)
        for debug in ("-all", "err+all"):
            env = dict(os.environ, WINEDEBUG=debug)
            verdict = judge("--only", "transcript", "wine", alone, env=env)
            self.assertEqual(verdict.status, 2, verdict.text)
            self.assertIn("could not run: the run ended with exit status 53 (0x35) before"
                          " printing anything, the low byte of STATUS_DLL_NOT_FOUND", verdict.out)
        self.assertIn("qarvel.dll", verdict.out)


    def test_an_unhandled_status_names_its_promise(self):
        for status, text in (("0xC0000029", "STATUS_INVALID_UNWIND_TARGET (0xC0000029); W3: "),
                             ("0xC0000026", "STATUS_INVALID_DISPOSITION (0xC0000026); W6: "),
                             ("0xC0000005", ": an unhandled exception 0xC0000005"
                                            " (EXCEPTION_ACCESS_VIOLATION)")):
            env = dict(os.environ, FAKE_STATUS=status)
            verdict = judge("--only", "transcript", "wine", RAISES, env=env)
            self.assertEqual(verdict.status, 1, verdict.text)
            self.assertIn(text, verdict.out)
            self.assertIn("(stderr: wine: Unhandled", verdict.out)
            # Wine does not always flush msvcrt's buffer when an exception
            # ends the process: test 5 or nothing, never a wrong place.
            self.assertRegex(verdict.out, r"(during test 5|before anything it printed)")



@unittest.skipUnless(os.path.isfile(WINE_RUN), "the win32 build's wine-run")
class WineRun(TempDirTest):
    """ctest's runner takes the Wine and server of one build, and leaves
    WINEDEBUG to the user."""

    def run_it(self, **env):
        log = os.path.join(self.tmp, "wine.log")
        environment = {name: value for name, value in os.environ.items()
                       if not name.startswith("WINE")}
        environment.update(env, WINE=os.path.join(FAKE, "wine-build", "wine"), FAKE_WINE_LOG=log)
        completed = subprocess.run([WINE_RUN, OSTREVIN], env=environment, capture_output=True,
                                   text=True, timeout=60)
        self.assertEqual(completed.returncode, 0, completed.stderr)
        with open(log) as file:
            return file.read()

    def test_the_server_beside_wine(self):
        logged = self.run_it()
        server = os.path.join(FAKE, "wine-build", "wineserver")
        self.assertIn("server %s -p10" % server, logged)
        self.assertIn("WINEDEBUG=-all WINESERVER=%s" % server, logged)

    def test_winedebug_and_wineserver_of_the_user(self):
        server = os.path.join(self.tmp, "server")
        shutil.copy(os.path.join(FAKE, "wine-build", "wineserver"), server)
        logged = self.run_it(WINEDEBUG="+seh", WINESERVER=server)
        self.assertIn("server %s -p10" % server, logged)
        self.assertIn("WINEDEBUG=+seh WINESERVER=%s" % server, logged)


if __name__ == "__main__":
    unittest.main()
