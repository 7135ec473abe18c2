"""Pictures of a model's network and of an evolution's history, drawn with matplotlib.

Needs matplotlib (the "plot" extra: ``pip install tessaron[plot]``), imported when a function is
called. Each function draws into the axes it is given, or into a new figure's, and returns them.
"""

from tessaron._extras import import_extra

__all__ = ["network", "history"]

ROLE_COLOURS = {"input": "#9fd8a4", "hidden": "#d9dde3", "output": "#f6b26b"}
POSITIVE, NEGATIVE = "#1f77b4", "#d62728"


def _matplotlib(user):
    return import_extra("matplotlib", "plot", user)


def _axes(ax, size, margins=None):
    """The given axes, or those of a new figure of `size` inches (with the subplot `margins`)."""
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=size)
    if margins is not None:
        figure.subplots_adjust(**margins)
    return ax


def _layers(size, inputs, outputs, connections):
    """The column of each node: inputs in the first, outputs in the last, and each hidden node
    one past the deepest node that feeds it, so every connection points to the right."""
    feeds = {node: [] for node in range(size)}
    for source, target, _ in connections:
        feeds[target].append(source)
    depth = {}

    def depth_of(node):
        # Iterative longest path from the inputs: networks may be deep.
        stack = [node]
        while stack:
            current = stack[-1]
            if current in depth:
                stack.pop()
                continue
            pending = [s for s in feeds[current] if s not in depth and s >= inputs]
            if pending:
                stack.extend(pending)
                continue
            depth[current] = 0 if current < inputs else 1 + max(
                (depth.get(s, 0) for s in feeds[current]), default=0)
            stack.pop()
        return depth[node]

    hidden = range(inputs, size - outputs)
    last = 1 + max((depth_of(node) for node in hidden), default=0)
    columns = {node: 0 for node in range(inputs)}
    columns.update({node: depth_of(node) for node in hidden})
    columns.update({node: last for node in range(size - outputs, size)})
    return columns, last


def _figure_size(columns, tallest):
    """Inches for a drawing of `columns` + 1 columns whose tallest holds `tallest` nodes: room for
    every node and its label, up to a size that still fits a screen."""
    width = min(20.0, max(6.0, 1.2 * columns + 4.0))
    height = min(14.0, max(4.6, 0.42 * tallest + 2.4))
    return width, height


def _node_scale(ax, columns, tallest):
    """The node diameter and the font sizes (points) that fit the axes: nodes at most 26 points
    wide and at most 70% of the distance to their neighbours, fonts in proportion."""
    box = ax.get_position()
    width, height = ax.figure.get_size_inches()
    # The node rows take 1.6 of the 2.2 y units; the columns 1 of the 1.16 x units.
    row_points = box.height * height * 72 * (1.6 / 2.2) / max(tallest, 1)
    column_points = box.width * width * 72 / 1.16 / max(columns, 1)
    diameter = max(12.0, min(26.0, 0.7 * row_points, 0.45 * column_points))
    return (diameter, row_points, max(5.0, min(9.0, 0.36 * diameter)),
            max(5.0, min(7.5, 0.3 * diameter)))


def network(model, ax=None):
    """Draws the model's network in layers from the inputs (left) to the outputs (right): nodes
    labelled with their index and activation, connections coloured by the sign of their weight
    and thickened by its magnitude. Node size, spacing, fonts and (when it makes the figure) the
    figure size follow the number of nodes, so that networks of up to about 50 nodes stay
    readable. Returns the axes."""
    _matplotlib("tessaron.plot.network")
    from matplotlib.lines import Line2D
    from matplotlib.patches import FancyArrowPatch

    plain = model.get_network()
    inputs, outputs = plain["inputs"], plain["outputs"]
    nodes = model.get_nodes()
    size = len(nodes)
    connections = [(s, t, float(a["weight"])) for s, t, a in model.get_connections()]
    columns, last = _layers(size, inputs, outputs, connections)
    members = {}
    for node in range(size):
        members.setdefault(columns[node], []).append(node)
    feeders = {node: [] for node in range(size)}
    for source, target, _ in connections:
        feeders[target].append(source)
    at = {}
    for column in sorted(members):
        nodes_in_column = members[column]
        if 0 < column < last:
            # Each hidden node near the height of the nodes that feed it (fewer crossings), and
            # each column a little off its neighbours' rows, so that connections which skip a
            # column do not run through the nodes between.
            def height(node):
                placed = [at[s][1] for s in feeders[node] if s in at]
                return -sum(placed) / len(placed) if placed else 0.0

            nodes_in_column = sorted(nodes_in_column, key=height)
        count = len(nodes_in_column)
        spacing = 1.6 / count
        offset = ((column * 0.6180339887) % 1.0 - 0.5) * 0.6 * spacing if 0 < column < last else 0.0
        for k, node in enumerate(nodes_in_column):
            at[node] = (column / last, 0.8 - spacing * (k + 0.5) + offset)
    heaviest = max((abs(w) for _, _, w in connections), default=1.0) or 1.0

    tallest = max(len(column) for column in members.values())
    ax = _axes(ax, _figure_size(last, tallest),
               dict(left=0.03, right=0.97, bottom=0.1, top=0.92))
    diameter, row_points, index_font, label_font = _node_scale(ax, last, tallest)
    column_counts = {column: len(nodes_in_column) for column, nodes_in_column in members.items()}
    thickness = diameter / 26.0
    # Light connections first, so the heavy ones stay visible on top; those that skip a column
    # bend, so that they do not run through the nodes between.
    for source, target, weight in sorted(connections, key=lambda c: abs(c[2])):
        bend = 0.25 if columns[target] - columns[source] > 1 else 0.0
        ax.add_patch(FancyArrowPatch(
            at[source], at[target], connectionstyle=f"arc3,rad={bend}", arrowstyle="-|>",
            mutation_scale=max(4.0, 9 * thickness), shrinkA=diameter / 2, shrinkB=diameter / 2,
            alpha=0.75, zorder=1, color=POSITIVE if weight >= 0 else NEGATIVE,
            linewidth=(0.4 + 3.6 * abs(weight) / heaviest) * max(thickness, 0.4)))
    for index, attributes in nodes:
        x, y = at[index]
        role = "input" if index < inputs else "output" if index >= size - outputs else "hidden"
        ax.scatter([x], [y], s=diameter ** 2, color=ROLE_COLOURS[role], edgecolors="#333333",
                   linewidths=max(0.5, thickness), zorder=2)
        ax.annotate(str(index), (x, y), ha="center", va="center", fontsize=index_font,
                    weight="bold", zorder=3)
        # Below its node while the column's rows have room for it, beside it (to the right) once
        # they are tight; there the inputs go without, their colour saying what they are.
        below = row_points * tallest / column_counts[columns[index]] >= diameter + 2.2 * label_font
        if role == "input" and not below:
            continue
        # Evaluation copies an input straight through, so its activation means nothing.
        label = "input" if role == "input" else str(attributes["activation"])
        where = dict(xytext=(0, -(diameter / 2 + 1)), ha="center", va="top") if below \
            else dict(xytext=(diameter / 2 + 1, 0), ha="left", va="center")
        ax.annotate(label, (x, y), textcoords="offset points", fontsize=label_font,
                    color="#333333", zorder=3, **where,
                    bbox={"boxstyle": "round,pad=0.1", "fc": "white", "ec": "none", "alpha": 0.8})
    ax.set_xlim(-0.08, 1.08)
    ax.set_ylim(-1.2, 1.0)
    ax.axis("off")
    ax.set_title(f"Network: {size} nodes, {len(connections)} connections "
                 f"(weights up to {heaviest:.2f} in magnitude)", fontsize=10)
    legend = [Line2D([], [], color=POSITIVE, linewidth=2.5, label="positive weight"),
              Line2D([], [], color=NEGATIVE, linewidth=2.5, label="negative weight")]
    legend += [Line2D([], [], marker="o", linestyle="", markersize=10, markeredgecolor="#333333",
                      markerfacecolor=colour, label=f"{role} node")
               for role, colour in ROLE_COLOURS.items()]
    ax.legend(handles=legend, loc="lower center", ncol=5, fontsize=7.5, frameon=False,
              bbox_to_anchor=(0.5, -0.08))
    return ax


def history(history, ax=None):
    """Plots the loss and metrics of a history per epoch (counted from 1): training values solid,
    validation values (``"val_..."``) dashed in the colour of their training value. The "size" entry,
    a node count, is left out. Returns the axes."""
    _matplotlib("tessaron.plot.history")
    ax = _axes(ax, (6.4, 4.0))
    names = [key for key in history if key != "size" and not key.startswith("val_")]
    names += [key[4:] for key in history if key.startswith("val_") and key[4:] not in history]
    for index, name in enumerate(names):
        colour = f"C{index}"
        for key, style in ((name, "-"), ("val_" + name, "--")):
            if key in history:
                values = [float(v) for v in history[key]]
                ax.plot(range(1, len(values) + 1), values, style, color=colour, label=key)
    ax.set_xlabel("epoch")
    ax.set_ylabel("value")
    ax.grid(alpha=0.3)
    if names:
        ax.legend(fontsize=8)
    return ax
