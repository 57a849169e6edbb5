"""``python -m rowmend``: the ``rowmend`` command."""

import sys

from rowmend.cli import main

if __name__ == "__main__":
    sys.exit(main())
