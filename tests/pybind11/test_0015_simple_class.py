from patchtest import lines


def test_simple_instances_are_made_and_read_as_pybind11_lays_them_out():
    assert lines(
        """
        import gc, weakref
        from m0015 import Thing, get, is_type, load, make, metaclass_takes_vectorcalls, simple_counted, translated
        class Sub(Thing):
            pass
        made = make(4)
        print(type(made) is Thing, made.n(), made.plus(1), get(made), load(made), is_type(Thing))
        print(get(Sub(5)), get(3), get(Thing.__new__(Thing)), load(3))
        try:
            load(Thing.__new__(Thing))
        except TypeError as e:
            print(e)
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
        r = weakref.ref(made)
        del made
        gc.collect()
        print(r() is None, translated(), metaclass_takes_vectorcalls(Thing))
        try:
            simple_counted()
        except RuntimeError as e:
            print("refused" if "is not registered with one base" in str(e) else e)
        """
    ) == [
        "True 4 5 4 4 True",
        "5 None None None",
        "m0015.Thing: the value was never initialized (its __init__ did not run)",
        "8 6",
        "6 __init__(self: m0015.Thing, n: typing.SupportsInt | typing.SupportsIndex) -> None",
        "True translated True",
        "refused",
    ]
