#!/usr/bin/env python3
"""Writes the hand-made inputs of this folder: each pins an edge a harness checks.

usage: tests/fuzz/regressions/make_boundaries.py   (rewrites the files it names, no others)
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

TRACK_RECORD_SIZE = 2109
COURSE_SIZE = 2016
NAN = b"\x7f\xc0\x00\x00"  # a quiet NaN, big-endian as the image stores floats
INF = b"\x7f\x80\x00\x00"


def write(harness, name, data):
    folder = os.path.join(HERE, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(bytes(data))


# ---- container: "QUINTARA", 25 1-based positions (LE32), each entry a LE32 length and bytes ----

def container(lengths, positions=None):
    table_end = 8 + 4 * 25
    body = b""
    starts = []
    for length in lengths:
        starts.append(table_end + len(body) + 1)
        body += struct.pack("<i", length) + bytes([0x5A]) * max(length, 0)
    positions = positions or starts
    return b"QUINTARA" + b"".join(struct.pack("<I", p & 0xFFFFFFFF) for p in positions) + body


ones = [1] * 25
plain = container(ones)
write("container", "table_points_past_the_end",
      container(ones, [p if i < 24 else len(plain) + 1 for i, p in enumerate(
          [109 + 5 * k for k in range(25)])]))
write("container", "last_length_one_past_the_end", plain[:-5] + struct.pack("<i", 2) + b"\x5A")
write("container", "position_zero", container(ones, [0] + [109 + 5 * k for k in range(1, 25)]))
write("container", "position_inside_the_table",
      container(ones, [9] + [109 + 5 * k for k in range(1, 25)]))
write("container", "negative_length", plain[:109 - 1] + struct.pack("<i", -5) + plain[109 + 3:])
write("container", "table_cut_short", plain[:8 + 4 * 10])
write("container", "zero_length_entry", container([0] + [1] * 24))


# ---- track record: 2,109 bytes, then track, region and 1-based position ----

def record(name=b"EDGE", params=(), block=bytes(COURSE_SIZE)):
    data = bytearray(TRACK_RECORD_SIZE)
    data[0:len(name)] = name
    data[44] = 1
    for k, (code, value) in enumerate(params):
        slot = 45 + 8 * k
        data[slot + 1] = code
        data[slot + 4:slot + 8] = value
    data[93:93 + COURSE_SIZE] = block
    return data


write("track_record", "one_byte_short", record()[:-1])
write("track_record", "choices_one_byte_short", record() + bytes([1, 0]))
write("track_record", "parameter_not_a_number", record(params=[(3, NAN)]) + bytes([1, 0, 1]))
write("track_record", "parameter_infinite", record(params=[(2, INF), (3, NAN)]) + bytes([5, 2, 1]))
write("track_record", "track_25", record() + bytes([25, 0, 1]))
write("track_record", "unknown_region", record() + bytes([7, 3, 1]))
write("track_record", "position_0", record() + bytes([1, 0, 0]))
# The file holds the whole input: a record at position 4 ends at its last byte.
write("track_record", "position_last_that_fits", record() + bytes([1, 0, 4]))
write("track_record", "position_one_past", record() + bytes([1, 0, 5]))
write("track_record", "name_without_end", record(name=b"N" * 44) + bytes([2, 1, 1]))


# ---- course: a 2,016-byte block; count at 1, 64 points of 20 bytes from 0x20 ----

def course(count, points):
    block = bytearray(COURSE_SIZE)
    block[1] = count
    for i, (x, y, z) in enumerate(points):
        at = 0x20 + 20 * i
        block[at:at + 12] = x + y + z
        block[at + 12:at + 16] = struct.pack(">hh", 100, 100)
    return block


def f(value):
    return struct.pack(">f", value)


square = [(f(0), f(0), f(0)), (f(900), f(0), f(0)), (f(900), f(0), f(900)), (f(0), f(0), f(900))]
write("course", "nan_x", course(4, [(NAN, f(0), f(0))] + square[1:]))
write("course", "infinite_z", course(4, square[:2] + [(f(900), f(0), INF)] + square[3:]))
write("course", "count_past_the_arrays", course(0x7F, square))
write("course", "negative_count", course(0x80, square))
write("course", "one_byte_short", course(4, square)[:-1])
write("course", "one_byte_long", course(4, square) + b"\xFF")


# ---- identify: byte 0 chooses the size (0 the bytes, 1 the image's, 2 one less, 3 one more) ----

header = bytes([0x80, 0x37, 0x12, 0x40]) + bytes(0x3C)
write("identify", "one_byte_short", bytes([2]) + header)
write("identify", "one_byte_long", bytes([3]) + header)
write("identify", "header_alone", bytes([0]) + header)
write("identify", "image_size_of_zeros", bytes([1]))


# ---- tables: flags (region, V64, cut), where to cut, then the seven areas ----

write("tables", "cut_at_the_first_byte", bytes([0x08, 0x00, 0x00]))
write("tables", "cut_past_every_area", bytes([0x08 | 0x04 | 0x03, 0xFF, 0xFF]) + bytes([0xFF]) * 64)
write("tables", "pools_without_ends", bytes([0x01, 0x00, 0x00]) + bytes([0x41]) * 1024)


# ---- checksum: an image's first bytes, in any byte order ----

for order, magic in (("z64", b"\x80\x37\x12\x40"), ("v64", b"\x37\x80\x40\x12"),
                     ("n64", b"\x40\x12\x37\x80")):
    write("checksum", order + "_magic_alone", magic)
    write("checksum", order + "_boot_code_one_short", magic + bytes(0x1000 - 1 - len(magic)))


# ---- checksum update: order | variant << 2 | extra << 5, then the image's first bytes ----

write("checksum_update", "every_flag", bytes([0xFF]) + header)
write("checksum_update", "unknown_variant_detected", bytes([0x18]) + header)
write("checksum_update", "flags_alone", bytes([0x07]))


# ---- pack source: a course as readable text ----

def text(points):
    return ('{"venue": "city", "skybox": "blue", "points": [' + ", ".join(points) + "]}").encode()


def point(x="0", y="0", z="0", shape="road"):
    return ('{"x": %s, "y": %s, "z": %s, "left": 100, "right": 100, "shape": "%s", "style": 0}'
            % (x, y, z, shape))


four = [point(), point(x="900"), point(x="900", z="900"), point(z="900")]
write("pack_source", "nan_literal", text([point(x="NaN")] + four[1:]))
write("pack_source", "beyond_single_precision", text([point(x="1e39")] + four[1:]))
write("pack_source", "beyond_double_precision", text([point(y="1e400")] + four[1:]))
write("pack_source", "width_beyond_16_bits", text(four[:3] + [
    '{"x": 0, "y": 0, "z": 900, "left": 40000, "right": 100, "shape": "road", "style": 0}']))
write("pack_source", "sixty_five_points", text([point(x=str(10 * i)) for i in range(65)]))
write("pack_source", "nested_deep", b"[" * 200 + b"]" * 200)
write("pack_source", "not_utf8", text([point()]).replace(b"city", b"c\xffty"))
