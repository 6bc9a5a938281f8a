"""cbor.dumps: exact encodings, the integer and depth rules, and safety."""

import array
import ipaddress
import math
import re
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

from tovarel_core import cbor
from tovarel_core.cbor import dumps

IPV4 = ipaddress.IPv4Address("10.0.0.1")

CAST_ERROR = (
    "Unable to cast Python instance to C++ type (#define PYBIND11_DETAILED_ERROR_MESSAGES"
    " or compile in debug mode for details)"
)
RANGE_ERROR = "dumps received an integer out of range for both int64_t and uint64_t"


def h(text):
    return bytes.fromhex(text)


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class Truthy:
    """Offers a truth value and an integer, but is not an int."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        return self.truth

    def __int__(self):
        return 7


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "value, encoded",
    [
        (None, "f6"),
        (True, "f5"),
        (False, "f4"),
        (0, "00"),
        (23, "17"),
        (24, "1818"),
        (-1, "20"),
        (-24, "37"),
        (-25, "3818"),
        (2**64 - 1, "1b" + "ff" * 8),
        (-(2**63), "3b7f" + "ff" * 7),
        (IntSubclass(300), "19012c"),
        (1.5, "f93e00"),
        (1.0, "f93c00"),
        (0.1, "fb3fb999999999999a"),
        (-0.0, "f98000"),
        (100000.0, "fa47c35000"),
        (float("nan"), "f97e00"),
        (float("inf"), "f97c00"),
        (float("-inf"), "f9fc00"),
        (FloatSubclass(1.5), "f93e00"),
        ("a", "6161"),
        ("", "60"),
        ("\u00fc", "62c3bc"),
        (StrSubclass("ab"), "626162"),
        (b"", "40"),
        (b"\x00\xff", "4200ff"),
        (bytearray(b"ab"), "426162"),
        (bytearray(b"\xff"), "41ff"),
        (memoryview(b"\x00ab")[1:], "426162"),
        ([], "9fff"),
        ([1, [2]], "9f019f02ffff"),
        ((1, 2), "9f0102ff"),
        ({}, "bfff"),
        ({"a": 1}, "bf616101ff"),
        ({(1, 2): None}, "bf9f0102fff6ff"),
        ({1: b"x", None: []}, "bf014178f69fffff"),
        (Index(5), "05"),
        (Index(-5), "24"),
    ],
)
def test_indefinite_encodings(value, encoded):
    assert dumps(value) == h(encoded)


def numpy_values():
    """numpy's scalars with what dumps writes for them (None: refused)."""
    np = pytest.importorskip("numpy")
    return [
        (np.uint64(2**64 - 1), "1b" + "ff" * 8),
        (np.uint64(2**63), "1b80" + "00" * 7),
        (np.int64(-(2**63)), "3b7f" + "ff" * 7),
        (np.int8(-3), "22"),
        (np.float32(3.5), "f94300"),
        (np.float16(0.1), "f92e66"),
        (np.float32(0.1), "fa3dcccccd"),
        (np.longdouble(0.5), "f93800"),
        (np.longdouble(1) / 3, None),  # more than a double holds
        (np.bool_(True), "f5"),
        (np.bool_(False), "f4"),
        (np.array([1, 2]), None),
        (np.complex64(1j), None),
    ]


@pytest.mark.parametrize(
    "value, encoded",
    [
        (Decimal("19.99"), None),
        (Decimal("0"), None),
        (Fraction(1, 3), None),
        (1j, None),
        (range(3), None),
        (Truthy(True), None),
        (Truthy(False), None),
        (Index(2**64 - 1), "1b" + "ff" * 8),
        (Index(2**64), None),
        (memoryview(b"abcd").cast("B", (2, 2)), "4461626364"),
        (memoryview(b"abcd")[::2], None),
        (memoryview(b"abcd").cast("i"), None),
        (array.array("b", [-1]), "41ff"),
        (IPV4, "1a0a000001"),  # through its __int__, as before
    ],
)
def test_values_only_a_truth_value_took(value, encoded):
    """Each is written as what it stands for, or refused as a value that no
    alternative takes: TypeError alone, the cast error inside a list."""
    check_written_or_refused(value, encoded)


def test_numpy_scalars():
    for value, encoded in numpy_values():
        check_written_or_refused(value, encoded)


def check_written_or_refused(value, encoded):
    for encode in (dumps, cbor._dumps_plain):
        if encoded is None:
            with pytest.raises(TypeError, match="incompatible function arguments"):
                encode(value)
            with pytest.raises(RuntimeError, match=re.escape(CAST_ERROR)):
                encode([value])
        else:
            assert encode(value) == h(encoded), value
            assert encode([value], indefinite=False) == h("81" + encoded), value


@pytest.mark.parametrize(
    "value, encoded",
    [
        ([], "80"),
        ([1, [2]], "82018102"),
        ((), "80"),
        ({"a": 1}, "a1616101"),
        ({}, "a0"),
        ([None] * 24, "9818" + "f6" * 24),
        ({i: None for i in range(24)}, "b818" + "".join(f"{i:02x}f6" for i in range(24))),
        (7, "07"),
    ],
)
def test_definite_encodings(value, encoded):
    assert dumps(value, indefinite=False) == h(encoded)


@pytest.mark.parametrize(
    "value, text",
    [
        (2**64, "18446744073709551616"),
        (-(2**63) - 1, "-9223372036854775809"),
        (10**49 + 12345, str(10**49 + 12345)[:40]),
        (IntSubclass(2**70), str(2**70)),
        ([0, {"k": -(2**64)}], str(-(2**64))),
    ],
)
def test_integers_out_of_range(value, text):
    with pytest.raises(RuntimeError) as error:
        dumps(value)
    assert str(error.value) == RANGE_ERROR + text


class Unprintable(int):
    def __str__(self):
        raise ValueError("no text")


class MultiByteText(int):
    def __str__(self):
        return "a" + "\u00e9" * 30


class NeverEqual(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


@pytest.mark.parametrize(
    "value, text",
    [
        # The text of a Python error carries its traceback after the message,
        # so the cut leaves only a piece of it.
        (Unprintable(2**65), "failed with ValueError: no text\n\nAt:\n  /"),
        # 40 bytes would end inside the 20th two-byte character; the cut
        # keeps whole characters so that the message stays text.
        (MultiByteText(2**65), "a" + "\u00e9" * 19),
        # Each conversion is proved by comparing it back, so an integer that
        # equals nothing cannot be written.
        (NeverEqual(5), "5"),
    ],
    ids=["unprintable", "multi-byte", "never-equal"],
)
def test_value_text_in_the_range_message(value, text):
    with pytest.raises(RuntimeError) as error:
        dumps(value)
    assert type(error.value) is RuntimeError
    assert str(error.value) == RANGE_ERROR + text


def self_holding_list():
    value = []
    value.append(value)
    return value


@pytest.mark.parametrize(
    "value, max_depth, result",
    [
        ([1], 1, "9f01ff"),
        ([[]], 1, "9f9fffff"),
        ([[1]], 1, "Exceeded recursion limit:1"),
        ({"a": [1]}, 1, "Exceeded recursion limit:1"),
        ({"a": []}, 1, "bf61619fffff"),
        ({(1,): 2}, 1, "Exceeded recursion limit:1"),
        (7, 1, "07"),
        ([[[1]]], 3, "9f9f9f01ffffff"),
        ([[[[1]]]], 3, "Exceeded recursion limit:3"),
        ([[[object()]]], 2, "Exceeded recursion limit:2"),
        ([object()], 1, CAST_ERROR),
        (self_holding_list(), 1, "Exceeded recursion limit:1"),
        (self_holding_list(), 2, "Exceeded recursion limit:2"),
        (self_holding_list(), 100, "Exceeded recursion limit:100"),
        ([[1]], 2**64 - 1, "9f9f01ffff"),
    ],
)
def test_depth_limit(value, max_depth, result):
    if result.startswith(("Exceeded", "Unable")):
        with pytest.raises(RuntimeError) as error:
            dumps(value, max_depth=max_depth)
        assert str(error.value) == result
    else:
        assert dumps(value, max_depth=max_depth) == h(result)


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("max_depth", [0, 1, 5])
@pytest.mark.parametrize("value", [[object()], {"k": object()}, {b"k": "\ud800"}, ["ok", "\udfff"]])
def test_unconvertible_elements_raise_the_cast_error(value, indefinite, max_depth):
    with pytest.raises(RuntimeError) as error:
        dumps(value, indefinite=indefinite, max_depth=max_depth)
    assert str(error.value) == CAST_ERROR


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((object(),), {}),
        ((set(),), {}),
        ((1,), {"max_depth": -1}),
        ((1,), {"max_depth": 2**64}),
        ((1,), {"max_depth": 1.0}),
        ((1,), {"indefinite": "yes"}),
        ((), {}),
    ],
)
def test_bad_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dumps(*args, **kwargs)


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_holding_dict():
    value = {}
    value["me"] = value
    return value


@pytest.mark.parametrize(
    "value", [self_holding_list(), self_holding_dict(), nested_lists(100_000)]
)
@pytest.mark.parametrize("indefinite", [True, False])
def test_unbounded_nesting_ends_in_recursion_error(value, indefinite):
    with pytest.raises(RecursionError):
        dumps(value, indefinite=indefinite)


def test_recursion_check_is_released_after_failures():
    for _ in range(20):
        with pytest.raises(RecursionError):
            dumps(self_holding_list())

    def recurse(n):
        return 0 if n == 0 else 1 + recurse(n - 1)

    assert recurse(sys.getrecursionlimit() - 50) == sys.getrecursionlimit() - 50
    assert dumps(nested_lists(100)) == h("9f" * 101 + "ff" * 101)


def test_range_message_at_the_recursion_limit():
    # At the interpreter's limit the comparison that proves a large integer
    # fails, and so does str() of it; the message then names only the
    # error's type (asking the binding library for more used to recurse
    # until the process crashed).
    code = (
        "from tovarel_core.cbor import dumps\n"
        "value = [2**40]\n"
        "value.append(value)\n"
        "try:\n"
        "    dumps(value)\n"
        "except RuntimeError as error:\n"
        "    print(type(error).__name__, error)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr[-300:]
    assert result.stdout.strip() == "RuntimeError " + RANGE_ERROR + "failed with RecursionError"


@pytest.mark.parametrize(
    "setup",
    [
        "",  # the main thread
        "threading.stack_size(1 << 20)\n",  # a thread with a small stack
    ],
)
def test_raised_interpreter_limit_does_not_overflow_the_native_stack(setup):
    code = (
        "import sys, threading\n"
        "sys.setrecursionlimit(10**6)\n"
        "from tovarel_core.cbor import dumps\n"
        "value = []\n"
        "for _ in range(200_000):\n"
        "    value = [value, {'k': value}]\n"
        "def run():\n"
        "    try:\n"
        "        dumps(value)\n"
        "    except RecursionError:\n"
        "        print('RecursionError')\n"
        + setup
        + "thread = threading.Thread(target=run)\n"
        "thread.start()\n"
        "thread.join()\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr[-300:]
    assert result.stdout.strip() == "RecursionError"


def test_a_huge_depth_limit_still_ends_in_recursion_error():
    # The interpreter's bound applies when the given limit is beyond it: its
    # own RecursionError, not the "Exceeded recursion limit" of max_depth
    # (RecursionError is a RuntimeError, so the type is checked exactly).
    with pytest.raises(RecursionError) as raised:
        dumps(self_holding_list(), max_depth=10**9)
    assert raised.type is RecursionError


class Mutator:
    """Changes a container the first time its integer value is asked."""

    def __init__(self, action):
        self.action = action
        self.done = False

    def __index__(self):
        if not self.done:
            self.done = True
            self.action()
        return 1


def grow_list():
    value = [1]
    value.insert(0, Mutator(lambda: value.append(2)))
    return value, "list changed size during iteration"


def clear_list():
    value = [None, "tail", b"more"]
    value[0] = Mutator(value.clear)
    return value, "list changed size during iteration"


def append_to_last():
    value = [1]
    value.append(Mutator(lambda: value.append(3)))
    return value, "list changed size during iteration"


def grow_dict():
    value = {"a": None, "b": 1}
    value["a"] = Mutator(lambda: value.update(c=3))
    return value, "dictionary changed size during iteration"


def drop_own_key():
    value = {"a": None, "b": 1}
    value["a"] = Mutator(lambda: value.pop("a"))
    return value, "dictionary changed size during iteration"


def swap_keys():
    value = {"a": None, "b": 1}

    def swap():
        del value["a"]
        value["c"] = 3

    value["a"] = Mutator(swap)
    return value, "dictionary keys changed during iteration"


@pytest.mark.parametrize(
    "make", [grow_list, clear_list, append_to_last, grow_dict, drop_own_key, swap_keys]
)
@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("max_depth", [0, 3])
def test_containers_changed_during_encoding(make, indefinite, max_depth):
    value, message = make()
    with pytest.raises(RuntimeError) as error:
        dumps(value, indefinite=indefinite, max_depth=max_depth)
    assert str(error.value) == message


def test_mutation_that_keeps_the_size_is_encoded_consistently():
    value = [0, 1]
    value[0] = Mutator(lambda: value.__setitem__(1, "swapped"))
    decoded = cbor2.loads(dumps(value, indefinite=False))
    assert decoded == [1, "swapped"]


def test_growth_failure_raises_memory_error():
    # Under a tight address-space limit the generator cannot grow; the call
    # must fail as a whole rather than return a truncated encoding.
    code = (
        "import resource\n"
        "from tovarel_core.cbor import dumps\n"
        "chunk = bytes(64 << 20)\n"
        "soft, hard = resource.getrlimit(resource.RLIMIT_AS)\n"
        "used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (used + (256 << 20), hard))\n"
        "try:\n"
        "    dumps([chunk] * 16)\n"
        "except MemoryError:\n"
        "    print('MemoryError')\n"
        "else:\n"
        "    print('no error')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.stdout.strip() == "MemoryError", result.stderr


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**64 - 1),
    st.floats(allow_nan=False),
    st.text(),
    st.binary(),
)
keys = st.one_of(st.integers(-(2**63), 2**64 - 1), st.text(), st.binary())
values = st.recursive(
    st.one_of(scalars, st.binary().map(bytearray)),
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.lists(children, max_size=5).map(tuple),
        st.dictionaries(keys, children, max_size=5),
    ),
    max_leaves=30,
)


def expected_decoding(value):
    """What an independent decoder reads back: tuples as lists, bytearrays as bytes."""
    if isinstance(value, (list, tuple)):
        return [expected_decoding(item) for item in value]
    if isinstance(value, dict):
        return {key: expected_decoding(item) for key, item in value.items()}
    if isinstance(value, bytearray):
        return bytes(value)
    return value


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@settings(max_examples=300, deadline=None)
@given(values, st.booleans())
def test_independent_decoder_reads_back_the_value(value, indefinite):
    encoded = dumps(value, indefinite=indefinite)
    assert same(cbor2.loads(encoded), expected_decoding(value))


@settings(max_examples=100, deadline=None)
@given(values)
def test_framing_is_the_only_difference_between_modes(value):
    definite = dumps(value, indefinite=False)
    indefinite = dumps(value)
    assert cbor2.dumps(cbor2.loads(definite)) == cbor2.dumps(cbor2.loads(indefinite))
    assert len(indefinite) >= len(definite)
