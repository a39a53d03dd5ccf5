"""What the `cladomatic` command leaves behind: output files that are whole or untouched, refused outputs,
exit statuses and one-line failures, Ctrl-C during the pairwise stage."""

import errno
import gzip
import os
import pty
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import cladomatic
import numpy as np
import pytest
from cladomatic_tools.cli import distances as engine
from cladomatic_tools.cli import main
from cladomatic_tools.io import writers as output
from conftest import NEWICK, TREES, command, direct, interruptible, kept_line, one_line_error, read_table, run


def random_trees(count, leaves, seed=5):
    rng = random.Random(seed)
    names = [f"t{i}" for i in range(leaves)]
    trees = []
    for _ in range(count):
        nodes = [f"{name}:{rng.random():.3f}" for name in names]
        while len(nodes) > 2:
            a = nodes.pop(rng.randrange(len(nodes)))
            b = nodes.pop(rng.randrange(len(nodes)))
            nodes.append(f"({a},{b}):{rng.random():.3f}")
        trees.append(f"({nodes[0]},{nodes[1]});")
    return trees


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


class TestAtomicOutput:
    def test_a_symlink_to_a_full_device_survives_a_failed_write(self, tmp_path):
        link = tmp_path / "out.tsv"
        link.symlink_to("/dev/full")
        result = run("rf", NEWICK, "--output", link, "--quiet")
        one_line_error(result, 1, f"cannot write {link}: No space left on device")
        assert link.is_symlink() and os.readlink(link) == "/dev/full"
        assert Path("/dev/full").is_char_device()

    def test_a_symlink_to_a_file_keeps_the_link_and_replaces_its_target(self, tmp_path):
        real = tmp_path / "real.tsv"
        real.write_text("old\n")
        link = tmp_path / "link.tsv"
        link.symlink_to(real)
        assert run("rf", NEWICK, "--output", link).returncode == 0
        assert link.is_symlink() and read_table(real.read_text(), "\t")[0][0] == "tree_1"
        assert leftovers(tmp_path) == []

    def test_an_output_that_is_an_input_is_refused(self, tmp_path):
        copy = tmp_path / "trees.nwk"
        copy.write_bytes(NEWICK.read_bytes())
        alias = tmp_path / "alias.tsv"
        alias.symlink_to(copy)
        for target in (copy, alias):
            one_line_error(run("rf", copy, "--output", target), 2, f"the output {target} is the input {copy}")
        assert copy.read_bytes() == NEWICK.read_bytes()

    def test_a_failed_write_leaves_the_existing_output_as_it_was(self, tmp_path, monkeypatch, capsys):
        out = tmp_path / "rf.tsv"
        out.write_text("precious\n")

        def failing(writer, names, band):
            writer.writerow(["half a row"])
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(output, "_native_rows", lambda: None)
        monkeypatch.setattr(output, "_write_rows", failing)
        assert main.main(["rf", str(NEWICK), "--output", str(out), "--quiet"]) == 1
        assert capsys.readouterr().err == f"cladomatic: error: cannot write {out}: No space left on device\n"
        assert out.read_text() == "precious\n" and leftovers(tmp_path) == []

    def test_runs_writing_one_path_at_once_each_leave_a_whole_file(self, tmp_path):
        out = tmp_path / "rf.tsv"
        other = tmp_path / "other.nwk"
        other.write_text("\n".join(TREES[:60]) + "\n")
        processes = [
            subprocess.Popen(command("rf", source, "--output", out), stderr=subprocess.PIPE, text=True)
            for source in (NEWICK, other, NEWICK, other)
        ]
        # a run that finds another writing the file stops before it touches anything
        for process in processes:
            _, stderr = process.communicate(timeout=300)
            assert process.returncode == 0 or (process.returncode == 2 and f"is writing {out}" in stderr)
        names, matrix = read_table(out.read_text(), "\t")
        assert len(names) in (60, 120) and np.array_equal(matrix, direct(cladomatic, "rf", TREES[: len(names)]))
        assert leftovers(tmp_path) == []

    def test_the_new_file_gets_the_usual_permissions(self, tmp_path):
        out = tmp_path / "rf.tsv"
        assert run("rf", NEWICK, "--output", out).returncode == 0
        umask = os.umask(0)
        os.umask(umask)
        assert out.stat().st_mode & 0o777 == 0o666 & ~umask


class TestOneRunPerOutput:
    @pytest.mark.parametrize(
        "args, output, existing",
        [
            (["rf"], "rf.tsv", "file"),
            (["kf"], "kf.npy", "file"),
            (["rf", "--tile", "50"], "rf.zarr", None),
            (["converge", NEWICK, "--output-dir"], "converge", "folder"),
            (["space", "--output-dir"], "space", "folder"),
            (["report", NEWICK], "page.html", "file"),
        ],
    )
    def test_a_second_run_on_the_same_output_stops_before_touching_it(self, tmp_path, args, output, existing):
        out = tmp_path / output
        if existing == "folder":
            out.mkdir()
            (out / "earlier").write_text("kept")
        elif existing == "file":
            out.write_text("kept")
        before = sorted(p.name for p in tmp_path.rglob("*"))
        fifo = tmp_path / "trees.fifo"
        os.mkfifo(fifo)
        option = [] if args[-1] == "--output-dir" else ["--output"]
        holder = subprocess.Popen(command(args[0], fifo, *args[1:], *option, out), stderr=subprocess.PIPE, text=True)
        try:
            # the holder opens its input only once it holds its output
            writer = None
            while writer is None and holder.poll() is None:
                try:
                    writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                except OSError:
                    time.sleep(0.05)
            assert writer is not None, holder.communicate()[1]
            second = run(args[0], NEWICK, *args[1:], *option, out)
            os.close(writer)
        finally:
            holder.terminate()
            holder.communicate(timeout=60)
        one_line_error(second, 2, f"cladomatic: error: another cladomatic run (pid {holder.pid}) is writing {out}\n")
        os.unlink(fifo)
        assert sorted(p.name for p in tmp_path.rglob("*")) == before
        if existing is not None:
            assert (out / "earlier" if existing == "folder" else out).read_text() == "kept"

    @pytest.mark.parametrize("left", ["mark", "shapeless"])
    def test_a_store_left_half_begun_is_replaced_or_resumed(self, tmp_path, left):
        pytest.importorskip("zarr")
        from cladomatic_tools.io import tile_store

        # what a run stopped just after marking its store, or while zarr made the group, leaves
        out = tmp_path / "rf.zarr"
        (tmp_path / "rf.zarr.partial").mkdir()
        (tmp_path / "rf.zarr.partial" / tile_store.MARK).write_text("")
        if left == "shapeless":
            (tmp_path / "rf.zarr.partial" / "zarr.json").write_text('{"zarr_format": 3, "node_type": "group"}')
        for again in ([], ["--resume"]):
            done = run("rf", NEWICK, "--tile", "50", "--output", out, *again)
            assert (done.returncode, done.stderr) == (0, kept_line(NEWICK))
            assert not (tmp_path / "rf.zarr.partial").exists()


class TestFullDisk:
    @pytest.mark.parametrize(
        "name, message",
        [("kf.npy", "no space left on device for {} (3.9 MB needed)"), ("kf.tsv", "cannot write {}: No space"),
         ("kf.npz", "cannot write {}: No space")],
    )
    def test_a_full_disk_is_one_line_and_leaves_the_old_file(self, tmp_path, small_disk, name, message):
        trees = tmp_path / "trees.nwk"
        trees.write_text("\n".join(random_trees(700, 20)) + "\n")
        out = small_disk / name
        out.write_bytes(b"earlier result")
        result = run("kf", trees, "--output", out, "--quiet")
        assert result.returncode == 1 and result.stderr.startswith(f"cladomatic: error: {message.format(out)}")
        assert out.read_bytes() == b"earlier result" and os.listdir(small_disk) == [name]

    def test_blocks_are_written_as_zeros_where_they_cannot_be_reserved(self, tmp_path, small_disk, monkeypatch, capsys):
        def refused(descriptor, offset, length):
            raise OSError(errno.EOPNOTSUPP, "Operation not supported")

        monkeypatch.setattr(os, "posix_fallocate", refused)
        trees = tmp_path / "trees.nwk"
        trees.write_text("\n".join(random_trees(700, 20)) + "\n")
        assert main.main(["kf", str(trees), "--output", str(small_disk / "kf.npy")]) == 1
        assert "no space left on device for" in capsys.readouterr().err and os.listdir(small_disk) == []
        assert main.main(["kf", str(trees), "--output", str(tmp_path / "kf.npy")]) == 0
        np.testing.assert_array_equal(np.load(tmp_path / "kf.npy"), direct(cladomatic, "kf", random_trees(700, 20)))


class TestFormats:
    def test_npz_keeps_the_tree_names_beside_the_matrix(self, tmp_path):
        out = tmp_path / "rf.npz"
        assert run("rf", NEWICK, NEWICK, "--output", out).returncode == 0
        stored = np.load(out)
        names = list(stored["tree_names"])
        assert len(set(names)) == len(names) == 2 * len(TREES)
        assert names[0] == f"{NEWICK}:tree_1" and names[len(TREES)] == f"{NEWICK}:tree_1#2"
        assert stored["distances"].dtype == np.uint32
        assert np.array_equal(stored["distances"], np.tile(direct(cladomatic, "rf", TREES), (2, 2)))

    @pytest.mark.parametrize("name, delimiter", [("rf.tsv.gz", "\t"), ("rf.csv.gz", ","), ("rf.gz", "\t")])
    def test_gz_names_get_compressed_text(self, tmp_path, name, delimiter):
        assert run("rf", NEWICK, "--output", tmp_path / name).returncode == 0
        text = gzip.decompress((tmp_path / name).read_bytes()).decode()
        assert np.array_equal(read_table(text, delimiter)[1], direct(cladomatic, "rf", TREES))

    @pytest.mark.parametrize(
        "args, text",
        [
            (["rf", "--output", "x.npy.gz"], "npy files are not gzip-compressed"),
            (["rf", "--output", "x.tsv.bz2"], "only gzip compression ('.gz') is written"),
            (["rf", "--output", "x.npy", "--format", "csv"], "--format csv does not match the name x.npy"),
            (["splits", "--output", "s.tsv"], "splits writes one .npz file"),
            (["wrf", "--format", "npz"], "npz output needs --output"),
        ],
    )
    def test_names_that_cannot_be_honoured_are_refused_before_reading(self, tmp_path, args, text):
        missing = tmp_path / "none.nwk"  # never opened: the refusal comes first
        one_line_error(run(args[0], missing, *args[1:]), 2, text)

    def test_without_numpy_binary_output_fails_before_reading(self, tmp_path):
        code = (
            "import sys; sys.modules['numpy'] = None\n"
            "from cladomatic_tools.cli.main import main\n"
            f"sys.exit(main(['splits', {str(tmp_path / 'none.nwk')!r}, '--output', 's.npz']))"
        )
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        one_line_error(result, 1, "cladomatic: error: splits needs NumPy")


class TestStatuses:
    def test_standard_output_on_a_full_disk(self):
        with open("/dev/full", "w") as full:
            quiet = command("rf", NEWICK, "--quiet")
            result = subprocess.run(quiet, stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
        assert result.returncode == 1
        assert result.stderr == "cladomatic: error: cannot write standard output: No space left on device\n"

    def test_internal_failures_exit_70_with_a_traceback_only_under_debug(self, monkeypatch, capsys):
        class InvariantFailure(BaseException):
            pass

        def broken(*args, **kwargs):
            raise InvariantFailure("leaf index outside the label table")

        monkeypatch.setattr(engine, "read_set", broken)
        assert main.main(["rf", str(NEWICK)]) == 70
        assert capsys.readouterr().err == "cladomatic: internal error: leaf index outside the label table\n"
        assert main.main(["rf", str(NEWICK), "--debug"]) == 70
        err = capsys.readouterr().err
        assert err.startswith("Traceback") and err.endswith("internal error: leaf index outside the label table\n")

    def test_out_of_memory_is_one_line(self, monkeypatch, capsys):
        def exhausted(*args, **kwargs):
            raise MemoryError

        monkeypatch.setattr(engine, "read_set", exhausted)
        assert main.main(["kf", str(NEWICK)]) == 1
        assert capsys.readouterr().err == "cladomatic: error: out of memory\n"

    def test_help_states_the_tree_length_limit(self):
        result = run("rf", "--help")
        assert result.returncode == 0 and "1,073,741,824 characters" in " ".join(result.stdout.split())


class TestInterrupt:
    def test_ctrl_c_during_the_pairwise_stage_ends_the_run_at_once(self, tmp_path):
        trees = tmp_path / "trees.nwk"
        trees.write_text("\n".join(random_trees(4000, 64)) + "\n")
        out = tmp_path / "kf.npy"
        out.write_bytes(b"earlier result")
        leader, follower = pty.openpty()
        process = subprocess.Popen(command("kf", trees, "--output", out), stderr=follower, preexec_fn=interruptible)
        os.close(follower)
        seen = b""
        # the bar shows the share of pairs compared; interrupted past a tenth, the run must end before the rest
        while not any(int(share) >= 10 for share in re.findall(rb"comparing .*?(\d+)%", seen)):
            chunk = os.read(leader, 4096)
            assert chunk, seen
            seen += chunk
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == 130
        while chunk := read_or_end(leader):
            seen += chunk
        os.close(leader)
        assert b"100%" not in seen and seen.endswith(b"\x1b[Kcladomatic: interrupted\r\n")
        assert out.read_bytes() == b"earlier result" and leftovers(tmp_path) == []

    @pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
    def test_a_signal_mid_run_unwinds_and_removes_the_temporary_file(self, tmp_path, signum):
        trees = tmp_path / "trees.nwk"
        trees.write_text("\n".join(random_trees(4000, 64)) + "\n")
        out = tmp_path / "kf.npy"
        out.write_bytes(b"earlier result")
        process = subprocess.Popen(command("kf", trees, "--output", out, "--quiet"), stderr=subprocess.PIPE, text=True)
        while not leftovers(tmp_path):  # the temporary file appears once the trees are read
            assert process.poll() is None
            time.sleep(0.01)
        process.send_signal(signum)
        _, err = process.communicate(timeout=60)
        assert (process.returncode, err) == (128 + signum, f"cladomatic: stopped by {signal.Signals(signum).name}\n")
        assert out.read_bytes() == b"earlier result" and leftovers(tmp_path) == []


def read_or_end(leader):
    """The next output of a terminal, or b"" once the process holding its other end has gone."""
    try:
        return os.read(leader, 4096)
    except OSError:
        return b""
