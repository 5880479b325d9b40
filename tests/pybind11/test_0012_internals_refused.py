from harness import lines


def test_an_audit_hook_refusing_the_internals_fails_the_import():
    # The hook refuses the first attribute pybind11 sets on a type of its own
    # while it makes its internals: the import fails with that error as its
    # cause, and succeeds once the hook lets it through.
    assert lines(
        """
        import sys
        refuse = True
        def hook(event, args):
            if refuse and event == "object.__setattr__" and getattr(args[0], "__name__", "") == "pybind11_type":
                raise RuntimeError("audit says no")
        sys.addaudithook(hook)
        try:
            import m0012
        except ImportError as e:
            print(type(e.__cause__).__name__, e.__cause__)
        refuse = False
        import m0012
        print(m0012.Thing(2).n())
        """
    ) == ["RuntimeError audit says no", "2"]
