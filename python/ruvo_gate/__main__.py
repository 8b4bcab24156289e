"""`python -m ruvo_gate verify PATH [--key-file FILE]`."""

import sys

from ._cli import main

sys.exit(main())
