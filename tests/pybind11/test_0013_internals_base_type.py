from harness import IMPORT_OUT_OF_MEMORY, limits_memory, lines


@limits_memory
def test_import_again_after_the_internals_ran_out_of_memory():
    for freed in range(0, 16):
        assert lines(IMPORT_OUT_OF_MEMORY, freed, "m0013", "check()", memory_limit=True)[-1:] == ["3"]
