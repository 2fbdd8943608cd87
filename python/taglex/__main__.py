"""``python -m taglex``: the taglex command line."""

import sys

from taglex.cli import main

sys.exit(main())
