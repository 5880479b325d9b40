import pytest
from patchtest import lines

# Each case frees a Python subclass while it is the type looked up last,
# then makes and frees instances of new types (often at the freed type's
# address).
CASES = {
    "one collection": """
        class T(Thing):
            pass
        t = T(1); t.self = t; T.keep = t
        n_of(t); del t, T
        gc.collect()
    """,
    "instance outlives its class object": """
        t = type("T", (Thing,), {})(1)
        n_of(t)
        del t
    """,
    "callback by hand": """
        class T(Thing):
            pass
        n_of(T(1))
        cb = next(w.__callback__ for w in weakref.getweakrefs(T) if w.__callback__)
        try:
            cb(weakref.ref(T))
        except TypeError:
            pass
        del T, cb
        gc.collect()
    """,
    "at exit": """
        class T(Thing):
            pass
        t = T(1); t.self = t
        n_of(t)
        exit_check = True
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_freed_types_are_forgotten(case):
    program = "import gc, weakref\nfrom m0011 import Thing, n_of\n" + "\n".join(
        line[8:] for line in CASES[case].splitlines()
    )
    program += """
for i in range(200):
    U = type(f"U{i}", (Thing,), {})
    u = U(i)
    assert n_of(u) == i and n_of(Thing(i)) == i
    del u, U
    if i % 50 == 0:
        gc.collect()
print("ok")
"""
    assert lines(program) == ["ok"]
