"""The installed type stubs: mypy --strict, run from outside the source tree
against the installed package, accepts correct use and reports misuse."""

import pathlib
import re
import subprocess
import sys

import tovarel_core

GOOD = """\
import datetime

import tovarel_core
from tovarel_core import cbor, delta

version: str = tovarel_core.__version__ + delta.__version__ + cbor.__version__
base = delta.PythonInBuf(b"old")
result = delta.diff(base, b"new")
raw: bytes = bytes(result)
size: int = len(result) + len(memoryview(result))
same: bool = result == b"\\xf6"
patched: delta.PythonOutBuf = delta.patch(old_value=b"old", diff=raw)
differ = delta.Differ(level=2, step_budget=100, adaptive=False)
again: delta.PythonOutBuf = differ.diff(b"old", base)
level: int | None = differ.last_level
settings: tuple[int, int, bool] = (differ.level, differ.step_budget, differ.adaptive)
method: str = delta.Differ(method="index").method
checker = delta.Differ(checked=True)
checked_delta = checker.diff(bytearray(b"old"), memoryview(b"new"))
rebuilt: delta.PythonOutBuf = checker.patch(b"old", delta.patch(b"old", checked_delta))
info = delta.inspect(checked_delta)
sizes: tuple[int | None, int | None, int] = (info.old_size, info.new_size, info.copies + info.copied_bytes)
first: int = rebuilt[0] + sum(rebuilt) + len(rebuilt.hex())
joined: bytes = rebuilt[1:] + rebuilt + (b"x" + rebuilt)
encoded: bytes = cbor.dumps({"a": [1, 2.5, None, b"x", (True,)]}, indefinite=False, max_depth=3)
tag = cbor.Tag(1, [cbor.Simple(3), cbor.undefined])
number: int = tag.tag + cbor.Simple(5).value
tagged: bytes = cbor.dumps([tag, cbor.undefined, cbor.Simple(0)])
decoded: object = cbor.loads(encoded, max_depth=10)
items: list[object] = cbor.loads_sequence(memoryview(tagged)) + cbor.loads_sequence(bytearray(raw))
encoder = cbor.Encoder(default=vars, timezone=datetime.timezone.utc, max_depth=4)
stamped: bytes = encoder.encode({"at": datetime.datetime(2026, 1, 1), "ids": {1, 2}})
depth: int = encoder.max_depth
canonical: bytes = cbor.Encoder(deterministic="length_first").encode({"b": 1, "a": 2})
checked: object = cbor.loads(canonical, deterministic="length_first", duplicate_keys="error")
hooked: object = cbor.loads(stamped, tag_hook=lambda tag: tag.value, object_hook=len)
import io
stream = io.BytesIO()
encoder.dump([1, 2], stream)
stream.seek(0)
record: object = cbor.load(stream, deterministic="core")
rest: list[object] = list(cbor.iter_load(stream, chunk_size=4096))
decoder = cbor.SequenceDecoder(max_depth=8)
fed: list[object] = decoder.feed(b"\x01\x02") + decoder.feed(bytearray(b"\x03"))
decoder.close()
left: int = decoder.pending + decoder.position
try:
    cbor.loads(b"")
except cbor.CBORDecodeError as error:
    problem: ValueError = error
"""

# One misuse per line; mypy must report each line.
BAD = """\
from tovarel_core import cbor, delta

delta.diff("old", b"new")
delta.patch(b"old", 3)
delta.Differ(2)
delta.Differ(levle=2)
delta.Differ(method="fast")
delta.Differ().diff(b"old", None)
text: str = delta.diff(b"old", b"new")
delta.Differ().level = 3
delta.PythonInBuf("old")
delta.Differ(checked=1)
delta.inspect("delta")
delta.Differ().patch(b"old", [1])
name: str = delta.diff(b"a", b"b")[0]
delta.inspect(b"").form == 3
cbor.dumps(object())
cbor.dumps([1], indefinite="yes")
cbor.loads("text")
cbor.loads(b"", 5)
cbor.Tag(1, 2).tag = 3
cbor.Simple("x")
cbor.Encoder(None)
cbor.Encoder(timezone="UTC")
cbor.Encoder().max_depth = 3
cbor.load(b"\x01")
cbor.iter_load(open("f"), chunk_size="big")
cbor.SequenceDecoder().feed("text")
cbor.Encoder().dump(1, "file")
cbor.loads(b"", tag_hook=3)
cbor.Encoder(deterministic="sorted")
cbor.loads(b"", duplicate_keys="first")
"""


def test_stubs_sit_beside_the_shared_object_the_interpreter_imports():
    origin = pathlib.Path(tovarel_core.__spec__.origin)
    assert origin.suffix == ".so"
    stubs = origin.with_name("tovarel_core")
    assert {path.name for path in stubs.iterdir()} >= {"py.typed", "__init__.pyi", "delta.pyi", "cbor.pyi"}


def test_mypy_strict_accepts_correct_use_and_reports_misuse(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "good.py", "bad.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    errors = re.findall(r"^(\w+)\.py:(\d+): error", run.stdout, re.MULTILINE)
    assert [line for name, line in errors if name == "good"] == [], run.stdout
    misuse_lines = {str(number) for number in range(3, BAD.count("\n") + 1)}
    assert {line for name, line in errors if name == "bad"} == misuse_lines, run.stdout
