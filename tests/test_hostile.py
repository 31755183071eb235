"""Hostile input, each case in its own interpreter, because a fault there
would be a crash: nesting a million levels deep and self-containing data
(deep_nesting.py), Python code that raises or changes data and redactor
while a walk runs (hostile_walks.py), and hostile pickle states and
checksums (hostile_pickles.py).  tests/test_model.py holds the walks to the
model on any data; these are the cases a model cannot cover.
"""

import pytest

from helpers import assert_case_passes, case_names

SCRIPTS = ("deep_nesting.py", "hostile_walks.py", "hostile_pickles.py")

pytestmark = pytest.mark.slow


def test_every_script_has_its_cases():
    assert [len(case_names(script)) >= 5 for script in SCRIPTS] == [True] * len(SCRIPTS)


@pytest.mark.parametrize("script, case", [(s, c) for s in SCRIPTS for c in case_names(s)])
def test_isolated_case(script, case):
    assert_case_passes(script, case)
