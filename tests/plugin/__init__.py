"""The plug-in module's tests, inside the sandbox."""
