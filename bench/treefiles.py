"""Reading the benchmark tree sets: NEXUS tree blocks (with or without TRANSLATE) and plain Newick files.

The module takes Newick text with the labels as written plus a translate map, so a NEXUS file is handed over
untouched; the other tools get a Newick file whose labels are already translated.
"""

import gzip
import re
from dataclasses import dataclass

TREE_LINE = re.compile(r"^\s*tree\s+(\S+)\s*=\s*(.*)$", re.IGNORECASE)
COMMENT = re.compile(r"\[[^\]]*\]")
# A leaf label follows an opening parenthesis or a comma and ends at a colon, comma or closing parenthesis.
LEAF = re.compile(r"(?<=[(,])([^(),:;\[\]\s]+)(?=[:,)])")


@dataclass
class TreeSet:
    names: list  # one identifier per tree
    newicks: list  # Newick text as in the file, labels untranslated
    translate: dict  # label -> taxon name ({} for plain Newick files)

    def translated(self, count=None):
        """Newick texts with taxon names in place of translate labels (the first `count` trees)."""
        texts = self.newicks[:count]
        if not self.translate:
            return list(texts)
        table = {label: newick_name(name) for label, name in self.translate.items()}
        return [LEAF.sub(lambda m: table.get(m.group(1), m.group(1)), text) for text in texts]

    def leaf_count(self):
        return len(LEAF.findall(self.newicks[0]))


def _open(path):
    return gzip.open(path, "rt", encoding="utf-8") if str(path).endswith(".gz") else open(path, encoding="utf-8")


# One TRANSLATE entry: a label, then a name that is either quoted (a doubled quote stands for one) or a plain word.
ENTRY = re.compile(r"([^\s,;]+)\s+('(?:[^']|'')*'|[^\s,;]+)\s*[,;]")
PLAIN_NAME = re.compile(r"[A-Za-z0-9_.+-]+")


def _translate_block(text):
    match = re.search(r"\btranslate\b(.*?;)", text, re.IGNORECASE | re.DOTALL)
    if not match:
        return {}
    table = {}
    for label, name in ENTRY.findall(match.group(1)):
        table[label] = name[1:-1].replace("''", "'") if name.startswith("'") else name
    return table


def newick_name(name):
    """A taxon name as a Newick label: quoted unless it is a plain word."""
    return name if PLAIN_NAME.fullmatch(name) else "'" + name.replace("'", "''") + "'"


def read_tree_file(path):
    with _open(path) as handle:
        text = handle.read()
    if not text.lstrip().upper().startswith("#NEXUS"):
        newicks = [line.strip() for line in text.splitlines() if line.strip()]
        return TreeSet([f"tree{i}" for i in range(len(newicks))], newicks, {})
    names, newicks = [], []
    for line in text.splitlines():
        match = TREE_LINE.match(line)
        if match:
            names.append(match.group(1))
            newicks.append(COMMENT.sub("", match.group(2)).strip())
    return TreeSet(names, newicks, _translate_block(text))
