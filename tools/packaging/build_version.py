"""The package version at build time (scikit-build-core's version provider for pyproject.toml).

A module built for the maker's dispatch center has the project's version as it stands; one built
for another center (START_BOCE_DISPATCH_HOST) carries that host name as its local version label,
so that the wheel's name and metadata tell which center it posts to: 0.1.0+probe.example.net.
The version rules write a label's hyphens as dots; `start_boce.DISPATCH_URL` has the exact host.
"""

import os
import re

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The one place the maker's host is written; CMake and tools/sandbox read the same file.
MAKERS_HOST_FILE = os.path.join(PROJECT, "src", "start_boce", "dispatch_host.txt")
with open(MAKERS_HOST_FILE, encoding="ascii") as _file:
    MAKERS_HOST = _file.read().strip()
LABEL = r"[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?"
HOST_NAME = re.compile(r"%s(\.%s)*" % (LABEL, LABEL))


def dispatch_host(environ=os.environ):
    host = environ.get("START_BOCE_DISPATCH_HOST") or MAKERS_HOST
    if not HOST_NAME.fullmatch(host):
        raise ValueError("START_BOCE_DISPATCH_HOST=%r is not a host name (letters, digits, "
                         "hyphens and dots)" % host)
    return host


def dynamic_metadata(field, settings):
    if field != "version":
        raise ValueError("build_version provides only the version, not %r" % field)
    host = dispatch_host()
    version = settings["version"]
    return version if host.lower() == MAKERS_HOST else "%s+%s" % (version, host.lower())


def cmake_definitions():
    """The settings scikit-build-core gives CMake about the project, for a build outside pip."""
    try:
        import tomllib
    except ImportError:  # before Python 3.11
        import tomli as tomllib
    with open(os.path.join(PROJECT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)
    version = project["tool"]["scikit-build"]["metadata"]["version"]["version"]
    return ["-DSKBUILD_PROJECT_NAME=" + project["project"]["name"],
            "-DSKBUILD_PROJECT_VERSION=" + version,
            "-DSKBUILD_PROJECT_VERSION_FULL=" + dynamic_metadata("version", {"version": version})]


if __name__ == "__main__":
    print(" ".join(cmake_definitions()))
