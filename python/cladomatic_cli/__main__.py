import sys

from cladomatic_cli.main import main

sys.exit(main())
