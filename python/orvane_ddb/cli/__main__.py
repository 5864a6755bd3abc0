"""``python -m orvane_ddb.cli``: the ``orvane`` command."""

import sys

from orvane_ddb.cli import main

sys.exit(main())
