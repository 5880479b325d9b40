from harness import lines


def test_simple_instances_are_made_and_read_as_pybind11_lays_them_out():
    assert lines(
        """
        import gc, weakref
        from m0015 import Thing, get, is_type, load, make, simple_counted
        class Sub(Thing):
            pass
        made = make(4)
        print(type(made) is Thing, made.n(), made.plus(1), get(made), load(made), is_type(Thing))
        print(get(Sub(5)), get(3), get(Thing.__new__(Thing)), load(3))
        try:
            load(Thing.__new__(Thing))
        except TypeError as e:
            print(e)
        r = weakref.ref(made)
        del made
        gc.collect()
        print(r() is None)
        try:
            simple_counted()
        except RuntimeError as e:
            print("refused" if "is not registered with one base" in str(e) else e)
        """
    ) == [
        "True 4 5 4 4 True",
        "5 None None None",
        "m0015.Thing: the value was never initialized (its __init__ did not run)",
        "True",
        "refused",
    ]
