from harness import lines


def test_the_function_record_type_is_not_instantiable():
    out = lines(
        """
        from m0005 import one
        record = type(one.__self__)
        try:
            record()
        except TypeError as e:
            print(e)
        print(record.__init__(one.__self__), one())
        """
    )
    assert out[0].startswith("cannot create 'pybind11_builtins.pybind11_detail_function_record")
    assert out[1:] == ["None 1"]
