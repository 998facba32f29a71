"""``python -m tallisk``: the same command as ``tallisk``."""

import sys

from .cli import main

sys.exit(main())
