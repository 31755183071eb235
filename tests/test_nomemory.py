"""Memory exhaustion: an allocation failure injected at every step of import,
construction, the walks, hide, the global lists and pickling of
zentrove.omit, and of Redactor: construction, the walks, the JSON text path
and scan().

Each group runs tests/isolated/nomemory.py (Redactor: redactor_nomemory.py)
in its own interpreter (see its docstring for the two modes and what a run
must end with); here we check that the script got through, and that each
sweep both hit failures and reached a run that got through.
"""

import re

import pytest

from helpers import run_isolated

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("_testcapi has no set_nomemory", allow_module_level=True)

LINE = re.compile(r"^(?P<name>.+): N=(?P<n>\d+) memory_errors=(?P<memory>\d+)$")

GROUPS = {
    "import": ["import"],
    "construct": [
        "Omitter(list)",
        "Omitter()",
        "Omitter(omissions=)",
        "NoTrustOmitter(list)",
        "NoTrustOmitter()",
        "Omitter subclass",
        "NoTrustOmitter subclass",
        "Omitter.__init__ again",
        "NoTrustOmitter.__init__ again",
        "Omitter(tuple)",
        "Omitter(two args)",
        "NoTrustOmitter(unhashable)",
    ],
    "omit": [
        "Omitter.omit",
        "NoTrustOmitter.omit",
        "override of omit",
        "omit(None)",
        "omit(int key)",
        "omit(OrderedDict value)",
        "omit unbuilt",
    ],
    "omit_recurse": [
        "omit_recurse do=True",
        "omit_recurse do=False",
        "NoTrustOmitter.omit_recurse",
        "omit_recurse(None)",
        "omit_recurse(tuple)",
        "omit_recurse(three args)",
    ],
    "hide": [
        "hide(ascii)",
        "hide(wide)",
        "hide(target=)",
        "hide(None)",
        "hide(int)",
        "hide(two args)",
        "hide(other=)",
        "hide(str, other=)",
    ],
    "globals": [
        "always_omit",
        "always_trust",
        "globally_hidden",
        "globally_trusted",
        "reset_omissions",
        "reset_trusted",
        "always_omit(None)",
        "always_trust(tuple)",
        "globally_hidden(1)",
    ],
    "pickling": [
        "dumps Omitter",
        "dumps Omitter, protocol 0",
        "dumps NoTrustOmitter",
        "dumps subclass",
        "loads Omitter",
        "loads Omitter, protocol 0",
        "loads NoTrustOmitter",
        "loads subclass",
        "loads plain form",
        "__reduce__",
        "__reduce__ plain form",
        "subclass __reduce_ex__",
        "Omitter.__setstate__",
        "NoTrustOmitter.__setstate__",
        "subclass __setstate__",
        "__pyx_unpickle_Omitter",
        "__pyx_unpickle_NoTrustOmitter",
        "unpickle, wrong checksum",
        "unpickle, state a list",
        "unpickle, field a str",
        "__setstate__(None)",
        "__reduce__(1)",
    ],
}


REDACTOR = [
    "Redactor()",
    "is_sensitive",
    "redacted",
    "report",
    "redact",
    "redact, tuple",
    "redact_json(bytes)",
    "redact_json(str)",
    "redact_json, detect",
    "redact_json, detect rewrites",
    "redact_json, detect, GIL released",
    "redact_json, bad",
    "JSONStream.feed",
    "JSONStream.close",
    "scan",
]


@pytest.mark.slow
@pytest.mark.parametrize("group", [*GROUPS, "Redactor"])
def test_allocation_failure_at_every_step(group):
    if group == "Redactor":
        result, names = run_isolated("redactor_nomemory.py"), REDACTOR
    else:
        result, names = run_isolated("nomemory.py", group), GROUPS[group]
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[-1] == "OK"
    sweeps = [LINE.match(line) for line in lines[:-1]]
    assert all(sweeps), lines
    assert [m["name"] for m in sweeps] == names
    for m in sweeps:
        n, memory = int(m["n"]), int(m["memory"])
        # Step N got through after failures at the steps before it.
        assert n >= 2 and memory >= 1, m.group(0)
