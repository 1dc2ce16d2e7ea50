"""The project's tools: the demo, the local services and the build helpers (python -m tools.X)."""
