"""The suite on an emulated CPU: qemu user mode runs the linux-i386 program,
or Wine's ELF loader with the win32 program. Wine is told (WINELOADERNOEXEC)
not to re-execute its loader, which would leave the emulator and run
natively; the wineserver is a host program and runs natively, as it would
beside any emulated client."""
import os

from . import platforms
from . import runner
from .programs import CannotRun


def _is_elf(path):
    try:
        with open(path, "rb") as file:
            return file.read(4) == b"\x7fELF"
    except OSError:
        return False


def wine_loader(wine):
    """Wine's ELF loader for WINE: WINE itself when it is one (as in a build
    tree), else the loader that a wrapper script such as Debian's starts,
    ../lib/wine/wine beside it."""
    if _is_elf(wine):
        return wine
    loader = os.path.normpath(os.path.join(os.path.dirname(wine), "..", "lib", "wine", "wine"))
    if _is_elf(loader):
        return loader
    raise CannotRun("cannot find Wine's ELF loader: %s is a script and there is no %s;"
                    " name the loader with --wine" % (wine, loader))


def _version(emulator, env, timeout):
    run = runner.run([emulator, "--version"], env, min(timeout, 30))
    words = run.stdout.decode("utf-8", errors="replace").split()
    if run.error or run.exit_status != 0 or len(words) < 3 or words[1] != "version":
        raise CannotRun("%s does not run as qemu: %s --version gave no version" % (
            emulator, emulator))
    return "%s %s" % (os.path.basename(emulator), words[2])


def qemu(args, environ, here, known):
    """qemu [--qemu QEMU] linux|wine ARG...: the platform linux or wine, with
    ARG... as it takes them, on the emulator QEMU (default: $QEMU, else
    qemu-i386 on PATH)."""
    name = environ.get("QEMU") or "qemu-i386"
    while args and args[0].startswith("-"):
        option = args.pop(0)
        if option != "--qemu":
            raise platforms.UsageError("unknown qemu option %s" % option)
        if not args:
            raise platforms.UsageError("--qemu takes a value")
        name = args.pop(0)
    if not args or args[0] not in ("linux", "wine"):
        raise platforms.UsageError("qemu takes linux or wine, then their arguments")
    inner = args.pop(0)
    target = known[inner](args, environ, here)
    emulator = platforms._find_command(name, environ, "qemu")
    if inner == "linux":
        target.wrap = lambda argv: [emulator] + argv
        target.short = "linux-i386-qemu"
    else:
        loader = wine_loader(target.wine)
        target.env["WINELOADERNOEXEC"] = "1"

        def wrap(argv):
            # The server is a host program, and an emulated loader that is
            # not to re-execute itself cannot tell its version.
            if argv[0] != target.wine:
                return list(argv)
            if argv[1:] == ["--version"]:
                return ["env", "-u", "WINELOADERNOEXEC"] + argv
            return [emulator, loader] + argv[1:]
        target.wrap = wrap
        target.short = "win32-wine-qemu"
    prepare = target.prepare

    def prepare_then_name(timeout):
        version = _version(emulator, target.env, timeout)
        prepare(timeout)
        target.name = "%s on %s" % (target.name, version)
    target.prepare = prepare_then_name
    return target
