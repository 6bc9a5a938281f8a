"""cbor.Encoder and the tagged types both ways: round trips and agreement
with cbor2 over generated values of every type, the Encoder against dumps
on what dumps takes, refused tag contents with their offsets, the hooks,
and the Encoder's settings."""

import datetime as dt
import ipaddress
import pickle
import random
import re
import uuid
from decimal import Decimal
from fractions import Fraction

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

from tovarel_core import cbor
from tovarel_core.cbor import CBORDecodeError, Encoder, Tag, dumps, loads

UTC = dt.timezone.utc


def zones(whole_minutes):
    step = dt.timedelta(minutes=1) if whole_minutes else dt.timedelta(seconds=1)
    offsets = st.integers(-(24 * 60 - 1), 24 * 60 - 1).map(lambda n: n * step)
    return st.just(UTC) | offsets.filter(lambda d: abs(d) < dt.timedelta(days=1)).map(dt.timezone)


def datetimes(whole_minutes=True):
    # Instants that stay within years 1 to 9999 in UTC, whatever the offset.
    return st.datetimes(dt.datetime(2, 1, 1), dt.datetime(9998, 12, 31), timezones=zones(whole_minutes))


def ip_values():
    v4 = st.integers(0, 2**32 - 1)
    v6 = st.integers(0, 2**128 - 1)
    return st.one_of(
        v4.map(ipaddress.IPv4Address),
        v6.map(ipaddress.IPv6Address),
        st.tuples(v4, st.integers(0, 32)).map(lambda p: ipaddress.IPv4Network(p, strict=False)),
        st.tuples(v6, st.integers(0, 128)).map(lambda p: ipaddress.IPv6Network(p, strict=False)),
        st.tuples(v4, st.integers(0, 32)).map(ipaddress.IPv4Interface),
        st.tuples(v6, st.integers(0, 128)).map(ipaddress.IPv6Interface),
    )


def tagged(whole_minutes=True):
    return st.one_of(
        datetimes(whole_minutes),
        st.dates(),
        st.decimals(allow_nan=False, allow_infinity=False),
        st.fractions(),
        st.uuids(),
        ip_values(),
        st.integers(),  # bignums included
    )


hashable = st.one_of(st.integers(), st.text(max_size=5), st.binary(max_size=5), st.uuids(), st.dates())


def values(whole_minutes=True):
    scalars = st.one_of(st.none(), st.booleans(), st.floats(allow_nan=False), st.text(), st.binary(),
                        tagged(whole_minutes))
    return st.recursive(
        scalars,
        lambda inner: st.one_of(
            st.lists(inner, max_size=4),
            st.dictionaries(st.text(max_size=5) | st.integers(), inner, max_size=4),
            st.sets(hashable, max_size=4),
            st.frozensets(hashable, max_size=4).map(lambda s: {s: 1}),
        ),
        max_leaves=12,
    )


def same(a, b):
    """Equal, and of the same type (a set may come back as a frozenset only
    where it was one, and a date must not pass for a datetime)."""
    if isinstance(a, (set, frozenset)) and isinstance(b, (set, frozenset)):
        return a == b
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@settings(max_examples=400, deadline=None)
@given(values(whole_minutes=False), st.booleans())
def test_round_trip(value, indefinite):
    encoded = Encoder(indefinite=indefinite).encode(value)
    assert same(loads(encoded), value)
    assert same(cbor._loads_plain(encoded), value)
    assert same(cbor.loads_sequence(encoded * 2), [value, value])


@settings(max_examples=300, deadline=None)
@given(values())
def test_cbor2_reads_ours_and_we_read_cbor2s(value):
    assert same(cbor2.loads(Encoder().encode(value)), value)
    assert same(loads(cbor2.dumps(value)), value)


@settings(max_examples=200, deadline=None)
@given(datetimes(), st.sampled_from([UTC, dt.timezone(dt.timedelta(hours=5, minutes=30))]))
def test_timestamps_and_naive_datetimes(value, zone):
    """A timestamp decodes to the very instant, or is refused: a float holds
    microseconds only within some 140 years of 1970."""
    try:
        stamped = loads(Encoder(datetime_as_timestamp=True).encode(value))
    except ValueError as error:
        assert value.microsecond != 0 and "does not hold its microseconds" in str(error)
        assert not dt.datetime(1900, 1, 1, tzinfo=UTC) < value < dt.datetime(2040, 1, 1, tzinfo=UTC)
    else:
        assert stamped.tzinfo is UTC and stamped == value
    naive = value.replace(tzinfo=None)
    assert loads(Encoder(timezone=zone).encode(naive)) == naive.replace(tzinfo=zone)


def test_encoder_writes_what_dumps_writes():
    """Every generated value dumps accepts, under each option set: the same
    bytes from the Encoder (definite, as dumps' indefinite=False)."""
    from test_cbor_fast import OPTIONS, Made, value

    compared = 0
    for case in range(6000):
        options = OPTIONS[case % len(OPTIONS)]
        Made.exotic = case % 2 == 0
        Made.hooks = False
        generated = value(random.Random(case))
        if Made.hooks:
            continue  # its hooks change it while it is encoded
        try:
            expected = dumps(generated, **options)
        except (TypeError, RuntimeError, RecursionError):
            continue
        assert Encoder(**options).encode(generated) == expected, case
        compared += 1
    assert compared > 2000


@pytest.mark.parametrize(
    "encoded, message",
    [
        ("c06161", "tag 0 at byte 0 must hold RFC 3339 date-time text"),
        ("c07818323031332d30332d32315432303a30343a30302b30313030",
         "tag 0 at byte 0 must hold RFC 3339 date-time text"),
        ("c074323031332d30322d32395432303a30343a30305a",
         "tag 0 at byte 0 must hold RFC 3339 date-time text"),
        ("c074303030302d30312d30315430303a30303a30305a",
         "tag 0 at byte 0 must hold a date-time from year 1 on, without a leap second"),
        ("c1f97e00", "tag 1 at byte 0 must hold an integer or float number of seconds since 1970"),
        ("c1f5", "tag 1 at byte 0 must hold an integer or float number of seconds since 1970"),
        ("c11b7fffffffffffffff", "tag 1 at byte 0 must hold an integer or float number of seconds since 1970"),
        ("c482f601", r"tag 4 at byte 0 must hold \[exponent, mantissa\], two integers"),
        ("c48101", r"tag 4 at byte 0 must hold \[exponent, mantissa\], two integers"),
        ("d81e820100", r"tag 30 at byte 0 must hold \[numerator, denominator\], integers with a denominator above 0"),
        ("d825" + "4f" + "00" * 15, "tag 37 at byte 0 must hold a byte string of 16 bytes"),
        ("d8348108", "tag 52 at byte 0 must hold a 4-byte IPv4 address, or an RFC 9164 prefix or interface"),
        ("d83482084201ff", "tag 52 at byte 0 must hold a 4-byte IPv4 address, or an RFC 9164 prefix or interface"),
        ("d83482182142ffff", "tag 52 at byte 0 must hold a 4-byte IPv4 address, or an RFC 9164 prefix or interface"),
        ("d836430a0000", "tag 54 at byte 0 must hold a 16-byte IPv6 address, or an RFC 9164 prefix or interface"),
        ("d9010201", "tag 258 at byte 0 must hold an array"),
        ("d9010281a0", "tag 258 at byte 0 must hold an array of hashable elements"),
        ("d8646161", "tag 100 at byte 0 must hold an integer number of days since 1970-01-01"),
        ("d8641b00000000ffffffff", "tag 100 at byte 0 must hold a day count within the years 1 to 9999"),
        ("d903ec6a323032332d30322d3239", "tag 1004 at byte 0 must hold RFC 3339 full-date text from year 1 on"),
        ("8201d825" + "41" + "00", "tag 37 at byte 2 must hold a byte string of 16 bytes"),
    ],
)
def test_tag_contents_that_do_not_fit(encoded, message):
    data = bytes.fromhex(encoded)
    for decode in (loads, cbor._loads_plain):
        with pytest.raises(CBORDecodeError, match=f"^{message}$"):
            decode(data)
    with pytest.raises(CBORDecodeError, match="at byte %d " % (int(re.search(r"byte (\d+)", message)[1]) + 1)):
        cbor.loads_sequence(b"\x00" + data)


def test_forms_without_a_type_stay_tags():
    zoned = bytes.fromhex("d83683" + "50" + "fe80" + "00" * 14 + "f6" + "6465746830")
    assert loads(zoned) == Tag(54, [b"\xfe\x80" + bytes(14), None, "eth0"])
    assert loads(bytes.fromhex("c501")) == Tag(5, 1)


def test_hooks():
    data = dumps([Tag(99, 1), {"a": {"b": 2}}, Tag(37, bytes(16))])
    seen = []

    def tag_hook(tag):
        seen.append(tag)
        return ("tag", tag.tag)

    decoded = loads(data, tag_hook=tag_hook, object_hook=lambda d: ("map", sorted(d)))
    assert decoded == [("tag", 99), ("map", ["a"]), uuid.UUID(int=0)]
    assert seen == [Tag(99, 1)]  # called once, and not for a tag with a type
    assert cbor.loads_sequence(data + data, object_hook=len) == [[Tag(99, 1), 1, uuid.UUID(int=0)]] * 2
    assert loads(data, tag_hook=None, object_hook=None) == loads(data)

    class Boom(Exception):
        pass

    def raises(_):
        raise Boom

    with pytest.raises(Boom):
        loads(data, tag_hook=raises)
    for bad in ({"tag_hook": 1}, {"object_hook": "x"}):
        with pytest.raises(TypeError, match="must be callable or None"):
            loads(data, **bad)


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class Opaque:
    pass


def test_default_hook():
    encoder = Encoder(default=lambda p: {"x": p.x, "y": p.y})
    assert loads(encoder.encode([Point(1, 2), {"p": Point(3, Point(4, 5))}])) == [
        {"x": 1, "y": 2}, {"p": {"x": 3, "y": {"x": 4, "y": 5}}}]
    with pytest.raises(TypeError, match=r"^default returned an object of the type it was given, .*Opaque, "
                                        r"which it cannot encode at value\[0\]$"):
        Encoder(default=lambda o: Opaque()).encode([Opaque()])
    looping = Encoder(default=lambda o: [o])
    with pytest.raises(RecursionError):
        looping.encode(Opaque())


@pytest.mark.parametrize(
    "value, error, message",
    [
        (Opaque(), TypeError, "cannot encode an object of type .*Opaque$"),
        ({"a": [1, 2, 3, Opaque()]}, TypeError, r"Opaque at value\['a'\]\[3\]$"),
        ([{Opaque(): 1}], TypeError, r"Opaque \(a map key\) at value\[0\]\[<.*>\]$"),
        ({"s": {1, Opaque()}}, TypeError, r"Opaque at value\['s'\]\{<.*>\}$"),
        ([dt.datetime(2020, 1, 1)], ValueError, r"naive datetime .* without an Encoder timezone at value\[0\]$"),
        ("\ud800", ValueError, "lone surrogate$"),
        (ipaddress.IPv6Address("fe80::1%eth0"), ValueError, "with its zone$"),
        ([[[1]]], RuntimeError, "^Exceeded recursion limit:2$"),
    ],
)
def test_refusals_name_the_place(value, error, message):
    with pytest.raises(error, match=message):
        Encoder(max_depth=2).encode(value)


def test_special_decimals_are_floats():
    for text, encoded in (("NaN", "f97e00"), ("-sNaN", "f97e00"), ("Infinity", "f97c00"), ("-Infinity", "f9fc00")):
        assert Encoder().encode(Decimal(text)).hex() == encoded
    assert Encoder().encode(Decimal("-0.00")).hex() == "c4822100"


def test_settings():
    zone = dt.timezone(dt.timedelta(hours=2))
    hook = len
    encoder = Encoder(default=hook, datetime_as_timestamp=True, timezone=zone, indefinite=True, max_depth=7)
    assert (encoder.default, encoder.datetime_as_timestamp, encoder.timezone, encoder.indefinite,
            encoder.max_depth) == (hook, True, zone, True, 7)
    with pytest.raises(AttributeError):
        encoder.max_depth = 1
    plain = Encoder()
    assert repr(plain) == ("Encoder(default=None, datetime_as_timestamp=False, timezone=None, indefinite=False,"
                           " max_depth=0, deterministic=None)")
    evaluable = Encoder(datetime_as_timestamp=True, timezone=zone, max_depth=7, deterministic="core")
    again = eval(repr(evaluable), {"Encoder": Encoder, "datetime": dt})
    assert repr(again) == repr(evaluable)
    copy = pickle.loads(pickle.dumps(encoder))
    assert repr(copy) == repr(encoder) and copy.encode([dt.datetime(2020, 1, 1)]) == encoder.encode([dt.datetime(2020, 1, 1)])
    for bad in ({"default": 1}, {"timezone": "UTC"}, {"max_depth": -1}):
        with pytest.raises(TypeError):
            Encoder(**bad)
    for bad in ({"deterministic": "sorted"}, {"deterministic": 1}, {"deterministic": "core", "indefinite": True}):
        with pytest.raises(ValueError):
            Encoder(**bad)
    with pytest.raises(TypeError):
        Encoder(len)  # keyword-only


# RFC 8949, sections 4.2.1 and 4.2.3: the same keys in each order.
RFC_KEYS = [10, 100, -1, "z", "aa", (100,), (-1,), False]
RFC_ORDERS = {
    "core": [10, 100, -1, "z", "aa", (100,), (-1,), False],
    "length_first": [10, -1, False, 100, "z", (-1,), "aa", (100,)],
}


@pytest.mark.parametrize("mode", sorted(RFC_ORDERS))
def test_rfc_key_orders(mode):
    keys = list(RFC_KEYS)
    random.Random(8949).shuffle(keys)
    encoded = Encoder(deterministic=mode).encode({k: None for k in keys})
    assert list(loads(encoded)) == RFC_ORDERS[mode]
    assert encoded[0] == 0xA8


def shuffled(value, rng):
    """The same value with every dict's insertion order (and every set's
    iteration order, as far as building it anew changes it) shuffled."""
    if isinstance(value, dict):
        items = [(k, shuffled(v, rng)) for k, v in value.items()]
        rng.shuffle(items)
        return dict(items)
    if isinstance(value, list):
        return [shuffled(v, rng) for v in value]
    if isinstance(value, (set, frozenset)):
        items = list(value)
        rng.shuffle(items)
        return type(value)(items)
    return value


@settings(max_examples=300, deadline=None)
@given(values(), st.sampled_from(["core", "length_first"]), st.integers(0, 2**32))
def test_deterministic_encoding_ignores_insertion_order(value, mode, seed):
    encoder = Encoder(deterministic=mode)
    encoded = encoder.encode(value)
    assert encoder.encode(shuffled(value, random.Random(seed))) == encoded
    assert same(loads(encoded), value)


plain_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-(2**64), 2**64 - 1),
              st.floats(allow_nan=False).filter(lambda f: f == 0 or abs(f) >= 2.0**-14), st.text(), st.binary()),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.text(max_size=4) | st.integers(-1000, 1000), inner, max_size=5)
    | st.sets(st.integers(-1000, 1000) | st.text(max_size=3), max_size=4),
    max_leaves=15,
)


@settings(max_examples=400, deadline=None)
@given(plain_values)
def test_length_first_is_cbor2_canonical(value):
    """cbor2's canonical form (half-precision subnormals aside, which dumps
    writes in single precision)."""
    assert Encoder(deterministic="length_first").encode(value) == cbor2.dumps(value, canonical=True)
