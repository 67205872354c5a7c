"""The suite's programs as the judge is given them: where they are, and
whether a file is the kind of program a platform runs (a 32-bit i386 ELF
for linux, a 32-bit i386 PE for Wine)."""
import os
import shutil
import struct

from .promises import CONTRACTS

OSTREVIN = "ostrevin"
# ostrevin, then each contract program found beside it.
ROLES = (OSTREVIN,) + tuple(CONTRACTS)
_TREE_PATH = ("/usr/local/bin", "/usr/bin", "/bin")


class CannotRun(Exception):
    """The judge cannot run what it was asked to: exit status 2."""


def shown_path(path):
    """A path as the user gave it; a bare name is the file in the current
    folder, and is shown (and run) as ./name."""
    return path if os.sep in path else os.path.join(os.curdir, path)


def default(folder, name):
    """The program `name` in `folder` (this tool's), shown relative to the
    current folder when it is below it."""
    path = os.path.join(folder, name)
    relative = os.path.relpath(path)
    return relative if not relative.startswith(os.pardir) else path


def beside(path, suffix=""):
    """The paths of every program, from the path of any one: the path
    given is ostrevin's unless it names a contract program, the others are
    in its folder."""
    folder, name = os.path.split(shown_path(path))
    paths = {role: os.path.join(folder, role + suffix) for role in ROLES}
    given = next((role for role in ROLES[1:] if name == role + suffix), OSTREVIN)
    paths[given] = shown_path(path)
    return paths


def find_command(name, environ, what, root=None):
    """The path of a command: a path as given, else name looked up on PATH;
    in a root tree, a path in the tree, else name looked up in the tree's
    /usr/local/bin, /usr/bin and /bin (the tree's own symbolic links are
    resolved inside it by chroot: here it is enough that the name is there)."""
    where = " in %s" % root if root else ""
    if not name:
        raise CannotRun("cannot find %s%s: an empty name" % (what, where))
    if root and name.startswith("/"):
        if os.path.lexists(root + name):
            return name
        raise CannotRun("cannot find %s in %s: it has no %s" % (what, root, name))
    if root:
        for path in (folder + "/" + name for folder in _TREE_PATH):
            if os.path.lexists(root + path):
                return path
        raise CannotRun("cannot find %s in %s: no %s in its %s" % (
            what, root, name, ", ".join(_TREE_PATH)))
    if os.sep in name:
        if not os.path.isfile(name) or not os.access(name, os.X_OK):
            raise CannotRun("cannot find %s: %s is not an executable file" % (what, name))
        return os.path.abspath(name)
    found = shutil.which(name, path=environ.get("PATH", os.defpath))
    if not found:
        raise CannotRun("cannot find %s: no %s on PATH" % (what, name))
    return found


_ELF_MACHINES = {3: "i386", 62: "x86-64", 40: "ARM", 183: "AArch64"}
_PE_MACHINES = {0x14C: "i386", 0x8664: "x86-64", 0xAA64: "ARM64", 0x1C4: "ARM"}


def describe(path):
    """What kind of program a file is: ("elf", bits, machine), ("pe", bits,
    machine), ("script", None, None) or ("other", None, None)."""
    with open(path, "rb") as file:
        head = file.read(512)
    if head.startswith(b"\x7fELF") and len(head) >= 20:
        bits = {1: 32, 2: 64}.get(head[4])
        endian = "<" if head[5] == 1 else ">"
        machine = struct.unpack_from(endian + "H", head, 18)[0]
        return "elf", bits, _ELF_MACHINES.get(machine, "machine %d" % machine)
    if head.startswith(b"MZ") and len(head) >= 64:
        offset = struct.unpack_from("<I", head, 0x3C)[0]
        with open(path, "rb") as file:
            file.seek(offset)
            pe = file.read(26)
        if pe[:4] == b"PE\0\0" and len(pe) >= 26:
            machine = struct.unpack_from("<H", pe, 4)[0]
            magic = struct.unpack_from("<H", pe, 24)[0]
            bits = {0x10B: 32, 0x20B: 64}.get(magic)
            return "pe", bits, _PE_MACHINES.get(machine, "machine 0x%x" % machine)
        return "other", None, None
    if head.startswith(b"#!"):
        return "script", None, None
    return "other", None, None


def check(path, kind):
    """Raises CannotRun unless path is a program of kind ("elf" or "pe") for
    i386, or a file of saved output ("saved")."""
    what = {"elf": "linux-i386 program", "pe": "win32 program", "saved": "saved run"}[kind]
    if not os.path.exists(path):
        raise CannotRun("no %s at %s" % (what, path))
    if not os.path.isfile(path):
        raise CannotRun("%s is not a file, so not a %s" % (path, what))
    if kind == "saved":
        return
    if kind == "elf" and not os.access(path, os.X_OK):
        raise CannotRun("%s is not executable" % path)
    try:
        found, bits, machine = describe(path)
    except OSError as error:
        raise CannotRun("cannot read %s: %s" % (path, error.strerror)) from None
    if found == kind and bits == 32 and machine == "i386":
        return
    if found == "elf" and kind == "pe":
        raise CannotRun("%s is an ELF program, not a Windows PE one: Wine would run it natively,"
                        " and its verdict would not be Wine's" % path)
    if found == "pe" and kind == "elf":
        raise CannotRun("%s is a Windows PE program, not a linux-i386 ELF one: judge it with"
                        " the wine platform" % path)
    if found == kind:
        raise CannotRun("%s is a %s-bit %s program, not a 32-bit i386 one"
                        % (path, bits or "?", machine))
    if found == "script":
        raise CannotRun("%s is a script, not a %s (run a script with the command platform)"
                        % (path, what))
    raise CannotRun("%s is not a %s" % (path, what))
