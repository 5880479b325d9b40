"""
Tolvane doc
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['CPU', 'CUDA', 'Device', 'Dtype', 'FLOAT32', 'FLOAT64', 'HIP', 'INT32', 'INT64', 'Tensor', 'cpu', 'execute', 'float32', 'float64', 'int32', 'int64']
class Dtype:
    """
    Members:
    
      FLOAT32
    
      INT32
    
      FLOAT64
    
      INT64
    """
    FLOAT32: typing.ClassVar[Dtype]
    FLOAT64: typing.ClassVar[Dtype]
    INT32: typing.ClassVar[Dtype]
    INT64: typing.ClassVar[Dtype]
    __members__: typing.ClassVar[dict[str, Dtype]]
    @typing.overload
    def __eq__(self, other: Dtype) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    @typing.overload
    def __ne__(self, other: Dtype) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __repr__(self) -> str:
        ...
    @typing.overload
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class Device:
    """
    Members:
    
      CPU
    
      CUDA
    
      HIP
    """
    CPU: typing.ClassVar[Device]
    CUDA: typing.ClassVar[Device]
    HIP: typing.ClassVar[Device]
    __members__: typing.ClassVar[dict[str, Device]]
    @typing.overload
    def __eq__(self, other: Device) -> bool:
        ...
    @typing.overload
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __int__(self) -> int:
        ...
    @typing.overload
    def __ne__(self, other: Device) -> bool:
        ...
    @typing.overload
    def __ne__(self, other: typing.Any) -> bool:
        ...
    @typing.overload
    def __repr__(self) -> str:
        ...
    @typing.overload
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class Tensor:
    @staticmethod
    def ones(shape: collections.abc.Sequence[typing.SupportsIndex], dtype: Dtype = ..., device: Device = ...) -> Tensor:
        ...
    @staticmethod
    def zeros(shape: collections.abc.Sequence[typing.SupportsIndex], dtype: Dtype = ..., device: Device = ...) -> Tensor:
        ...
    def __add__(self, arg0: Tensor) -> Tensor:
        """
        Lazy elementwise add
        """
    def __init__(self, shape: collections.abc.Sequence[typing.SupportsIndex], dtype: Dtype = ..., device: Device = ...) -> None:
        """
        An empty (uninitialized) tensor.
        """
    def __repr__(self) -> str:
        ...
    def allocated(self) -> bool:
        """
        True if the tensor has backing storage allocated.
        """
    def contiguous(self) -> Tensor:
        """
        Copy to a contiguous tensor if needed, else return self.
        """
    def is_contiguous(self) -> bool:
        ...
    def nbytes(self) -> int:
        ...
    def numel(self) -> int:
        ...
    def reshape(self, dims: collections.abc.Sequence[typing.SupportsIndex]) -> Tensor:
        """
        View when contiguous, copying otherwise. One dim may be -1.
        """
    def view(self, dims: collections.abc.Sequence[typing.SupportsIndex]) -> Tensor:
        """
        Zero-copy reshape; requires a contiguous tensor. One dim may be -1.
        """
    @property
    def device(self) -> Device:
        ...
    @property
    def dtype(self) -> Dtype:
        ...
    @property
    def offset(self) -> int:
        ...
    @property
    def shape(self) -> list[int]:
        ...
    @property
    def strides(self) -> list[int]:
        ...
def execute(output: Tensor) -> None:
    """
    Materialize tensors in the graph
    """
CPU: Device
CUDA: Device
FLOAT32: Dtype
FLOAT64: Dtype
HIP: Device
INT32: Dtype
INT64: Dtype
__version__: str = '0.1.0'
cpu: Device
float32: Dtype
float64: Dtype
int32: Dtype
int64: Dtype
