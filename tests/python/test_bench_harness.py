"""The benchmark harness's own logic: checks, edit scripts, timing, verdicts.

A harness that accepts a wrong round trip, mislabels who wins, or times calls
in the wrong order produces a confident report that is false, so these are
tested without any peer installed."""

import random
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import report  # noqa: E402
import timing  # noqa: E402
import tools  # noqa: E402
import workloads  # noqa: E402


def deep(n):
    v = []
    for _ in range(n):
        v = [v]
    return v


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 2.5, "x", b"y", None, True], [1, 2.5, "x", b"y", None, True], True),
        (1.0, 1, False),  # an encoder that writes whole floats as ints
        (-0.0, 0.0, False),  # or that drops the sign of zero
        (True, 1, False),
        ({"a": 1, "b": 2}, {"a": 1, "b": 3}, False),
        ({"a": 1}, {"b": 1}, False),
        ([1, 2], [1, 2, 3], False),
        ("é", "e", False),
        (deep(5000), deep(5000), True),  # deeper than the interpreter's recursion limit
        (deep(5000), deep(4999), False),
    ],
)
def test_same_is_strict(a, b, expected):
    assert tools.same(a, b) is expected


def cbor_tool(encode, decode, unsupported=()):
    return tools.Tool("fake", "cbor", "fake", encode=encode, decode=decode, unsupported=unsupported)


class Unrepresentable(TypeError):
    pass


def refuse(_):
    raise Unrepresentable("bytes")


def crash(_):
    raise ValueError("boom")


@pytest.mark.parametrize(
    "tool, status",
    [
        (cbor_tool(lambda v: v, lambda v: v), "ok"),
        (cbor_tool(lambda v: v, lambda v: [int(x) for x in v]), "failed"),  # lost float type
        (cbor_tool(refuse, lambda v: v, (Unrepresentable,)), "n/a"),
        (cbor_tool(refuse, lambda v: v), "failed"),  # not declared unsupported: a real failure
        (cbor_tool(crash, lambda v: v, (Unrepresentable,)), "failed"),
        (cbor_tool(lambda v: v, crash), "failed"),
    ],
)
def test_check_cbor_verdicts(tool, status):
    assert tools.check_cbor(tool, [1.0, 2.5])[0] == status


def delta_tool(diff, patch, ours=False):
    return tools.Tool("fake", "delta", "fake", ours=ours, diff=diff, patch=patch)


def honest_diff(old, new):
    return new


def honest_patch(old, delta):
    return delta


@pytest.mark.parametrize(
    "tool, old, new, status",
    [
        (delta_tool(honest_diff, honest_patch), b"abc", b"abd", "ok"),
        (delta_tool(honest_diff, lambda o, d: d[:-1]), b"abc", b"abd", "failed"),
        # The no-change delta from ours means "keep the old value" ...
        (delta_tool(lambda o, n: tools.NO_CHANGE, lambda o, d: b"", ours=True), b"same", b"same", "ok"),
        # ... and is a lie when the values differ.
        (delta_tool(lambda o, n: tools.NO_CHANGE, lambda o, d: b"", ours=True), b"same", b"diff", "failed"),
        # A peer gets no such allowance: its own patch must rebuild the value.
        (delta_tool(lambda o, n: tools.NO_CHANGE, lambda o, d: b"", ours=False), b"same", b"same", "failed"),
        (delta_tool(crash, honest_patch), b"a", b"b", "failed"),
        (delta_tool(honest_diff, lambda o, d: crash(d)), b"a", b"b", "failed"),
    ],
)
def test_check_delta_verdicts(tool, old, new, status):
    assert tools.check_delta(tool, old, new)[0] == status


def test_self_check_marks_a_broken_tool_and_keeps_a_missing_one():
    broken = tools.self_check(delta_tool(honest_diff, lambda o, d: b"wrong"))
    assert not broken.usable and "round-trip" in broken.status
    missing = tools.Tool("gone", "delta", "gone", status="missing (ImportError)")
    assert tools.self_check(missing).status == "missing (ImportError)"


BASE = bytes(range(256)) * 64


@pytest.mark.parametrize("count", [0, 1, 10, 100, 1000])
def test_edit_scripts_are_bounded_and_reproducible(count):
    a = workloads.apply_edits(BASE, count, random.Random(1))
    b = workloads.apply_edits(BASE, count, random.Random(1))
    assert a == b
    assert abs(len(a) - len(BASE)) <= count * workloads.MAX_EDIT_LEN
    assert (a == BASE) is (count == 0)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_block_move_only_moves_bytes(seed):
    moved = workloads.block_move(BASE, random.Random(seed))
    assert len(moved) == len(BASE) and moved != BASE
    assert sorted(moved) == sorted(BASE)


@pytest.mark.parametrize("size, block", [(64 << 10, 4096), (10_000, 4096), (8192, 4096)])
def test_shuffled_blocks_are_the_same_blocks_in_another_order(size, block):
    data = random.Random(2).randbytes(size)
    moved = workloads.shuffle_blocks(data, random.Random(3), block)
    cut = lambda b: sorted(b[i : i + block] for i in range(0, len(b), block))  # noqa: E731
    assert moved != data and len(moved) == len(data)
    assert moved == workloads.shuffle_blocks(data, random.Random(3), block)
    if size % block == 0:
        assert cut(moved) == cut(data)


def test_changed_json_fields_touch_exactly_that_many_records():
    records = [{"name": f"p{i}", "version": "1.0", "n": i} for i in range(50)]
    original = [dict(r) for r in records]
    changed = workloads.change_json_fields(records, 5, random.Random(4))
    assert records == original  # the input is left alone
    assert sum(a != b for a, b in zip(records, changed)) == 5
    assert all(a["n"] == b["n"] for a, b in zip(records, changed))


@pytest.mark.parametrize("depth", [2, 3, 500])
def test_nested_value_has_the_named_depth(depth):
    def levels(v):
        n = 0
        while isinstance(v, (list, dict)):
            n += 1
            inner = [x for x in (v.values() if isinstance(v, dict) else v) if isinstance(x, (list, dict))]
            v = inner[0] if inner else None
        return n

    assert levels(workloads.nested(depth)) == depth


class FakeClock:
    """Advances by each called function's declared cost."""

    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def make_case(key, cost, clock, log, first=None):
    def fn():
        log.append(key)
        clock.now += cost

    return timing.Case(key, fn, first)


def test_measure_interleaves_tools_within_each_repeat():
    clock, log = FakeClock(), []
    cases = [make_case("ours", 1.0, clock, log), make_case("peer", 2.0, clock, log)]
    res = timing.measure(cases, 3, clock=clock)
    assert log == ["ours", "peer"] + ["ours", "peer"] * 3  # warm-ups, then interleaved
    assert res["ours"].median == 1.0 and res["peer"].median == 2.0
    assert res["ours"].runs == 3


def test_measure_caps_a_long_call_at_its_first_run():
    clock, log = FakeClock(), []
    long = timing.LONG_CALL + 1
    cases = [make_case("slow", long, clock, log, first=long), make_case("fast", 0.5, clock, log)]
    res = timing.measure(cases, 4, clock=clock)
    assert "slow" not in log
    assert res["slow"].capped and res["slow"].runs == 1 and res["slow"].median == long
    assert not res["fast"].capped and res["fast"].runs == 4


@pytest.mark.parametrize(
    "seconds, loops",
    [(1.0, 1), (timing.MIN_SAMPLE, 1), (timing.MIN_SAMPLE / 10, 10), (0.0, timing.MAX_LOOPS), (1e-12, timing.MAX_LOOPS)],
)
def test_loops_make_samples_long_enough(seconds, loops):
    assert timing.loops_for(seconds) == loops


def res(t):
    r = timing.Result()
    r.samples = [t]
    return r


def delta_cell(size, diff, patch):
    return report.Cell("ok", "", size, diff=res(diff), patch=res(patch))


def test_delta_ratios_and_losses_point_the_right_way():
    results = {
        "small edit": {"ours": delta_cell(100, 1.0, 1.0), "peer": delta_cell(50, 2.0, 0.5)},
        "big edit": {"ours": delta_cell(100, 1.0, 1.0), "peer": delta_cell(200, 0.5, 2.0)},
        "peer failed": {"ours": delta_cell(100, 1.0, 1.0), "peer": report.Cell("failed", "x")},
    }
    size, diff, patch = report.delta_ratios(results["small edit"], "ours", "peer")
    assert (size, diff, patch) == (2.0, 2.0, 0.5)  # bigger delta, faster diff, slower patch
    assert report.delta_ratios(results["peer failed"], "ours", "peer") == (None, None, None)
    lines = "\n".join(report.losses(results, "ours", ["peer"], "delta"))
    assert "delta size**: peer is better on 1 of 2 workloads — small edit (2.00×)" in lines
    assert "diff speed**: peer is better on 1 of 2 workloads — big edit (2.00×)" in lines
    assert "patch speed**: peer is better on 1 of 2 workloads — small edit (2.00×)" in lines


def test_cbor_losses_count_only_compared_workloads():
    def cell(t):
        return report.Cell("ok", "", 10, encode=res(t))

    results = {
        "ints": {"ours": cell(1.0), "peer": cell(0.25)},
        "blobs": {"ours": cell(1.0), "peer": report.Cell("n/a", "bytes")},
        "floats": {"ours": cell(1.0), "peer": cell(3.0)},
    }
    assert report.losses(results, "ours", ["peer"], "cbor") == [
        "- **peer, encode speed**: peer is better on 1 of 2 workloads — ints (4.00×)"
    ]


@pytest.mark.parametrize("values, expected", [([2.0, 8.0], 4.0), ([None, 3.0], 3.0), ([], None), ([None], None)])
def test_geomean_ignores_missing_ratios(values, expected):
    got = report.geomean(values)
    assert got == pytest.approx(expected) if expected else got is None


def test_zstd_peer_finds_the_old_value_as_its_command_line_does():
    # Loaded as a dictionary, the old value stops being found beyond a few
    # MiB and the peer's "delta" becomes most of the new value; the command
    # line's --patch-from is the reference for how zstd is meant to be run.
    pyzstd = pytest.importorskip("pyzstd")
    if shutil.which("zstd") is None:
        pytest.fail("the zstd command line is missing (scripts/ensure_deps.sh installs it)")
    old = workloads.system_bytes(16 << 20)
    new = workloads.apply_edits(old, 100, random.Random(6))
    diff, patch = tools.zstd_coder(pyzstd, 3)
    delta = diff(old, new)
    assert patch(old, delta) == new
    with tempfile.TemporaryDirectory() as d:
        o, n = Path(d, "old"), Path(d, "new")
        o.write_bytes(old)
        n.write_bytes(new)
        subprocess.run(["zstd", "-q", "-3", f"--patch-from={o}", str(n), "-o", f"{n}.zst"], check=True, capture_output=True)
        reference = Path(f"{n}.zst").stat().st_size
    assert len(delta) <= 3 * reference + 1024, (len(delta), reference)


def test_class_means_never_mix_classes_and_name_each_loss():
    wls = [workloads.DeltaWorkload(n, c, b"", b"x" * 100) for n, c in (("v1", "real"), ("v2", "real"), ("e1", "synthetic"), ("w1", "worst"))]
    results = {
        "v1": {"ours": delta_cell(200, 1.0, 1.0), "peer": delta_cell(100, 0.5, 2.0)},
        "v2": {"ours": delta_cell(800, 1.0, 1.0), "peer": delta_cell(100, 0.5, 2.0)},
        "e1": {"ours": delta_cell(10, 1.0, 1.0), "peer": delta_cell(1000, 1000.0, 2.0)},
        "w1": {"ours": delta_cell(100, 1.0, 1.0), "peer": report.Cell("skipped", "slow")},
    }
    rows = report.class_rows(results, wls, "ours", ["peer"])
    assert rows == [
        ["peer", "real version pairs", "2", "4.00×", "0.50×", "2.00×"],
        ["peer", "synthetic sparse edits", "1", "0.01×", "1000.00×", "2.00×"],
    ]  # the worst case was never compared, so it has no row
    wins = report.class_wins(results, wls, "ours", ["peer"])
    assert wins == ["- real version pairs, **peer** wins with smaller deltas on 2 of 2 (up to 8× on v2); faster diff on 2 of 2 (up to 2× on v2)."]


def test_feature_detection_finds_new_capabilities_or_says_why_not(monkeypatch):
    core = pytest.importorskip("tovarel_core")

    def detected():
        return {t.name: t.status for t in tools.cbor_tools() + tools.delta_tools()} | {"loads": tools.cbor_decoders()[0].status}

    class Differ:
        def __init__(self, method="myers"):
            if method not in self.methods:
                raise ValueError(f"unknown method {method!r}")

        def diff(self, old, new):
            return core.delta.diff(old, new)

    monkeypatch.setattr(core.delta, "Differ", Differ, raising=False)
    monkeypatch.setattr(Differ, "methods", ("myers",), raising=False)
    status = detected()[tools.INDEX]
    assert status.startswith("missing") and "ValueError" in status
    monkeypatch.setattr(Differ, "methods", ("myers", "index"))
    monkeypatch.setattr(core.cbor, "_dumps_plain", lambda v, indefinite, max_depth: core.cbor.dumps(v), raising=False)
    monkeypatch.setattr(core.cbor, "loads", lambda b: pytest.importorskip("cbor2").loads(b), raising=False)
    assert {k: detected()[k] for k in (tools.INDEX, tools.PLAIN, "loads")} == {tools.INDEX: "ok", tools.PLAIN: "ok", "loads": "ok"}
    # A plain path that writes other bytes than it decodes to fails its check.
    monkeypatch.setattr(core.cbor, "_dumps_plain", lambda v, indefinite, max_depth: b"\xf6")
    assert "round-trip" in detected()[tools.PLAIN]


def test_delta_tables_render_cells_that_have_no_figures():
    wl = workloads.DeltaWorkload("w", "synthetic", b"a" * 10, b"b" * 10)
    results = {"w": {"ours": delta_cell(4, 1.0, 1.0), "peer": report.Cell("skipped", "slow"), "bad": report.Cell("failed", "x")}}
    ts = [tools.Tool(n, "delta", n) for n in ("ours", "peer", "bad", "gone")]
    sizes, diffs, patches = report.delta_tables(results, [wl], ts)
    assert "| w | 10 B | 10 B | 4 B (40.00%) | skipped | failed | missing |" in sizes
    assert "| w | 1000 | skipped | failed | missing |" in diffs


@pytest.mark.parametrize(
    "observed, cls, expected",
    [
        ([], "real", None),
        ([("real", 1 << 10, 1.0)], "real", None),  # small inputs say nothing about big ones
        ([("real", 1 << 20, 1.0), ("real", 1 << 20, 4.0)], "real", 4.0 * 1.5 * 8),  # the slowest rate counts
        # A worst case's crawl says nothing about sparse edits, nor the reverse ...
        ([("worst", 1 << 20, 40.0), ("synthetic", 1 << 20, 0.01)], "synthetic", 0.01 * 1.5 * 8),
        ([("worst", 1 << 20, 40.0), ("synthetic", 1 << 20, 0.01)], "worst", 40.0 * 1.5 * 8),
        # ... but a class seen for the first time borrows the slowest rate.
        ([("worst", 1 << 20, 40.0), ("synthetic", 1 << 20, 0.01)], "real", 40.0 * 1.5 * 8),
    ],
)
def test_predictor_extrapolates_from_the_slowest_big_input_of_the_class(observed, cls, expected):
    import run

    p = run.Predictor()
    for c, nbytes, seconds in observed:
        p.observe("t", c, nbytes, seconds)
    got = p.predict("t", cls, 8 << 20)
    assert got == pytest.approx(expected) if expected else got is None


def test_run_deltas_times_only_tools_whose_output_round_trips():
    import run

    good = delta_tool(honest_diff, honest_patch)
    good.name = "good"
    liar = delta_tool(honest_diff, lambda o, d: d[::-1])
    liar.name = "liar"
    gone = tools.Tool("gone", "delta", "gone", status="missing (ImportError)")
    wls = [workloads.DeltaWorkload("pair", "synthetic", b"old value", b"new value")]
    results, notes = run.run_deltas(wls, [good, liar, gone], 2, progress=lambda _: None)
    cells = results["pair"]
    assert cells["good"].status == "ok" and cells["good"].diff.runs == 2 and cells["good"].size == 9
    assert cells["liar"].status == "failed" and cells["liar"].diff is None
    assert cells["gone"].status == "missing"
    assert any("liar failed its round-trip check" in n for n in notes)
