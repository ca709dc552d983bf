#!/usr/bin/env bash
# Transfer and integrity benchmarks, measured side by side in one run:
#   file_md5_hex  against md5sum and openssl dgst -md5, same file: time, CPU
#                 time, and callgrind's instruction counts on a smaller file
#   download_file against curl -s -o, same URL of nginx on loopback, over
#                 HTTP and over HTTPS: the client's CPU time per GiB, wall
#                 time and peak RSS
#   the signature check of a signed release (signature_verify: BLAKE2b-512
#                 of the file and two Ed25519 checks) against minisign -V,
#                 same file, beside the MD5 figures
#   md5_update    Google Benchmark micro-benchmark (64 B, 4 KiB, 1 MiB)
#   bytes read    from the package file by a noservice pass of a signed build
#                 (strace), during its download and between its end and the
#                 installation (must be 0: the digests are taken as it is
#                 written), for a whole download and for a delta's assembly
# The build used here sets the end-of-download pause to 0 ms
# (-DORVANE_DOWNLOAD_PAUSE_MS=0), so download_file is timed without it, as
# curl is. The tools take turns within each round; each figure is the best
# of ROUNDS rounds (default 3), peak RSS the largest seen. SIZE_MB (default
# 1024) sets the size of the test file, CALLGRIND_MB (default 32, 0 to skip)
# that of the file counted under callgrind. BUILD_DIR (default build-bench)
# is the build directory it configures. Needs root for the HTTPS part (the
# product is given the certificate in a private mount namespace). SMOKE=1:
# 2 MiB, 1 MiB under callgrind, one round, HTTPS only as root (see common.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-bench}
rounds=${ROUNDS:-3}
size_mb=${SIZE_MB:-1024}
callgrind_mb=${CALLGRIND_MB:-32}
min_time=0.3 protocols=(http https)

source "$root/bench/common.sh"
# The pass whose reads are counted is a signed build (the tests' first key).
test_key=$(sed -n 2p "$root/tests/keys/first.pub")
bench_build -DORVANE_UPDATE_BASE_URL=http://updates.orvane.test "-DORVANE_SIGNING_KEYS=$test_key" \
  -- transfer_timing md5_timing md5_bench signature_timing orvane-autoupdate
signed_exe=$build/orvane-autoupdate
[ -z "$smoke" ] || signed_exe=$build/tests/orvane-autoupdate-signed
if [ -n "$smoke" ]; then
  size_mb=2 callgrind_mb=1 min_time=0.01
  [ "$(id -u)" = 0 ] || protocols=(http)
fi
timing="$build/bench/transfer_timing"
bench_machine
echo "file: ${size_mb} MiB of random bytes, served from the page cache"
head -c "$((size_mb * 1024 * 1024))" /dev/urandom > "$work/data.bin"
cat "$work/data.bin" > /dev/null
bytes=$(stat -c %s "$work/data.bin")

report() {  # report NAME LABEL: wall time, throughput, CPU time (and per GiB), peak RSS
  awk -v s="${best[$1]}" -v c="${cpu[$1]}" -v k="${rss[$1]}" -v b="$bytes" -v l="$2" 'BEGIN {
    printf "  %-28s %6.2f s %5.0f MB/s   CPU %6.2f s (%5.2f s/GiB)   peak RSS %5.1f MiB\n",
      l, s, b / 1e6 / (s > 0 ? s : 0.01), c, c / (b / 1073741824), k / 1024 }'
}

# The file signed as a release with a throwaway key (minisign's default form).
minisign -G -W -p "$work/bench.pub" -s "$work/bench.key" >/dev/null
minisign -S -s "$work/bench.key" -m "$work/data.bin" -x "$work/data.minisig" >/dev/null
bench_key=$(sed -n 2p "$work/bench.pub")

echo
echo "MD5 and the signature check of the file"
for _ in $(seq "$rounds"); do
  measure md5sum md5sum "$work/data.bin"
  measure openssl openssl dgst -md5 "$work/data.bin"
  measure ours "$build/bench/md5_timing" "$work/data.bin"
  measure minisign minisign -V -q -p "$work/bench.pub" -m "$work/data.bin" -x "$work/data.minisig"
  measure signature "$build/bench/signature_timing" "$work/data.bin" "$work/data.minisig" \
    "$bench_key" data.bin
done
ours_digest=$(awk '{print $2}' "$work/out.ours")
[ "$ours_digest" = "$(awk '{print $1}' "$work/out.md5sum")" ] || { echo "digests differ"; exit 1; }
report md5sum "md5sum"
report openssl "openssl dgst -md5"
report ours "file_md5_hex"
report minisign "minisign -V"
report signature "signature_verify"
cpu_ratio signature ours "CPU time signature_verify / file_md5_hex"
cpu_ratio signature minisign "CPU time signature_verify / minisign -V"
ratio ours md5sum "throughput file_md5_hex / md5sum (>= 1.10)"
ratio ours openssl "throughput file_md5_hex / openssl (>= 1.05)"
cpu_ratio md5sum ours "CPU time md5sum / file_md5_hex"
cpu_ratio openssl ours "CPU time openssl / file_md5_hex"

if [ "$callgrind_mb" -gt 0 ] && command -v valgrind >/dev/null; then
  echo
  echo "Instructions (callgrind, whole process) for the MD5 of ${callgrind_mb} MiB"
  head -c "$((callgrind_mb * 1024 * 1024))" "$work/data.bin" > "$work/small.bin"
  instructions() {  # instructions LABEL COMMAND...
    local label=$1; shift
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" "$@" \
      > /dev/null 2> "$work/callgrind.err"
    awk -v l="$label" '/^summary:/ {printf "  %-28s %14d\n", l, $2}' "$work/callgrind.out"
  }
  {
    instructions "md5sum" md5sum "$work/small.bin"
    instructions "openssl dgst -md5" openssl dgst -md5 "$work/small.bin"
    instructions "file_md5_hex" "$build/bench/md5_timing" "$work/small.bin"
  } | tee "$work/instructions"
  awk '{n[NR] = $NF} END {printf "  %-48s %.3f\n  %-48s %.3f\n",
    "instructions md5sum / file_md5_hex", n[1] / n[3],
    "instructions openssl / file_md5_hex", n[2] / n[3]}' "$work/instructions"
  rm -f "$work/small.bin" "$work"/callgrind.*
fi

# Downloads land in memory (tmpfs), so that neither side waits for the disk.
sink=$(mktemp -d /dev/shm/orvane-bench-XXXXXX)
trap 'rm -rf "$sink"; bench_cleanup' EXIT
mkdir "$work/served"
mv "$work/data.bin" "$work/served/data.bin"
start_nginx "$work/served"
echo
echo "nginx $(nginx -v 2>&1 | sed 's/.*nginx\///') on loopback; download pause constant 0 ms"

download() {  # download PROTOCOL URL SINK: SINK is "file" (tmpfs) or "null"
  local protocol=$1 url=$2 kind=$3
  local trust=() ours=/dev/null theirs=/dev/null
  if [ "$protocol" = https ]; then trust=(with_trust "$nginx_cert"); fi
  if [ "$kind" = file ]; then ours=$sink/ours.bin theirs=$sink/curl.bin; fi
  local name="$protocol-$kind"
  for _ in $(seq "$rounds"); do
    rm -f "$sink/curl.bin" "$sink/ours.bin"
    measure "curl-$name" curl -s --cacert "$nginx_cert" -o "$theirs" "$url"
    rm -f "$sink/curl.bin"
    measure_wrap=("${trust[@]}")
    measure "ours-$name" "$timing" download "$url" "$ours"
    measure_wrap=()
  done
  if [ "$kind" = file ]; then
    cmp -s "$work/served/data.bin" "$sink/ours.bin" || { echo "download differs"; exit 1; }
    rm -f "$sink/ours.bin"
  fi
  echo
  echo "Download of the file over $protocol into $([ "$kind" = file ] && echo "a tmpfs file" || echo /dev/null)"
  report "curl-$name" "curl -s -o"
  report "ours-$name" "download_file"
  cpu_ratio "ours-$name" "curl-$name" "CPU time download_file / curl (<= 1.0)"
  ratio "ours-$name" "curl-$name" "throughput download_file / curl"
  awk -v k="${rss[ours-$name]}" -v l="peak RSS download_file, MiB (< 16)" \
    'BEGIN {printf "  %-48s %.1f\n", l, k / 1024}'
}
# Into a tmpfs file, the whole job; into /dev/null, the transfer handling
# alone, without the kernel's cost of filling the file (the same for both
# clients, and the noisiest part of the first figure).
for kind in file null; do
  for protocol in "${protocols[@]}"; do
    url=nginx_$protocol
    download "$protocol" "${!url}/data.bin" "$kind"
  done
done

# Bytes the pass reads from the download (NAME.zip.part in the install root),
# by strace's record of every read with its file and thread: those of the
# pass's own thread before the last write to it are the download's own (a
# resumed part, a delta's local headers read back); those after it, until it
# is renamed into the package file for the installation, are a second
# reading, which the digests taken as the file is written leave out. Reads
# by the other thread are the installation's, taking the entries as they
# arrive; with those of the package file after the rename they are the
# installation's reading of the archive.
package_reads() {  # package_reads TREE: prints "DURING AFTER AHEAD INSTALLATION"
  local tree=$1
  rm -f "$work"/strace.out.*
  env -C "$tree/bin" http_proxy="$nginx_http" strace -ff -qq -y -s 32 -o "$work/strace.out" \
    -e trace=read,pread64,readv,preadv,preadv2,write,pwrite64,writev,rename,renameat,renameat2 \
    ./orvane-autoupdate noservice \
    > "$work/out.reads" 2>&1 || { echo "the pass failed:" >&2; cat "$work/out.reads" >&2; exit 1; }
  grep -q 'Installed\.' "$work/out.reads" ||
    { echo "the pass did not install:" >&2; cat "$work/out.reads" >&2; exit 1; }
  # One record per thread: the pass's own is the one that renames the download.
  local main
  main=$(grep -l 'rename.*"bench\.zip\.part"' "$work"/strace.out.* | head -1)
  [ -n "$main" ] || { echo none; return; }
  local others=()
  for record in "$work"/strace.out.*; do [ "$record" = "$main" ] || others+=("$record"); done
  awk -v file="$tree/bench.zip.part" -v package="$tree/bench.zip" -v main="$main" '
    function ours(line, name) { return index(line, "<" name ">") }
    function bytes_of(line) { sub(/.*= /, "", line); return line + 0 }
    function a_read(line) { return line ~ /^(read|readv|pread64|preadv|preadv2)\(/ }
    FILENAME != main { if (a_read($0) && ours($0, file)) ahead += bytes_of($0); next }
    { n[++lines] = $0 }
    /rename.*"bench\.zip\.part"/ && !install { install = lines }
    /^(write|writev|pwrite64)\(/ && ours($0, file) { last_write = lines }
    END {
      for (k = 1; k <= lines; ++k) {
        if (!a_read(n[k])) continue
        if (k > install && ours(n[k], package)) installation += bytes_of(n[k])
        if (k >= install || !ours(n[k], file)) continue
        if (k < last_write) during += bytes_of(n[k]); else after += bytes_of(n[k])
      }
      print during + 0, after + 0, ahead + 0, installation + 0
    }' "$main" "${others[@]}"
}
if command -v strace >/dev/null; then
  reads_scale=(400 64)
  [ -z "$smoke" ] || reads_scale=(20 2)
  latest="$work/served/~tarn/latest"
  python3 "$root/bench/engine_data.py" release "$work/old.zip" 1 "${reads_scale[@]}"
  python3 "$root/bench/engine_data.py" release "$work/new.zip" 2 "${reads_scale[@]}"
  "$root/scripts/publish-package" --sign "$root/tests/keys/first.key" bench 2.0 "$work/new.zip" \
    "$latest" >/dev/null
  echo
  echo "Bytes read from the package file by a signed noservice pass (strace), release of" \
    "${reads_scale[0]} files, ${reads_scale[1]} MiB ($(stat -c %s "$latest/bench.zip") bytes archived)"
  for kind in whole delta; do
    tree=$work/reads-$kind
    mkdir -p "$tree/bin" "$tree/Updater"
    cp "$signed_exe" "$tree/bin/orvane-autoupdate"
    printf bench > "$tree/Updater/installed.packages.lst"
    printf 1.0 > "$tree/Updater/bench.zip.version"
    [ "$kind" = whole ] || cp "$work/old.zip" "$tree/Updater/bench.zip"
    read -r during after ahead installation < <(package_reads "$tree")
    [ "$during" != none ] || { echo "the download was not renamed into the package file"; exit 1; }
    if [ "$kind" = delta ]; then
      grep -q '^Delta: ' "$work/out.reads" || { echo "the pass made no delta download"; exit 1; }
    fi
    awk -v k="$kind" -v d="$during" -v a="$after" -v h="$ahead" -v i="$installation" 'BEGIN {
      printf "  %-28s during the download %9d   after it, before the installation %d (0)\n",
        k " download", d, a
      printf "  %-28s by the installation: as it arrived %9d   after it %9d\n", "", h, i }'
    [ "$after" -eq 0 ] || { echo "the package file was read again before its installation"; exit 1; }
  done
fi

echo
echo "MD5 in memory (Google Benchmark, CPU time, best of $rounds repetitions)"
# md5_update and, when the build found it, OpenSSL's MD5 in the same process:
# CPU time is the figure that a busy machine disturbs least.
"$build/bench/md5_bench" --benchmark_min_time="$min_time" --benchmark_repetitions="$rounds" \
  --benchmark_format=csv 2>/dev/null | awk -F, '
  /^"/ { gsub(/"/, "", $1); if ($1 ~ /_(mean|median|stddev|cv)$/) next; if ($6 > best[$1]) best[$1] = $6; if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
  END {
    for (k = 1; k <= n; ++k) printf "  %-40s %8.1f MB/s\n", order[k], best[order[k]] / 1e6
    o = best["md5_update_bytes/16384"]; t = best["openssl_md5_update_bytes/16384"]
    if (o > 0 && t > 0) printf "  %-48s %.3f\n", "md5_update / OpenSSL, 16 KiB pieces", o / t
  }'
