"""Runs the benchmark on its tiny workload so that it cannot rot unnoticed.

Only the report's shape is checked; speed is for the benchmark to measure,
never for a test to assert.  A missing peer is the harness's to report, so
nothing here is skipped for one, except the plots, which need matplotlib."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[2] / "bench" / "run.py"
SECTIONS = (
    "## Machine",
    "## Tools",
    "## Method",
    "## CBOR encoding",
    "### dumps against its plain path",
    "## CBOR decoding",
    "## Binary deltas",
    "### Means by class",
    "### Real version pairs: our deltas compressed by zstd -19, against bsdiff4",
    "## Where we lose",
    "## Caps, omissions and failures",
    "## Plots",
)
PLOTS = ("delta_size_by_class.png", "delta_size_vs_edits.png", "cbor_throughput.png")


def bench(out, *args, block_matplotlib=False):
    code = "import runpy, sys\n"
    if block_matplotlib:
        code += "sys.modules['matplotlib'] = None  # import now fails as when it is not installed\n"
    code += f"sys.argv = [{str(RUN)!r}] + sys.argv[1:]\nrunpy.run_path({str(RUN)!r}, run_name='__main__')\n"
    proc = subprocess.run(
        [sys.executable, "-c", code, "--quick", "--out", str(out), *args],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    import tovarel_core  # noqa: F401  -- our module must be there; a peer may not

    out = tmp_path_factory.mktemp("bench")
    proc = bench(out)
    return out, proc, (out / "report.md").read_text(encoding="utf-8")


def test_report_has_every_section_in_order(quick_run):
    _, _, text = quick_run
    positions = [text.find(s) for s in SECTIONS]
    assert -1 not in positions, [s for s, p in zip(SECTIONS, positions) if p < 0]
    assert positions == sorted(positions)


def test_our_module_was_measured_and_compared_per_class(quick_run):
    _, _, text = quick_run
    assert "tovarel_core is missing" not in text
    assert re.search(r"\| tovarel_core \| [^|]+ \| ok \|", text)
    ratios = text.split("### Ratios, tovarel_core (defaults) against each peer", 1)[1].split("##", 1)[0]
    assert re.search(r"\d\.\d\d×", ratios)
    means = text.split("### Means by class", 1)[1].split("\n### ", 1)[0]
    for label in ("real version pairs", "synthetic sparse edits", "worst cases"):
        assert re.search(rf"\| bsdiff4 \| {label} \| \d+ \| [\d.]+×", means), label


def test_worst_cases_are_run_with_every_peer(quick_run):
    _, _, text = quick_run
    sizes = text.split("### Delta size", 1)[1].split("###", 1)[0]
    rows = [r for r in sizes.splitlines() if "shuffled 4 KiB blocks" in r or "random against random" in r]
    assert len(rows) == 3
    for row in rows:
        assert "skipped" not in row and row.count("%") >= 4, row


def test_cbor2_backend_is_named(quick_run):
    _, _, text = quick_run
    assert re.search(r"\| cbor2 \|[^\n]*(C backend|pure-Python backend)", text)


def test_plots_are_written(quick_run):
    if importlib.util.find_spec("matplotlib") is None:
        pytest.skip("matplotlib is not installed")
    out, _, _ = quick_run
    for name in PLOTS:
        assert (out / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_progress_goes_to_stderr(quick_run):
    _, proc, _ = quick_run
    assert "done:" in proc.stderr and proc.stdout == ""


def test_runs_without_matplotlib_and_fills_the_readme_block(tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text("before\n<!-- bench tables: begin (written by bench/run.py --readme) -->\nold\n<!-- bench tables: end -->\nafter\n")
    bench(tmp_path, "--only", "small ints", "--only", "1 edits", "--readme", str(readme), block_matplotlib=True)
    text = (tmp_path / "report.md").read_text(encoding="utf-8")
    assert "No plots: matplotlib is not available" in text
    assert not any((tmp_path / p).exists() for p in PLOTS)
    filled = readme.read_text()
    assert filled.startswith("before\n<!-- bench tables: begin") and filled.endswith("<!-- bench tables: end -->\nafter\n")
    assert "\nold\n" not in filled and "| bsdiff4 | synthetic sparse edits | 2 |" in filled
    assert filled.count((tmp_path / "readme_tables.md").read_text()) == 1
