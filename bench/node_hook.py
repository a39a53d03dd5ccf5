"""The plain reader with and without the walker's node hook compiled in: `TreeSet.from_files` on one file, in
alternating processes of the two builds (each first in every other round), min and median of the repeats.

    tools/devenv run bash -c 'cmake -S . -B build/nohook -G Ninja -DCMAKE_BUILD_TYPE=Release \\
        -DCLADOMATIC_NODE_HOOK=OFF >/dev/null && cmake --build build/nohook'
    tools/devenv run python3 bench/node_hook.py [--file FILE] [--repeat 3] [--without build/nohook/python]

The default file is `data/sceloporus.mb.t` (`bench/make_data.sh reading`). The build without the hook has no
second instantiation of the walker, so its plain readers are compiled as they were before the hook existed.
"""

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TIMED = """
import sys, time
from cladomatic_tools import TreeSet
started = time.perf_counter()
TreeSet.from_files(sys.argv[1], threads=1)
print(time.perf_counter() - started)
"""


def seconds(module_dir: str, path: Path) -> float:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, str(HERE.parent / "python")]))
    done = subprocess.run([sys.executable, "-c", TIMED, str(path)], env=env, capture_output=True, text=True, check=True)
    return float(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", type=Path, default=HERE / "data" / "sceloporus.mb.t")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--without", default=str(HERE.parent / "build" / "nohook" / "python"))
    args = parser.parse_args()
    with_hook = os.environ["PYTHONPATH"].split(os.pathsep)[0]
    times: dict[str, list[float]] = {"with the hook": [], "hook compiled out": []}
    builds = {"with the hook": with_hook, "hook compiled out": args.without}
    for round_ in range(args.repeat):
        # each build goes first in every other round, so that neither always meets the other's leftovers
        for name in sorted(builds, reverse=round_ % 2 == 1):
            times[name].append(seconds(builds[name], args.file))
    for name, found in times.items():
        print(f"{name:18} min {min(found):.3f} s  median {statistics.median(found):.3f} s")
    ratio_min = min(times["with the hook"]) / min(times["hook compiled out"])
    ratio_median = statistics.median(times["with the hook"]) / statistics.median(times["hook compiled out"])
    print(f"ratio: min {ratio_min:.3f} x, median {ratio_median:.3f} x")


if __name__ == "__main__":
    main()
