"""What the judge is given: its options, and programs that must be the kind
the platform runs, at exactly the path that was checked."""
import os
import shutil
import stat
import unittest
import xml.etree.ElementTree as ET

from support import FAKE_OSTREVIN, JUDGE, TempDirTest, fake_run, judge, write_pe

# The real programs of the build the judge was copied into, when it has them.
BIN = os.path.dirname(JUDGE)
OSTREVIN = os.path.join(BIN, "ostrevin")
HAVE_ELF = os.path.isfile(OSTREVIN)
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


class Options(unittest.TestCase):
    def test_time_out_must_be_a_positive_number(self):
        for value in ("0", "00", "-1", "0.0", "x", "", "nan", "inf", "1e999"):
            verdict = judge("--timeout", value, "command", FAKE_OSTREVIN)
            self.assertEqual(verdict.status, 2, value)
            self.assertIn("--timeout takes a positive number of seconds, not '%s'" % value,
                          verdict.err)
        self.assertEqual(fake_run("conforming", "--timeout", "2.5").status, 0)

    def test_wrong_arguments(self):
        for args, text in ((["vms"], "unknown platform vms (the nearest: qemu)"),
                           (["lniux"], "unknown platform lniux (the nearest: linux)"),
                           ([], "no platform given"),
                           (["--tapp", "linux"], "unknown option --tapp (the nearest: --tap)"),
                           (["linux", "--junt", "x"],
                            "unknown linux option --junt (the nearest: --junit)"),
                           (["--only", "contrat", "linux"], "--only takes transcript or"
                            " contract, not 'contrat' (the nearest: contract)"),
                           (["qemu", "wien"], "qemu takes linux or wine, then their arguments,"
                            " not wien (the nearest: wine)"),
                           (["--junit"], "--junit takes a value"),
                           (["linux", "a", "b"], "linux takes at most one program, not a b"),
                           (["wine", "--prefx", "/p"],
                            "unknown wine option --prefx (the nearest: --prefix)"),
                           (["wine", "--prefix", "/p", "--user-prefix"],
                            "--prefix and --user-prefix exclude each other"),
                           (["command"], "command takes a command line")):
            verdict = judge(*args)
            self.assertEqual(verdict.status, 2, args)
            lines = verdict.err.splitlines()
            self.assertEqual(lines[0], "ostrevin-judge: " + text, args)
            self.assertTrue(lines[1].startswith("usage: ostrevin-judge"), args)

    def test_options_before_or_after_the_platform(self):
        options = ["--only", "transcript", "--tap", "--timeout", "5"]
        before = judge(*options, "command", FAKE_OSTREVIN)
        self.assertEqual(before.status, 0, before.text)
        self.assertIn("1..6\n", before.out)
        for args in (["command"] + options + [FAKE_OSTREVIN],
                     ["--only", "transcript", "command", "--tap", "--timeout", "5",
                      FAKE_OSTREVIN]):
            self.assertEqual(judge(*args).out, before.out, args)
        # after COMMAND, every argument is the command's
        verdict = judge("--only", "transcript", "command", FAKE_OSTREVIN, "--tap")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on --tap (%s): conforms." % FAKE_OSTREVIN, verdict.out)
        for args in (["--help"], ["linux", "--help"], ["qemu", "wine", "-h"], ["saved", "-h"]):
            verdict = judge(*args)
            self.assertEqual((verdict.status, verdict.err), (0, ""), args)
            self.assertIn("usage: ostrevin-judge", verdict.out)

    def test_the_readme_shows_the_help(self):
        verdict = judge("--help", env=dict(os.environ, COLUMNS="80"))
        block = "".join(("    " + line if line.strip() else "") + "\n"
                        for line in verdict.out.splitlines())
        with open(README, encoding="utf-8") as file:
            self.assertIn(block, file.read(), "the README's usage is not --help's:\n" + block)

    def test_missing_programs(self):
        verdict = judge("linux", "/nonexistent")
        self.assertEqual((verdict.status, verdict.err.strip()),
                         (2, "ostrevin-judge: no linux-i386 program at /nonexistent"))
        verdict = judge("command", "no-such-runtime")
        self.assertEqual(verdict.status, 2)
        self.assertIn("cannot find no-such-runtime: no no-such-runtime on PATH", verdict.err)


class ProgramKinds(TempDirTest):
    def test_linux_needs_a_32_bit_i386_elf(self):
        script = os.path.join(self.tmp, "ostrevin")
        shutil.copy(FAKE_OSTREVIN, script)
        pe = os.path.join(self.tmp, "prog.exe")
        write_pe(pe)
        os.chmod(pe, 0o755)
        for path, text in ((script, "is a script, not a linux-i386 program"),
                           (pe, "is a Windows PE program, not a linux-i386 ELF one"),
                           ("/bin/sh", "is a 64-bit x86-64 program, not a 32-bit i386 one")):
            verdict = judge("linux", path)
            self.assertEqual(verdict.status, 2, verdict.text)
            self.assertIn(text, verdict.err)

    @unittest.skipUnless(HAVE_ELF, "the linux-i386 build's ostrevin")
    def test_wine_needs_a_pe(self):
        verdict = judge("wine", OSTREVIN)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("is an ELF program, not a Windows PE one: Wine would run it natively",
                      verdict.err)
        pe64 = os.path.join(self.tmp, "ostrevin.exe")
        write_pe(pe64, machine=0x8664, magic=0x20B)
        verdict = judge("wine", pe64)
        self.assertIn("is a 64-bit x86-64 program, not a 32-bit i386 one", verdict.err)

    @unittest.skipUnless(HAVE_ELF, "the linux-i386 build's ostrevin")
    def test_a_bare_name_is_the_file_here_never_a_path_lookup(self):
        # A program called ostrevin on PATH that would deviate.
        path_dir = os.path.join(self.tmp, "path")
        os.mkdir(path_dir)
        decoy = os.path.join(path_dir, "ostrevin")
        with open(decoy, "w") as file:
            file.write("#!/bin/sh\necho decoy\n")
        os.chmod(decoy, stat.S_IRWXU)
        env = dict(os.environ, PATH=path_dir + os.pathsep + os.environ.get("PATH", ""))
        verdict = judge("--only", "transcript", "linux", "ostrevin", env=env, cwd=BIN)
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on linux-i386 (./ostrevin): conforms.", verdict.out)
        # and a bare name that is not here is not looked for elsewhere
        verdict = judge("linux", "ostrevin", env=env, cwd=self.tmp)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("no linux-i386 program at ./ostrevin", verdict.err)

    def test_a_command_from_path_is_shown_as_the_file_that_runs(self):
        found = os.path.join(self.tmp, "path")
        os.mkdir(found)
        shutil.copy(FAKE_OSTREVIN, found)
        with open(os.path.join(self.tmp, "ostrevin"), "w") as file:  # a decoy here
            file.write("#!/bin/sh\necho decoy\n")
        os.chmod(os.path.join(self.tmp, "ostrevin"), stat.S_IRWXU)
        env = dict(os.environ, PATH=found + os.pathsep + os.environ.get("PATH", ""))
        verdict = judge("command", "ostrevin", env=env, cwd=self.tmp, run="conforming")
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on this host (%s): conforms." % os.path.join(found, "ostrevin"),
                      verdict.out)


class JUnit(TempDirTest):
    def parse(self, *args, **fake):
        path = os.path.join(self.tmp, "verdict.xml")
        verdict = judge("--junit", path, *args, **fake)
        return verdict, ET.parse(path).getroot()

    def test_one_case_per_row_and_per_check(self):
        verdict, root = self.parse("command", FAKE_OSTREVIN, run="segv", contract="not_ok")
        self.assertEqual(verdict.status, 1)
        suites = root.findall("testsuite")
        self.assertEqual([len(suite.findall("testcase")) for suite in suites], [6, 4, 3])
        self.assertEqual(root.get("tests"), "13")
        self.assertEqual(root.get("failures"), "6")  # tests 2 to 5, completion; W7
        failed = [case.get("name") for case in root.iter("testcase")
                  if case.find("failure") is not None]
        self.assertEqual(failed[:2], ["test 2 (should complain of a mismatch)", "test 3"])
        self.assertIn("W7 records leave the chain one by one", failed)
        self.assertIn("faulted (SIGSEGV) during test 2",
                      root.find(".//testcase[@name='test 2 (should complain of a mismatch)']"
                                "/failure").get("message"))

    def test_errors_and_skips(self):
        _, root = self.parse("command", FAKE_OSTREVIN, run="nothing", contract="all_ok")
        self.assertEqual(root.get("errors"), "1")
        self.assertIsNotNone(root.find(".//testcase[@name='ostrevin ran']/error"))
        shutil.copy(FAKE_OSTREVIN, self.tmp)
        _, root = self.parse("command", os.path.join(self.tmp, "ostrevin"), run="conforming")
        self.assertEqual(root.get("skipped"), "2")  # both contract programs

    def test_control_bytes_do_not_break_the_xml(self):
        verdict, root = self.parse("--only", "transcript", "command", FAKE_OSTREVIN,
                                   run="escapes")
        message = root.find(".//testcase[@name='test 4']/failure").get("message")
        self.assertIn(r"\e]0;owned\x07", message)


if __name__ == "__main__":
    unittest.main()
