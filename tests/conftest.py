import os
import sys

import pytest
from hypothesis import HealthCheck, settings

sys.path.insert(0, os.path.dirname(__file__))

import zentrove.omit as omit  # noqa: E402

# Property tests take their example count from a profile, chosen by
# ZENTROVE_HYPOTHESIS_PROFILE: "full" by default, "quick" for the runs under
# the sanitizers and the debug interpreter, where each example costs ten
# times more.  ZENTROVE_PROPERTY_EXAMPLES overrides the count of either.
# Examples are derandomized: a failure shows again on the next run.
settings.register_profile(
    "full",
    max_examples=500,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
settings.register_profile("quick", settings.get_profile("full"), max_examples=50)
settings.load_profile(os.environ.get("ZENTROVE_HYPOTHESIS_PROFILE", "full"))
if os.environ.get("ZENTROVE_PROPERTY_EXAMPLES"):
    settings.register_profile(
        "chosen", settings(), max_examples=int(os.environ["ZENTROVE_PROPERTY_EXAMPLES"])
    )
    settings.load_profile("chosen")


@pytest.fixture(autouse=True)
def clean_globals():
    """Every test starts and ends with empty global key lists."""
    omit.reset_omissions()
    omit.reset_trusted()
    yield
    omit.reset_omissions()
    omit.reset_trusted()
