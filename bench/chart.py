"""The chart: pygal panels in one SVG, with a PNG copy through cairosvg."""
from scaling import SWEEP

# The peers in the speed-up panel; the numpy grid drawing only where the mesh
# is rectilinear (a gap elsewhere), but always in the legend.
CHART_SERIES = [("pil", "Pillow loop"), ("opencv", "OpenCV loop"), ("numpy_host", "numpy host"),
                ("numpy_grid", "numpy grid")]
CHART_HEIGHT = 450
# The names under the narrow panel stand upright, so that they never overlap.
BOUND_LABEL_ROTATION = 90


def draw_chart(results, path, scaling=None):
    """Writes the chart as SVG to path: the speed-ups (log scale) beside the
    fraction of the bandwidth bound, two pygal charts side by side; below them,
    with `scaling`, the speed-up against workers."""
    import math

    import pygal
    from pygal.colors import lighten

    names = [r["name"] for r in results]
    style = pygal.style.CleanStyle
    # No script: pygal's default one is fetched from the web.
    common = dict(height=CHART_HEIGHT, js=[], legend_at_bottom=True, x_label_rotation=30,
                  style=style)
    rows = []
    if results:
        speedups = [r["speedup"][key] for key, _ in CHART_SERIES for r in results
                    if key in r["speedup"]]
        decades = [10.0 ** k for k in range(math.floor(math.log10(min(min(speedups), 1))),
                                            math.ceil(math.log10(max(speedups) * 1.2)) + 1)]
        speed = pygal.Bar(width=760, logarithmic=True, **common,
                          range=(decades[0], decades[-1]), zero=1, y_labels=decades,
                          title="quadlite against the alternatives, one run "
                                "(pale: estimated)",
                          y_title="speed-up of quadlite (x, log scale)")
        speed.x_labels = names
        for (key, label), colour in zip(CHART_SERIES, style.colors):
            speed.add(label, [None if key not in r else
                              {"value": r["speedup"][key],
                               "label": "estimated" if r[key]["estimated"] else "whole mesh",
                               "color": lighten(colour, 35) if r[key]["estimated"] else colour}
                              for r in results])
        fractions = [r["fraction_of_bound"] for r in results]
        bound = pygal.Bar(width=340, range=(0, max(1.0, *fractions) * 1.05),
                          **dict(common, x_label_rotation=BOUND_LABEL_ROTATION),
                          title="fraction of the bandwidth bound",
                          y_title="bandwidth bound / quadlite time")
        bound.x_labels = names
        bound.add("quadlite", fractions)
        rows.append([speed, bound])
    if scaling is not None:
        rows.append([draw_scaling_panel(scaling, 1100)])

    panels, width, y = [], 0, 0
    for row in rows:
        x = 0
        for chart in row:
            inner = chart.render(disable_xml_declaration=True)
            size = f'x="{x}" y="{y}" width="{chart.config.width}" height="{chart.config.height}" '
            panels.append(inner.replace("<svg ", "<svg " + size, 1))
            x += chart.config.width
        width = max(width, x)
        y += row[0].config.height
    with open(path, "w") as out:
        out.write(f'<svg xmlns="http://www.w3.org/2000/svg" '
                  f'xmlns:xlink="http://www.w3.org/1999/xlink" width="{width}" '
                  f'height="{y}" viewBox="0 0 {width} {y}">'
                  f'{"".join(panels)}</svg>\n')


def svg_to_png(svg_path, png_path):
    """A PNG copy through cairosvg; False where cairosvg or cairo is missing."""
    try:
        import cairosvg
        cairosvg.svg2png(url=svg_path, write_to=png_path)
    except (ImportError, OSError):
        return False
    return True


# Beyond the style's own colours, for the scaling panel's workloads.
EXTRA_COLOURS = ("#00897b", "#8e24aa", "#6d4c41", "#3949ab")
SCALING_PANEL_HEIGHT = CHART_HEIGHT


def draw_scaling_panel(report, width):
    """The speed-up against the number of workers: lines as the model predicts,
    dots as measured, a workload's both in its colour."""
    import pygal
    from pygal.style import CleanStyle, Style

    rows = report["workloads"]
    measured = any(r["measured"] for r in rows)
    # One colour per workload, however many there are.
    palette = tuple(CleanStyle.colors[1:]) + EXTRA_COLOURS
    colours = ["#999999"]
    for k in range(len(rows)):
        colour = palette[k % len(palette)]
        colours += [colour, colour] if measured else [colour]
    style = Style(**dict(CleanStyle.__dict__, colors=tuple(colours)))
    chart = pygal.XY(width=width, height=SCALING_PANEL_HEIGHT, js=[], style=style,
                     legend_at_bottom=False, truncate_legend=-1,
                     logarithmic=True, x_labels=list(SWEEP), y_labels=list(SWEEP),
                     range=(1, SWEEP[-1] * 1.05), xrange=(1, SWEEP[-1]),
                     title="speed-up against workers: lines as the model predicts, "
                           "dots as measured here",
                     x_title="workers", y_title="speed-up over one worker")
    chart.add("ideal", [(k, k) for k in SWEEP], stroke_style={"dasharray": "3, 6"},
              show_dots=False)
    for r in rows:
        chart.add(f"{r['name']}, model", sorted(r["predicted"].items()),
                  stroke_style={"width": 2}, show_dots=False)
        if measured:
            chart.add(f"{r['name']}, measured", sorted(r["measured"].items()), stroke=False,
                      dots_size=5)
    return chart
