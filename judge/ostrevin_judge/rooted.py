"""Wine installed in a tree of its own (a Debian 13 i386 tree, say): every
command runs chrooted into the tree in a mount namespace of its own, with
the host's /dev and /proc and, at their own paths, the programs' folders and
the prefix, so that paths mean the same inside and out. Nothing outside the
namespace changes. As root the namespace is a plain one; otherwise a user
namespace maps the user to root inside, which chroot and mounts need."""
import os

from .programs import CannotRun

# Mounts what the commands need, then runs them chrooted:
#   sh -c SCRIPT judge-root TREE FOLDER... -- COMMAND...
_SCRIPT = r'''
tree=$1
shift
mount --rbind /proc "$tree/proc" && mount --rbind /dev "$tree/dev" || exit 125
while [ "$1" != -- ]; do
  mkdir -p "$tree$1" && mount --bind "$1" "$tree$1" || exit 125
  shift
done
shift
exec chroot "$tree" "$@"
'''

_TREE_PATH = ("/usr/local/bin", "/usr/bin", "/bin")


def check_tree(root):
    root = os.path.abspath(root)
    for folder in ("", "/proc", "/dev", "/usr/bin"):
        if not os.path.isdir(root + folder):
            raise CannotRun("%s is no tree to run Wine in: it has no %s" % (root, folder or "/"))
    return root


def _runnable(root, path):
    # The tree's own symbolic links are resolved inside it by chroot;
    # here it is enough that the name is there.
    return os.path.lexists(root + path)


def find_in_tree(root, name, what):
    """The path inside the tree of the program name (a path in the tree, or
    a name looked up in the tree's /usr/local/bin, /usr/bin and /bin)."""
    if not name:
        raise CannotRun("cannot find %s in %s: an empty name" % (what, root))
    if name.startswith("/"):
        if _runnable(root, name):
            return name
        raise CannotRun("cannot find %s in %s: it has no %s" % (what, root, name))
    for folder in _TREE_PATH:
        if _runnable(root, folder + "/" + name):
            return folder + "/" + name
    raise CannotRun("cannot find %s in %s: no %s in its %s" % (
        what, root, name, ", ".join(_TREE_PATH)))


def beside_in_tree(root, wine, name):
    path = os.path.join(os.path.dirname(wine), name)
    return path if _runnable(root, path) else None


def run_in_tree(target, root, paths):
    """Makes every command of target run in the tree; paths (programs and
    the prefix) are bound at their own paths inside it."""
    folders = []
    for path in paths:
        folder = os.path.dirname(os.path.abspath(path))
        if folder not in folders:
            folders.append(folder)
    if os.geteuid() == 0:
        namespace = ["unshare", "--mount", "--propagation", "private"]
    else:
        namespace = ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]
    target.wrap = lambda argv: namespace + ["sh", "-c", _SCRIPT, "judge-root", root] + \
        folders + ["--"] + list(argv)
    target.short = "win32-wine-root"
    prepare = target.prepare

    def prepare_in_tree(timeout):
        # The prefix's folder must exist on the host to be bound inside.
        os.makedirs(os.path.dirname(target.prefix), exist_ok=True)
        prepare(timeout)
        target.name = "%s in %s" % (target.name, root)
    target.prepare = prepare_in_tree
