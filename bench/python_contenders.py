"""The Python contenders: the module's end_effector_force and Handle.Receive, and the exchange a
user would otherwise write with pyserial and struct. Their rounds are timed as the C++ ones are."""

import struct
import time

# What the stand-in devices send (bench/common/BenchWire.h): a force f is answered with position f
# and velocity -f; the handle streams status messages of device 300 with the user data 1, 2, 3, 4.
FORCE_CODE = 42
STATE_CODE = 43
STATE_REPLY_SIZE = 25
HANDLE_DEVICE_ID = 300
STATUS_USER_DATA = [1, 2, 3, 4]
STATUS_BODY_SIZE = 21 + len(STATUS_USER_DATA)

# More attempts than one second of pauses holds, so that a silent device cannot hang the bench.
MAX_ATTEMPTS = 10000
PAUSE_S = 100e-6


def timed_round(name, exchanges, exchange):
    """n exchanges in a row, each timed, with the process's CPU time over the round."""
    clock = time.perf_counter_ns
    latencies = [0] * exchanges
    mismatches = 0
    cpu_before = time.process_time_ns()
    wall_before = clock()
    for i in range(exchanges):
        start = clock()
        matched = exchange(i)
        latencies[i] = clock() - start
        if not matched:
            mismatches += 1
    wall_ns = clock() - wall_before
    cpu_ns = time.process_time_ns() - cpu_before
    return {"contender": name, "exchanges": exchanges, "wall_ns": wall_ns, "cpu_ns": cpu_ns,
            "allocations": None, "mismatches": mismatches, "latencies_ns": latencies}


class LibraryCorvane:
    name = "library_python"

    def __init__(self, orvex, port):
        self._stream = orvex.SerialStream(port)
        self._corvane = orvex.Corvane(self._stream)

    def exchange(self, i):
        x = float(i)
        position, velocity = self._corvane.end_effector_force([x, 1.0, 2.0])
        return position[0] == x and velocity[0] == -x


class PeerPyserial:
    """The same exchange as a user would write it without the module."""

    name = "peer_pyserial"

    def __init__(self, serial, port):
        self._port = serial.Serial(port, 115200, timeout=0)
        self._command = struct.Struct("<B3f")
        self._reply = struct.Struct("<B6f")

    def exchange(self, i):
        x = float(i)
        port = self._port
        port.write(self._command.pack(FORCE_CODE, x, 1.0, 2.0))
        reply = port.read(STATE_REPLY_SIZE)
        attempts = 1
        while len(reply) < STATE_REPLY_SIZE and attempts < MAX_ATTEMPTS:
            time.sleep(PAUSE_S)
            reply += port.read(STATE_REPLY_SIZE - len(reply))
            attempts += 1
        if len(reply) < STATE_REPLY_SIZE:
            return False
        code, *values = self._reply.unpack(reply)
        position, velocity = list(values[:3]), list(values[3:])
        return code == STATE_CODE and position[0] == x and velocity[0] == -x


def checking_handle_class(orvex):
    """A Handle subclass whose status callback checks what it was handed."""

    class CheckingHandle(orvex.Handle):
        status_matched = False

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag,
                                         hall_effect_sensor_level, user_data_length, user_data):
            self.status_matched = (device_id == HANDLE_DEVICE_ID and len(quaternion) == 4
                                   and user_data == STATUS_USER_DATA)

    return CheckingHandle


class LibraryHandle:
    name = "handle_receive_python"

    def __init__(self, orvex, port):
        self._stream = orvex.SerialStream(port)
        self._handle = checking_handle_class(orvex)(self._stream)

    def exchange(self, i):
        handle = self._handle
        handle.status_matched = False
        return handle.Receive() == STATUS_BODY_SIZE and handle.status_matched
