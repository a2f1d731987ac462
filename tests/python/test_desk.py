"""The desk's server: each endpoint, refusals that reach no device, the token, the event stream.

The devices are the emulator's; the servo loop and the listener are recording doubles, so a
refused request is seen to reach neither the wire nor a loop."""

import http.client
import json
import subprocess
import threading
import time

import pytest

import desk_doubles
from conftest import MODULE_DIR

EMULATOR = MODULE_DIR / "tools" / "emulator" / "orvex-emulator"
TOKEN = "s3cret-token"


@pytest.fixture
def devices(tmp_path):
    """A Corvane and a handle; `commands()` counts what reached them from the host so far."""
    log = tmp_path / "emulator.log"
    with open(log, "w") as errors:
        process = subprocess.Popen([str(EMULATOR), "--corvane", "--handle", "-v"],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=errors, text=True)
    ports = dict(process.stdout.readline().split() for _ in range(2))
    ports["commands"] = lambda: sum(" in " in line for line in log.read_text().splitlines())
    yield ports
    process.stdin.close()
    process.wait(timeout=10)


@pytest.fixture
def desk(monkeypatch, request):
    from OrvexDesk import corvane_session, handle_session
    from OrvexDesk.desk import Desk
    from OrvexDesk.server import DeskServer

    double = desk_doubles.module()
    monkeypatch.setattr(corvane_session, "haptics", double)
    monkeypatch.setattr(handle_session, "haptics", double)
    desk_doubles.ServoLoop.made.clear()
    desk_doubles.HandleListener.made.clear()
    token = getattr(request, "param", None)
    server = DeskServer(("127.0.0.1", 0), Desk(max_force=5.0), token)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    server.desk.shutdown()
    thread.join()


def call(server, method, path, body=None, headers=None, raw=None):
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
    connection.request(method, path, body=data, headers=headers or {})
    answer = connection.getresponse()
    payload = answer.read()
    connection.close()
    kind = answer.getheader("Content-Type", "")
    return answer.status, json.loads(payload) if kind.startswith("application/json") else payload


def opened(server, devices):
    status, corvane = call(server, "POST", "/api/devices", {"kind": "corvane", "port": devices["corvane"]})
    assert status == 201, corvane
    status, handle = call(server, "POST", "/api/devices", {"kind": "handle", "port": devices["handle"]})
    assert status == 201, handle
    return corvane["id"], handle["id"]


def test_opening_wakes_the_corvane_and_lists_both_devices(desk, devices):
    corvane, handle = opened(desk, devices)
    status, listed = call(desk, "GET", "/api/devices")
    assert status == 200 and listed["max_force"] == 5.0
    by_id = {device["id"]: device for device in listed["devices"]}
    assert by_id[corvane]["info"]["device_model_number"] == 4
    assert by_id[corvane]["port"] == devices["corvane"] and not by_id[corvane]["running"]
    assert by_id[handle]["kind"] == "handle"
    assert desk_doubles.HandleListener.made[0].calls == [("wakeup",), ("request_status",)]


def test_the_loop_starts_with_the_effects_set_and_a_one_second_watchdog(desk, devices):
    corvane, _ = opened(desk, devices)
    effects = {"wall": {"enabled": True, "position": 0.02, "stiffness": 1500},
               "damper": {"enabled": True, "coefficient": 3}, "force": [1, 0, 0]}
    assert call(desk, "PUT", "/api/devices/%s/effects" % corvane, effects)[0] == 200
    status, answer = call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    assert status == 200 and answer["running"]
    loop = desk_doubles.ServoLoop.made[-1]
    assert loop.options["watchdog_s"] == 1.0 and loop.options["max_force"] == 5.0
    assert sorted(effect.kind for effect in loop.effects) == ["Damper", "Scene", "Wall"]
    wall = next(effect for effect in loop.effects if effect.kind == "Wall")
    assert wall.point == [0.02, 0.0, 0.0] and wall.stiffness == 1500 and wall.normal == [-1.0, 0.0, 0.0]
    assert loop.force == [1, 0, 0] and loop.calls[-1] == ("start",)

    # While it runs, a change reaches the loop at once: the wall goes, the spring comes.
    call(desk, "PUT", "/api/devices/%s/effects" % corvane,
         {"wall": {"enabled": False}, "spring": {"enabled": True, "anchor": [0, 0.01, 0]}})
    assert sorted(effect.kind for effect in loop.effects) == ["Damper", "Scene", "Spring"]
    assert call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": False})[1]["running"] is False
    assert loop.calls[-1] == ("stop",)


SPHERE = {"kind": "sphere", "radius": 0.02, "position": [0, 0, -0.04], "stiffness": 800,
          "damping": 1, "static_friction": 0.5, "dynamic_friction": 0.3}


def test_shapes_reach_the_loops_scene_whole_and_the_page_gets_their_schema(desk, devices):
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    scene = next(e for e in desk_doubles.ServoLoop.made[-1].effects if e.kind == "Scene")
    plane = {"kind": "plane", "point": [0, 0, -0.06], "normal": [0, 0, 1], "stiffness": 1000,
             "damping": 0, "static_friction": 0, "dynamic_friction": 0}
    status, answer = call(desk, "PUT", "/api/devices/%s/effects" % corvane,
                          {"shapes": [SPHERE, plane]})
    assert status == 200 and answer["settings"]["shapes"] == [SPHERE, plane]
    sphere = scene.shapes[0]
    assert (sphere.kind, sphere.radius, sphere.position, sphere.static_friction) == (
        "Sphere", 0.02, [0, 0, -0.04], 0.5)
    assert [shape.kind for shape in scene.shapes] == ["Sphere", "Plane"]
    call(desk, "PUT", "/api/devices/%s/effects" % corvane, {"shapes": [plane]})
    assert [shape.kind for shape in scene.shapes] == ["Plane"]
    # One schema per kind, from which the page builds its controls.
    schema = answer["schema"]
    assert set(schema["effects"]) == {"wall", "damper", "spring"}
    assert set(schema["shapes"]) == {"sphere", "box", "plane"}
    assert [p["name"] for p in schema["shapes"]["sphere"]["parameters"]] == [
        "radius", "position", "stiffness", "damping", "static_friction", "dynamic_friction"]


def test_handle_commands_are_queued_on_the_listener(desk, devices):
    _, handle = opened(desk, devices)
    listener = desk_doubles.HandleListener.made[0]
    assert call(desk, "POST", "/api/devices/%s/status" % handle, {})[0] == 202
    status, _ = call(desk, "POST", "/api/devices/%s/state" % handle,
                     {"device_id": 7, "user_data": "héllo"})
    assert status == 202
    assert listener.calls[-2:] == [("request_status",), ("send_state", 7, "héllo".encode())]
    assert call(desk, "DELETE", "/api/devices/%s" % handle)[0] == 200
    assert not listener.running
    assert call(desk, "GET", "/api/devices")[1]["devices"][0]["kind"] == "corvane"


REFUSED = [
    ("POST", "/api/devices/corvane-9/loop", {"running": True}, 404, "no device corvane-9"),
    ("PUT", "/api/devices/{corvane}/effects", {"force": [6, 0, 0]}, 422, "above the loop's limit of 5"),
    ("PUT", "/api/devices/{corvane}/effects", {"force": [3, 3, 3]}, 422, "above the loop's limit"),
    ("PUT", "/api/devices/{corvane}/effects", {"force": ["1", 0, 0]}, 400, "force[0] must be a finite number"),
    ("PUT", "/api/devices/{corvane}/effects", {"force": [1, 0]}, 400, "list of three numbers"),
    ("PUT", "/api/devices/{corvane}/effects", {"wall": {"stiffness": -1}}, 400, "wall.stiffness must lie between"),
    ("PUT", "/api/devices/{corvane}/effects", {"wall": {"position": True}}, 400, "wall.position must be a finite number"),
    ("PUT", "/api/devices/{corvane}/effects", {"damper": {"coefficient": 1}, "force": [9, 0, 0]}, 422, "limit"),
    ("PUT", "/api/devices/{corvane}/effects", {"walls": {}}, 400, "no field walls"),
    ("PUT", "/api/devices/{corvane}/effects", {"shapes": [dict(SPHERE, kind="torus")]}, 400,
     "shapes[0].kind must be one of sphere, box, plane"),
    ("PUT", "/api/devices/{corvane}/effects", {"shapes": [dict(SPHERE, radius=0)]}, 400,
     "shapes[0].radius must lie between"),
    ("PUT", "/api/devices/{corvane}/effects",
     {"shapes": [{k: v for k, v in SPHERE.items() if k != "damping"}]}, 400, "shapes[0] needs damping"),
    ("PUT", "/api/devices/{corvane}/effects", {"shapes": [SPHERE] * 17}, 400, "at most 16 shapes"),
    ("POST", "/api/devices/{corvane}/loop", {"running": "yes"}, 400, "running must be true or false"),
    ("POST", "/api/devices/{corvane}/status", {}, 400, "is not a handle"),
    ("POST", "/api/devices/{handle}/loop", {"running": True}, 400, "is not a Corvane"),
    ("POST", "/api/devices/{handle}/state", {"device_id": 70000}, 400, "device_id must be a whole number"),
    ("POST", "/api/devices/{handle}/state", {"user_data": "x" * 256}, 400, "at most 255 fit"),
    ("POST", "/api/devices", {"kind": "corvane", "port": "/dev/no-such-port"}, 404, "no port"),
    ("POST", "/api/devices", {"kind": "corvane", "port": "/etc/hostname"}, 400, "is not a serial port"),
    ("POST", "/api/devices", {"kind": "arm", "port": "/dev/null"}, 400, "kind must be"),
    ("POST", "/api/devices", {"kind": "corvane", "port": "{corvane}"}, 409, "already open"),
    ("GET", "/api/devices/{corvane}/loop", None, 405, "not allowed"),
    ("GET", "/api/nothing", None, 404, "no such thing"),
]


@pytest.mark.parametrize("method, path, body, status, error", REFUSED,
                         ids=["%d %s" % (case[3], case[4]) for case in REFUSED])
def test_bad_requests_are_refused_and_reach_no_device(desk, devices, method, path, body, status, error):
    corvane, handle = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop, listener = desk_doubles.ServoLoop.made[-1], desk_doubles.HandleListener.made[-1]
    before = (devices["commands"](), list(loop.calls), list(listener.calls))
    path = path.format(corvane=corvane, handle=handle)
    if body and "port" in body:
        body = dict(body, port=body["port"].format(corvane=devices["corvane"]))
    got, answer = call(desk, method, path, body)
    assert (got, error in answer["error"]) == (status, True), answer
    assert (devices["commands"](), loop.calls, listener.calls) == before


@pytest.mark.parametrize("raw, error", [(b"{", "not JSON"), (b"[1, 2]", "a JSON object"),
                                        (b'{"force": [NaN, 0, 0]}', "NaN is not a finite number"),
                                        (b'{"force": [1e999, 0, 0]}', "finite number")])
def test_malformed_bodies_are_refused(desk, devices, raw, error):
    corvane, _ = opened(desk, devices)
    got, answer = call(desk, "PUT", "/api/devices/%s/effects" % corvane, raw=raw,
                       headers={"Content-Type": "application/json"})
    assert got == 400 and error in answer["error"]


@pytest.mark.parametrize("desk", [TOKEN], indirect=True)
@pytest.mark.parametrize("how, status", [({}, 401), ({"headers": {"X-Desk-Token": "wrong"}}, 401),
                                         ({"headers": {"X-Desk-Token": TOKEN}}, 200),
                                         ({"query": "?token=" + TOKEN}, 200)])
def test_a_desk_listening_beyond_loopback_wants_its_token(desk, devices, how, status):
    got, answer = call(desk, "GET", "/api/devices" + how.get("query", ""), headers=how.get("headers"))
    assert got == status
    before = devices["commands"]()
    got, answer = call(desk, "POST", "/api/devices" + how.get("query", ""),
                       {"kind": "corvane", "port": devices["corvane"]}, headers=how.get("headers"))
    assert got == (201 if status == 200 else 401)
    if status == 401:
        assert "token" in answer["error"] and devices["commands"]() == before


def read_events(server, count, on_hello=lambda: None):
    """The first `count` events of the stream, each as (name, data), and the raw text read;
    `on_hello` runs once the stream has said hello."""
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    connection.request("GET", "/api/events")
    answer = connection.getresponse()
    assert answer.status == 200
    assert answer.getheader("Content-Type") == "text/event-stream"
    events, raw, block = [], "", []
    while len(events) < count:
        line = answer.fp.readline().decode()
        raw += line
        if line != "\n":
            block.append(line.rstrip("\n"))
            continue
        fields = dict(entry.split(": ", 1) for entry in block if not entry.startswith(":"))
        block = []
        if fields:
            events.append((fields["event"], json.loads(fields["data"])))
            if len(events) == 1:
                on_hello()
    answer.close()
    connection.close()
    return events, raw


def test_the_event_stream_says_hello_then_sends_frames_with_new_trace_rows(desk, devices):
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    # Rows 1 ms apart: the page gets one of every 4 ms, and each only once.
    rows = [[t / 1000, 0.01, 0, 0, 0, 0, 0, 1, 0, 0, 180.0] for t in range(1, 41)]
    events, raw = read_events(desk, 4, on_hello=lambda: setattr(loop, "rows", rows))
    assert raw.startswith("event: hello\ndata: {")
    assert events[0][0] == "hello" and {d["id"] for d in events[0][1]["devices"]} == {corvane, "handle-1"}
    assert any("device information" in entry["text"] for entry in events[0][1]["log"])
    frames = [data for name, data in events[1:] if name == "update"]
    rows = [row for frame in frames for device in frame["devices"] if device["id"] == corvane
            for row in device.get("rows", [])]
    times = [row[0] for row in rows]
    assert 10 <= len(times) <= 11 and times[0] == 0.001 and times[-1] >= 0.037
    assert all(0.0025 < later - earlier < 0.0055 for earlier, later in zip(times, times[1:]))
    assert all(len(row) == 10 for row in rows)
    last = [d for d in frames[-1]["devices"] if d["id"] == corvane][0]
    assert sum(last["histogram"]["counts"]) == 40 and last["stats"]["rate_hz"] == 1000.0


def test_a_connected_page_feeds_the_watchdog_and_a_closed_one_stops_feeding(desk, devices):
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    read_events(desk, 4)
    fed = loop.calls.count(("feed",))
    assert fed >= 2
    time.sleep(0.3)
    assert loop.calls.count(("feed",)) <= fed + 1  # at most the frame on its way when it went


@pytest.mark.parametrize("desk", [TOKEN], indirect=True)
def test_the_page_and_its_assets_carry_the_token(desk):
    status, page = call(desk, "GET", "/?token=" + TOKEN)
    assert status == 200 and b'/assets/desk.js?token=' + TOKEN.encode() in page
    assert call(desk, "GET", "/assets/desk.js?token=" + TOKEN)[0] == 200
    assert call(desk, "GET", "/assets/desk.js")[0] == 401
    assert call(desk, "GET", "/assets/..%2Fserver.py?token=" + TOKEN)[0] == 404
