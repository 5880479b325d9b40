"""Property-based tests: view/reshape through the binding, and random
sequences of calls whose invariants hold after every step."""

from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from _tolvane import Dtype, Tensor, execute

INT64_MAX = 2**63 - 1
SIZES = {Dtype.FLOAT32: 4, Dtype.INT32: 4, Dtype.FLOAT64: 8, Dtype.INT64: 8}


def contiguous_strides(shape):
    strides, running = [], 1
    for extent in reversed(shape):
        strides.append(running)
        running *= extent
    return strides[::-1]


def laid_out(t, dims, call):
    """`call(dims)`, checked for what the binding adds to view and reshape:
    the dims arrive whole, and a refusal arrives as the core's ValueError
    (the core's inference and its messages are the C++ tests'). None when
    refused."""
    try:
        result = call(dims)
    except ValueError as e:
        assert str(e).startswith(("view/reshape: ", "Shape: ")), e
        return None
    assert len(result.shape) == len(dims) and all(r == d for r, d in zip(result.shape, dims, strict=True) if d != -1)
    assert result.strides == contiguous_strides(result.shape)
    assert result.numel() == t.numel() and result.nbytes() == t.nbytes()
    return result


extents = st.lists(st.integers(0, 6), max_size=4)
dims = st.lists(
    st.one_of(st.integers(-3, 8), st.sampled_from([-1, -1, 0, 1, 2**31, 2**32, 2**62, INT64_MAX])), max_size=5
)


@settings(max_examples=600, deadline=None)
@given(shape=extents, dims=dims, method=st.sampled_from(["view", "reshape"]))
def test_view_and_reshape_convert_and_translate(shape, dims, method):
    t = Tensor(shape)
    laid_out(t, dims, getattr(t, method))


class TensorMachine(RuleBasedStateMachine):
    """Random creation, filling, adding, viewing and executing."""

    def __init__(self):
        super().__init__()
        # (tensor, storage group, the entries it was added from, or None when
        # no recorded addition produced its record)
        self.tensors = []
        self.allocated = {}  # storage group -> allocated seen
        self.groups = 0

    def _keep(self, t, group=None, inputs=None):
        if group is None:
            group, self.groups = self.groups, self.groups + 1
        self.tensors.append((t, group, inputs))
        self.allocated[group] = self.allocated.get(group, False) or t.allocated()

    @rule(shape=extents, dtype=st.sampled_from(list(SIZES)), how=st.sampled_from(["empty", "zeros", "ones"]))
    def create(self, shape, dtype, how):
        factory = {"empty": Tensor, "zeros": Tensor.zeros, "ones": Tensor.ones}[how]
        self._keep(factory(shape, dtype))

    @precondition(lambda self: self.tensors)
    @rule(data=st.data())
    def add(self, data):
        left = data.draw(st.sampled_from(self.tensors))
        right = data.draw(st.sampled_from(self.tensors))
        a, b = left[0], right[0]
        same = a.shape == b.shape and a.dtype == b.dtype
        try:
            c = a + b
        except ValueError as e:
            assert not same
            assert str(e) in {"add: dtype mismatch", "add: rank mismatch", "add: shape mismatch"}
        else:
            assert same
            assert c.allocated() == (c.nbytes() == 0)
            self._keep(c, inputs=(left, right))

    @precondition(lambda self: self.tensors)
    @rule(data=st.data(), dims=dims, method=st.sampled_from(["view", "reshape", "contiguous"]))
    def layout(self, data, dims, method):
        t, group, inputs = data.draw(st.sampled_from(self.tensors))
        if method == "contiguous":  # the very record, so it keeps its producer
            self._keep(t.contiguous(), group, inputs)
        elif (v := laid_out(t, dims, getattr(t, method))) is not None:
            self._keep(v, group)

    @precondition(lambda self: self.tensors)
    @rule(data=st.data())
    def run(self, data):
        entry = data.draw(st.sampled_from(self.tensors))
        execute(entry[0])
        pending = [entry]
        while pending:  # everything upstream through recorded additions
            _, group, inputs = pending.pop()
            if inputs is not None:
                self.allocated[group] = True
                pending.extend(inputs)

    @invariant()
    def layout_is_consistent(self):
        for t, group, _ in self.tensors:
            assert t.nbytes() == t.numel() * SIZES[t.dtype]
            assert t.strides == contiguous_strides(t.shape) and t.offset == 0 and t.is_contiguous()
            # Allocation never goes back, and views follow their storage.
            assert t.allocated() == (self.allocated[group] or t.nbytes() == 0)


TensorMachine.TestCase.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)
test_tensor_machine = TensorMachine.TestCase
