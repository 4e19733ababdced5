#!/usr/bin/env python3
"""Writes the fuzzers' seed files in this folder, one sub-folder per fuzzer.

The counts the wire formats carry (values per X-Plane pass, variables per
SimConnect sample) are read from the program's tables, so after a change to
them one run of this script brings the seeds along:
    python3 fuzz/corpus/make_seeds.py          # write the seeds
    python3 fuzz/corpus/make_seeds.py --check  # fail if a seed differs
"""
import pathlib
import re
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
SRC = HERE.parent.parent / "src"


def table_length(header, pattern):
    text = (SRC / header).read_text(encoding="utf-8")
    match = re.search(pattern, text, re.S)
    if not match:
        sys.exit(f"make_seeds: cannot find the table in src/{header}")
    return match.group(1)


VALUE_COUNT = len(re.findall(r'"[a-z]+"', table_length("state/live_state.h", r"VALUE_NAMES\{(.*?)\}")))
MSFS_VARIABLE_COUNT = table_length("msfs/msfs_feed.h", r"MSFS_VARIABLES\{(.*?)\n\};").count("SimVariable{")


def http_request():
    # First byte: how many read sizes follow; then the sizes; then the bytes.
    return {
        "bad_utf8": b"\x00GET /\xc0\xaf HTTP/1.1\r\n\r\n",
        "empty_line": b"\x00\r\n",
        "failed_read": b"\x02\n\x00GET /state HTTP/1.1\r\n",
        "get_state": b"\x00GET /state HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "lan_key": b"\x00GET /stream?v=2&key=0123456789abcdef HTTP/1.1\r\nHost: 10.0.0.2:49080\r\n\r\n",
        "long_line": b"\x02\xff\xffGET /" + b"a" * 8300 + b" HTTP/1.1\r\n\r\n",
        "map_headers": b"\x00GET /map HTTP/1.1\r\nHost: 127.0.0.1:49080\r\naccept-encoding: br, gzip;q=0\r\n"
        b"If-None-Match: W/\"abc\", \"def\"\r\nIf-None-Match: *\r\n\r\n",
        "map_traversal": b"\x01\x09GET /map/%2e%2e/leaflet/../leaflet/leaflet.js HTTP/1.1\r\n\r\n",
        "track_since": b"\x03\x05\x09\x02GET /track?since=1700000000000&key=x HTTP/1.1\r\nHost: a\r\n\r\n",
        "many_headers": b"\x01\xffGET / HTTP/1.1\r\n" + b"X: y\r\n" * 120 + b"\r\n",
        "no_line_feed": b"\x00GET /state",
        "options": b"\x01\x07OPTIONS /anything HTTP/1.1\r\nOrigin: https://map.example\r\n\r\n",
        "stream_split": b"\x04\x01\x02\x03\x05GET /stream?x=1 HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n",
        "unicode_space": b"\x02\x04\x01GET\xe3\x80\x80/state\xc2\xa0HTTP/1.1\n\n",
    }


def number():
    as_float = lambda v: struct.unpack("<f", struct.pack("<f", v))[0]
    values = [250.0, -0.0, 0.1, 1e21, 1e-7, 5e-324, struct.unpack("<f", b"\xff\xff\x7f\x7f")[0], as_float(47.462)]
    return {f"seed{i}": struct.pack("<d", v) for i, v in enumerate(values)}


def simconnect_message():
    def message(values, size_field=None, request=1, size=None):
        values = list(values) + [0.0] * (MSFS_VARIABLE_COUNT - len(values))
        body = struct.pack("<10I", 0, 1, 8, request, 0, 1, 0, 1, 1, MSFS_VARIABLE_COUNT)
        body += struct.pack(f"<{MSFS_VARIABLE_COUNT}d", *values)
        size = len(body) if size is None else size
        body = (body + b"\x00" * size)[:size]
        return struct.pack("<I", size if size_field is None else size_field) + body[4:]

    def quit_message(size):
        return (struct.pack("<3I", size, 1, 3))[:size]

    flight = [47.5, 8.25, 1000, 90, 100, 100, -500, 10]  # the values in order, then "on ground"
    full = message(flight)
    return {
        "lying_size": message(flight, size_field=0xFFFFFFFF),
        "nan_values": message([float("nan")] * MSFS_VARIABLE_COUNT),
        "near_zero": message([0.005, -0.009] + flight[2:]),
        "other_request": message(flight, request=2),
        "quit": quit_message(12),
        "sample": full,
        "sample_padded": message(flight, size=len(full) + 88),
        "short_sample": message(flight, size=len(full) - 1),
        "too_short": struct.pack("<I", 11) + quit_message(12)[4:11],
        "traffic": traffic_message(b"HB-ABC", b"TT:ATCCOM.AC_MODEL_B738.0.text"),
        "traffic_user": traffic_message(b"USER", b"C172", user=1.0),
        "traffic_unterminated": traffic_message(b"\x07" * 32, b"M" * 32),
    }


def traffic_message(atc_id, model, user=0.0):
    numbers = struct.pack("<8d", 47.6, 8.3, 3000, 180, 120, 0, 0, user)
    texts = (atc_id + b"\x00" * 32)[:32] + (model + b"\x00" * 32)[:32]
    body = struct.pack("<10I", 0, 1, 9, 3, 7, 2, 0, 1, 1, 10) + numbers + texts
    return struct.pack("<I", len(body)) + body[4:]


def xplane_reply():
    def reply(records, head=b"RREF"):
        return head + b"," + b"".join(struct.pack("<If", index, value) for index, value in records)

    return {
        "all_values": reply((i, 1.5 * i) for i in range(VALUE_COUNT)),
        "bad_index": reply([(VALUE_COUNT, 1.0), (0xFFFFFFFF, 2.0), (0, 47.5)]),
        "empty": b"",
        "four_bytes": b"RREF",
        "head_only": b"RREF\x00",
        "lat_lon": reply([(0, 47.5), (1, 8.25)]),
        "nan_inf": reply([(0, float("nan")), (1, float("inf"))]),
        "partial_tail": reply([(0, 47.5), (1, 0.0)])[:-1],
        "wrong_head": reply([(0, 1.0)], head=b"RREX"),
        # Traffic slots from index 1000, 19 records each: Mode S id, position, then the texts' bytes.
        "tcas_slot": reply([(1000, 0x4B1A2C), (1001, 47.5), (1002, 8.5), (1003, 500), (1008, 83), (1009, 1)]),
        "tcas_new_owner": reply([(1019, 5), (1020, 47.0), (1021, 8.0), (1019, 6), (1020, float("nan"))]),
    }


def plan_reader():
    waypoints = '{"waypoints":[{"name":%s,"lat":%s,"lon":%s%s}]}'
    return {
        "good": b'{"name":"KSEA to KPDX","waypoints":[{"name":"KSEA","lat":47.449,"lon":-122.309,"alt":130},'
        b'{"name":"KPDX","lat":45.5887,"lon":-122.5975}]}',
        "escapes": (waypoints % (r'"Z\u00fcrich \"K\/1\" \\ \ud83d\udce1"', "-90", "180", ',"alt":-1e3')).encode(),
        "broken": b'{"waypoints":[{"name":"A","lat":1,"lon":2}]',
        "unknown_field": (waypoints % ('"Z\u00fcrich"', "90.000001", "1e999", ',"type":1')).encode(),
    }


def announcement():
    return {
        "foreflight": b'{"App":"ForeFlight","GDL90":{"port":4000}}',
        "more_members": b' {"GDL90":{"port":4001,"v":[1,2.5e3,null]},"App":"ForeFlight","x":{"y":"\\u00e9"}}\n',
        "deep": b'{"App":"ForeFlight","GDL90":{"port":4000},"z":' + b"[" * 40 + b"]" * 40 + b"}",
    }


def main():
    check = sys.argv[1:] == ["--check"]
    differ = []
    for fuzzer in (announcement, http_request, number, plan_reader, simconnect_message, xplane_reply):
        folder = HERE / fuzzer.__name__
        for name, data in fuzzer().items():
            path = folder / name
            if check:
                if not path.is_file() or path.read_bytes() != data:
                    differ.append(str(path.relative_to(HERE)))
            else:
                folder.mkdir(exist_ok=True)
                path.write_bytes(data)
    if differ:
        sys.exit("make_seeds: seeds differ from the generator (run python3 fuzz/corpus/make_seeds.py): " + ", ".join(differ))


if __name__ == "__main__":
    main()
