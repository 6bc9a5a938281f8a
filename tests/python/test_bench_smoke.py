"""Runs the benchmark on its tiny workload so that it cannot rot unnoticed.

Only the report's shape is checked; speed is for the benchmark to measure,
never for a test to assert."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parents[2] / "bench" / "run.py"
PEERS = ("cbor2", "msgpack", "orjson", "bsdiff4", "zstandard", "matplotlib")
SECTIONS = (
    "## Machine",
    "## Tools",
    "## Method",
    "## CBOR encoding",
    "## Binary deltas",
    "## Where we lose",
    "## Caps, omissions and failures",
    "## Plots",
)


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    import tovarel_core  # noqa: F401  -- our module must be there; a peer may not

    missing = [p for p in PEERS if importlib.util.find_spec(p) is None]
    if missing:
        pytest.skip(f"benchmark peers not installed: {', '.join(missing)}")
    out = tmp_path_factory.mktemp("bench")
    proc = subprocess.run(
        [sys.executable, str(RUN), "--quick", "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return out, proc


def test_report_has_every_section(quick_run):
    out, _ = quick_run
    text = (out / "report.md").read_text(encoding="utf-8")
    positions = [text.find(s) for s in SECTIONS]
    assert -1 not in positions, [s for s, p in zip(SECTIONS, positions) if p < 0]
    assert positions == sorted(positions)


def test_our_module_was_measured_and_compared(quick_run):
    out, _ = quick_run
    text = (out / "report.md").read_text(encoding="utf-8")
    assert "tovarel_core is missing" not in text
    assert re.search(r"\| tovarel_core \| [^|]+ \| ok \|", text)
    assert "### Ratios against bsdiff4" in text
    ratios = text.split("### Ratios, tovarel_core (defaults) against each peer", 1)[1].split("##", 1)[0]
    assert re.search(r"\d\.\d\d×", ratios)


def test_cbor2_backend_is_named(quick_run):
    out, _ = quick_run
    text = (out / "report.md").read_text(encoding="utf-8")
    assert re.search(r"\| cbor2 \|[^\n]*(C backend|pure-Python backend)", text)


def test_plots_are_written(quick_run):
    out, _ = quick_run
    for name in ("delta_size_vs_edits.png", "cbor_throughput.png"):
        assert (out / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_progress_goes_to_stderr(quick_run):
    _, proc = quick_run
    assert "done:" in proc.stderr and proc.stdout == ""
