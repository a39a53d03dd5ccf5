"""Argument types shared by the command's subcommands."""

import argparse
from collections.abc import Callable


def whole_number(minimum: int, noun: str = "") -> Callable[[str], int]:
    """An argparse type: a whole number of at least `minimum`, named in its message as a number of `noun`."""
    what = f"a whole number{f' of {noun}' if noun else ''}{f' of at least {minimum}' if minimum > 0 else ''}"

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
            raise argparse.ArgumentTypeError(f"expected {what}, got '{text}'")
        return value

    return parse
