"""The whole system as a user runs it: inside the sandbox, on the built module."""

from tests.common import require_sandbox

require_sandbox()
