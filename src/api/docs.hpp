// Docstring pieces shared by the six module functions, as literals so that
// each docstring is one constant string.
#pragma once

// The first line must start with the function's own name for the host to read
// it as the text signature.
#define CLADOMATIC_SIGNATURE(name) \
  name "(names, newick_iter, translate_maps, map_indices, rooted=False, progress=None)\n--\n\n"

#define CLADOMATIC_ARGS_DOC                                                 \
  "Args:\n"                                                                 \
  "    names: Tree identifiers, one per newick string.\n"                   \
  "    newick_iter: Python iterator yielding newick strings.\n"             \
  "    translate_maps: List of translate maps from number to taxon name.\n" \
  "    map_indices: Per-tree index into translate_maps.\n"                  \
  "    rooted: If true compare clades, otherwise bipartitions.\n"           \
  "    progress: Optional cladomatic.ProgressCounter (see pairwise_rf_from_newick_iter).\n\n"

#define CLADOMATIC_RAISES_DOC \
  "Raises:\n"                 \
  "    ValueError: If fewer than 2 trees, leaf sets differ, or argument lengths mismatch.\n"

#define CLADOMATIC_BIPARTITION_DOC                                                               \
  "bipartition_clade_bytes holds n_bip rows of ceil(len(leaf_names) / 8) bytes, row j for\n"     \
  "column j. Leaf i (leaf_names[i]) is bit i % 8 of byte i // 8 of the row, least significant\n" \
  "bit first; the bit is 1 when the leaf is on the split's canonical side (the clade when\n"     \
  "rooted, otherwise the side without leaf_names[0]); padding bits are 0:\n\n"                   \
  "    rows = np.frombuffer(bipartition_clade_bytes, dtype=np.uint8).reshape(n_bip, -1)\n"       \
  "    members = np.unpackbits(rows, axis=1, bitorder='little')[:, :len(leaf_names)]\n\n"        \
  "Columns are ordered by leaf set alone, so the order is stable across calls; pendant\n"        \
  "(leaf) edges are columns too.\n\n"
