"""``python -m ozu_qlix_serial.serve``: the ``ozu-qlix-serve`` command."""

import sys

from .cli import main

sys.exit(main())
