"""`python -m morvik3`: the command line."""

import sys

from morvik3.cli import main

sys.exit(main())
