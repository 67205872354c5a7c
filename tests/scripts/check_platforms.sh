#!/bin/sh
# scripts/platforms: rows from the programs' own runs (fake programs on this
# host's kernel, the real build under qemu-user with the conforming and a
# faulty layer), the contract's counts checked against its lines, the grid
# page opened in headless Chromium and every cell held to the runs kept,
# the picture, platforms that cannot be set up, and its exit statuses.
#   check_platforms.sh SCRIPTS_DIR TRANSCRIPTS_DIR LINUX_BUILD
set -eu
scripts=$(cd "$1" && pwd)
transcripts=$(cd "$2" && pwd)
build=$(cd "$3" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$scripts/lib/chromium.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
XDG_CACHE_HOME=$work/cache
export XDG_CACHE_HOME
failures=0
fail() { echo "FAIL: $case_name: $*"; failures=$((failures + 1)); }

# A fake linux-i386 build whose programs print what FAKE_OSTREVIN and
# FAKE_CONTRACT name.
mkdir -p "$work/fake/bin"
cp "$transcripts/conforming.txt" "$work/conforming.txt"
cat >"$work/fake/bin/ostrevin" <<FAKE
#!/bin/sh
if [ "\${FAKE_OSTREVIN-}" = faults ]; then head -n 2 "$work/conforming.txt"; kill -SEGV \$\$; fi
cat "$work/conforming.txt"
[ "\${FAKE_OSTREVIN-}" != extra ] || echo "should never get here."
FAKE
cat >"$work/fake/bin/unwind-contract" <<'FAKE'
#!/bin/sh
echo "ok U1 a record is removed"
echo "not ok U2 handlers are called in order: the second came first"
echo "differs E3 end of chain: returned"
case "${FAKE_CONTRACT-}" in
  crash) kill -SEGV $$ ;;
  miscount) echo "3 checks: 3 ok, 0 not ok, 0 differs" ;;
  *) echo "3 checks: 1 ok, 1 not ok, 1 differs" ;;
esac
FAKE
chmod +x "$work/fake/bin"/*

# run CASE ARG...: scripts/platforms --out TABLE --runs RUNS ARG..., the
# table in $work/table, the page and the picture beside it.
run() {
  case_name=$1
  shift
  rm -rf "$work/table" "$work/table.md" "$work/table.html" "$work/table.png" "$work/runs"
  rc=0
  "$scripts/platforms" --out "$work/table.md" --runs "$work/runs" "$@" >"$work/out" 2>&1 || rc=$?
  [ ! -f "$work/table.md" ] || cp "$work/table.md" "$work/table"
}
# expect_page NAME...: the page, as headless Chromium shows it, holds the
# counts of the runs kept for each platform NAME in every cell; and the
# check that says so fails on a page with one cell wrong.
expect_page() {
  ! grep -qiE '(src|href)="[a-z]+:|@import|url\(' "$work/table.html" ||
    fail "the page loads something from outside itself"
  if ! chromium_headless --dump-dom "file://$work/table.html" >"$work/dom.html"; then
    fail "headless Chromium could not open the page"
    return
  fi
  python3 "$here/check_platforms_page.py" "$work/dom.html" "$work/runs" "$@" ||
    fail "the page's cells are not the runs'"
  sed '0,/<span class="counts">[0-9]* \/ /s//<span class="counts">9999 \/ /' \
    "$work/dom.html" >"$work/wrong.html"
  ! python3 "$here/check_platforms_page.py" "$work/wrong.html" "$work/runs" "$@" >/dev/null ||
    fail "the page's check took a wrong cell for a right one"
}
expect_status() { [ "$rc" -eq "$1" ] || { fail "exit status $rc, expected $1"; cat "$work/out"; }; }
# expect_row TITLE CELLS: the row of the platform TITLE holds CELLS.
expect_row() {
  row=$(grep -F "| $1 |" "$work/table" 2>/dev/null || true)
  case "$row" in
    *"$2"*) ;;
    *) fail "row of '$1' lacks '$2': ${row:-no row}"; cat "$work/table" 2>/dev/null || cat "$work/out" ;;
  esac
}
expect_table() { grep -qF -- "$1" "$work/table" || { fail "table lacks '$1'"; cat "$work/table"; }; }

native="Linux, this host's kernel (i386 programs)"

run "counts from the contract's lines" --no-picture --reproducers --linux "$work/fake" linux-native
expect_status 0
# No reproducers but of a Wine row's findings.
! grep -q "reproducers" "$work/table" "$work/table.html" || fail "reproducers on a linux row"
expect_row "$native" "| conforms | 1 / 1 / 1 | not built |"
expect_table "contract:   not ok U2 handlers are called in order: the second came first"
expect_table "contract:   differs E3 end of chain: returned"
expect_page linux-native
[ ! -e "$work/table.png" ] || fail "a picture with --no-picture"

FAKE_OSTREVIN=extra FAKE_CONTRACT=miscount
export FAKE_OSTREVIN FAKE_CONTRACT
run "a deviating run, a summary that lies" --no-picture --linux "$work/fake" linux-native
expect_status 0
expect_row "$native" "| deviates (1 finding) | 1 / 1 / 1; ended early |"
expect_table 'contract: ended early: its count line "3 checks: 3 ok, 0 not ok, 0 differs" disagrees with its lines'
expect_table 'after "Tests complete.": an extra line (line 10: "should never get here.")'

FAKE_OSTREVIN=faults FAKE_CONTRACT=crash
run "runs that crash" --no-picture --linux "$work/fake" linux-native
expect_row "$native" "| deviates (1 finding) |"
expect_table "the run faulted (SIGSEGV) during test 2"
expect_row "$native" "| 1 / 1 / 1; ended early |"
expect_table "contract: ended early: the run faulted (SIGSEGV) after 3 checks"
unset FAKE_OSTREVIN FAKE_CONTRACT

run "the real build under qemu-user, conforming and faulty" --linux "$build" qemu-7.2 qemu-7.2-faulty
expect_status 0
# ostrevin's verdict; the contract programs' counts are not asserted: under
# qemu-user 7.2 a thread comes back from a signal handler with another
# thread's segment bases, and some of dispatch-contract's processor
# exceptions fail so (docs/deviations.md, "The layer on qemu-user 7.2").
expect_row "qemu-user 7.2 (Debian 12)" "| conforms |"
expect_row "qemu-user 7.2 with the faulty layer record_left (a control)" "| deviates (2 findings) |"
expect_table "test 4: after the forced unwind the harness record was not at the head"
[ "$(grep -c '^| ' "$work/table")" -eq 3 ] || fail "not a header and two rows"
expect_page qemu-7.2 qemu-7.2-faulty
grep -q 'class="notok"' "$work/dom.html" || fail "the faulty layer's page shows no failing cell"
# The picture: a PNG as wide and as tall as the grid.
size=$(od -An -tu1 -j16 -N8 "$work/table.png" 2>/dev/null |
  awk '{ printf "%d,%d", $3 * 256 + $4, $7 * 256 + $8 }')
expected=$(sed -n 's/.*data-grid-size="\([0-9]*,[0-9]*\)".*/\1/p' "$work/dom.html")
[ "$(head -c 8 "$work/table.png" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] &&
  [ "$size" = "$expected" ] || fail "the picture is no PNG of the grid's size $expected: ${size:-none}"

# The same table and page again from the runs kept, running nothing; a
# platform without runs kept is refused.
cp "$work/table.md" "$work/first.md"
cp "$work/table.html" "$work/first.html"
case_name="the runs kept, written again"
rc=0
"$scripts/platforms" --out "$work/table.md" --runs "$work/runs" --kept --no-picture \
  qemu-7.2 qemu-7.2-faulty >"$work/out" 2>&1 || rc=$?
expect_status 0
cmp -s "$work/first.md" "$work/table.md" && cmp -s "$work/first.html" "$work/table.html" ||
  fail "not the same table and page"
# What a row's reproducers said, in its cell and below the table.
printf '%s\n' "reproducers: 2 of 3 agree with their check" "  unwind-contract: all 3 not ok" \
  "U2 0-above/exit/own/continues/top: the check says 'not ok U2 0-above/exit/own/continues/top';" \
  "    ok U2 0-above/exit/own/continues/top" >"$work/runs/qemu-7.2/reproducers"
echo "1.50 s" >"$work/runs/qemu-7.2/reproducers.time"
case_name="the reproducers kept"
rc=0
"$scripts/platforms" --out "$work/table.md" --runs "$work/runs" --kept --no-picture \
  qemu-7.2 qemu-7.2-faulty >"$work/out" 2>&1 || rc=$?
expect_status 0
cp "$work/table.md" "$work/table"
expect_row "qemu-user 7.2 (Debian 12)" "| 2 of 3 agree with their check (1.50 s) |"
expect_row "qemu-user 7.2 with the faulty layer record_left (a control)" " |  |"
expect_table "        ok U2 0-above/exit/own/continues/top"
grep -qF '<td class="verdict">2 of 3 agree with their check (1.50 s)</td>' "$work/table.html" ||
  fail "the page has no cell of reproducers"
rc=0
"$scripts/platforms" --out "$work/table.md" --runs "$work/runs" --kept linux-686 >"$work/out" 2>&1 || rc=$?
expect_status 2
grep -qF "no runs of linux-686 kept in $work/runs" "$work/out" || fail "no word on the runs: $(cat "$work/out")"

run "a platform without its build" --no-picture --linux "$work/fake" --win32 "$work/none" wine-qemu linux-native
expect_status 1
# The note of one platform is not another's.
[ "$(grep -cE "^(Only the first process runs on the emulated CPU|This host's kernel runs no i386 programs: the processes Wine)" "$work/table")" -eq 1 ] ||
  fail "the note of wine-qemu is not there once: $(cat "$work/table")"
expect_row "$native" "| conforms |"
expect_row "Wine (Debian 12) on qemu-user 10.0" "| not set up: no win32 build in $work/none"
[ ! -e "$XDG_CACHE_HOME/ostrevin/qemu-10.0" ] || fail "set up a platform it cannot run"

# A cached platform is not set up again: qemu-10.0 with an emulator in the
# cache (the host's) and an apt-get that must not be called.
mkdir -p "$XDG_CACHE_HOME/ostrevin/qemu-10.0/usr/bin" "$work/no-apt"
ln -s "$(command -v qemu-i386)" "$XDG_CACHE_HOME/ostrevin/qemu-10.0/usr/bin/qemu-i386"
printf '#!/bin/sh\ntouch "%s/apt-called"\nexit 1\n' "$work" >"$work/no-apt/apt-get"
chmod +x "$work/no-apt/apt-get"
PATH="$work/no-apt:$PATH" run "the cache reused" --no-picture --linux "$build" qemu-10.0
expect_status 0
expect_row "qemu-user 10.0 (Debian 12 backports)" "| conforms |"
[ ! -e "$work/apt-called" ] || fail "called apt-get with the platform in the cache"

run "an unknown platform" qemu-7.3
expect_status 2
[ "$(head -n 1 "$work/out")" = "scripts/platforms: unknown platform qemu-7.3 (the nearest: qemu-7.2)" ] ||
  fail "no word on the unknown platform: $(cat "$work/out")"
[ ! -e "$work/table" ] || fail "wrote a table"

run "the list" --list
expect_status 0
[ "$(wc -l <"$work/out")" -eq "$(wc -l <"$scripts/platforms.d/order")" ] || fail "not one line a platform: $(cat "$work/out")"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "platforms: all cases pass"
