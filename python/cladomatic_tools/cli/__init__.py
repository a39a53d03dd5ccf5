"""The `cladomatic` command: argument parsing and exit statuses (`main`), one module per family of subcommands,
and what they share (`arguments`, the status line in `progress`, signals in `stopping`). Nothing outside this
folder imports from it."""
