"""The browser page, driven in headless Chromium against a live visualize() server."""
import contextlib
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import urllib.parse
import urllib.request

import pytest

sync_api = pytest.importorskip("playwright.sync_api")

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync"]
VIEWPORT = {"width": 1000, "height": 700}

# Family colours that the grid and the chart paint with.
FAMILY_RGB = {
    "Normal": (59, 130, 246), "Uniform": (245, 158, 11), "Laplace": (16, 185, 129),
    "LogNormal": (168, 85, 247), "BiNormal": (244, 114, 182), "Unknown": (90, 100, 115),
}

# Feeds a digest whose columns follow different distributions (offset per
# plane), then serves it until SIGINT. In the one-dimensional digest cell 4 is
# constant and cell 5 sees +inf now and then.
SERVER_SCRIPT = r"""
import sys
import numpy as np
import tesrak

shape = [int(s) for s in sys.argv[1].split(",")]
numel = int(np.prod(shape))
col = np.arange(numel) % shape[-1]
plane = np.arange(numel) // (shape[-1] * shape[-2]) if len(shape) >= 2 else 0
rng = np.random.default_rng(7)
digest = tesrak.TensorDigest(shape, 50)
for step in range(300):
    n = rng.normal(size=numel)
    x = np.select([col < 2, col < 4, col < 6, col < 7],
                  [n, rng.uniform(-1, 1, numel), np.exp(0.5 * n), np.sign(n) * 2 + 0.3 * n],
                  rng.laplace(size=numel)) + plane
    if len(shape) == 1:
        x[4] = 2.5
        x[5] = np.inf if step % 10 == 0 else x[5]
    digest.update(x.astype(np.float32))
try:
    digest.visualize()
except KeyboardInterrupt:
    pass
"""

# Resolves after the page's pending double-frame chart drawing has run.
AFTER_FRAMES = "new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => requestAnimationFrame(r))))"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def visualizer(shape):
    port = free_port()
    env = dict(os.environ, TESRAK_PORT=str(port))
    # A shell that started us in the background may have us ignore SIGINT;
    # the server must not inherit that, or Ctrl+C could not stop it.
    proc = subprocess.Popen([sys.executable, "-c", SERVER_SCRIPT, ",".join(map(str, shape))],
                            env=env, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    lines = queue.Queue()
    threading.Thread(target=lambda: lines.put(proc.stderr.readline()), daemon=True).start()
    try:
        line = lines.get(timeout=60)
        assert line == f"tesrak visualizer running at http://127.0.0.1:{port}  (Ctrl+C to stop)\n", line
        yield f"http://127.0.0.1:{port}"
    finally:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise


@pytest.fixture(scope="module")
def server4d():
    with visualizer([2, 3, 8, 8]) as base:
        yield base


@pytest.fixture(scope="module")
def server1d():
    with visualizer([6]) as base:
        yield base


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS)
        yield b
        b.close()


def api_json(base, path):
    with urllib.request.urlopen(base + path) as reply:
        return json.load(reply)


class PageUnderTest:
    """One loaded page, with the API requests it sent and the script errors it met."""

    def __init__(self, browser, base):
        self.base = base
        self.page = browser.new_page(viewport=VIEWPORT)
        self.requests = []
        self.errors = []
        self.page.on("request", self._record)
        self.page.on("pageerror", lambda err: self.errors.append(str(err)))
        self.page.goto(base + "/")
        self.wait_slice(0, 0)

    def _record(self, request):
        url = urllib.parse.urlsplit(request.url)
        if url.path.startswith("/api/"):
            self.requests.append(f"{request.method} {url.path}?{url.query}".rstrip("?"))

    def text(self, element_id):
        return self.page.text_content("#" + element_id)

    def eval(self, expression):
        return self.page.evaluate(expression)

    def wait_slice(self, b, c):
        self.page.wait_for_function(
            f"() => sliceData && state.b === {b} && state.c === {c}"
            " && !document.getElementById('grid').classList.contains('loading')")

    def wait_panel(self):
        self.page.wait_for_function(
            "() => lastCellData && !document.getElementById('panel-loader').classList.contains('visible')")
        self.page.evaluate(AFTER_FRAMES)

    def expect_api(self, path):
        return self.page.expect_request(lambda r: urllib.parse.urlsplit(r.url).path == path)

    def cell_point(self, row, col):
        box = self.page.locator("#grid").bounding_box()
        size = self.eval("cellSz")
        return box["x"] + (col + 0.5) * size, box["y"] + (row + 0.5) * size

    def click_cell(self, row, col):
        self.page.mouse.click(*self.cell_point(row, col))

    def stats(self):
        return {key: self.text("s-" + key) for key in ("min", "q25", "q50", "q75", "max", "iqr")}


@pytest.fixture
def page4d(browser, server4d):
    p = PageUnderTest(browser, server4d)
    yield p
    assert p.errors == []
    p.page.close()


def query_of(request_text):
    return request_text.split("?", 1)[1]


def test_chart_math(page4d):
    got = page4d.eval("""() => {
      const pts = [{x: 0, y: 0}, {x: 1, y: 0.25}, {x: 2, y: 0.5}, {x: 4, y: 1}];
      const same = [{x: 1, y: 0.2}, {x: 1, y: 0.6}, {x: 1, y: 0.9}];
      const window = ([x0, x1], points = pts) => {
        const w = quantileWindowForXRange(points, x0, x1);
        return [w.q0, w.q1];
      };
      return [
        derivePdf([{x: 0, y: 0}, {x: 1, y: 0.5}, {x: 2, y: 0.75}, {x: 4, y: 1}]).map(p => p.y),
        derivePdf(same).map(p => p.y),
        derivePdf([{x: 0, y: 0}, {x: null, y: 0.2}, {x: 1, y: 0.5}, {x: 2, y: 1}]),
        [[2.5, 0.5], [2.5, 3], [5, 6], [-2, -1]].map(range => window(range)),
        window([2, 3], same),
      ];
    }""")
    pdf, constant, holes, windows, zero_span = got
    assert pdf == pytest.approx([0, 0.375, 0.5 / 3, 0])
    assert constant == [0, 0, 0]
    assert holes == [{"x": 0, "y": 0}, {"x": 1, "y": 0.5}, {"x": 2, "y": 0}]
    # samples inside the range; a range between samples; beyond the last; before the first
    assert sum(windows, []) == pytest.approx([0.25, 0.5, 0.625, 0.75, 1, 1, 0, 0])
    assert zero_span == [0.2, 0.9]


def test_index_arithmetic(page4d):
    got = page4d.eval("""() => {
      const saved = info;
      const planes = [[], [7], [4, 5], [3, 4, 5], [2, 3, 4, 5], [2, 3, 4, 5, 6]].map(shape => {
        info = {shape, ndim: shape.length};
        const d = dims();
        return [d.B, d.C, d.H, d.W, sliceOffset(1, 2)];
      });
      info = saved;
      return [planes, [wrapIndex(-1, 3), wrapIndex(3, 3), wrapIndex(4, 0)], rectIndices(19, 2)];
    }""")
    assert got == [[[1, 1, 1, 1, 0], [1, 1, 1, 7, 0], [1, 1, 4, 5, 0], [1, 3, 4, 5, 40], [2, 3, 4, 5, 100],
                    [2, 3, 5, 6, 150]], [2, 0, 0], [2, 3, 10, 11, 18, 19]]


def test_formats(page4d):
    got = page4d.eval("""() => {
      const zoom = [[0.25, 0.75], [1e-7, 0.9999995]].map(([q0, q1]) => {
        updateZoomUi(q0, q1);
        return document.getElementById('zoom-range').textContent + ' ' + document.getElementById('zoom-reset').disabled;
      });
      return [
        ['Normal', 'Unknown', 'Mystery', 'toString'].map(distHex), distRgba('LogNormal', 0.18),
        [formatStat(2.5), formatStat(null), formatStat(interQuartileRange({q25: 1, q75: null}))],
        [formatDensity(12.345), formatDensity(9.5), formatDensity(1e-12), formatAxisValue(-1e-7)],
        gridStatusText(16, 16, 4), quantileQuery(null), quantileQuery({q0: 0.25, q1: 0.75}), zoom,
      ];
    }""")
    assert got == [
        ["#3b82f6", "#5a6473", "#646464", "#646464"], "rgba(168,85,247,0.18)",
        ["2.5000", "—", "—"], ["12.3", "9.500", "0.000", "0.00"],
        "16×16  ·  256 elements  ·  4 selected",
        "q0=0.000000&q1=1.000000&exclude_zero=0", "q0=0.250000&q1=0.750000&exclude_zero=0",
        ["QUANTILES 25.0%-75.0% false", "FULL RANGE true"],
    ]


NAV_IDS = ["batch-nav", "chan-nav", "batch-sep", "chan-sep", "kb-batch-hint", "kb-chan-hint"]


def test_startup_then_step_buttons_wrap_and_slider_moves(page4d):
    p = page4d
    assert (p.text("ib-shape"), p.text("status")) == ("[2 × 3 × 8 × 8]", "8×8  ·  64 elements")
    assert all(p.page.is_visible("#" + i) for i in NAV_IDS)
    assert (p.text("b-tot"), p.text("c-tot")) == ("2", "3")
    assert p.requests == ["GET /api/info", "GET /api/slice?b=0&c=0"]
    p.page.click("#b-prev")
    p.wait_slice(1, 0)
    assert (p.page.input_value("#b-idx"), p.page.input_value("#b-slider")) == ("2", "1")
    p.page.click("#b-next")
    p.wait_slice(0, 0)
    for c in (1, 2, 0):
        p.page.click("#c-next")
        p.wait_slice(0, c)
    p.page.click("#c-prev")
    p.wait_slice(0, 2)
    p.page.eval_on_selector("#c-slider", "e => { e.value = 1; e.dispatchEvent(new Event('input')); }")
    p.wait_slice(0, 1)
    assert p.requests[-1] == "GET /api/slice?b=0&c=1"
    assert p.page.input_value("#c-idx") == "2"
    assert p.eval("sliceData.distributions") == api_json(p.base, "/api/slice?b=0&c=1")["distributions"]


def test_index_boxes_commit_with_clamping(page4d):
    p = page4d
    for text, commit, expected in [("3", "Enter", 2), ("0", "Enter", 0), ("99", "Tab", 2), ("2.7", "Enter", 1)]:
        with p.expect_api("/api/slice"):
            p.page.fill("#c-idx", text)
            p.page.press("#c-idx", commit)
        p.wait_slice(0, expected)
        assert p.page.input_value("#c-idx") == str(expected + 1)
    assert p.eval("document.activeElement.id") != "c-idx"
    sent = len(p.requests)
    p.page.fill("#c-idx", "")
    p.page.press("#c-idx", "Tab")
    p.page.wait_for_timeout(200)
    assert len(p.requests) == sent


def test_arrow_keys_step_slices_except_in_inputs(page4d):
    p = page4d
    for key, b, c in [("ArrowDown", 0, 1), ("ArrowRight", 1, 1), ("ArrowUp", 1, 0), ("ArrowUp", 1, 2),
                      ("ArrowLeft", 0, 2)]:
        p.page.keyboard.press(key)
        p.wait_slice(b, c)
    p.page.focus("#c-slider")
    p.page.keyboard.press("ArrowLeft")  # moves the slider, not the batch
    p.wait_slice(0, 1)
    sent = len(p.requests)
    p.page.focus("#c-idx")
    p.page.keyboard.press("ArrowDown")  # edits the box only
    p.page.wait_for_timeout(200)
    assert len(p.requests) == sent and p.eval("state.c") == 1


def test_hover_then_click_shows_the_cells_summary(page4d):
    p = page4d
    x, y = p.cell_point(3, 5)
    p.page.mouse.move(x, y)
    label = p.eval("sliceData.distributions")[3 * 8 + 5]
    assert p.text("tooltip") == f"[3,5] {label}"
    box = p.page.locator("#tooltip").bounding_box()
    assert (box["x"], box["y"]) == pytest.approx((x + 12, y - 24), abs=1)
    assert p.eval("hoverIdx") == 29
    p.page.mouse.move(2, 300)
    assert not p.page.is_visible("#tooltip") and p.eval("hoverIdx") == -1

    p.page.keyboard.press("ArrowRight")
    p.page.keyboard.press("ArrowUp")
    p.wait_slice(1, 2)
    flat = ((1 * 3 + 2) * 8 + 2) * 8 + 4
    with p.expect_api("/api/cell") as request:
        p.click_cell(2, 4)
    assert request.value.url.endswith(f"/api/cell?idx={flat}&q0=0.000000&q1=1.000000&exclude_zero=0")
    p.wait_panel()
    cell = api_json(p.base, f"/api/cell?idx={flat}")
    stats = p.stats()
    for key in ("min", "q25", "q50", "q75", "max"):
        assert float(stats[key]) == pytest.approx(cell[key], abs=5e-5)
    assert float(stats["iqr"]) == pytest.approx(cell["q75"] - cell["q25"], abs=1e-4)
    assert p.text("cell-coord") == "CELL [2, 4]"
    assert p.text("cell-dist") == cell["distribution"]
    assert p.page.eval_on_selector("#cell-dist", "e => e.style.color") == "rgb(%d, %d, %d)" % FAMILY_RGB[cell["distribution"]]
    assert p.eval("[...document.querySelectorAll('.leg.active')].map(e => e.dataset.d)") == [cell["distribution"]]
    assert p.text("status").endswith("  ·  1 selected")
    assert p.text("zoom-range") == "FULL RANGE" and p.page.is_disabled("#zoom-reset")

    p.page.click("#panel-close")
    assert p.eval("document.getElementById('panel').classList.contains('open')") is False
    assert p.text("status") == "8×8  ·  64 elements"


def test_drag_posts_the_boxes_flat_indices(page4d):
    p = page4d
    p.page.keyboard.press("ArrowDown")
    p.wait_slice(0, 1)
    mouse = p.page.mouse
    with p.expect_api("/api/merge") as request:
        mouse.move(*p.cell_point(2, 3))
        mouse.down()
        mouse.move(*p.cell_point(1, 1), steps=4)
        mouse.up()
    assert request.value.method == "POST"
    assert request.value.url.endswith("/api/merge?q0=0.000000&q1=1.000000&exclude_zero=0")
    assert request.value.headers["content-type"] == "application/json"
    assert request.value.post_data == "[73,74,75,81,82,83]"
    p.wait_panel()
    assert p.text("cell-coord") == "SELECTION 6 CELLS"
    assert p.text("status").endswith("  ·  6 selected")

    # Released away from the grid, the drag keeps the last box it showed.
    with p.expect_api("/api/merge") as request:
        mouse.move(*p.cell_point(0, 0))
        mouse.down()
        mouse.move(*p.cell_point(1, 1), steps=3)
        mouse.move(3, 3, steps=3)
        mouse.up()
    assert request.value.post_data == "[64,65,72,73]"


def test_whole_channel_and_whole_tensor(page4d):
    p = page4d
    p.page.keyboard.press("ArrowLeft")
    p.page.keyboard.press("ArrowUp")
    p.wait_slice(1, 2)
    with p.expect_api("/api/merge") as request:
        p.page.click("#select-channel")
    query = "scope=channel&b=1&c=2&q0=0.000000&q1=1.000000&exclude_zero=0"
    assert query_of(request.value.url) == query
    p.wait_panel()
    assert p.text("cell-coord") == "CHANNEL 3  BATCH 2"
    assert p.text("status").endswith("  ·  64 selected")
    assert float(p.stats()["q50"]) == pytest.approx(api_json(p.base, "/api/merge?" + query)["q50"], abs=5e-5)

    with p.expect_api("/api/merge") as request:
        p.page.click("#select-tensor")
    assert query_of(request.value.url) == "scope=tensor&b=0&c=0&q0=0.000000&q1=1.000000&exclude_zero=0"
    p.page.wait_for_function("() => document.getElementById('cell-coord').textContent === 'TENSOR 384 CELLS'")
    assert p.text("status") == "8×8  ·  64 elements"


def test_brush_zoom_reset_and_exclude_zeros(page4d):
    p = page4d
    p.click_cell(1, 2)
    p.wait_panel()
    summary, layout = p.eval("[lastCellData, chartLayout]")
    box = p.page.locator("#chart").bounding_box()
    y = box["y"] + layout["cH"] / 2

    def client_x(fraction):
        return round(box["x"] + layout["pad"]["left"] + fraction * layout["cW"])

    def value_at(cx):
        return layout["minX"] + (cx - box["x"] - layout["pad"]["left"]) / layout["cW"] * layout["rangeX"]

    # A click on the chart without moving redraws it and sends nothing.
    sent = len(p.requests)
    p.page.mouse.click(client_x(0.5), y)
    p.page.wait_for_timeout(200)
    assert len(p.requests) == sent

    start, end = client_x(0.6), client_x(0.3)
    lo, hi = value_at(end), value_at(start)
    inside = [pt["y"] for pt in summary["pdf"] if pt["x"] is not None and lo <= pt["x"] <= hi]
    with p.expect_api("/api/cell") as request:
        p.page.mouse.move(start, y)
        p.page.mouse.down()
        p.page.mouse.move(end, y, steps=5)
        p.page.mouse.up()
    assert query_of(request.value.url) == f"idx=10&q0={inside[0]:.6f}&q1={inside[-1]:.6f}&exclude_zero=0"
    p.wait_panel()
    q0, q1 = p.eval("[lastCellData.q0, lastCellData.q1]")
    assert p.text("zoom-range") == f"QUANTILES {q0 * 100:.1f}%-{q1 * 100:.1f}%"
    assert p.page.is_enabled("#zoom-reset")

    with p.expect_api("/api/cell") as request:
        p.page.click("#exclude-zero")
    assert query_of(request.value.url) == f"idx=10&q0={q0:.6f}&q1={q1:.6f}&exclude_zero=1"
    p.wait_panel()
    with p.expect_api("/api/cell") as request:
        p.page.click("#zoom-reset")
    assert query_of(request.value.url) == "idx=10&q0=0.000000&q1=1.000000&exclude_zero=1"
    p.page.wait_for_function("() => document.getElementById('zoom-range').textContent === 'FULL RANGE'")
    assert p.page.is_disabled("#zoom-reset")


# Decodes a PNG in the page and returns the RGB of each point and the number
# of pixels of one colour inside a rectangle.
PNG_PROBE = """async ([png, points, rect, rgb]) => {
  const bitmap = await createImageBitmap(await (await fetch('data:image/png;base64,' + png)).blob());
  const ctx = new OffscreenCanvas(bitmap.width, bitmap.height).getContext('2d');
  ctx.drawImage(bitmap, 0, 0);
  const px = ctx.getImageData(0, 0, bitmap.width, bitmap.height).data;
  const at = (x, y) => Array.from(px.slice((y * bitmap.width + x) * 4, (y * bitmap.width + x) * 4 + 3));
  let count = 0;
  for (let y = rect.y; y < rect.y + rect.h; y++)
    for (let x = rect.x; x < rect.x + rect.w; x++)
      if (at(x, y).every((v, i) => v === rgb[i])) count++;
  return {colours: points.map(([x, y]) => at(x, y)), count};
}"""


def test_screenshot_shows_family_colours(page4d):
    import base64
    p = page4d
    p.click_cell(0, 0)
    p.wait_panel()
    png = base64.b64encode(p.page.screenshot()).decode()
    labels = p.eval("sliceData.distributions")
    panel_top = p.page.locator("#panel").bounding_box()["y"]
    cells = [(r, c) for r in range(8) for c in range(8)
             if (r, c) != (0, 0) and p.cell_point(r, c)[1] + p.eval("cellSz") / 2 < panel_top]
    points = [[int(v) for v in p.cell_point(r, c)] for r, c in cells]
    chart = p.page.locator("#chart").bounding_box()
    family = p.text("cell-dist")
    rect = {k: int(chart[v]) for k, v in (("x", "x"), ("y", "y"), ("w", "width"), ("h", "height"))}
    probe = p.page.evaluate(PNG_PROBE, [png, points, rect, list(FAMILY_RGB[family])])
    assert len(cells) >= 30
    assert [tuple(c) for c in probe["colours"]] == [FAMILY_RGB[labels[r * 8 + c]] for r, c in cells]
    assert probe["count"] > 100  # the curve's stroke


def test_late_and_error_replies_are_not_shown(page4d):
    p = page4d
    held = []
    p.page.route(lambda url: "/api/cell?idx=1&" in url, lambda route: held.append(route))
    p.click_cell(0, 1)
    p.click_cell(0, 2)
    p.wait_panel()
    shown = p.eval("JSON.stringify(lastCellData)")
    with p.page.expect_event("requestfinished", lambda r: "idx=1&" in r.url):
        held[0].continue_()
    p.eval(AFTER_FRAMES)
    assert p.text("cell-coord") == "CELL [0, 2]"
    assert p.eval("JSON.stringify(lastCellData)") == shown

    p.page.route(lambda url: url.endswith("/api/slice?b=0&c=1"), lambda route: held.append(route))
    p.page.keyboard.press("ArrowDown")
    p.page.keyboard.press("ArrowDown")
    p.wait_slice(0, 2)
    with p.page.expect_event("requestfinished", lambda r: r.url.endswith("c=1")):
        held[1].continue_()
    p.eval(AFTER_FRAMES)
    assert p.eval("sliceData.distributions") == api_json(p.base, "/api/slice?b=0&c=2")["distributions"]

    # An error document is no summary: the panel keeps its loader.
    with p.page.expect_response(lambda r: "/api/cell?idx=384&" in r.url) as reply:
        p.eval("() => { panelRequest = {kind: 'cell', idx: 384}; showPanelLoading(); fetchPanelSelection(); }")
    assert "error" in reply.value.json()
    p.eval(AFTER_FRAMES)
    assert p.eval("[document.getElementById('panel-loader').classList.contains('visible'), lastCellData]") == [True, None]


def test_one_dimensional_tensor_is_browsed_as_one_row(browser, server1d):
    p = PageUnderTest(browser, server1d)
    assert p.text("ib-shape") == "[6]"
    assert p.text("status") == "1×6  ·  6 elements"
    assert not any(p.page.is_visible("#" + i) for i in NAV_IDS)

    with p.expect_api("/api/merge") as request:
        p.page.click("#select-channel")
    assert query_of(request.value.url) == "scope=channel&b=0&c=0&q0=0.000000&q1=1.000000&exclude_zero=0"
    p.wait_panel()
    assert p.text("cell-coord") == "CHANNEL 1"
    assert p.text("status").endswith("  ·  6 selected")

    with p.expect_api("/api/cell") as request:
        p.click_cell(0, 5)  # saw +inf: the curve's top end is not finite
    assert query_of(request.value.url).startswith("idx=5&")
    p.wait_panel()
    assert p.stats()["max"] == "—"
    assert p.eval("chartLayout !== null && Number.isFinite(chartLayout.maxX)")

    p.click_cell(0, 4)  # constant: a flat curve on a unit value axis
    p.page.wait_for_function("() => document.getElementById('cell-coord').textContent === 'CELL [0, 4]'")
    p.wait_panel()
    assert p.eval("[chartLayout.maxY, chartLayout.rangeX]") == [1e-12, 1]
    assert p.errors == []
    p.page.close()
