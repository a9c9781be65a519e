"""The table generator: golden output and the diagnostics of bad descriptions.

Run with UPDATE_GOLDEN=1 to rewrite the golden files after an intended change of the generated code.
"""
import contextlib
import io
import os
import pathlib
import re
import sys
import tempfile
import unittest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, os.environ.get("GENERATOR_DIR", str(HERE.parents[2] / "src" / "tables" / "generator")))

import generate  # noqa: E402
from model import DescriptionError, load  # noqa: E402

FIXTURE = HERE / "fixtures" / "MiniMapHwDirect.toml"
GOLDEN = HERE / "golden"


def first_table(directory, order=0):
    """A second description, FirstMapHwDirect, with the given order value."""
    path = pathlib.Path(directory) / "FirstMapHwDirect.toml"
    path.write_text(FIXTURE.read_text().replace("MiniMapHwDirect", "FirstMapHwDirect")
                    .replace("order = 1", f"order = {order}"))
    return path


class GoldenOutput(unittest.TestCase):
    def test_generated_files_match_golden_and_are_not_rewritten(self):
        """Verifies: the output is exactly the reviewed one (NO_CATALOGUE, catalogue=False: the table's files only); a
        second run leaves files untouched, so the build does not recompile them."""
        with tempfile.TemporaryDirectory() as out, tempfile.TemporaryDirectory() as bare:
            generate.generate([str(FIXTURE)], pathlib.Path(out), HERE)
            for name in ("MiniMapHwDirect.h", "MiniMapHwDirect.cpp", "Catalogue.cpp", "CatalogueTables.h"):
                produced = (pathlib.Path(out) / name).read_text()
                if os.environ.get("UPDATE_GOLDEN"):
                    (GOLDEN / name).write_text(produced)
                with self.subTest(file=name):
                    self.assertEqual(produced, (GOLDEN / name).read_text())
            header = pathlib.Path(out) / "MiniMapHwDirect.h"
            os.utime(header, (1, 1))
            generate.generate([str(FIXTURE)], pathlib.Path(out), HERE)
            self.assertEqual(header.stat().st_mtime, 1)
            generate.generate([str(FIXTURE)], pathlib.Path(bare), HERE, catalogue=False)
            self.assertEqual(sorted(os.listdir(bare)), ["MiniMapHwDirect.cpp", "MiniMapHwDirect.h"])


class Diagnostics(unittest.TestCase):
    """Each case edits the fixture and expects one error at a given line."""

    CASES = [
        # (text to replace, replacement, the line the error names (by its text
        # after the edit), expected message)
        # 8- and 16-bit fields are unsigned char and unsigned short; 31 bits is the widest bounded type.
        ('type = "U4"', 'type = "U8"', 'name = "low"', "unknown type 'U8'; field types are U1 to U31"),
        ('type = "U4"', 'type = "U32"', 'name = "low"', "unknown type 'U32'"),
        ('type = "U1"', 'type = "U0"', 'name = "bit"', "unknown type 'U0'"),
        ("width = 4\n", "width = 5\n", 'name = "low"', "must be 4 bits wide, not 5"),
        ("offset = 0\nwidth = 4", "offset = 30\nwidth = 4", 'name = "low"', "does not fit in 32 data bits"),
        ('aliasOf = "low"', 'aliasOf = "high"', 'name = "lowAlias"', "names unknown field 'high'"),
        ('fields = ["bit0", "bit1"]', 'fields = ["bit0", "bit7"]', 'name = "bits"', "names unknown field 'bit7'"),
        ('name = "lowAlias"', 'name = "low"', 'name = "low"', "field 'low' is defined twice"),
        ("blocks = [151, 150]", "blocks = [151]", "blocks =", "1 blocks for 2 memories"),
        ("instanceCount = 2", "instanceCount = 0", 'name = "miniMapC"', "must be at least one"),
        # 256 is one past the last 8-bit instance id.
        ("firstInstanceId = 1", "firstInstanceId = 256", 'name = "miniMapB"', "end at 255 or below"),
        ('walk = "full"', 'walk = "sideways"', "walk =", "walk must be one of"),
        ('walk = "full"', 'walk = "entryByEntry"', "walk =", "direct tables walk full or partial"),
        ('chosen = ["block", "baseAddress"]', 'chosen = ["colour"]', 'name = "miniMapC"', "'colour' in chosen"),
        ('kind = "direct"', 'kind = "register"', 'name = "MiniMapHwDirect"', "name must end in HwReg"),
        ("max = 15", "max = -1", "max =", "needs 'max'"),
        ('group = "MiniMapHw"\n', "", None, "missing key 'group'"),
        ("order = 1\n", "", None, "missing key 'order'"),
        ("order = 1\n", "order = -3\n", "order =", "order must be 0 or more"),
    ]

    @staticmethod
    def line_of(text, needle):
        return next(n for n, line in enumerate(text.splitlines(), start=1) if needle is None or line.startswith(needle))

    def test_bad_descriptions_are_reported_with_file_and_line(self):
        text = FIXTURE.read_text()
        with tempfile.TemporaryDirectory() as directory:
            path = pathlib.Path(directory) / "MiniMapHwDirect.toml"
            for old, new, at, message in self.CASES:
                with self.subTest(edit=new):
                    self.assertIn(old, text)
                    edited = text.replace(old, new, 1)
                    path.write_text(edited)
                    with self.assertRaises(DescriptionError) as raised:
                        load(path)
                    self.assertIn(f"{path}:{self.line_of(edited, at)}: ", str(raised.exception))
                    self.assertIn(message, str(raised.exception))

    def test_order_comes_from_the_descriptions(self):
        """Verifies: tables are generated and --print-order lists them (the build's order) by `order`, not argument
        order; two tables with one order value are refused, naming both."""
        with tempfile.TemporaryDirectory() as directory:
            first = first_table(directory)
            out = pathlib.Path(directory) / "out"
            generate.generate([str(FIXTURE), str(first)], out, HERE)
            catalogue = (out / "Catalogue.cpp").read_text()
            self.assertLess(catalogue.index("&FirstMapHwDirect::"), catalogue.index("&MiniMapHwDirect::"))
            listed = (out / "CatalogueTables.h").read_text()
            self.assertLess(listed.index("X(FirstMapHwDirect)"), listed.index("X(MiniMapHwDirect)"))
            printed = io.StringIO()
            with contextlib.redirect_stdout(printed):
                self.assertEqual(generate.main(["--print-order", str(FIXTURE), str(first)]), 0)
            self.assertEqual(printed.getvalue().splitlines(), [str(first), str(FIXTURE)])

            first_table(directory, order=1)
            with self.assertRaisesRegex(DescriptionError,
                                        r"MapHwDirect.toml:3: order 1 is also the order of (Mini|First)MapHwDirect"):
                generate.load_ordered([str(FIXTURE), str(first)])

    def test_command_line_reports_and_fails(self):
        """Verifies: exit 1 and 'error: <file>:<line>: ...' on stderr, here for a file not named after its table."""
        with tempfile.TemporaryDirectory() as directory:
            path = pathlib.Path(directory) / "Other.toml"
            path.write_text(FIXTURE.read_text())
            printed = io.StringIO()
            with contextlib.redirect_stderr(printed):
                self.assertEqual(generate.main(["--out", directory, "--source-root", directory, str(path)]), 1)
            self.assertRegex(printed.getvalue(), rf"^error: {re.escape(str(path))}:2: .*MiniMapHwDirect.toml")

if __name__ == "__main__":
    unittest.main()
