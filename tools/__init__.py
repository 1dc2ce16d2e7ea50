"""The project's tools, by reader: lab/ (the one-machine lab), packaging/ (the wheels), demo/
(make demo), and beside them the sandbox, the sanitized test run and the system packages."""
