"""A first look at tolvane."""

import _tolvane as tv

print("tolvane", tv.__version__)
print("element types:", ", ".join(f"{name}={member!r}" for name, member in tv.Dtype.__members__.items()))
print("devices:      ", ", ".join(f"{name}={member!r}" for name, member in tv.Device.__members__.items()))
