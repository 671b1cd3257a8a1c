"""`python -m portrait_studio`: the command line."""

import sys

from .frontends.cli import main

sys.exit(main())
