"""``python -m vantorelle``: the ``vantorelle`` command."""

import sys

from vantorelle.cli import main

if __name__ == "__main__":
    sys.exit(main())
