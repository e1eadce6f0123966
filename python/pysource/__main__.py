"""``python -m pysource``: the ``pysource`` command (`pysource.cli`)."""

import sys

from .cli import main

# Worker processes of `pysource index -j N` import the main module again;
# only the real start runs the command.
if __name__ == "__main__":
    sys.exit(main())
