"""`python -m vemo`: the `vemo` command line."""

import sys

from vemo.cli import main

sys.exit(main())
