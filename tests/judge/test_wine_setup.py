"""Wine as its users run it: the Wine build named by --wine or WINE, with the
server of the same build, WINEDEBUG as the user set it, and a private prefix
unless the user's is asked for. A fake Wine build logs what it was given."""
import os
import shutil
import unittest

from support import FAKE, TempDirTest, copy_judge, judge, write_pe

FAKE_WINE = os.path.join(FAKE, "wine-build", "wine")
FAKE_SERVER = os.path.join(FAKE, "wine-build", "wineserver")


class WineSetup(TempDirTest):
    def setUp(self):
        super().setUp()
        self.log = os.path.join(self.tmp, "wine.log")
        self.program = os.path.join(self.tmp, "ostrevin.exe")
        write_pe(self.program)
        # A decoy Wine on PATH, which must not be used when another is named.
        decoys = os.path.join(self.tmp, "path")
        os.mkdir(decoys)
        for name in ("wine", "wineserver"):
            with open(os.path.join(decoys, name), "w") as file:
                file.write("#!/bin/sh\necho decoy %s >>%s\nexit 1\n" % (name, self.log))
            os.chmod(os.path.join(decoys, name), 0o755)
        self.env = {name: value for name, value in os.environ.items()
                    if not name.startswith("WINE")}
        open(self.log, "w").close()
        self.env.update(PATH=decoys + os.pathsep + os.environ["PATH"], FAKE_WINE_LOG=self.log,
                        XDG_CACHE_HOME=os.path.join(self.tmp, "cache"), HOME=self.tmp)

    def run_judge(self, *args, env=None, **fake):
        verdict = judge(*args, env=self.env if env is None else env, **fake)
        with open(self.log) as file:
            self.logged = file.read()
        return verdict

    def wine(self, *options, env=None, **fake):
        return self.run_judge("--only", "transcript", "wine", "--wine", FAKE_WINE, *options,
                              self.program, env=env, **fake)

    def test_the_named_wine_with_the_server_beside_it(self):
        verdict = self.wine("--prefix", os.path.join(self.tmp, "pfx"))
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("ostrevin on win32 under wine-fake-9.9 (%s): conforms." % self.program,
                      verdict.out)
        self.assertNotIn("decoy", self.logged)
        self.assertIn("server %s -p10" % FAKE_SERVER, self.logged)
        self.assertIn("run %s WINEPREFIX=%s WINEDEBUG=-all WINESERVER=%s" % (
            self.program, os.path.join(self.tmp, "pfx"), FAKE_SERVER), self.logged)

    def test_options_after_the_platform(self):
        junit = os.path.join(self.tmp, "out.xml")
        prefix = os.path.join(self.tmp, "pfx")
        for args in (["--junit", junit, "wine", "--wine", FAKE_WINE],
                     ["wine", "--junit", junit, "--wine", FAKE_WINE],
                     ["wine", "--wine", FAKE_WINE, "--only", "transcript", "--junit", junit]):
            if os.path.exists(junit):
                os.remove(junit)
            verdict = self.run_judge(*args, "--prefix", prefix, self.program, "--tap")
            self.assertEqual(verdict.status, 0, verdict.text)
            self.assertIn("ok 6 - run completed", verdict.out)
            self.assertTrue(os.path.isfile(junit), args)

    def test_wine_and_wineserver_from_the_environment(self):
        server = os.path.join(self.tmp, "my-server")
        shutil.copy(FAKE_SERVER, server)
        env = dict(self.env, WINE=FAKE_WINE, WINESERVER=server, WINEDEBUG="+seh")
        verdict = self.run_judge("--only", "transcript", "wine", self.program, env=env)
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("server %s -p10" % server, self.logged)
        self.assertIn("WINEDEBUG=+seh WINESERVER=%s" % server, self.logged)
        self.assertNotIn("decoy", self.logged)

    def test_the_prefix_is_private_unless_asked(self):
        users = os.path.join(self.tmp, "users-prefix")
        env = dict(self.env, WINEPREFIX=users)
        # A judge that is not in a build keeps its prefix in the user's cache.
        installed = os.path.join(self.tmp, "bin")
        os.mkdir(installed)
        private = os.path.join(self.tmp, "cache", "ostrevin-judge", "wineprefix")
        self.wine(env=env, tool=copy_judge(installed))
        self.assertIn("wineboot WINEPREFIX=%s" % private, self.logged)
        self.assertIn("run %s WINEPREFIX=%s " % (self.program, private), self.logged)
        self.assertNotIn(users, self.logged)
        # One in a build, the build's own.
        open(os.path.join(self.tmp, "CMakeCache.txt"), "w").close()
        self.wine(env=env, tool=os.path.join(installed, "ostrevin-judge"))
        self.assertIn("run %s WINEPREFIX=%s " % (self.program, os.path.join(self.tmp,
                                                                            "wineprefix")),
                      self.logged)
        self.wine("--user-prefix", env=env)
        self.assertIn("run %s WINEPREFIX=%s " % (self.program, users), self.logged)

    def test_the_prefix_is_made_once(self):
        prefix = os.path.join(self.tmp, "pfx")
        self.wine("--prefix", prefix)
        self.wine("--prefix", prefix)
        self.assertEqual(self.logged.count("wineboot"), 1, self.logged)

    def test_unusable_prefixes_could_not_run(self):
        plain = os.path.join(self.tmp, "plain")
        open(plain, "w").close()
        verdict = self.wine("--prefix", plain)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("could not run: the Wine prefix %s is not a folder." % plain, verdict.out)
        verdict = self.wine("--prefix", os.path.join(self.tmp, "new"), wineboot="fails")
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("could not make the Wine prefix", verdict.out)
        self.assertIn("wine: cannot make the prefix", verdict.out)
        verdict = self.wine("--prefix", "/proc/no/prefix")
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("could not run: cannot use the Wine prefix /proc/no/prefix: No such file",
                      verdict.out)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to make a folder of another user's")
    def test_a_prefix_of_another_user(self):
        theirs = os.path.join(self.tmp, "theirs")
        os.mkdir(theirs)
        os.chown(theirs, 65534, 65534)
        verdict = self.wine("--prefix", theirs)
        self.assertEqual(verdict.status, 2, verdict.text)
        self.assertIn("is not owned by you", verdict.out)

    def test_a_bare_name_is_the_program_here(self):
        verdict = judge("--only", "transcript", "wine", "--wine", FAKE_WINE, "--prefix",
                        os.path.join(self.tmp, "pfx"), "ostrevin.exe", env=self.env,
                        cwd=self.tmp)
        self.assertEqual(verdict.status, 0, verdict.text)
        self.assertIn("(./ostrevin.exe): conforms.", verdict.out)
        with open(self.log) as file:
            self.assertIn("run %s WINEPREFIX" % self.program, file.read())


if __name__ == "__main__":
    unittest.main()
