"""`python -m ruvo_gate verify TARGET [--key-file FILE] [--chain NAME] [--expect RECORDS:DIGEST]`
and `python -m ruvo_gate export TARGET [--chain NAME]`."""

import sys

from ._cli import main

sys.exit(main())
