"""Inputs of the update-engine benchmarks.

    engine_data.py archive PATH [FILES MIB]  FILES files (2,000), MIB MiB in all (200), in 20
                                             directories, deflated
    engine_data.py stored PATH [FILES MIB]   the same files stored, not deflated
    engine_data.py release PATH VERSION [FILES MIB]
                                             a release of FILES files, MIB MiB in all, deflated,
                                             one of them a program of MIB / 100 MiB (2 MiB) that
                                             each VERSION changes; the other files are the same
                                             in every version
    engine_data.py restamped PATH VERSION [FILES MIB]
                                             the same release with every entry's time new in
                                             each VERSION (a tree rebuilt, then zipped)
    engine_data.py tree DIR VERSION [FILES MIB]
                                             the same release's files in DIR, every one of them
                                             with a time new in each VERSION, for other zip tools
    engine_data.py changed OLD NEW           the compressed bytes and the count of NEW's entries
                                             that no entry of OLD holds already
    engine_data.py packages SERVED TREE N    N up-to-date packages: version resources on the
                                             served side, equal records and the list in TREE

Every file is half random bytes (incompressible, like code and media) and
half text (compressible, like resources), so that the compressed sizes are
realistic: an entry deflates to a little over half of its size.
"""

import os
import random
import sys
import zipfile

TEXT = b"".join(b"line %d of a configuration file\n" % i for i in range(4000))
PROGRAM = "bin/program.bin"


def body(rng, size):
    """size bytes: half random bytes, half text."""
    return (rng.randbytes(size // 2) + TEXT * (size // len(TEXT) + 1))[:size]


def archive(path, files=2000, mib=200, method=zipfile.ZIP_DEFLATED):
    rng = random.Random(1)
    size = mib * 1024 * 1024 // files
    with zipfile.ZipFile(path, "w", method, compresslevel=1) as zf:
        for i in range(files):
            zf.writestr("dir%02d/file%04d.bin" % (i % 20, i), body(rng, size))


def release_files(version, files=2000, mib=200):
    """(name, bytes, date) of each file of a release, the program last."""
    # The same bytes and times for the unchanged files in every version, as a
    # build that leaves them alone; the program is new in each.
    program = mib * 1024 * 1024 // 100
    size = (mib * 1024 * 1024 - program) // (files - 1)
    rng = random.Random(1)
    for i in range(files - 1):
        yield "dir%02d/file%04d.bin" % (i % 20, i), body(rng, size), (2026, 1, 1, 0, 0, 0)
    yield PROGRAM, body(random.Random(1000 + version), program), (2026, 1, 1 + version % 28, 0, 0, 0)


def release(path, version, files=2000, mib=200, restamped=False):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as zf:
        for name, data, date in release_files(version, files, mib):
            entry = zipfile.ZipInfo(name, (2026, 2, 1 + version % 28, 0, 0, 0) if restamped else date)
            zf.writestr(entry, data, zipfile.ZIP_DEFLATED, 1)


def tree(directory, version, files=2000, mib=200):
    stamp = 1767225600 + 86400 * version  # 2026-01-01 on, a day per version
    for name, data, _ in release_files(version, files, mib):
        path = os.path.join(directory, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.utime(path, (stamp, stamp))
    for folder, _, _ in os.walk(directory):
        os.utime(folder, (stamp, stamp))


def changed(old, new):
    """What a delta cannot take from OLD: NEW's entries without an equal one there."""
    def key(info):
        return (info.CRC, info.compress_size, info.file_size, info.compress_type, info.flag_bits)
    held = {key(info) for info in zipfile.ZipFile(old).infolist()}
    fresh = [info for info in zipfile.ZipFile(new).infolist() if key(info) not in held]
    print(sum(info.compress_size for info in fresh), len(fresh))


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
    command, args = sys.argv[1], sys.argv[2:]
    if command == "archive":
        archive(args[0], *map(int, args[1:3]))
    elif command == "stored":
        archive(args[0], *map(int, args[1:3]), method=zipfile.ZIP_STORED)
    elif command == "release":
        release(args[0], *map(int, args[1:4]))
    elif command == "restamped":
        release(args[0], *map(int, args[1:4]), restamped=True)
    elif command == "tree":
        tree(args[0], *map(int, args[1:4]))
    elif command == "changed":
        changed(args[0], args[1])
    else:
        packages(args[0], args[1], int(args[2]))
