from harness import lines


def test_a_class_is_called_through_its_own_vectorcall_alone():
    # Its subclasses and other classes are called through the metaclass.
    assert lines(
        """
        from m0019 import Other, Thing, calls
        class Sub(Thing):
            pass
        print(Thing(5).n(), calls(), Sub(6).n(), Other(7).n(), calls(), type(Thing).__call__(Thing, 8).n(), calls())
        """
    ) == ["5 1 6 7 1 8 1"]
