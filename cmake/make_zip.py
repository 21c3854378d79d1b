#!/usr/bin/env python3
"""Packs a folder into a zip that is the same, byte for byte, wherever and
whenever it is made:

    make_zip.py --epoch SECONDS ROOT OUTPUT.zip

Every file under ROOT goes in, by its path relative to ROOT, in sorted
order, dated SECONDS (UTC; zip dates are local times without a zone, and
none can be before 1980), with mode 755 for programs (.exe) and 644 for the
rest whatever the umask, compressed at a fixed level, and without the extra
fields (owners, access times) that zip tools add. Run by the package-zip
target (cmake/packaging.cmake).
"""

import argparse
import os
import sys
import time
import zipfile

ZIP_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC, the earliest date a zip holds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--epoch", type=int, required=True)
    parser.add_argument("root")
    parser.add_argument("output")
    options = parser.parse_args()

    names = []
    for folder, subfolders, files in os.walk(options.root):
        subfolders.sort()
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path) or not os.path.isfile(path):
                sys.exit("make_zip: %s is not a regular file" % path)
            names.append(os.path.relpath(path, options.root).replace(os.sep, "/"))
    if not names:
        sys.exit("make_zip: nothing to pack in %s" % options.root)
    names.sort()

    date = time.gmtime(max(options.epoch, ZIP_EPOCH))[:6]
    partial = options.output + ".new"
    with zipfile.ZipFile(partial, "w") as archive:
        for name in names:
            entry = zipfile.ZipInfo(name, date_time=date)
            entry.create_system = 3  # Unix, so that the modes below mean something
            mode = 0o755 if name.lower().endswith(".exe") else 0o644
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(options.root, name), "rb") as f:
                archive.writestr(entry, f.read(), compresslevel=9)
    os.replace(partial, options.output)
    print("make_zip: %s: %s" % (options.output, ", ".join(names)))


if __name__ == "__main__":
    main()
