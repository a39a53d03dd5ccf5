"""Reads the sanitizer logs of a Python test run against the sanitized module.

Any memory error fails the run.  Of the leaks, only those allocated through
the module count: the interpreter leaves some of its own memory to the
operating system at exit, and those reports do not pass through the module.

    python3 tools/sanitizer_report.py LOG_DIR MODULE_MARKER...
"""

import re
import sys
from pathlib import Path

BLOCK_START = re.compile(r"^(Direct|Indirect) leak of ", re.MULTILINE)


def leak_blocks(text: str) -> list[str]:
    starts = [m.start() for m in BLOCK_START.finditer(text)]
    # a log without leaks (a warning of a child process, say) has no blocks
    return [text[a:b].strip() for a, b in zip(starts, [*starts[1:], len(text)][: len(starts)], strict=True)]


def main(argv: list[str]) -> int:
    log_dir, markers = Path(argv[1]), argv[2:]
    failed = False
    for log in sorted(log_dir.glob("*")):
        text = log.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            print(f"--- {log.name}\n{text}")
            failed = True
            continue
        ours = [block for block in leak_blocks(text) if any(marker in block for marker in markers)]
        for block in ours:
            print(f"--- {log.name}\n{block}\n")
        failed = failed or bool(ours)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
