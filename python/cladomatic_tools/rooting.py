"""Whether the trees of one comparison are read rooted: as the caller chose, else as the files mark them.

MrBayes and BEAST write a rooting comment before each tree (`tree gen.0 = [&U] (...)`, `... = [&R] (...)`).
Trees marked [&R] are compared as rooted trees (clades), [&U] as unrooted ones (bipartitions); a tree without a
mark takes the rooting of the marked trees it is compared with, and is unrooted when none is marked. Marks of
both kinds in one comparison are refused, naming a tree of each.

A set is built with one rooting, so it is decided before the first tree is read, from the first tree of every
input; a later [&R] where that left the trees unrooted is refused too, since the trees before it have already
been read the other way.
"""

from collections.abc import Callable

# How a caller overrides the marks, (rooted, unrooted), quoted in the messages.
COMMAND_OPTIONS = ("--rooted", "--unrooted")
PYTHON_OPTIONS = ("rooted=True", "rooted=False")


def _said(rooted: bool) -> str:
    return "[&R] (rooted)" if rooted else "[&U] (unrooted)"


class Rooting:
    """The rooting of one comparison, and the first tree seen with each mark (for messages)."""

    def __init__(self, chosen: bool | None, options: tuple[str, str] = PYTHON_OPTIONS):
        self.chosen = chosen
        self.options = options
        self.marked: dict[bool, str] = {}  # per mark, where the first tree bearing it is
        self._settled = False

    @property
    def rooted(self) -> bool:
        return self.chosen if self.chosen is not None else True in self.marked

    def settle(self) -> Rooting:
        """Fixes the rooting before the set is built: from now on a mark may no longer change it."""
        self._settled = True
        return self

    def see(self, rooted: bool | None, where: Callable[[], str]) -> None:
        """Takes note of a tree's mark (True for [&R], False for [&U], None without one: the engine's
        `rooting_mark`); `where` says where the tree is, asked only when a message needs it."""
        if self.chosen is not None:
            return
        if rooted is None or rooted in self.marked:
            return
        choose = f"give {self.options[0]} or {self.options[1]} to say how to compare them"
        other = self.marked.get(not rooted)
        if other is not None:
            raise ValueError(f"{where()} is marked {_said(rooted)} but {other} is marked {_said(not rooted)}: {choose}")
        if self._settled and rooted != self.rooted:
            raise ValueError(
                f"{where()} is marked {_said(rooted)} but the first tree of every input is unmarked, so the trees "
                f"before it were read unrooted: {choose}"
            )
        self.marked[rooted] = where()

    def refuse_rooted(self, metric: str) -> None:
        """Refuses a metric defined for unrooted trees only when the trees are read rooted."""
        if not self.rooted:
            return
        if self.chosen:
            raise ValueError(f"{metric} is defined for unrooted trees only: drop {self.options[0]}")
        raise ValueError(
            f"{metric} is defined for unrooted trees only, and {self.marked[True]} is marked [&R] (rooted): "
            f"give {self.options[1]} to compare the trees unrooted"
        )

    def refuse_unrooted(self, metric: str) -> None:
        """Refuses a metric defined for rooted trees only when the trees are read unrooted."""
        if self.rooted:
            return
        if self.chosen is False:
            raise ValueError(f"{metric} is defined for rooted trees only: drop {self.options[1]}")
        raise ValueError(
            f"{metric} is defined for rooted trees only, and no tree is marked [&R] (rooted): give "
            f"{self.options[0]} to compare the trees rooted"
        )
