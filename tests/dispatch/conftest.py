"""The probe network runs on the project's main interpreter only: under the other Pythons its
tests are not collected. Its labs (networks, the cut-off lab, https sites) are fixtures of
tests/dispatch/labs.py."""

import importlib.util

collect_ignore_glob = [] if importlib.util.find_spec("aiohttp") else ["test_*.py"]
