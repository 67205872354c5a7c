# Debian packages: what is missing, and installing only that.
# Sourced by scripts; sets nothing but the functions below.
#
#   missing_packages PKG...   prints, one a line, each PKG that is not installed
#   ensure_packages WHO PKG...
#                             installs the missing ones; WHO names the caller in
#                             messages. Returns 0 when everything is installed
#                             afterwards, 1 (after naming the packages) when they
#                             cannot be installed.

missing_packages() {
  for pkg in "$@"; do
    state=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null) || state=
    [ "$state" = installed ] || echo "$pkg"
  done
}

# Runs a command as root: directly when we are root, through sudo when it
# exists; fails without running it otherwise.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    return 126
  fi
}

can_be_root() {
  [ "$(id -u)" -eq 0 ] || command -v sudo >/dev/null 2>&1
}

ensure_packages() {
  who=$1
  shift
  missing=$(missing_packages "$@" | tr '\n' ' ')
  missing=${missing% }
  [ -n "$missing" ] || return 0
  if ! can_be_root; then
    echo "$who: missing packages: $missing" >&2
    echo "$who: cannot install them (not root, and no sudo): as root, run" >&2
    case " $missing " in
      *:i386*) echo "  dpkg --add-architecture i386 && apt-get update" >&2 ;;
    esac
    echo "  apt-get install $missing" >&2
    return 1
  fi
  echo "$who: installing $missing" >&2
  # i386 libraries need the architecture enabled before the lists are read.
  case " $missing " in
    *:i386*)
      case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
        *" i386 "*) ;;
        *) as_root dpkg --add-architecture i386 || { install_failed "$who" "$missing"; return 1; } ;;
      esac ;;
  esac
  # shellcheck disable=SC2086 # one word per package
  if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
     ! as_root env DEBIAN_FRONTEND=noninteractive \
         apt-get install -y -qq --no-install-recommends $missing >/dev/null; then
    install_failed "$who" "$missing"
    return 1
  fi
  still=$(missing_packages $missing | tr '\n' ' ')
  if [ -n "$still" ]; then
    install_failed "$who" "${still% }"
    return 1
  fi
}

install_failed() {
  echo "$1: could not install: $2" >&2
}
