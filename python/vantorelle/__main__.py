"""``python -m vantorelle``: the ``vantorelle`` command."""

import sys

from vantorelle.cli import main

sys.exit(main())
