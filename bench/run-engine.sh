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

work=$(mktemp -d /tmp/orvane-bench-XXXXXX)
server_pid=""
cleanup() {
  exec 3>&- 2>/dev/null || true  # end of input: the server stops
  if [ -n "$server_pid" ]; then wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
  "$(free -g | awk '/^Mem:/ {print $2}') GiB RAM, $(uname -sr); best of $rounds runs"

declare -A best rss
extract() {  # extract TOOL DIRECTORY: the command line of one extraction
  case $1 in
    ours) echo "$build/bench/install_timing" "$work/package.zip" "$2" ;;
    unzip) echo unzip -o -q "$work/package.zip" -d "$2" ;;
    python) echo python3 "$root/bench/extract_zipfile.py" "$work/package.zip" "$2" ;;
  esac
}
measure() {  # measure NAME COMMAND...: best elapsed seconds, largest peak RSS (KiB)
  local name=$1; shift
  if [ "$1" = extract ]; then set -- $(extract "$2" "$3"); fi
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > "$work/out.$name" 2>&1
  read -r seconds kib < "$work/time"
  if [ -z "${best[$name]:-}" ] || awk "BEGIN {exit !($seconds < ${best[$name]})}"; then
    best[$name]=$seconds
  fi
  if [ -z "${rss[$name]:-}" ] || [ "$kib" -gt "${rss[$name]}" ]; then rss[$name]=$kib; fi
}
report() {  # report NAME LABEL [REQUESTS]
  awk -v s="${best[$1]}" -v k="${rss[$1]}" -v l="$2" -v n="${3:-0}" 'BEGIN {
    printf "  %-40s %7.2f s", l, s
    if (n > 0) printf " %8.0f requests/s", n / (s > 0 ? s : 0.01)
    printf "   peak RSS %6.1f MiB\n", k / 1024 }'
}
ratio() {  # ratio OURS OTHER LABEL: their time / ours (above 1: we are faster)
  awk -v o="${best[$1]}" -v t="${best[$2]}" -v l="$3" \
    'BEGIN {printf "  %-40s %.3f\n", l, (o > 0 ? t / o : 0)}'
}

echo
echo "Extraction of 2,000 files, 200 MiB (deflated archive)"
python3 bench/engine_data.py archive "$work/package.zip"
for _ in $(seq "$rounds"); do
  for tool in ours unzip python; do
    rm -rf "$work/tree-$tool"; mkdir "$work/tree-$tool"; sync
    measure "$tool-empty" extract "$tool" "$work/tree-$tool"
    measure "$tool-over" extract "$tool" "$work/tree-$tool"
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
mkfifo "$work/server-input"
python3 "$root/tests/server/update_server.py" --root "$work/served" \
  < "$work/server-input" > "$work/server-port" &
server_pid=$!
exec 3> "$work/server-input"
for _ in $(seq 50); do
  grep -q '^PORT ' "$work/server-port" 2>/dev/null && break
  sleep 0.1
done
proxy="http://127.0.0.1:$(awk '/^PORT/ {print $2}' "$work/server-port")"
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
