"""The whole system as a user runs it: inside the sandbox, on the built module; and the probe
network as whole processes, where only they show the fault (signals, NATS lost, installs)."""

from tests.common import require_sandbox

require_sandbox()
