import pytest

import durnel_core


@pytest.fixture
def state():
    return durnel_core.CoordinationState()
