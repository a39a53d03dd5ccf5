"""The `cladomatic` command, run as a subprocess on the example trees and on broken input."""

import gzip
import os
import pty
import re
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest
from conftest import (
    EXAMPLES,
    NEWICK,
    NEXUS,
    TREES,
    command,
    direct,
    interruptible,
    kept_line,
    one_line_error,
    read_output,
    read_table,
    run,
)


class TestDistances:
    @pytest.mark.parametrize("fmt", ["tsv", "csv", "npy"])
    @pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
    def test_each_metric_and_format_holds_the_modules_matrix(self, engine, tmp_path, metric, fmt):
        out = tmp_path / f"out.{fmt}"
        result = run(metric, NEWICK, "--output", out)
        assert (result.returncode, result.stdout, result.stderr) == (0, "", kept_line(NEWICK))
        names, matrix = read_output(out, fmt)
        assert np.array_equal(matrix, direct(engine, metric, TREES))
        assert names in (None, [f"tree_{i + 1}" for i in range(len(TREES))])
        if fmt == "npy":
            assert matrix.dtype == (np.uint32 if metric == "rf" else np.float64)

    def test_tsv_goes_to_standard_output_unless_a_format_or_output_says_otherwise(self, engine, tmp_path):
        result = run("rf", NEWICK)
        assert result.returncode == 0 and result.stderr == kept_line(NEWICK)
        assert np.array_equal(read_table(result.stdout, "\t")[1], direct(engine, "rf", TREES))
        out = tmp_path / "rf.txt"
        assert run("rf", NEWICK, "--output", out, "--format", "csv").returncode == 0
        assert np.array_equal(read_table(out.read_text(), ",")[1], direct(engine, "rf", TREES))

    @pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
    def test_nexus_with_a_translate_table_gives_the_newick_matrix(self, engine, tmp_path, metric):
        result = run(metric, NEXUS)
        assert result.returncode == 0, result.stderr
        names, matrix = read_table(result.stdout, "\t")
        assert names == [f"gen.{1000 * i}" for i in range(len(TREES))]
        assert np.array_equal(matrix, direct(engine, metric, TREES))

    def test_several_files_compressed_or_not_are_compared_together(self, engine, tmp_path):
        packed = tmp_path / "primates.trees"
        packed.write_bytes(gzip.compress(NEWICK.read_bytes()))
        result = run("rf", packed, NEXUS)
        assert result.returncode == 0, result.stderr
        names, matrix = read_table(result.stdout, "\t")
        assert names[0] == f"{packed}:tree_1" and names[-1] == f"{NEXUS}:gen.119000"
        assert np.array_equal(matrix, np.tile(direct(engine, "rf", TREES), (2, 2)))

    def test_burnin_thinning_and_rooted_comparison(self, engine):
        result = run("rf", NEWICK, "--burnin", 20, "--every", 7, "--rooted")
        assert result.returncode == 0, result.stderr
        names, matrix = read_table(result.stdout, "\t")
        assert names == [f"tree_{i + 1}" for i in range(20, len(TREES), 7)]
        assert np.array_equal(matrix, direct(engine, "rf", TREES[20::7], rooted=True))


class TestSplits:
    def snapshot(self, engine, metric, trees):
        function = getattr(engine, f"pairwise_{metric}_with_snapshots_from_newick_iter")
        return function([f"t{i}" for i in range(len(trees))], iter(trees), [{}], [0] * len(trees))

    @pytest.mark.parametrize("metric", ["rf", "wrf", "kf"])
    def test_the_npz_holds_the_exports_decoded(self, engine, tmp_path, metric):
        out = tmp_path / "splits.npz"
        result = run("splits", NEXUS, "--metric", metric, "--output", out, "--every", 3)
        assert (result.returncode, result.stderr) == (0, kept_line(NEXUS, 40, applied="none, then one tree in 3"))
        trees = TREES[::3]
        _, _matrix_bytes, leaf_names, n_bip, per_tree, clades = self.snapshot(engine, metric, trees)
        stored = np.load(out)
        per_tree_key = "presence" if metric == "rf" else "branch_lengths"
        assert set(stored.files) == {"tree_names", "leaf_names", "distances", "bipartitions", per_tree_key}
        assert list(stored["tree_names"]) == [f"gen.{1000 * i}" for i in range(0, len(TREES), 3)]
        assert list(stored["leaf_names"]) == leaf_names
        assert np.array_equal(stored["distances"], direct(engine, metric, trees))
        if metric == "rf":
            assert stored["presence"].dtype == bool
            rows = [per_tree[t * n_bip : (t + 1) * n_bip] for t in range(len(trees))]
            assert stored["presence"].tolist() == [[byte == 1 for byte in row] for row in rows]
        else:
            lengths = np.frombuffer(per_tree, "<f8").reshape(len(trees), n_bip)
            assert np.array_equal(stored["branch_lengths"], lengths)
        stride = (len(leaf_names) + 7) // 8
        leaves = range(len(leaf_names))
        bits = [[bool(clades[j * stride + i // 8] >> (i % 8) & 1) for i in leaves] for j in range(n_bip)]
        assert stored["bipartitions"].dtype == bool and stored["bipartitions"].tolist() == bits


class TestErrors:
    def test_missing_file(self, tmp_path):
        result = run("rf", NEWICK, tmp_path / "none.nwk")
        one_line_error(result, 2, f"cladomatic: error: cannot open {tmp_path}/none.nwk: No such file or directory")

    def test_malformed_tree_is_named_by_file_line_and_tree(self, engine, tmp_path):
        broken = tmp_path / "broken.nwk"
        broken.write_text("\n".join(TREES[:2]) + "\n((Homo_sapiens,Pan_paniscus);\n")
        result = run("rf", NEWICK, broken)
        one_line_error(result, 2, f"cladomatic: error: {broken}:3: tree 3: ")
        assert "a '(' is never closed" in result.stderr

    def test_mismatched_leaf_sets(self, engine, tmp_path):
        other = tmp_path / "other.nex"
        other.write_text(NEXUS.read_text().replace("Rattus_norvegicus", "Rattus_rattus"))
        result = run("kf", NEWICK, other)
        line = next(i + 1 for i, text in enumerate(NEXUS.read_text().splitlines()) if "tree gen.0 " in text)
        one_line_error(
            result,
            2,
            f"{other}:{line}: tree 1 (gen.0) lacks Rattus_norvegicus and has Rattus_rattus that tree 1 of {NEWICK} "
            "does not\n",
        )

    @pytest.mark.parametrize(
        "args, text",
        [
            (["rf", NEWICK, "--bogus"], "cladomatic: error: unrecognized arguments: --bogus (see 'cladomatic --help')"),
            (["rf", NEWICK, "--every", "0"], f"--every: expected a whole number from 1 to {2**64 - 1}, got '0'"),
            (["kf", NEWICK, "--threads", "0"], "argument --threads: expected a whole number of at least 1, got '0'"),
            (["wrf", NEWICK, "--burnin", "-3"], "argument --burnin: expected a burn-in as a whole number of trees N"),
            (["rf", NEWICK, "--burnin", "120%"], "a percentage P% below 100% or a share F below 1"),
            (["rf", NEWICK, "--burnin", "100%"], "drop the first quarter of each run), got '100%'"),
            (["kf", NEWICK, "--format", "npy"], "cladomatic: error: npy output needs --output"),
            (["rf", NEWICK, "--output", "/none/rf.tsv"], "cannot write /none/rf.tsv: no directory /none"),
            (["splits", NEWICK], "the following arguments are required: --output"),
            (["rf", NEWICK, "--burnin", "120"], "primates.nwk: a burn-in of 120 trees leaves none of its 120 trees"),
            (["nj", NEWICK], "argument COMMAND: invalid choice: 'nj'"),
            ([], "the following arguments are required: COMMAND"),
        ],
    )
    def test_bad_arguments(self, args, text):
        one_line_error(run(*args), 2, text)

    def test_interrupt_while_reading_exits_with_130(self, tmp_path):
        fifo = tmp_path / "trees.fifo"
        os.mkfifo(fifo)
        process = subprocess.Popen(
            command("rf", fifo), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=interruptible
        )
        # open returns once the command has opened its end: it is reading, and cannot finish while the
        # writer's end stays open
        with open(fifo, "w") as writer:
            writer.write("(A,B);\n")
            writer.flush()
            process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=60)
        assert (process.returncode, stdout, stderr) == (130, "", "cladomatic: interrupted\n")


class TestProgress:
    def run_on_terminal(self, *args):
        """Standard error of the command when it is a terminal."""
        leader, follower = pty.openpty()
        process = subprocess.Popen(command(*args), stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        seen = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:  # the terminal is gone once the command has exited
                break
            if not chunk:
                break
            seen += chunk
        os.close(leader)
        assert process.wait(timeout=300) == 0
        return seen

    def test_bar_runs_to_completion_and_is_cleared(self, engine, tmp_path):
        seen = self.run_on_terminal("rf", NEWICK, "--output", tmp_path / "rf.tsv")
        pairs = len(TREES) * (len(TREES) - 1) // 2
        assert f"comparing {pairs} pairs [".encode() in seen and b"] 100%" in seen
        assert seen.endswith(b"\r\x1b[K")
        assert read_output(tmp_path / "rf.tsv", "tsv")[1].shape == (len(TREES), len(TREES))

    def test_quiet_draws_nothing(self, engine, tmp_path):
        assert self.run_on_terminal("rf", NEWICK, "--output", tmp_path / "rf.tsv", "--quiet") == b""


@pytest.mark.skipif(shutil.which("cladomatic") is None, reason="the command is not on PATH")
def test_the_command_on_path_is_the_tool():
    result = subprocess.run(["cladomatic", "splits", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "--metric {rf,wrf,kf}" in result.stdout


def test_the_examples_are_what_their_script_writes(tmp_path):
    subprocess.run([sys.executable, EXAMPLES / "make_examples.py", tmp_path], check=True, timeout=60)
    for example in (NEWICK, NEXUS):
        assert (tmp_path / example.name).read_bytes() == example.read_bytes()


class TestRunsAndSpellings:
    def test_two_runs_joined_end_to_end_are_both_read_each_after_its_burnin(self, engine, tmp_path):
        joined = tmp_path / "both.t.gz"
        joined.write_bytes(gzip.compress(NEXUS.read_bytes()) + gzip.compress(NEXUS.read_bytes()))
        result = run("rf", joined, "--burnin", "25%")
        assert result.returncode == 0, result.stderr
        names, matrix = read_table(result.stdout, "\t")
        assert names[0] == "run1:gen.30000" and names[90] == "run2:gen.30000" and len(names) == 180
        assert np.array_equal(matrix, np.tile(direct(engine, "rf", TREES[30:]), (2, 2)))

    def test_quoted_names_compare_with_a_translate_table_of_the_same_taxa(self, engine, tmp_path):
        quoted = tmp_path / "figtree.nwk"
        quoted.write_text(re.sub(r"([A-Z][a-z]+)_([a-z]+)", r"'\1 \2'", NEWICK.read_text()))
        assert "'Homo sapiens'" in quoted.read_text()
        result = run("rf", quoted, NEXUS)
        assert result.returncode == 0, result.stderr
        assert np.array_equal(read_table(result.stdout, "\t")[1], np.tile(direct(engine, "rf", TREES), (2, 2)))

    def test_trees_may_name_taxa_in_full_beside_a_translate_table(self, engine, tmp_path):
        mixed = tmp_path / "mixed.nex"
        text = NEXUS.read_text()
        first_tree = next(line for line in text.splitlines() if "tree gen.0 " in line)
        mixed.write_text(text.replace(first_tree, f"tree gen.0 = [&U] {TREES[0]}"))
        result = run("rf", mixed)
        assert result.returncode == 0, result.stderr
        assert np.array_equal(read_table(result.stdout, "\t")[1], direct(engine, "rf", TREES))

    def test_standard_input_is_read_once_like_a_file(self, engine):
        result = subprocess.run(
            command("wrf", "-", "--every", 2), input=NEXUS.read_text(), capture_output=True, text=True, timeout=300
        )
        assert result.returncode == 0, result.stderr
        names, matrix = read_table(result.stdout, "\t")
        assert names[1] == "gen.2000" and np.array_equal(matrix, direct(engine, "wrf", TREES[::2]))
        one_line_error(run("rf", "-", "-"), 2, "standard input ('-') can be read only once")

    def test_trees_without_lengths_get_a_warning_and_their_result(self, engine, tmp_path):
        bare = tmp_path / "bare.nwk"
        bare.write_text(re.sub(r":[0-9.e-]+", "", "\n".join(TREES[:3])) + "\n" + TREES[3] + "\n")
        result = run("wrf", bare, "--quiet")
        assert result.returncode == 0
        warning = "cladomatic: warning: 3 of 4 trees have no branch lengths: every split of them counts as length 0\n"
        assert result.stderr == warning
        assert run("rf", bare, "--quiet").stderr == ""

    def test_version(self):
        result = run("--version")
        assert result.returncode == 0 and re.fullmatch(r"cladomatic \d+\.\d+\.\d+\n", result.stdout)
