"""The sandbox, the demo, the wheels and the multi-host lab."""
