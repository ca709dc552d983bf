#!/usr/bin/env bash
# Transfer and integrity benchmarks, measured side by side in one run:
#   file_md5_hex  against md5sum and openssl dgst -md5, same file
#   download_file against curl -s -o, same URL of the loopback test server
#   md5_update    Google Benchmark micro-benchmark (64 B, 4 KiB, 1 MiB)
# The build used here sets the end-of-download pause to 0 ms
# (-DORVANE_DOWNLOAD_PAUSE_MS=0), so download_file is timed without it, as
# curl is. Each timing is the best of ROUNDS runs (default 3); peak RSS is the
# largest seen. SIZE_MB (default 1024) sets the size of the test file.
# BUILD_DIR (default build-bench) is the build directory it configures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-bench}
rounds=${ROUNDS:-3}
size_mb=${SIZE_MB:-1024}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_BENCH=ON \
  -DORVANE_BUILD_TESTS=OFF -DORVANE_DOWNLOAD_PAUSE_MS=0 >/dev/null
cmake --build "$build" -j2 --target transfer_timing md5_timing md5_bench >/dev/null
timing="$build/bench/transfer_timing"

source "$root/bench/common.sh"
bench_machine
echo "file: ${size_mb} MiB of random bytes, served from the page cache"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/data.bin"
cat "$work/data.bin" > /dev/null
bytes=$(stat -c %s "$work/data.bin")

report() {  # report NAME LABEL
  awk -v s="${best[$1]}" -v k="${rss[$1]}" -v b="$bytes" -v l="$2" \
    'BEGIN {printf "  %-40s %7.2f s %8.0f MB/s   peak RSS %6.1f MiB\n", l, s, b / 1e6 / (s > 0 ? s : 0.01), k / 1024}'
}

echo
echo "MD5 of the file"
for _ in $(seq "$rounds"); do
  measure md5sum md5sum "$work/data.bin"
  measure openssl openssl dgst -md5 "$work/data.bin"
  measure ours "$build/bench/md5_timing" "$work/data.bin"
done
ours_digest=$(awk '{print $2}' "$work/out.ours")
[ "$ours_digest" = "$(awk '{print $1}' "$work/out.md5sum")" ] || { echo "digests differ"; exit 1; }
report md5sum "md5sum"
report openssl "openssl dgst -md5"
report ours "file_md5_hex"
ratio ours md5sum "ratio file_md5_hex / md5sum"
ratio ours openssl "ratio file_md5_hex / openssl"

echo
echo "Download over loopback (download pause constant 0 ms)"
mkdir "$work/served"
mv "$work/data.bin" "$work/served/data.bin"
start_server "$work/served"
url="$server_url/data.bin"
for _ in $(seq "$rounds"); do
  rm -f "$work/curl.bin" "$work/ours.bin"
  measure curl curl -s -o "$work/curl.bin" "$url"
  measure download "$timing" download "$url" "$work/ours.bin"
done
cmp -s "$work/served/data.bin" "$work/ours.bin" || { echo "download differs"; exit 1; }
cmp -s "$work/served/data.bin" "$work/curl.bin" || { echo "curl download differs"; exit 1; }
report curl "curl -s -o"
report download "download_file"
ratio download curl "ratio download_file / curl"

echo
echo "md5_update micro-benchmark"
"$build/bench/md5_bench" --benchmark_min_time=0.3 2>/dev/null | sed -n '/^md5_update/p; /^Benchmark/p'
