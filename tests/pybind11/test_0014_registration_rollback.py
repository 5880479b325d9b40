import pytest
from patchtest import IMPORT_OUT_OF_MEMORY, UNDER_ASAN, lines


@pytest.mark.linux_only("/proc and RLIMIT_AS cap the child's memory")
@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer maps its own memory beyond any RLIMIT_AS")
def test_import_again_after_registering_classes_ran_out_of_memory():
    for freed in range(0, 48, 2):
        assert lines(IMPORT_OUT_OF_MEMORY, str(freed), "m0014")[-1:] == ["4"]
