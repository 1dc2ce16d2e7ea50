"""The tests, by subject; run with `python -m pytest` from the project directory."""
