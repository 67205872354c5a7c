#!/bin/sh
# bench/report.py on counts that are known lines in N, count.py joining a
# program's regions to the plugin's counts, and bench/run's refusals:
# ratios, fits and goals come out as computed by hand, each goal is judged
# met or not (on its bound, met), a missing series and two runs that differ
# are said, timed rounds add the nanoseconds, counts that do not add up are
# refused, and bad input and bad use end with their status and a message.
#   check_bench_report.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
. "$(dirname "$0")/checks.sh"
expect_line() { # file, exact line
  grep -qxF -- "$2" "$1" || fail "no line: $2"
}
expect_text() { # file, text within a line
  grep -qF -- "$2" "$1" || fail "no text: $2"
}

# A run folder. linux: forced unwind 200 at N = 0, then 250 + 40N (or
# $forced_slope N); longjmp 130, then 135 + 5N; C++ throw 21000, then
# 24000 + 3400N; raise-and-catch 600 + 100N (unless no_raise=yes). Wine:
# forced unwind 470, then 560 + 79N; longjmp 160, then 165 + 5N; C++ throw
# 23000, then 27000 + 3900N; raise-and-catch 1300, then 1300 + 125N.
# From exec to exit: 100000, $layer and 230000.
make_run() { # dir
  mkdir -p "$1"
  python3 - "$1" "${forced0:-200}" "${forced_slope:-40}" "${no_raise:-no}" "${layer:-140000}" <<'EOF'
import sys
out, forced0, slope, no_raise, layer = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
def line(n, at0, fixed, per):
    return at0 if n == 0 else fixed + per * n
linux = {"harness_return": 65, "dirty_unwind_pass": 564}
wine = {"harness_return": 54, "dirty_unwind_pass": 767}
for n in [0, 1, 8, 64, 512]:
    linux[f"forced_unwind/{n}"] = line(n, forced0, 250, slope)
    linux[f"longjmp/{n}"] = line(n, 130, 135, 5)
    linux[f"cxx_throw/{n}"] = line(n, 21000, 24000, 3400)
    wine[f"forced_unwind/{n}"] = line(n, 470, 560, 79)
    wine[f"longjmp/{n}"] = line(n, 160, 165, 5)
    wine[f"cxx_throw/{n}"] = line(n, 23000, 27000, 3900)
for n in [0, 8, 64]:
    if no_raise != "yes":
        linux[f"raise_and_catch/{n}"] = 600 + 100 * n
    wine[f"raise_and_catch/{n}"] = 1300 + 125 * n
for run in (1, 2):
    for stem, figures in (("linux-i386", linux), ("win32", wine)):
        with open(f"{out}/{stem}.count.{run}", "w") as f:
            f.writelines(f"BM_{k} {v}\n" for k, v in figures.items())
    with open(f"{out}/startup.count.{run}", "w") as f:
        f.write(f"noop 100000\nnoop_layer {layer}\nostrevin 230000\n")
with open(f"{out}/emulator.txt", "w") as f:
    f.write("qemu-i386 version 7.2.0\n")
EOF
}
report() { # dir: writes dir.md, or fails the case
  python3 "$src/bench/report.py" "$1" "$1.md" "$1.png" || fail "report.py exited $?"
}

case_name="counts that meet every goal"
make_run "$work/met"
report "$work/met"
md=$work/met.md
expect_line "$md" "| raise-and-catch at N = 0 at most 1/30 of a C++ throw | 600 against 21,000 (1/35.0) | yes |"
expect_line "$md" "| raise-and-catch at N = 0 at most half of Wine's | 600 against 1,300 (0.46x) | yes |"
expect_line "$md" "| forced unwind at N = 0 at most 1.6x longjmp | 200 against 130 (1.54x) | yes |"
expect_line "$md" "| forced unwind at most 42 instructions a record | 40.00 a record | yes |"
expect_line "$md" "| a program linked against the layer at most 1.5x the instructions of one that is not, from exec to exit | 140,000 against 100,000 (1.40x) | yes |"
expect_line "$md" "| 0 | 200 | 1.54x | 21,000 | 161.54x | 470 | 2.94x | 23,000 | 143.75x |"
expect_line "$md" "| 64 | 2,810 | 6.18x | 241,600 | 530.99x | 5,616 | 11.58x | 276,600 | 570.31x |"
expect_line "$md" "| 8 | 1,400 | 2,300 | 0.61x | 51,200 | 58,200 |"
expect_line "$md" "| forced unwind (harness, N records) | linux-i386, our platform layer | 40.00 | 250.0 | 200 | 1.0000 |"
expect_line "$md" "| raise-and-catch through N records | win32 under Wine | 125.00 | 1,300.0 | 1,300 | 1.0000 |"
expect_line "$md" "| the same, linked against the layer | 140,000 | 1.40x |"
expect_line "$md" "| one dirty-unwind pass (test 5) | 564 | 767 |"
expect_text "$md" "Of our layer's 40.00 instructions a record, 5.00 are that descent and 35.00 the unwind itself"
expect_text "$md" "the two runs gave the same figure for every operation and program"
expect_text "$md" "on qemu-i386 version 7.2.0 with the counting plugin"
expect_text "$md" "None: this machine's kernel runs no i386 programs"
[ -s "$work/met.png" ] || fail "no plot"

case_name="counts on every bound"
forced0=208 forced_slope=42 layer=150000 make_run "$work/bounds"
sed -i 's#^BM_raise_and_catch/0 .*#BM_raise_and_catch/0 650#' "$work/bounds/win32.count.1"
sed -i 's#^BM_raise_and_catch/0 .*#BM_raise_and_catch/0 700#' "$work/bounds/linux-i386.count.1"
report "$work/bounds"
md=$work/bounds.md
expect_line "$md" "| raise-and-catch at N = 0 at most 1/30 of a C++ throw | 700 against 21,000 (1/30.0) | yes |"
expect_line "$md" "| raise-and-catch at N = 0 at most half of Wine's | 700 against 650 (1.08x) | no |"
expect_line "$md" "| forced unwind at N = 0 at most 1.6x longjmp | 208 against 130 (1.60x) | yes |"
expect_line "$md" "| forced unwind at most 42 instructions a record | 42.00 a record | yes |"
expect_line "$md" "| a program linked against the layer at most 1.5x the instructions of one that is not, from exec to exit | 150,000 against 100,000 (1.50x) | yes |"
expect_text "$md" "**The two runs differed** in linux-i386 raise_and_catch/0, win32 raise_and_catch/0: the figures are the first run's."

case_name="counts past every bound"
forced0=209 forced_slope=43 layer=150001 make_run "$work/missed"
sed -i 's#^BM_raise_and_catch/0 .*#BM_raise_and_catch/0 701#' "$work/missed/linux-i386.count."[12]
report "$work/missed"
md=$work/missed.md
expect_line "$md" "| raise-and-catch at N = 0 at most 1/30 of a C++ throw | 701 against 21,000 (1/30.0) | no |"
expect_line "$md" "| forced unwind at N = 0 at most 1.6x longjmp | 209 against 130 (1.61x) | no |"
expect_line "$md" "| forced unwind at most 42 instructions a record | 43.00 a record | no |"
expect_line "$md" "| a program linked against the layer at most 1.5x the instructions of one that is not, from exec to exit | 150,001 against 100,000 (1.50x) | no |"

case_name="a run that timed the benchmarks too"
make_run "$work/timed"
python3 - "$work/timed" <<'EOF'
import json, sys
out = sys.argv[1]
for r, scale in ((1, 1.0), (2, 1.2), (3, 0.9)):
    with open(f"{out}/linux-i386.{r}.json", "w") as f:
        json.dump({"benchmarks": [{"name": "BM_forced_unwind/0", "real_time": 20 * scale,
                                   "time_unit": "ns"}]}, f)
    with open(f"{out}/win32.{r}.txt", "w") as f:
        f.write(f"BM_forced_unwind/0 {190 * scale:.4f} 1000\n")
with open(f"{out}/startup.txt", "w") as f:
    f.write("build/noop 1000000 900000\nbuild/noop_layer 1300000 1200000\n"
            "build/ostrevin 1400000 1300000\n")
EOF
report "$work/timed"
md=$work/timed.md
expect_line "$md" "| forced_unwind/0 | 20.0 (18.0) | 190.0 (171.0) |"
expect_line "$md" "| the same, linked against the layer | 1.300 | 1.200 |"
expect_text "$md" "in 3 interleaved rounds"
grep -q "None: this machine's kernel" "$md" && fail "says it timed nothing"

case_name="report.py on a folder without counts, a bad line, a missing series, half the timed rounds"
mkdir -p "$work/empty"
status=0
python3 "$src/bench/report.py" "$work/empty" "$work/e.md" "$work/e.png" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && grep -q "no linux-i386.count.1 in" "$work/err" || fail "empty: status $status"
make_run "$work/bad"
echo "BM_forced_unwind/0" >>"$work/bad/win32.count.2"
status=0
python3 "$src/bench/report.py" "$work/bad" "$work/b.md" "$work/b.png" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && grep -q "not a line of a name and a figure: 'BM_forced_unwind/0'" "$work/err" ||
  fail "bad line: status $status: $(cat "$work/err")"
no_raise=yes make_run "$work/noraise"
status=0
python3 "$src/bench/report.py" "$work/noraise" "$work/n.md" "$work/n.png" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && grep -q "the linux counts have no raise_and_catch/0" "$work/err" ||
  fail "no raise-and-catch: status $status: $(cat "$work/err")"
make_run "$work/half"
cp "$work/timed/linux-i386.1.json" "$work/half/"
status=0
python3 "$src/bench/report.py" "$work/half" "$work/h.md" "$work/h.png" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && grep -q "holds some of the timed rounds but not all" "$work/err" ||
  fail "half timed: status $status"
status=0
python3 "$src/bench/report.py" "$work/empty" 2>"$work/err" || status=$?
[ "$status" -ne 0 ] && grep -q usage "$work/err" || fail "missing arguments: status $status"

# count.py with a stand-in for qemu that prints the program's lines and
# writes the plugin's to its out= file, as fake.names and fake.counts beside
# it say (count.py runs a total with an empty environment).
printf '#!/bin/sh\nd=${0%%/*}\ncat "$d/fake.counts" >"${2#*,out=}"\ncat "$d/fake.names"\nexit $(cat "$d/fake.status")\n' \
  >"$work/fake-qemu"
chmod +x "$work/fake-qemu"
counted() { # status, a line of its stdout or stderr, then count.py's arguments
  want_status=$1 want_line=$2
  shift 2
  printf "$names" >"$work/fake.names"
  printf "$counts" >"$work/fake.counts"
  echo "${program_status:-0}" >"$work/fake.status"
  status=0
  python3 "$src/bench/count.py" --qemu "$work/fake-qemu" "$@" >"$work/out" 2>"$work/err" ||
    status=$?
  [ "$status" -eq "$want_status" ] || fail "status $status, not $want_status: $(cat "$work/err")"
  cat "$work/out" "$work/err" | grep -qxF -- "$want_line" ||
    fail "no line: $want_line (said: $(cat "$work/out" "$work/err"))"
}
good_names='BM_a 2\nBM_a 6\nBM_b 2\r\nBM_b 6\r\n'
good_counts='region 100\nregion 300\nregion 7\nregion 8\ntotal 999\n'
case_name="count.py joining a program's regions to the plugin's counts"
names=$good_names counts=$good_counts counted 0 "BM_a 50" regions plugin.so prog
grep -qxF "BM_b 0.25" "$work/out" || fail "no fraction: $(cat "$work/out")"
case_name="count.py total"
names= counts=$good_counts counted 0 "999" total plugin.so prog
names= counts='region 1\n' counted 1 "count.py: the plugin wrote no total" total plugin.so prog
case_name="count.py on counts that do not add up"
names=$good_names counts='region 100\nregion 300\n' counted 1 \
  "count.py: the program named 4 regions and the plugin counted 2" regions plugin.so prog
names=$good_names counts='error a region ended that had not begun\n' counted 1 \
  "count.py: the plugin says: a region ended that had not begun" regions plugin.so prog
names='BM_a 2\nBM_a 2\n' counts='region 1\nregion 2\n' counted 1 \
  "count.py: BM_a: not two regions of different iterations" regions plugin.so prog
names=$good_names counts=$good_counts program_status=3 counted 1 \
  "count.py: prog exited with status 3" regions plugin.so prog
program_status=0
case_name="count.py used wrongly"
names= counts= counted 2 "usage: count.py [--qemu QEMU] [--wine PREFIX] regions PLUGIN PROGRAM [ARG...]" \
  --wine prefix total plugin.so prog

# bench/run in a checkout without builds, then with stand-ins for them.
mkdir -p "$work/checkout/bench" "$work/checkout/scripts"
cp "$src/bench/run" "$src/bench/count.py" "$work/checkout/bench/"
cp -R "$src/scripts/lib" "$work/checkout/scripts/"
for args in "--rounds 0" "--rounds x" "--rounds" "--what"; do
  case_name="bench/run $args"
  status=0
  "$work/checkout/bench/run" $args >"$work/out" 2>"$work/err" || status=$?
  [ "$status" -eq 2 ] || fail "status $status, not 2"
  grep -q "bench/run" "$work/err" || fail "no message"
  [ ! -s "$work/out" ] || fail "wrote to stdout"
done
case_name="bench/run --help"
status=0
"$work/checkout/bench/run" --help >"$work/out" 2>&1 || status=$?
[ "$status" -eq 0 ] && grep -q "^usage: bench/run" "$work/out" || fail "status $status"
case_name="bench/run without the builds"
status=0
"$work/checkout/bench/run" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "status $status, not 2"
grep -q "is missing: build both targets first" "$work/err" || fail "no message naming the build"
[ ! -e "$work/checkout/build/bench" ] || fail "made a run folder before refusing"
case_name="bench/run with a qemu-i386 other than 7.2"
for f in linux-i386/bin/bench_count linux-i386/bin/libinsn_count.so linux-i386/bin/noop \
         linux-i386/bin/noop_layer linux-i386/bin/ostrevin linux-i386/bin/bench_unwind \
         linux-i386/bin/spawn_timer win32/bin/bench_count.exe win32/bin/bench_unwind.exe; do
  mkdir -p "$work/checkout/build/${f%/*}"
  : >"$work/checkout/build/$f"
done
printf '#!/bin/sh\necho "qemu-i386 version 10.0.2"\n' >"$work/qemu10"
chmod +x "$work/qemu10"
status=0
QEMU_I386=$work/qemu10 "$work/checkout/bench/run" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "status $status, not 2"
grep -q "built for qemu-i386 7.2 (Debian 12's qemu-user), and $work/qemu10 is 10.0.2" "$work/err" ||
  fail "said: $(cat "$work/err")"
[ ! -e "$work/checkout/build/bench" ] || fail "made a run folder before refusing"
case_name="bench/run --what"
status=0
"$work/checkout/bench/run" --what 2>"$work/err" || status=$?
grep -q "^bench/run: unknown option --what (the nearest: --docs)$" "$work/err" ||
  fail "said: $(cat "$work/err")"

# A step that fails (here qemu-i386 itself) ends the run with exit status
# 1, naming it.
case_name="bench/run when a count fails"
printf '#!/bin/sh
[ "$1" = --version ] && { echo "qemu-i386 version 7.2.22"; exit 0; }
exit 3
' >"$work/qemu72"
chmod +x "$work/qemu72"
status=0
OSTREVIN_I386=native QEMU_I386=$work/qemu72 "$work/checkout/bench/run" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status, not 1"
grep -q "bench/run: a step failed (exit status" "$work/err" || fail "said: $(cat "$work/err")"

[ "$failures" -eq 0 ] && echo "all bench report checks passed"
exit "$failures"
