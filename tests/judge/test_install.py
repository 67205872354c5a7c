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


class Tools(TempDirTest):
    def run_tool(self, *argv, cwd=None):
        done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)


@unittest.skipUnless(os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")), "a build")
class Install(Tools):
    def test_the_installed_judge_gives_the_builds_verdict(self):
        self.run_tool(CMAKE, "--install", BUILD, "--prefix", self.tmp)
        installed = os.path.join(self.tmp, "bin")
        for name in ("lib/ostrevin_judge/statuses.def", "lib/ostrevin_judge/promises.def",
                     "lib/ostrevin_judge/cli.py",
                     "bin/qarvel.dll" if WIN32 else "lib/libseh_platform.so",
                     "bin/ostrevin.exe" if WIN32 else "lib/libqarvel.so"):
            self.assertTrue(os.path.isfile(os.path.join(self.tmp, name)), name)
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
            for name in ("bin/ostrevin", "bin/unwind-contract", "bin/ostrevin-judge",
                         "lib/libqarvel.so", "lib/libseh_platform.so",
                         "lib/ostrevin_judge/statuses.def", "lib/ostrevin_judge/promises.def",
                         "include/seh_platform.h"):
                self.assertIn("%s/%s" % (top, name), names)
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


@unittest.skipUnless(os.path.isfile(os.path.join(BUILD, "CMakeCache.txt")) and not WIN32,
                     "a linux-i386 build")
class InstalledLayer(Tools):
    """A program written against the platform's API builds against the
    installed header and layer alone, in C and in C++, and runs."""

    PROGRAM = r"""
#include <seh_platform.h>
#include <stdio.h>

static LONG WINAPI take(EXCEPTION_POINTERS *x)
{
    printf("vectored 0x%08lx %lu\n", x->ExceptionRecord->ExceptionCode,
           x->ExceptionRecord->NumberParameters);
    return EXCEPTION_CONTINUE_EXECUTION;
}

static EXCEPTION_DISPOSITION NTAPI frame(EXCEPTION_RECORD *r, PVOID f, CONTEXT *c, PVOID d)
{
    (void)f, (void)c, (void)d;
    printf("frame 0x%08lx\n", r->ExceptionCode);
    return ExceptionContinueExecution;
}

int main(void)
{
    const ULONG_PTR arguments[2] = {1, 2};
    PVOID handle = AddVectoredExceptionHandler(1, take);
    RaiseException(0xE0000001, 0, 2, arguments);
    RemoveVectoredExceptionHandler(handle);
    EXCEPTION_REGISTRATION_RECORD record;
    NT_TIB *tib;
    __asm__ volatile("movl %%fs:0x18, %0" : "=r"(tib));
    record.Next = tib->ExceptionList;
    record.Handler = frame;
    tib->ExceptionList = &record;
    if (STATUS_BAD_STACK != 0xC0000028u) /* from the table the header carries */
        return 1;
    RaiseException(0xE0000002, 0, 0, 0);
    tib->ExceptionList = record.Next;
    SetUnhandledExceptionFilter(0);
    RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, 0);
    return 0;
}
"""

    def test_a_platform_program_builds_against_the_installed_layer(self):
        self.run_tool(CMAKE, "--install", BUILD, "--prefix", self.tmp)
        with open(os.path.join(self.tmp, "include", "seh_platform.h")) as header:
            self.assertNotIn('#include "statuses.def"', header.read())
        source = os.path.join(self.tmp, "program.c")
        with open(source, "w") as file:
            file.write(self.PROGRAM)
        for compiler, language in (("gcc", "c"), ("g++", "c++")):
            program = os.path.join(self.tmp, "bin", "program-" + language)
            self.run_tool(compiler, "-m32", "-x", language, "-Wall", "-Werror", source,
                          "-I" + os.path.join(self.tmp, "include"),
                          "-L" + os.path.join(self.tmp, "lib"), "-Wl,--no-as-needed",
                          "-lseh_platform", "-Wl,--enable-new-dtags,-rpath,$ORIGIN/../lib",
                          "-o", program)
            done = subprocess.run([program], capture_output=True, text=True, timeout=60)
            self.assertEqual(done.returncode, 0x94, done.stderr)
            self.assertEqual(done.stdout, "vectored 0xe0000001 2\nframe 0xe0000002\n")
            self.assertRegex(done.stderr, r"^seh_platform: unhandled exception 0xc0000094 at ")


if __name__ == "__main__":
    unittest.main()
