# Calls that the type checker must reject, each with the error it must give;
# `./dev lint` runs mypy with --warn-unused-ignores, so an accepted call fails.
from _tolvane import Tensor, execute

Tensor("23")  # type: ignore[arg-type]
Tensor([2]).view(1.5)  # type: ignore[arg-type]
Tensor([2.5])  # type: ignore[list-item]
Tensor.zeros((2, 1.0))  # type: ignore[arg-type]
Tensor([2]) + 1  # type: ignore[operator]
execute(None)  # type: ignore[arg-type]
