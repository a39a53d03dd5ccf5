"""Tree space: classical multidimensional scaling (principal coordinates) of tree distances.

Up to EXACT_LIMIT trees the whole distance matrix is double-centred and decomposed. Above it, landmark MDS:
up to LANDMARKS landmark trees (half evenly spaced, half farthest points) are scaled exactly, and every tree is
placed from its distances to them, so only a LANDMARKS x trees block of distances is ever computed and nothing of size
trees x trees exists.
"""

import warnings
from dataclasses import dataclass

import numpy as np

from cladomatic_tools.defaults import EXACT_LIMIT, LANDMARKS


@dataclass(frozen=True, slots=True)
class Coordinates:
    points: np.ndarray  # [trees, dims]
    eigenvalues: np.ndarray  # [dims] of the double-centred matrix (of the landmarks, scaled to the sample)
    share: np.ndarray  # [dims] each axis's eigenvalue over the total variation (the centred matrix's trace)
    method: str  # "exact" or "landmark"
    landmarks: int = 0  # trees scaled exactly by the landmark method


def double_centre(squared: np.ndarray) -> np.ndarray:
    """-1/2 J D^2 J, with J the centring matrix, without forming J."""
    b = -0.5 * squared
    b -= b.mean(axis=0, keepdims=True)
    b -= b.mean(axis=1, keepdims=True)
    return b


def _top(b: np.ndarray, dims: int) -> tuple[np.ndarray, np.ndarray]:
    """The `dims` largest eigenvalues (negative ones clipped to zero) and their unit eigenvectors, with each
    vector's sign fixed so that its largest entry is positive: the same input always gives the same picture."""
    values, vectors = np.linalg.eigh(b)
    order = np.argsort(values)[::-1][:dims]
    values = np.clip(values[order], 0.0, None)
    vectors = vectors[:, order]
    flip = np.sign(vectors[np.argmax(np.abs(vectors), axis=0), np.arange(vectors.shape[1])])
    vectors *= np.where(flip == 0, 1.0, flip)
    if values.size < dims:  # fewer trees than axes asked for
        values = np.concatenate([values, np.zeros(dims - values.size)])
        vectors = np.hstack([vectors, np.zeros((vectors.shape[0], dims - vectors.shape[1]))])
    return values, vectors


def _share(values: np.ndarray, trace: float) -> np.ndarray:
    return values / trace if trace > 0 else np.zeros_like(values)


def classical(distances: np.ndarray, dims: int = 2) -> Coordinates:
    """Principal coordinates of a full symmetric distance matrix."""
    d = np.asarray(distances, dtype=np.float64)
    b = double_centre(d * d)
    values, vectors = _top(b, dims)
    return Coordinates(vectors * np.sqrt(values), values, _share(values, float(np.trace(b))), "exact")


def choose_landmarks(rows_of, n: int, count: int = LANDMARKS) -> tuple[np.ndarray, np.ndarray]:
    """Half the landmarks spread evenly over the sample, so that they follow where its trees are; then, one by
    one, the tree farthest from every landmark so far, until `count` are chosen or every tree coincides with a
    landmark. Even spacing alone can put every landmark on the one topology most of a converged sample holds,
    and farthest points alone over-represent the outliers; together, and weighted by the trees nearest to each
    (see `landmark`), they give the exact scaling whenever the sample holds few enough distinct trees.

    `rows_of(indices)` gives the distances [len(indices), n] of those trees to every tree.
    Returns (indices [L], distances [L, n])."""
    marks = np.unique(np.linspace(0, n - 1, max(1, min(n, count // 2))).round().astype(np.int64))
    rows = [np.asarray(rows_of(marks), dtype=np.float64)]
    nearest = rows[0].min(axis=0)
    chosen = list(marks)
    while len(chosen) < count:
        pick = int(np.argmax(nearest))
        if nearest[pick] <= 0.0:
            break
        row = np.asarray(rows_of(np.array([pick])), dtype=np.float64)
        chosen.append(pick)
        rows.append(row)
        np.minimum(nearest, row[0], out=nearest)
    return np.asarray(chosen, dtype=np.int64), np.vstack(rows)


def landmark(landmark_distances: np.ndarray, to_landmarks: np.ndarray, dims: int = 2) -> Coordinates:
    """Landmark MDS from the landmarks' own distances [L, L] and every tree's distances to them [n, L].

    Each landmark stands for the trees nearest to it (its weight w, summing to n), so the landmarks are scaled
    as the sample would be if every tree sat on its landmark: the eigenvectors u of W^1/2 B_w W^1/2, with B_w
    the landmarks' squared distances double-centred by weight, have the eigenvalues of that sample. Each tree
    is then placed by triangulation, x_k = -1/2 (d^2 - mean d^2) . (sqrt(w) u_k) / sqrt(lambda_k), where
    mean d^2 is each landmark's weighted mean squared distance; a landmark lands on its own coordinates. When
    the sample holds no more distinct trees than there are landmarks this is the exact scaling."""
    squared = np.asarray(landmark_distances, dtype=np.float64) ** 2
    to = np.asarray(to_landmarks, dtype=np.float64)
    n = len(to)
    weights = np.bincount(np.argmin(to, axis=1), minlength=squared.shape[0]).astype(np.float64)
    root = np.sqrt(weights)
    centring = np.eye(len(weights)) - np.outer(np.ones(len(weights)), weights / n)
    m = root[:, None] * double_centre_with(squared, centring) * root[None, :]
    values, vectors = _top(m, dims)
    with np.errstate(divide="ignore"):
        inverse = np.where(values > 0, 1.0 / np.sqrt(np.where(values > 0, values, 1.0)), 0.0)
    mapping = root[:, None] * vectors * inverse  # [landmarks, dims]
    mean_sq = squared @ weights / n
    points = -0.5 * (to * to - mean_sq) @ mapping
    return Coordinates(points, values, _share(values, float(np.trace(m))), "landmark", squared.shape[0])


def double_centre_with(squared: np.ndarray, centring: np.ndarray) -> np.ndarray:
    """-1/2 C D^2 C^T for a centring matrix C that subtracts a weighted mean."""
    return -0.5 * centring @ squared @ centring.T


def principal_coordinates(
    tree_set,
    metric: str = "rf",
    dims: int = 2,
    method: str = "auto",
    landmarks: int = LANDMARKS,
    prune: str | None = None,
) -> Coordinates:
    """Classical MDS of a TreeSet's trees: exact up to EXACT_LIMIT trees, landmark MDS above (or as asked);
    trees whose taxa differ are compared with the pruning mode `prune`, as TreeSet.distances takes it."""
    if prune == "common":
        tree_set, prune = tree_set.pruned(), None
    n = len(tree_set)
    if dims < 1:
        raise ValueError(f"need at least one dimension, got {dims}")
    if n < 2:
        raise ValueError(f"need at least 2 trees, found {n}")
    if method not in ("auto", "exact", "landmark"):
        raise ValueError(f"unknown method '{method}': expected auto, exact or landmark")
    if method == "exact" or (method == "auto" and n <= EXACT_LIMIT):
        return classical(finite_distances(tree_set, metric, np.arange(n), prune), dims)
    if landmarks < 2:
        raise ValueError(f"need at least 2 landmarks, got {landmarks}")
    marks, rows = choose_landmarks(lambda picked: finite_distances(tree_set, metric, picked, prune), n, landmarks)
    return landmark(rows[:, marks], rows.T, dims)


def finite_distances(tree_set, metric: str, rows: np.ndarray, prune: str | None = None) -> np.ndarray:
    """The distances of the trees `rows` to every tree, refused when one is not a finite number (a branch
    length of inf or nan gives such a distance, and so does a pair sharing too few taxa under prune="pairwise";
    it would turn every coordinate into nan)."""
    with warnings.catch_warnings(record=True):
        # the set's warning about pairs sharing too few taxa: such a pair is refused below, by name
        distances = tree_set.distances(metric, rows=rows, prune=prune)
    bad = np.argwhere(~np.isfinite(distances))
    if bad.size:
        i, j = bad[0]
        names = tree_set.tree_names
        shared = set(tree_set.tree_taxa(rows[i])) & set(tree_set.tree_taxa(j))
        fewest = 3 if tree_set.rooted else 4
        if prune == "pairwise" and len(shared) < fewest:
            raise ValueError(
                f"{names[rows[i]]} and {names[j]} share {len(shared)} taxa, fewer than the {fewest} a distance "
                "between the taxa two trees share needs"
            )
        raise ValueError(
            f"the {metric} distance between {names[rows[i]]} and {names[j]} is {distances[i, j]}: a branch length "
            "of one of them is infinite or not a number"
        )
    return distances
