"""The demo: installs the stand-in panel in the sandbox, loads the plug-in as the host panel
does and makes the plug-in object, printing what happened."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import install_panel  # noqa: E402


def main():
    panel = install_panel.install()
    print("stand-in panel installed in", panel)
    import start_boce
    print("module loaded: working directory", os.getcwd(), "- search path ends with",
          repr(sys.path[-1]))
    plugin = start_boce.start_boce()
    print("plug-in object made: sender", type(plugin.mail).__name__,
          "- recipient list", plugin._start_boce__mail_list)
    with open(start_boce.start_boce._start_boce__mail_list_data) as f:
        print("recipient list file holds", f.read())
    return 0


if __name__ == "__main__":
    sys.exit(main())
