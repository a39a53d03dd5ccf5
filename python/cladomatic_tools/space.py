"""Tree space: classical multidimensional scaling (principal coordinates) of tree distances.

Up to EXACT_LIMIT trees the whole distance matrix is double-centred and decomposed. Above it, landmark MDS:
LANDMARKS trees spread evenly over the sample are scaled exactly, and every tree is placed from its distances to
them, so only a LANDMARKS x trees block of distances is ever computed and nothing of size trees x trees exists.
"""

from dataclasses import dataclass

import numpy as np

EXACT_LIMIT = 2000
LANDMARKS = 500
# rows of distances computed per call when placing trees against the landmarks
_BLOCK_ROWS = 4096


@dataclass(frozen=True, slots=True)
class Coordinates:
    points: np.ndarray  # [trees, dims]
    eigenvalues: np.ndarray  # [dims] of the double-centred matrix (of the landmarks, scaled to the sample)
    share: np.ndarray  # [dims] each axis's eigenvalue over the total variation (the centred matrix's trace)
    method: str  # "exact" or "landmark"


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


def landmark_indices(n: int, landmarks: int = LANDMARKS) -> np.ndarray:
    """Landmarks spread evenly over the sample, so that every run and every stretch of a chain has some."""
    return np.unique(np.linspace(0, n - 1, min(n, landmarks)).round().astype(np.int64))


def landmark(landmark_distances: np.ndarray, to_landmarks_blocks, n: int, dims: int = 2) -> Coordinates:
    """Landmark MDS. `landmark_distances` is the landmarks' own distance matrix; `to_landmarks_blocks` yields
    (row slice, block) pairs with the distances [rows, landmarks] of every tree to the landmarks, in order.

    Each tree is placed by triangulation: x = -1/2 L# (d^2 - mean landmark d^2), with L# the pseudo-inverse
    transpose of the landmarks' coordinates; a landmark lands exactly on its own exact coordinates."""
    squared = np.asarray(landmark_distances, dtype=np.float64) ** 2
    b = double_centre(squared)
    values, vectors = _top(b, dims)
    with np.errstate(divide="ignore"):
        pinv = np.where(values > 0, 1.0 / np.sqrt(np.where(values > 0, values, 1.0)), 0.0)
    mapping = vectors * pinv  # [landmarks, dims]
    mean_sq = squared.mean(axis=0)
    points = np.empty((n, dims))
    for rows, block in to_landmarks_blocks:
        block = np.asarray(block, dtype=np.float64)
        points[rows] = -0.5 * (block * block - mean_sq) @ mapping
    scale = n / squared.shape[0]
    return Coordinates(points, values * scale, _share(values, float(np.trace(b))), "landmark")


def principal_coordinates(
    tree_set, metric: str = "rf", dims: int = 2, method: str = "auto", landmarks: int = LANDMARKS
) -> Coordinates:
    """Classical MDS of a TreeSet's trees: exact up to EXACT_LIMIT trees, landmark MDS above (or as asked)."""
    n = len(tree_set)
    if dims < 1:
        raise ValueError(f"need at least one dimension, got {dims}")
    if n < 2:
        raise ValueError(f"need at least 2 trees, found {n}")
    if method not in ("auto", "exact", "landmark"):
        raise ValueError(f"unknown method '{method}': expected auto, exact or landmark")
    if method == "exact" or (method == "auto" and n <= EXACT_LIMIT):
        return classical(tree_set.distances(metric), dims)
    if landmarks < 2:
        raise ValueError(f"need at least 2 landmarks, got {landmarks}")
    marks = landmark_indices(n, landmarks)
    own = tree_set.distances(metric, rows=marks, cols=marks)

    def blocks():
        for start in range(0, n, _BLOCK_ROWS):
            rows = slice(start, min(n, start + _BLOCK_ROWS))
            yield rows, tree_set.distances(metric, rows=rows, cols=marks)

    return landmark(own, blocks(), n, dims)
