"""A first tour of tovarel_core: a delta between two versions of a real file,
and a CBOR document.  Runs with no arguments.

The two versions are a standard-library module as shipped by two installed
Python versions when there are such; otherwise the running interpreter's
copy and a synthetic edit of it.
"""

import pathlib
import sys
import time

from tovarel_core import cbor, delta

MODULE = "argparse.py"
NO_CHANGE = b"\xf6"


def version_of(path):
    """(3, 10) for .../lib/python3.10/difflib.py."""
    return tuple(int(part) for part in path.parent.name.removeprefix("python").split("."))


def two_versions():
    """Returns (description, old bytes, new bytes)."""
    current = pathlib.Path(sys.modules["pathlib"].__file__).parent / MODULE
    others = sorted(
        (version_of(path), path)
        for path in pathlib.Path(sys.base_prefix).parent.glob(f"3.*/lib/python3.*/{MODULE}")
        if version_of(path) < sys.version_info[:2]
    )
    if others:
        older = others[-1][1]
        return f"{older} -> {current}", older.read_bytes(), current.read_bytes()
    old = current.read_bytes()
    middle = len(old) // 2
    new = old[:middle] + b"\n# an edit in the middle\n" + old[middle:] + b"\n# and at the end\n"
    return f"{current} -> synthetic edit", old, new


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return result, (time.perf_counter() - start) * 1000


def show_delta():
    description, old, new = two_versions()
    print(f"delta: {description}")
    result, diff_ms = timed(delta.diff, old, new)
    encoded = bytes(result)
    # The no-change delta yields empty bytes when applied: whoever receives
    # it keeps the old value instead.
    if encoded == NO_CHANGE:
        rebuilt, patch_ms = old, 0.0
    else:
        patched, patch_ms = timed(delta.patch, old, encoded)
        rebuilt = bytes(patched)
    assert rebuilt == new, "the patched value differs from the new version"
    print(f"  old {len(old)} bytes, new {len(new)} bytes")
    print(f"  delta {len(encoded)} bytes ({100 * len(encoded) / max(len(new), 1):.1f}% of new)")
    print(f"  diff {diff_ms:.2f} ms, patch {patch_ms:.2f} ms, rebuilt value verified")

    # One holder reused for many comparisons avoids converting old each time.
    holder = delta.PythonInBuf(old)
    sizes = [len(bytes(delta.diff(holder, new[:cut]))) for cut in (len(new) // 4, len(new) // 2)]
    print(f"  deltas against prefixes of new, old held once: {sizes} bytes")


def show_cbor():
    document = {
        "name": "quickstart",
        "versions": [3, 11, 7],
        "ratio": 0.5,
        "flags": (True, False, None),
        "payload": b"\x00\x01\x02",
        "nested": {"depth": [[1], [2, [3]]]},
    }
    encoded, ms = timed(cbor.dumps, document)
    definite = cbor.dumps(document, indefinite=False)
    print("cbor:")
    print(f"  indefinite {len(encoded)} bytes, definite {len(definite)} bytes, {ms:.3f} ms")
    print(f"  definite: {definite.hex()}")
    try:
        cbor.dumps(document, max_depth=2)
    except RuntimeError as error:
        print(f"  with max_depth=2: {error}")


if __name__ == "__main__":
    show_delta()
    show_cbor()
