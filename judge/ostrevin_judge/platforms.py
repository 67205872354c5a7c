"""The platforms the judge runs the suite on. Each is one function that takes
the platform's own arguments and gives a Target: the programs it runs, the
command line and environment for each, and what must be done once before
(making a Wine prefix). Add a platform by adding a function to PLATFORMS; one
that runs another inside it takes that platform's Target and sets its wrap."""
import fcntl
import os
import shutil
import subprocess

from . import emulated
from . import programs
from . import rooted
from . import runner
from .programs import CannotRun, CONTRACT, OSTREVIN


class UsageError(Exception):
    """Wrong arguments: the usage is shown and the exit status is 2."""


class Target:
    def __init__(self, name, short, kind, paths, env, command):
        self.name = name        # as the verdict names it: "linux-i386"
        self.short = short      # for test-case class names: "linux-i386"
        self.kind = kind        # "linux", "wine" or None: how statuses read
        self.paths = paths      # role -> the file it runs, or None
        self.env = env
        self._command = command  # path -> argv
        self.format = None      # "elf" or "pe": what the programs must be
        self.note = {}          # role -> why it is not judged
        # Every command line the target runs goes through wrap, so that a
        # platform can run another inside it (an emulator, a root tree).
        self.wrap = list

    def command(self, path):
        """The command line that runs the program at path."""
        return self.wrap(self._command(path))

    def prepare(self, timeout):
        """Set-up before the first run; raises CannotRun."""


def _program_argument(args, usage_name):
    if len(args) > 1:
        raise UsageError("%s takes at most one program, not %s" % (usage_name, " ".join(args)))
    return args[0] if args else None


def linux(args, environ, here):
    """linux [PROGRAM]: our linux-i386 build, its layer picked by the loader
    (LD_LIBRARY_PATH as the user set it)."""
    given = _program_argument(args, "linux")
    paths = programs.beside(programs.default(here, OSTREVIN) if given is None else given)
    target = Target("linux-i386", "linux-i386", "linux", paths, dict(environ),
                    lambda path: [os.path.abspath(path)])
    target.format = "elf"
    return target


# Wine's defaults for the judge: no Mono or Gecko installers, no menu
# entries, no debugger that prints a crash report into the transcript.
WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"


def _default_prefix(here, environ):
    build = os.path.dirname(here)
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        return os.path.join(build, "wineprefix")  # the build's own, as ctest's
    cache = environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "ostrevin-judge", "wineprefix")


def _find_command(name, environ, what):
    if not name:
        raise CannotRun("cannot find %s: an empty name" % what)
    if os.sep in name:
        if not os.path.isfile(name) or not os.access(name, os.X_OK):
            raise CannotRun("cannot find %s: %s is not an executable file" % (what, name))
        return os.path.abspath(name)
    found = shutil.which(name, path=environ.get("PATH", os.defpath))
    if not found:
        raise CannotRun("cannot find %s: no %s on PATH" % (what, name))
    return found


class WineTarget(Target):
    def __init__(self, paths, env, wine, server, prefix):
        super().__init__("win32 under Wine", "win32-wine", "wine", paths, env,
                         lambda path: [wine, os.path.abspath(path)])
        self.format = "pe"
        self.wine = wine
        self.server = server
        self.prefix = prefix

    def prepare(self, timeout):
        _check_prefix(self.prefix)
        try:
            self._make_prefix(timeout)
        except OSError as error:
            raise CannotRun("cannot use the Wine prefix %s: %s" % (
                self.prefix, error.strerror)) from None
        self._start(timeout)

    def _make_prefix(self, timeout):
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        # Made once, under the lock that ctest's Wine runner takes too.
        with open(self.prefix + ".lock", "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
                made = runner.run(self.wrap([self.wine, "wineboot", "-i"]), self.env, timeout)
                if made.error or made.timed_out or made.exit_status != 0:
                    raise CannotRun("could not make the Wine prefix %s: %s" % (
                        self.prefix, _failure(made, timeout)))
                if self.server:
                    runner.run(self.wrap([self.server, "-w"]), self.env, timeout)

    def _start(self, timeout):
        if self.server:
            # A server of our own, started detached from the runs' pipes.
            try:
                subprocess.run(self.wrap([self.server, "-p10"]), env=self.env,
                               stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True, check=False, timeout=timeout)
            except (OSError, subprocess.TimeoutExpired) as error:
                raise CannotRun("cannot start %s: %s" % (self.server, getattr(
                    error, "strerror", None) or "it did not return")) from None
        version = runner.run(self.wrap([self.wine, "--version"]), self.env, min(timeout, 30))
        text = version.stdout.decode("utf-8", errors="replace").strip()
        if version.exit_status == 0 and text:
            self.name = "win32 under %s" % text.splitlines()[0]
        else:
            self.name = "win32 under %s" % self.wine


def _failure(run, timeout):
    if run.error:
        return run.error.strerror
    if run.timed_out:
        return "it had not ended within %s s" % timeout
    line = run.stderr.decode("utf-8", errors="replace").strip().splitlines()
    how = "exit status %s" % run.exit_status if run.signal is None else "signal %d" % run.signal
    return how + (" (%s)" % line[0] if line else "")


def _check_prefix(prefix):
    if not os.path.lexists(prefix):
        return
    if not os.path.isdir(prefix):
        raise CannotRun("the Wine prefix %s is not a folder" % prefix)
    if os.stat(prefix).st_uid != os.geteuid():
        raise CannotRun("the Wine prefix %s is not owned by you, and Wine refuses it" % prefix)


def wine(args, environ, here):
    """wine [--wine WINE] [--prefix DIR | --user-prefix] [--root TREE]
    [PROGRAM.exe]: the win32 build under the Wine that WINE (option, or
    environment) names, with the server of the same build (WINESERVER, or
    the wineserver beside WINE). The prefix is a private one unless --prefix
    names one or --user-prefix asks for the user's WINEPREFIX (default
    ~/.wine). With --root, Wine is the one installed in TREE (see rooted)."""
    wine_name = environ.get("WINE") or "wine"
    prefix = None
    user_prefix = False
    root = None
    while args and args[0].startswith("-"):
        option = args.pop(0)
        if option in ("--wine", "--prefix", "--root") and not args:
            raise UsageError("%s takes a value" % option)
        if option == "--wine":
            wine_name = args.pop(0)
        elif option == "--prefix":
            prefix = args.pop(0)
        elif option == "--root":
            root = args.pop(0)
        elif option == "--user-prefix":
            user_prefix = True
        else:
            raise UsageError("unknown wine option %s" % option)
    if prefix and user_prefix:
        raise UsageError("--prefix and --user-prefix exclude each other")
    given = _program_argument(args, "wine")
    paths = programs.beside(programs.default(here, OSTREVIN + ".exe") if given is None else given,
                            ".exe")

    if root is not None:
        root = rooted.check_tree(root)
        wine_path = rooted.find_in_tree(root, wine_name, "wine")
        server = environ.get("WINESERVER")
        server = rooted.find_in_tree(root, server, "wineserver") if server else (
            rooted.beside_in_tree(root, wine_path, "wineserver"))
    else:
        wine_path = _find_command(wine_name, environ, "wine")
        server = environ.get("WINESERVER")
        if server:
            server = _find_command(server, environ, "wineserver")
        else:
            beside = os.path.join(os.path.dirname(wine_path), "wineserver")
            server = beside if os.access(beside, os.X_OK) else None
    if user_prefix:
        prefix = environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")
    if not prefix and root is not None:
        # Never the prefix of another Wine: one of its own per tree.
        prefix = "%s-%s" % (_default_prefix(here, environ), os.path.basename(root))
    prefix = os.path.abspath(prefix or _default_prefix(here, environ))

    env = dict(environ)
    env["WINEPREFIX"] = prefix
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", WINE_DLL_OVERRIDES)
    env["DISPLAY"] = ""
    if server:
        env["WINESERVER"] = server
    target = WineTarget(paths, env, wine_path, server, prefix)
    if root is not None:
        rooted.run_in_tree(target, root, [paths[role] for role in paths if paths[role]] + [prefix])
    return target


_NAMES = {OSTREVIN: OSTREVIN, OSTREVIN + ".exe": OSTREVIN,
          CONTRACT: CONTRACT, CONTRACT + ".exe": CONTRACT}


def command(args, environ, here):
    """command COMMAND [ARG...]: any command line that runs ostrevin. The
    contract program runs with the same command line, the argument that
    names ostrevin (or ostrevin.exe) replaced by the unwind-contract beside it."""
    if not args:
        raise UsageError("command takes a command line")
    executable = _find_command(args[0], environ, args[0] or "the command")
    paths = dict.fromkeys(programs.ROLES)
    at = None
    for index, arg in enumerate(args):
        # COMMAND itself is the file found on PATH, and shown as that path.
        where = executable if index == 0 and os.sep not in arg else arg
        if _NAMES.get(os.path.basename(arg)) and os.path.isfile(where):
            at = index
            paths = programs.beside(where, ".exe" if arg.endswith(".exe") else "")
            break
    if at is None:
        paths[OSTREVIN] = args[0]

    def command_line(path):
        argv = [executable] + args[1:]
        if at == 0:
            argv[0] = os.path.abspath(path)
        elif at is not None:
            argv[at] = path
        return argv

    runtime = " ".join(arg for index, arg in enumerate(args) if index != at)
    target = Target(runtime or "this host", "command", None, paths, dict(environ), command_line)
    if at is None:
        target.note[CONTRACT] = "the command names no ostrevin program: contract not judged"
    return target


def qemu(args, environ, here):
    """qemu [--qemu QEMU] linux|wine ...: the linux-i386 build or the win32
    build under Wine on an emulated CPU (see emulated)."""
    return emulated.qemu(args, environ, here, PLATFORMS)


PLATFORMS = {"linux": linux, "wine": wine, "qemu": qemu, "command": command}
