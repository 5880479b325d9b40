import pytest

from _tolvane import Device, Dtype, Tensor, execute


@pytest.mark.parametrize("factory", [Tensor.zeros, Tensor.ones])
def test_factories(factory):
    t = factory([2, 2])
    assert (t.shape, t.dtype, t.device, t.allocated()) == ([2, 2], Dtype.FLOAT32, Device.CPU, True)
    t = factory(shape=(3,), dtype=Dtype.INT32, device=Device.CPU)
    assert repr(t) == "tolvane.Tensor(shape=[3], dtype=i32, device=cpu)"
    assert factory([]).numel() == 1 and factory([2, 0]).nbytes() == 0
    assert Tensor([1]).zeros([2]).shape == [2]  # static, also through an instance


@pytest.mark.parametrize("factory", [Tensor.zeros, Tensor.ones])
@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (([2],), {"device": Device.CUDA}, RuntimeError, "Buffer: only CPU device is implemented"),
        (([0],), {"device": Device.HIP}, RuntimeError, "Buffer: only CPU device is implemented"),
        (([1, 1, 1, 1, 1],), {}, ValueError, "Shape: rank exceeds MAX_RANK"),
        (([2**61, 8],), {}, ValueError, "Shape: element count exceeds the int64 range"),
        (([2**40], Dtype.INT64), {}, MemoryError, "std::bad_alloc"),
        (([-2],), {}, TypeError, None),
        (("23",), {}, TypeError, None),
    ],
)
def test_factory_errors(factory, args, kwargs, error, message):
    with pytest.raises(error) as info:
        factory(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "dims, shape",
    [([3, -1], [3, 2]), ([-1], [6]), ([6], [6]), ((1, 6), [1, 6]), ([2, 1, 3, 1], [2, 1, 3, 1])],
)
def test_view_and_reshape(dims, shape):
    t = Tensor([2, 3])
    for result in (t.view(dims), t.reshape(dims), t.view(dims=dims), t.reshape(dims=dims)):
        assert result.shape == shape and result.offset == 0 and result.is_contiguous()
        assert result.strides == Tensor(shape).strides


@pytest.mark.parametrize(
    "source, dims, error, message",
    [
        # The core's refusals, each kind translated (the C++ tests hold the rest).
        ([2, 3], [7], ValueError, "view/reshape: numel mismatch"),
        ([2, 3], [1, 1, 1, 1, 6], ValueError, "Shape: rank exceeds MAX_RANK"),
        ([2, 3], [2**63], TypeError, None),
        ([2, 3], [1.5], TypeError, None),
        ([2, 3], 6, TypeError, None),
    ],
)
def test_view_errors(source, dims, error, message):
    t = Tensor(source)
    for method in (t.view, t.reshape):
        with pytest.raises(error) as info:
            method(dims)
        if message is not None:
            assert str(info.value) == message


@pytest.mark.parametrize(
    "source, dims, shape",
    [
        ([1], [], []),
        ([], [-1], [1]),
        ([0], [2**32, 2**31, 0], [2**32, 2**31, 0]),
    ],
)
def test_edge_shapes(source, dims, shape):
    assert Tensor(source).view(dims).shape == shape


def test_contiguous_returns_the_same_record():
    t = Tensor([2, 3])
    c = t.contiguous()
    assert c is not t
    assert (c.shape, c.strides, c.offset, c.allocated()) == (t.shape, t.strides, t.offset, t.allocated())


def test_views_of_lazy_results_follow_their_storage():
    a, b = Tensor([2, 3]), Tensor([2, 3])
    c = a + b
    v, r, same = c.view([3, 2]), c.reshape([-1]), c.contiguous()
    assert not (v.allocated() or r.allocated() or same.allocated())
    execute(v)  # a view has no producer: nothing happens
    assert not c.allocated()
    execute(same)  # the very record of c: executes c
    assert c.allocated() and v.allocated() and r.allocated()


def test_view_as_an_operand_is_not_traced():
    a = Tensor([2, 3])
    c = a + a
    d = c.view([6]) + Tensor([6])
    execute(d)
    assert d.allocated() and not c.allocated()
