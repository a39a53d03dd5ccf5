#!/usr/bin/env python3
"""Writes the example tree set: primates.nwk (plain Newick) and primates.nex (NEXUS with a TRANSLATE table).

Both files hold the same 120 unrooted trees of 20 mammals, in the same order, as a posterior sample might: most
trees follow one of three base topologies, some with one or two further nearest-neighbour interchanges, and each
split keeps a characteristic branch length with some noise from tree to tree. The output depends only on SEED.

    python3 examples/make_examples.py [DIRECTORY]
"""

import random
import sys
from pathlib import Path

SEED = 2026
TREES = 120
# Most sampled trees follow the first base topology, fewer the other two.
BASE_WEIGHTS = (0.6, 0.25, 0.15)

# A rough mammal phylogeny with a basal trifurcation, as unrooted trees are usually written.
BASE = [
    [
        [
            [
                [
                    [
                        [["Homo_sapiens", ["Pan_troglodytes", "Pan_paniscus"]], "Gorilla_gorilla"],
                        "Pongo_abelii",
                    ],
                    "Hylobates_lar",
                ],
                [["Macaca_mulatta", "Papio_anubis"], "Chlorocebus_sabaeus"],
            ],
            [["Callithrix_jacchus", "Saimiri_boliviensis"], "Aotus_nancymaae"],
        ],
        ["Tarsius_syrichta", ["Microcebus_murinus", "Otolemur_garnettii"]],
    ],
    ["Galeopterus_variegatus", "Tupaia_belangeri"],
    [["Mus_musculus", "Rattus_norvegicus"], "Oryctolagus_cuniculus"],
]

Node = str | list


def leaves(node: Node) -> list[str]:
    return [node] if isinstance(node, str) else [leaf for child in node for leaf in leaves(child)]


def copy(node: Node) -> Node:
    return node if isinstance(node, str) else [copy(child) for child in node]


def interchange(tree: list, rng: random.Random) -> None:
    """One nearest-neighbour interchange: a child of an inner node swaps places with a sibling of that node."""
    edges = []  # (parent, index of an inner child in it)
    stack = [tree]
    while stack:
        node = stack.pop()
        for i, child in enumerate(node):
            if not isinstance(child, str):
                edges.append((node, i))
                stack.append(child)
    parent, i = rng.choice(edges)
    inner = parent[i]
    j = rng.choice([k for k in range(len(parent)) if k != i])
    k = rng.randrange(len(inner))
    inner[k], parent[j] = parent[j], inner[k]


def tree_text(tree: list, lengths: dict[frozenset, float], rng: random.Random, label) -> str:
    def write(node: Node) -> str:
        if isinstance(node, str):
            key, text = frozenset([node]), label(node)
            mean = lengths.setdefault(key, rng.gammavariate(3.0, 0.03))
        else:
            key, text = frozenset(leaves(node)), "(" + ",".join(write(child) for child in node) + ")"
            mean = lengths.setdefault(key, rng.gammavariate(2.0, 0.02))
        return f"{text}:{mean * rng.lognormvariate(0.0, 0.15):.5f}"

    return "(" + ",".join(write(child) for child in tree) + ");"


def sample() -> list[list]:
    rng = random.Random(SEED)
    bases = [copy(BASE) for _ in BASE_WEIGHTS]
    for base, moves in zip(bases[1:], (2, 3)):
        for _ in range(moves):
            interchange(base, rng)
    trees = []
    for _ in range(TREES):
        tree = copy(rng.choices(bases, BASE_WEIGHTS)[0])
        for _ in range(rng.choice((0, 0, 0, 1, 2))):
            interchange(tree, rng)
        trees.append(tree)
    return trees


def main() -> None:
    directory = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent)
    trees = sample()
    taxa = leaves(BASE)
    number = {name: str(i + 1) for i, name in enumerate(taxa)}
    # the same length draws for both files: one generator per file, started from the same seed
    newick_rng, nexus_rng = random.Random(SEED + 1), random.Random(SEED + 1)
    newick_lengths: dict[frozenset, float] = {}
    nexus_lengths: dict[frozenset, float] = {}

    lines = [tree_text(tree, newick_lengths, newick_rng, lambda name: name) for tree in trees]
    (directory / "primates.nwk").write_text("\n".join(lines) + "\n")

    nexus = [
        "#NEXUS",
        f"[{TREES} unrooted trees of {len(taxa)} mammals, written by make_examples.py with seed {SEED}]",
        "",
        "begin taxa;",
        f"\tdimensions ntax={len(taxa)};",
        "\ttaxlabels",
        *(f"\t\t{name}" for name in taxa),
        "\t;",
        "end;",
        "",
        "begin trees;",
        "\ttranslate",
        ",\n".join(f"\t\t{number[name]} {name}" for name in taxa),
        "\t\t;",
        *(
            f"\ttree gen.{1000 * i} = [&U] {tree_text(tree, nexus_lengths, nexus_rng, number.get)}"
            for i, tree in enumerate(trees)
        ),
        "end;",
    ]
    (directory / "primates.nex").write_text("\n".join(nexus) + "\n")


if __name__ == "__main__":
    main()
