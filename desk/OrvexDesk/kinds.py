"""Every kind of effect and shape the desk offers, each in one place: the parameters it takes,
their ranges, units, defaults and labels. The server checks requests against these entries and
sends them to the page, which builds its controls from them; adding a kind is adding an entry.
"""

from typing import Any, Dict, List

WORKSPACE_M = 0.1        # the arm's reach along each axis from its centre
MAX_STIFFNESS = 5000.0   # N/m: stiffer than this, a 1 kHz loop makes the arm buzz
MAX_DAMPING = 50.0       # N·s/m
MAX_FRICTION = 2.0
MAX_SHAPES = 16


def flag(name: str, label: str, default: bool = False) -> Dict[str, Any]:
    return {"name": name, "type": "flag", "label": label, "default": default}


def number(name: str, label: str, unit: str, low: float, high: float, default: float,
           step: float) -> Dict[str, Any]:
    return {"name": name, "type": "number", "label": label, "unit": unit, "low": low,
            "high": high, "default": default, "step": step}


def vector(name: str, label: str, unit: str, low: float, high: float, default: List[float],
           step: float) -> Dict[str, Any]:
    return dict(number(name, label, unit, low, high, 0.0, step), type="vector", default=default)


def position(name: str = "position", label: str = "Position",
             default: List[float] = (0.0, 0.0, 0.0)) -> Dict[str, Any]:
    return vector(name, label, "m", -WORKSPACE_M, WORKSPACE_M, list(default), 0.005)


def stiffness(default: float) -> Dict[str, Any]:
    return number("stiffness", "Stiffness", "N/m", 0.0, MAX_STIFFNESS, default, 100)


MATERIAL = [
    stiffness(1000.0),
    number("damping", "Damping", "N·s/m", 0.0, MAX_DAMPING, 0.0, 0.5),
    number("static_friction", "Static friction", "", 0.0, MAX_FRICTION, 0.0, 0.1),
    number("dynamic_friction", "Dynamic friction", "", 0.0, MAX_FRICTION, 0.0, 0.1),
]

EFFECTS: Dict[str, Dict[str, Any]] = {
    "wall": {"label": "Wall (pushes towards −x)", "parameters": [
        flag("enabled", "On"),
        number("position", "Position x", "m", -WORKSPACE_M, WORKSPACE_M, 0.03, 0.005),
        stiffness(2000.0)]},
    "damper": {"label": "Damping", "parameters": [
        flag("enabled", "On"),
        number("coefficient", "Coefficient", "N·s/m", 0.0, MAX_DAMPING, 2.0, 0.5)]},
    "spring": {"label": "Spring", "parameters": [
        flag("enabled", "On"),
        position("anchor", "Anchor"),
        stiffness(200.0)]},
}

SHAPES: Dict[str, Dict[str, Any]] = {
    "sphere": {"label": "Sphere", "parameters": [
        number("radius", "Radius", "m", 0.001, WORKSPACE_M, 0.02, 0.005),
        position(default=(0.0, 0.0, -0.04))] + MATERIAL},
    "box": {"label": "Box", "parameters": [
        vector("size", "Size", "m", 0.001, 2 * WORKSPACE_M, [0.04, 0.04, 0.04], 0.005),
        position(default=(0.0, 0.0, -0.05))] + MATERIAL},
    "plane": {"label": "Plane (solid below)", "parameters": [
        position("point", "Point", (0.0, 0.0, -0.06)),
        vector("normal", "Normal", "", -1.0, 1.0, [0.0, 0.0, 1.0], 0.1)] + MATERIAL},
}


def defaults(kind: Dict[str, Any]) -> Dict[str, Any]:
    return {p["name"]: (list(p["default"]) if p["type"] == "vector" else p["default"])
            for p in kind["parameters"]}


def schema() -> Dict[str, Any]:
    """What the page builds its controls from."""
    return {"effects": EFFECTS, "shapes": SHAPES, "max_shapes": MAX_SHAPES}
