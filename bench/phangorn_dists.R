# One phangorn distance matrix for bench/compare.py.
#   Rscript bench/phangorn_dists.R rf|wrf|kf TREES.nwk OUT.bin
# Writes the lower triangle of the dist object (pairs (1,2), (1,3), ..., (2,3), ...) as
# little-endian float64 to OUT.bin and prints the timings as one JSON line.
args <- commandArgs(trailingOnly = TRUE)
metric <- args[1]
suppressPackageStartupMessages(library(phangorn))
started <- proc.time()[["elapsed"]]
trees <- read.tree(args[2])
# Unrooted comparison, no normalisation: the definitions the other tools use.
d <- switch(metric,
  rf = RF.dist(trees, normalize = FALSE, rooted = FALSE),
  wrf = wRF.dist(trees, normalize = FALSE, rooted = FALSE),
  kf = KF.dist(trees, rooted = FALSE),
  stop("unknown metric ", metric))
elapsed <- proc.time()[["elapsed"]] - started
con <- file(args[3], "wb")
writeBin(as.double(d), con, size = 8, endian = "little")
close(con)
cat(sprintf("{\"time\": %.6f, \"trees\": %d}\n", elapsed, length(trees)))
