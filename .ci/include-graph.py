#!/usr/bin/env python3
"""The product's module graph: every circle among its modules, and its layers.

A module is a header with its source file (Foo.h and Foo.cpp in one folder);
either alone is a module too. An .inc file is compiled as part of each source
that includes it, so its includes count as that source's own; so is a header
with no source that the files of one module alone include (the kernels a
routine's level builds share) part of that module. An edge A -> B means that
A includes B's header ("..." includes; <...> are the system's).

Calls: with --objects BUILD the object files of that build (found through its
compile_commands.json) add an edge A -> B wherever A's object refers to a
symbol that B's sources alone define. A source with no header of its own
(the level builds of a routine, a class's members kept apart, a table) is a
source of the header that declares everything it defines, and joins that
header's module; defining names of several headers, it stands alone. A call
then shows as an edge even where no include names it: a class whose members
live in another module's source, a name declared in one header and defined
beside another. A call through an interface or a callback leaves no such
reference, which is how two modules that need each other break their circle.
Without --objects includes stand for calls, and a source with no header of its
own stands alone. The build must be current for the call edges to be.

The product is driver/, topology/, streaming/, dsp/, primitives/, variants/
and globaltopo/. Not counted: platform/ (the kernel, port class, KS, USB and
HAL stand-ins the product is compiled against; it lies beneath every module,
as the system's own headers would) and sim/ and tools/ (the simulated devices
and the host program, which load the product and stand above it). Leaving them
out holds only while no circle can run through them, so a platform/ file that
includes a product file, or a product file that includes sim/, tools/ or
tests/, fails the check as well.

--layers prints the folders in layers: each stands only on folders of lower
layers; folders that need each other share one line. --layers=modules prints
the modules the same way.

Exit status 0: no circle; 1: a circle or a reference across the boundary;
2: bad arguments, or a build (--objects) that is missing or older than a source.
"""

import argparse
import collections
import json
import os
import re
import shlex
import subprocess
import sys

PRODUCT = ("driver", "topology", "streaming", "dsp", "primitives", "variants", "globaltopo")
ABOVE = ("sim", "tools", "tests")
SOURCE_EXTS = (".cpp", ".c")
HEADER_EXTS = (".h", ".hpp")
INC_EXT = ".inc"
CODE_EXTS = SOURCE_EXTS + HEADER_EXTS + (INC_EXT,)

INCLUDE_RE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.M)
# Read left to right, so that "/*" inside a line comment or a string starts
# nothing.
COMMENT_OR_STRING_RE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"', re.S)
# What nm's symbol kinds mean here: a definition others can link to.
STRONG_KINDS = "TDBRGS"
WEAK_KINDS = "WVu"
# Compiler-made names whose owner is the class or object named after them.
SPECIAL_PREFIXES = ("non-virtual thunk to ", "virtual thunk to ", "covariant return thunk to ",
                    "vtable for ", "typeinfo for ", "typeinfo name for ", "VTT for ",
                    "construction vtable for ", "guard variable for ")


class UsageError(Exception):
    pass


def top_folder(rel):
    return rel.split("/", 1)[0]


def module_of(rel):
    return os.path.splitext(rel)[0]


def walk(root, top):
    for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
        dirnames.sort()
        for name in sorted(filenames):
            if name.endswith(CODE_EXTS):
                yield os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")


def code_text(root, rel):
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        text = f.read()
    # A commented-out include is no dependency; a comment keeps its newlines
    # so what follows it stays at the start of its line.
    return COMMENT_OR_STRING_RE.sub(
        lambda m: m.group(0) if m.group(0).startswith('"') else "\n" * m.group(0).count("\n"), text)


def resolve(root, including, name):
    """The file a quoted include names, found as the build's include path would."""
    for base in (os.path.dirname(including), "", "platform"):
        rel = os.path.normpath(os.path.join(base, name))
        if not rel.startswith("..") and os.path.isfile(os.path.join(root, rel)):
            return rel.replace(os.sep, "/")
    return None


class Tree:
    """The product's files, what each includes, and the module each belongs to."""

    def __init__(self, root):
        self.root = root
        self.texts = {}
        self.includes = {}
        self.boundary = []
        for top in PRODUCT:
            for rel in walk(root, top):
                self.texts[rel] = code_text(root, rel)
        for rel, text in self.texts.items():
            self.includes[rel] = []
            for name in INCLUDE_RE.findall(text):
                target = resolve(root, rel, name)
                if target is None:
                    continue
                if top_folder(target) in ABOVE:
                    self.boundary.append(f"{rel} includes {target}")
                elif top_folder(target) in PRODUCT:
                    self.includes[rel].append(target)
        for rel in walk(root, "platform"):
            for name in INCLUDE_RE.findall(code_text(root, rel)):
                target = resolve(root, rel, name)
                if target is not None and top_folder(target) in PRODUCT:
                    self.boundary.append(f"{rel} includes {target}")

        self.parts = {t for targets in self.includes.values() for t in targets if t.endswith(INC_EXT)}
        self.module = {rel: module_of(rel) for rel in self.texts if rel not in self.parts}

    def expanded_includes(self, rel):
        """What a file includes, with what every .inc it pulls in includes."""
        seen, pending, found = {rel}, [rel], []
        while pending:
            for target in self.includes.get(pending.pop(), ()):
                if target.endswith(INC_EXT) and target in self.parts:
                    if target not in seen:
                        seen.add(target)
                        pending.append(target)
                else:
                    found.append(target)
        return found

    def reachable_headers(self, rel):
        seen, pending = set(), [rel]
        while pending:
            for target in self.expanded_includes(pending.pop()):
                if target not in seen:
                    seen.add(target)
                    pending.append(target)
        return {h for h in seen if h.endswith(HEADER_EXTS)}

    def join_private_headers(self):
        """A header with no source that one module's files alone include is
        that module's own (the kernels its sources share), as an .inc is."""
        changed = True
        while changed:
            changed = False
            members = collections.Counter(self.module.values())
            includers = collections.defaultdict(set)
            for rel, module in self.module.items():
                for target in self.expanded_includes(rel):
                    includers[target].add(module)
            for rel, module in self.module.items():
                if rel.endswith(HEADER_EXTS) and members[module] == 1 and len(includers[rel]) == 1:
                    self.module[rel] = next(iter(includers[rel]))
                    changed = True
                    break

    def headerless_sources(self):
        for rel in self.module:
            if rel.endswith(SOURCE_EXTS) and not any(
                    module_of(rel) + ext in self.texts for ext in HEADER_EXTS):
                yield rel


class Graph:
    def __init__(self, tree):
        self.modules = set(tree.module.values())
        # edges[a][b]: why a stands on b, the first reason found.
        self.edges = collections.defaultdict(dict)
        for rel, module in tree.module.items():
            for target in tree.expanded_includes(rel):
                self.add_edge(module, tree.module[target], f"{rel} includes {target}")

    def add_edge(self, a, b, why):
        if a != b:
            self.edges[a].setdefault(b, why)


def object_of(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    for i, arg in enumerate(args):
        if arg == "-o" and i + 1 < len(args):
            return os.path.normpath(os.path.join(entry["directory"], args[i + 1]))
        if arg.startswith("-o") and len(arg) > 2:
            return os.path.normpath(os.path.join(entry["directory"], arg[2:]))
    return None


def product_objects(tree, build):
    db = os.path.join(build, "compile_commands.json")
    if not os.path.isfile(db):
        raise UsageError(f"no {db}: configure and build first")
    with open(db, encoding="utf-8") as f:
        entries = json.load(f)
    objects = {}
    for entry in entries:
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        rel = os.path.relpath(path, tree.root).replace(os.sep, "/")
        if rel not in tree.module:
            continue
        obj = object_of(entry)
        if obj is None or not os.path.isfile(obj):
            raise UsageError(f"no object for {rel} in {build}: build first")
        if os.path.getmtime(obj) < os.path.getmtime(path):
            raise UsageError(f"{rel} changed since {build} was built: build first")
        objects[obj] = rel
    missing = sorted(rel for rel in tree.module
                     if rel.endswith(SOURCE_EXTS) and rel not in objects.values())
    if missing:
        raise UsageError(f"{missing[0]} is not in {build}: build first")
    return objects


def read_symbols(objects):
    """Per source: the names it defines (strong, weak) and the names it needs."""
    defined = collections.defaultdict(lambda: ([], []))
    needed = collections.defaultdict(set)
    paths = sorted(objects)
    for start in range(0, len(paths), 200):
        out = subprocess.run(["nm", "-A", "-P", *paths[start:start + 200]],
                             check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            # "object: symbol kind [value size]"
            head, _, rest = line.partition(": ")
            fields = rest.split()
            if len(fields) < 2 or head not in objects:
                continue
            rel, (symbol, kind) = objects[head], fields[:2]
            if kind == "U":
                needed[rel].add(symbol)
            elif kind in STRONG_KINDS:
                defined[rel][0].append(symbol)
            elif kind in WEAK_KINDS:
                defined[rel][1].append(symbol)
    return defined, needed


def demangle(symbols):
    symbols = list(symbols)
    if not symbols:
        return {}
    try:
        out = subprocess.run(["c++filt"], input="\n".join(symbols), check=True,
                             capture_output=True, text=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        out = symbols
    if len(out) != len(symbols):
        out = symbols
    return dict(zip(symbols, out))


def outer_name(readable):
    """The outermost name of a demangled symbol: its class, namespace or itself."""
    for prefix in SPECIAL_PREFIXES:
        if readable.startswith(prefix):
            readable = readable[len(prefix):]
            break
    depth = 0
    for i, ch in enumerate(readable):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif depth == 0 and (ch == "(" or readable.startswith("::", i)):
            readable = readable[:i]
            break
    name = readable.split("<", 1)[0].strip()
    return name if re.fullmatch(r"[A-Za-z_]\w*", name) else None


def declares(text, name):
    """Whether a header's text declares the name (not merely uses it)."""
    n = re.escape(name)
    patterns = (
        rf"\b(class|struct|union|enum|namespace)\s+(class\s+|struct\s+)?{n}\b\s*(final\b\s*)?[:{{]",
        rf"\bextern\b[^;]*\b{n}\b",
        # A return type, then the name: a statement that calls it has none.
        rf"(^|[;{{}}])\s*(template\s*<[^;{{}}]*>\s*)?(?!(return|else|case|new|delete|throw|goto)\b)"
        rf"[A-Za-z_][\w:<>,*&\s]*?[\s*&]{n}\s*\(",
        rf"\b(typedef|using)\b[^;]*\b{n}\b",
    )
    return any(re.search(p, text, re.M) for p in patterns)


def linkable(readable):
    # The sanitizers' own companions of a name (__odr_asan.X) say nothing of
    # where X belongs.
    return not readable.startswith("__") and "." not in readable


def join_headerless(tree, defined, names):
    """Give a source with no header of its own to the header it implements."""
    for rel in tree.headerless_sources():
        strong = [names[s] for s in defined.get(rel, ([], []))[0] if linkable(names[s])]
        outers = {outer_name(s) for s in strong}
        if not outers or None in outers:
            continue
        owners = [h for h in sorted(tree.reachable_headers(rel))
                  if all(declares(tree.texts[h], outer) for outer in outers)]
        if len(owners) == 1:
            tree.module[rel] = tree.module[owners[0]]


def read_calls(tree, build):
    """Each call as (caller's file, the files that define the name, why);
    sources with no header of their own join their header's module first."""
    objects = product_objects(tree, build)
    defined, needed = read_symbols(objects)
    names = demangle({s for strong, _ in defined.values() for s in strong}
                     | {s for symbols in needed.values() for s in symbols})
    join_headerless(tree, defined, names)

    strong, weak = collections.defaultdict(set), collections.defaultdict(set)
    for rel, (strong_symbols, weak_symbols) in defined.items():
        for s in strong_symbols:
            strong[s].add(rel)
        for s in weak_symbols:
            weak[s].add(rel)
    calls = []
    for rel in sorted(needed):
        for symbol in sorted(needed[rel]):
            readable = names.get(symbol, symbol)
            if linkable(readable) and (strong.get(symbol) or weak.get(symbol)):
                calls.append((rel, strong.get(symbol) or weak.get(symbol), f"{rel} calls {readable}"))
    return calls


def components(nodes, edges):
    """Strongly connected components (Tarjan), each after those it stands on."""
    index, low, on_stack, stack, result = {}, {}, set(), [], []
    for start in sorted(nodes):
        if start in index:
            continue
        index[start] = low[start] = len(index)
        stack.append(start)
        on_stack.add(start)
        work = [(start, iter(sorted(edges.get(start, ()))))]
        while work:
            node, children = work[-1]
            for child in children:
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(edges.get(child, ())))))
                    break
                if child in on_stack:
                    low[node] = min(low[node], index[child])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    members = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        members.append(member)
                        if member == node:
                            break
                    result.append(sorted(members))
    return result


def shortest_cycle(start, members, edges):
    """The shortest way from start back to itself inside its component."""
    inside = set(members)
    previous = {}
    queue = collections.deque([start])
    while queue:
        node = queue.popleft()
        for child in sorted(edges.get(node, ())):
            if child not in inside:
                continue
            if child == start:
                path = [node]
                while path[-1] != start:
                    path.append(previous[path[-1]])
                return list(reversed(path)) + [start]
            if child not in previous:
                previous[child] = node
                queue.append(child)
    return [start]


def layers(nodes, edges):
    """Components in layers: each stands only on components of lower layers."""
    comps = components(nodes, edges)
    comp_of = {node: i for i, comp in enumerate(comps) for node in comp}
    level = [0] * len(comps)
    for i, comp in enumerate(comps):
        for node in comp:
            for child in edges.get(node, ()):
                if comp_of[child] != i:
                    level[i] = max(level[i], level[comp_of[child]] + 1)
    by_level = collections.defaultdict(list)
    for i, comp in enumerate(comps):
        by_level[level[i]].append(comp)
    return [sorted(by_level[n]) for n in sorted(by_level)]


def print_layers(graph, kind):
    if kind == "modules":
        nodes, edges, counts = graph.modules, graph.edges, None
    else:
        nodes = {os.path.dirname(m) for m in graph.modules}
        edges = collections.defaultdict(set)
        for a, targets in graph.edges.items():
            for b in targets:
                if os.path.dirname(a) != os.path.dirname(b):
                    edges[os.path.dirname(a)].add(os.path.dirname(b))
        counts = collections.Counter(os.path.dirname(m) for m in graph.modules)
    for n, layer in enumerate(layers(nodes, edges)):
        names = []
        for comp in layer:
            label = " + ".join(comp)
            if counts is not None:
                label += f" ({sum(counts[c] for c in comp)})"
            names.append(label)
        print(f"layer {n}: " + ", ".join(names))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."),
                        help="the repository (default: the one holding this script)")
    parser.add_argument("--objects", metavar="BUILD",
                        help="a build folder whose object files add the calls as edges")
    parser.add_argument("--layers", nargs="?", const="folders", choices=("folders", "modules"),
                        help="print the layers of folders (default) or of modules")
    args = parser.parse_args()

    tree = Tree(os.path.abspath(args.root))
    calls = []
    if args.objects:
        try:
            calls = read_calls(tree, os.path.abspath(args.objects))
        except UsageError as e:
            print(f"include-graph: {e}", file=sys.stderr)
            return 2
    tree.join_private_headers()
    graph = Graph(tree)
    for caller, definers, why in calls:
        # A name several modules define (an inline function, a template)
        # comes with the header that declares it.
        owners = {tree.module[rel] for rel in definers}
        if len(owners) == 1:
            graph.add_edge(tree.module[caller], owners.pop(), why)

    failed = False
    for line in tree.boundary:
        print(f"across the product's boundary: {line}")
        failed = True
    circles = [c for c in components(graph.modules, graph.edges) if len(c) > 1]
    joined = collections.defaultdict(list)
    for rel, module in tree.module.items():
        if module != module_of(rel):
            joined[module].append(rel)
    for n, members in enumerate(circles, 1):
        print(f"circle {n}: {len(members)} modules: {', '.join(members)}")
        for member in members:
            if joined[member]:
                print(f"  {member} also holds {', '.join(sorted(joined[member]))}")
        path = shortest_cycle(members[0], members, graph.edges)
        for a, b in zip(path, path[1:]):
            print(f"  {a} -> {b}    ({graph.edges[a][b]})")
        failed = True
    if not circles:
        print(f"no circle among {len(graph.modules)} modules"
              + (" (includes and calls)" if args.objects else " (includes)"))
    if args.layers:
        print_layers(graph, args.layers)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
