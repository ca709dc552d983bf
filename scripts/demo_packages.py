"""Lays out the demo server's directory: three package archives with their
.md5 and .version companions, and the two notification resources."""

import hashlib
import io
import os
import sys
import zipfile

PACKAGES = {
    "tarn": ("2.4", {"tarn/": "", "tarn/readme.txt": "TARN 2.4\n",
                     "tarn/bin/tarn.cfg": "mode=fast\n"}),
    "orvane-client": ("5.1.0", {"orvane-client/client.txt": "Orvane Client 5.1.0\n",
                                "orvane-client/lang/en.txt": "Hello\n"}),
    "wickmoor": ("0.9b", {"wickmoor/notes.txt": "Wickmoor 0.9b\n"}),
}


def main(root):
    latest = os.path.join(root, "~tarn", "latest")
    os.makedirs(latest, exist_ok=True)
    for name, (version, entries) in PACKAGES.items():
        data = io.BytesIO()
        with zipfile.ZipFile(data, "w", zipfile.ZIP_DEFLATED) as archive:
            for entry, content in entries.items():
                archive.writestr(entry, content)
        body = data.getvalue()
        base = os.path.join(latest, name + ".zip")
        with open(base, "wb") as f:
            f.write(body)
        with open(base + ".md5", "w") as f:
            f.write(hashlib.md5(body).hexdigest() + "  " + name + ".zip\n")
        with open(base + ".version", "w") as f:
            f.write(version)
    for note in ("notify_installed.osp", "notify_error.osp"):
        with open(os.path.join(latest, note), "w") as f:
            f.write("ok\n")


if __name__ == "__main__":
    main(sys.argv[1])
