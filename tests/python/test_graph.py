import pytest
from harness import limits_memory, lines

from _tolvane import Dtype, Tensor, execute


def test_add_is_lazy_and_execute_materialises():
    a, b = Tensor([2, 3]), Tensor([2, 3], Dtype.FLOAT32)
    c = a + b
    assert (c.shape, c.strides, c.offset, c.dtype, c.device) == ([2, 3], [3, 1], 0, a.dtype, a.device)
    assert repr(c) == "tolvane.Tensor(shape=[2, 3], dtype=fp32, device=cpu)"
    assert c.nbytes() == 24 and not c.allocated()
    assert execute(c) is None
    assert c.allocated() and a.allocated() and b.allocated()
    assert execute(output=c) is None and c.allocated()
    assert execute(a) is None


def test_chained_results_are_materialised_producer_first():
    a, b = Tensor([4]), Tensor([4])
    inner = a + b
    d = inner + a
    e = (a + b) + a  # the inner result lives on only through the graph
    execute(d)
    assert inner.allocated() and d.allocated() and not e.allocated()
    execute(e)
    assert e.allocated()


def test_execute_touches_nothing_downstream():
    a = Tensor([3])
    c = a + a
    d = c + c
    execute(c)
    assert c.allocated() and not d.allocated()


def test_zero_sized_results_count_as_allocated():
    c = Tensor([0, 3]) + Tensor([0, 3])
    assert c.allocated() and c.numel() == 0
    execute(c)


def test_augmented_add_rebinds():
    a = Tensor([2])
    original = a
    a += Tensor([2])
    assert a is not original and not a.allocated() and original.allocated()
    assert not hasattr(Tensor, "__radd__") and not hasattr(Tensor, "__iadd__")


@pytest.mark.parametrize(
    "left, right, message",
    [
        (Tensor([2]), Tensor([3]), "add: shape mismatch"),
        (Tensor([2]), Tensor([2], Dtype.INT32), "add: dtype mismatch"),
        (Tensor([2]), Tensor([3, 1], Dtype.INT32), "add: dtype mismatch"),
        (Tensor([2]), Tensor([2, 1]), "add: rank mismatch"),
        (Tensor([]), Tensor([1]), "add: rank mismatch"),
    ],
)
def test_add_mismatches(left, right, message):
    with pytest.raises(ValueError) as info:
        left + right
    assert str(info.value) == message


@pytest.mark.parametrize("other", [1, 1.0, None, [2], "x"])
def test_add_with_non_tensors(other):
    t = Tensor([2])
    with pytest.raises(TypeError):
        t + other
    with pytest.raises(TypeError):
        other + t


@pytest.mark.parametrize("arg", [None, [2], 1])
def test_execute_needs_a_tensor(arg):
    with pytest.raises(TypeError):
        execute(arg)


def test_million_node_chain_executes_and_exits_cleanly():
    out = lines(
        """
        from _tolvane import Tensor, execute
        b = Tensor([2])
        x = Tensor([2])
        first = x + b
        x = first
        for _ in range(10**6 - 1):
            x = x + b
        execute(x)
        print(first.allocated(), x.allocated())
        """,
        timeout=300,
    )
    assert out == ["True True"]


def test_threads_adding_and_executing_at_once():
    assert lines(
        """
        import threading
        from _tolvane import Tensor, execute
        results, errors = [], []
        def work(seed):
            try:
                x = Tensor([seed % 5 + 1, 3])
                for i in range(2000):
                    x = x + x if i % 3 else x + Tensor(x.shape)
                    if i % 97 == 0:
                        execute(x)
                    v = x.view([-1])
                execute(x)
                results.append(x.allocated() and v.allocated())
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(results), all(results), errors)
        """
    ) == ["8 True []"]


# execute(root) with root = left + right: a short chain on the left, a long
# one on the right, so that the walk still grows after reaching the left
# chain. Under address-space limits from tight to ample, execute either
# completes or raises MemoryError; after a MemoryError the allocated results
# are a prefix of the execution order (left chain first), and when the walk
# itself ran out, none at all.
WALK_OUT_OF_MEMORY = """
import sys
from _tolvane import Tensor, execute
def chain(n):
    out, b = Tensor([2]), Tensor([2])
    results = []
    for _ in range(n):
        out = out + b
        results.append(out)
    return results
left, right = chain(100), chain(300_000)
root = left[-1] + right[-1]
outcome = None
limit(int(sys.argv[1]))
try:
    execute(root)
    outcome = "done"
except MemoryError:
    outcome = "MemoryError"
unlimit()
flags = [t.allocated() for t in left + right + [root]]
allocated = flags.index(False) if False in flags else len(flags)
assert not any(flags[allocated:]), "not a prefix of the order"
print(outcome, allocated)
"""


@limits_memory
def test_execute_out_of_memory_in_the_walk_changes_no_storage():
    outcomes = []
    for extra in (0, 1 << 20, 4 << 20, 64 << 20):
        outcome, allocated = lines(WALK_OUT_OF_MEMORY, extra, memory_limit=True)[0].split()
        outcomes.append((outcome, int(allocated)))
    # The walk of the long chain needs more than 4 MiB; its results about 24.
    assert outcomes == [("MemoryError", 0)] * 3 + [("done", 300_101)]
