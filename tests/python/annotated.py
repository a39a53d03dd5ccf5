"""A reader of annotated NEXUS trees written independently of the package's writer: each clade's annotations and
branch length, for comparing outputs value by value."""

import gzip
import re


def read(path) -> dict[frozenset[str], tuple[dict[str, object], float | None]]:
    """Clade (its taxon names) to its annotations and branch length, for the first tree of the file."""
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rt") as handle:
        text = handle.read()
    table = {}
    block = re.search(r"translate(.*?);", text, re.I | re.S)
    if block:
        for entry in block.group(1).split(","):
            key, name = entry.split()
            table[key] = name.strip("'")
    found = re.search(r"^\s*tree\s+\S+\s*=\s*(?:\[&[RU]\]\s*)?(.*?;)\s*$", text, re.I | re.M)
    assert found is not None, "no tree"
    tree = found.group(1)
    clades: dict[frozenset[str], tuple[dict[str, object], float | None]] = {}
    _node(tree, 0, table, clades)
    return clades


def _node(text, pos, table, clades):
    taxa: set[str] = set()
    if text[pos] == "(":
        while True:
            below, pos = _node(text, pos + 1, table, clades)
            taxa |= below
            if text[pos] == ")":
                pos += 1
                break
    else:
        label = re.match(r"[^\[:,();]+", text[pos:]).group(0)
        pos += len(label)
        taxa.add(table.get(label, label))
    annotations: dict[str, object] = {}
    length = None
    while text[pos] in "[:":
        if text[pos] == "[":
            close = text.index("]", pos)
            annotations.update(parse_comment(text[pos + 1 : close]))
            pos = close + 1
        else:
            number = re.match(r":([^\[,();]+)", text[pos:]).group(1)
            length = float(number)
            pos += 1 + len(number)
    clades[frozenset(taxa)] = (annotations, length)
    return taxa, pos


def parse_comment(comment: str) -> dict[str, object]:
    """`&a=1.5,b={1,2},c="x"` to {'a': 1.5, 'b': (1.0, 2.0), 'c': 'x'}."""
    out: dict[str, object] = {}
    for name, value in re.findall(r'([^=,&]+)=(\{[^}]*\}|"[^"]*"|[^,]*)', comment):
        out[name] = _value(value)
    return out


def _value(text: str):
    if text.startswith("{"):
        return tuple(_value(item) for item in text[1:-1].split(","))
    if text.startswith('"'):
        return text[1:-1]
    try:
        return float(text)
    except ValueError:
        return text
