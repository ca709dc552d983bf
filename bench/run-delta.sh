#!/usr/bin/env bash
# Delta downloads and installations that write only what changed, measured on
# a package of 2,000 files, 200 MiB in all (bench/engine_data.py release),
# whose new release changes one 2 MiB program, served by nginx on loopback:
#   bytes sent    what nginx sent for the new release's archive (its access
#                 log, headers included) to a noservice pass that holds the
#                 installed release's archive, against the compressed bytes
#                 of the entries that changed
#   delta pass    that noservice pass against BASELINE_EXE's pass over the
#                 same tree, which downloads the whole archive, and against
#                 our own pass with no archive kept (a whole download)
#   installation  install_package of the new release over the tree of the
#                 old one, against BASELINE_EXE's build of it
#                 (BASELINE_INSTALL, by default bench/install_timing beside
#                 BASELINE_EXE)
# BASELINE_EXE is a build of the code before, configured as the build here
# (Release, benchmarks on, base URL http://updates.orvane.test, download
# pause 0 ms); without it our own programs take its place, and the ratios
# say nothing. Each round starts every tree afresh: the old release
# installed and recorded, the delta pass's tree holding the old archive. The
# tools take turns within each round; best of ROUNDS (default 3). BUILD_DIR
# (default build-bench-delta) is the build directory it configures. SMOKE=1:
# 40 files of 2 MiB in all, one round (see common.sh).
# Then the same two releases as publishers' tools make them, each with one
# delta pass and its bytes sent and requests against the same bound:
# Info-ZIP's `zip -r` and 7-Zip's `7z a -tzip` of the release's tree, whose
# every file has a new time in the new release (a tree built afresh), and
# Python's zipfile with a new time on every entry. Needs zip and 7z
# (scripts/setup.sh installs them: zip, p7zip-full).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sevenzip=$(command -v 7z || command -v 7zz || true)
command -v zip >/dev/null && [ -n "$sevenzip" ] ||
  { echo "needs zip and 7z (scripts/setup.sh installs them)"; exit 1; }
build=${BUILD_DIR:-build-bench-delta}
rounds=${ROUNDS:-3}
scale=(2000 200)

source "$root/bench/common.sh"
bench_build -DORVANE_UPDATE_BASE_URL=http://updates.orvane.test -- install_timing orvane-autoupdate
[ -z "$smoke" ] || scale=(40 2)
baseline=${BASELINE_EXE:-$build/orvane-autoupdate}
baseline_install=${BASELINE_INSTALL:-$(dirname "$baseline")/bench/install_timing}
bench_machine
echo "baseline: $baseline, $baseline_install"

package=bench
program=bin/program.bin
latest="$work/site/~tarn/latest"
python3 bench/engine_data.py release "$work/old.zip" 1 "${scale[@]}"
python3 bench/engine_data.py release "$work/new.zip" 2 "${scale[@]}"
read -r changed changed_entries < <(python3 bench/engine_data.py changed "$work/old.zip" "$work/new.zip")
"$root/scripts/publish-package" "$package" 2.0 "$work/new.zip" "$latest" >/dev/null
cat "$latest/$package.zip" > /dev/null
start_nginx "$work/site"
size=$(stat -c %s "$latest/$package.zip")
echo "release: ${scale[0]} files, ${scale[1]} MiB, a $size-byte archive; the new one changes" \
  "$changed_entries entry ($program), $changed bytes compressed"

# Install trees: the old release unpacked once; every round puts the old
# program back, records the old version and, for the delta pass, keeps the
# old archive.
for side in delta whole before inst-ours inst-before; do
  mkdir -p "$work/$side/bin" "$work/$side/Updater"
  unzip -q "$work/old.zip" -d "$work/$side"
  printf %s "$package" > "$work/$side/Updater/installed.packages.lst"
done
cp "$build/orvane-autoupdate" "$work/delta/bin/"
cp "$build/orvane-autoupdate" "$work/whole/bin/"
cp "$baseline" "$work/before/bin/orvane-autoupdate"
reset_tree() {  # reset_tree SIDE [KEPT]: KEPT (old.zip) is the delta side's old archive
  unzip -o -q "$work/old.zip" "$program" -d "$work/$1"
  printf 1.0 > "$work/$1/Updater/$package.zip.version"
  rm -f "$work/$1/Updater/$package.zip" "$work/$1/update.log"
  [ "$1" != delta ] || cp "${2:-$work/old.zip}" "$work/$1/Updater/$package.zip"
  sync
}
pass() {  # pass SIDE [KEPT]: one noservice pass of that tree's executable through nginx
  reset_tree "$@"
  measure "$1" env -C "$work/$1/bin" http_proxy="$nginx_http" ./orvane-autoupdate noservice
}
for _ in $(seq "$rounds"); do
  : > "$nginx_sent"
  pass delta
  read -r sent requests < <(awk -v p="/~tarn/latest/$package.zip" '$2 == p {s += $1; ++n}
    END {print s + 0, n + 0}' "$nginx_sent")
  pass before
  pass whole
  for side in ours before; do
    reset_tree "inst-$side"
    tool="$build/bench/install_timing"
    [ "$side" = ours ] || tool=$baseline_install
    measure "inst-$side" "$tool" "$work/new.zip" "$work/inst-$side"
  done
done
for side in delta whole before inst-ours inst-before; do
  unzip -p "$work/new.zip" "$program" | cmp -s - "$work/$side/$program" ||
    { echo "$side: the new program is not installed"; exit 1; }
done
for side in delta whole before; do
  [ "$(cat "$work/$side/Updater/$package.zip.version")" = 2.0 ] ||
    { echo "$side: version not recorded"; exit 1; }
done
grep -q '^Delta: ' "$work/out.delta" || { echo "the pass made no delta download"; exit 1; }
diff -r -q -x bin -x Updater -x update.log "$work/delta" "$work/before" >/dev/null ||
  { echo "trees differ"; exit 1; }

# The other tools' archives of the same releases: one delta pass each.
python3 bench/engine_data.py tree "$work/tree.1" 1 "${scale[@]}"
python3 bench/engine_data.py tree "$work/tree.2" 2 "${scale[@]}"
tools=(info-zip 7-zip zipfile-new-times)
declare -A tool_sent tool_requests tool_changed tool_size
for tool in "${tools[@]}"; do
  for v in 1 2; do
    case $tool in
      info-zip) (cd "$work/tree.$v" && zip -q -r "$work/$tool.$v.zip" .) ;;
      7-zip) (cd "$work/tree.$v" && "$sevenzip" a -tzip "$work/$tool.$v.zip" . >/dev/null) ;;
      zipfile-new-times) python3 bench/engine_data.py restamped "$work/$tool.$v.zip" "$v" "${scale[@]}" ;;
    esac
  done
  read -r tool_changed[$tool] _ < <(python3 bench/engine_data.py changed "$work/$tool.1.zip" "$work/$tool.2.zip")
  "$root/scripts/publish-package" "$package" 2.0 "$work/$tool.2.zip" "$latest" >/dev/null
  tool_size[$tool]=$(stat -c %s "$latest/$package.zip")
  : > "$nginx_sent"
  pass delta "$work/$tool.1.zip"
  read -r tool_sent[$tool] tool_requests[$tool] < <(awk -v p="/~tarn/latest/$package.zip" \
    '$2 == p {s += $1; ++n} END {print s + 0, n + 0}' "$nginx_sent")
  unzip -p "$work/$tool.2.zip" "$program" | cmp -s - "$work/delta/$program" &&
    grep -q '^Delta: ' "$work/out.delta" && cmp -s "$work/$tool.2.zip" "$work/delta/Updater/$package.zip" ||
    { echo "$tool: no delta download, or the new release is not installed"; exit 1; }
  grep '^Delta: ' "$work/out.delta" | sed "s/^/  $tool: /" >> "$work/tool-lines"
done

report() {  # report NAME LABEL
  awk -v s="${best[$1]}" -v c="${cpu[$1]}" -v k="${rss[$1]}" -v l="$2" 'BEGIN {
    printf "  %-44s %7.2f s   CPU %6.2f s   peak RSS %6.1f MiB\n", l, s, c, k / 1024 }'
}
echo
grep '^Delta: ' "$work/out.delta" | sed 's/^/  /'
awk -v s="$sent" -v n="$requests" -v c="$changed" -v z="$size" 'BEGIN {
  printf "  %-48s %d (%.4f of the archive, %d requests)\n", "bytes nginx sent for the archive",
    s, s / z, n
  printf "  %-48s %d\n", "allowed: 1.25 x changed compressed + 2 MiB", 1.25 * c + 2097152
  printf "  %-48s %.3f\n", "bytes sent / allowed (<= 1)", s / (1.25 * c + 2097152) }'
report delta "noservice pass, delta download"
report before "BASELINE_EXE's pass, whole download"
report whole "noservice pass, no archive kept"
ratio delta before "time BASELINE_EXE's pass / delta pass (>= 1)"
report inst-ours "install_package, new release over the old"
report inst-before "BASELINE_EXE's install_package, same"
ratio inst-ours inst-before "time BASELINE_EXE's / ours, installation (>= 5)"
echo
cat "$work/tool-lines"
for tool in "${tools[@]}"; do
  awk -v t="$tool" -v s="${tool_sent[$tool]}" -v n="${tool_requests[$tool]}" \
    -v c="${tool_changed[$tool]}" -v z="${tool_size[$tool]}" 'BEGIN {
    printf "  %-18s %d-byte archive, %d changed compressed: nginx sent %d (%.4f of it) in %d requests,\n",
      t, z, c, s, s / z, n
    printf "  %-18s allowed 1.25 x changed + 2 MiB = %d: sent / allowed %.3f (<= 1), requests <= 8\n",
      "", 1.25 * c + 2097152, s / (1.25 * c + 2097152) }'
done
