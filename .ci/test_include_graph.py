#!/usr/bin/env python3
"""Checks of include-graph.py on small trees: a circle it misses lets one in."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "include-graph.py")


class IncludeGraphTest(unittest.TestCase):
    def tree(self, files):
        root = tempfile.mkdtemp(prefix="include-graph-")
        self.addCleanup(subprocess.run, ["rm", "-rf", root])
        for rel, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        return root

    def check(self, root, status, *lines, args=()):
        """Runs the script; its exit status and the lines it must print."""
        result = subprocess.run([sys.executable, SCRIPT, "--root", root, *args], capture_output=True, text=True)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        for line in lines:
            self.assertIn(line, result.stdout)
        return result.stdout

    def build(self, root):
        """Compiles every source of the tree and writes its compile_commands.json."""
        build = os.path.join(root, "build")
        os.makedirs(build)
        entries = []
        for dirpath, _, names in os.walk(root):
            for name in names:
                if name.endswith(".cpp"):
                    src = os.path.join(dirpath, name)
                    obj = os.path.join(build, os.path.relpath(src, root).replace("/", "_") + ".o")
                    command = f"g++ -std=c++20 -I{root} -c {src} -o {obj}"
                    subprocess.run(command.split(), check=True)
                    entries.append({"directory": build, "command": command, "file": src})
        with open(os.path.join(build, "compile_commands.json"), "w") as f:
            json.dump(entries, f)
        return build

    def test_circle_through_header_and_source(self):
        files = {
            "driver/A.h": "#pragma once\nstruct A {};\n",
            "driver/A.cpp": '#include "driver/A.h"\n#include "topology/B.h"\n',
            "topology/B.h": '#pragma once\n#include "driver/A.h"\n',
            "topology/B.cpp": '#include "topology/B.h"\n',
        }
        self.check(self.tree(files), 1, "circle 1: 2 modules: driver/A, topology/B",
                   "driver/A.cpp includes topology/B.h")

        # A commented-out include is no edge. Modules lie in layers; folders
        # that need each other share one.
        files["driver/A.cpp"] = '#include "driver/A.h"\n/*\n#include "topology/B.h"\n*/\n'
        files["driver/C.cpp"] = '// the topology/*.h headers\n#include "topology/B.h"\n/* then */\n'
        root = self.tree(files)
        self.check(root, 0, "layer 0: driver/A\nlayer 1: topology/B\nlayer 2: driver/C\n", args=["--layers=modules"])
        self.check(root, 0, "layer 0: driver + topology (3)\n", args=["--layers"])

    def test_inc_counts_for_each_source_that_includes_it(self):
        files = {
            "primitives/A.h": "#pragma once\n",
            "primitives/A.cpp": '#include "primitives/A.h"\n#include "primitives/Shared.inc"\n',
            "primitives/Shared.inc": '#include "primitives/B.h"\n',
            "primitives/B.h": '#pragma once\n',
            "primitives/B.cpp": '#include "primitives/B.h"\n#include "primitives/A.h"\n',
        }
        out = self.check(self.tree(files), 1, "primitives/A.cpp includes primitives/B.h")
        self.assertNotIn("primitives/Shared", out)

    def test_header_only_one_module_includes_is_its_own(self):
        files = {
            "primitives/A.h": "#pragma once\n",
            "primitives/A.cpp": '#include "primitives/A.h"\n#include "primitives/AKernels.h"\n',
            "primitives/AKernels.h": '#pragma once\n#include "primitives/A.h"\n',
        }
        self.check(self.tree(files), 0, "no circle among 1 modules")
        # Shared with another module, it is a module of its own again.
        files["primitives/B.cpp"] = '#include "primitives/AKernels.h"\n'
        self.check(self.tree(files), 1, "circle 1: 2 modules: primitives/A, primitives/AKernels")

    def test_product_reaching_past_its_boundary(self):
        for rel, text in (("platform/kernel/nt.h", '#include "driver/A.h"\n'),
                          ("driver/A.cpp", '#include "sim/Device.h"\n')):
            files = {"driver/A.h": "#pragma once\n", "driver/A.cpp": "", "sim/Device.h": "#pragma once\n",
                     "platform/kernel/nt.h": "#pragma once\n"}
            files[rel] = text
            self.check(self.tree(files), 1, f"across the product's boundary: {rel} includes")

    def test_calls_from_the_objects(self):
        files = {
            # A calls b() through a prototype of its own: no include shows it.
            "driver/A.h": "#pragma once\nint a();\n",
            "driver/A.cpp": '#include "driver/A.h"\nint b();\nint a() { return b(); }\n',
            "driver/B.h": '#pragma once\n#include "driver/A.h"\nstruct B { int Get(); int Set(); };\nint b();\n',
            "driver/B.cpp": '#include "driver/B.h"\nint B::Get() { return a(); }\n',
            # Members kept apart from B.cpp belong to B, and bring B their
            # own includes and calls.
            "driver/BSet.cpp": '#include "driver/B.h"\nint B::Set() { return 0; }\nint b() { return 1; }\n',
        }
        root = self.tree(files)
        self.check(root, 0)
        self.check(root, 1, "circle 1: 2 modules: driver/A, driver/B", "driver/B also holds driver/BSet.cpp",
                   "driver/A.cpp calls b()", args=["--objects", self.build(root)])

        # A source defining what two headers declare stands alone.
        files["driver/A.h"] = "#pragma once\nint a();\nint a2();\n"
        files["driver/BSet.cpp"] += "int a2() { return 2; }\n"
        root = self.tree(files)
        out = self.check(root, 1, "driver/A -> driver/BSet    (driver/A.cpp calls b())",
                         args=["--objects", self.build(root)])
        self.assertNotIn("also holds", out)
        self.check(root, 2, args=["--objects", os.path.join(root, "nowhere")])


if __name__ == "__main__":
    unittest.main()
