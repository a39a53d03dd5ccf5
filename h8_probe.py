import time, numpy as np
from cladomatic_tools import TreeSet
ts = TreeSet.from_files(["build/bench-beyond/trees-100000.nwk"], lengths=False)
ref = TreeSet.from_files(["build/bench-beyond/reference.nwk"], lengths=False)
for i in range(3):
    t = time.monotonic(); ts.against(ref, "rf"); print("against", time.monotonic() - t)
big = TreeSet.from_files(["build/bench-beyond/trees-60000.nwk"], lengths=False)
t = time.monotonic(); big.distances("rf", rows=range(0, 1)); print("layout+1 row", time.monotonic() - t)
out = np.empty((1000, 60000), np.uint32)
for i in range(2):
    t = time.monotonic(); big.distances("rf", rows=range(1000 * i, 1000 * (i + 1)), out=out); d = time.monotonic() - t
    print("band 1000 rows", d, 1000 * 60000 / d / 1e6, "M cells/s")
