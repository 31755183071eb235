"""Threads: several threads walk shared and private data with shared
redactors while others change the global key lists, the redactors and the
data, with a switch interval of a microsecond.

The cases live in tests/isolated/threads.py and each runs in its own
interpreter, so that a crash fails the test instead of ending the run.
"""

import pytest

from helpers import assert_case_passes, case_names


@pytest.mark.slow
@pytest.mark.parametrize("case", case_names("threads.py"))
def test_threads(case):
    assert_case_passes("threads.py", case, timeout=120)
