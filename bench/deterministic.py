"""Deterministic encodings: our Encoder's two key orders against the peers'
sorted forms, orjson's OPT_SORT_KEYS and cbor2's canonical=True, timed in
their own interleaved run on the workloads made of maps."""

from __future__ import annotations

import report
import tools as toolmod

CORE = f"{toolmod.OURS} (Encoder core)"
LENGTH_FIRST = f"{toolmod.OURS} (Encoder length_first)"
OURS = (CORE, LENGTH_FIRST)

# Workloads whose maps make the order matter; on the others the sorted
# forms are the plain ones.
WORKLOADS = ("JSON-like", "text-heavy", "records with")


def select(wls):
    return [wl for wl in wls if any(w in wl.name for w in WORKLOADS)]


def tools():
    ours, why = toolmod.try_import(toolmod.OURS)
    cbor2, _ = toolmod.try_import("cbor2")
    decode = toolmod.cbor2_decoder(cbor2) if cbor2 else None
    found = []
    for name, mode in ((CORE, "core"), (LENGTH_FIRST, "length_first")):
        t = toolmod.Tool(name, "cbor", toolmod.OURS, toolmod.dist_version(toolmod.OURS), ours=True,
                         note=f'cbor.Encoder(deterministic="{mode}").encode', decode=decode, sorts_maps=True)
        encoder = getattr(ours.cbor, "Encoder", None) if ours else None
        if encoder is None:
            t.status = f"missing ({why if ours is None else 'this build has no cbor.Encoder'})"
        else:
            t.encode = encoder(deterministic=mode).encode
            t.hooked = lambda hook, _e=encoder, _m=mode: _e(default=hook, deterministic=_m).encode
        found.append(t)

    t = toolmod.Tool("orjson (sorted keys)", "cbor", "orjson", toolmod.dist_version("orjson"), sorts_maps=True)
    orjson, why = toolmod.try_import("orjson")
    if orjson is None:
        t.status = f"missing ({why})"
    else:
        t.note = "orjson.dumps(option=OPT_SORT_KEYS): string keys only"
        t.encode = lambda v, _d=orjson.dumps, _o=orjson.OPT_SORT_KEYS: _d(v, option=_o)
        t.decode = orjson.loads
        t.unsupported = (orjson.JSONEncodeError,)
    found.append(t)

    t = toolmod.Tool("cbor2 (canonical)", "cbor", "cbor2", toolmod.dist_version("cbor2"), sorts_maps=True)
    if cbor2 is None:
        t.status = "missing (cbor2)"
    else:
        t.note = "cbor2.dumps(canonical=True): length-first key order"
        t.encode = lambda v, _d=cbor2.dumps: _d(v, canonical=True)
        t.decode = decode
    found.append(t)
    return [toolmod.self_check(t) for t in found]


def section(results, det_tools, items):
    """The times, then each of our orders against each peer."""
    if not results:
        return ["Not measured (no map workload selected)."]
    peers = [t.name for t in det_tools if not t.ours]
    md = [report.cbor_section(results, det_tools, items), ""]
    for ours in OURS:
        md += [f"{ours} against each peer:", "", report.cbor_ratio_section(results, ours, peers, sizes=False), ""]
    return md
