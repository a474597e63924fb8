#!/usr/bin/env python3
"""Fails when the device program's deepest call chain needs more stack than the budget, or when
a function of it can call itself again (recursion takes stack per level, and a tree or a package
has no depth the program could bound).

The compiler's call graphs (-fcallgraph-info=su: each function's frame and its calls) of our own
and the decoder's objects linked into zelt-update (the link map names them) are joined into one
graph, and the deepest chain from main is summed. A call through a function pointer (an
allocator, a stream, the PPMd byte source) may reach any file-local function that no object calls
directly, which may itself call through a pointer once more; the Win32 backend's calls through
its table of OS calls reach the system. What the system and the C runtime take is not counted:
that is the margin between this figure and the thread's stack.

usage: check_device_stack.py --map zelt-update.map --build-dir DIR --budget BYTES
"""
import argparse
import glob
import os
import re
import sys

from check_device_imports import linked_members

INDIRECT = "__indirect_call"
NESTED_POINTER_CALLS = 2
NODE = re.compile(r'^node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'^edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
FRAME = re.compile(r"\\n(\d+) bytes \(([a-z,]+)\)$")
GRAPH = re.compile(r'^graph: \{ title: "([^"]+)"')
# The Win32 backend makes every OS call through its table of them: its calls through a pointer
# go to the system, not to us.
OS_CALL_TABLE = re.compile(r"[/\\]platform[/\\]win32_\w+\.cpp$")


def linked_objects(map_path, build_dir):
    """The call-graph files of our own objects that the link took, from the GNU ld link map."""
    found = set()
    for archive, member in linked_members(map_path, build_dir):
        # CMake keeps a library's objects in CMakeFiles/NAME.dir beside libNAME.a, and an
        # executable's own in CMakeFiles of its folder: in its objects.a's folder, or in an
        # object library's beside it.
        name = os.path.basename(archive)
        if name == "objects.a":
            objects = os.path.dirname(os.path.dirname(archive))
        else:
            objects = os.path.join(os.path.dirname(archive), "CMakeFiles",
                                   re.sub(r"^lib|\.a$", "", name) + ".dir")
        stem = re.sub(r"\.obj$|\.o$", "", member)
        hits = glob.glob(os.path.join(glob.escape(objects), "**", stem + ".ci"), recursive=True)
        if len(hits) != 1:
            sys.exit(f"{member} of {archive}: {len(hits)} call-graph files in {objects}; "
                     "was it compiled with -fcallgraph-info=su?")
        found.add(hits[0])
    return found


def read_graph(files):
    """({function: (frame bytes, name)}, {function: set of callees}, set of dynamic frames)."""
    frames, calls, dynamic = {}, {}, set()
    for path in files:
        with open(path, encoding="utf-8", errors="replace") as graph:
            os_table = False
            for line in graph:
                title = GRAPH.match(line)
                if title:
                    os_table = bool(OS_CALL_TABLE.search(title.group(1)))
                node = NODE.match(line)
                edge = EDGE.match(line)
                if node:
                    frame = FRAME.search(node.group(2))
                    if frame:
                        title = node.group(1)
                        size = int(frame.group(1))
                        if frame.group(2) != "static":
                            dynamic.add(title)
                        if size >= frames.get(title, (-1, ""))[0]:
                            frames[title] = (size, node.group(2).split("\\n")[0])
                elif edge and not (os_table and edge.group(2) == INDIRECT):
                    calls.setdefault(edge.group(1), set()).add(edge.group(2))
    return frames, calls, dynamic


def direct_cycle(frames, calls):
    """A chain of direct calls among our functions that comes back to its start, or None."""
    state = {}
    for start in frames:
        if state.get(start):
            continue
        stack = [(start, iter(sorted(calls.get(start, ()))))]
        path = [start]
        state[start] = 1
        while stack:
            function, callees = stack[-1]
            callee = next(callees, None)
            if callee is None:
                state[function] = 2
                stack.pop()
                path.pop()
            elif callee in frames and state.get(callee) == 1:
                return path[path.index(callee):] + [callee]
            elif callee in frames and not state.get(callee):
                state[callee] = 1
                stack.append((callee, iter(sorted(calls.get(callee, ())))))
                path.append(callee)
    return None


def deepest(entry, frames, calls):
    """(bytes, chain) of the deepest chain from entry. A call through a pointer may reach any of
    the functions that are called only that way; one of those may call through a pointer again,
    once (the look-ahead reader over the file stream), but no deeper."""
    called = {callee for callees in calls.values() for callee in callees}
    # A function of internal linkage (its title names its file) that nothing calls directly is
    # there to be called through a pointer; one of external linkage that nothing calls is unused.
    targets = sorted(f for f in frames if f not in called and ":" in f)

    def longest(through_pointer):
        memo = {}

        def chain(function):
            if function not in memo:
                best = (0, [])
                for callee in calls.get(function, ()):
                    below = through_pointer if callee == INDIRECT else \
                        chain(callee) if callee in frames else (0, [])
                    if below[0] > best[0]:
                        best = below
                memo[function] = (frames[function][0] + best[0], [function] + best[1])
            return memo[function]
        return chain

    through_pointer = (0, [])
    for _ in range(NESTED_POINTER_CALLS):
        chain = longest(through_pointer)
        through_pointer = max((chain(t) for t in targets), default=(0, []))
    return longest(through_pointer)(entry)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--map", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--budget", type=int, required=True)
    parser.add_argument("--entry", default="main")
    args = parser.parse_args()

    frames, calls, dynamic = read_graph(linked_objects(args.map, args.build_dir))
    if args.entry not in frames:
        sys.exit(f"{args.map}: no call graph holds {args.entry}; is it the link map of zelt-update?")
    failed = False
    if dynamic:
        print("frames whose size the compiler cannot bound: " + ", ".join(sorted(dynamic)))
        failed = True
    cycle = direct_cycle(frames, calls)
    if cycle:
        print("recursion, stack per level: " + " -> ".join(frames[f][1] for f in cycle))
        failed = True
    else:
        total, chain = deepest(args.entry, frames, calls)
        for function in chain:
            print(f"{frames[function][0]:7d}  {frames[function][1]}")
        print(f"zelt-update: deepest call chain {total} bytes of stack, budget {args.budget}")
        failed = failed or total > args.budget
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
