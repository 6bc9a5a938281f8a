"""Diffs the files of a directory against their new versions in a pool of
worker processes, ships the deltas back, and applies them.

    python examples/parallel.py [OLD_DIR NEW_DIR] [--workers N] [--start-method METHOD]

Without directories it makes two versions of a small tree in a temporary
directory.  The workers get the differ itself (a Differ pickles as its
settings) and return results (a result pickles as its bytes); they read
the files through mmap, which the differ takes as it is, without a copy.
The deltas are checked, so each one refuses any old file but its own.
"""

import argparse
import concurrent.futures
import mmap
import multiprocessing
import pathlib
import random
import tempfile
from itertools import repeat

from tovarel_core import delta


def mapped(path):
    """The file's bytes, mapped; an empty file cannot be mapped, and is b""."""
    with open(path, "rb") as file:
        if file.seek(0, 2) == 0:
            return b""
        return mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)


def diff_file(differ, old_path, new_path):
    """Runs in a worker: the delta from one version of a file to the next."""
    old, new = mapped(old_path), mapped(new_path)
    try:
        return old_path.name, differ.diff(old, new)
    finally:
        for value in (old, new):
            if isinstance(value, mmap.mmap):
                value.close()


def make_versions(root, files=24, seed=1):
    """Two versions of a tree of text files: most edited, some unchanged."""
    rng = random.Random(seed)
    words = b"alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu".split()
    old_dir, new_dir = root / "old", root / "new"
    old_dir.mkdir()
    new_dir.mkdir()
    for i in range(files):
        lines = [b" ".join(rng.choice(words) for _ in range(rng.randrange(4, 12))) for _ in range(rng.randrange(0, 2000))]
        old = b"\n".join(lines)
        for _ in range(rng.randrange(0, 6) if i % 5 else 0):
            if lines:
                lines[rng.randrange(len(lines))] = b"changed in the new version"
        (old_dir / f"file{i:02}.txt").write_bytes(old)
        (new_dir / f"file{i:02}.txt").write_bytes(b"\n".join(lines))
    return old_dir, new_dir


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs="*", type=pathlib.Path, metavar="DIR")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--start-method", default=None, choices=multiprocessing.get_all_start_methods())
    args = parser.parse_args(argv)
    if len(args.dirs) not in (0, 2):
        parser.error("give both directories or neither")
    with tempfile.TemporaryDirectory() as scratch:
        old_dir, new_dir = args.dirs or make_versions(pathlib.Path(scratch))
        names = sorted(path.name for path in old_dir.iterdir() if (new_dir / path.name).is_file())
        differ = delta.Differ(method="index", checked=True)
        context = multiprocessing.get_context(args.start_method)
        with concurrent.futures.ProcessPoolExecutor(args.workers, mp_context=context) as pool:
            results = pool.map(diff_file, repeat(differ), [old_dir / n for n in names], [new_dir / n for n in names])
            deltas = dict(results)

        total_new = total_delta = 0
        for name in names:
            old, new = (old_dir / name).read_bytes(), (new_dir / name).read_bytes()
            rebuilt = differ.patch(old, deltas[name])
            assert rebuilt == new, f"{name} was not rebuilt"
            info = delta.inspect(deltas[name])
            assert (info.old_size, info.new_size) == (len(old), len(new))
            total_new += len(new)
            total_delta += len(deltas[name])
        print(f"{len(names)} files, {total_new:,} bytes in their new versions, {total_delta:,} bytes of deltas: all rebuilt")


if __name__ == "__main__":
    main()
