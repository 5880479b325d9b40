from harness import IMPORT_OUT_OF_MEMORY, limits_memory, lines


@limits_memory
def test_import_again_after_registering_classes_ran_out_of_memory():
    for freed in range(0, 48, 2):
        assert lines(IMPORT_OUT_OF_MEMORY, freed, "m0014", "check()", memory_limit=True)[-1:] == ["4"]
