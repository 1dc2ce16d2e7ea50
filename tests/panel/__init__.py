"""The stand-in panel's tests."""
