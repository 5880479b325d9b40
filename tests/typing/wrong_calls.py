# Calls that the type checker must reject; checked by `./dev lint`.
from _tolvane import Tensor, execute

Tensor("23")
Tensor([2]).view(1.5)
Tensor([2]) + 1
execute(None)
