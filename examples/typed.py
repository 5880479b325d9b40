"""A typed use of tolvane: passes `mypy --strict` through the shipped stubs."""

import _tolvane as tv
from _tolvane import Dtype, Tensor


def flat_sum(a: Tensor, b: Tensor) -> Tensor:
    total = (a + b).reshape([-1])
    tv.execute(total)
    return total


def main() -> None:
    a = Tensor.ones([2, 3], Dtype.FLOAT64)
    b = Tensor.zeros((2, 3), dtype=Dtype.FLOAT64)
    total = flat_sum(a, b)
    shape: list[int] = total.shape
    print(shape, total.allocated(), repr(total.dtype))


if __name__ == "__main__":
    main()
