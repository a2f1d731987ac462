"""Reading recordings back by column name.

A recording is a .csv file (a header line of column names) or a .npy file (float64 rows), with a
JSON sidecar of the same name plus ".json" that holds its column names, its clock, the wall-clock
anchor taken at its start, and its marks. Recordings made before the sidecar existed have none:
their columns are then the first ones of today's servo-loop rows (15 of them) or a handle
listener's (16), and they load all the same.
"""

import json
import os

# The columns of recordings older than their sidecars, by their count.
_OLD_COLUMNS = {
    15: ("time", "x", "y", "z", "vx", "vy", "vz", "fx", "fy", "fz", "exchange_us",
         "proxy_x", "proxy_y", "proxy_z", "cycle"),
    16: ("time", "kind", "device_id", "q0", "q1", "q2", "q3", "error_flag", "hall",
         "user_data_length", "tool_data_remaining", "model", "hardware", "firmware",
         "error_code", "message"),
}


def describe(path):
    """The recording's sidecar as a dict ({"columns", "clock", "anchor", "marks"}), or None for a
    recording without one."""
    try:
        with open(os.fspath(path) + ".json", encoding="utf-8") as sidecar:
            return json.load(sidecar)
    except FileNotFoundError:
        return None


def _columns(path, count, header=None):
    described = describe(path)
    if described is not None:
        names = tuple(described["columns"])
    elif header is not None:
        names = tuple(header)
    else:
        names = _OLD_COLUMNS.get(count)
    if names is None or len(names) != count:
        raise ValueError("%s: %d columns, and no sidecar names them" % (os.fspath(path), count))
    return names


def load(path, frame=False):
    """The recording's rows as a numpy structured array whose fields are its column names (all
    float64): rows["time"], rows["fx"], ... With frame=True, a pandas DataFrame instead."""
    import numpy

    name = os.fspath(path)
    if name.endswith(".npy"):
        values = numpy.load(name)
        if values.ndim != 2:
            raise ValueError("%s: a recording is a table of rows" % name)
        names = _columns(name, values.shape[1])
    elif name.endswith(".csv"):
        with open(name, encoding="utf-8") as text:
            header = text.readline().strip().split(",")
        values = numpy.loadtxt(name, delimiter=",", skiprows=1, ndmin=2)
        if values.size == 0:
            values = values.reshape(0, len(header))
        names = _columns(name, values.shape[1], header)
    else:
        raise ValueError("a recording's path ends in .csv or .npy")
    rows = numpy.empty(values.shape[0], dtype=[(column, "<f8") for column in names])
    for index, column in enumerate(names):
        rows[column] = values[:, index]
    if frame:
        import pandas
        return pandas.DataFrame(rows)
    return rows
