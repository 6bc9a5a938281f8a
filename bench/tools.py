"""The encoders and delta coders under test, each behind one small adapter.

Every tool is loaded defensively: a package that is missing, or that cannot
round-trip a small sample of its own output, is kept in the list with a
status that says why, so the report can name it instead of silently leaving
it out.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import struct
import types
from dataclasses import dataclass
from typing import Callable

OURS = "tovarel_core"

# A delta made of this single byte means "the values are equal": patching
# with it yields no bytes, and the caller keeps the old value.
NO_CHANGE = b"\xf6"

# zstd frames need a window that spans the dictionary and the new value for
# patch-from to reach back into the old value.  Windows above the default
# decoder limit (2^27) also turn on long-distance matching, because the
# level's own match finder cannot search that far.
ZSTD_MIN_WINDOW_LOG = 10
ZSTD_MAX_WINDOW_LOG = 31
ZSTD_LDM_WINDOW_LOG = 27

# cbor2's decoder refuses nesting beyond a few hundred levels by default;
# verifying the deep-nesting workload needs more.
DECODE_MAX_DEPTH = 10_000

SAMPLE_VALUE = {"id": 7, "name": "sample", "ratio": 0.1, "half": 1.5, "ok": True, "none": None, "list": [1, -2, [3]]}
SAMPLE_OLD = b"the quick brown fox jumps over the lazy dog\n" * 64
SAMPLE_NEW = SAMPLE_OLD[:700] + b"a small insertion" + SAMPLE_OLD[720:]


@dataclass
class Tool:
    name: str
    kind: str  # "cbor" or "delta"
    dist: str  # distribution whose version is reported
    version: str = "-"
    status: str = "ok"
    note: str = ""
    ours: bool = False
    encode: Callable | None = None
    decode: Callable | None = None
    diff: Callable | None = None
    patch: Callable | None = None
    # Exceptions meaning "this format cannot represent the workload".
    unsupported: tuple = ()

    @property
    def usable(self):
        return self.status == "ok"


def dist_version(dist):
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "-"


def try_import(name):
    """Imports a module, returning (module, None) or (None, reason)."""
    try:
        return importlib.import_module(name), None
    except Exception as exc:  # a broken build raises more than ImportError
        return None, f"{type(exc).__name__}: {exc}"


def same(a, b):
    """Compares decoded values strictly: types must match, floats bit for bit.

    Plain == would accept 1 for 1.0 or 0.0 for -0.0, which are the mistakes
    an encoder is most likely to make.  Iterative, so deep nesting is fine."""
    stack = [(a, b)]
    while stack:
        x, y = stack.pop()
        if type(x) is not type(y):
            return False
        if type(x) is float:
            if struct.pack("<d", x) != struct.pack("<d", y):
                return False
        elif type(x) in (list, tuple):
            if len(x) != len(y):
                return False
            stack.extend(zip(x, y))
        elif type(x) is dict:
            if len(x) != len(y):
                return False
            for (k1, v1), (k2, v2) in zip(x.items(), y.items()):
                stack.append((k1, k2))
                stack.append((v1, v2))
        elif x != y:
            return False
    return True


def rebuild(tool, old, delta):
    """Rebuilds the new value from a delta, honouring the no-change delta."""
    if tool.ours and delta == NO_CHANGE:
        return old
    return tool.patch(old, delta)


def check_cbor(tool, value):
    """Round-trips `value`; returns (status, reason, encoded)."""
    try:
        encoded = tool.encode(value)
    except tool.unsupported as exc:
        return "n/a", f"{type(exc).__name__}: {exc}", None
    except Exception as exc:
        return "failed", f"encode raised {type(exc).__name__}: {exc}", None
    if tool.decode is None:
        return "ok", "unchecked: no decoder available", encoded
    try:
        decoded = tool.decode(encoded)
    except Exception as exc:
        return "failed", f"decoding its output raised {type(exc).__name__}: {exc}", encoded
    if not same(value, decoded):
        return "failed", "decoded value differs from the input", encoded
    return "ok", "", encoded


def check_delta(tool, old, new):
    """Round-trips one pair; returns (status, reason, delta)."""
    try:
        delta = tool.diff(old, new)
    except Exception as exc:
        return "failed", f"diff raised {type(exc).__name__}: {exc}", None
    if tool.ours and delta == NO_CHANGE and old != new:
        return "failed", "reported no change for values that differ", delta
    try:
        rebuilt = rebuild(tool, old, delta)
    except Exception as exc:
        return "failed", f"patch raised {type(exc).__name__}: {exc}", delta
    if rebuilt != new:
        return "failed", "patch did not rebuild the new value", delta
    return "ok", "", delta


def self_check(tool):
    """Marks a tool failed when it cannot round-trip a small sample."""
    if not tool.usable:
        return tool
    if tool.kind == "cbor":
        status, reason, _ = check_cbor(tool, SAMPLE_VALUE)
    else:
        status, reason, _ = check_delta(tool, SAMPLE_OLD, SAMPLE_NEW)
    if status != "ok":
        tool.status = f"failed its round-trip check ({reason})"
    return tool


# ------------------------------------------------------------------ CBOR side


def cbor2_backend(cbor2):
    """Says whether cbor2.dumps is the C implementation or the Python fallback."""
    c_mod, _ = try_import("_cbor2")
    if c_mod is not None and cbor2.dumps is getattr(c_mod, "dumps", None):
        return True, "C backend: cbor2.dumps is _cbor2.dumps"
    module = getattr(cbor2.dumps, "__module__", "?")
    if isinstance(cbor2.dumps, types.BuiltinFunctionType):
        return True, f"C backend: cbor2.dumps is a built-in function of {module}"
    return False, f"pure-Python backend ({module}); the C backend is not in use"


def cbor2_decoder(cbor2):
    """cbor2.loads with a depth limit that admits the deep-nesting workload."""
    try:
        cbor2.loads(b"\x80", max_depth=DECODE_MAX_DEPTH)
    except TypeError:  # older releases have no limit to raise
        return cbor2.loads
    return lambda b: cbor2.loads(b, max_depth=DECODE_MAX_DEPTH)


def cbor_tools():
    tools = []
    ours, why = try_import(OURS)
    cbor2, why2 = try_import("cbor2")
    decode = cbor2_decoder(cbor2) if cbor2 else None

    for name, kwargs, note in (
        (OURS, {}, "defaults: indefinite-length containers"),
        (f"{OURS} (definite)", {"indefinite": False}, "indefinite=False, as the peers frame containers"),
    ):
        t = Tool(name, "cbor", OURS, dist_version(OURS), ours=True, note=note, decode=decode)
        if ours is None:
            t.status = f"missing ({why})"
        else:
            dumps = ours.cbor.dumps
            t.encode = (lambda v, _d=dumps, _k=kwargs: _d(v, **_k)) if kwargs else dumps
        tools.append(t)

    t = Tool("cbor2", "cbor", "cbor2", dist_version("cbor2"))
    if cbor2 is None:
        t.status = f"missing ({why2})"
    else:
        is_c, t.note = cbor2_backend(cbor2)
        t.encode, t.decode = cbor2.dumps, decode
    tools.append(t)

    msgpack, why = try_import("msgpack")
    t = Tool("msgpack", "cbor", "msgpack", dist_version("msgpack"))
    if msgpack is None:
        t.status = f"missing ({why})"
    else:
        backend = getattr(msgpack.Packer, "__module__", "?")
        t.note = "MessagePack, a speed reference; " + ("C extension" if "cmsgpack" in backend else f"backend {backend}")
        t.encode = msgpack.packb
        t.decode = lambda b, _u=msgpack.unpackb: _u(b, raw=False, strict_map_key=False)
    tools.append(t)

    orjson, why = try_import("orjson")
    t = Tool("orjson", "cbor", "orjson", dist_version("orjson"))
    if orjson is None:
        t.status = f"missing ({why})"
    else:
        t.note = "JSON, a speed reference; cannot encode bytes, integers beyond 64 bits or deep nesting"
        t.encode, t.decode = orjson.dumps, orjson.loads
        t.unsupported = (orjson.JSONEncodeError,)
    tools.append(t)
    return [self_check(t) for t in tools]


# ----------------------------------------------------------------- delta side


def zstd_window_log(old, new):
    need = max(1, len(old) + len(new) - 1).bit_length()
    return min(ZSTD_MAX_WINDOW_LOG, max(ZSTD_MIN_WINDOW_LOG, need))


def zstd_coder(zstandard, level):
    """Patch-from: the old value is a raw-content dictionary for the new one."""

    def diff(old, new):
        wlog = zstd_window_log(old, new)
        params = zstandard.ZstdCompressionParameters.from_level(
            level,
            source_size=len(new),
            dict_size=len(old),
            window_log=wlog,
            enable_ldm=wlog > ZSTD_LDM_WINDOW_LOG,
        )
        d = zstandard.ZstdCompressionDict(old, dict_type=zstandard.DICT_TYPE_RAWCONTENT)
        return zstandard.ZstdCompressor(dict_data=d, compression_params=params).compress(new)

    def patch(old, delta):
        window = zstandard.get_frame_parameters(delta).window_size
        d = zstandard.ZstdCompressionDict(old, dict_type=zstandard.DICT_TYPE_RAWCONTENT)
        return zstandard.ZstdDecompressor(dict_data=d, max_window_size=max(window, 1 << ZSTD_LDM_WINDOW_LOG)).decompress(delta)

    return diff, patch


def delta_tools():
    tools = []
    ours, why = try_import(OURS)
    t = Tool(OURS, "delta", OURS, dist_version(OURS), ours=True, note="delta.diff / delta.patch, results copied with bytes()")
    if ours is None:
        t.status = f"missing ({why})"
    else:
        t.diff = lambda o, n, _f=ours.delta.diff: bytes(_f(o, n))
        t.patch = lambda o, d, _f=ours.delta.patch: bytes(_f(o, d))
    tools.append(t)

    bsdiff4, why = try_import("bsdiff4")
    t = Tool("bsdiff4", "delta", "bsdiff4", dist_version("bsdiff4"))
    if bsdiff4 is None:
        t.status = f"missing ({why})"
    else:
        t.diff, t.patch = bsdiff4.diff, bsdiff4.patch
    tools.append(t)

    zstandard, why = try_import("zstandard")
    for level in (3, 19):
        t = Tool(f"zstd-{level}", "delta", "zstandard", dist_version("zstandard"))
        if zstandard is None:
            t.status = f"missing ({why})"
        else:
            t.note = f"patch-from at level {level}, libzstd {zstandard.ZSTD_VERSION[0]}.{zstandard.ZSTD_VERSION[1]}.{zstandard.ZSTD_VERSION[2]}"
            t.diff, t.patch = zstd_coder(zstandard, level)
        tools.append(t)

    xdelta3, why = try_import("xdelta3")
    t = Tool("xdelta3", "delta", "xdelta3", dist_version("xdelta3"))
    if xdelta3 is None:
        t.status = f"missing ({why})"
    else:
        t.diff, t.patch = xdelta3.encode, xdelta3.decode
    tools.append(t)
    return [self_check(t) for t in tools]
