// Draws the report's figures from the data inlined in the page: nothing is fetched.
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("report-data").textContent);
  const config = { displaylogo: false, responsive: true, modeBarButtonsToRemove: ["select2d", "lasso2d"] };
  const drawn = data.figures.map(function (figure) {
    const node = document.getElementById(figure.id);
    const done = Plotly.newPlot(node, figure.data, figure.layout, config);
    if (figure.choices) {
      const menu = document.getElementById(figure.id + "-menu");
      figure.choices.names.forEach(function (name, k) {
        menu.add(new Option(name, String(k)));
      });
      menu.addEventListener("change", function () {
        const k = Number(menu.value);
        const layout = Object.assign({}, figure.layout, {
          yaxis: Object.assign({}, figure.layout.yaxis, { title: { text: figure.choices.names[k] } }),
        });
        Plotly.react(node, figure.choices.traces[k], layout, config);
      });
    }
    return done;
  });
  // the time from navigation to the last figure drawn, which the tests and the benchmark read
  Promise.all(drawn).then(function () {
    document.body.dataset.drawnMs = String(Math.round(performance.now()));
  });
})();
