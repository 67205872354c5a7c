"""The build installed and packed as a user would (cmake --install, cpack):
the installed judge finds its programs and gives the build's verdict; on
win32 the zip's run.cmd, run by Wine's cmd as on Windows, saves runs that
the judge judges as it judges the same programs live."""
import os
import re
import subprocess
import tarfile
import unittest
import zipfile

from support import JUDGE, TempDirTest, judge

BIN = os.path.dirname(JUDGE)
BUILD = os.path.dirname(BIN)
WIN32 = os.path.isfile(os.path.join(BIN, "ostrevin.exe"))
CMAKE = os.environ.get("CMAKE", "cmake")
CPACK = os.environ.get("CPACK", "cpack")


@unittest.skipUnless(os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")), "a build")
class Install(TempDirTest):
    def run_tool(self, *argv, cwd=None):
        done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_the_installed_judge_gives_the_builds_verdict(self):
        self.run_tool(CMAKE, "--install", BUILD, "--prefix", self.tmp)
        installed = os.path.join(self.tmp, "bin")
        for name in ("ostrevin_judge/statuses.def", "ostrevin_judge/promises.def",
                     "ostrevin_judge/cli.py",
                     "qarvel.dll" if WIN32 else "libseh_platform.so"):
            self.assertTrue(os.path.isfile(os.path.join(installed, name)), name)
        self.assertTrue(os.path.isfile(os.path.join(self.tmp, "share", "doc", "ostrevin",
                                                    "docs", "deviations.md")))
        # Each judge runs the programs beside it; the prefix is the build's.
        args = (["--only", "transcript", "wine", "--prefix", os.path.join(BUILD, "wineprefix")]
                if WIN32 else ["linux"])
        built = judge(*args, cwd=BIN)
        self.assertEqual(built.status, 0, built.text)
        mine = judge(*args, cwd=installed, tool=os.path.join(installed, "ostrevin-judge"))
        self.assertEqual((mine.status, mine.out), (built.status, built.out))

    def test_the_package(self):
        self.run_tool(CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                      "-B", self.tmp, cwd=self.tmp)
        top = "ostrevin-0.1.0-" + ("win32" if WIN32 else "linux-i386")
        if not WIN32:
            with tarfile.open(os.path.join(self.tmp, top + ".tar.gz")) as tar:
                names = set(tar.getnames())
            for name in ("ostrevin", "unwind-contract", "libqarvel.so", "libseh_platform.so",
                         "ostrevin-judge", "ostrevin_judge/statuses.def",
                         "ostrevin_judge/promises.def"):
                self.assertIn("%s/bin/%s" % (top, name), names)
            return
        with zipfile.ZipFile(os.path.join(self.tmp, top + ".zip")) as zipped:
            self.assertEqual(sorted(zipped.namelist()), [
                "%s/%s" % (top, name) for name in ("README-windows.txt", "dispatch-contract.exe",
                                                   "ostrevin.exe", "qarvel.dll", "run.cmd",
                                                   "unwind-contract.exe")])
            zipped.extractall(self.tmp)
        folder = os.path.join(self.tmp, top)
        self.run_tool(os.path.join(BUILD, "wine-run"), "cmd", "/c", "run.cmd", cwd=folder)
        saved = judge("--tap", "saved", folder)
        live = judge("--tap", "wine", os.path.join(folder, "ostrevin.exe"))
        self.assertEqual(live.status, 0, live.text)
        self.assertEqual((saved.status, same(saved.out)), (live.status, same(live.out)))
        # a check of the saved runs is rerun by the program's own command line
        self.assertIn("  # rerun: unwind-contract E3 ", saved.out)


def same(tap):
    """TAP of saved and live runs, but for how a check is rerun (Wine's
    invocation, or the program's own command line for the machine that saved
    it) and the name of a program that was not there (NAME.exe, NAME.out)."""
    tap = re.sub(r"(# (?:rerun|reproduce): ).*?((?:unwind|dispatch)-contract)(?:\.exe)? ",
                 r"\1\2 ", tap)
    return re.sub(r"(\S+?)(?:\.exe|\.out) not found beside \S+", r"\1 not found", tap)


if __name__ == "__main__":
    unittest.main()
