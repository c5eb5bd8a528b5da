"""``python -m ozu_qlix_serial``: the port listing (``ozu-qlix-ports``)."""

import sys

from .list_ports import main

sys.exit(main())
