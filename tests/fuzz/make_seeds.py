#!/usr/bin/env python3
"""Writes the hand-made seed inputs of fuzz_passes into tests/fuzz/corpus.

Each seed is one face in the target's fixed input layout (see the comment at
the top of passes_fuzz.cpp): a frame-size byte, four band bytes, then three
corners of x, y, depth and normal, each a kind byte and its raw bytes.
"""
import os
import struct

RAW, NEAR, SPECIAL, COPY, FROM_FLOAT, FAR = 0, 1, 2, 3, 4, 5  # coordinate kinds
D_RAW, D_SMALL, D_SPECIAL, D_COPY = 0, 1, 2, 3                 # depth kinds
N_RAW, N_UNIT, N_ZERO, N_TOWARDS_VIEWER, N_SPECIAL = 0, 1, 2, 3, 4  # normal kinds

F64x48, F30x22, F2x2 = 0, 2, 3


def coord(value, kind=RAW):
    if kind == FROM_FLOAT:
        return bytes([kind]) + struct.pack('<f', value)
    if kind == RAW:
        return bytes([kind]) + struct.pack('<hH', value, 0)
    return bytes([kind]) + struct.pack('<I', value)


def depth(value, kind=D_RAW):
    if kind == D_RAW:
        return bytes([kind]) + struct.pack('<f', value)
    return bytes([kind]) + struct.pack('<I', value)


def normal(x=0.0, y=0.0, z=-1.0, kind=N_RAW):
    if kind == N_RAW:
        return bytes([kind]) + struct.pack('<fff', x, y, z)
    return bytes([kind]) + struct.pack('<III', *(int(v) & 0xFFFFFFFF for v in (x, y, z)))


def corner(x, y, d=0.0, n=None):
    x = x if isinstance(x, bytes) else coord(x)
    y = y if isinstance(y, bytes) else coord(y)
    d = d if isinstance(d, bytes) else depth(d)
    return x + y + d + (n or normal())


def seed(frame, band, corners):
    data = bytes([frame]) + bytes(band) + b''.join(corners)
    assert len(data) == 89, len(data)
    return data


inf, nan = float('inf'), float('nan')
seeds = {
    # A plain face inside the frame, across both workers' bands.
    'plain_face': seed(F64x48, [0, 48, 0, 64], [
        corner(8, 0, 10.0, normal(0.0, 0.6, -0.8)),
        corner(48, 32, 20.0, normal(0.6, 0.0, -0.8)),
        corner(0, 40, 0.0)]),
    # Corners at the ends of the 16-bit range: the face covers the frame.
    'range_ends_cover_frame': seed(F64x48, [5, 30, 7, 50], [
        corner(-32768, -32768, 1.0), corner(32767, -32768, 2.0), corner(0, 32767, 3.0)]),
    # Corners more than 32767 apart in both directions.
    'far_apart': seed(F64x48, [0, 48, 0, 64], [
        corner(-32768, -32768, 0.0), corner(32767, 32767, 5.0), corner(-32768, 32767, -5.0)]),
    # All three corners on one row, then on one column.
    'one_row': seed(F64x48, [0, 48, 0, 64], [corner(-100, 20), corner(200, 20), corner(30, 20)]),
    'one_column': seed(F64x48, [0, 48, 0, 64], [corner(10, -100), corner(10, 200), corner(10, 5)]),
    # A flat top on the row where the lower worker's band begins.
    'flat_top_on_band_edge': seed(F64x48, [10, 30, 3, 40], [
        corner(5, 24), corner(60, 24), corner(30, 47)]),
    # A flat bottom at the last row of the frame.
    'flat_bottom_at_frame_end': seed(F64x48, [0, 24, 0, 64], [
        corner(30, 2), corner(-4, 48), corner(70, 48)]),
    # One point.
    'point': seed(F64x48, [0, 48, 0, 64], [corner(20, 20), corner(20, 20), corner(20, 20)]),
    # Infinite and NaN depths, zero and NaN normals.
    'nan_and_infinite_depths': seed(F64x48, [0, 48, 0, 64], [
        corner(4, 4, inf, normal(kind=N_ZERO)),
        corner(60, 10, nan, normal(nan, 0.0, -1.0)),
        corner(30, 44, -inf, normal(inf, -inf, 0.0))]),
    # Coordinates through make_screen_point from NaN, infinities and ties.
    'float_coordinates': seed(F64x48, [0, 48, 0, 64], [
        corner(coord(nan, FROM_FLOAT), coord(2.5, FROM_FLOAT), 1.0),
        corner(coord(-inf, FROM_FLOAT), coord(inf, FROM_FLOAT), 2.0),
        corner(coord(3.5, FROM_FLOAT), coord(-0.5, FROM_FLOAT), 3.0)]),
    # A thin sliver along the diagonal, corners just outside the frame.
    'sliver': seed(F64x48, [0, 48, 0, 64], [corner(0, 0), corner(63, 47), corner(64, 48)]),
    # Wholly right of and below the frame: walked, nothing drawn.
    'beyond_frame': seed(F64x48, [0, 48, 0, 64], [
        corner(64, 10), corner(32767, 20), corner(100, 32000)]),
    # A frame whose half height is odd.
    'frame_30x22': seed(F30x22, [3, 17, 2, 28], [
        corner(-3, 1, 50.0), corner(33, 11, 60.0), corner(12, 25, 70.0)]),
    # The smallest frame: every band is one row.
    'frame_2x2': seed(F2x2, [0, 2, 0, 2], [corner(0, 0), corner(2, 0), corner(0, 2)]),
    # Rows and depths copied from the first corner: a flat top at equal depth.
    'copied_row_and_depth': seed(F64x48, [0, 48, 0, 64], [
        corner(12, 6, 7.5, normal(1, 2, 3, N_UNIT)),
        corner(52, coord(0, COPY), depth(0, D_COPY), normal(kind=N_TOWARDS_VIEWER)),
        corner(coord(0x10000, COPY), 40, depth(3, D_SPECIAL))]),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus')
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name), 'wb') as f:
        f.write(data)


# --- fuzz_kernels: runs in the layout at the top of kernels_fuzz.cpp ---------
L_RAW, L_SPECIAL, L_COPY, L_NORMAL, L_SMALL = 0, 1, 2, 3, 4  # lane kinds
SET_UP, RAW_STEPS = 1, 0                                      # run kinds


def lane(value, kind=L_RAW):
    if kind == L_RAW:
        return bytes([kind]) + struct.pack('<f', value)
    return bytes([kind]) + struct.pack('<I', value)


def run(left, right, band, normal_a, attributes_a, normal_b, attributes_b, kind=SET_UP):
    lanes = [v if isinstance(v, bytes) else lane(v) for v in normal_a + attributes_a + normal_b + attributes_b]
    return bytes([kind]) + struct.pack('<hh', left, right) + bytes(band) + b''.join(lanes)


def kernel_seed(runs, depth_kind=0, depth_seed=12345):
    return bytes([len(runs) - 1]) + b''.join(runs) + bytes([depth_kind]) + struct.pack('<I', depth_seed)


lit = ([0.0, 0.0, -1.0, 0.0], [64.0, 0.0, 10.0, 0.0])
kernel_seeds = {
    # One long run across the buffer, lit head on, depths its own.
    'long_run': kernel_seed([run(0, 690, [0, 255], *lit, [0.5, 0.3, -0.8, 0.0], [0.0, 127.0, 40.0, 0.0])]),
    # Runs of 1 to 9 pixels: every group cut short.
    'short_runs': kernel_seed([run(5, 6, [0, 255], *lit, *lit), run(20, 29, [0, 255], *lit, *lit),
                               run(40, 43, [0, 255], *lit, *lit), run(100, 107, [0, 255], *lit, *lit)]),
    # Clipped on the left by the band: the left clip's values.
    'clipped_left': kernel_seed([run(-300, 200, [40, 200], *lit, [0.9, 0.1, 0.2, 0.0], [127.0, 127.0, -9.0, 0.0])]),
    # Texture coordinates at and beyond the clamp, and below zero.
    'texture_edges': kernel_seed([run(0, 64, [0, 255], [0.0, 0.0, -1.0, 0.0], [123.9, 124.0, 1.0, 0.0],
                                      [0.0, 0.0, -1.0, 0.0], [130.0, -0.9, 1.0, 0.0])]),
    # Zero, infinite and NaN normals and depths, raw steps.
    'extreme_values': kernel_seed([run(3, 40, [0, 255], [lane(0, L_SPECIAL), lane(1, L_SPECIAL), lane(4, L_SPECIAL), 0.0],
                                       [lane(2, L_SPECIAL), 5.0, lane(3, L_SPECIAL), 0.0],
                                       [lane(6, L_SPECIAL), 0.0, 0.0, lane(4, L_SPECIAL)],
                                       [0.5, lane(9, L_SPECIAL), lane(8, L_SPECIAL), 0.0], kind=RAW_STEPS)],
                                  depth_kind=1),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'kernels_corpus')
os.makedirs(here, exist_ok=True)
for name, data in kernel_seeds.items():
    with open(os.path.join(here, name), 'wb') as f:
        f.write(data)
