"""Old spellings of the package's calls, kept working for one release with a DeprecationWarning that names the
new spelling."""

import functools
import warnings
from collections.abc import Callable
from typing import Any, TypeVar

Function = TypeVar("Function", bound=Callable[..., Any])


def warn(old: str, new: str, stacklevel: int = 3) -> None:
    """Says that `old` still works for now and `new` is how to write it."""
    warnings.warn(f"{old} is deprecated and will be removed in the next release: {new}", DeprecationWarning, stacklevel)


def options_by_keyword(*names: str, kept: int = 0) -> Callable[[Function], Function]:
    """A method whose options `names` became keyword-only still takes them by position, after its first `kept`
    arguments (self not counted), with a warning."""

    def wrap(method: Function) -> Function:
        @functools.wraps(method)
        def call(self: Any, *args: Any, **kwargs: Any) -> Any:
            extra = args[kept:]
            if extra:
                if len(extra) > len(names):
                    raise TypeError(f"{method.__name__}() takes at most {kept + len(names)} positional arguments")
                given = dict(zip(names, extra))
                for name in given:
                    if name in kwargs:
                        raise TypeError(f"{method.__name__}() got multiple values for argument {name!r}")
                spelled = ", ".join(f"{name}=..." for name in given)
                warn(f"passing {', '.join(given)} of {method.__name__}() by position", f"write {spelled}")
                kwargs.update(given)
            return method(self, *args[:kept], **kwargs)

        return call  # type: ignore[return-value]

    return wrap
