#!/usr/bin/env python3
"""The pixel budget of the runs-in-lanes span kernels, from their machine code.

Reads a program or object built with -g (the kernel's instructions and, for
each, the source line it came from, inlined calls included), finds each
runs-in-lanes shading kernel's group loop (one pass = one pixel group, a pixel
of each of W runs) and counts its instructions by the part of the shading they
belong to, on the loop's two paths: the one with the specular terms (some
pixel of the group is front-most) and the one without. The parts are the
numbered steps of shade_pixels in raster/span_kernel_impl.h, so they follow
the source as it changes.

With --callgrind FILE (a run under valgrind --tool=callgrind --dump-instr=yes
of the same program) it also counts the instructions the kernels executed, by
the same parts and by what lies outside the group loop (the lanes'
bookkeeping, the blocks' loads, transposes and stores), per group executed.
With --perf FILE (the output of perf script -F ip,sym,symoff --no-demangle of
a perf record -e cpu-clock run of the same program) it gives each part's share
of the time sampled in the kernels.

  scripts/pixel_budget.py build-prof/tools/ombrastel-bench
  scripts/pixel_budget.py PROGRAM --callgrind callgrind.out --perf perf.txt

Needs objdump and addr2line (binutils).
"""
import argparse
import collections
import re
import subprocess
import sys
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent / "raster" / "span_kernel_impl.h"
SOURCE_TEXT = []
KERNEL = re.compile(r"_ZN11span_kernel22shade_runs_run_by_laneIN12_GLOBAL__N_1(\d+)(\w+?)EL9Estimates(\d)E")
ESTIMATES = {"0": "x86", "1": "ieee"}
PARTS = ["unit normal", "texture position", "front-most test", "three lights", "texture filter",
         "modulation and packing", "stepping the runs' values", "loop control"]
OUTSIDE = ["lanes' bookkeeping", "block set-up and stores", "shading constants"]


def source_layout():
    """Line ranges of shade_pixels' steps and of the group loop, from the source."""
    lines = SOURCE.read_text().splitlines()
    SOURCE_TEXT[:] = lines
    start = next(i for i, l in enumerate(lines) if "shade_pixels(const Pixels<L>& p" in l) + 1
    steps = []  # (first line, part index)
    end = start
    for i in range(start, len(lines)):
        m = re.match(r"\s*// ([1-6])\. ", lines[i])
        if m:
            steps.append((i + 1, int(m.group(1)) - 1))
        if lines[i].startswith("}"):
            end = i + 1
            break
    loop = next(i for i, l in enumerate(lines) if "for (int k = 0; k < groups; ++k)" in l) + 1
    depth = 0
    for i in range(loop - 1, len(lines)):
        depth += lines[i].count("{") - lines[i].count("}")
        if depth == 0:
            loop_end = i + 1
            break
    chain = next(i for i in range(loop, loop_end) if "chain[c] = L::add(chain[c], step[c])" in lines[i - 1])
    return start, end, steps, (loop, loop_end), chain


def part_of(frames, layout):
    """The part an instruction belongs to, from its inline frames (innermost first)."""
    start, end, steps, (loop, loop_end), chain = layout
    own = [(fn, line) for fn, f, line in frames if f == SOURCE.name]
    # The normals' scale is step 1's, though the group loop makes it a group
    # ahead.
    if any("normal_scale" in fn for fn, _ in own):
        return PARTS[0]
    for fn, line in own:
        # (A line of shade_pixels is its own, whichever function the debug
        # information names for it.)
        if start <= line <= end:
            part = 0
            for first, index in steps:
                if line >= first:
                    part = index
            # The texture's value, wherever a step computes it, is the filter's.
            if "weight_" in SOURCE_TEXT[line - 1] or "texel_channel" in SOURCE_TEXT[line - 1]:
                part = 4
            return PARTS[part]
    for fn, line in own:
        if "ShadingConstants" in fn:
            return OUTSIDE[2]
        if "RunLanes" in fn:
            return OUTSIDE[0]
    for fn, line in own:
        if loop <= line < loop_end:
            return PARTS[6] if line == chain else PARTS[7]
    return OUTSIDE[1]


def disassemble(program, symbol):
    text = subprocess.run(["objdump", "-d", "--no-show-raw-insn", f"--disassemble={symbol}", program],
                          capture_output=True, text=True, check=True).stdout
    instructions = []
    for line in text.splitlines():
        m = re.match(r"\s+([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if m:
            instructions.append((int(m.group(1), 16), m.group(2), m.group(3)))
    return instructions


def inline_frames(program, addresses):
    out = subprocess.run(["addr2line", "-a", "-i", "-f", "-C", "-e", program] + [hex(a) for a in addresses],
                         capture_output=True, text=True, check=True).stdout.splitlines()
    frames, current, i = {}, None, 0
    while i < len(out):
        if out[i].startswith("0x"):
            current = int(out[i], 16)
            frames[current] = []
            i += 1
            continue
        location = out[i + 1].split(" ")[0]
        file, _, line = location.rpartition(":")
        frames[current].append((out[i], Path(file).name, int(line) if line.isdigit() else 0))
        i += 2
    return frames


def loop_paths(instructions, parts, anchor):
    """Every way round a group loop from its square root (estimate), as lists of indices."""
    index = {a: i for i, (a, _, _) in enumerate(instructions)}
    inside = set(PARTS)
    paths = []

    def successors(i):
        _, op, args = instructions[i]
        m = re.match(r"([0-9a-f]+) <", args)
        if op.startswith("j") and m and int(m.group(1), 16) in index:
            target = index[int(m.group(1), 16)]
            return [target] if op == "jmp" else [i + 1, target]
        return [] if op == "ret" else [i + 1]

    stack = [(anchor, [anchor])]
    while stack and len(paths) < 64:
        i, path = stack.pop()
        for n in successors(i):
            if n == anchor:
                paths.append(path)
            elif n < len(instructions) and n not in path and parts[n] in inside and len(path) < 2000:
                stack.append((n, path + [n]))
    return paths


def static_budget(program, symbol, layout):
    instructions = disassemble(program, symbol)
    frames = inline_frames(program, [a for a, _, _ in instructions])
    parts = [part_of(frames[a], layout) for a, _, _ in instructions]
    anchors = [i for i, (_, op, _) in enumerate(instructions) if op in ("vrsqrtps", "vsqrtps")]
    loops = []  # (paths, the set of their instructions)
    for anchor in anchors:
        if any(anchor in seen for _, seen in loops):
            continue
        paths = loop_paths(instructions, parts, anchor)
        if paths:
            loops.append((paths, set().union(*map(set, paths))))
    budgets = []
    for paths, _ in loops:
        counted = []
        for path in paths:
            count = collections.Counter(parts[i] for i in path)
            # The specular terms are the only squarings in the lights.
            squares = 0
            for i in path:
                registers = re.findall(r"%[xyz]mm\d+", instructions[i][2])
                if parts[i] == PARTS[3] and instructions[i][1] == "vmulps" and len(registers) == 3 \
                        and registers[0] == registers[1]:
                    squares += 1
            counted.append((squares, len(path), count))
        with_specular = max(counted, key=lambda c: (c[0], -c[1]))
        without = min(counted, key=lambda c: (c[0], c[1]))
        # The numbered colours' loops look texels up by permutation.
        numbered = any(parts[i] == PARTS[4] and instructions[i][1] == "vpermps" for i in paths[0])
        budgets.append((with_specular[2], without[2], numbered))
    # Of each way of taking the texture, the shorter loop is the one for the
    # walk's runs (their normals' fourth lane +0.0), the other for any runs.
    budgets.sort(key=lambda b: (not b[2], sum(b[0].values())))
    return instructions, parts, budgets


def executed(callgrind, symbol_names):
    """Instructions executed per address of the named functions, from a callgrind file."""
    cost = collections.Counter()
    wanted = False
    skip = False
    for line in open(callgrind):
        if line.startswith("fn="):
            wanted = any(name in line for name in symbol_names)
            continue
        if line.startswith("calls="):
            skip = True
            continue
        m = re.match(r"(0x[0-9a-f]+) (\d+)", line)
        if m and wanted:
            if skip:
                skip = False
                continue
            cost[int(m.group(1), 16)] += int(m.group(2))
    return cost


def sampled(perf, symbol):
    samples = collections.Counter()
    for line in open(perf):
        m = re.search(r"(\S+)\+0x([0-9a-f]+)", line)
        if m and m.group(1) == symbol:
            samples[int(m.group(2), 16)] += 1
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("--callgrind")
    parser.add_argument("--perf")
    parser.add_argument("--source", help="the program's span_kernel_impl.h, if not this tree's")
    args = parser.parse_args()
    if args.source:
        global SOURCE
        SOURCE = Path(args.source)
    layout = source_layout()
    symbols = sorted(set(re.findall(r"\s(_ZN11span_kernel22shade_runs_run_by_lane\S+)",
                                    subprocess.run(["nm", args.program], capture_output=True, text=True,
                                                   check=True).stdout)))
    if not symbols:
        sys.exit(f"{args.program}: no runs-in-lanes shading kernel")
    for symbol in symbols:
        m = KERNEL.search(symbol)
        name = f"{m.group(2).replace('Lanes', '').lower()} ({ESTIMATES[m.group(3)]})"
        instructions, parts, budgets = static_budget(args.program, symbol, layout)
        print(f"{name}: instructions per pixel group, on each group loop's two paths")
        ways = ["the walk's runs", "any runs"]
        if len(budgets) == 2 and not budgets[0][2]:
            heads = ways
        elif len(budgets) == 4 and [b[2] for b in budgets] == [True, True, False, False]:
            heads = [f"{way}, {runs}" for way in ("numbered", "bytes") for runs in ways]
        else:
            heads = [f"loop {k + 1}" for k in range(len(budgets))]
        # Each head over its loop's two columns.
        half = max(9, (max(len(h) for h in heads) + 1) // 2 - 1)
        print(f"  {'':30}" + "".join(f" {h:>{2 * half + 1}}" for h in heads))
        print(f"  {'part':30}" + "".join(f" {'specular':>{half}} {'plain':>{half}}" for _ in budgets))
        for part in PARTS + ["the group"]:
            cells = ""
            for with_specular, without, _ in budgets:
                a = sum(with_specular.values()) if part == "the group" else with_specular[part]
                b = sum(without.values()) if part == "the group" else without[part]
                cells += f" {a:{half}d} {b:{half}d}"
            print(f"  {part:30}{cells}")
        address_part = {a: parts[i] for i, (a, _, _) in enumerate(instructions)}
        if args.callgrind:
            cost = executed(args.callgrind, [symbol, demangle(symbol)])
            if cost:
                # One square root (estimate) a group.
                groups = max(cost.get(a, 0) for a, op, _ in instructions if op in ("vrsqrtps", "vsqrtps"))
                by_part = collections.Counter()
                for a, n in cost.items():
                    by_part[address_part.get(a, OUTSIDE[1])] += n
                print(f"  executed (callgrind), per group of {groups} groups:")
                for part in PARTS + OUTSIDE:
                    print(f"    {part:28} {by_part[part] / groups:9.1f}")
                print(f"    {'all':28} {sum(by_part.values()) / groups:9.1f}")
        if args.perf:
            samples = sampled(args.perf, symbol)
            if samples:
                start = instructions[0][0]
                by_part = collections.Counter()
                for offset, n in samples.items():
                    by_part[address_part.get(start + offset, OUTSIDE[1])] += n
                total = sum(by_part.values())
                print(f"  time sampled (perf), share of the kernel's {total} samples:")
                for part in PARTS + OUTSIDE:
                    print(f"    {part:28} {100.0 * by_part[part] / total:8.1f} %")


def demangle(symbol):
    return subprocess.run(["c++filt", symbol], capture_output=True, text=True).stdout.strip()


if __name__ == "__main__":
    main()
