"""The desk's hand route under --emulate: the page's requests reach the emulator's hand, bad ones
are refused naming the field, only the page holding the hand's Corvane moves it, and a desk
without an emulator has no hand."""

import threading

import pytest

from test_desk import call


@pytest.fixture
def serve():
    from OrvexDesk.desk import Desk
    from OrvexDesk.pages import Pages
    from OrvexDesk.server import DeskServer

    started = []

    def start(hand):
        pages = Pages(announce=lambda code: None)
        allowed = [hand.port] if hand is not None else []
        server = DeskServer(("127.0.0.1", 0), Desk(max_force=5.0, allowed_ports=allowed), pages)
        server.pages = pages
        server.token = pages.exchange(pages.code).token
        server.hand = hand
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
        thread.start()
        started.append((server, thread))
        return server

    yield start
    for server, thread in started:
        server.shutdown()
        server.server_close()
        server.desk.shutdown()
        thread.join()
        if server.hand is not None:
            server.hand.close()


@pytest.fixture
def unopened(serve, emulator, tmp_path, monkeypatch):
    """A desk whose hand holds an emulated Corvane that the desk has not opened; its loops are
    doubles."""
    import desk_doubles
    from OrvexDesk import corvane_session
    from OrvexDesk.hand import EmulatedHand

    monkeypatch.setattr(corvane_session, "haptics", desk_doubles.module())
    running = emulator("--corvane", "--control", str(tmp_path / "hand.sock"))
    return serve(EmulatedHand(str(tmp_path / "hand.sock"), running.path(0)))


@pytest.fixture
def held(unopened):
    """The same desk with its Corvane opened, held by the page of `token`."""
    status, _ = call(unopened, "POST", "/api/devices", {"kind": "corvane", "port": unopened.hand.port})
    assert status == 201
    return unopened


def test_a_desk_without_an_emulator_has_no_hand(serve):
    server = serve(None)
    assert call(server, "GET", "/api/hand") == (200, {"available": False})
    status, answer = call(server, "POST", "/api/hand", {"move_to": [0, 0, 0]})
    assert (status, "started with --emulate" in answer["error"]) == (404, True)


def test_the_page_moves_the_hand_and_lets_go(held):
    assert call(held, "GET", "/api/hand") == (200, {"available": True})
    status, truth = call(held, "POST", "/api/hand", {"move_to": [0.01, 0, 0]})
    assert status == 200 and truth["holding"] and truth["hand_force"][0] > 0
    status, truth = call(held, "POST", "/api/hand", {"release": True})
    assert status == 200 and not truth["holding"] and truth["hand_force"] == [0, 0, 0]


def test_only_the_page_holding_the_corvane_moves_its_hand(held):
    other_token = held.pages.exchange(held.pages.code).token
    status, answer = call(held, "POST", "/api/hand", {"move_to": [0.01, 0, 0]},
                          headers={"X-Desk-Token": other_token})
    assert status == 409 and "held by another page" in answer["error"], answer
    assert call(held, "POST", "/api/hand", {"move_to": [0.01, 0, 0]})[0] == 200


def test_the_hand_of_a_corvane_not_open_on_the_desk_is_refused(unopened):
    status, answer = call(unopened, "POST", "/api/hand", {"move_to": [0.01, 0, 0]})
    assert status == 409 and "not open on the desk" in answer["error"], answer


@pytest.mark.parametrize("body, error", [
    ({"move_to": [0.5, 0, 0]}, "move_to[0] must lie between -0.2 and 0.2"),
    ({"move_to": [0, 0]}, "move_to must be a list of three numbers"),
    ({"release": "yes"}, "release must be true or false"),
    ({"shove": [1, 0, 0]}, "a hand request has no field shove"),
    ({}, "holds move_to or release"),
], ids=["far", "short", "release", "unknown", "empty"])
def test_bad_hand_requests_are_refused_naming_the_field(held, body, error):
    status, answer = call(held, "POST", "/api/hand", body)
    assert (status, error in answer["error"]) == (400, True), answer
    assert call(held, "POST", "/api/hand", {"release": True})[1]["holding"] is False
