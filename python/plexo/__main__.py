"""``python -m plexo``: the same command line as ``plexo``."""
import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
