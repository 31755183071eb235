"""Threads: several threads walk shared and private data with shared
redactors while others change the global key lists, the redactors and the
data, with a switch interval of a microsecond.

The cases live in tests/isolated/threads.py and each runs in its own
interpreter, so that a crash fails the test instead of ending the run.
"""

import os
import subprocess
import sys

import pytest

SCRIPT = os.path.join(os.path.dirname(__file__), "isolated", "threads.py")
CASES = [
    "case_walks_while_global_lists_change",
    "case_shared_data_mutated_while_walked",
    "case_lists_shortened_under_list_walks",
    "case_redactor_lists_swapped_while_scanned",
]


@pytest.mark.parametrize("case", CASES)
def test_threads(case):
    result = subprocess.run(
        [sys.executable, SCRIPT, case], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr[-5000:]
    assert result.stderr == ""
    assert result.stdout == f"{case} ok\nOK\n"
