import pytest
from harness import lines

SETUP = """
import gc
from m0016 import Base, Derived, Other, Thing, base_of, live
class ThingSub(Thing):
    pass
class JustThing(Thing):
    pass
class Meta(type(Thing)):
    def mro(cls):
        return (cls, Thing, Other, Thing.__base__, object)
"""

# Each route by which Python comes to name another class for an instance
# whose layout holds a value of its first class; `x` is that instance.
ROUTES = {
    "object's __class__ setter": "x = Other(1.5)\nobject.__dict__['__class__'].__set__(x, Thing)",
    "__bases__ of a subclass": "class S(Other):\n    pass\nx = S(1.5)\nS.__bases__ = (Thing,)",
    "__bases__ of a subclass, by its descriptor": (
        "class S(Other):\n    pass\nx = S(1.5)\ntype.__dict__['__bases__'].__set__(S, (Thing,))"
    ),
    "__bases__ of a bound class, by its descriptor": (
        "x = Other(1.5)\ntype.__dict__['__bases__'].__set__(Other, (Thing,))"
    ),
    "a metaclass's mro()": (
        "class S(Other, metaclass=Meta):\n    def __init__(self, v):\n        Other.__init__(self, v)\nx = S(1.5)"
    ),
}


@pytest.mark.parametrize("use", ["x.n()", "Thing.__init__(x, 4)", "Thing.n(x)"])
@pytest.mark.parametrize("route", ROUTES)
def test_a_value_is_read_only_as_its_own_type(route, use):
    out = lines(
        SETUP
        + ROUTES[route]
        + f"""
print(isinstance(x, Thing))
try:
    {use}
except TypeError:
    print("TypeError")
del x
gc.collect()
print(live())
"""
    )
    assert out == ["True", "TypeError", "0"]


def test_values_outlive_a_move_whole_and_leak_nothing():
    # An instance with two values moved to a class of one; its class and the
    # second value's class are gone from Python's view while it lives.
    assert lines(
        SETUP
        + """
class Both(Thing, Other):
    def __init__(self):
        Thing.__init__(self, 3)
        Other.__init__(self, 2.5)
for _ in range(3):
    b = Both()
    object.__dict__['__class__'].__set__(b, JustThing)
    print(b.n(), live())
    del b
gc.collect()
print(live())
x = ThingSub(4)
x.__class__ = JustThing
print(x.n(), base_of(Derived()), base_of(Base()))
# The class whose value an instance holds dies only after the instance.
import m0016, weakref
del x, Both
o, kept = Other(1.5), weakref.ref(Other)
object.__dict__['__class__'].__set__(o, Thing)
del m0016.Other, Other
gc.collect()
alive = kept() is not None
del o
gc.collect()
print(alive, kept() is None, live())
"""
    ) == ["3 2"] * 3 + ["0", "4 1 1", "True True 0"]
