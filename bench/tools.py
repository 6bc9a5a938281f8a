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
INDEX = f"{OURS} (index)"
COMPACT = f"{OURS} (compact)"
PLAIN = f"{OURS} (plain path)"
ENCODER = f"{OURS} (Encoder)"

# A delta made of this single byte means "the values are equal": patching
# with it yields no bytes, and the caller keeps the old value.
NO_CHANGE = b"\xf6"

# The zstd peer is run the way its own command line makes patches: the old
# value is a *prefix* of the new one (not a dictionary, whose content a
# level's match finder mostly ignores beyond a few MiB), in a window that
# covers both values, with long-distance matching to find the old value's
# bytes across that window.
ZSTD_MIN_WINDOW_LOG = 10
ZSTD_MAX_WINDOW_LOG = 31
ZSTD_LEVELS = (3, 19)

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
    # hook -> an encode function that hands unknown objects to hook(obj),
    # which returns what to encode instead; None: the tool has no such hook.
    hooked: Callable | None = None
    # Writes maps in an order of its own (sorted keys): decoded maps are
    # compared by key, not by position.
    sorts_maps: bool = False

    def encoder(self, hook=None):
        return self.encode if hook is None else self.hooked(hook)

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


def same(a, b, maps_in_order=True):
    """Compares decoded values strictly: types must match, floats bit for bit.

    Plain == would accept 1 for 1.0 or 0.0 for -0.0, which are the mistakes
    an encoder is most likely to make.  Iterative, so deep nesting is fine.
    Without maps_in_order, a map's values are paired by key."""
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
            if not maps_in_order:
                if any(k not in y for k in x):
                    return False
                stack.extend((v, y[k]) for k, v in x.items())
                continue
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


def check_cbor(tool, value, hook=None, expected=None):
    """Round-trips `value` (encoded through `hook` when given, then decoded
    to `expected` when given); returns (status, reason, encoded)."""
    if hook is not None and tool.hooked is None:
        return "n/a", "no default hook", None
    try:
        encoded = tool.encoder(hook)(value)
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
    if not same(value if expected is None else expected, decoded, maps_in_order=not tool.sorts_maps):
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


def cbor2_backend(cbor2, fn="dumps"):
    """Says whether cbor2's `fn` is the C implementation or the Python fallback."""
    c_mod, _ = try_import("_cbor2")
    f = getattr(cbor2, fn)
    if c_mod is not None and f is getattr(c_mod, fn, None):
        return True, f"C backend: cbor2.{fn} is _cbor2.{fn}"
    module = getattr(f, "__module__", "?")
    if isinstance(f, types.BuiltinFunctionType):
        return True, f"C backend: cbor2.{fn} is a built-in function of {module}"
    return False, f"pure-Python backend ({module}); the C backend is not in use"


def depth_tolerant(loads):
    """`loads` with a depth limit that admits the deep-nesting workload, when
    it takes one (older releases have no limit to raise).  Without it, the
    round-trip check says whether the default admits the workload."""
    try:
        loads(b"\x80", max_depth=DECODE_MAX_DEPTH)
    except Exception:  # no such keyword, or a limit it will not take
        return loads
    return lambda b, _l=loads: _l(b, max_depth=DECODE_MAX_DEPTH)


def cbor2_decoder(cbor2):
    return depth_tolerant(cbor2.loads)


def peer_codecs(decode):
    """cbor2, msgpack and orjson as encoder-decoder pairs."""
    tools = []
    cbor2, why = try_import("cbor2")
    t = Tool("cbor2", "cbor", "cbor2", dist_version("cbor2"))
    if cbor2 is None:
        t.status = f"missing ({why})"
    else:
        t.note = cbor2_backend(cbor2)[1]
        t.encode, t.decode = cbor2.dumps, decode
        t.hooked = lambda hook, _d=cbor2.dumps: lambda v: _d(v, default=lambda e, o: e.encode(hook(o)))
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
        t.hooked = lambda hook, _p=msgpack.packb: lambda v: _p(v, default=hook)
        t.unsupported = (TypeError,)  # a type MessagePack has no form for
    tools.append(t)

    orjson, why = try_import("orjson")
    t = Tool("orjson", "cbor", "orjson", dist_version("orjson"))
    if orjson is None:
        t.status = f"missing ({why})"
    else:
        t.note = "JSON, a speed reference; cannot encode bytes, integers beyond 64 bits or deep nesting"
        t.encode, t.decode = orjson.dumps, orjson.loads
        t.hooked = lambda hook, _d=orjson.dumps: lambda v: _d(v, default=hook)
        t.unsupported = (orjson.JSONEncodeError,)
    tools.append(t)
    return tools


def cbor_tools():
    tools = []
    ours, why = try_import(OURS)
    cbor2, _ = try_import("cbor2")
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
            t.unsupported = (TypeError, RuntimeError)  # dumps' refusals of types it has no form for
        tools.append(t)

    # The Encoder with its defaults: dumps(value, indefinite=False)'s bytes,
    # and the types dumps has no form for.
    t = Tool(ENCODER, "cbor", OURS, dist_version(OURS), ours=True, note="cbor.Encoder().encode", decode=decode)
    encoder = getattr(ours.cbor, "Encoder", None) if ours else None
    if encoder is None:
        t.status = f"missing ({why if ours is None else 'this build has no cbor.Encoder'})"
    else:
        t.encode = encoder().encode
        t.hooked = lambda hook, _e=encoder: _e(default=hook).encode
    tools.append(t)

    # The encoder without its fast path, when the build keeps it: both must
    # write the same bytes, and the pair shows what the fast path gains.
    t = Tool(PLAIN, "cbor", OURS, dist_version(OURS), ours=True, note="cbor._dumps_plain, defaults", decode=decode)
    plain = getattr(ours.cbor, "_dumps_plain", None) if ours else None
    if plain is None:
        t.status = f"missing ({why if ours is None else 'this build has no cbor._dumps_plain'})"
    else:
        t.encode = lambda v, _p=plain: _p(v, indefinite=True, max_depth=0)
    tools.append(t)
    return [self_check(t) for t in tools + peer_codecs(decode)]


def cbor_decoders():
    """Decoders, each fed its own format's encoding of the workload: ours
    reads our definite-length CBOR."""
    ours, why = try_import(OURS)
    cbor2, _ = try_import("cbor2")
    t = Tool(OURS, "cbor", OURS, dist_version(OURS), ours=True, note="cbor.loads of dumps(value, indefinite=False)")
    loads = getattr(ours.cbor, "loads", None) if ours else None
    if loads is None:
        t.status = f"missing ({why if ours is None else 'this build has no cbor.loads'})"
    else:
        encoder = getattr(ours.cbor, "Encoder", None)
        if encoder is None:
            t.encode = lambda v, _d=ours.cbor.dumps: _d(v, indefinite=False)
        else:  # the same bytes where dumps can encode the value at all
            t.encode = encoder().encode
            t.hooked = lambda hook, _e=encoder: _e(default=hook).encode
        t.decode = depth_tolerant(loads)
    peers = peer_codecs(cbor2_decoder(cbor2) if cbor2 else None)
    for p in peers:
        if p.name == "cbor2" and cbor2 is not None:
            p.note = cbor2_backend(cbor2, "loads")[1]
    return [self_check(x) for x in [t] + peers]


# ----------------------------------------------------------------- delta side


def zstd_window_log(old, new):
    need = max(1, len(old) + len(new) - 1).bit_length()
    return min(ZSTD_MAX_WINDOW_LOG, max(ZSTD_MIN_WINDOW_LOG, need))


def zstd_coder(pyzstd, level):
    """Patch-from: the new value compressed with the old one as its prefix."""
    C, D = pyzstd.CParameter, pyzstd.DParameter

    def diff(old, new):
        options = {
            C.compressionLevel: level,
            C.windowLog: zstd_window_log(old, new),
            C.enableLongDistanceMatching: 1,
        }
        return pyzstd.compress(new, options, pyzstd.ZstdDict(old, is_raw=True).as_prefix)

    def patch(old, delta):
        # The frame names its window; the decoder only has to be allowed it.
        options = {D.windowLogMax: ZSTD_MAX_WINDOW_LOG}
        return pyzstd.decompress(delta, pyzstd.ZstdDict(old, is_raw=True).as_prefix, options)

    return diff, patch


def index_differ(ours, **settings):
    """The copy-from-anywhere method when this build has it, else None and why."""
    differ = getattr(ours.delta, "Differ", None)
    if differ is None:
        return None, "this build has no delta.Differ"
    try:
        return differ(method="index", **settings), ""
    except Exception as exc:  # an older Differ refuses the keyword or the value
        shown = "".join(f", {k}={v!r}" for k, v in settings.items())
        return None, f"delta.Differ(method=\"index\"{shown}) raised {type(exc).__name__}: {exc}"


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

    t = Tool(INDEX, "delta", OURS, dist_version(OURS), ours=True, note='delta.Differ(method="index").diff, applied by delta.patch')
    if ours is None:
        t.status = f"missing ({why})"
    else:
        differ, why_not = index_differ(ours)
        if differ is None:
            t.status = f"missing ({why_not})"
        else:
            t.diff = lambda o, n, _f=differ.diff: bytes(_f(o, n))
            t.patch = lambda o, d, _f=ours.delta.patch: bytes(_f(o, d))
    tools.append(t)

    t = Tool(COMPACT, "delta", OURS, dist_version(OURS), ours=True, note='delta.Differ(method="index", compact=True).diff, applied by delta.patch')
    if ours is None:
        t.status = f"missing ({why})"
    else:
        differ, why_not = index_differ(ours, compact=True)
        if differ is None:
            t.status = f"missing ({why_not})"
        else:
            t.diff = lambda o, n, _f=differ.diff: bytes(_f(o, n))
            t.patch = lambda o, d, _f=ours.delta.patch: bytes(_f(o, d))
    tools.append(t)

    bsdiff4, why = try_import("bsdiff4")
    t = Tool("bsdiff4", "delta", "bsdiff4", dist_version("bsdiff4"))
    if bsdiff4 is None:
        t.status = f"missing ({why})"
    else:
        t.diff, t.patch = bsdiff4.diff, bsdiff4.patch
    tools.append(t)

    pyzstd, why = try_import("pyzstd")
    for level in ZSTD_LEVELS:
        t = Tool(f"zstd-{level}", "delta", "pyzstd", dist_version("pyzstd"))
        if pyzstd is None:
            t.status = f"missing ({why})"
        else:
            t.note = (
                f"patch-from at level {level}: old value as prefix, window over old + new, "
                f"long-distance matching; libzstd {pyzstd.zstd_version}"
            )
            t.diff, t.patch = zstd_coder(pyzstd, level)
        tools.append(t)

    xdelta3, why = try_import("xdelta3")
    t = Tool("xdelta3", "delta", "xdelta3", dist_version("xdelta3"))
    if xdelta3 is None:
        t.status = f"missing ({why})"
    else:
        t.diff, t.patch = xdelta3.encode, xdelta3.decode
    tools.append(t)
    return [self_check(t) for t in tools]


def packer():
    """zstd -19 on its own, as a transport would compress a delta; or None."""
    pyzstd, _ = try_import("pyzstd")
    return None if pyzstd is None else (lambda data: pyzstd.compress(data, 19))
