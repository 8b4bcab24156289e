"""`python -m ruvo_gate verify|mcp ...`: the same as the `ruvo-gate` command."""

import sys

from ._cli import main

sys.exit(main())
