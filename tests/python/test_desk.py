"""The desk's server: each endpoint, refusals that reach no device, who may ask (Host, origin,
the page's session), who holds each device, which ports it opens, the event stream and the
heartbeat, and its limits.

The devices are the emulator's; the servo loop and the listener are recording doubles, so a
refused request is seen to reach neither the wire nor a loop."""

import concurrent.futures
import http.client
import json
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

import desk_doubles
from conftest import MODULE_DIR

EMULATOR = MODULE_DIR / "tools" / "emulator" / "orvex-emulator"


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
def desk(monkeypatch, devices):
    """The desk's server; `token` is a page's session (the first link's), `links` the codes it
    announced since."""
    from OrvexDesk import corvane_session, handle_session
    from OrvexDesk.desk import Desk
    from OrvexDesk.pages import Pages
    from OrvexDesk.server import DeskServer

    double = desk_doubles.module()
    monkeypatch.setattr(corvane_session, "haptics", double)
    monkeypatch.setattr(handle_session, "haptics", double)
    desk_doubles.ServoLoop.made.clear()
    desk_doubles.HandleListener.made.clear()
    allowed = [devices["corvane"], devices["handle"]]
    links = []
    pages = Pages(announce=links.append)
    server = DeskServer(("127.0.0.1", 0), Desk(max_force=5.0, allowed_ports=allowed), pages)
    server.links = links
    server.token = pages.exchange(pages.code).token
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    yield server
    server.shutdown()
    server.server_close()
    server.desk.shutdown()
    thread.join()


def own_headers(server):
    """What the desk's own page sends with every request."""
    return {"X-Desk-Token": server.token, "Origin": "http://127.0.0.1:%d" % server.server_address[1],
            "Content-Type": "application/json"}


def call(server, method, path, body=None, headers=None, raw=None):
    """A request as the desk's page makes it; `headers` replace the page's, a None value drops one."""
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    data = raw if raw is not None else (None if body is None else json.dumps(body).encode())
    sent = dict(own_headers(server), **(headers or {}))
    connection.request(method, path, body=data,
                       headers={name: value for name, value in sent.items() if value is not None})
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
    # Smooth by default: no change from the page steps the force by more than 0.5 N a cycle.
    assert (loop.options["max_force_step"], loop.options["ramp_s"]) == (0.5, 0.25)
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


def read_events(server, count, on_hello=lambda: None):
    """The first `count` events of the stream, each as (name, data), and the raw text read;
    `on_hello` runs once the stream has said hello."""
    connection = http.client.HTTPConnection(*server.server_address[:2], timeout=10)
    connection.request("GET", "/api/events", headers={"X-Desk-Token": server.token})
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


def test_only_the_pages_heartbeat_feeds_the_watchdog(desk, devices):
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    read_events(desk, 6)  # a page that only follows the stream keeps no force on
    assert loop.calls.count(("feed",)) == 0
    refused = [{"X-Desk-Token": None}, {"Origin": "http://127.0.0.1:1"},
               {"Content-Type": "text/plain"}]
    assert [call(desk, "POST", "/api/heartbeat", {}, headers=h)[0] for h in refused] == [401, 403, 415]
    assert loop.calls.count(("feed",)) == 0
    assert call(desk, "POST", "/api/heartbeat", {}) == (200, {"fed": [corvane, "handle-1"]})
    assert loop.calls.count(("feed",)) == 1


def test_a_link_opens_one_page_and_no_answer_sets_a_cookie(desk):
    port = desk.server_address[1]
    status, page = call(desk, "GET", "/", headers={"X-Desk-Token": None})
    assert status == 200 and b"desk.js" in page  # the page holds no secret: anybody may load it
    code = desk.links[-1]
    status, session = call(desk, "POST", "/api/session", {"code": code}, headers={"X-Desk-Token": None})
    assert status == 201 and session["page"] == "page-2" and len(session["token"]) >= 40
    # The code is dead once used, so the history that keeps it keeps nothing of use; the desk
    # announces the next link for another page or a reload.
    assert call(desk, "POST", "/api/session", {"code": code})[0] == 401
    assert len(desk.links) == 2 and desk.links[-1] != code
    # A session's token opens the JSON interface and the event stream; a code does not.
    assert call(desk, "GET", "/api/devices", headers={"X-Desk-Token": session["token"]})[0] == 200
    assert call(desk, "GET", "/api/devices", headers={"X-Desk-Token": desk.links[-1]})[0] == 401
    # A trade must come from the desk's own page, as JSON, like every change.
    assert call(desk, "POST", "/api/session", {"code": desk.links[-1]},
                headers={"Origin": "http://127.0.0.1:1"})[0] == 403
    assert call(desk, "POST", "/api/session", {"code": desk.links[-1]},
                headers={"Sec-Fetch-Site": "same-site"})[0] == 403
    for method, path in [("GET", "/"), ("GET", "/assets/desk.js"), ("GET", "/api/devices"),
                         ("POST", "/api/session")]:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request(method, path, body=b"{}", headers=own_headers(desk))
        answer = connection.getresponse()
        answer.read()
        assert answer.getheader("Set-Cookie") is None, (method, path)
        connection.close()
    assert call(desk, "GET", "/assets/..%2Fserver.py")[0] == 404


@pytest.mark.parametrize("site", ["same-site", "cross-site"])
@pytest.mark.parametrize("mode", ["navigate", "cors", "no-cors"])
def test_every_route_the_page_included_refuses_other_sites(desk, devices, site, mode):
    """Another port of this machine is "same-site" to a browser: its popups, frames and
    fetches get nothing, not the page either."""
    corvane, handle = opened(desk, devices)
    before = (devices["commands"](), desk.desk.log.last_seq)
    for method, path in ROUTES:
        path = path.format(corvane=corvane, handle=handle)
        status, answer = call(desk, method, path, body_for(path),
                              headers={"Sec-Fetch-Site": site, "Sec-Fetch-Mode": mode})
        assert (method, path, status) == (method, path, 403), answer
    assert (devices["commands"](), desk.desk.log.last_seq) == before


def test_one_hand_on_each_device(desk, devices, monkeypatch):
    from OrvexDesk import pages

    corvane, _ = opened(desk, devices)  # opened by the fixture's page, which holds it
    other = call(desk, "POST", "/api/session", {"code": desk.links[-1]})[1]["token"]
    as_other = {"X-Desk-Token": other}
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    status, answer = call(desk, "PUT", "/api/devices/%s/effects" % corvane, {"force": [4, 0, 0]},
                          headers=as_other)
    assert status == 409 and "held by another page (page-1)" in answer["error"]
    assert call(desk, "GET", "/api/devices", headers=as_other)[1]["devices"][0]["holder"] == "page-1"
    # The other page's heartbeat keeps nothing on; the holder's does.
    assert call(desk, "POST", "/api/heartbeat", {}, headers=as_other)[1] == {"fed": []}
    assert call(desk, "POST", "/api/heartbeat", {})[1] == {"fed": [corvane, "handle-1"]}
    assert loop.calls.count(("feed",)) == 1
    # Taken over on purpose: the holder is now the other page, and the first one is refused.
    status, answer = call(desk, "POST", "/api/devices/%s/holder" % corvane, {}, headers=as_other)
    assert status == 200 and answer["holder"] == "page-2"
    assert call(desk, "PUT", "/api/devices/%s/effects" % corvane, {"force": [1, 0, 0]})[0] == 409
    assert call(desk, "POST", "/api/heartbeat", {})[1] == {"fed": ["handle-1"]}
    assert loop.force == [0.0, 0.0, 0.0] and "taken over by page-2 from page-1" in str(
        desk.desk.log.after(0))
    # Any page may let go of the arm.
    assert call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": False})[0] == 200
    assert loop.calls[-1] == ("stop",)
    # A holder whose page is gone (no stream, no beat) holds nothing: the next change takes it.
    monkeypatch.setattr(pages, "GONE_AFTER_S", 0.2)
    time.sleep(0.3)
    assert call(desk, "PUT", "/api/devices/%s/effects" % corvane, {"force": [1, 0, 0]})[0] == 200


ROUTES = [("GET", "/"), ("GET", "/assets/desk.js"), ("GET", "/api/events"), ("GET", "/api/devices"),
          ("POST", "/api/devices"), ("POST", "/api/scan"), ("POST", "/api/heartbeat"),
          ("DELETE", "/api/devices/{corvane}"), ("POST", "/api/devices/{corvane}/loop"),
          ("PUT", "/api/devices/{corvane}/effects"), ("POST", "/api/devices/{handle}/status"),
          ("POST", "/api/devices/{handle}/state"), ("OPTIONS", "/api/devices")]
BODIES = {"/api/devices": {"kind": "corvane", "port": "/dev/null"}, "loop": {"running": True},
          "effects": {"force": [4, 0, 0]}, "state": {"device_id": 1, "user_data": "\x1b[2J"}}


def body_for(path):
    return next((body for key, body in BODIES.items() if path.endswith(key)), {})


@pytest.mark.parametrize("host", ["attacker.example:{port}", "attacker.example", "127.0.0.1:1",
                                  "localhost.attacker.example:{port}", "127.0.0.1.nip.io:{port}", ""])
def test_a_foreign_host_is_refused_on_every_route_before_anything_else(desk, devices, host):
    corvane, handle = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop, listener = desk_doubles.ServoLoop.made[-1], desk_doubles.HandleListener.made[-1]
    before = (devices["commands"](), list(loop.calls), list(listener.calls))
    for method, path in ROUTES:
        path = path.format(corvane=corvane, handle=handle)
        # http.client puts its own Host first unless told not to.
        connection = http.client.HTTPConnection(*desk.server_address[:2], timeout=10)
        connection.putrequest(method, path, skip_host=True)
        data = json.dumps(body_for(path)).encode()
        headers = dict(own_headers(desk), **{"Content-Length": str(len(data))})
        if host:
            headers["Host"] = host.format(port=desk.server_address[1])
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders(data)
        answer = connection.getresponse()
        assert (method, path, answer.status) == (method, path, 403)
        assert "Access-Control-Allow-Origin" not in answer.headers
        connection.close()
    assert (devices["commands"](), loop.calls, listener.calls) == before


@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}", "LOCALHOST:{port}"])
def test_the_desks_own_names_are_answered(desk, host):
    host = host.format(port=desk.server_address[1])
    status, _ = call(desk, "GET", "/api/devices", headers={"Host": host, "Origin": "http://" + host})
    assert status == 200


CHANGES_REFUSED = [
    ({"Origin": "http://127.0.0.1:9"}, 403, "own page"),
    ({"Origin": "http://localhost:{port}"}, 403, "own page"),  # another site, though this machine
    ({"Origin": "null"}, 403, "own page"),
    ({"Origin": None}, 403, "unnamed origin"),
    ({"Origin": None, "Referer": "http://attacker.example/?http://127.0.0.1:{port}/"}, 403, "own page"),
    ({"Origin": None, "Referer": "http://127.0.0.1:{port}.attacker.example/"}, 403, "own page"),
    ({"Content-Type": "text/plain"}, 415, "application/json"),
    ({"Content-Type": "application/x-www-form-urlencoded"}, 415, "application/json"),
    ({"Content-Type": None}, 415, "without a Content-Type"),
    ({"X-Desk-Token": None}, 401, "link it printed"),
    ({"X-Desk-Token": "x"}, 401, "link it printed"),
    ({"Sec-Fetch-Site": "same-site"}, 403, "same-site request"),
    ({"Sec-Fetch-Site": "cross-site"}, 403, "cross-site request"),
]


@pytest.mark.parametrize("headers, status, error", CHANGES_REFUSED,
                         ids=["%d %s" % (case[1], sorted(case[0].items())) for case in CHANGES_REFUSED])
def test_a_change_from_anywhere_but_the_desks_page_reaches_no_device(desk, devices, headers, status,
                                                                    error):
    corvane, handle = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": False})
    loop, listener = desk_doubles.ServoLoop.made[-1], desk_doubles.HandleListener.made[-1]
    before = (devices["commands"](), list(loop.calls), list(listener.calls), desk.desk.log.last_seq)
    port = desk.server_address[1]
    headers = {name: value if value is None else value.format(port=port) for name, value in headers.items()}
    for method, path in [route for route in ROUTES if route[0] in ("POST", "PUT", "DELETE")]:
        path = path.format(corvane=corvane, handle=handle)
        got, answer = call(desk, method, path, body_for(path), headers=headers)
        assert (method, path, got, error in answer["error"]) == (method, path, status, True), answer
    assert (devices["commands"](), loop.calls, listener.calls, desk.desk.log.last_seq) == before


def test_a_referer_of_the_desk_does_when_there_is_no_origin(desk):
    port = desk.server_address[1]
    status, _ = call(desk, "POST", "/api/heartbeat", {},
                     headers={"Origin": None, "Referer": "http://127.0.0.1:%d/" % port})
    assert status == 200


def test_options_and_every_answer_allow_no_other_origin_and_no_framing(desk):
    connection = http.client.HTTPConnection(*desk.server_address[:2], timeout=10)
    connection.request("OPTIONS", "/api/devices/corvane-1/effects", headers={
        "Origin": "http://attacker.example", "Access-Control-Request-Method": "PUT",
        "Access-Control-Request-Headers": "content-type, x-desk-token"})
    answer = connection.getresponse()
    answer.read()
    assert answer.status == 204
    assert not [name for name in answer.headers if name.lower().startswith("access-control-")]
    for method, path in [("GET", "/"), ("GET", "/api/devices"), ("GET", "/nothing")]:
        connection = http.client.HTTPConnection(*desk.server_address[:2], timeout=10)
        connection.request(method, path, headers=own_headers(desk))
        answer = connection.getresponse()
        answer.read()
        policy = answer.getheader("Content-Security-Policy")
        assert "frame-ancestors 'none'" in policy and "default-src 'self'" in policy
        assert (answer.getheader("X-Frame-Options"), answer.getheader("X-Content-Type-Options"),
                answer.getheader("Referrer-Policy"), answer.getheader("Cache-Control")) == \
            ("DENY", "nosniff", "no-referrer", "no-store")


def test_a_terminal_that_is_no_device_port_is_refused(desk, devices, pty_pair, tmp_path):
    before = devices["commands"]()
    for port in (pty_pair.path, "/dev/tty", "/dev/null"):
        status, answer = call(desk, "POST", "/api/devices", {"kind": "handle", "port": port})
        assert (status, "is not a device port" in answer["error"]) == (403, True), answer
    # A link named like a device port, outside /dev, leads to the same terminal: still refused.
    link = tmp_path / "ttyACM0"
    link.symlink_to(pty_pair.path)
    status, answer = call(desk, "POST", "/api/devices", {"kind": "handle", "port": str(link)})
    assert status == 403
    assert pty_pair.drain() == b"" and devices["commands"]() == before


def test_ports_are_compared_by_device_number(pty_pair, tmp_path):
    from OrvexDesk.ports import PortRules
    from OrvexDesk.requests import Refused

    devices_dir = tmp_path / "dev"
    devices_dir.mkdir()
    (devices_dir / "ttyUSB3").symlink_to(pty_pair.path)  # as a udev rule might name it
    rules = PortRules(devices_dir=str(devices_dir))
    number = os.stat(pty_pair.path).st_rdev
    assert rules.check(pty_pair.path) == number
    assert rules.check(str(devices_dir / "ttyUSB3")) == number
    (devices_dir / "ttyUSB3").unlink()
    with pytest.raises(Refused):
        rules.check(pty_pair.path)
    rules.found([pty_pair.path])  # what a scan found
    assert rules.check(pty_pair.path) == number
    assert PortRules(allowed=[pty_pair.path], devices_dir=str(devices_dir)).check(pty_pair.path) == number


def test_simultaneous_opens_of_one_port_make_one_connection(desk, devices):
    def open_it(_):
        return call(desk, "POST", "/api/devices", {"kind": "corvane", "port": devices["corvane"]})[0]

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        statuses = sorted(pool.map(open_it, range(8)))
    assert statuses == [201] + [409] * 7
    assert devices["commands"]() == 1  # one wake-up
    assert [d["port"] for d in call(desk, "GET", "/api/devices")[1]["devices"]] == [devices["corvane"]]
    # Closed, the port may be opened again.
    assert call(desk, "DELETE", "/api/devices/corvane-1")[0] == 200
    assert open_it(0) == 201


@pytest.mark.parametrize("raw, error", [(b"[" * 30000 + b"]" * 30000, "deeper than"),
                                        (b'{"force": [' * 5 + b"0" + b"]" * 5 + b"}", "deeper than"),
                                        (b'{"force": [%s, 0, 0]}' % (b"1" * 5000), "number of 5000"),
                                        (b'{"force": [0.%s, 0, 0]}' % (b"1" * 100), "number of 102"),
                                        (b'{"force": [1e999999999999999999999999999999999999999999, 0, 0]}',
                                         "number of")])
def test_deep_nesting_and_huge_numbers_are_answered_400(desk, devices, raw, error):
    corvane, _ = opened(desk, devices)
    got, answer = call(desk, "PUT", "/api/devices/%s/effects" % corvane, raw=raw)
    assert got == 400 and error in answer["error"], answer


@pytest.mark.slow
def test_a_page_that_stops_reading_the_stream_is_dropped(desk, devices, monkeypatch):
    from OrvexDesk import connections, server

    monkeypatch.setattr(connections, "WRITE_TIMEOUT_S", 0.5)
    monkeypatch.setattr(server, "STREAM_SEND_BUFFER", 4096)
    opened(desk, devices)
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(desk.server_address[:2])
    stalled.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nX-Desk-Token: %s\r\n\r\n"
                    % (desk.server_address[1], desk.token.encode()))
    # Frames of about a kilobyte at 30 a second fill a few kilobytes of buffers within a second
    # or two; then a write times out and the desk hangs up.
    time.sleep(6)
    stalled.settimeout(5)
    received = 0
    while True:
        chunk = stalled.recv(65536)
        if not chunk:
            break
        received += len(chunk)
    stalled.close()
    assert 0 < received < 2 * 1024 * 1024


def test_event_streams_and_waiting_connections_are_capped(desk, monkeypatch):
    from OrvexDesk import connections, server

    streams = []
    for _ in range(server.MAX_EVENT_STREAMS):
        connection = http.client.HTTPConnection(*desk.server_address[:2], timeout=10)
        connection.request("GET", "/api/events", headers={"X-Desk-Token": desk.token})
        answer = connection.getresponse()
        assert answer.status == 200
        streams.append(answer)
    status, answer = call(desk, "GET", "/api/events")
    assert status == 503 and "already follow" in answer["error"]
    assert call(desk, "GET", "/api/devices")[0] == 200  # requests still have their workers
    for answer in streams:
        answer.close()

    # Connections that send half a request cost no thread and are closed when their time is up.
    monkeypatch.setattr(connections, "REQUEST_TIME_S", 0.5)
    threads = threading.active_count()
    idle = [socket.create_connection(desk.server_address[:2]) for _ in range(200)]
    for sock in idle[::2]:
        sock.sendall(b"POST /api/scan HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\n{")
    assert threading.active_count() <= threads
    assert call(desk, "GET", "/api/devices")[0] == 200
    for sock in idle:
        sock.settimeout(5)
        assert sock.recv(100) == b""  # closed by the desk, unanswered
        sock.close()


@pytest.mark.parametrize("listen, host, allowed", [
    ("127.0.0.1", "127.0.0.1:8765", True), ("127.0.0.1", "[::1]:8765", True),
    ("127.0.0.1", "localhost:8765", True), ("127.0.0.1", "127.0.0.1", False),
    ("127.0.0.1", "127.0.0.1:8766", False), ("127.0.0.1", "192.168.1.20:8765", False),
    ("127.0.0.1", "127.0.0.1:8765@attacker.example", False), ("127.0.0.1", "127.0.0.1:x", False),
    ("192.168.1.20", "192.168.1.20:8765", True), ("192.168.1.20", "192.168.1.21:8765", False),
    ("arm-bench.lan", "ARM-BENCH.LAN:8765", True), ("arm-bench.lan", "other.lan:8765", False),
    # On every address: any address literal, but no name a rebinding attack could control.
    ("0.0.0.0", "10.0.0.7:8765", True), ("::", "[fe80::1]:8765", True),
    ("0.0.0.0", "desk.attacker.example:8765", False), ("0.0.0.0", "10.0.0.7.nip.io:8765", False),
])
def test_the_hosts_a_desk_answers_to(listen, host, allowed):
    from OrvexDesk.guard import Guard

    from OrvexDesk.pages import Pages

    assert Guard(listen, 8765, Pages(announce=print)).host_allowed(host) is allowed


BAD_INPUT = [
    ("PUT", "/api/devices/{corvane}/effects", {"shapes": [dict(SPHERE, kind=["sphere"])]}, 400,
     "shapes[0].kind must be one of"),
    ("PUT", "/api/devices/{corvane}/effects", {"shapes": [dict(SPHERE, kind={"a": 1})]}, 400,
     "shapes[0].kind must be one of"),
    ("POST", "/api/devices", {"kind": "handle", "port": "/dev/tty\u0000ACM0"}, 400, "NUL"),
    ("POST", "/api/devices", {"kind": "handle", "port": "/dev/\ud800"}, 400, "lone surrogate"),
    ("POST", "/api/devices", {"kind": ["corvane"], "port": "/dev/ttyACM0"}, 400, "kind must be"),
    ("POST", "/api/devices/{handle}/state", {"user_data": "\ud800"}, 400, "lone surrogate"),
    ("POST", "/api/devices/{handle}/state", {"user_data": "a\u0000b", "\udfff": 1}, 400,
     "has no field"),
    ("PUT", "/api/devices/{corvane}/effects", {"force": [5.000000000000001, 0, 0]}, 422,
     "5.000000000000001 N is above the loop's limit of 5 N"),
    ("PUT", "/api/devices/{corvane}/effects", {"wall": {"stiffness": 5000.000000000001}}, 400,
     "wall.stiffness must lie between 0 and 5000, not 5000.000000000001"),
    ("GET", "/assets/" + "a" * 300, None, 404, "no such asset"),
    ("GET", "/" + "a" * 300, None, 404, "no such thing"),
    ("GET", "/api/" + "%C3%A9" * 1000, None, 414, "longer than any"),
    ("PATCH", "/api/devices", {}, 501, "Unsupported method"),
]


@pytest.mark.parametrize("method, path, body, status, error", BAD_INPUT,
                         ids=["%s %s %d" % (case[0], case[1][:30], case[3]) for case in BAD_INPUT])
def test_bad_input_is_a_4xx_naming_the_problem_and_no_path_of_the_desk(desk, devices, capfd,
                                                                    method, path, body, status,
                                                                    error):
    corvane, handle = opened(desk, devices)
    before = devices["commands"]()
    raw = None if body is None else json.dumps(body).replace("\\\\", "\\").encode()
    got, answer = call(desk, method, path.format(corvane=corvane, handle=handle), raw=raw)
    assert (got, error in answer["error"]) == (status, True), answer
    assert "OrvexDesk/" not in answer["error"] and "Traceback" not in answer["error"]
    assert devices["commands"]() == before
    assert capfd.readouterr().err == ""


def test_a_request_line_that_long_costs_one_short_answer_and_no_line(desk, capfd):
    with socket.create_connection(desk.server_address[:2]) as sock:
        sock.sendall(b"GET /assets/" + b"a" * 20000 + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        sock.settimeout(5)
        answer = b""
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            answer += chunk
    assert answer.split(b"\r\n")[0].split()[1] in (b"414", b"404") and len(answer) < 2000
    assert len(capfd.readouterr().err.splitlines()) <= 1


def test_a_loop_waiting_for_its_device_is_not_stalled(desk, devices, monkeypatch):
    from OrvexDesk import corvane_session

    monkeypatch.setattr(corvane_session, "STALL_S", 0.3)
    monkeypatch.setattr(corvane_session, "STALL_SAMPLES", 3)
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    assert loop.options["reconnect"] is True
    loop.connected = False
    time.sleep(1.0)
    device = call(desk, "GET", "/api/devices")[1]["devices"][0]
    assert (device["running"], device["stalled"]) == (True, False)
    assert ("stop",) not in loop.calls


def test_a_stalled_loop_shows_as_stalled_and_is_stopped(desk, devices, monkeypatch):
    from OrvexDesk import corvane_session

    monkeypatch.setattr(corvane_session, "STALL_S", 0.3)
    monkeypatch.setattr(corvane_session, "STALL_SAMPLES", 3)
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    loop = desk_doubles.ServoLoop.made[-1]
    time.sleep(0.5)
    assert call(desk, "GET", "/api/devices")[1]["devices"][0]["stalled"] is False  # cycles move
    loop.hung = True
    deadline = time.monotonic() + 5
    while ("stop",) not in loop.calls and time.monotonic() < deadline:
        time.sleep(0.05)
    device = call(desk, "GET", "/api/devices")[1]["devices"][0]
    assert (device["running"], device["stalled"], device["stop_reason"]) == (False, True, "stalled")
    assert any("servo loop stalled" in entry["text"] for entry in desk.desk.log.after(0))
    # Once stopped, the loop starts again.
    assert call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})[0] == 200
    assert call(desk, "GET", "/api/devices")[1]["devices"][0]["stalled"] is False


def test_a_loop_that_ended_by_itself_is_stopped_before_a_new_one_starts(desk, devices):
    """A loop that lost its device keeps its port until stopped: a new loop would be refused it."""
    corvane, _ = opened(desk, devices)
    call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})
    ended = desk_doubles.ServoLoop.made[-1]
    ended.running, ended.stop_reason = False, "device lost"
    assert call(desk, "POST", "/api/devices/%s/loop" % corvane, {"running": True})[0] == 200
    assert ended.calls[-1] == ("stop",) and desk_doubles.ServoLoop.made[-1] is not ended


def run_desk(*arguments, timeout=20):
    return subprocess.run([sys.executable, "-m", "OrvexDesk", "--port", "0", *arguments],
                          env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)), capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("host", ["0.0.0.0", "::", "192.0.2.7", "arm-bench.lan"])
def test_another_host_only_with_tls_or_a_warning(host):
    refused = run_desk("--host", host)
    assert refused.returncode == 2 and "--tls CERT KEY" in refused.stderr
    assert "--insecure-http" in refused.stderr


def test_a_wildcard_host_prints_a_reachable_address_and_warns_of_clear_text(tmp_path):
    desk = subprocess.Popen([sys.executable, "-m", "OrvexDesk", "--port", "0", "--host", "0.0.0.0",
                             "--insecure-http"], env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        link = desk.stdout.readline()
        warning = desk.stderr.readline()
    finally:
        desk.terminate()
        desk.wait(timeout=10)
    assert "open http://" in link and "0.0.0.0" not in link and "#code=" in link
    assert "warning" in warning and "clear" in warning or "read the session token" in warning


def test_tls_serves_the_page_and_its_interface(tmp_path):
    ssl = pytest.importorskip("ssl")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                           "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                          capture_output=True)
    if made.returncode != 0:
        pytest.skip("no openssl to make a certificate")
    desk = subprocess.Popen([sys.executable, "-m", "OrvexDesk", "--port", "0", "--tls", str(cert),
                             str(key)], env=dict(os.environ, PYTHONPATH=str(MODULE_DIR)),
                            stdout=subprocess.PIPE, text=True)
    try:
        link = desk.stdout.readline().split("open ", 1)[1].strip()
        assert link.startswith("https://127.0.0.1:")
        port, code = int(link.split(":")[2].split("/")[0]), link.split("#code=")[1]
        context = ssl.create_default_context(cafile=str(cert))
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=context)
        connection.request("POST", "/api/session", body=json.dumps({"code": code}), headers={
            "Origin": "https://127.0.0.1:%d" % port, "Content-Type": "application/json"})
        answer = connection.getresponse()
        session = json.loads(answer.read())
        assert answer.status == 201, session
        connection.request("GET", "/api/devices", headers={"X-Desk-Token": session["token"]})
        answer = connection.getresponse()
        assert (answer.status, json.loads(answer.read())["devices"]) == (200, [])
        # Plain HTTP on the TLS port gets nothing.
        with socket.create_connection(("127.0.0.1", port), timeout=5) as plain:
            plain.sendall(b"GET / HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            try:
                reply = plain.recv(1000)
            except ConnectionResetError:
                reply = b""
            assert b"200 OK" not in reply
    finally:
        desk.terminate()
        desk.wait(timeout=10)
