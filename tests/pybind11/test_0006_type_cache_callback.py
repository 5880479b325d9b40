from harness import run


def test_the_callback_takes_only_its_own_weak_reference():
    out = run(
        """
        import gc, sys, weakref
        from m0006 import Thing
        class T(Thing):
            pass
        T(2).n()
        cb = next(w.__callback__ for w in weakref.getweakrefs(T) if w.__callback__)
        x = Thing(2)
        before = sys.getrefcount(x)
        for arg in (x, x, x, None, weakref.ref(T)):
            try:
                cb(arg)
            except TypeError as e:
                print(e)
        print(sys.getrefcount(x) == before, x.n())
        # The class dies: the callback runs with its own reference.
        del T, cb
        gc.collect()
        class U(Thing):
            pass
        print(U(3).n())
        """
    )
    refused = "pybind11's type-cache callback takes only its own weak reference"
    assert out.stdout.splitlines() == [refused] * 5 + ["True 2", "3"]
    assert out.stderr == ""
