"""The mutation table (tests/mutants/run.py) names faults by the exact text
they replace: a row whose text was rewritten away would be reported stale
and test nothing, so each must still stand once in its file."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_every_fault_row_names_text_that_stands_once():
    spec = importlib.util.spec_from_file_location("run", ROOT / "tests" / "mutants" / "run.py")
    run = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(run)
    sources = ROOT / run.SOURCES
    off = {
        i: name
        for i, (_area, name, old, new) in enumerate(run.FAULTS, 1)
        if (sources / name).read_text(encoding="utf-8").count(old) != 1 or old == new
    }
    assert off == {}
