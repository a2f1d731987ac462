"""What the page may ask for, checked before anything reaches a device.

Every check raises `Refused` with the HTTP status and a message naming the problem; a request
is applied only when all of its parts passed.
"""

import json
import math
from typing import Any, Dict, List, Optional

from . import kinds

MAX_USER_DATA = 255      # bytes in one handle state
MAX_BODY = 64 * 1024
MAX_NESTING = 8          # objects and lists inside each other; the deepest request has 3
MAX_NUMBER_CHARS = 40    # a number literal longer than this means no quantity the desk takes


class Refused(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


def _reject_constant(name: str) -> Any:
    raise Refused(400, "%s is not a finite number" % name)


def nesting(text: str) -> int:
    """How deep objects and lists go in a JSON text, strings skipped."""
    depth = deepest = 0
    in_string = escaped = False
    for char in text:
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


def _number_literal(convert: Any) -> Any:
    def parse(literal: str) -> Any:
        if len(literal) > MAX_NUMBER_CHARS:
            raise Refused(400, "a number of %d characters is longer than any the desk takes"
                          % len(literal))
        return convert(literal)
    return parse


def parse_body(raw: bytes) -> Dict[str, Any]:
    """A request body: one JSON object, finite numbers of sane length only, nested a little."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refused(400, "the body is not JSON: %s" % error) from None
    if nesting(text) > MAX_NESTING:
        raise Refused(400, "the body nests objects and lists deeper than %d" % MAX_NESTING)
    try:
        body = json.loads(text, parse_constant=_reject_constant,
                          parse_int=_number_literal(int), parse_float=_number_literal(float))
    except json.JSONDecodeError as error:
        raise Refused(400, "the body is not JSON: %s" % error) from None
    if not isinstance(body, dict):
        raise Refused(400, "the body must be a JSON object")
    return body


def figure(value: float) -> str:
    """A number as exactly as it was given or computed: 10, 0.5, 10.000000000000002."""
    return "%d" % value if float(value).is_integer() and abs(value) < 1e15 else repr(float(value))


def shown(value: Any) -> str:
    """A value the page sent, shown in a refusal: as JSON, and short."""
    text = json.dumps(value)
    return text if len(text) <= 60 else text[:57] + "..."


def number(value: Any, name: str, low: float = -math.inf, high: float = math.inf) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise Refused(400, "%s must be a finite number, not %s" % (name, shown(value)))
    if not low <= value <= high:
        raise Refused(400, "%s must lie between %s and %s, not %s"
                      % (name, figure(low), figure(high), figure(value)))
    return float(value)


def vector(value: Any, name: str, low: float = -math.inf, high: float = math.inf) -> List[float]:
    if not isinstance(value, list) or len(value) != 3:
        raise Refused(400, "%s must be a list of three numbers" % name)
    return [number(item, "%s[%d]" % (name, index), low, high) for index, item in enumerate(value)]


def flag(value: Any, name: str) -> bool:
    if not isinstance(value, bool):
        raise Refused(400, "%s must be true or false" % name)
    return value


def integer(value: Any, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise Refused(400, "%s must be a whole number from %d to %d" % (name, low, high))
    return value


def text(value: Any, name: str) -> str:
    """A non-empty text that UTF-8 can carry (no lone surrogate) and holds no NUL."""
    if not isinstance(value, str) or not value:
        raise Refused(400, "%s must be a non-empty text" % name)
    if "\0" in value:
        raise Refused(400, "%s must not hold a NUL character" % name)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused(400, "%s holds a lone surrogate, which no UTF-8 text can" % name) from None
    return value


def force(value: Any, max_force: float) -> List[float]:
    """A test force, refused when its length is above the loop's limit."""
    components = vector(value, "force")
    length = math.sqrt(sum(c * c for c in components))
    if length > max_force:
        raise Refused(422, "%s N is above the loop's limit of %s N" % (figure(length), figure(max_force)))
    return components


def fields(body: Dict[str, Any], known: List[str], where: str) -> None:
    unknown = sorted(set(body) - set(known))
    if unknown:
        raise Refused(400, "%s has no field %s" % (where, ", ".join(unknown)[:80]))


def parameters(settings: Any, kind: Dict[str, Any], where: str, whole: bool) -> Dict[str, Any]:
    """Settings of one kind of effect or shape, checked against its parameters; all of them when
    whole, else any of them."""
    if not isinstance(settings, dict):
        raise Refused(400, "%s must be an object" % where)
    known = {p["name"]: p for p in kind["parameters"]}
    fields(settings, list(known) + (["kind"] if whole else []), where)
    checked = {}
    for name, p in known.items():
        if name not in settings:
            if whole:
                raise Refused(400, "%s needs %s" % (where, name))
            continue
        label = "%s.%s" % (where, name)
        value = settings[name]
        if p["type"] == "flag":
            checked[name] = flag(value, label)
        elif p["type"] == "vector":
            checked[name] = vector(value, label, p["low"], p["high"])
        else:
            checked[name] = number(value, label, p["low"], p["high"])
    return checked


def shapes(value: Any) -> List[Dict[str, Any]]:
    """The scene: a list of shapes, each {"kind": ..., and every parameter of its kind}."""
    if not isinstance(value, list) or len(value) > kinds.MAX_SHAPES:
        raise Refused(400, "shapes must be a list of at most %d shapes" % kinds.MAX_SHAPES)
    checked = []
    for index, shape in enumerate(value):
        where = "shapes[%d]" % index
        kind = shape.get("kind") if isinstance(shape, dict) else None
        if not isinstance(kind, str) or kind not in kinds.SHAPES:
            raise Refused(400, "%s.kind must be one of %s" % (where, ", ".join(kinds.SHAPES)))
        checked.append(dict(parameters(shape, kinds.SHAPES[kind], where, whole=True), kind=kind))
    return checked


def effects(body: Dict[str, Any], max_force: float) -> Dict[str, Any]:
    """Effect settings: any of the kinds of effect, each whole or in part, the test force, and
    the scene's shapes."""
    fields(body, list(kinds.EFFECTS) + ["force", "shapes"], "effects")
    checked: Dict[str, Any] = {name: parameters(body[name], kind, name, whole=False)
                               for name, kind in kinds.EFFECTS.items() if name in body}
    if "force" in body:
        checked["force"] = force(body["force"], max_force)
    if "shapes" in body:
        checked["shapes"] = shapes(body["shapes"])
    return checked


def user_data(value: Optional[Any]) -> bytes:
    """User data for a handle state: text, sent as its UTF-8 bytes."""
    if value is None:
        return b""
    if not isinstance(value, str):
        raise Refused(400, "user_data must be a text")
    try:
        data = value.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused(400, "user_data holds a lone surrogate, which no UTF-8 text can") from None
    if len(data) > MAX_USER_DATA:
        raise Refused(400, "user_data is %d bytes, at most %d fit" % (len(data), MAX_USER_DATA))
    return data
