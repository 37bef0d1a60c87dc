"""The browser page, driven in headless Chromium against a live visualize() server."""
import contextlib
import json
import urllib.request
from urllib.parse import urlsplit

import pytest

sync_api = pytest.importorskip("playwright.sync_api")

CHROMIUM = "/usr/bin/chromium"
CHROMIUM_ARGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync"]
FULL = "q0=0.000000&q1=1.000000&exclude_zero=0"
NAV_IDS = ["batch-nav", "chan-nav", "batch-sep", "chan-sep", "kb-batch-hint", "kb-chan-hint"]

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
digest.visualize()
"""

# Resolves after the page's pending double-frame chart drawing has run.
AFTER_FRAMES = "new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => requestAnimationFrame(r))))"


@contextlib.contextmanager
def visualizer(start, shape):
    with start(SERVER_SCRIPT, ",".join(map(str, shape))) as (_, port):
        yield f"http://127.0.0.1:{port}"


@pytest.fixture(scope="module")
def server4d(visualizer_child):
    with visualizer(visualizer_child, [2, 3, 8, 8]) as base:
        yield base


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as p:
        yield p.chromium.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS)


def api_json(base, path):
    with urllib.request.urlopen(base + path) as reply:
        return json.load(reply)


class PageUnderTest:
    """One loaded page, with the API requests it sent and the script errors it met."""

    def __init__(self, browser, base):
        self.base = base
        self.page = browser.new_page(viewport={"width": 1000, "height": 700})
        self.requests = []
        self.errors = []
        self.page.on("request", self._record)
        self.page.on("pageerror", lambda err: self.errors.append(str(err)))
        self.page.goto(base + "/")
        self.wait_slice(0, 0)

    def _record(self, request):
        url = urlsplit(request.url)
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

    def sends(self, action):
        """Runs action (a callable, or a selector to click) and returns the API request it made."""
        with self.page.expect_request(lambda r: "/api/" in r.url) as request:
            action() if callable(action) else self.page.click(action)
        return request.value

    def sent(self, action):
        request = self.sends(action)
        return f"{request.method} {request.url.removeprefix(self.base)}"

    def sends_nothing(self, action):
        sent = len(self.requests)
        action()
        self.page.wait_for_timeout(200)
        assert self.requests[sent:] == []

    def cell_point(self, row, col):
        box = self.page.locator("#grid").bounding_box()
        size = self.eval("cellSz")
        return box["x"] + (col + 0.5) * size, box["y"] + (row + 0.5) * size

    def click_cell(self, row, col):
        self.page.mouse.click(*self.cell_point(row, col))

    def wait_text(self, element_id, text):
        self.page.wait_for_function(f"() => document.getElementById('{element_id}').textContent === '{text}'")

    def open_cell(self, row, col):
        self.click_cell(row, col)
        self.wait_text("cell-coord", f"CELL [{row}, {col}]")
        self.wait_panel()

    def drag(self, *points):
        mouse = self.page.mouse
        mouse.move(*points[0])
        mouse.down()
        for point in points[1:]:
            mouse.move(*point, steps=4)
        mouse.up()

    def close(self):
        assert self.errors == []
        self.page.close()


@pytest.fixture
def page4d(browser, server4d):
    p = PageUnderTest(browser, server4d)
    yield p
    p.close()


def test_pure_helpers(page4d):
    got = page4d.eval("""() => {
      const pts = [{x: 0, y: 0}, {x: 1, y: 0.25}, {x: 2, y: 0.5}, {x: 4, y: 1}];
      const same = [{x: 1, y: 0.2}, {x: 1, y: 0.6}, {x: 1, y: 0.9}];
      const window = ([x0, x1], points = pts) => Object.values(quantileWindowForXRange(points, x0, x1));
      const planes = [[], [7], [4, 5], [3, 4, 5], [2, 3, 4, 5], [2, 3, 4, 5, 6]].map(shape => {
        info = {shape, ndim: shape.length};
        const d = dims();
        return [d.B, d.C, d.H, d.W, sliceOffset(1, 2)];
      });
      return [
        derivePdf([{x: 0, y: 0}, {x: 1, y: 0.5}, {x: 2, y: 0.75}, {x: 4, y: 1}]).map(p => p.y),
        derivePdf(same).map(p => p.y),
        derivePdf([{x: 0, y: 0}, {x: null, y: 0.2}, {x: 1, y: 0.5}, {x: 2, y: 1}]),
        [[2.5, 0.5], [2.5, 3], [5, 6], [-2, -1]].map(range => window(range)), window([2, 3], same), planes,
        ['Normal', 'Unknown', 'Mystery', 'toString'].map(distHex), distRgba('LogNormal', 0.18),
        [formatStat(2.5), formatStat(null), formatStat(interQuartileRange({q25: 1, q75: null}))],
        [formatDensity(12.345), formatDensity(9.5), formatDensity(1e-12), formatAxisValue(-1e-7)]];
    }""")
    assert got[0] == pytest.approx([0, 0.375, 0.5 / 3, 0])
    # Windows: samples inside the range; a range between samples; beyond the last; before the first.
    assert got[1:] == [
        [0, 0, 0], [{"x": 0, "y": 0}, {"x": 1, "y": 0.5}, {"x": 2, "y": 0}],
        [[0.25, 0.5], [0.625, 0.75], [1, 1], [0, 0]], [0.2, 0.9],
        [[1, 1, 1, 1, 0], [1, 1, 1, 7, 0], [1, 1, 4, 5, 0], [1, 3, 4, 5, 40], [2, 3, 4, 5, 100], [2, 3, 5, 6, 150]],
        ["#3b82f6", "#5a6473", "#646464", "#646464"], "rgba(168,85,247,0.18)",
        ["2.5000", "—", "—"], ["12.3", "9.500", "0.000", "0.00"]]


def test_startup_then_buttons_wrap_and_slider_moves(page4d):
    p = page4d
    assert [p.text(i) for i in ("ib-shape", "status", "b-tot", "c-tot")] == [
        "[2 × 3 × 8 × 8]", "8×8  ·  64 elements", "2", "3"]
    assert p.eval(f"{NAV_IDS}.every(id => !document.getElementById(id).hidden)")
    assert p.page.is_enabled("#select-channel") and p.page.is_enabled("#select-tensor")
    assert p.requests == ["GET /api/info", "GET /api/slice?b=0&c=0"]
    for button, b, c in [("#b-prev", 1, 0), ("#b-next", 0, 0), ("#c-prev", 0, 2), ("#c-next", 0, 0)]:
        p.page.click(button)
        p.wait_slice(b, c)
        assert (p.page.input_value("#b-idx"), p.page.input_value("#c-slider")) == (str(b + 1), str(c))
    p.page.eval_on_selector("#c-slider", "e => { e.value = 1; e.dispatchEvent(new Event('input')); }")
    p.wait_slice(0, 1)
    assert p.page.input_value("#c-idx") == "2"


def test_focused_index_box_follows_the_loaded_slice(page4d):
    p = page4d
    held = []
    p.page.route(lambda url: "/api/slice?" in url, lambda route: held.append(route))

    def release_held_slice():
        # The route handler runs only while Playwright waits on the page.
        for _ in range(1000):
            if held:
                return held.pop().continue_()
            p.page.wait_for_timeout(10)
        raise AssertionError("no slice request was made")

    # Focused while the load is under way: untouched, the box shows the new
    # slice and leaving it stays there; typed into, it keeps what was typed.
    for typed, loaded, shown, committed in [(None, 1, "2", 1), ("1", 2, "1", 0)]:
        p.page.click("#c-next")
        p.page.focus("#c-idx")
        if typed:
            p.page.fill("#c-idx", typed)
        release_held_slice()
        p.wait_slice(0, loaded)
        assert p.page.input_value("#c-idx") == shown
        p.page.keyboard.press("Tab")
        release_held_slice()
        p.wait_slice(0, committed)
        assert p.page.input_value("#c-idx") == str(committed + 1)


def test_index_boxes_and_arrow_keys(page4d):
    p = page4d
    for text, commit, expected in [("3", "Enter", 2), ("0", "Enter", 0), ("99", "Tab", 2),
                                   ("2.7", "Enter", 1)]:
        p.page.fill("#c-idx", text)
        p.sends(lambda: p.page.press("#c-idx", commit))
        p.wait_slice(0, expected)
        assert p.page.input_value("#c-idx") == str(expected + 1)
    p.page.fill("#c-idx", "")
    p.sends_nothing(lambda: p.page.press("#c-idx", "Tab"))

    p.eval("document.activeElement.blur()")
    for key, b, c in [("ArrowUp", 0, 0), ("ArrowUp", 0, 2), ("ArrowRight", 1, 2), ("ArrowDown", 1, 0)]:
        p.page.keyboard.press(key)
        p.wait_slice(b, c)
    p.page.focus("#c-slider")
    p.page.keyboard.press("ArrowRight")  # moves the slider, not the batch
    p.wait_slice(1, 1)
    p.page.focus("#c-idx")
    p.sends_nothing(lambda: p.page.keyboard.press("ArrowDown"))  # edits the box only
    assert p.eval("state.c") == 1


# The RGB at the centre of each grid cell as drawn, and the number of chart
# pixels of one colour.
CANVAS_PROBE = """rgb => {
  const pixels = id => $(id).getContext('2d').getImageData(0, 0, $(id).width, $(id).height);
  const grid = pixels('grid'), chart = pixels('chart'), half = Math.floor(cellSz / 2);
  const at = (image, x, y) => Array.from(image.data.slice(4 * (y * image.width + x), 4 * (y * image.width + x) + 3));
  const colours = sliceData.distributions.map(
    (_, i) => at(grid, (i % gridCols) * cellSz + half, Math.floor(i / gridCols) * cellSz + half));
  let count = 0;
  for (let k = 0; k < chart.data.length; k += 4) if (rgb.every((v, j) => chart.data[k + j] === v)) count++;
  return [colours, count];
}"""


def test_hover_then_click_shows_the_cells_summary_and_colours(page4d):
    p = page4d
    x, y = p.cell_point(3, 5)
    p.page.mouse.move(x, y)
    assert p.text("tooltip") == f"[3,5] {p.eval('sliceData.distributions')[3 * 8 + 5]}"
    p.page.mouse.move(2, 300)
    assert not p.page.is_visible("#tooltip")

    p.page.keyboard.press("ArrowRight")
    p.page.keyboard.press("ArrowUp")
    p.wait_slice(1, 2)
    flat = ((1 * 3 + 2) * 8 + 2) * 8 + 4
    assert p.sent(lambda: p.click_cell(2, 4)) == f"GET /api/cell?idx={flat}&{FULL}"
    p.wait_panel()
    cell = api_json(p.base, f"/api/cell?idx={flat}")
    for key in ("min", "q25", "q50", "q75", "max"):
        assert float(p.text("s-" + key)) == pytest.approx(cell[key], abs=5e-5)
    assert float(p.text("s-iqr")) == pytest.approx(cell["q75"] - cell["q25"], abs=1e-4)
    assert (p.text("cell-coord"), p.text("cell-dist")) == ("CELL [2, 4]", cell["distribution"])
    assert p.text("status").endswith("  ·  1 selected")

    colours, stroke = p.page.evaluate(CANVAS_PROBE, list(FAMILY_RGB[cell["distribution"]]))
    shown = [tuple(rgb) for i, rgb in enumerate(colours) if i != 2 * 8 + 4]  # not the selected one
    assert shown == [FAMILY_RGB[label] for i, label in enumerate(p.eval("sliceData.distributions"))
                     if i != 2 * 8 + 4]
    assert stroke > 100  # the curve's stroke

    p.page.click("#panel-close")
    assert not p.eval("document.getElementById('panel').classList.contains('open')")
    assert p.text("status") == "8×8  ·  64 elements"


def test_drag_channel_and_tensor_selections(page4d):
    p = page4d
    p.page.keyboard.press("ArrowDown")
    p.wait_slice(0, 1)
    request = p.sends(lambda: p.drag(p.cell_point(2, 3), p.cell_point(1, 1)))
    assert (request.method, request.url.removeprefix(p.base)) == ("POST", f"/api/merge?{FULL}")
    assert (request.headers["content-type"], request.post_data) == ("application/json", "[73,74,75,81,82,83]")
    p.wait_panel()
    assert p.text("cell-coord") == "SELECTION 6 CELLS"
    assert p.text("status").endswith("  ·  6 selected")
    # Released away from the grid, the drag keeps the last box it showed.
    assert p.sends(lambda: p.drag(p.cell_point(0, 0), p.cell_point(1, 1), (3, 3))).post_data == "[64,65,72,73]"

    p.page.keyboard.press("ArrowLeft")
    p.page.keyboard.press("ArrowDown")
    p.wait_slice(1, 2)
    assert p.sent("#select-channel") == f"GET /api/merge?scope=channel&b=1&c=2&{FULL}"
    p.wait_panel()
    assert p.text("cell-coord") == "CHANNEL 3  BATCH 2"
    assert p.text("status").endswith("  ·  64 selected")

    assert p.sent("#select-tensor") == f"GET /api/merge?scope=tensor&b=0&c=0&{FULL}"
    p.wait_text("cell-coord", "TENSOR 384 CELLS")
    assert p.text("status") == "8×8  ·  64 elements"


def test_brush_zoom_reset_and_exclude_zeros(page4d):
    p = page4d
    p.open_cell(1, 2)

    def cell_request(q0, q1, exclude_zero):
        return f"GET /api/cell?idx=10&q0={q0:.6f}&q1={q1:.6f}&exclude_zero={exclude_zero}"

    summary, layout = p.eval("[lastCellData, chartLayout]")
    box = p.page.locator("#chart").bounding_box()
    left, y = box["x"] + layout["pad"]["left"], box["y"] + layout["cH"] / 2
    start, end = (round(left + f * layout["cW"]) for f in (0.6, 0.3))
    lo, hi = (layout["minX"] + (cx - left) / layout["cW"] * layout["rangeX"] for cx in (end, start))
    inside = [pt["y"] for pt in summary["pdf"] if pt["x"] is not None and lo <= pt["x"] <= hi]
    p.sends_nothing(lambda: p.page.mouse.click(start, y))  # a click is no brush
    assert p.sent(lambda: p.drag((start, y), (end, y))) == cell_request(inside[0], inside[-1], 0)
    p.wait_panel()
    q0, q1 = p.eval("[lastCellData.q0, lastCellData.q1]")
    assert p.text("zoom-range") == f"QUANTILES {q0 * 100:.1f}%-{q1 * 100:.1f}%"
    assert p.page.is_enabled("#zoom-reset")

    assert p.sent("#exclude-zero") == cell_request(q0, q1, 1)
    p.wait_panel()
    assert p.sent("#zoom-reset") == cell_request(0, 1, 1)
    p.wait_text("zoom-range", "FULL RANGE")
    assert p.page.is_disabled("#zoom-reset")


def test_late_and_error_replies_are_not_shown(page4d):
    p = page4d
    held = []
    p.page.route(lambda url: "/api/cell?idx=1&" in url, lambda route: held.append(route))
    p.click_cell(0, 1)
    p.open_cell(0, 2)
    shown = p.page.inner_text("#panel")
    with p.page.expect_event("requestfinished", lambda r: "idx=1&" in r.url):
        held[0].continue_()
    p.eval(AFTER_FRAMES)
    assert p.page.inner_text("#panel") == shown

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
    assert p.eval("[$('panel-loader').classList.contains('visible'), lastCellData]") == [True, None]


# For each id: whether the element lies wholly inside the window, is the
# topmost element at its centre and at each corner (so nothing covers or cuts
# it), and shows its whole text. A hint left out (display: none) has no box.
LAYOUT_PROBE = """ids => ids.map(id => {
  const e = document.getElementById(id);
  const r = e.getBoundingClientRect();
  if (r.width === 0 && r.height === 0) return [id, 'no box'];
  const inside = r.left >= 0 && r.top >= 0 && r.right <= innerWidth && r.bottom <= innerHeight;
  const points = [[r.left + r.width / 2, r.top + r.height / 2], [r.left + 2, r.top + 2],
                  [r.right - 2, r.top + 2], [r.left + 2, r.bottom - 2], [r.right - 2, r.bottom - 2]];
  const onTop = points.every(([x, y]) => e.contains(document.elementFromPoint(x, y)));
  return [id, inside && onTop && e.scrollWidth <= e.clientWidth ? 'whole' : 'cut'];
})"""
CONTROLS = ["b-prev", "b-slider", "b-next", "b-idx", "c-prev", "c-slider", "c-next", "c-idx",
            "select-channel", "select-tensor", "exclude-zero", "zoom-reset", "panel-close"]
TEXTS = ["ib-shape", "b-tot", "c-tot", "status", "cell-coord", "cell-dist", "zoom-range",
         "s-min", "s-q25", "s-q50", "s-q75", "s-max", "s-iqr"]


def test_every_control_stays_whole_at_ordinary_widths(page4d):
    p = page4d
    # The longest panel header: a box selection zoomed into a quantile window.
    p.drag(p.cell_point(0, 0), p.cell_point(1, 1))
    p.wait_panel()
    p.eval("() => { showPanelLoading(); fetchPanelSelection({q0: 0.25, q1: 0.75}); }")
    p.wait_text("zoom-range", "QUANTILES 25.0%-75.0%")
    hints_shown = set()
    for width in (1280, 1000, 800):
        p.page.set_viewport_size({"width": width, "height": 700})
        p.eval(AFTER_FRAMES)
        layout = dict(p.page.evaluate(LAYOUT_PROBE, CONTROLS + TEXTS + ["kb-chan-hint", "kb-batch-hint"]))
        assert {k: v for k, v in layout.items() if v != "whole" and "hint" not in k} == {}, width
        assert p.text("status") == "8×8  ·  64 elements  ·  4 selected"
        hints = {k: v for k, v in layout.items() if "hint" in k}
        assert set(hints.values()) <= {"whole", "no box"}, (width, hints)
        hints_shown |= {k for k, v in hints.items() if v == "whole"}
        # The grid was laid out for the strip's final height: it lies inside its box.
        grid, main = (p.page.locator(i).bounding_box() for i in ("#grid-scroll", "#main"))
        assert main["y"] <= grid["y"] and grid["y"] + grid["height"] <= main["y"] + main["height"], width
    assert hints_shown  # some width leaves room for a hint


def test_empty_tensor_draws_no_cells_and_opens_nothing(browser, visualizer_child):
    with visualizer(visualizer_child, [2, 0, 4, 4]) as base:
        p = PageUnderTest(browser, base)
        assert (p.text("ib-shape"), p.text("status")) == ("[2 × 0 × 4 × 4]", "4×4  ·  0 elements")
        assert p.eval("[$('grid').width, $('grid').height, gridRows, gridCols]") == [0, 0, 0, 0]
        assert (p.page.is_enabled("#select-channel"), p.page.is_disabled("#select-tensor")) == (True, True)
        box = p.page.locator("#main").bounding_box()
        centre = (box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
        p.sends_nothing(lambda: p.page.mouse.click(*centre))
        p.sends_nothing(lambda: p.page.click("#select-channel"))  # there is no channel to merge
        assert not p.page.is_visible("#tooltip")
        assert not p.eval("$('panel').classList.contains('open')")
        p.close()

        # Before the shape is known the buttons do nothing, but they are not disabled.
        page = browser.new_page()
        page.route(lambda url: url.endswith("/api/info"), lambda route: route.fulfill(body="oops"))
        page.goto(base + "/")
        page.wait_for_function("() => document.getElementById('status').textContent.startsWith('error: ')")
        assert page.is_enabled("#select-channel") and page.is_enabled("#select-tensor")
        page.close()


def test_one_dimensional_tensor_is_browsed_as_one_row(browser, visualizer_child):
    with visualizer(visualizer_child, [6]) as base:
        p = PageUnderTest(browser, base)
        assert (p.text("ib-shape"), p.text("status")) == ("[6]", "1×6  ·  6 elements")
        assert not any(p.page.is_visible("#" + i) for i in NAV_IDS)

        assert p.sent("#select-channel") == f"GET /api/merge?scope=channel&b=0&c=0&{FULL}"
        p.wait_panel()
        assert (p.text("cell-coord"), p.text("status")) == ("CHANNEL 1", "1×6  ·  6 elements  ·  6 selected")

        p.open_cell(0, 5)  # saw +inf: the curve's top end is not finite
        assert p.text("s-max") == "—"
        assert p.eval("chartLayout !== null && Number.isFinite(chartLayout.maxX)")

        p.open_cell(0, 4)  # constant: a flat curve on a unit value axis
        assert p.eval("[chartLayout.maxY, chartLayout.rangeX]") == [1e-12, 1]
        p.close()


def test_pages_of_other_sites_cannot_read_the_digest(browser, server4d):
    # Names under .test lead to this machine, as a rebound name would.
    rules = "--host-resolver-rules=MAP *.test 127.0.0.1"
    elsewhere = browser.browser_type.launch(executable_path=CHROMIUM, args=CHROMIUM_ARGS + [rules])
    try:
        page = elsewhere.new_page()
        rebound = page.goto(f"http://rebound.test:{urlsplit(server4d).port}/")
        assert rebound.status == 403 and rebound.text().startswith("Forbidden: ")
        assert rebound.header_value("access-control-allow-origin") is None
        # From that page, of another site: a read of the tensor, and a large
        # text/plain POST (which needs no preflight).
        outcomes = page.evaluate("""async base => {
          const ask = (path, options) => fetch(base + path, options).then(
              reply => reply.text(), failure => failure.name);
          return [await ask('/api/merge?scope=tensor'),
                  await ask('/api/merge', {method: 'POST', body: '0,'.repeat(4 << 20),
                                           headers: {'Content-Type': 'text/plain'}})];
        }""", server4d)
        assert outcomes == ["TypeError", "TypeError"]
    finally:
        elsewhere.close()
