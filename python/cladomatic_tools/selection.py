"""Which trees of each run are used: a burn-in dropped from its start, then every K-th tree of the rest.

One rule for every path that reads runs (the distance commands, splits, converge, space, the tiled runs and
TreeSet): a burn-in is N (a whole count of trees), P% (0 <= P < 100) or F (a share 0 <= F < 1 of each run, as
MrBayes's burninfrac), read as the exact decimal written, never through a float, so that 24.99999999999999999%
is a hair less than a quarter everywhere; a share drops floor(share x trees) trees from the start of each run.
Messages quote the burn-in as it was given.
"""

import math
import re
from dataclasses import dataclass
from fractions import Fraction

# MrBayes's default (relburnin=yes, burninfrac=0.25): what converge and TreeSet.asdsf drop unless told otherwise.
# Everything else drops nothing unless asked.
DEFAULT_BURNIN = "25%"

# Steps are counted in 64 bits while the trees are read.
LARGEST_STEP = 2**64 - 1

_COUNT = re.compile(r"\d+")
# Exponents are allowed so that a float handed over from Python (its shortest repr) reads back exactly.
_DECIMAL = re.compile(r"(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?")


@dataclass(frozen=True, slots=True)
class Burnin:
    """Trees dropped from the start of every run: a count, or a share of the run rounded down."""

    text: str  # as it was given, for messages
    count: int = 0  # used when `share` is None
    share: Fraction | None = None  # 0 <= share < 1

    def dropped(self, trees: int) -> int:
        """How many of a run of `trees` trees are dropped (all of them when the count reaches them)."""
        if self.share is None:
            return min(self.count, trees)
        return math.floor(self.share * trees)

    def __str__(self) -> str:
        if self.share is not None:
            return self.text
        return f"{self.text} tree" if self.count == 1 else f"{self.text} trees"


@dataclass(frozen=True, slots=True)
class Selection:
    """Which trees of each run are used: `burnin` dropped (None: none was asked for), then every `every`-th."""

    burnin: Burnin | None = None
    every: int = 1

    def __post_init__(self) -> None:
        if isinstance(self.every, bool) or not isinstance(self.every, int) or not 1 <= self.every <= LARGEST_STEP:
            raise ValueError(f"every must be a whole number from 1 to {LARGEST_STEP}, not {self.every!r}")

    def first(self, found: int | None) -> int:
        """The position of the first tree kept in a run of `found` trees. While the length is not known (None)
        only a count answers: a share's first tree waits for the run's end (see `needs_length`)."""
        if self.burnin is None:
            return 0
        return self.burnin.count if found is None else self.burnin.dropped(found)

    @property
    def needs_length(self) -> bool:
        """Whether the first kept tree of a run is known only once the run has ended."""
        return self.burnin is not None and self.burnin.share is not None


def parse_burnin(given: str | int | Fraction | float) -> Burnin:
    """A burn-in as the user wrote it: 'N', 'P%' or 'F' (see the module's rule); from Python also an int, a
    Fraction, or a float, read as its shortest decimal (the literal that was typed)."""
    if isinstance(given, Fraction):
        if 0 <= given < 1:
            return Burnin(str(given), share=given)
        raise ValueError(f"a burn-in share must be at least 0 and below 1, not {given}")
    if isinstance(given, bool) or not isinstance(given, (str, int, float)):
        raise TypeError(f"a burn-in is a count, a percentage or a share, not a {type(given).__name__}")
    text = given if isinstance(given, str) else repr(given)
    written = text.strip()
    if _COUNT.fullmatch(written):
        return Burnin(text, count=int(written))
    percent = written.endswith("%")
    number = written[:-1] if percent else written
    if _DECIMAL.fullmatch(number):
        share = Fraction(number) / (100 if percent else 1)
        if share < 1:
            return Burnin(text, share=share)
    raise ValueError(
        f"expected a burn-in as a whole number of trees N, a percentage P% below 100% or a share F below 1 "
        f"(25% and 0.25 both drop the first quarter of each run), got '{text}'"
    )
