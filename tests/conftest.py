import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import zentrove.omit as omit  # noqa: E402


@pytest.fixture(autouse=True)
def clean_globals():
    """Every test starts and ends with empty global key lists."""
    omit.reset_omissions()
    omit.reset_trusted()
    yield
    omit.reset_omissions()
    omit.reset_trusted()
