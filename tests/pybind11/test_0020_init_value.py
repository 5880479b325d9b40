from harness import lines


def test_a_second_init_assigns_the_value_in_place():
    # `plus` holds the value while an argument's __index__ re-initialises it.
    assert lines(
        """
        from m0020 import Thing
        t = Thing(1)
        class Index:
            def __index__(self):
                t.__init__(6)
                return 2
        print(t.plus(Index()), t.n())
        try:
            t.__init__("x")
        except TypeError:
            print(t.n(), Thing.__init__.__doc__.splitlines()[0])
        """
    ) == ["8 6", "6 __init__(self: m0020.Thing, n: typing.SupportsInt | typing.SupportsIndex) -> None"]
