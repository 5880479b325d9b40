import pytest
from harness import lines

SETUP = """
from m0007 import Colour, Other, Thing
class ThingSub(Thing):
    pass
class ThingSub2(Thing):
    pass
class OtherSub(Other):
    pass
class Plain:
    pass
"""


@pytest.mark.parametrize(
    "value, cls",
    [
        ("Thing(1)", "Other"),
        ("Other(1.0)", "Thing"),
        ("Colour.RED", "Thing"),
        ("Thing(1)", "Colour"),
        ("ThingSub(1)", "Other"),
        ("ThingSub(1)", "OtherSub"),
        ("OtherSub(1.0)", "ThingSub"),
        ("Thing(1)", "Plain"),
        ("Thing(1)", "int"),
    ],
)
def test_assignment_between_classes_is_refused(value, cls):
    out = lines(
        SETUP
        + f"""
x = {value}
try:
    x.__class__ = {cls}
except TypeError as e:
    print(e)
print(type(x).__name__)
"""
    )
    assert out[0].startswith("__class__ assignment: ") and "layout differs" in out[0]
    assert out[1] == value.split("(")[0].split(".")[0]


def test_assignment_within_one_class_still_works():
    assert lines(
        SETUP
        + """
x = ThingSub(4)
x.__class__ = ThingSub2
print(type(x).__name__, x.n())
"""
    ) == ["ThingSub2 4"]
