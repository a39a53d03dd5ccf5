import sys

from cladomatic_tools.cli.main import main

sys.exit(main())
