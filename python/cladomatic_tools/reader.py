"""Streaming readers for tree files: plain Newick and NEXUS, either of them optionally gzip-compressed.

A file is never held whole: its text arrives in chunks and every tree is cut out of the stream as it passes.
Tree texts are cut at the first ';' outside '[' comments, double-quoted stretches (which the engine keeps whole)
and single-quoted labels. NEXUS commands around the trees follow NEXUS quoting (single quotes, with '' for an
apostrophe).

Taxon names are made to agree however a file spells them: a single-quoted label, an unquoted label with
underscores for blanks and a TRANSLATE name all become the one spelling the engine reads as a single label
(`taxon`), so a Newick file and a NEXUS file of the same taxa compare with each other.
"""

import gzip
import io
import re
import sys
import zlib
from collections.abc import Callable, Generator, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, cast

CHUNK_CHARS = 1 << 20
# The longest tree text (or NEXUS word) held in memory: longer ones are refused before they are held whole.
MAX_TREE_CHARS = 1 << 30

STDIN = "-"

_GZIP_MAGIC = b"\x1f\x8b"
# Files passed by mistake, recognised by their first bytes.
_OTHER_KINDS = (
    (b"BZh", "bzip2-compressed; decompress it first (bunzip2), or recompress it with gzip"),
    (b"\xfd7zXZ\x00", "xz-compressed; decompress it first (unxz), or recompress it with gzip"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed; decompress it first (unzstd), or recompress it with gzip"),
    (b"PK\x03\x04", "a zip archive; extract the tree file from it first"),
)
# The engine's whitespace: tab, line feed, form feed, carriage return and space (not the vertical tab).
_NOT_SPACE = re.compile(r"[^\t\n\f\r ]")
_NEWICK_SPECIAL = re.compile(r"""[;\["']""")
_NEXUS_SPECIAL = re.compile(r"[;\[']")
_NEXUS_WORD = re.compile(r"[^\t\n\f\r \[\];=,']+")
# What may follow the last tree of a Newick file without being taken for an unfinished tree.
_TRAILER = re.compile(r"(?:[\t\n\f\r \]]|\[[^\]]*\])*")
# The first line of a sequential or interleaved PHYLIP alignment: the number of taxa and of characters.
_PHYLIP_HEADER = re.compile(r"[ \t]*\d+[ \t]+\d+[ \t]*(?:[A-Za-z][ \t]*)*\r?\n")
# The start of a MrBayes parameter (.p) file: the run's ID comment, then the table's header of generations.
_MRBAYES_PARAMETERS = re.compile(r"\[ID: *\d+\][\t\n\f\r ]*Gen\t")
# Stretches of tree text whose single quotes are not label quotes, and single-quoted labels.
_QUOTED_LABEL = re.compile(r"""\[[^\]]*\]?|"[^"]*"?|'((?:[^']|'')*)'?""")
# Characters the engine would take for Newick punctuation or drop as blanks inside a label.
_NOT_ONE_LABEL = re.compile(r'[\t\n\f\r ()\[\],:;"]')


class InputError(Exception):
    """A fault in the input files or the arguments, reported to the user as one line (exit status 2)."""


class EnvironmentFailure(Exception):
    """A fault of the machine rather than the input: a full disk, a missing permission or library, too little
    memory; reported as one line (exit status 1)."""


@dataclass(frozen=True, slots=True)
class TreeRecord:
    """One tree of a file, ready for the engine."""

    text: str  # the Newick text through its ';' (or through the end of the file when the ';' is missing)
    line: int  # the 1-based line on which the tree (in NEXUS, its TREE command) starts
    name: str | None  # the name given by a NEXUS TREE command; None in plain Newick files
    translate: dict[str, str] | None  # label to taxon, one object shared by the trees of its TRANSLATE table
    block: int  # the file's TREES block (run) holding the tree, from 0 over every NEXUS document; 0 in Newick
    position: int  # the tree's position in its block (in Newick, in its file), from 0


def taxon(name: str) -> str:
    """The spelling of a taxon name that the engine reads as one label: blanks become underscores, as unquoted
    Newick writes them, and a name holding Newick punctuation is wrapped in the engine's double quotes."""
    name = name.replace(" ", "_")
    if _NOT_ONE_LABEL.search(name):
        name = '"' + name.replace('"', "'") + '"'
    return name


def engine_text(text: str) -> str:
    """Tree text with its single-quoted labels spelled as `taxon` spells them ('' is an empty label)."""
    if "'" not in text:
        return text

    def respell(found: re.Match[str]) -> str:
        if not found.group().startswith("'"):
            return found.group()
        return taxon(found.group(1).replace("''", "'")) if found.group(1) else ""

    return _QUOTED_LABEL.sub(respell, text)


def label_map(table: dict[str, str]) -> dict[str, str]:
    """A TRANSLATE table as the engine's label map; trees may also name taxa in full, which NEXUS allows."""
    labels = {name: name for name in map(taxon, table.values())}
    labels.update((taxon(key), taxon(name)) for key, name in table.items())
    return labels


@dataclass(frozen=True, slots=True)
class _Token:
    text: str
    quoted: bool

    def is_mark(self, marks: str) -> bool:
        return not self.quoted and len(self.text) == 1 and self.text in marks


class _Stream:
    """A window on a file's text with a cursor. Text that is kept is copied out as the cursor passes it, so
    every character is looked at a bounded number of times however long a tree or word is."""

    def __init__(self, read: Callable[[int], str], path: str):
        self._read = read
        self.path = path
        self.buf = ""
        self.pos = 0
        self.line = 1
        self._held = 0  # characters of the text being collected
        self._collect_line = 1  # where that text starts

    def fail(self, line: int, message: str) -> InputError:
        return InputError(f"{self.path}:{line}: {message}")

    def more(self) -> bool:
        """Appends the next chunk to the unread rest of the window; False at the end of the file."""
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

    def collect(self, line: int) -> list[str]:
        """A fresh list for `advance` to collect text into, counted against the length limit."""
        self._held = 0
        self._collect_line = line
        return []

    def advance(self, to: int, pieces: list[str] | None = None) -> None:
        if pieces is not None:
            self._held += to - self.pos
            if self._held > MAX_TREE_CHARS:
                raise self.fail(
                    self._collect_line, f"a tree or name longer than the limit of {MAX_TREE_CHARS} characters"
                )
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
        pieces = self.collect(self.line) if keep else None
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

    def peek(self, count: int) -> str:
        """The next `count` characters (fewer at the end of the file), without moving the cursor."""
        while len(self.buf) - self.pos < count and self.more():
            pass
        return self.buf[self.pos : self.pos + count]

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
        pieces = self.collect(self.line)
        while True:
            word = _NEXUS_WORD.match(self.buf, self.pos)
            if word is None:  # the word ended exactly at the end of the last chunk
                break
            self.advance(word.end(), pieces)
            if self.pos < len(self.buf) or not self.more():
                break
        return _Token("".join(pieces), False)

    def _quoted(self) -> str:
        line = self.line
        self.advance(self.pos + 1)
        pieces = self.collect(line)
        while True:
            at = self.buf.find("'", self.pos)
            if at < 0:
                self.advance(len(self.buf), pieces)
                if not self.more():
                    raise self.fail(line, "a quoted name is never closed")
                continue
            self.advance(at, pieces)
            if at + 1 == len(self.buf) and self.more():
                continue  # whether this quote is doubled is decided by the next chunk
            if self.buf.startswith("''", self.pos):
                pieces.append("'")
                self.advance(self.pos + 2)
                continue
            self.advance(self.pos + 1)
            return "".join(pieces)


def _joined(pieces: list[str] | None) -> str:
    return "".join(pieces) if pieces is not None else ""


def _reason(err: BaseException) -> str:
    return getattr(err, "strerror", None) or str(err) or type(err).__name__


def display_name(path: str) -> str:
    return "standard input" if path == STDIN else path


@contextmanager
def _open_binary(path: str) -> Iterator[io.BufferedReader]:
    if path == STDIN:
        yield cast(io.BufferedReader, sys.stdin.buffer)
        return
    try:
        raw = open(path, "rb")
    except OSError as err:
        raise InputError(f"cannot open {path}: {_reason(err)}") from None
    with raw:
        yield raw


@contextmanager
def _open_text(path: str) -> Iterator[io.TextIOWrapper]:
    with _open_binary(path) as raw:
        try:
            magic = raw.peek(6)[:6]
        except OSError as err:
            raise InputError(f"cannot read {display_name(path)}: {_reason(err)}") from None
        for start, what in _OTHER_KINDS:
            if magic.startswith(start):
                raise InputError(f"{display_name(path)}: the file is {what}")
        binary: IO[bytes] | gzip.GzipFile = raw
        if magic[:2] == _GZIP_MAGIC:
            binary = gzip.GzipFile(fileobj=raw, mode="rb")
        # newline="" keeps carriage returns, which the engine skips as whitespace; line feeds count lines
        text = io.TextIOWrapper(binary, encoding="utf-8-sig", newline="")
        try:
            yield text
        finally:
            text.detach()  # standard input stays open for whoever else reads it


def read_trees(path: str) -> Generator[TreeRecord]:
    """The trees of one Newick or NEXUS file (`-`: standard input), gzip-compressed or not, in file order."""
    with _open_text(path) as text:
        stream = _Stream(text.read, display_name(path))
        if not stream.skip_space():
            return
        if stream.peek(6).lower() == "#nexus":
            stream.advance(stream.pos + len("#nexus"))
            yield from _nexus_trees(stream)
            return
        _refuse_other_kinds(stream)
        yield from _newick_trees(stream)


def _refuse_other_kinds(stream: _Stream) -> None:
    """Refuses text files that are not trees, given by mistake for the tree file beside them."""
    start = stream.peek(200)
    if start.startswith(">"):
        raise stream.fail(stream.line, "this is a FASTA sequence file, not trees")
    if _MRBAYES_PARAMETERS.match(start):
        raise stream.fail(
            stream.line, "this is a MrBayes parameter file, not a tree file (the trees are in the .t file)"
        )
    if _PHYLIP_HEADER.match(start):
        raise stream.fail(
            stream.line, "this is a PHYLIP alignment (it starts with the numbers of taxa and sites), not trees"
        )


def _newick_trees(stream: _Stream) -> Iterator[TreeRecord]:
    position = 0
    while stream.skip_space():
        line = stream.line
        text, complete = stream.statement(_NEWICK_SPECIAL)
        if complete or not _TRAILER.fullmatch(text):
            yield TreeRecord(engine_text(text), line, None, None, 0, position)
            position += 1


def _nexus_trees(stream: _Stream) -> Iterator[TreeRecord]:
    in_trees = False
    block = -1
    position = 0
    translate: dict[str, str] | None = None
    while (command := stream.token()) is not None:
        line = stream.line
        keyword = "" if command.quoted else command.text.lower()
        if command.is_mark(";"):
            continue
        if keyword == "#nexus":  # the next document of files joined end to end
            in_trees = False
        elif keyword == "begin":
            block_name = stream.token()
            in_trees = block_name is not None and block_name.text.lower() == "trees"
            if in_trees:
                block += 1
                position = 0
            translate = None
            if block_name is not None and not block_name.is_mark(";"):
                stream.statement(_NEXUS_SPECIAL, keep=False)
        elif in_trees and keyword == "translate":
            translate = label_map(_translate_table(stream, line))
        elif in_trees and keyword in ("tree", "utree"):
            name = _tree_name(stream, line)
            if not stream.skip_space():
                raise stream.fail(line, "a TREE command without a tree after '='")
            text, _ = stream.statement(_NEWICK_SPECIAL)
            yield TreeRecord(engine_text(text), line, name, translate, block, position)
            position += 1
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
