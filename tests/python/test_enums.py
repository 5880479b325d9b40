import pickle

import pytest

import _tolvane as tv

DTYPES = [("FLOAT32", 0, "fp32"), ("INT32", 1, "i32"), ("FLOAT64", 2, "f64"), ("INT64", 3, "i64")]
DEVICES = [("CPU", 0, "cpu"), ("CUDA", 1, "cuda"), ("HIP", 2, "hip")]
MEMBERS = [(tv.Dtype, *row) for row in DTYPES] + [(tv.Device, *row) for row in DEVICES]


@pytest.mark.parametrize("enum, name, value, short", MEMBERS)
def test_member(enum, name, value, short):
    member = getattr(enum, name)
    assert repr(member) == f"tolvane.{short}"
    assert repr([member]) == f"[tolvane.{short}]"
    assert str(member) == f"{enum.__name__}.{name}"
    assert member.value == value and int(member) == value and member.__index__() == value
    assert member.name == name
    assert hash(member) == value
    assert enum(value) == member and enum(value=value) == member
    assert getattr(tv, name) is member
    assert pickle.loads(pickle.dumps(member)) == member
    assert member.__getstate__() == value


@pytest.mark.parametrize("enum, names", [(tv.Dtype, [r[0] for r in DTYPES]), (tv.Device, [r[0] for r in DEVICES])])
def test_members_listing(enum, names):
    assert list(enum.__members__) == names
    members = enum.__members__
    members.clear()
    assert list(enum.__members__) == names
    assert enum.__module__ == "_tolvane"
    assert enum.__doc__ == "Members:\n\n" + "\n\n".join(f"  {n}" for n in names)


def test_equality_only_within_one_enumeration():
    assert not (tv.Dtype.FLOAT32 == 0)
    assert tv.Dtype.FLOAT32 != 0
    assert not (tv.Dtype.FLOAT32 == tv.Device.CPU)
    assert tv.Dtype.FLOAT32 != None  # noqa: E711
    assert tv.Dtype(2) == tv.Dtype.FLOAT64


def test_no_ordering_or_arithmetic():
    with pytest.raises(TypeError):
        _ = tv.Dtype.FLOAT32 < tv.Dtype.INT32
    with pytest.raises(TypeError):
        _ = tv.Dtype.FLOAT32 + 1


def test_aliases():
    pairs = [
        ("float32", tv.Dtype.FLOAT32),
        ("int32", tv.Dtype.INT32),
        ("float64", tv.Dtype.FLOAT64),
        ("int64", tv.Dtype.INT64),
        ("cpu", tv.Device.CPU),
    ]
    for alias, member in pairs:
        value = getattr(tv, alias)
        assert value == member and value is not member
    assert not hasattr(tv, "cuda") and not hasattr(tv, "hip")


@pytest.mark.parametrize(
    "enum, value, message",
    [
        (tv.Dtype, 7, "Unsupported Dtype"),
        (tv.Dtype, 255, "Unsupported Dtype"),
        (tv.Device, 3, "Unsupported device"),
        (tv.Device, -1, "Unsupported device"),
    ],
)
def test_unnamed_values(enum, value, message):
    member = enum(value)
    assert member.name == "???" and member.value == value
    with pytest.raises(ValueError, match=f"^{message}$"):
        repr(member)


@pytest.mark.parametrize(
    "enum, value", [(tv.Dtype, 256), (tv.Dtype, -1), (tv.Device, 2**31), (tv.Device, "CPU"), (tv.Dtype, 1.0)]
)
def test_unconvertible_values(enum, value):
    with pytest.raises(TypeError):
        enum(value)
