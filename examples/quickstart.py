"""A first look at tolvane."""

import _tolvane as tv
from _tolvane import Dtype, Tensor

print("tolvane", tv.__version__)
print("element types:", ", ".join(f"{name}={member!r}" for name, member in tv.Dtype.__members__.items()))
print("devices:      ", ", ".join(f"{name}={member!r}" for name, member in tv.Device.__members__.items()))

a = Tensor([2, 3])
print(a)
print("  shape", a.shape, "strides", a.strides, "offset", a.offset)
print("  numel", a.numel(), "nbytes", a.nbytes(), "allocated", a.allocated(), "contiguous", a.is_contiguous())
print(Tensor([4], dtype=Dtype.INT64), "nbytes", Tensor([4], dtype=Dtype.INT64).nbytes())

# Additions are lazy: `a + b` records an ADD node and returns an unallocated result.
b = Tensor([2, 3])
c = a + b
print("c = a + b ->", c, "allocated", c.allocated())
tv.execute(c)
print("after execute(c): allocated", c.allocated())

# Views share storage; reshape is a view when the tensor is contiguous.
ones = Tensor.ones([2, 3], Dtype.INT32)
v = ones.view([3, -1])
print("ones([2, 3]).view([3, -1]) ->", v, "strides", v.strides)
print("reshape([-1]) ->", ones.reshape([-1]))
d = a + b
flat = d.view([6])
print("view of an unexecuted result: allocated", flat.allocated())
tv.execute(d)
print("after execute(d): the view is allocated", flat.allocated())
