"""``python -m orvane_ddb``: the ``orvane`` command."""

from orvane_ddb.cli import main

raise SystemExit(main())
