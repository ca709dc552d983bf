#!/usr/bin/env bash
# The updater's main job, end to end, on this machine: a local update server
# publishes new versions of three packages, signed with a release key that
# the demo makes, and two `noservice` passes bring an install tree up to date
# and then find it current; a third pass refuses an archive that the key did
# not sign. Leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh

# A free loopback port for the demo server, fixed into the demo build.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The publisher's release key pair (no password, for the demo only), made once;
# the demo build trusts its public key.
mkdir -p build-demo
if [ ! -f build-demo/release.key ]; then
  minisign -G -W -p build-demo/release.pub -s build-demo/release.key >/dev/null
fi
cmake -S . -B build-demo -G Ninja -DORVANE_BUILD_TESTS=OFF \
  -DORVANE_UPDATE_BASE_URL="http://127.0.0.1:$port" -DORVANE_DOWNLOAD_PAUSE_MS=200 \
  -DORVANE_SIGNING_KEYS="$(sed -n 2p build-demo/release.pub)" >/dev/null
cmake --build build-demo -j2 >/dev/null

demo=$(mktemp -d /tmp/orvane-demo.XXXXXX)
served=$demo/server
tree=$demo/install
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    # The server ends when its standard input closes.
    [ -n "${server[1]:-}" ] && eval "exec ${server[1]}>&-"
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT

# The install tree: the executable in <root>/bin, an old TARN and a package list.
mkdir -p "$tree/bin" "$tree/Updater" "$tree/tarn"
cp build-demo/orvane-autoupdate "$tree/bin/"
echo "TARN 1.0" >"$tree/tarn/readme.txt"
printf '1.0' >"$tree/Updater/tarn.zip.version"
printf 'tarn orvane-client wickmoor' >"$tree/Updater/installed.packages.lst"

# The server's side: each package's files, as they are to appear in the
# install tree, published with their .md5 and .version companions.
packages=$demo/packages
mkdir -p "$packages/tarn/tarn/bin" "$packages/orvane-client/orvane-client/lang" \
  "$packages/wickmoor/wickmoor"
echo "TARN 2.4" >"$packages/tarn/tarn/readme.txt"
echo "mode=fast" >"$packages/tarn/tarn/bin/tarn.cfg"
echo "Orvane Client 5.1.0" >"$packages/orvane-client/orvane-client/client.txt"
echo "Hello" >"$packages/orvane-client/orvane-client/lang/en.txt"
echo "Wickmoor 0.9b" >"$packages/wickmoor/wickmoor/notes.txt"
for release in tarn:2.4 orvane-client:5.1.0 wickmoor:0.9b; do
  name=${release%%:*}
  scripts/publish-package --sign build-demo/release.key "$name" "${release#*:}" \
    "$packages/$name" "$served/~tarn/latest"
done

coproc server { exec python3 tests/server/update_server.py --root "$served" --port "$port"; }
server_pid=$server_PID
read -r _ _ <&"${server[0]}"   # "PORT <n>": the server listens

show() {
  echo
  echo "== $1"
}
echo "demo: plain HTTP to a loopback server; a production build names an https:// update server (README)."
show "install tree before the update"
(cd "$tree" && find . -path ./bin -prune -o -type f -print | sort)

show "first pass: new versions are installed"
(cd "$tree/bin" && ./orvane-autoupdate noservice)

show "second pass: everything is up to date"
(cd "$tree/bin" && ./orvane-autoupdate noservice)

show "third pass: TARN 2.5 with its digest, but not signed by the release key, is refused"
echo "TARN 2.5 from someone else" >"$packages/tarn/tarn/readme.txt"
# Published without --sign: the archive and its digest agree, the signature is still 2.4's.
scripts/publish-package tarn 2.5 "$packages/tarn" "$served/~tarn/latest"
(cd "$tree/bin" && ./orvane-autoupdate noservice)
echo "tarn/readme.txt still says: $(cat "$tree/tarn/readme.txt")"

show "install tree after the update"
(cd "$tree" && find . -path ./bin -prune -o -type f -print | sort)
show "version records"
for record in "$tree"/Updater/*.version; do
  printf '%s: %s\n' "${record#$tree/}" "$(cat "$record")"
done
show "update.log"
cat "$tree/update.log"
show "requests the update server received"
cat "$served/_requests.log"
