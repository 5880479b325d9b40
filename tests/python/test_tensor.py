import pytest

from _tolvane import Device, Dtype, Tensor


def test_layout_of_a_new_tensor():
    t = Tensor([2, 3])
    assert (t.shape, t.strides, t.offset) == ([2, 3], [3, 1], 0)
    assert (t.numel(), t.nbytes(), t.allocated(), t.is_contiguous()) == (6, 24, True, True)
    assert t.dtype == Dtype.FLOAT32 and t.device == Device.CPU
    # the enumerations' own members, as CPython's enumerations give them
    assert t.dtype is Dtype.FLOAT32 and t.device is Device.CPU


@pytest.mark.parametrize(
    "args, kwargs, shape, dtype, nbytes",
    [
        (([2, 3], Dtype.INT64), {}, [2, 3], Dtype.INT64, 48),
        ((), {"shape": [4], "device": Device.CPU, "dtype": Dtype.FLOAT64}, [4], Dtype.FLOAT64, 32),
        (((2, 3),), {}, [2, 3], Dtype.FLOAT32, 24),
        (([],), {}, [], Dtype.FLOAT32, 4),
        (([2, 0],), {}, [2, 0], Dtype.FLOAT32, 0),
        (([1, 2, 3, 4], Dtype.INT32, Device.CPU), {}, [1, 2, 3, 4], Dtype.INT32, 96),
    ],
)
def test_construction(args, kwargs, shape, dtype, nbytes):
    t = Tensor(*args, **kwargs)
    assert t.shape == shape and t.dtype == dtype and t.nbytes() == nbytes
    assert t.allocated()


def test_rank_zero_and_empty():
    scalar = Tensor([])
    assert (scalar.shape, scalar.strides, scalar.numel()) == ([], [], 1)
    empty = Tensor([2, 0, 3])
    assert (empty.numel(), empty.strides) == (0, [0, 3, 1])


@pytest.mark.parametrize(
    "t, text",
    [
        (Tensor([2, 3]), "tolvane.Tensor(shape=[2, 3], dtype=fp32, device=cpu)"),
        (Tensor([10, 1, 7], Dtype.INT32), "tolvane.Tensor(shape=[10, 1, 7], dtype=i32, device=cpu)"),
        (Tensor([], Dtype.INT64), "tolvane.Tensor(shape=[], dtype=i64, device=cpu)"),
        (Tensor([0], Dtype.FLOAT64), "tolvane.Tensor(shape=[0], dtype=f64, device=cpu)"),
    ],
)
def test_repr(t, text):
    assert repr(t) == text and str(t) == text


def test_properties_are_read_only_copies():
    t = Tensor([2, 3])
    t.shape.append(4)
    t.strides[0] = 9
    assert t.shape == [2, 3] and t.strides == [3, 1]
    for name in ("shape", "strides", "dtype", "device", "offset"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
    with pytest.raises(AttributeError):
        t.extra = 1
