"""The whole system as a user runs it: inside the sandbox, on the built module; and the probe
network as whole processes, where only they show the fault (signals, NATS lost, installs).
`make test-deploy` runs the booted Debian's tests outside it: they touch no panel path."""

import os

from tests.common import require_sandbox

if not os.environ.get("BOCE_DEBIAN_ROOT"):
    require_sandbox()
