import sys

from kovra.reporter.cli import main

sys.exit(main())
