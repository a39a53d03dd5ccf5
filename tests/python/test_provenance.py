"""What an output was made from: the same record in NEXUS comments, the HTML page, a pickled TreeSet and the
JSON of --provenance; TSV output as it was."""

import json
import os
import pickle
from pathlib import Path

from cladomatic_tools.cli.main import main
from cladomatic_tools.io.provenance import Provenance, RunTaken
from cladomatic_tools.report import page
from cladomatic_tools.treeset import _STATE_VERSION, TreeSet, _restore, _state_digest

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
RUNS = [str(DATA / f"cynmix.run{i}.t.gz") for i in (1, 2)]


def test_command_outputs_carry_the_record(tmp_path):
    out, record = tmp_path / "con.nex", tmp_path / "con.json"
    command = ["consensus", *RUNS, "--burnin", "25%", "--every", "2", "--output", str(out), "--provenance", str(record)]
    assert main(command) == 0
    written = json.loads(record.read_text())
    assert written["command"] == ["cladomatic", *command]
    assert [entry["path"] for entry in written["inputs"]] == RUNS
    assert [entry["size"] for entry in written["inputs"]] == [os.stat(path).st_size for path in RUNS]
    # 201 trees a run: 50 dropped, then every second of the 151 left
    assert written["inputs"][0]["runs"] == [{"block": 1, "found": 201, "first": 50, "kept": 76}]
    assert written["inputs"][0]["burnin"] == "25%" and written["inputs"][0]["every"] == 2
    nexus = out.read_text().splitlines()
    assert nexus[1 : 1 + 2 + len(RUNS)] == Provenance.from_dict(written).nexus_comments()
    # the TSV of a distance command stays as it was
    plain, tsv = tmp_path / "plain.tsv", tmp_path / "rf.tsv"
    assert main(["rf", *RUNS, "--output", str(plain)]) == 0
    assert main(["rf", *RUNS, "--output", str(tsv), "--provenance", str(tmp_path / "rf.json")]) == 0
    assert tsv.read_bytes() == plain.read_bytes()
    assert json.loads((tmp_path / "rf.json").read_text())["command"][1] == "rf"


def test_refused_where_it_would_replace_the_output(tmp_path, capsys):
    out = tmp_path / "con.nwk"
    assert main(["consensus", *RUNS, "--output", str(out), "--provenance", str(out)]) == 2
    assert "is also the output" in capsys.readouterr().err
    assert not out.exists()


def test_treeset_keeps_and_pickles_it():
    ts = TreeSet.from_files(RUNS, burnin="25%")
    assert [entry.runs for entry in ts.provenance.inputs] == [(RunTaken(1, 201, 50, 151),)] * 2
    assert ts.provenance.command is None and ts.provenance.inputs[0].modified.endswith("+00:00")
    again = pickle.loads(pickle.dumps(ts))
    assert again.provenance == ts.provenance
    assert ts.pruned(ts.leaf_names[:-1]).provenance == ts.provenance
    # a set pickled before the record was kept still loads, without one
    _, (_, _, *fields) = ts.__reduce__()
    old = tuple(fields[:-1])
    assert _STATE_VERSION == 3
    assert _restore(2, _state_digest(2, old), *old).provenance == Provenance()


def test_trees_are_identified_without_it(tmp_path):
    # a tile store's fingerprint: the same trees read again once the file was touched are the same trees
    copy = tmp_path / "copy.t.gz"
    copy.write_bytes(Path(RUNS[0]).read_bytes())
    here = TreeSet.from_files([str(copy)])
    os.utime(copy, (1, 1))
    there = TreeSet.from_files([str(copy)])
    assert here.provenance != there.provenance
    assert here._trees_pickled() == there._trees_pickled()
    assert pickle.loads(here._trees_pickled()).provenance == Provenance()


def test_report_page_holds_it():
    record = TreeSet.from_files(RUNS[:1]).provenance.to_dict()
    text = page.page("t", "inputs", [], record)
    held = text.split('<script type="application/json" id="provenance">', 1)[1].split("</script>", 1)[0]
    assert json.loads(held) == record
    assert "<summary>Settings</summary>" in text and "cynmix.run1.t.gz (" in text
