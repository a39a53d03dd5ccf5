import sys

from cladomatic_tools.main import main

sys.exit(main())
