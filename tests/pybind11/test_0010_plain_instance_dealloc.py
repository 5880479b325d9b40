from harness import lines


def test_freeing_keeps_what_each_instance_needs():
    # Weak references, dicts, subclasses, uninitialised and registered
    # instances, patients, and an exception being raised meanwhile.
    assert lines(
        """
        import gc, weakref
        from m0010 import Open, Thing, keeping, make
        seen = []
        class Sub(Thing):
            pass
        class Patient:
            pass
        def raising():
            t, u = make(2), Sub(3)
            raise KeyError("kept")
        for round in range(3):
            r = weakref.ref(Thing(2), lambda ref: seen.append("callback"))
            s = Sub(2); s.note = "dict"; del s
            o = Open(1); o.note = "dict"; del o
            bare = Thing.__new__(Thing); del bare
            made = [make(i) for i in range(100)]; del made
            patient = Patient(); r2 = weakref.ref(patient)
            kept = keeping(patient); del patient
            alive = r2() is not None
            del kept
            try:
                raising()
            except KeyError as e:
                seen.append(repr(e))
        gc.collect()
        print(seen == ["callback", "KeyError('kept')"] * 3, alive, r2() is None, make(5).n())
        """
    ) == ["True True True 5"]
