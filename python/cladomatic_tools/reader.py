"""Streaming readers for tree files: plain Newick and NEXUS, either of them optionally gzip-compressed.

A file is never held whole: its text arrives in chunks and every tree is cut out of the stream as it passes.
Tree texts are cut with the rules the engine itself uses to find where a tree ends (the first ';' outside '['
comments and double-quoted stretches), so each text handed on is exactly one tree to the engine. NEXUS
commands around the trees follow NEXUS quoting instead (single quotes, with '' for an apostrophe).
"""

import gzip
import io
import re
import zlib
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass

CHUNK_CHARS = 1 << 20

_GZIP_MAGIC = b"\x1f\x8b"
# The engine's whitespace: tab, line feed, form feed, carriage return and space (not the vertical tab).
_NOT_SPACE = re.compile(r"[^\t\n\f\r ]")
_NEWICK_SPECIAL = re.compile(r'[;\["]')
_NEXUS_SPECIAL = re.compile(r"[;\[']")
_NEXUS_WORD = re.compile(r"[^\t\n\f\r \[\];=,']+")
# What may follow the last tree of a Newick file without being taken for an unfinished tree.
_TRAILER = re.compile(r"(?:[\t\n\f\r \]]|\[[^\]]*\])*")


class InputError(Exception):
    """A fault in the input files or the arguments, reported to the user as one line."""


@dataclass(frozen=True, slots=True)
class TreeRecord:
    """One tree of a file."""

    text: str  # the Newick text through its ';' (or through the end of the file when the ';' is missing)
    line: int  # the 1-based line on which the tree (in NEXUS, its TREE command) starts
    name: str | None  # the name given by a NEXUS TREE command; None in plain Newick files
    translate: dict[str, str] | None  # the TRANSLATE table in force, one object shared by the trees it serves


@dataclass(frozen=True, slots=True)
class _Token:
    text: str
    quoted: bool

    def is_mark(self, marks: str) -> bool:
        return not self.quoted and len(self.text) == 1 and self.text in marks


class _Stream:
    """A window on a file's text with a cursor; consumed text is dropped whenever the next chunk arrives."""

    def __init__(self, read: Callable[[int], str], path: str):
        self._read = read
        self.path = path
        self.buf = ""
        self.pos = 0
        self.line = 1

    def fail(self, line: int, message: str) -> InputError:
        return InputError(f"{self.path}:{line}: {message}")

    def more(self) -> bool:
        """Appends the next chunk to the window; False at the end of the file."""
        try:
            chunk = self._read(CHUNK_CHARS)
        except UnicodeDecodeError:
            raise InputError(f"{self.path}: not UTF-8 text (after line {self.line})") from None
        except (OSError, EOFError, zlib.error) as err:
            raise InputError(f"{self.path}: cannot read: {_reason(err)}") from None
        if not chunk:
            return False
        self.buf = self.buf[self.pos :] + chunk
        self.pos = 0
        return True

    def advance(self, to: int, pieces: list[str] | None = None) -> None:
        if pieces is not None:
            pieces.append(self.buf[self.pos : to])
        self.line += self.buf.count("\n", self.pos, to)
        self.pos = to

    def skip_space(self) -> bool:
        """Moves to the next non-whitespace character; False when the file ends first."""
        while True:
            found = _NOT_SPACE.search(self.buf, self.pos)
            if found:
                self.advance(found.start())
                return True
            self.advance(len(self.buf))
            if not self.more():
                return False

    def skip_past(self, closer: str, pieces: list[str] | None) -> bool:
        """Moves past the next `closer`, collecting the text passed over; False when the file ends first."""
        while True:
            at = self.buf.find(closer, self.pos)
            if at >= 0:
                self.advance(at + 1, pieces)
                return True
            self.advance(len(self.buf), pieces)
            if not self.more():
                return False

    def statement(self, special: re.Pattern[str], keep: bool = True) -> tuple[str, bool]:
        """The text from the cursor through the next ';' outside comments and quotes (`special` names the
        quote characters), and whether that ';' came before the end of the file."""
        pieces: list[str] | None = [] if keep else None
        while True:
            found = special.search(self.buf, self.pos)
            if found is None:
                self.advance(len(self.buf), pieces)
                if not self.more():
                    return _joined(pieces), False
                continue
            self.advance(found.end(), pieces)
            mark = found.group()
            if mark == ";":
                return _joined(pieces), True
            if not self.skip_past("]" if mark == "[" else mark, pieces):
                return _joined(pieces), False

    def skip_blank(self) -> bool:
        """Moves past whitespace and '[' comments; False at the end of the file."""
        while self.skip_space():
            mark = self.buf[self.pos]
            if mark == "]":
                self.advance(self.pos + 1)
                continue
            if mark != "[":
                return True
            line = self.line
            if not self.skip_past("]", None):
                raise self.fail(line, "a '[' comment is never closed")
        return False

    def starts_with(self, prefix: str) -> bool:
        while len(self.buf) - self.pos < len(prefix) and self.more():
            pass
        return self.buf[self.pos : self.pos + len(prefix)].lower() == prefix

    def token(self) -> _Token | None:
        """The next NEXUS token: one of ';', '=' and ',', a single-quoted name, or a word."""
        if not self.skip_blank():
            return None
        mark = self.buf[self.pos]
        if mark in ";=,":
            self.advance(self.pos + 1)
            return _Token(mark, False)
        if mark == "'":
            return _Token(self._quoted(), True)
        while True:
            word = _NEXUS_WORD.match(self.buf, self.pos)
            assert word is not None  # skip_blank stopped at a word character
            if word.end() < len(self.buf) or not self.more():
                self.advance(word.end())
                return _Token(word.group(), False)

    def _quoted(self) -> str:
        line = self.line
        self.advance(self.pos + 1)
        pieces: list[str] = []
        while True:
            at = self.buf.find("'", self.pos)
            if at < 0:
                self.advance(len(self.buf), pieces)
                if not self.more():
                    raise self.fail(line, "a quoted name is never closed")
                continue
            if at + 1 == len(self.buf) and self.more():
                continue  # whether this quote is doubled is decided by the next chunk
            self.advance(at, pieces)
            if self.buf.startswith("''", at):
                pieces.append("'")
                self.advance(at + 2)
                continue
            self.advance(at + 1)
            return "".join(pieces)


def _joined(pieces: list[str] | None) -> str:
    return "".join(pieces) if pieces is not None else ""


def _reason(err: BaseException) -> str:
    return getattr(err, "strerror", None) or str(err) or type(err).__name__


@contextmanager
def _open_text(path: str) -> Iterator[io.TextIOWrapper]:
    try:
        raw = open(path, "rb")
    except OSError as err:
        raise InputError(f"cannot open {path}: {_reason(err)}") from None
    with raw:
        try:
            magic = raw.peek(2)[:2]
        except OSError as err:
            raise InputError(f"cannot read {path}: {_reason(err)}") from None
        binary = gzip.GzipFile(fileobj=raw, mode="rb") if magic == _GZIP_MAGIC else raw
        # newline="" keeps carriage returns, which the engine skips as whitespace; line feeds count lines
        with io.TextIOWrapper(binary, encoding="utf-8-sig", newline="") as text:
            yield text


def read_trees(path: str) -> Iterator[TreeRecord]:
    """The trees of one Newick or NEXUS file, gzip-compressed or not, in file order."""
    with _open_text(path) as text:
        stream = _Stream(text.read, path)
        if not stream.skip_space():
            return
        if stream.starts_with("#nexus"):
            stream.advance(stream.pos + len("#nexus"))
            yield from _nexus_trees(stream)
        else:
            yield from _newick_trees(stream)


def _newick_trees(stream: _Stream) -> Iterator[TreeRecord]:
    while stream.skip_space():
        line = stream.line
        text, complete = stream.statement(_NEWICK_SPECIAL)
        if complete or not _TRAILER.fullmatch(text):
            yield TreeRecord(text, line, None, None)


def _nexus_trees(stream: _Stream) -> Iterator[TreeRecord]:
    in_trees = False
    translate: dict[str, str] | None = None
    while (command := stream.token()) is not None:
        line = stream.line
        keyword = "" if command.quoted else command.text.lower()
        if command.is_mark(";"):
            continue
        if keyword == "begin":
            block = stream.token()
            in_trees = block is not None and block.text.lower() == "trees"
            translate = None
            if block is not None and not block.is_mark(";"):
                stream.statement(_NEXUS_SPECIAL, keep=False)
        elif in_trees and keyword == "translate":
            translate = _translate_table(stream, line)
        elif in_trees and keyword in ("tree", "utree"):
            name = _tree_name(stream, line)
            if not stream.skip_space():
                raise stream.fail(line, "a TREE command without a tree after '='")
            text, _ = stream.statement(_NEWICK_SPECIAL)
            yield TreeRecord(text, line, name, translate)
        else:
            if keyword in ("end", "endblock"):
                in_trees = False
            stream.statement(_NEXUS_SPECIAL, keep=False)


def _translate_table(stream: _Stream, line: int) -> dict[str, str]:
    table: dict[str, str] = {}
    while True:
        key = stream.token()
        if key is None:
            raise stream.fail(line, "the TRANSLATE command does not end in ';'")
        if key.is_mark(";"):
            return table
        if key.is_mark(",="):
            raise stream.fail(stream.line, f"unexpected '{key.text}' in the TRANSLATE command")
        words: list[str] = []
        while (word := stream.token()) is not None and not word.is_mark(",;"):
            words.append(word.text)
        if word is None:
            raise stream.fail(line, "the TRANSLATE command does not end in ';'")
        if not words:
            raise stream.fail(stream.line, f"TRANSLATE gives no taxon name for '{key.text}'")
        if key.text in table:
            raise stream.fail(stream.line, f"TRANSLATE lists '{key.text}' twice")
        table[key.text] = " ".join(words)
        if word.is_mark(";"):
            return table


def _tree_name(stream: _Stream, line: int) -> str | None:
    words: list[str] = []
    while True:
        word = stream.token()
        if word is None or word.is_mark(";"):
            raise stream.fail(line, "a TREE command without '='")
        if word.is_mark("="):
            break
        words.append(word.text)
    # '*' marks a NEXUS default tree; it is not part of the name
    if words and words[0] == "*":
        words = words[1:]
    elif words and words[0].startswith("*"):
        words[0] = words[0][1:]
    return " ".join(words) or None
