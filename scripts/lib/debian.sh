# Debian's archive as this machine's apt reaches it, and an apt of our own
# (lists, cache and sources under the cache) for suites the system does not
# use: the system's configuration is never changed.

# The mirror this machine's apt uses for Debian 12 (OSTREVIN_DEBIAN_MIRROR
# overrides it).
debian_mirror() {
  if [ -n "${OSTREVIN_DEBIAN_MIRROR-}" ]; then echo "$OSTREVIN_DEBIAN_MIRROR"; return; fi
  apt-get indextargets --format '$(SITE) $(CODENAME)' 2>/dev/null |
    awk '$2 == "bookworm" { print $1; found = 1; exit } END { exit !found }'
}

# private_apt_for SUITE: an apt for Debian's SUITE, its lists fresh.
private_apt_for() {
  apt_dir=$OSTREVIN_CACHE/apt-$1
  mirror=$(debian_mirror) || cannot "no Debian 12 mirror in this machine's apt sources (set OSTREVIN_DEBIAN_MIRROR)"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/parts"
  : >"$apt_dir/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $1 main" >"$apt_dir/sources.list"
  private_apt update >&2 || cannot "apt-get update for $1 from $mirror failed"
}

private_apt() {
  apt-get -q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts="$apt_dir/parts" \
    -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::status="$apt_dir/status" \
    -o Dir::Cache="$apt_dir" -o Dir::Cache::archives="$apt_dir/archives" \
    -o Debug::NoLocking=1 -o APT::Architectures=amd64 -o APT::Sandbox::User="$(id -un)" "$@"
}
