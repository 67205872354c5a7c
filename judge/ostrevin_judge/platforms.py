"""The platforms the judge runs the suite on. A Platform is the command
prefix that runs a program there (an emulator, Wine, Wine's ELF loader on an
emulator), what every command runs inside (a root tree's mount namespace),
the environment, and what it makes ready before the first run (a Wine prefix
and server). The functions after the classes build each platform; wine_run
is ctest's Wine runner."""
import fcntl
import os
import re
import shlex
import subprocess

from . import programs
from . import runner
from .programs import CannotRun, OSTREVIN, ROLES, find_command

# Wine's defaults, for the judge and ctest's runner alike, each kept when the
# user set it: tracing off, and no Mono or Gecko installers, no menu entries,
# no debugger that would print a crash report into the transcript.
WINE_DEFAULTS = {"WINEDEBUG": "-all",
                 "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"}

# A root tree's commands: mounts what they need, then runs them chrooted.
#   sh -c SCRIPT judge-root TREE FOLDER... -- COMMAND...
_IN_TREE = ('tree=$1; shift; mount --rbind /proc "$tree/proc" && mount --rbind /dev'
            ' "$tree/dev" || exit 125; while [ "$1" != -- ]; do mkdir -p "$tree$1" &&'
            ' mount --bind "$1" "$tree$1" || exit 125; shift; done; shift;'
            ' exec chroot "$tree" "$@"')


_PLATFORM_VARIABLES = ("LD_LIBRARY_PATH", "LD_PRELOAD", "WINE")


class Wine:
    """A Wine build, its wine and the server of the same build, with a prefix."""

    def __init__(self, wine, server, prefix):
        self.wine = wine
        self.server = server
        self.prefix = prefix

    def environment(self, environ):
        env = dict(environ)
        for name, value in WINE_DEFAULTS.items():
            env.setdefault(name, value)
        env.update(WINEPREFIX=self.prefix, DISPLAY="")
        if self.server:
            env["WINESERVER"] = self.server
        return env

    def prepare(self, env, timeout, outer=(), launcher=None):
        """Makes the prefix once, under a lock that every user of it takes,
        and starts a server of its own, detached from the runs' pipes. Every
        command runs inside outer; Wine's own programs through launcher."""
        outer = list(outer)
        launcher = launcher or [self.wine]
        if os.path.lexists(self.prefix) and not os.path.isdir(self.prefix):
            raise CannotRun("the Wine prefix %s is not a folder" % self.prefix)
        if os.path.isdir(self.prefix) and os.stat(self.prefix).st_uid != os.geteuid():
            raise CannotRun("the Wine prefix %s is not owned by you, and Wine refuses it"
                            % self.prefix)
        try:
            os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
            with open(self.prefix + ".lock", "a") as lock:
                fcntl.flock(lock, fcntl.LOCK_EX)
                if not os.path.isfile(os.path.join(self.prefix, "system.reg")):
                    made = runner.run(outer + launcher + ["wineboot", "-i"], env, timeout)
                    if made.timed_out or made.exit_status != 0:
                        raise CannotRun("could not make the Wine prefix %s: %s" % (
                            self.prefix, _failure(made, timeout)))
                    if self.server:
                        runner.run(outer + [self.server, "-w"], env, timeout)
        except OSError as error:
            raise CannotRun("cannot use the Wine prefix %s: %s" % (
                self.prefix, error.strerror)) from None
        if self.server:
            try:
                subprocess.run(outer + [self.server, "-p10"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True, check=False, timeout=timeout)
            except (OSError, subprocess.TimeoutExpired) as error:
                raise CannotRun("cannot start %s: %s" % (self.server, getattr(
                    error, "strerror", None) or "it did not return")) from None


def _failure(run, timeout):
    if run.timed_out:
        return "it had not ended within %s s" % timeout
    line = run.stderr.decode("utf-8", errors="replace").strip().splitlines()
    how = "exit status %s" % run.exit_status if run.signal is None else "signal %d" % run.signal
    return how + (" (%s)" % line[0] if line else "")


class Platform:
    """Where the programs run: prepare once, then command (or run) each."""

    def __init__(self, name, short, kind, paths, env, argv, program_format=None, wine=None,
                 emulator=None, root=None, environ=None):
        self.name = name        # as the verdict names it; prepare completes it
        self.short = short      # for test-case class names: "linux-i386-qemu"
        self.kind = kind        # "linux", "wine" or None: how statuses read
        self.paths = paths      # role -> the file it runs, or None
        self.env = env
        # The command line, with None where the program goes (if anywhere).
        self.argv = argv
        self.format = program_format  # "elf", "pe" or "saved": what the files must be
        self.wine = wine
        self.emulator = emulator
        self.root = root
        self.outer = _in_tree(root, list(paths.values()) + [wine.prefix]) if root else []
        self.note = {}          # role -> why it is not judged
        # The variables a command line shows: what the judge set for the runs,
        # and those that choose the platform (the layer the loader picks,
        # Wine's set-up), which a user may have set for the judge alone.
        self.settings = {name: value for name, value in env.items()
                         if (environ is not None and environ.get(name) != value)
                         or name.startswith(_PLATFORM_VARIABLES)}

    def command(self, path):
        """The command line that runs the program at path."""
        return self.outer + [os.path.abspath(path) if arg is None else arg for arg in self.argv]

    def run(self, path, timeout):
        return runner.run(self.command(path), self.env, timeout)

    def shown(self, path, args):
        """The command line, as the user would type it where the judge ran,
        that runs the program at path with args as the judge ran it: the
        variables it set, then its command."""
        if self.root:  # the folders are mounted at their own paths in the tree
            path = os.path.abspath(path)
        words = self.outer + [path if arg is None else arg for arg in self.argv] + list(args)
        return " ".join(["%s=%s" % (name, shlex.quote(value))
                         for name, value in sorted(self.settings.items())]
                        + [shlex.quote(word) for word in words])

    def prepare(self, timeout):
        """Set-up before the first run; raises CannotRun."""
        emulated = _emulator_version(self.emulator, self.env, timeout) if self.emulator else None
        if self.wine:
            self.wine.prepare(self.env, timeout, self.outer, self.argv[:-1])
            # An emulated loader that is not to re-execute itself cannot
            # tell its version: wine --version runs natively.
            env = {name: value for name, value in self.env.items()
                   if name != "WINELOADERNOEXEC"}
            version = runner.run(self.outer + [self.wine.wine, "--version"], env,
                                 min(timeout, 30))
            text = version.stdout.decode("utf-8", errors="replace").strip()
            ok = version.exit_status == 0 and text
            self.name = "win32 under %s" % (text.splitlines()[0] if ok else self.wine.wine)
        if emulated:
            self.name += " on " + emulated
        if self.root:
            self.name += " in " + self.root


class Saved(Platform):
    """Runs that happened elsewhere: for each program NAME, what it wrote
    in NAME.out, how it ended in NAME.status and, when kept, its stderr in
    NAME.err. NAME.status holds its exit status (decimal, or 0x hex, as
    Windows' %ERRORLEVEL% or the judge's --save writes it), or as the judge
    saves a run that did not exit: "signal N", "hung SECONDS" (ended by its
    time-out) or "floods" (ended for flooding its output)."""

    def __init__(self, folder):
        if not os.path.isdir(folder):
            raise CannotRun("no saved runs in %s: it is not a folder" % folder)
        paths = {role: os.path.join(folder, role + ".out") for role in programs.ROLES}
        super().__init__("saved runs", "saved", None, paths, {}, [], "saved")

    def shown(self, path, args):
        """The program's own command line, for the machine that saved it."""
        return " ".join([os.path.basename(path)[:-len(".out")]]
                        + [shlex.quote(arg) for arg in args])

    def run(self, path, timeout):
        stem = path[:-len(".out")]
        result = runner.Run()
        result.stdout = _read(path, runner.STDOUT_CAP + 1)
        result.flooded = len(result.stdout) > runner.STDOUT_CAP
        result.stdout = result.stdout[:runner.STDOUT_CAP]
        if os.path.isfile(stem + ".err"):
            result.stderr = _read(stem + ".err", runner.STDERR_CAP)
        raw = _read(stem + ".status", 64)  # as cmd writes it, or PowerShell (UTF-16)
        utf16 = raw.startswith((b"\xff\xfe", b"\xfe\xff"))
        text = raw.decode("utf-16" if utf16 else "ascii", errors="replace").strip()
        ended = _ENDED.fullmatch(text)
        if ended:
            if ended.group(1):
                result.signal = int(ended.group(1))
            elif ended.group(2):
                result.timed_out = True
                result.limit = float(ended.group(2))
            else:
                result.flooded = True
            return result
        try:
            status = int(text, 0)  # decimal, or 0x hex
        except ValueError:
            status = None
        if status is None or not -(1 << 31) <= status < (1 << 32):
            raise CannotRun("%s.status holds no exit status: '%s'" % (stem, text[:40]))
        result.exit_status = status & 0xFFFFFFFF  # %ERRORLEVEL% shows codes negative
        return result


_ENDED = re.compile(r"signal ([1-9]\d?)|hung (\d+(?:\.\d+)?)|floods")


def save(run, folder, name):
    """Keeps the run of the program NAME in folder as Saved reads it."""
    if run.flooded:
        status = "floods"
    elif run.timed_out:
        status = "hung %g" % run.limit
    elif run.signal is not None:
        status = "signal %d" % run.signal
    else:
        status = "%d" % run.exit_status
    os.makedirs(folder, exist_ok=True)
    for suffix, data in (("out", run.stdout), ("err", run.stderr),
                         ("status", (status + "\n").encode())):
        with open(os.path.join(folder, "%s.%s" % (name, suffix)), "wb") as file:
            file.write(data)


def _read(path, size):
    try:
        with open(path, "rb") as file:
            return file.read(size)
    except OSError as error:
        raise CannotRun("cannot read %s: %s" % (path, error.strerror)) from None


def _emulator_version(emulator, env, timeout):
    run = runner.run([emulator, "--version"], env, min(timeout, 30))
    words = run.stdout.decode("utf-8", errors="replace").split()
    if run.exit_status != 0 or len(words) < 3 or words[1] != "version":
        raise CannotRun("%s does not run as qemu: %s --version gave no version" % (
            emulator, emulator))
    return "%s %s" % (os.path.basename(emulator), words[2])


def _in_tree(root, paths):
    """The command prefix that runs a command chrooted into root in a mount
    namespace of its own (unless we are root, a user namespace maps us to
    root inside, as chroot and mounts need), with the host's /dev and /proc
    and the folders of paths at their own paths."""
    folders = list(dict.fromkeys(os.path.dirname(os.path.abspath(p)) for p in paths if p))
    namespace = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        namespace[1:1] = ["--user", "--map-root-user"]
    return namespace + ["sh", "-c", _IN_TREE, "judge-root", root] + folders + ["--"]


def _wine_loader(wine):
    """Wine's ELF loader for WINE: WINE itself when it is one (as in a build
    tree), else the loader that a wrapper script such as Debian's starts,
    ../lib/wine/wine beside it."""
    loader = os.path.normpath(os.path.join(os.path.dirname(wine), "..", "lib", "wine", "wine"))
    for path in (wine, loader):
        try:
            with open(path, "rb") as file:
                if file.read(4) == b"\x7fELF":
                    return path
        except OSError:
            pass
    raise CannotRun("cannot find Wine's ELF loader: %s is a script and there is no %s;"
                    " name the loader with --wine" % (wine, loader))


def linux(program, environ, here, emulator=None):
    """Our linux-i386 build, its layer picked by the loader (LD_LIBRARY_PATH
    as the user set it); on emulator, when given, a qemu user mode."""
    paths = programs.beside(programs.default(here, OSTREVIN) if program is None else program)
    return Platform("linux-i386", "linux-i386-qemu" if emulator else "linux-i386", "linux",
                    paths, dict(environ), [emulator, None] if emulator else [None], "elf",
                    emulator=emulator)


def wine(program, environ, here, wine_name, prefix=None, user_prefix=False, root=None,
         emulator=None):
    """The win32 build under the Wine that wine_name names, with the server
    of the same build (WINESERVER, or the wineserver beside it), in a
    private prefix unless prefix or user_prefix says otherwise; the Wine of
    a root tree; or Wine's ELF loader on emulator (told by WINELOADERNOEXEC
    never to re-execute itself natively), with the server natively."""
    paths = programs.beside(programs.default(here, OSTREVIN + ".exe") if program is None
                            else program, ".exe")
    if root is not None:
        root = os.path.abspath(root)
        for folder in ("", "/proc", "/dev", "/usr/bin"):
            if not os.path.isdir(root + folder):
                raise CannotRun("%s is no tree to run Wine in: it has no %s"
                                % (root, folder or "/"))
    wine_path = find_command(wine_name, environ, "wine", root)
    server = _server(wine_path, environ, root)
    if user_prefix:
        prefix = environ.get("WINEPREFIX") or os.path.join(os.path.expanduser("~"), ".wine")
    if not prefix and root is not None:
        # Never the prefix of another Wine: one of its own per tree.
        prefix = "%s-%s" % (_default_prefix(here, environ), os.path.basename(root))
    setup = Wine(wine_path, server, os.path.abspath(prefix or _default_prefix(here, environ)))
    env = setup.environment(environ)
    argv = [wine_path, None]
    short = "win32-wine-root" if root else "win32-wine"
    if emulator:
        argv = [emulator, _wine_loader(wine_path), None]
        env["WINELOADERNOEXEC"] = "1"
        short = "win32-wine-qemu"
    return Platform("win32 under Wine", short, "wine", paths, env, argv, "pe", wine=setup,
                    emulator=emulator, root=root, environ=environ)


def _server(wine_path, environ, root=None):
    """WINESERVER, else the wineserver beside wine_path, else None."""
    if environ.get("WINESERVER"):
        return find_command(environ["WINESERVER"], environ, "wineserver", root)
    beside = os.path.join(os.path.dirname(wine_path), "wineserver")
    found = os.path.lexists(root + beside) if root else os.access(beside, os.X_OK)
    return beside if found else None


def _default_prefix(here, environ):
    build = os.path.dirname(here)
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        return os.path.join(build, "wineprefix")  # the build's own, as ctest's
    cache = environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "ostrevin-judge", "wineprefix")


_NAMES = {role + suffix: role for role in ROLES for suffix in ("", ".exe")}


def command(args, environ):
    """Any command line that runs ostrevin. Each contract program runs with
    the same command line, the argument that names ostrevin (or
    ostrevin.exe) replaced by the contract program beside it."""
    executable = find_command(args[0], environ, args[0] or "the command")
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
    runtime = " ".join(arg for index, arg in enumerate(args) if index != at)
    argv = [executable] + args[1:]
    if at is not None:
        argv[at] = None
    platform = Platform(runtime or "this host", "command", None, paths, dict(environ), argv)
    if at is None:
        for role in ROLES[1:]:
            platform.note[role] = "the command names no ostrevin program: %s not judged" % role
    return platform


def wine_run(prefix, argv, environ):
    """ctest's Wine runner: execs argv under the Wine that WINE names
    (default: wine on PATH) and its server, with Wine's defaults, in prefix,
    made ready as the judge makes its own; returns 127 when it cannot."""
    try:
        wine_path = find_command(environ.get("WINE") or "wine", environ, "wine")
        setup = Wine(wine_path, _server(wine_path, environ), prefix)
        env = setup.environment(environ)
        setup.prepare(env, 600)
    except CannotRun as error:
        os.write(2, ("wine-run: %s\n" % error).encode())
        return 127
    os.execve(wine_path, [wine_path] + argv, env)
