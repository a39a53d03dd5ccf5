"""The HTML report as one self-contained page: its styles, the plotting library, its data and the script that
draws the figures are all inline, so that it opens from disk or as an e-mail attachment and makes no network
request (its content security policy forbids any).
"""

import html
import json
from dataclasses import dataclass, field
from importlib import resources

from cladomatic_tools.io.provenance import Provenance

ASSETS = "assets"
PLOTTING_LIBRARY = "plotly-basic.min.js"
# nothing is fetched: every script and style is inline, and images may only be data the page holds
_POLICY = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:"


@dataclass(frozen=True, slots=True)
class Table:
    header: list[str]
    rows: list[list[str]]
    # per row, an id for its last cell, so that a figure can be found in the page by name ("" for none)
    ids: list[str] = field(default_factory=list)


@dataclass(frozen=True, slots=True)
class Section:
    heading: str
    text: str = ""  # plain text, escaped here
    tables: list[Table] = field(default_factory=list)
    figures: list[dict] = field(default_factory=list)  # figure specifications, each with its "id"


def asset(name: str) -> str:
    return resources.files("cladomatic_tools.report").joinpath(ASSETS, name).read_text(encoding="utf-8")


def page(title: str, inputs: str, sections: list[Section], provenance: dict | None = None) -> str:
    """The page; `provenance` (a `Provenance` as a dict) is shown at its foot and kept whole as JSON."""
    figures = [figure for section in sections for figure in section.figures]
    body = "\n".join(_section(section) for section in sections)
    if provenance is not None:
        lines = "\n".join(html.escape(line[1:-1]) for line in Provenance.from_dict(provenance).nexus_comments())
        body += (
            f'\n<details class="provenance">\n<summary>Settings</summary>\n<pre>{lines}</pre>\n</details>\n'
            f'<script type="application/json" id="provenance">{_json(provenance)}</script>'
        )
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="{_POLICY}">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>
{asset("report.css")}</style>
</head>
<body>
<h1>{html.escape(title)}</h1>
<p class="inputs">{html.escape(inputs)}</p>
{body}
<script type="application/json" id="report-data">{_json({"figures": figures})}</script>
<script>
{_script(asset(PLOTTING_LIBRARY))}</script>
<script>
{asset("report.js")}</script>
</body>
</html>
"""


def _section(section: Section) -> str:
    parts = [f"<section>\n<h2>{html.escape(section.heading)}</h2>"]
    if section.text:
        parts.append(f'<p class="note">{html.escape(section.text)}</p>')
    parts += [_table(table) for table in section.tables]
    for figure in section.figures:
        if "choices" in figure:
            parts.append(f'<label>Parameter <select id="{figure["id"]}-menu"></select></label>')
        square = " square" if figure["id"].startswith("split-frequencies") else ""
        parts.append(f'<div class="figure{square}" id="{figure["id"]}"></div>')
    return "\n".join(parts) + "\n</section>"


def _table(table: Table) -> str:
    head = "".join(f"<th>{html.escape(cell)}</th>" for cell in table.header)
    rows = []
    for r, row in enumerate(table.rows):
        cells = [f"<td>{html.escape(cell)}</td>" for cell in row]
        if r < len(table.ids) and table.ids[r]:
            cells[-1] = f'<td id="{table.ids[r]}">{html.escape(row[-1])}</td>'
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table>\n<thead><tr>{head}</tr></thead>\n<tbody>\n" + "\n".join(rows) + "\n</tbody>\n</table>"


def _json(value: object) -> str:
    """JSON inside a script element: no '<' may close the element or open a comment."""
    return json.dumps(value, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")


def _script(code: str) -> str:
    if "</script" in code.lower():
        raise ValueError("an inlined script may not hold '</script'")
    return code
