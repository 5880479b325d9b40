import pytest

import _tolvane


@pytest.fixture
def tv():
    return _tolvane
