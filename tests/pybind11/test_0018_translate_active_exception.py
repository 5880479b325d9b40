from harness import lines


def test_the_active_exception_becomes_the_dispatchers_error():
    assert lines("from m0018 import translated\nprint(translated(0), translated(1))") == [
        "('ValueError', 'translated') ('IndexError', 'out of range')"
    ]
