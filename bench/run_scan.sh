#!/bin/sh
# Scan benchmark: `Tallowguard.exe --scan` under Wine against two baselines
# run side by side on the same generated tree:
#   - find ... | xargs sha256sum over the files with executable extensions
#     (the files our scan inspects), and
#   - clamscan -r restricted to those extensions, with the same digests as a
#     .hsb database (sha256:size:name lines).
# The tree has FILES files (30% with executable extensions, some upper-case;
# sizes 1 KiB to 4 MiB, log-uniform; random first 16 KiB, the rest sparse),
# and signatures.db has SIGS lines, PLANTED of which match files in the tree.
# Each tool runs ROUNDS times, interleaved. Printed: the best time of each,
# and the median of the per-round ratios (each round runs the three under
# the same machine load, so these hold up better on a busy machine).
#
# usage: bench/run_scan.sh            (FILES=20000 SIGS=1000000 ROUNDS=3 PLANTED=20)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
FILES=${FILES:-20000}
SIGS=${SIGS:-1000000}
ROUNDS=${ROUNDS:-3}
PLANTED=${PLANTED:-20}
exe="$root/build/win64/Tallowguard.exe"
[ -f "$exe" ] || "$root/tools/build.sh" win64
command -v clamscan >/dev/null 2>&1 || { echo "clamscan is needed (apt-get install clamav)" >&2; exit 1; }

prefix="$root/build/bench-prefix"
"$root/tools/wine-prefix.sh" "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
data="$prefix/drive_c/ProgramData/Tallowguard"

# Under /tmp so that Wine reaches it as Z:\tmp\...
work=$(mktemp -d /tmp/tg-bench.XXXXXX)
keeper=""
cleanup() {
    [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
    wineserver -k 2>/dev/null || true
    rm -rf "$work" "$data"
}
trap cleanup EXIT INT TERM

# The prefix stays booted for the whole run, as Windows is: an idle Wine
# process holds Wine's server and services up, so that each of our runs
# measures the scan, not Wine's own start-up after the baselines' minute.
mkdir -p "$root/bench/out"
x86_64-w64-mingw32-gcc -O2 -static -mwindows "$root/bench/engine_helper_win32.c" \
    -o "$root/bench/out/engine_idle.exe"
wine "$root/bench/out/engine_idle.exe" idle </dev/null >/dev/null 2>&1 &
keeper=$!
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

echo "== generating $FILES files and $SIGS signatures in $work"
python3 - "$work" "$FILES" "$SIGS" "$PLANTED" <<'EOF'
import hashlib, math, os, random, sys
work, nfiles, nsigs, planted = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rnd = random.Random(1234)
tree = os.path.join(work, "tree")
exe_exts = ["exe", "dll", "scr", "com", "msi", "bat", "cmd", "ps1", "vbs", "js", "jar", "lnk",
            "EXE", "Dll", "JS"]
other_exts = ["txt", "pdf", "jpg", "png", "docx", "dat", "log", "zip", "html", "xml"]
exe_files = []
for i in range(nfiles):
    d = os.path.join(tree, "d%02d" % (i % 40), "s%02d" % (i // 40 % 25))
    os.makedirs(d, exist_ok=True)
    is_exe = rnd.random() < 0.30
    ext = rnd.choice(exe_exts if is_exe else other_exts)
    path = os.path.join(d, "f%05d.%s" % (i, ext))
    size = int(math.exp(rnd.uniform(math.log(1024), math.log(4 * 1024 * 1024))))
    head = rnd.randbytes(min(size, 16384))
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(size)
    if is_exe:
        exe_files.append((path, head, size))

def digest(head, size):
    h = hashlib.sha256(head)
    zeros = bytes(1 << 20)
    left = size - len(head)
    while left:
        n = min(left, len(zeros))
        h.update(zeros[:n])
        left -= n
    return h.hexdigest()

# A few files of the tree are listed; the stash lets them come back after
# our scan has quarantined them.
hits = rnd.sample(exe_files, min(planted, len(exe_files)))
stash = os.path.join(work, "stash")
lines, hsb = [], []
for path, head, size in hits:
    rel = os.path.relpath(path, tree)
    os.makedirs(os.path.dirname(os.path.join(stash, rel)), exist_ok=True)
    os.link(path, os.path.join(stash, rel))
    d = digest(head, size)
    lines.append("%s Bench.Planted.%s\n" % (d, os.path.basename(path)))
    hsb.append("%s:%d:Bench.Planted.%s\n" % (d, size, os.path.basename(path)))
for i in range(nsigs - len(lines)):
    d = rnd.randbytes(32).hex()
    lines.append("%s Trojan.Bench.%d\n" % (d, i))
    hsb.append("%s:%d:Trojan.Bench.%d\n" % (d, rnd.randint(1024, 4 << 20), i))
rnd.shuffle(lines)
with open(os.path.join(work, "signatures.db"), "w") as f:
    f.write("# bench signatures\n")
    f.writelines(lines)
with open(os.path.join(work, "bench.hsb"), "w") as f:
    f.writelines(hsb)
print("%d files, %d with executable extensions, %d MiB in those" %
      (nfiles, len(exe_files), sum(s for _, _, s in exe_files) >> 20))
EOF

tree="$work/tree"
wtree="Z:$(echo "$tree" | tr / '\\')"
inc="exe|dll|scr|com|pif|cpl|msi|bat|cmd|ps1|vbs|vbe|js|jse|wsf|wsh|jar|hta|lnk|gadget"
find_args=$(echo "$inc" | tr '|' '\n' | sed 's/.*/-iname *.& -o/' | tr '\n' ' ' | sed 's/ -o $//')

now() { date +%s.%N; }
best_ours=""; best_sha=""; best_clam=""; rounds_sha=""; rounds_clam=""
min() { if [ -z "$1" ]; then echo "$2"; else python3 -c "print(min($1, $2))"; fi; }

prepare_ours() {
    rm -rf "$data"
    mkdir -p "$data"
    cp "$work/signatures.db" "$data/signatures.db"
    cp -al --remove-destination "$work/stash/." "$tree/"
}

for r in $(seq 1 "$ROUNDS"); do
    echo "== round $r"
    t0=$(now)
    # shellcheck disable=SC2086
    n_sha=$(set -f; find "$tree" -type f \( $find_args \) -print0 | xargs -0 sha256sum | wc -l)
    t1=$(now)
    t_sha=$(python3 -c "print(round($t1 - $t0, 3))")
    echo "sha256sum:  $n_sha files in ${t_sha}s"

    t0=$(now)
    clamscan -r --no-summary -i -d "$work/bench.hsb" --include="(?i)\\.($inc)\$" "$tree" \
        >"$work/clam.out" 2>&1 || true
    t1=$(now)
    t_clam=$(python3 -c "print(round($t1 - $t0, 3))")
    n_clam_found=$(grep -c "FOUND" "$work/clam.out" || true)
    echo "clamscan:   ${t_clam}s ($n_clam_found found)"

    prepare_ours
    t0=$(now)
    wine "$exe" --scan "$wtree" </dev/null >"$work/ours.out" 2>&1
    t1=$(now)
    t_ours=$(python3 -c "print(round($t1 - $t0, 3))")
    summary=$(grep "scan done:" "$work/ours.out" | sed 's/.*scan done: //')
    n_ours=$(echo "$summary" | sed 's/ files.*//')
    echo "Tallowguard: ${t_ours}s ($summary)"
    prepare_ours

    rounds_sha="$rounds_sha $(python3 -c "print(round($n_ours / $t_ours / ($n_sha / $t_sha), 3))")"
    rounds_clam="$rounds_clam $(python3 -c "print(round($n_ours / $t_ours / ($n_sha / $t_clam), 3))")"
    best_sha=$(min "$best_sha" "$t_sha")
    best_clam=$(min "$best_clam" "$t_clam")
    best_ours=$(min "$best_ours" "$t_ours")
done

echo "== best of $ROUNDS ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'))"
python3 - "$n_ours" "$best_ours" "$n_sha" "$best_sha" "$best_clam" "$rounds_sha" "$rounds_clam" <<'EOF'
import statistics, sys
n_ours, t_ours, n_sha, t_sha, t_clam = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
per_sha = [float(x) for x in sys.argv[6].split()]
per_clam = [float(x) for x in sys.argv[7].split()]
ours = n_ours / t_ours
print("Tallowguard --scan : %7.0f files/s (%d files, %.2fs, signature loading included)" % (ours, n_ours, t_ours))
print("find|xargs sha256sum: %7.0f files/s (%d files, %.2fs)" % (n_sha / t_sha, n_sha, t_sha))
print("clamscan -r (.hsb)  : %7.0f files/s (%d files, %.2fs)" % (n_sha / t_clam, n_sha, t_clam))
print("ratio vs sha256sum  : %.2fx best-of, %.2fx median of rounds %s (aim >= 2)"
      % (ours / (n_sha / t_sha), statistics.median(per_sha), per_sha))
print("ratio vs clamscan   : %.2fx best-of, %.2fx median of rounds %s (aim >= 8)"
      % (ours / (n_sha / t_clam), statistics.median(per_clam), per_clam))
EOF
