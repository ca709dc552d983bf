# Shared by the benchmark scripts (sourced): a scratch directory removed on
# exit, the loopback test server, best-of-N timing with peak RSS, and ratios.
# The sourcing script sets `root` (the project) and `rounds` first.

work=$(mktemp -d /tmp/orvane-bench-XXXXXX)
server_pid=""
bench_cleanup() {
  exec 3>&- 2>/dev/null || true  # end of input: the server stops
  if [ -n "$server_pid" ]; then wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap bench_cleanup EXIT

bench_machine() {
  echo "machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB RAM, $(uname -sr); best of $rounds runs"
}

# start_server DIRECTORY: serves DIRECTORY on a loopback port of its choosing
# until the script ends; sets server_url to http://127.0.0.1:PORT.
start_server() {
  mkfifo "$work/server-input"
  python3 "$root/tests/server/update_server.py" --root "$1" \
    < "$work/server-input" > "$work/server-port" &
  server_pid=$!
  exec 3> "$work/server-input"
  for _ in $(seq 50); do
    grep -q '^PORT ' "$work/server-port" 2>/dev/null && break
    sleep 0.1
  done
  grep -q '^PORT ' "$work/server-port" || { echo "the test server did not start"; exit 1; }
  server_url="http://127.0.0.1:$(awk '/^PORT/ {print $2}' "$work/server-port")"
}

# measure NAME COMMAND...: keeps NAME's best elapsed seconds and largest peak
# RSS (KiB); the command's output lands in $work/out.NAME.
declare -A best rss
measure() {
  local name=$1; shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" > "$work/out.$name" 2> "$work/err.$name"
  read -r seconds kib < "$work/time"
  if [ -z "${best[$name]:-}" ] || awk "BEGIN {exit !($seconds < ${best[$name]})}"; then
    best[$name]=$seconds
  fi
  if [ -z "${rss[$name]:-}" ] || [ "$kib" -gt "${rss[$name]}" ]; then rss[$name]=$kib; fi
}

# ratio OURS OTHER LABEL: their best time over ours (above 1: ours is faster).
ratio() {
  awk -v o="${best[$1]}" -v t="${best[$2]}" -v l="$3" \
    'BEGIN {printf "  %-40s %.3f\n", l, (o > 0 ? t / o : 0)}'
}
