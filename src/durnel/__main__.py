"""``python -m durnel``: the durnel command (see ``durnel.cli``)."""

import sys

from .cli import main

sys.exit(main())
