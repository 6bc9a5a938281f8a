"""Workloads for the benchmark, built at run time from material on this machine.

Nothing third-party is stored in the tree: every input is read from files the
machine already has (standard-library sources, shared libraries, package
metadata, logs) or generated from a seeded RNG, so two runs on one machine see
the same bytes.  Where a source is missing the generator falls back to seeded
synthetic material and says so in the workload's description.
"""

from __future__ import annotations

import datetime
import decimal
import fnmatch
import glob
import json
import os
import random
import struct
import sys
import unicodedata
import uuid
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

SEED = 20261208

# Edits of the synthetic edit scripts touch at most this many bytes each, so
# that "1000 edits" stays a scatter of small changes rather than a rewrite.
MAX_EDIT_LEN = 32

# A block move relocates this share of the file (at least MIN_MOVE bytes).
MOVE_SHARE = 0.05
MIN_MOVE = 1024

# The append-only log grows by this share between its two versions.
LOG_GROWTH = 0.01

PYENV_GLOB = "/root/.pyenv/versions/*/lib/python3.*/"
PYENV_ROOT = "/root/.pyenv/versions"
WHEEL_DIRS = ("/opt/pypi-more/files",)

# Shared objects of consecutive releases, smallest first: (name, old, new).
# A source is ("wheel", wheel file prefix, member) or ("pyenv", interpreter
# version, path under its directory, with * for the ABI tag).  Compiled code
# changes a few bytes every few dozen (addresses and offsets shift), which
# text pairs never show.
BINARY_PAIRS = (
    ("array module, 3.11 to 3.12", ("pyenv", "3.11", "lib/python3.11/lib-dynload/array.*.so"),
     ("pyenv", "3.12", "lib/python3.12/lib-dynload/array.*.so")),
    ("numpy random generator, 2.4.0 to 2.4.1", ("wheel", "numpy-2.4.0-cp311", "numpy/random/_generator.*.so"),
     ("wheel", "numpy-2.4.1-cp311", "numpy/random/_generator.*.so")),
    ("_decimal module, 3.12 to 3.13", ("pyenv", "3.12", "lib/python3.12/lib-dynload/_decimal.*.so"),
     ("pyenv", "3.13", "lib/python3.13/lib-dynload/_decimal.*.so")),
    ("scipy special functions, 1.10.0 to 1.10.1", ("wheel", "scipy-1.10.0-cp311", "scipy/special/cython_special.*.so"),
     ("wheel", "scipy-1.10.1-cp311", "scipy/special/cython_special.*.so")),
    ("scipy special functions, 1.15.0 to 1.15.3", ("wheel", "scipy-1.15.0-cp311", "scipy/special/cython_special.*.so"),
     ("wheel", "scipy-1.15.3-cp311", "scipy/special/cython_special.*.so")),
    ("scipy LP solver, 1.15.0 to 1.15.3", ("wheel", "scipy-1.15.0-cp311", "scipy/optimize/_highspy/_core.*.so"),
     ("wheel", "scipy-1.15.3-cp311", "scipy/optimize/_highspy/_core.*.so")),
    ("numpy core, 2.4.0 to 2.4.1", ("wheel", "numpy-2.4.0-cp311", "numpy/_core/_multiarray_umath.*.so"),
     ("wheel", "numpy-2.4.1-cp311", "numpy/_core/_multiarray_umath.*.so")),
    ("libpython, 3.12 to 3.13", ("pyenv", "3.12", "lib/libpython3.12.so.1.0"), ("pyenv", "3.13", "lib/libpython3.13.so.1.0")),
)
VERSIONED_MODULES = ("argparse.py", "inspect.py", "typing.py", "tarfile.py", "dataclasses.py")


@dataclass(frozen=True)
class Sizes:
    """How big each workload is; the quick profile only exercises the code."""

    records: int
    small_ints: int
    floats: int
    text_bytes: int
    blobs: int
    nesting: int
    version_pairs: int
    edited_cap: int
    big: int
    big_edits: int
    shuffled: tuple  # sizes of the reordered-blocks worst cases
    strings: int
    edit_counts: tuple = (1, 10, 100, 1000)
    objects: int = 100_000  # application objects encoded through a default hook


FULL = Sizes(
    records=10_000,
    small_ints=1_000_000,
    floats=1_000_000,
    text_bytes=1 << 20,
    blobs=2_000,
    nesting=500,
    version_pairs=3,
    edited_cap=4 << 20,
    big=64 << 20,
    big_edits=100,
    shuffled=(1 << 20, 4 << 20),
    strings=300_000,
)

QUICK = Sizes(
    records=200,
    small_ints=2_000,
    floats=2_000,
    text_bytes=16 << 10,
    blobs=20,
    nesting=500,
    version_pairs=1,
    edited_cap=64 << 10,
    big=256 << 10,
    big_edits=100,
    shuffled=(64 << 10, 256 << 10),
    strings=2_000,
    objects=2_000,
)


@dataclass
class CborWorkload:
    name: str
    value: object
    items: int  # Python objects in the value, the yardstick for throughput
    note: str = ""
    # Objects no format knows go through each encoder's default hook, which
    # calls this; decoders then give `expected` rather than the value.
    hook: object = None
    expected: object = None


# Delta workloads fall into classes that are reported apart: a mean over
# unlike inputs lets thousandfold wins on a few sparse edits hide the losses
# on real version pairs.
CLASSES = {
    "real": "real version pairs",
    "binaries": "compiled binaries",
    "synthetic": "synthetic sparse edits",
    "worst": "worst cases",
}

# The reordered-blocks worst case moves blocks of this size.
SHUFFLE_BLOCK = 4096


@dataclass
class DeltaWorkload:
    name: str
    cls: str  # a key of CLASSES
    old: bytes
    new: bytes
    note: str = ""
    edits: int | None = None  # set for the edit-count series
    base: str = ""  # which real file the edits were applied to
    tags: dict = field(default_factory=dict)


# ---------------------------------------------------------------- real material


def read_file(path, limit=None):
    """Reads a file, or returns None when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read() if limit is None else f.read(limit)
    except OSError:
        return None


def python_versions():
    """Maps 'X.Y' to the standard-library directory of each installed Python 3."""
    found = {}
    for d in glob.glob(PYENV_GLOB):
        ver = Path(d).name.removeprefix("python")
        try:
            key = tuple(int(p) for p in ver.split("."))
        except ValueError:
            continue
        found[key] = Path(d)
    return {".".join(map(str, k)): found[k] for k in sorted(found)}


def stdlib_dir():
    return Path(os.__file__).parent


def site_packages_library(cap):
    """Picks the largest shared library in site-packages no bigger than `cap`.

    Prefers libraries over a quarter of the cap so that the file is large
    enough to make the edit series meaningful."""
    roots = [p for p in sys.path if p.endswith("site-packages") and os.path.isdir(p)]
    best = None
    for root in roots:
        for path in glob.glob(os.path.join(root, "**", "*.so"), recursive=True):
            try:
                size = os.path.getsize(path)
            except OSError:
                continue
            if size <= cap and (best is None or size > best[0]):
                best = (size, path)
    return best[1] if best else None


def system_bytes(total):
    """Concatenates real files from the system's library directory up to `total` bytes."""
    out = bytearray()
    for path in sorted(glob.glob("/usr/lib/x86_64-linux-gnu/*")):
        if os.path.islink(path) or not os.path.isfile(path):
            continue
        data = read_file(path, total - len(out))
        if data:
            out += data
        if len(out) >= total:
            break
    if len(out) < total:
        out += random.Random(SEED).randbytes(total - len(out))
    return bytes(out)


def package_records():
    """Parses the package database into a list of dicts of its fields."""
    raw = read_file("/var/lib/dpkg/status")
    if not raw:
        return []
    records = []
    for stanza in raw.decode("utf-8", "replace").split("\n\n"):
        rec = {}
        key = None
        for line in stanza.splitlines():
            if line[:1] in (" ", "\t") and key:
                rec[key] += "\n" + line.strip()
            elif ":" in line:
                key, _, val = line.partition(":")
                rec[key] = val.strip()
        if rec.get("Package"):
            records.append(rec)
    return records


# --------------------------------------------------------------- edit scripts


def apply_edits(data: bytes, count: int, rng: random.Random) -> bytes:
    """Applies `count` random insertions, deletions and replacements.

    Each edit picks its kind uniformly and touches 1..MAX_EDIT_LEN bytes at a
    uniformly chosen position of the current text, so later edits may land in
    earlier ones, as real edits do."""
    out = bytearray(data)
    for _ in range(count):
        kind = rng.randrange(3)
        length = rng.randint(1, MAX_EDIT_LEN)
        pos = rng.randrange(len(out) + 1)
        if kind == 0 or not out:
            out[pos:pos] = rng.randbytes(length)
        elif kind == 1:
            del out[pos : pos + length]
        else:
            old = bytes(out[pos : pos + length])
            repl = rng.randbytes(len(old) or length)
            while repl == old:
                repl = rng.randbytes(len(repl))
            out[pos : pos + len(old)] = repl
    return bytes(out)


def block_move(data: bytes, rng: random.Random) -> bytes:
    """Cuts one block (MOVE_SHARE of the file) and reinserts it elsewhere."""
    size = min(len(data), max(MIN_MOVE, int(len(data) * MOVE_SHARE)))
    start = rng.randrange(len(data) - size + 1)
    block = data[start : start + size]
    rest = data[:start] + data[start + size :]
    dest = rng.randrange(len(rest) + 1)
    while dest == start and len(rest) > 0:
        dest = rng.randrange(len(rest) + 1)
    return rest[:dest] + block + rest[dest:]


def change_json_fields(doc: list, count: int, rng: random.Random):
    """Returns a copy of a list of flat dicts with `count` string fields changed."""
    changed = [dict(r) for r in doc]
    touched = set()
    while len(touched) < min(count, len(changed)):
        i = rng.randrange(len(changed))
        if i in touched:
            continue
        keys = sorted(k for k, v in changed[i].items() if isinstance(v, str))
        if not keys:
            continue
        key = rng.choice(keys)
        changed[i][key] = changed[i][key] + "+edited" + str(rng.randrange(1000))
        touched.add(i)
    return changed


# ------------------------------------------------------------ delta workloads


def version_pair_workloads(sizes: Sizes):
    versions = python_versions()
    names = list(versions)
    pairs = list(zip(names, names[1:]))[-sizes.version_pairs :]
    out = []
    for a, b in pairs:
        for module in VERSIONED_MODULES:
            old = read_file(versions[a] / module)
            new = read_file(versions[b] / module)
            if old is None or new is None:
                continue
            if sizes is QUICK:
                old, new = old[: sizes.edited_cap], new[: sizes.edited_cap]
            out.append(DeltaWorkload(f"{module} {a} to {b}", "real", old, new))
    return out


def binary_source(source):
    """The bytes of one shared object and where they came from, or (None, why)."""
    kind, release, member = source
    if kind == "pyenv":
        dirs = sorted(glob.glob(os.path.join(PYENV_ROOT, release + ".*")))
        found = sorted(glob.glob(os.path.join(dirs[-1], member))) if dirs else []
        if not found:
            return None, f"no {member} of Python {release} under {PYENV_ROOT}"
        return read_file(found[0]), found[0]
    wheels = sorted(w for d in WHEEL_DIRS for w in glob.glob(os.path.join(d, release + "-*.whl")))
    if not wheels:
        return None, f"no wheel {release} in {', '.join(WHEEL_DIRS)}"
    try:
        with zipfile.ZipFile(wheels[0]) as wheel:
            names = sorted(n for n in wheel.namelist() if fnmatch.fnmatch(n, member))
            if not names:
                return None, f"{wheels[0]} has no {member}"
            return wheel.read(names[0]), f"{os.path.basename(wheels[0])}:{names[0]}"
    except (OSError, zipfile.BadZipFile) as exc:
        return None, f"{wheels[0]}: {exc}"


def binary_pair_workloads(sizes: Sizes):
    """The compiled-binary pairs this machine has, and why any are missing.

    The quick profile takes the two smallest pairs, cut to its cap."""
    out, missing = [], []
    pairs = BINARY_PAIRS[:2] if sizes is QUICK else BINARY_PAIRS
    for name, old_source, new_source in pairs:
        (old, old_from), (new, new_from) = binary_source(old_source), binary_source(new_source)
        if old is None or new is None:
            missing.append(f"{name}: {old_from if old is None else new_from}")
            continue
        if sizes is QUICK:
            old, new = old[: sizes.edited_cap], new[: sizes.edited_cap]
        out.append(DeltaWorkload(name, "binaries", old, new, note=f"{old_from} to {new_from}"))
    return out, missing


def edit_series(name, base, data, sizes, rng):
    out = []
    for n in sizes.edit_counts:
        out.append(DeltaWorkload(f"{name}, {n} edits", "synthetic", data, apply_edits(data, n, rng), edits=n, base=name))
    out.append(DeltaWorkload(f"{name}, block move", "synthetic", data, block_move(data, rng), base=name))
    out[0].note = f"{base}, {len(data):,} bytes, under seeded edit scripts"
    return out


def edited_file_workloads(sizes: Sizes, rng):
    out = []
    src_path = stdlib_dir() / "_pydecimal.py"
    src = read_file(src_path)
    if src is None:
        src_path = Path(json.__file__)
        src = read_file(src_path)
    out += edit_series("stdlib source", str(src_path), src[: sizes.edited_cap], sizes, rng)

    lib_path = site_packages_library(sizes.edited_cap)
    lib = read_file(lib_path) if lib_path else None
    if lib is None:
        lib_path, lib = "(synthetic: no shared library found)", system_bytes(sizes.edited_cap)
    out += edit_series("shared library", str(lib_path), lib, sizes, rng)
    return out


def log_workload(sizes: Sizes):
    parts = [read_file(p) for p in ("/var/log/dpkg.log", "/var/log/apt/history.log")]
    log = b"".join(p for p in parts if p)
    note = "package manager logs"
    if len(log) < 4096:
        rng = random.Random(SEED)
        lines = [f"2026-01-01 00:{i // 60 % 60:02d}:{i % 60:02d} event {rng.randrange(10**6)}\n" for i in range(20000)]
        log, note = "".join(lines).encode(), "synthetic log (no system log found)"
    log = log[: max(4096, sizes.edited_cap // 4)]
    cut = log.rfind(b"\n", 0, int(len(log) / (1 + LOG_GROWTH))) + 1 or int(len(log) / (1 + LOG_GROWTH))
    return DeltaWorkload("append-only log, +1%", "synthetic", log[:cut], log, note=note)


def json_workload(sizes: Sizes, rng):
    records = package_records()
    note = "package database as JSON, 5 fields changed"
    if not records:
        records = [{"name": f"pkg{i}", "version": f"1.{i}", "size": str(i * 37)} for i in range(3000)]
        note = "synthetic records as JSON (no package database), 5 fields changed"
    limit = max(20, len(records) * min(1.0, sizes.edited_cap / (1 << 20)))
    records = records[: int(limit)]
    old = json.dumps(records, indent=2, ensure_ascii=False).encode()
    new = json.dumps(change_json_fields(records, 5, rng), indent=2, ensure_ascii=False).encode()
    return DeltaWorkload("JSON document, 5 fields changed", "synthetic", old, new, note=note)


def random_workload(sizes: Sizes, rng):
    n = min(1 << 20, sizes.edited_cap)
    return DeltaWorkload("random against random", "worst", rng.randbytes(n), rng.randbytes(n), note="nothing in common")


def big_workload(sizes: Sizes, rng):
    old = system_bytes(sizes.big)
    new = apply_edits(old, sizes.big_edits, rng)
    return DeltaWorkload(
        f"{size_label(sizes.big)} of system libraries, {sizes.big_edits} edits",
        "synthetic",
        old,
        new,
        note="files of /usr/lib/x86_64-linux-gnu, concatenated",
    )


def shuffle_blocks(data: bytes, rng: random.Random, block=SHUFFLE_BLOCK) -> bytes:
    """Returns `data` with its blocks in a random order (a trailing partial
    block takes part like the others)."""
    blocks = [data[i : i + block] for i in range(0, len(data), block)]
    order = list(range(len(blocks)))
    while len(order) > 1 and order == sorted(order):
        rng.shuffle(order)
    return b"".join(blocks[i] for i in order)


def size_label(n):
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB"


def shuffled_workloads(sizes: Sizes, rng):
    # Random content, so that every block is found only at its own old place:
    # the whole new value is in the old one, in another order.
    out = []
    for n in sizes.shuffled:
        old = rng.randbytes(n)
        out.append(
            DeltaWorkload(
                f"{size_label(n)} of shuffled {SHUFFLE_BLOCK >> 10} KiB blocks",
                "worst",
                old,
                shuffle_blocks(old, rng),
                note="seeded random bytes, then the same blocks in a random order",
            )
        )
    return out


def delta_workloads(sizes: Sizes, missing=None):
    """Every delta workload; what this machine lacks for one is appended to
    `missing`, one line per workload, when it is a list."""
    rng = random.Random(SEED)
    out = version_pair_workloads(sizes)
    binaries, lacking = binary_pair_workloads(sizes)
    out += binaries
    if missing is not None:
        missing += [f"compiled binaries, skipped {line}" for line in lacking]
    out += edited_file_workloads(sizes, rng)
    out += [log_workload(sizes), json_workload(sizes, rng)]
    worst = [random_workload(sizes, rng)]
    out.append(big_workload(sizes, rng))
    # The worst cases come last: a tool's time there says nothing about the
    # other classes.
    return out + worst + shuffled_workloads(sizes, rng)


# ------------------------------------------------------------- CBOR workloads


def count_items(value):
    """Counts the Python objects in a value: containers, keys and scalars."""
    stack, n = [value], 0
    while stack:
        v = stack.pop()
        n += 1
        if isinstance(v, (list, tuple)):
            stack.extend(v)
        elif isinstance(v, dict):
            stack.extend(v.keys())
            stack.extend(v.values())
    return n


def json_like_records(count, rng):
    """Records shaped like an API's JSON output, named after real packages."""
    names = [r["Package"] for r in package_records()] or [f"pkg{i}" for i in range(500)]
    out = []
    for i in range(count):
        name = names[i % len(names)]
        out.append(
            {
                "id": i,
                "name": name,
                "version": f"{rng.randrange(10)}.{rng.randrange(40)}.{rng.randrange(200)}",
                "size": rng.randrange(1 << 31),
                "score": rng.random() * 100,
                "active": rng.random() < 0.8,
                "parent": None if rng.random() < 0.5 else rng.randrange(count),
                "tags": [names[rng.randrange(len(names))] for _ in range(rng.randrange(5))],
                "owner": {"uid": rng.randrange(65536), "name": name.split("-")[0], "ratio": rng.random()},
                "history": [{"t": 1.7e9 + rng.random() * 1e7, "ok": rng.random() < 0.9} for _ in range(rng.randrange(3))],
            }
        )
    return out


def small_ints(count, rng):
    """Mostly one-byte and two-byte CBOR integers, some negative."""
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.5:
            out.append(rng.randrange(24))
        elif r < 0.8:
            out.append(rng.randrange(24, 65536))
        else:
            out.append(-rng.randrange(1, 65536))
    return out


def mixed_floats(count, rng):
    """A third each of values exact in half, single and only double precision."""
    out = []
    for i in range(count):
        k = i % 3
        if k == 0:
            out.append(rng.randrange(-2048, 2048) / 8)
        elif k == 1:
            out.append(struct.unpack("f", struct.pack("f", rng.uniform(-1e6, 1e6)))[0])
        else:
            out.append(rng.uniform(-1e9, 1e9))
    out[::997] = [-0.0] * len(out[::997])
    return out


def doubles(count, rng):
    """Measurements that need double precision, as sensors and models emit."""
    return [rng.uniform(-1e4, 1e4) for _ in range(count)]


def wide_ints(count, rng):
    """Integers spread over the whole 64-bit range: ids, hashes, timestamps."""
    return [rng.randrange(-(2**63), 2**64) for _ in range(count)]


def package_paths():
    """Installed file paths from the package database, one string each."""
    out = []
    for path in sorted(glob.glob("/var/lib/dpkg/info/*.list")):
        raw = read_file(path)
        if raw:
            out += raw.decode("utf-8", "replace").split()
    return out


def strings(count, rng):
    """Short and medium strings: file paths, package names, words in several
    scripts, the way string-keyed data looks."""
    paths = package_paths() or [f"/usr/lib/pkg{i}/file{i}.so" for i in range(1000)]
    names = [r["Package"] for r in package_records()] or [f"pkg{i}" for i in range(500)]
    out = []
    for i in range(count):
        k = i % 4
        if k == 0:
            out.append(paths[rng.randrange(len(paths))])
        elif k == 1:
            out.append(names[rng.randrange(len(names))])
        elif k == 2:
            out.append(" ".join(unicode_words(rng.randint(1, 4), rng)))
        else:
            out.append(f"{names[rng.randrange(len(names))]}-{rng.randrange(10)}.{rng.randrange(100)}")
    return out


def count_label(n):
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else f"{n // 1000}k" if n % 1000 == 0 else str(n)


def non_ascii_lines():
    """Lines holding non-ASCII text from the machine's package copyright files."""
    lines = []
    for path in sorted(glob.glob("/usr/share/doc/*/copyright")):
        raw = read_file(path)
        if not raw:
            continue
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            continue
        lines += [ln.strip() for ln in text.splitlines() if any(ord(c) > 127 for c in ln)]
    return lines


SCRIPTS = ((0x0391, 0x03C9), (0x0410, 0x044F), (0x05D0, 0x05EA), (0x0627, 0x064A), (0x4E00, 0x4FFF), (0x3041, 0x3096))


def unicode_words(count, rng):
    """Words in several scripts, drawn from the interpreter's Unicode database."""
    words = []
    for _ in range(count):
        lo, hi = SCRIPTS[rng.randrange(len(SCRIPTS))]
        chars = [chr(rng.randint(lo, hi)) for _ in range(rng.randint(2, 9))]
        words.append("".join(c for c in chars if unicodedata.category(c).startswith("L")) or chr(lo))
    return words


def text_document(target, rng):
    real = non_ascii_lines()
    sections, size = [], 0
    while size < target:
        paras = []
        for _ in range(rng.randint(2, 6)):
            if real and rng.random() < 0.5:
                para = " ".join(real[rng.randrange(len(real))] for _ in range(rng.randint(1, 4)))
            else:
                para = " ".join(unicode_words(rng.randint(10, 60), rng))
            paras.append(para)
            size += len(para.encode())
        sections.append({"heading": " ".join(unicode_words(3, rng)), "paragraphs": paras})
    return {"title": "Ελληνικά · Русский · 日本語 · العربية", "lang": ["el", "ru", "ja", "ar", "he", "zh"], "sections": sections}


def byte_blobs(count, rng):
    lib = system_bytes(4 << 20)
    out = []
    for _ in range(count):
        n = rng.randint(16, 8192)
        start = rng.randrange(len(lib) - n)
        out.append(lib[start : start + n])
    return out


def nested(depth):
    """A value nested `depth` containers deep, alternating lists and dicts."""
    value = {"leaf": [1, 2.5, "x", None, True]}  # two levels already
    for level in range(depth - 2):
        value = [level, value] if level % 2 else {"k": value, "n": level}
    return value


def typed_records(count, rng):
    """The JSON-like records with the types applications add: a datetime,
    a UUID, a Decimal price and a set of small ints."""
    start = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    records = json_like_records(count, rng)
    for record in records:
        record["at"] = start + datetime.timedelta(seconds=rng.randrange(10**8), microseconds=rng.randrange(10**6))
        record["uid"] = uuid.UUID(int=rng.getrandbits(128))
        record["price"] = decimal.Decimal(rng.randrange(10**7)).scaleb(-2)
        record["flags"] = {rng.randrange(64) for _ in range(rng.randrange(1, 6))}
    return records


class Reading:
    """An application's own class, which no encoder knows."""

    __slots__ = ("sensor", "value", "unit", "ok")

    def __init__(self, sensor, value, unit, ok):
        self.sensor, self.value, self.unit, self.ok = sensor, value, unit, ok


def reading_fields(reading):
    """The default hook every encoder is given for a Reading."""
    return {"sensor": reading.sensor, "value": reading.value, "unit": reading.unit, "ok": reading.ok}


def readings(count, rng):
    units = ["C", "hPa", "%", "lx"]
    return [Reading(rng.randrange(500), rng.random() * 100, rng.choice(units), rng.random() < 0.95) for _ in range(count)]


def cbor_workloads(sizes: Sizes):
    rng = random.Random(SEED)
    specs = [
        (f"{count_label(sizes.records)} JSON-like records", json_like_records(sizes.records, rng), ""),
        (f"{count_label(sizes.small_ints)} small ints", small_ints(sizes.small_ints, rng), ""),
        (f"{count_label(sizes.floats)} floats, mixed widths", mixed_floats(sizes.floats, rng), "finite values only"),
        ("text-heavy document", text_document(sizes.text_bytes, rng), "non-ASCII"),
        ("byte blobs", byte_blobs(sizes.blobs, rng), "16 B to 8 KiB each"),
        (f"nesting {sizes.nesting} deep", nested(sizes.nesting), ""),
        # Single-type lists: where per-item dispatch costs show most.
        (f"{count_label(sizes.floats)} doubles", doubles(sizes.floats, rng), "float-only, double precision"),
        (f"{count_label(sizes.small_ints)} 64-bit ints", wide_ints(sizes.small_ints, rng), "int-only, -2^63 to 2^64-1"),
        (f"{count_label(sizes.strings)} strings", strings(sizes.strings, rng), "string-heavy: paths, names, non-ASCII words"),
    ]
    typed = typed_records(sizes.records, rng)
    objects = readings(sizes.objects, rng)
    return [CborWorkload(name, value, count_items(value), note) for name, value, note in specs] + [
        CborWorkload(f"{count_label(sizes.records)} records with datetime, UUID, Decimal, set", typed,
                     count_items(typed) + 4 * len(typed), "tags 0, 37, 4, 258"),
        CborWorkload(f"{count_label(sizes.objects)} objects through default", objects, 9 * len(objects),
                     "each encoder's default hook returns a dict", hook=reading_fields,
                     expected=[reading_fields(r) for r in objects]),
    ]
