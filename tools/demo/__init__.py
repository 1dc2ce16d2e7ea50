"""The demo (python -m tools.demo) and what it uses alone."""
