"""Loading the module: what it exposes, and the interpreters it refuses."""

import ctypes
import importlib
import importlib.metadata
import pathlib
import subprocess
import sys

import pytest

import tovarel_core

CBOR_DOC = (
    "\n            Tovarel cbor\n            -----------------------\n\n"
    "            .. currentmodule:: tovarel_cbor\n\n"
    "            .. autosummary::\n               :toctree: _generate\n\n"
    "               dumps\n        "
)
DELTA_DOC = (
    "\n        Tovarel Delta\n        -----------------------\n\n"
    "        .. currentmodule:: tovarel_delta\n\n"
    "        .. autosummary::\n           :toctree: _generate\n\n"
    "           diff\n    "
)
IN_BUF = "tovarel_core.delta.PythonInBuf"
OUT_BUF = "tovarel_core.delta.PythonOutBuf"


def test_top_level_module_holds_the_submodules_and_the_version():
    assert tovarel_core.__doc__ is None
    assert tovarel_core.__version__ == importlib.metadata.version("tovarel_core")
    public = {name for name in dir(tovarel_core) if not name.startswith("__")}
    assert public == {"cbor", "delta"}


@pytest.mark.parametrize(
    "name, doc, public",
    [
        (
            "cbor",
            CBOR_DOC,
            {"dumps", "_dumps_plain", "loads", "_loads_plain", "loads_sequence", "CBORDecodeError", "Tag", "Simple", "undefined", "Encoder", "SequenceDecoder", "load", "iter_load", "_LoadIterator"},
        ),
        ("delta", DELTA_DOC, {"DeltaInfo", "Differ", "PythonInBuf", "PythonOutBuf", "diff", "inspect", "patch"}),
    ],
)
def test_submodule_contents(name, doc, public):
    module = getattr(tovarel_core, name)
    assert module.__name__ == f"tovarel_core.{name}"
    assert sys.modules[f"tovarel_core.{name}"] is module
    assert importlib.import_module(f"tovarel_core.{name}") is module
    assert module.__doc__ == doc
    assert module.__version__ == "dev"
    assert {n for n in dir(module) if not n.startswith("__")} == public


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (
            tovarel_core.cbor.dumps,
            "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool,"
            " int, int, str], indefinite: bool = True, max_depth: int = 0) -> bytes",
            "\n        Dump a Python object to cbor\n        ",
        ),
        (
            tovarel_core.delta.diff,
            f"diff(old_value: {IN_BUF}, new_value: {IN_BUF}) -> {OUT_BUF}",
            "\n    Diff between 'old_value' and 'new_value'\n    ",
        ),
        (
            tovarel_core.delta.patch,
            f"patch(old_value: {IN_BUF}, diff: {IN_BUF}) -> {OUT_BUF}",
            "\n    Apply 'diff' to 'old_value'\n    ",
        ),
        (
            tovarel_core.delta.PythonInBuf.__init__,
            f"__init__(self: {IN_BUF}, arg0: bytes) -> None",
            None,
        ),
    ],
)
def test_signatures_and_docstrings(function, signature, doc):
    expected = f"{signature}\n" if doc is None else f"{signature}\n\n{doc}\n"
    assert function.__doc__ == expected


@pytest.mark.parametrize("cls", ["PythonInBuf", "PythonOutBuf"])
def test_classes_live_in_the_delta_submodule(cls):
    assert getattr(tovarel_core.delta, cls).__module__ == "tovarel_core.delta"


def run_python(executable, code):
    return subprocess.run(
        [executable, "-c", code], capture_output=True, text=True, timeout=60
    )


def test_second_run_of_the_entry_fails_cleanly():
    # A plain re-import reuses the cached module, so the entry is called
    # directly.  The process must also exit cleanly afterwards.
    code = (
        "import ctypes, tovarel_core\n"
        "entry = ctypes.PyDLL(tovarel_core.__file__).PyInit_tovarel_core\n"
        "entry.restype = ctypes.py_object\n"
        "try:\n"
        "    entry()\n"
        "except ImportError as error:\n"
        "    print('ImportError', error)\n"
        "import tovarel_core.delta as d\n"
        "print(bytes(d.patch(b'abc', bytes(d.diff(b'abc', b'abd')))))\n"
    )
    result = run_python(sys.executable, code)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError ")
    assert lines[1] == "b'abd'"


OTHER_PYTHONS = sorted(
    str(path)
    for path in pathlib.Path("/root/.pyenv/versions").glob("3.*/bin/python")
    if not path.parent.parent.name.startswith("3.11.")
)


@pytest.mark.skipif(not OTHER_PYTHONS, reason="no other Python version installed")
@pytest.mark.parametrize("python", OTHER_PYTHONS)
def test_other_interpreter_versions_are_refused(python):
    code = (
        "import importlib.machinery, importlib.util, os, sys\n"
        # Bind lazily, so that an interpreter lacking some function of
        # 3.11's interface still gets as far as running the entry.
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"path = {tovarel_core.__file__!r}\n"
        "loader = importlib.machinery.ExtensionFileLoader('tovarel_core', path)\n"
        "location = importlib.util.spec_from_file_location('tovarel_core', path, loader=loader)\n"
        "try:\n"
        "    importlib.util.module_from_spec(location)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
        "else:\n"
        "    print('loaded')\n"
    )
    result = run_python(python, code)
    assert result.returncode == 0, result.stderr
    version = subprocess.run(
        [python, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.11, but the interpreter"
        f" version is incompatible: {version}."
    )


@pytest.fixture(scope="module")
def core():
    lib = ctypes.CDLL(tovarel_core.__file__)

    class Buf(ctypes.Structure):
        _fields_ = [
            ("data", ctypes.POINTER(ctypes.c_uint8)),
            ("len", ctypes.c_uint64),
            ("capacity", ctypes.c_uint64),
        ]

    lib.buf_create.restype = ctypes.POINTER(Buf)
    lib.buf_write_bytes.argtypes = [ctypes.POINTER(Buf), ctypes.c_char_p, ctypes.c_uint64]
    lib.diff_generate_binary.restype = ctypes.POINTER(Buf)
    lib.diff_generate_binary.argtypes = [ctypes.POINTER(Buf), ctypes.POINTER(Buf)]
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]
    return lib


def test_core_is_reachable_from_the_module_object(core):
    def make(data):
        buffer = core.buf_create()
        core.buf_write_bytes(buffer, data, len(data))
        return buffer

    old, new = make(b"abc" * 40), make(b"abc" * 40 + b"d")
    result = core.diff_generate_binary(old, new)
    try:
        delta = ctypes.string_at(result.contents.data, result.contents.len)
        assert delta == bytes(tovarel_core.delta.diff(b"abc" * 40, b"abc" * 40 + b"d"))
    finally:
        for buffer in (old, new, result):
            core.buf_free(buffer)
