#!/usr/bin/env bash
# Update-engine benchmarks, measured side by side in one run:
#   install_package  against unzip -o -q and Python's zipfile.extractall, on one
#                    archive of 2,000 files (200 MiB), into an empty tree and
#                    over an existing one
#   noservice pass   over 1,000 up-to-date packages against curl fetching the
#                    same 1,000 version resources in one process
#   end to end       a noservice pass that updates one package (that archive:
#                    download, digest, extraction, notification, record)
#                    against bench/update_script.sh doing the same with curl,
#                    md5sum and unzip
#   cut link         one pass that updates it to a 200 MiB archive through a
#                    proxy that cuts every connection after 16 MiB: installed,
#                    and the bytes nginx sent over the archive's size
# Both sides of the up-to-date comparison go through the loopback test server
# as their HTTP proxy, both sides of the end-to-end one through nginx. The
# build sets the end-of-download pause to 0 ms. The tools take turns within
# each round; each timing is the best of ROUNDS rounds (default 3), peak RSS
# the largest seen. BUILD_DIR (default build-bench-engine) is the build
# directory it configures. BASELINE_EXE, when set, names another build of the
# executable (an earlier version, say) whose end-to-end pass takes its turn
# beside ours, on the same data and disk. SMOKE=1: 40 files of 2 MiB in all,
# 20 packages, cuts every 768 KiB, one round (see common.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-bench-engine}
rounds=${ROUNDS:-3}
packages=1000 scale=(2000 200) cut=$((16 << 20))

source "$root/bench/common.sh"
bench_build -DORVANE_UPDATE_BASE_URL=http://updates.orvane.test -- install_timing orvane-autoupdate
[ -z "$smoke" ] || { packages=20 scale=(40 2) cut=$((768 << 10)); }
bench_machine

extract() {  # extract TOOL DIRECTORY: the command line of one extraction
  case $1 in
    ours) echo "$build/bench/install_timing" "$work/package.zip" "$2" ;;
    unzip) echo unzip -o -q "$work/package.zip" -d "$2" ;;
    python) echo python3 "$root/bench/extract_zipfile.py" "$work/package.zip" "$2" ;;
  esac
}
report() {  # report NAME LABEL [REQUESTS]
  awk -v s="${best[$1]}" -v c="${cpu[$1]}" -v k="${rss[$1]}" -v l="$2" -v n="${3:-0}" 'BEGIN {
    printf "  %-40s %7.2f s", l, s
    if (n > 0) printf " %8.0f requests/s", n / (s > 0 ? s : 0.01)
    printf "   CPU %6.2f s   peak RSS %6.1f MiB\n", c, k / 1024 }'
}
echo
echo "Extraction of ${scale[0]} files, ${scale[1]} MiB (deflated archive)"
python3 bench/engine_data.py archive "$work/package.zip" "${scale[@]}"
for _ in $(seq "$rounds"); do
  for tool in ours unzip python; do
    rm -rf "$work/tree-$tool"; mkdir "$work/tree-$tool"; sync
    measure "$tool-empty" $(extract "$tool" "$work/tree-$tool")
    measure "$tool-over" $(extract "$tool" "$work/tree-$tool")
  done
done
diff -r -q "$work/tree-ours" "$work/tree-unzip" >/dev/null || { echo "trees differ"; exit 1; }
report ours-empty "install_package, empty tree"
report unzip-empty "unzip -o -q, empty tree"
report python-empty "zipfile.extractall, empty tree"
report ours-over "install_package, over the tree"
report unzip-over "unzip -o -q, over the tree"
report python-over "zipfile.extractall, over the tree"
ratio ours-empty unzip-empty "ratio unzip / install_package, empty"
ratio ours-over unzip-over "ratio unzip / install_package, over"
ratio ours-empty python-empty "ratio zipfile / install_package, empty"
ratio ours-over python-over "ratio zipfile / install_package, over"
rm -rf "$work"/tree-*

echo
echo "noservice pass over $packages up-to-date packages, against curl with $packages URLs"
mkdir -p "$work/served" "$work/install/bin"
python3 bench/engine_data.py packages "$work/served" "$work/install" "$packages"
cp "$build/orvane-autoupdate" "$work/install/bin/"
start_server "$work/served"
proxy=$server_url
mapfile -t urls < "$work/served/urls.txt"
for _ in $(seq "$rounds"); do
  measure pass env -C "$work/install/bin" http_proxy="$proxy" ./orvane-autoupdate noservice
  measure curl curl -s -x "$proxy" "${urls[@]}"
done
up_to_date=$(grep -c 'System is up to date.' "$work/out.pass" || true)
[ "$up_to_date" -eq "$packages" ] || { echo "pass: $up_to_date of $packages up to date"; exit 1; }
report pass "noservice pass" "$packages"
report curl "curl, one process" "$packages"
ratio pass curl "ratio curl / noservice pass"

echo
echo "End to end: a noservice pass updating one package of ${scale[0]} files (${scale[1]} MiB),"
echo "against curl -o + md5sum + unzip -o -q in one script; both through nginx"
package=bench
latest="$work/site/~tarn/latest"
"$root/scripts/publish-package" "$package" 2.0 "$work/package.zip" "$latest" >/dev/null
rm "$work/package.zip"
cat "$latest/$package.zip" > /dev/null
start_nginx "$work/site"
for side in ours script; do
  mkdir -p "$work/e2e-$side/bin" "$work/e2e-$side/Updater"
  printf %s "$package" > "$work/e2e-$side/Updater/installed.packages.lst"
done
cp "$build/orvane-autoupdate" "$work/e2e-ours/bin/"
if [ -n "${BASELINE_EXE:-}" ]; then
  mkdir -p "$work/e2e-before/bin" "$work/e2e-before/Updater"
  printf %s "$package" > "$work/e2e-before/Updater/installed.packages.lst"
  cp "$BASELINE_EXE" "$work/e2e-before/bin/orvane-autoupdate"
fi
# The trees of earlier rounds are moved aside, not removed, until the script
# ends: on ext4 without a journal (this workplace's disks), every file created
# within a few minutes of thousands of removals first passes over each inode
# just freed, a cost of the turns' order, not of the tool taking its turn.
reset_tree() {  # reset_tree SIDE: nothing extracted yet, the old version recorded, no archive kept
  local aside
  aside=$(mktemp -d "$work/aside-XXXXXX")
  mv "$work/e2e-$1"/dir* "$aside/" 2>/dev/null || true
  rm -rf "$work/e2e-$1/update.log" "$work/e2e-$1/Updater/$package.zip"
  printf 1.0 > "$work/e2e-$1/Updater/$package.zip.version"
  sync
}
for _ in $(seq "$rounds"); do
  reset_tree ours
  measure e2e-ours env -C "$work/e2e-ours/bin" http_proxy="$nginx_http" ./orvane-autoupdate noservice
  if [ -n "${BASELINE_EXE:-}" ]; then
    reset_tree before
    measure e2e-before env -C "$work/e2e-before/bin" http_proxy="$nginx_http" ./orvane-autoupdate noservice
  fi
  reset_tree script
  measure e2e-script "$root/bench/update_script.sh" "$work/e2e-script" "$nginx_http" \
    http://updates.orvane.test "$package"
done
for side in ours script; do
  [ "$(cat "$work/e2e-$side/Updater/$package.zip.version")" = 2.0 ] ||
    { echo "$side: version not recorded"; exit 1; }
  [ ! -e "$work/e2e-$side/$package.zip" ] || { echo "$side: package file left"; exit 1; }
done
grep -q 'Installed.' "$work/out.e2e-ours" || { echo "noservice pass did not install"; exit 1; }
for d in "$work/e2e-ours"/dir*; do
  diff -r -q "$d" "$work/e2e-script/$(basename "$d")" >/dev/null || { echo "trees differ"; exit 1; }
done
[ "$(ls -d "$work/e2e-ours"/dir* | wc -l)" -eq 20 ] || { echo "not all of the tree extracted"; exit 1; }
report e2e-ours "noservice pass, one package"
report e2e-script "curl + md5sum + unzip script"
awk -v o="${best[e2e-ours]}" -v t="${best[e2e-script]}" -v l="time noservice pass / script (<= 0.9)" \
  'BEGIN {printf "  %-48s %.3f\n", l, (t > 0 ? o / t : 0)}'
cpu_ratio e2e-ours e2e-script "CPU time noservice pass / script"

echo
echo "A link that drops every $((cut >> 10)) KiB: one noservice pass updating the package to a"
echo "${scale[1]} MiB archive (the same files stored) through a proxy that cuts every"
echo "connection after $((cut >> 10)) KiB of nginx's answer"
python3 bench/engine_data.py stored "$work/stored.zip" "${scale[@]}"
"$root/scripts/publish-package" "$package" 3.0 "$work/stored.zip" "$latest" >/dev/null
rm "$work/stored.zip"
mkfifo "$work/link-input"
python3 "$root/bench/cut_link.py" "$nginx_cut_port" "$cut" < "$work/link-input" 3>&- \
  > "$work/link-port" &
link_pid=$!
exec 4> "$work/link-input"
for _ in $(seq 50); do grep -q '^PORT ' "$work/link-port" 2>/dev/null && break; sleep 0.1; done
link_proxy="http://127.0.0.1:$(awk '/^PORT/ {print $2}' "$work/link-port")"
reset_tree ours
: > "$nginx_sent"
measure e2e-cut env -C "$work/e2e-ours/bin" http_proxy="$link_proxy" ./orvane-autoupdate noservice
exec 4>&-
wait "$link_pid"
[ "$(cat "$work/e2e-ours/Updater/$package.zip.version")" = 3.0 ] &&
  grep -q 'Installed.' "$work/out.e2e-cut" || { echo "cut link: not installed in one pass"; exit 1; }
size=$(stat -c %s "$latest/$package.zip")
sent=$(awk '{s += $1} END {print s}' "$nginx_sent")
report e2e-cut "noservice pass through the cut link"
awk -v s="$sent" -v z="$size" -v c="$(awk '/^CUTS/ {print $2}' "$work/link-port")" \
  'BEGIN {printf "  %-48s %.4f (%d cuts, %d bytes sent for %d)\n",
          "bytes sent by nginx / archive size (<= 1.05)", s / z, c, s, z}'
if [ -n "${BASELINE_EXE:-}" ]; then
  report e2e-before "BASELINE_EXE's noservice pass"
  awk -v o="${best[e2e-ours]}" -v b="${best[e2e-before]}" -v l="time noservice pass / BASELINE_EXE's" \
    'BEGIN {printf "  %-48s %.3f\n", l, (b > 0 ? o / b : 0)}'
fi
