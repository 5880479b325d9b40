"""Property-based tests: view/reshape against a reference model, and random
sequences of calls whose invariants hold after every step."""

import math

from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from _tolvane import Dtype, Tensor, execute

INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1
SIZES = {Dtype.FLOAT32: 4, Dtype.INT32: 4, Dtype.FLOAT64: 8, Dtype.INT64: 8}


def contiguous_strides(shape):
    strides, running = [], 1
    for extent in reversed(shape):
        strides.append(running)
        running *= extent
    return strides[::-1]


def model_infer(numel, dims):
    """What view/reshape must do: the shape, or the exact error text."""
    if len(dims) > 4:
        return "Shape: rank exceeds MAX_RANK"
    known, inferred = 1, None
    for i, d in enumerate(dims):
        if d == -1:
            if inferred is not None:
                return "view/reshape: only one -1 dimension allowed"
            inferred = i
        elif d < -1:
            return "view/reshape: dimensions must be >= 0 or -1"
        else:
            known *= d
    if known > INT64_MAX:
        return "view/reshape: product of dims exceeds the int64 range"
    result = [0 if d == -1 else d for d in dims]
    if inferred is not None:
        if known != 0:
            if numel % known:
                return "view/reshape: numel is not divisible by known dims"
            result[inferred] = numel // known
        elif numel != 0:
            return "view/reshape: cannot infer dimension"
    elif known != numel:
        return "view/reshape: numel mismatch"
    if any(stride > UINT64_MAX for stride in contiguous_strides(result)):
        return "Shape: stride exceeds the uint64 range"
    if math.prod(result) > INT64_MAX:
        return "Shape: element count exceeds the int64 range"
    return result


extents = st.lists(st.integers(0, 6), max_size=4)
dims = st.lists(
    st.one_of(st.integers(-3, 8), st.sampled_from([-1, -1, 0, 1, 2**31, 2**32, 2**62, INT64_MAX])), max_size=5
)


@settings(max_examples=600, deadline=None)
@given(shape=extents, dims=dims, method=st.sampled_from(["view", "reshape"]))
def test_view_and_reshape_match_the_model(shape, dims, method):
    t = Tensor(shape)
    expected = model_infer(t.numel(), dims)
    try:
        result = getattr(t, method)(dims)
    except ValueError as e:
        assert str(e) == expected
    else:
        assert result.shape == expected, expected
        assert result.strides == contiguous_strides(expected)
        assert result.numel() == t.numel() and result.nbytes() == t.nbytes()


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
        try:
            v = t.contiguous() if method == "contiguous" else getattr(t, method)(dims)
        except ValueError as e:
            assert str(e) == model_infer(t.numel(), dims)
        else:
            # contiguous() returns the very record, so it keeps its producer.
            self._keep(v, group, inputs if method == "contiguous" else None)

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
