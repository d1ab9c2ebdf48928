#!/usr/bin/env python3
"""Read many damaged picture files as the command line does; report any failure that is not one error line.

    python scripts/fuzz-pictures.py [COUNT] [SEED]

Every mutant must either read or raise PictureError. Anything else (a traceback from a
decoder) is printed with the seed and index that reproduce it; the exit status is 1 then.
"""

import collections
import os
import sys
import tempfile
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from korvane import _pictures as pictures

from mutants import mutants


def main(count=20000, seed=0):
    outcomes = collections.Counter()
    escaped = 0
    with tempfile.TemporaryDirectory() as folder:
        for index, (suffix, data) in enumerate(mutants(count, seed)):
            path = os.path.join(folder, "mutant" + suffix)
            with open(path, "wb") as stream:
                stream.write(data)
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    pictures.read_picture(path)
                outcomes["read"] += 1
            except pictures.PictureError:
                outcomes["refused"] += 1
            except Exception as exc:
                escaped += 1
                print(f"mutant {index} (seed {seed}, {suffix}): {type(exc).__name__}: {exc}")
    print(f"{count} mutants: {outcomes['read']} read, {outcomes['refused']} refused in one line, {escaped} escaped")
    return 1 if escaped else 0


if __name__ == "__main__":
    sys.exit(main(*map(int, sys.argv[1:3])))
