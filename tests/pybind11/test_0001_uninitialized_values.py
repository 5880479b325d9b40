from harness import lines


def test_uninitialized_values_are_refused():
    assert lines(
        """
        from m0001 import Colour, Thing, value
        for call in (lambda: Thing.__new__(Thing).n(), lambda: value(Colour.__new__(Colour))):
            try:
                print(call())
            except TypeError as e:
                print(e)
        print(Thing(3).n(), value(Colour.GREEN))
        """
    ) == [
        "m0001.Thing: the value was never initialized (its __init__ did not run)",
        "m0001.Colour: the value was never initialized (its __init__ did not run)",
        "3 1",
    ]
