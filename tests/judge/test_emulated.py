"""The suite on an emulated CPU (qemu linux|wine) and Wine in a tree of its
own (wine --root), with a fake qemu that logs how it was called: the program,
or Wine's ELF loader, runs under the emulator; Wine's server and its
--version never do; a missing emulator, loader or tree is "could not run"."""
import os
import shutil
import unittest

from support import FAKE, JUDGE, TempDirTest, judge, write_pe

FAKE_WINE = os.path.join(FAKE, "wine-build", "wine")
FAKE_SERVER = os.path.join(FAKE, "wine-build", "wineserver")
# The build's own linux-i386 program, beside the judge under test.
OSTREVIN = os.path.join(os.path.dirname(JUDGE), "ostrevin")

QEMU = """#!/bin/sh
[ "$1" != --version ] || { echo "qemu-i386 version 99.1 (fake)"; exit 0; }
echo "qemu $* WINELOADERNOEXEC=${WINELOADERNOEXEC-(unset)}" >>"$FAKE_WINE_LOG"
# The fake Wine build's loader is no program: the fake Wine stands in for it.
if [ "$1" = "$FAKE_LOADER" ]; then shift; exec "$FAKE_WINE_SCRIPT" "$@"; fi
exec "$@"
"""


class Emulated(TempDirTest):
    def setUp(self):
        super().setUp()
        self.log = os.path.join(self.tmp, "log")
        open(self.log, "w").close()
        self.qemu = os.path.join(self.tmp, "qemu-i386")
        with open(self.qemu, "w") as file:
            file.write(QEMU)
        os.chmod(self.qemu, 0o755)
        # A Wine installed as Debian does: a script in bin/, the ELF loader
        # in lib/wine/.
        self.wine = os.path.join(self.tmp, "wine", "bin", "wine")
        self.loader = os.path.join(self.tmp, "wine", "lib", "wine", "wine")
        os.makedirs(os.path.dirname(self.wine))
        os.makedirs(os.path.dirname(self.loader))
        shutil.copy(FAKE_WINE, self.wine)
        shutil.copy(FAKE_SERVER, os.path.dirname(self.wine))
        with open(self.loader, "wb") as file:
            file.write(b"\x7fELF" + bytes(60))
        os.chmod(self.loader, 0o755)
        os.symlink(os.path.join(FAKE, "ostrevin"), os.path.join(self.tmp, "wine", "ostrevin"))
        self.program = os.path.join(self.tmp, "ostrevin.exe")
        write_pe(self.program)
        self.env = {name: value for name, value in os.environ.items()
                    if not name.startswith(("WINE", "QEMU"))}
        self.env.update(FAKE_WINE_LOG=self.log, FAKE_LOADER=self.loader,
                        FAKE_WINE_SCRIPT=self.wine, XDG_CACHE_HOME=os.path.join(self.tmp, "c"),
                        HOME=self.tmp)

    def run_judge(self, *args):
        verdict = judge(*args, env=self.env)
        with open(self.log) as file:
            self.logged = file.read()
        return verdict

    @unittest.skipUnless(os.path.isfile(OSTREVIN), "no linux-i386 build beside the judge")
    def test_linux_programs_run_under_the_emulator(self):
        verdict = self.run_judge("qemu", "--qemu", self.qemu, "linux")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on linux-i386 on qemu-i386 99.1 (", verdict.out)
        self.assertIn("qemu %s " % OSTREVIN, self.logged)
        self.assertIn("qemu %s " % os.path.join(os.path.dirname(OSTREVIN), "unwind-contract"),
                      self.logged)

    def test_wine_loader_under_the_emulator_server_and_version_natively(self):
        verdict = self.run_judge("--only", "transcript", "qemu", "--qemu", self.qemu,
                                 "wine", "--wine", self.wine, "--prefix",
                                 os.path.join(self.tmp, "pfx"), self.program)
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on win32 under wine-fake-9.9 on qemu-i386 99.1 (", verdict.out)
        self.assertIn("qemu %s %s WINELOADERNOEXEC=1" % (self.loader, self.program), self.logged)
        self.assertIn("qemu %s wineboot -i" % self.loader, self.logged)
        self.assertIn("server %s -p10" % os.path.join(os.path.dirname(self.wine), "wineserver"),
                      self.logged)
        self.assertNotIn("wineserver", "".join(line for line in self.logged.splitlines(True)
                                               if line.startswith("qemu ")))
        self.assertNotIn("--version", self.logged)

    def test_a_wine_without_an_elf_loader_cannot_run(self):
        os.remove(self.loader)
        verdict = self.run_judge("qemu", "--qemu", self.qemu, "wine", "--wine", self.wine,
                                 self.program)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("cannot find Wine's ELF loader", verdict.err)
        self.assertEqual("", self.logged)

    def test_no_such_emulator_or_not_one(self):
        verdict = self.run_judge("qemu", "--qemu", os.path.join(self.tmp, "none"), "linux")
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("cannot find qemu", verdict.err)
        verdict = self.run_judge("qemu", "--qemu", shutil.which("true"), "wine", "--wine",
                                 self.wine, self.program)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("does not run as qemu", verdict.text)

    def test_qemu_needs_linux_or_wine(self):
        for args in (["qemu"], ["qemu", "command", "true"], ["qemu", "--emulator", "x", "linux"]):
            verdict = self.run_judge(*args)
            self.assertEqual(verdict.status, 2, verdict.text)
            self.assertIn("usage: ostrevin-judge", verdict.err)

    def test_a_tree_that_cannot_hold_wine(self):
        verdict = self.run_judge("wine", "--root", os.path.join(self.tmp, "none"), self.program)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("is no tree to run Wine in", verdict.err)
        tree = os.path.join(self.tmp, "tree")
        for folder in ("proc", "dev", "usr/bin"):
            os.makedirs(os.path.join(tree, folder))
        verdict = self.run_judge("wine", "--root", tree, self.program)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("cannot find wine in %s: no wine in its /usr/local/bin, /usr/bin, /bin"
                      % tree, verdict.err)


if __name__ == "__main__":
    unittest.main()
