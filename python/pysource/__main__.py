"""``python -m pysource``: the ``pysource`` command (`pysource.cli`)."""

import sys

from .cli import main

sys.exit(main())
