"""What every subject's tests share: the services' fixtures and hypothesis's profiles.
Each subject's folder (plugin, dispatch, panel, system) has the fixtures and the set-up its own
tests need, and runs without the others'."""

import os

from hypothesis import HealthCheck, settings

pytest_plugins = ["tests.services", "tests.dispatch.labs"]

settings.register_profile("default", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                 HealthCheck.too_slow])
# Sanitized and emulated runs, where each example costs five to ten times as much.
settings.register_profile("slow-machine", parent=settings.get_profile("default"),
                          max_examples=150)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
