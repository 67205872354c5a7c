# Debian's headless Chromium, as the platform matrix's picture and its test
# use it: no sandbox (as root), no GPU, nothing that reaches the network
# (on a closed network it would wait for it) and a fresh profile each time.
# Sourced by scripts; sets nothing but the function below.
#
#   chromium_headless ARG...  runs it with ARG... (such as --dump-dom URL);
#                             its own log goes to stderr only when it fails
chromium_headless() {
  profile=$(mktemp -d "${TMPDIR:-/tmp}/ostrevin-chromium.XXXXXX") || return 2
  chromium_rc=0
  timeout --kill-after=5 120 chromium --headless --no-sandbox --disable-gpu --disable-quic \
    --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$profile/profile" "$@" 2>"$profile/log" </dev/null || chromium_rc=$?
  [ "$chromium_rc" -eq 0 ] || tail -n 5 "$profile/log" >&2
  rm -rf "$profile"
  return "$chromium_rc"
}
