"""Inputs of the update-engine benchmarks.

    engine_data.py archive PATH            2,000 files, 200 MiB in all, in 20 directories
    engine_data.py stored PATH             the same files stored, not deflated (a 200 MiB archive)
    engine_data.py packages SERVED TREE N  N up-to-date packages: version resources on the
                                           served side, equal records and the list in TREE
"""

import os
import random
import sys
import zipfile

FILES = 2000
FILE_SIZE = 200 * 1024 * 1024 // FILES


def archive(path, method=zipfile.ZIP_DEFLATED):
    rng = random.Random(1)
    text = b"".join(b"line %d of a configuration file\n" % i for i in range(4000))
    with zipfile.ZipFile(path, "w", method, compresslevel=1) as zf:
        for i in range(FILES):
            # Half incompressible, half text: like binaries next to resources.
            noise = rng.randbytes(FILE_SIZE // 2)
            body = (noise + text * (FILE_SIZE // len(text) + 1))[:FILE_SIZE]
            zf.writestr("dir%02d/file%04d.bin" % (i % 20, i), body)


def packages(served, tree, count):
    latest = os.path.join(served, "~tarn", "latest")
    os.makedirs(latest, exist_ok=True)
    os.makedirs(os.path.join(tree, "Updater"), exist_ok=True)
    # Short names: the package list holds at most 4094 bytes.
    names = [str(i) for i in range(count)]
    for name in names:
        version = "1.%s" % name
        with open(os.path.join(latest, name + ".zip.version"), "w") as f:
            f.write(version)
        with open(os.path.join(tree, "Updater", name + ".zip.version"), "w") as f:
            f.write(version)
    with open(os.path.join(tree, "Updater", "installed.packages.lst"), "w") as f:
        f.write(" ".join(names))
    with open(os.path.join(served, "urls.txt"), "w") as f:
        f.write("\n".join("http://updates.orvane.test/~tarn/latest/%s.zip.version" % n
                          for n in names))


if __name__ == "__main__":
    if sys.argv[1] == "archive":
        archive(sys.argv[2])
    elif sys.argv[1] == "stored":
        archive(sys.argv[2], zipfile.ZIP_STORED)
    else:
        packages(sys.argv[2], sys.argv[3], int(sys.argv[4]))
