#!/usr/bin/env bash
# Update-engine benchmarks, measured side by side in one run:
#   install_package  against unzip -o -q and Python's zipfile.extractall, on one
#                    archive of 2,000 files (200 MiB), into an empty tree and
#                    over an existing one
#   noservice pass   over 1,000 up-to-date packages against curl fetching the
#                    same 1,000 version resources in one process
# Both sides of the pass comparison go through the loopback test server as
# their HTTP proxy. Each timing is the best of ROUNDS runs (default 3); peak
# RSS is the largest seen. BUILD_DIR (default build-bench-engine) is the build
# directory it configures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-bench-engine}
rounds=${ROUNDS:-3}
packages=1000

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_UPDATE_BASE_URL=http://updates.orvane.test >/dev/null
cmake --build "$build" -j2 --target install_timing orvane-autoupdate >/dev/null

source "$root/bench/common.sh"
bench_machine

extract() {  # extract TOOL DIRECTORY: the command line of one extraction
  case $1 in
    ours) echo "$build/bench/install_timing" "$work/package.zip" "$2" ;;
    unzip) echo unzip -o -q "$work/package.zip" -d "$2" ;;
    python) echo python3 "$root/bench/extract_zipfile.py" "$work/package.zip" "$2" ;;
  esac
}
report() {  # report NAME LABEL [REQUESTS]
  awk -v s="${best[$1]}" -v k="${rss[$1]}" -v l="$2" -v n="${3:-0}" 'BEGIN {
    printf "  %-40s %7.2f s", l, s
    if (n > 0) printf " %8.0f requests/s", n / (s > 0 ? s : 0.01)
    printf "   peak RSS %6.1f MiB\n", k / 1024 }'
}
echo
echo "Extraction of 2,000 files, 200 MiB (deflated archive)"
python3 bench/engine_data.py archive "$work/package.zip"
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
rm -rf "$work"/tree-* "$work/package.zip"

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
