"""The probe network's tests: no sandbox, no module."""
