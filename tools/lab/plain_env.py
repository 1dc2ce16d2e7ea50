"""The environment of the processes the tools and the tests start beside the module (the web
sites, the probe network, openssl): this process's own, without what a sanitized run preloads.
They never load the module, so the sanitizers' runtimes have nothing to examine there, and would
only slow what they measure (faketime's own preload even hangs beside them)."""

import os

SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")
PLAIN_ENV = {name: value for name, value in os.environ.items()
             if name not in SANITIZER_VARIABLES}
