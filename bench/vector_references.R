# The peers' matrices for the Kendall-Colijn metric and the path difference,
# committed as small files under tests/data/peers for tests/python/test_tree_vectors.py.
#   Rscript bench/vector_references.R OUTDIR MRBAYES.t... [-- BEAST.trees...]
# Trees: every 20th tree of each MrBayes clock run (rooted, [&R]), every 5th of
# each BEAST run given after "--", and random trees (ape::rtree, seed 34, some
# with short edges collapsed into multifurcations).  Every set is written with
# 17 significant digits and read back before the peers see it, so the tests
# and the peers compare the same numbers.  Per set NAME it writes
#   NAME.nwk            the trees, one per line
#   NAME.kc0.txt, .kc05.txt, .kc1.txt   treespace::multiDist for lambda 0, 0.5, 1
#   NAME.path.txt, NAME.wpath.txt       phangorn::path.dist, unweighted and weighted,
#                                       of the trees unrooted (ape::unroot)
# each the lower triangle of the dist object, pairs (1,2), (1,3), ..., (2,3), ...,
# one number a line in R's 17 significant digits; and it checks treeDist
# against multiDist on the first pairs.
options(rgl.useNULL = TRUE)
suppressPackageStartupMessages({
  library(ape)
  library(phangorn)
  library(treespace)
})
args <- commandArgs(trailingOnly = TRUE)
out <- args[1]
split <- match("--", args)
mrbayes <- if (is.na(split)) args[-1] else args[2:(split - 1)]
beast <- if (is.na(split)) character() else args[-(1:split)]
dir.create(out, showWarnings = FALSE, recursive = TRUE)

read_sample <- function(files, every) {
  trees <- list()
  for (f in files) {
    t <- if (grepl("\\.gz$", f)) {
      tmp <- tempfile()
      con <- gzfile(f, "rt")
      writeLines(readLines(con), tmp)
      close(con)
      read.nexus(tmp)
    } else {
      read.nexus(f)
    }
    t <- .uncompressTipLabel(t)
    trees <- c(trees, unclass(t)[seq(1, length(t), by = every)])
  }
  class(trees) <- "multiPhylo"
  trees
}

write_lower <- function(d, path) {
  writeLines(formatC(as.vector(d), digits = 17, format = "g"), path)
}

references <- function(trees, name) {
  path <- file.path(out, paste0(name, ".nwk"))
  write.tree(trees, path, digits = 17)
  trees <- read.tree(path)
  started <- proc.time()[["elapsed"]]
  for (lambda in c(0, 0.5, 1)) {
    tag <- c("0" = "kc0", "0.5" = "kc05", "1" = "kc1")[[as.character(lambda)]]
    d <- multiDist(trees, lambda = lambda)
    write_lower(d, file.path(out, paste0(name, ".", tag, ".txt")))
    one <- treeDist(trees[[1]], trees[[2]], lambda = lambda)
    stopifnot(isTRUE(all.equal(one, as.matrix(d)[1, 2], tolerance = 1e-12)))
  }
  unrooted <- lapply(trees, unroot)
  class(unrooted) <- "multiPhylo"
  write_lower(path.dist(unrooted), file.path(out, paste0(name, ".path.txt")))
  write_lower(path.dist(unrooted, use.weight = TRUE), file.path(out, paste0(name, ".wpath.txt")))
  cat(sprintf("%s: %d trees of %d tips, %.2f s\n", name, length(trees), Ntip(trees[[1]]),
              proc.time()[["elapsed"]] - started))
}

if (length(mrbayes)) references(read_sample(mrbayes, 20), "mrbayes_clock")
if (length(beast)) references(read_sample(beast, 5), "beast")

set.seed(34)
for (n in c(5, 8, 13, 21, 30)) {
  same <- lapply(1:6, function(k) {
    t <- rtree(n, rooted = TRUE)
    # a third of them with their short inner edges collapsed: multifurcations
    # (the root's own edges kept, so that the root stays of degree 2: treespace refuses any other root)
    if (k %% 3 == 0) {
      root_edges <- t$edge[, 1] == Ntip(t) + 1
      t$edge.length[root_edges] <- t$edge.length[root_edges] + 0.3
      t <- di2multi(t, tol = 0.3)
    }
    t
  })
  class(same) <- "multiPhylo"
  references(.compressTipLabel(same), paste0("random", n))
}
