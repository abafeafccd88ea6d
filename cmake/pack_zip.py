#!/usr/bin/env python3
"""Packs the Windows download so that one commit always gives the same bytes.

    pack_zip.py OUT.zip SOURCE_DIR NAME=PATH...

writes OUT.zip holding, in a folder named after OUT.zip, the bytes of the file at each PATH under
the NAME given before it, in the order given, and beside it OUT.zip.sha256 in the form
`sha256sum -c` reads. A NAME is a file name without folders; one ending in .exe is executable.

Every entry gets the same time: the commit time of SOURCE_DIR's checkout, or SOURCE_DATE_EPOCH
where that is set (a source tree without git needs it). Nothing of the packing machine goes in: no
owners, no access or change times, no time zone (the times zip keeps are local times without a
zone, so they are written as UTC).
"""

import hashlib
import os
import re
import subprocess
import sys
import time
import zipfile

USAGE = "usage: pack_zip.py OUT.zip SOURCE_DIR NAME=PATH..."


def fail(reason):
    sys.exit(f"pack_zip.py: {reason}")


def files_time(source_dir):
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        try:
            epoch = subprocess.run(
                ["git", "-C", source_dir, "log", "-1", "--format=%ct", "HEAD"],
                check=True, capture_output=True, text=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as error:
            fail(f"{source_dir}: no commit time to date the files with ({error}); "
                 "set SOURCE_DATE_EPOCH to seconds since 1970")
    if not epoch.isdigit():
        fail(f"the files' time {epoch!r} is not a number of seconds since 1970")
    stamp = time.gmtime(int(epoch))[:6]
    # Zip's times run from 1980 to 2107.
    if not 1980 <= stamp[0] <= 2107:
        fail(f"the files' time {epoch} lies outside the years zip can hold")
    return stamp


def entries(arguments):
    """The entries as (name, path) in the order given."""
    found = []
    for argument in arguments:
        name, separator, path = argument.partition("=")
        if not separator or not path:
            fail(f"{argument}: not NAME=PATH; {USAGE}")
        if not name or re.search(r"[/\\:]", name) or name in (".", ".."):
            fail(f"{argument}: the name {name!r} is not a file name")
        if name.lower() in (seen.lower() for seen, _ in found):
            fail(f"{argument}: the zip holds {name} already")
        found.append((name, path))
    if not found:
        fail(USAGE)
    return found


def main(argv):
    if len(argv) < 4:
        fail(USAGE)
    out, source_dir = argv[1], argv[2]
    files = entries(argv[3:])
    zip_name = os.path.basename(out)
    if not zip_name.endswith(".zip"):
        fail(f"{out}: the name of a zip ends in .zip")
    folder = zip_name[:-len(".zip")]
    stamp = files_time(source_dir)

    partial = out + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path in files:
            with open(path, "rb") as file:
                data = file.read()
            entry = zipfile.ZipInfo(f"{folder}/{name}", date_time=stamp)
            entry.create_system = 3  # Unix, so that the mode below counts, wherever this runs
            executable = name.lower().endswith(".exe")
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    os.replace(partial, out)

    with open(out, "rb") as file:
        digest = hashlib.sha256(file.read()).hexdigest()
    with open(out + ".sha256", "w", encoding="ascii", newline="\n") as file:
        file.write(f"{digest}  {zip_name}\n")
    print(f"{out}\n{out}.sha256: {digest}")


if __name__ == "__main__":
    main(sys.argv)
