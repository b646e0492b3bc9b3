import sys

from wirelet.server.cli import main

sys.exit(main())
