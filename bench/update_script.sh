#!/bin/sh
# The update of one package done by a shell script with standard tools, the
# baseline of the end-to-end benchmark in run-engine.sh:
#   update_script.sh INSTALL_ROOT PROXY BASE_URL PACKAGE
# The same requests and work as the product's update of a package: version
# check, archive download, digest check with md5sum, version fetched again,
# extraction with unzip over the install root, archive removed, installed
# notification, version recorded.
set -eu
root=$1 proxy=$2 base=$3 name=$4
latest="$base/~tarn/latest"
cd "$root"
record="Updater/$name.zip.version"
remote=$(curl -s -f -x "$proxy" "$latest/$name.zip.version")
if [ -f "$record" ] && [ "$remote" = "$(cat "$record")" ]; then exit 0; fi
curl -s -f -x "$proxy" -o "$name.zip" "$latest/$name.zip"
published=$(curl -s -f -x "$proxy" "$latest/$name.zip.md5")
digest=$(md5sum "$name.zip")
[ "${digest%% *}" = "$published" ] || { echo "checksum error"; exit 1; }
version=$(curl -s -f -x "$proxy" "$latest/$name.zip.version")
unzip -o -q "$name.zip" -d .
rm -f "$name.zip"
curl -s -f -x "$proxy" -o /dev/null "$latest/notify_installed.osp"
printf %s "$version" > "$record"
