"""``python -m vantorelle``: the ``vantorelle`` command (the native program)."""

import sys

from vantorelle.cli import main

if __name__ == "__main__":
    sys.exit(main())
