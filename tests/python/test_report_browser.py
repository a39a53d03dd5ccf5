"""The HTML report of the committed MrBayes runs in a real browser (headless Chromium driven by Selenium)."""

import json
import os
import re
from pathlib import Path

import numpy as np
import pytest
from cladomatic_tools import convergence
from cladomatic_tools.cli.main import main
from cladomatic_tools.selection import parse_burnin
from cladomatic_tools.treeset import TreeSet

webdriver = pytest.importorskip("selenium.webdriver", reason="Selenium is not installed")
from selenium.common.exceptions import WebDriverException  # noqa: E402
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

DATA = Path(__file__).resolve().parents[1] / "data" / "mrbayes"
RUNS = [str(DATA / f"cynmix.run{i}.t.gz") for i in (1, 2)]
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,1000"):
        options.add_argument(flag)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    # the sanitized test run preloads its runtime into this process: the browser must not inherit it
    env = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    try:
        driver = webdriver.Chrome(service=webdriver.ChromeService(CHROMEDRIVER, env=env), options=options)
    except (WebDriverException, OSError) as err:
        pytest.skip(f"headless Chromium cannot start here: {str(err).splitlines()[0]}")
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "cynmix.html"
    assert main(["report", *RUNS, "--output", str(path), "--quiet"]) == 0
    return path


@pytest.fixture(scope="module")
def page(browser, report):
    browser.get(report.as_uri())
    body = browser.find_element(By.TAG_NAME, "body")
    drawn = WebDriverWait(browser, 120).until(lambda _: body.get_attribute("data-drawn-ms"))
    print(f"\nthe report of {report.stat().st_size / 1e6:.1f} MB drew all its figures {drawn} ms after navigation")
    return browser


class TestReportInBrowser:
    def test_loads_without_console_errors_or_network_requests(self, page, report):
        errors = [entry["message"] for entry in page.get_log("browser") if entry["level"] == "SEVERE"]
        assert errors == []
        events = [json.loads(entry["message"])["message"] for entry in page.get_log("performance")]
        requested = [e["params"]["request"]["url"] for e in events if e["method"] == "Network.requestWillBeSent"]
        assert requested and {url for url in requested if not url.startswith("data:")} == {report.as_uri()}

    def test_the_page_fits_its_window_and_shows_no_markup(self, page, report, tmp_path):
        assert "`" not in page.find_element(By.TAG_NAME, "body").text
        # the consensus tree's Newick is one long word: with 120 taxa it must wrap rather than widen the page
        rng = np.random.default_rng(4)
        runs = []
        for r in range(2):
            trees = []
            for _ in range(12):
                nodes = [f"Taxon_number_{i}:0.01" for i in rng.permutation(120)]
                while len(nodes) > 2:
                    nodes[-2:] = [f"({nodes[-2]},{nodes[-1]}):0.02"]
                trees.append(f"({nodes[0]},{nodes[1]});")
            runs.append(tmp_path / f"wide{r}.nwk")
            runs[-1].write_text("\n".join(trees) + "\n")
        wide = tmp_path / "wide.html"
        assert main(["report", *map(str, runs), "--burnin", "0", "--output", str(wide), "--quiet"]) == 0
        try:
            page.get(wide.as_uri())
            body = page.find_element(By.TAG_NAME, "body")
            WebDriverWait(page, 120).until(lambda _: body.get_attribute("data-drawn-ms"))
            assert "Taxon_number_119" in body.text
            width = page.execute_script("return [document.documentElement.scrollWidth, window.innerWidth]")
            assert width[0] <= width[1]
        finally:
            page.get(report.as_uri())  # the other tests look at the runs' own page
            body = page.find_element(By.TAG_NAME, "body")
            WebDriverWait(page, 120).until(lambda _: body.get_attribute("data-drawn-ms"))

    def test_every_plot_has_drawn(self, page):
        figures = page.find_elements(By.CSS_SELECTOR, "div.figure")
        ids = {figure.get_attribute("id") for figure in figures}
        assert {"split-frequencies-1-2", "asdsf-trace", "tree-space", "topology-trace", "parameter-traces"} <= ids
        for figure in figures:
            assert figure.find_elements(By.CSS_SELECTOR, "svg.main-svg"), figure.get_attribute("id")
            marks = figure.find_elements(By.CSS_SELECTOR, ".scatterlayer path.point, .scatterlayer path.js-line")
            assert marks, f"{figure.get_attribute('id')} drew no points or lines"

    def test_hovering_a_tree_space_point_names_that_tree(self, page):
        plotted = page.execute_script(
            "const d = document.getElementById('tree-space').data.filter(t => t.mode === 'markers')[1];"
            "return [d.x, d.y, d.text];"
        )
        x, y, names = (np.asarray(plotted[0]), np.asarray(plotted[1]), plotted[2])
        points = page.find_elements(By.CSS_SELECTOR, "#tree-space .scatterlayer .trace:nth-of-type(4) path.point")
        assert len(points) == len(names)
        index = len(points) // 2
        ActionChains(page).move_to_element(points[index]).perform()
        lines = WebDriverWait(page, 20).until(
            lambda driver: [
                line.text
                for line in driver.find_elements(By.CSS_SELECTOR, "#tree-space .hoverlayer .hovertext tspan.line")
            ]
        )
        # trees of one topology share their coordinates: the tooltip may name any of them
        same_place = {names[i] for i in np.flatnonzero((x == x[index]) & (y == y[index]))}
        assert lines[0] in same_place
        assert lines[1] == "run cynmix.run2.t.gz" and re.fullmatch(r"generation \d+", lines[2])
        assert lines[0].endswith(f"gen.{lines[2].split()[1]}")

    def test_asdsf_shown_equals_converge(self, page):
        result = convergence.converge(TreeSet.from_files(RUNS, lengths=False), parse_burnin("25%"))
        assert page.find_element(By.ID, "asdsf").text == f"{result.final.asdsf:.6f}"
        assert page.find_element(By.ID, "max-sdsf").text == f"{result.final.max_sdsf:.6f}"

    def test_choosing_a_parameter_redraws_its_trace(self, page):
        menu = page.find_element(By.ID, "parameter-traces-menu")
        options = menu.find_elements(By.TAG_NAME, "option")
        options[-1].click()
        title = WebDriverWait(page, 20).until(
            lambda driver: driver.find_element(By.CSS_SELECTOR, "#parameter-traces .ytitle").text
        )
        assert title == options[-1].text
