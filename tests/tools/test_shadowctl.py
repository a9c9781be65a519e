"""shadowctl end to end: the JSON it prints, its human formatting, its exit codes and its errors.

The facts about the tables come from the tool's own `tables --json`, never from a copy kept here.
"""
import functools
import json
import math
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

SHADOWCTL = sys.argv.pop(1) if len(sys.argv) > 1 else "shadowctl"
MAKE_COLLECTION = sys.argv.pop(1) if len(sys.argv) > 1 else "make_collection"
SOURCE_DIR = os.environ.get("SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def run(*args):
    return subprocess.run([SHADOWCTL, *args], capture_output=True, text=True)


@functools.cache
def catalogue():
    """The tool's own `tables --json`, by table name, in catalogue order."""
    result = run("tables", "--json")
    assert result.returncode == 0, result.stderr
    return {t["name"]: t for t in json.loads(result.stdout)["tables"]}


def collection_dir(root, path):
    """A shadow's entry collection below `root`: `<path>/entryColl` as one directory name (see OrlRootPathTest)."""
    return os.path.join(root, re.sub(r"[^A-Za-z0-9._-]", "_", (path + "/entryColl").lstrip("/")))


class ShadowctlTest(unittest.TestCase):
    def ok(self, *args):
        result = run(*args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def json_of(self, *args):
        return json.loads(self.ok(*args, "--json"))

    def assert_aligned(self, rows, headers):
        """Each header's column starts after two blanks in every row."""
        for header in headers:
            column = rows[0].index(header)
            self.assertTrue(all(row[column - 2:column] == "  " for row in rows), header)

    def assert_errors(self, cases, *prefix, status=1, then=None):
        """Each (args, message) exits with `status` (None: 1 to 127), `message` on stderr; then(result) checks more."""
        for args, message in cases:
            with self.subTest(args=args):
                result = run(*prefix, *args)
                if status is None:
                    self.assertTrue(0 < result.returncode < 128, result.returncode)
                else:
                    self.assertEqual(result.returncode, status, result.stdout)
                self.assertIn(message, result.stderr)
                if then:
                    then(result)

    def shm_dir(self, prefix):
        path = tempfile.mkdtemp(prefix=prefix, dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(shutil.rmtree, path, True)
        return path


class TablesCommand(ShadowctlTest):
    SCHEMA = ["name", "typeName", "kind", "bcmName", "bcmRegName", "group", "memories", "tableFactory", "tablePlugin",
              "readerPlugin", "entrySize", "entrySizeBits", "key", "blocks", "revisions", "chipName", "tag", "parity",
              "walk", "attributes", "descriptor", "source"]

    def test_json_lists_every_description(self):
        """Verifies: one table per description file, each in the schema, registered for the default revisions."""
        tables_dir = os.path.normpath(os.path.join(SOURCE_DIR, "src", "tables"))
        self.assertEqual({os.path.normpath(os.path.join(SOURCE_DIR, t["source"])) for t in catalogue().values()},
                         {os.path.join(tables_dir, f) for f in os.listdir(tables_dir) if f.endswith(".toml")})
        for name, t in catalogue().items():
            self.assertEqual((list(t), t["revisions"]), (self.SCHEMA, ["bcm88490_a0", "bcm88490_a0r1"]), name)

    def test_human_output_is_aligned(self):
        """Verifies: one aligned row per table under a header, then the count."""
        lines = self.ok("tables").splitlines()
        self.assertEqual(lines[-1], f"{len(catalogue())} tables")
        self.assertEqual([row.split()[0] for row in lines[1:-1]], list(catalogue()))
        self.assert_aligned(lines[:-1], ["KIND", "FACTORY", "BYTES", "KEY", "BLOCKS", "REVISIONS", "MEMORIES"])

    def test_global_options(self):
        """Verifies: --revisions and --trace reach the plug-in; bad options and commands get the parser's status."""
        for t in self.json_of("--revisions", "12.0", "tables")["tables"]:
            self.assertEqual((t["revisions"], t["tableFactory"]), ([], False))
        result = run("--trace", "LpmEntryTypeMapHwDirect=8", "tables")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("LpmEntryTypeMapHwDirect/8 LpmEntryTypeMapHwDirect::handleInitialized", result.stderr)
        self.assert_errors([(["--plugin", "/nonexistent.so", "tables"], "cannot load plug-in /nonexistent.so"),
                            (["--revisions", "25", "tables"], "is not CHIPTYPE.MINOR"),
                            (["--trace", "X=12", "tables"], "level \"12\""),
                            (["nosuchcommand"], "unknown command 'nosuchcommand'")], status=None)


class EncodeDecode(ShadowctlTest):
    def test_encode_and_decode_agree(self):
        """Verifies: encode builds an entry from field values (vectors as hex, byte 0 first); decode gives it back."""
        reg = "IppbTtl0ActionProfileHwReg"
        entry = self.json_of("encode", reg, "ttl0FwdStrength=7", "ttl0SnpStrength=0", "ttl0TrapCode=108",
                          "ttl0ActionProfile1=0x3987", "ttl0ActionProfile2=0x4080")
        self.assertEqual(list(entry), ["table", "key", "data", "fields", "text"])
        self.assertEqual((entry["key"], entry["data"], entry["fields"]["ttl0ActionProfile0"]),
                         ({"value": 0}, "0736873980400000", 0x3607))
        self.assertEqual(self.json_of("decode", reg, entry["data"]), entry)

        vec = "IppaRoutingProfileToVectorMapHwDirect"
        vector = self.json_of("encode", vec, "--key", "3,15", "routingEnableVector=0103")
        self.assertEqual((vector["key"], vector["data"]), ({"arrayIndex": 3, "entryIndex": 15}, "0103" + "00" * 30))
        self.assertEqual((vector["fields"]["routingEnableProfile"], vector["fields"]["routingEnableVector"]),
                         (1, vector["data"]))
        self.assertIn("EntryKey(arrayIndex=3,entryIndex=15)", vector["text"])
        self.assertEqual(self.json_of("decode", vec, vector["data"], "--key", "3,15"), vector)

        null = catalogue()["TarSnifActionTableHwDirect"]["key"]["null"]
        decoded = self.json_of("decode", "TarSnifActionTableHwDirect", "01" + "00" * 11, "--key", str(null))
        self.assertEqual((decoded["key"], decoded["fields"]["destinationOw"]), ({"value": null}, 1))

    def test_human_output_lists_every_field(self):
        """Verifies: the key, then each field in decimal and hex, one per line."""
        out = self.ok("decode", "IppaVsiToRoutingProfileMapHwDirect", "22020000", "--key", "2,60")
        self.assertRegex(out, r"key +2,60\n")
        self.assertRegex(out, r"\n +routingProfile1 +2 +0x2\n")

    def test_bad_input_gets_the_system_message(self):
        """Verifies: bad keys, values and input exit 1 with the system's message (whole range texts: ValueTypesTest)."""
        ref, tar = "IppaVsiToRoutingProfileMapHwDirect", "TarSnifActionTableHwDirect"

        def range_message_is_whole(result):
            if "< " in result.stderr:
                self.assertTrue(result.stderr.rstrip().endswith("not allowed"), result.stderr)

        self.assert_errors([
            # 258 would be 2 if the key were narrowed to a byte before the check.
            (["encode", ref, "--key", "258,0"], "::arrayIndex < "),
            (["encode", tar, "--key", "33"], "::value < "),
            (["encode", ref, "routingProfile0=16"], "U4::value < 0 or > 0x0f"),
            (["encode", ref, "nosuch=1"], "has no field 'nosuch'"),
            (["encode", ref, "routingProfile0"], "is not FIELD=VALUE"),
            (["encode", ref, "routingProfile0=x1"], "is not a decimal or 0x-hex"),
            (["encode", ref, "--key", "3"], "takes A,E"),
            (["encode", "NoSuchTable"], "unknown table 'NoSuchTable'"),
            (["encode", "IppaRoutingProfileToVectorMapHwDirect", "routingEnableVector=" + "00" * 33],
             "33 bytes given, the vector holds 32"),
            (["decode", tar, "0011"], "hold 12 data bytes (24 hex digits); got 2"),
            (["decode", tar, "zz" * 12], "is not hex"),
        ], then=range_message_is_whole)


class CollectionCommands(ShadowctlTest):
    """dump, check and stats of collections another process wrote."""

    def setUp(self):
        self.base = self.shm_dir("vovu-shadowctl-")

    def make(self, name, first, count, data=None):
        """A collection of TarSnifActionTableHwDirect entries, written by another process."""
        data = [] if data is None else [str(data)]
        subprocess.run([MAKE_COLLECTION, self.base, name, str(first), str(count), *data], check=True)
        return os.path.join(self.base, name)

    def test_dump_stats_and_check(self):
        """Verifies: dump lists every entry as the table decodes it, stats the figures, check finds it consistent."""
        path = self.make("tar", 0, 32)
        dump = self.json_of("dump", path)
        self.assertEqual(list(dump), ["path", "type", "members", "entries"])
        self.assertEqual((dump["type"], dump["members"]), ("bcm88490_a0::TarSnifActionTableHwDirect::Entry", 32))
        self.assertEqual(sorted(e["key"]["value"] for e in dump["entries"]), list(range(32)))
        for e in dump["entries"]:
            self.assertEqual((list(e), e["data"], e["fields"]["destinationOw"]),
                             (["key", "data", "fields"], f"{e['key']['value']:02x}" + "00" * 11, e["key"]["value"] & 1))
        self.assertIn("32 entries", self.ok("dump", path))

        stats = self.json_of("stats", path)
        schema = ["path", "type", "members", "slots", "buckets", "maxSlotsEver", "highestOccupied", "slotGeneration",
                  "bucketGeneration", "runtimeFlags", "palvoId", "seed", "reader"]
        self.assertEqual((list(stats), list(stats["reader"]), stats["members"], stats["reader"]["entriesRead"]),
                         (schema, ["entriesRead", "retries", "rewriteCopies", "slowPaths", "resizeRetries"], 32, 32))
        self.assertGreaterEqual(stats["slots"], 32)
        self.assertRegex(self.ok("stats", path), r"(?m)^members +32$")
        check = self.json_of("check", path)
        self.assertEqual((list(check), check["ok"]), (schema + ["ok", "freeSlots", "problems"], True))

    def test_check_reports_damage_and_changes_nothing(self):
        """Verifies: check reports a wrong occupied count and a left critical section, exits 2, writes nothing."""
        slots = pathlib.Path(self.make("damaged", 0, 10), "slots")
        before = bytearray(slots.read_bytes())
        # The occupied count, and bit 0 of the runtime flags, which a writer that died inside a critical
        # section leaves set.
        before[564:568] = (11).to_bytes(4, "little")
        before[558] |= 1
        slots.write_bytes(before)
        check = run("check", str(slots.parent), "--json")
        self.assertEqual(check.returncode, 2, check.stdout)
        problems = " ".join(json.loads(check.stdout)["problems"])
        self.assertIn("10 entries reachable but the header counts 11", problems)
        self.assertIn("critical section", problems)
        self.assertEqual(slots.read_bytes(), before, "check wrote to the collection")

    def test_watch_prints_changes(self):
        """Verifies: dump --watch prints each change another process makes as a JSON line until SIGHUP, status 0."""
        path = self.make("watched", 0, 4)
        with subprocess.Popen([SHADOWCTL, "dump", path, "--json", "--watch", "--interval", "0.05"],
                              stdout=subprocess.PIPE, text=True) as watcher:
            try:
                self.assertEqual(json.loads(watcher.stdout.readline())["members"], 4)
                self.make("watched", 2, 4, data=200)
                changes = [json.loads(watcher.stdout.readline()) for _ in range(4)]
                watcher.send_signal(signal.SIGHUP)
                self.assertEqual(watcher.wait(timeout=10), 0)
            finally:
                watcher.kill()
        self.assertEqual(sorted((c["change"], c["key"]["value"]) for c in changes),
                         [("added", 4), ("added", 5), ("changed", 2), ("changed", 3)])
        self.assertTrue(all(c["data"].startswith("c8") for c in changes))

    def test_bad_paths(self):
        """Verifies: paths that are not collections of this plug-in get a message and status 1."""
        os.makedirs(os.path.join(self.base, "empty"))
        pathlib.Path(self.base, "garbage").write_text("x")
        # A slots file of zeros, and one of another program's values: a valid common header naming another type.
        foreign = bytearray(700)
        foreign[0:12] = b"PSLT" + (1).to_bytes(4, "little") + (608).to_bytes(4, "little")
        foreign[16:20] = (7).to_bytes(4, "little")
        foreign[48:48 + 12] = b"other::Entry"
        for name, slots in (("junk", bytes(700)), ("foreign", foreign)):
            os.makedirs(os.path.join(self.base, name))
            pathlib.Path(self.base, name, "slots").write_bytes(slots)
        self.assert_errors([(["dump", "/nonexistent/dir"], "no such collection directory"),
                            (["check", os.path.join(self.base, "empty")], "not a collection"),
                            (["stats", os.path.join(self.base, "garbage")], "no such collection directory"),
                            (["dump", os.path.join(self.base, "junk")], "has no readable header"),
                            (["dump", os.path.join(self.base, "foreign")], "holds values of type other::Entry")])


class RunCommand(ShadowctlTest):
    """run: tables and shadows created, reported, and removed again."""

    SHADOW = ["fapId", "instance", "path", "entryCount", "download"]

    def setUp(self):
        self.base = self.shm_dir("vovu-shadowctl-run-")
        # Two levels that do not exist yet: the run makes them and must remove them again.
        self.root = os.path.join(self.base, "nested", "root")

    def run_json(self, *args, status=0):
        result = run("run", "--root", self.root, "--json", *args)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertNothingLeft()
        return json.loads(result.stdout)

    def assertNothingLeft(self):
        self.assertEqual(os.listdir(self.base), [], "files left behind")

    def test_json_reports_every_shadow_its_entries_and_chip(self):
        """Verifies: every table in catalogue order, a shadow per chip in the order given, each with its path (none
        for registers), download, entries and, in every memory and instance it writes, exactly its non-zero ones."""
        report = self.run_json("--chips", "3,0", "--entries", "--chip-entries", "--revision", "bcm88490_a0r1")
        self.assertEqual(list(report), ["revision", "dmaBuffer", "tables"])
        self.assertEqual((report["revision"], report["dmaBuffer"]), ("bcm88490_a0r1", 4096))
        self.assertEqual([t["name"] for t in report["tables"]], list(catalogue()))
        for table in report["tables"]:
            name, t = table["name"], catalogue()[table["name"]]
            self.assertEqual([(s["fapId"], s["instance"]) for s in table["shadows"]], [(3, 0), (0, 0)])
            for shadow in table["shadows"]:
                with self.subTest(table=name, chip=shadow["fapId"]):
                    self.assertEqual(list(shadow), self.SHADOW + ["entries", "chip"])
                    self.assertEqual((list(shadow["download"]), shadow["download"]["matches"]),
                                     (["bulkCommands", "singleCommands", "entriesWritten", "matches"], True))
                    self.assertEqual(shadow["path"], None if t["kind"] == "register" else
                                     f"ShadowTbl/bcm88490_a0r1/bcm88490_a0/{name}/{shadow['fapId']}-0")
                    entries = shadow["entries"]
                    self.assertEqual([len(e["data"]) for e in entries], [2 * t["entrySize"]] * shadow["entryCount"])
                    held = sorted((e["key"].get("arrayIndex", 0), e["key"].get("entryIndex", e["key"].get("value")),
                                   e["data"]) for e in entries if int(e["data"], 16) != 0)
                    for memory in t["descriptor"]["memories"]:
                        first = memory["firstInstanceId"]
                        for instance in range(first, first + memory["instanceCount"]):
                            on_chip = sorted((e["arrayIndex"], e["entryIndex"], e["data"]) for e in shadow["chip"]
                                             if e["memory"] == memory["name"] and e["instance"] == instance)
                            self.assertEqual(on_chip, held, (memory["name"], instance))

    def test_no_dma_clear_and_clean_audit(self):
        """Verifies: --no-dma writes singly, --clear reads zeros, a clean audit, --revision as CHIPTYPE.MINOR."""
        report = self.run_json("--no-dma", "--clear", "--audit", "--revision", "25.1", "--chips", "4")
        self.assertEqual((report["revision"], report["dmaBuffer"], report["audit"]),
                         ("bcm88490_a0r1", None, {"differences": 0, "remaining": 0}))
        for table in report["tables"]:
            shadow = table["shadows"][0]
            with self.subTest(table=table["name"]):
                self.assertEqual(list(shadow), self.SHADOW + ["clear", "audit"])
                self.assertEqual((shadow["download"]["bulkCommands"], shadow["download"]["matches"]), (0, True))
                self.assertEqual((list(shadow["clear"]), shadow["clear"]["zeros"]), (["commands", "zeros"], True))
                self.assertEqual(list(shadow["audit"]), ["missing", "extra", "differing", "zeroAmbiguous", "repaired",
                                                         "remaining", "differences"])
                self.assertEqual(shadow["audit"]["differences"], [])

    def test_audit_finds_corrupted_entries_and_repair_fixes_them(self):
        """Verifies: --corrupt N (seeded) makes the audit find N differences; they remain (exit 2) unless repaired."""
        repaired = self.run_json("--corrupt", "5", "--seed", "7", "--repair")
        self.assertEqual((repaired["corrupt"], repaired["audit"]),
                         ({"entries": 5, "seed": 7}, {"differences": 5, "remaining": 0}))
        found = [d for t in repaired["tables"] for s in t["shadows"] for d in s["audit"]["differences"]]
        self.assertEqual(len(found), 5)
        for d in found:
            self.assertEqual(list(d), ["key", "kind", "memory", "instance", "shadow", "chip", "fields"])
            self.assertIn(d["kind"], ("missing", "extra", "differing"))

        result = run("run", "--root", self.root, "--corrupt", "3", "--seed", "11")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("corrupted 3 chip entries, seed 11", result.stdout)
        self.assertIn("audit: 3 differences between shadows and chips", result.stdout)
        lines = [line for line in result.stdout.splitlines() if line.startswith("  ") and " chip " in line]
        self.assertEqual(len(lines), 3, result.stdout)
        self.assertNothingLeft()
        same_seed = self.run_json("--corrupt", "3", "--seed", "11", status=2)
        self.assertEqual(same_seed["audit"], {"differences": 3, "remaining": 3})

    def test_human_output_is_aligned(self):
        """Verifies: a heading, an aligned row per shadow, and a summary of the rows' sums. 100 bytes, no multiple of
        the entry size, hold 25 entries of 4; the pool runs out on the largest tables, whose rest goes out singly."""
        lines = self.ok("run", "--root", self.root, "--dma-buffer", "100").splitlines()
        self.assertNothingLeft()
        self.assertEqual(lines[0], f"revision bcm88490_a0, chips 0,1, DMA buffers of 100 bytes, collections below "
                                   f"{self.root}")
        rows = lines[1:-1]
        self.assertEqual(len(rows), 1 + 2 * len(catalogue()))
        self.assert_aligned(rows, ["FAP", "INSTANCE", "ENTRIES", "BULK", "SINGLE", "WRITTEN", "CHIP", "PATH"])
        cells = [row.split() for row in rows[1:]]
        for name, fap, instance, entries, bulk, single, written, chip, path in cells:
            self.assertEqual((chip, path == "-"), ("matches", catalogue()[name]["kind"] == "register"), name)
        totals = [sum(int(c[i]) for c in cells) for i in (3, 4, 5, 6)]
        self.assertNotEqual(totals[1], totals[2])
        self.assertEqual(lines[-1], f"{len(catalogue())} tables, {len(cells)} shadows, {totals[0]} entries; download: "
                                    f"{totals[1]} bulk and {totals[2]} single commands, {totals[3]} entries written; "
                                    "every chip matches its shadows")
        name = "IppaVsiToRoutingProfileMapHwDirect"
        t = catalogue()[name]
        (a0, a1), (e0, e1) = t["key"]["arrayIndex"], t["key"]["entryIndex"]
        buffers = math.ceil((a1 - a0 + 1) * (e1 - e0 + 1) / (100 // t["entrySize"]))
        self.assertEqual([int(c[4]) for c in cells if c[0] == name], [buffers * len(t["memories"])] * 2)

    def test_bad_options_fail_cleanly(self):
        """Verifies: bad chips and revisions exit 1 with a message, nothing on stdout and no files left."""
        def nothing_printed_or_left(result):
            self.assertEqual(result.stdout, "")
            self.assertNothingLeft()

        self.assert_errors([(["--dma-buffer", "0"], "--dma-buffer")], "run", "--root", self.root, status=None,
                           then=nothing_printed_or_left)
        self.assert_errors([
            (["--chips", ""], "--chips: no chip given"),
            (["--chips", "0,x"], "'x' is not a chip id"),
            (["--chips", "256"], "'256' is not a chip id"),
            (["--chips", "-1"], "'-1' is not a chip id"),
            (["--chips", "0,"], "'' is not a chip id"),
            (["--chips", "1,2,1"], "chip 1 is given twice"),
            (["--revision", "bogus"], "is not CHIPTYPE.MINOR"),
            (["--revision", "25"], "is not CHIPTYPE.MINOR"),
            (["--revision", "25.0,25.1"], "give one revision"),
            # A revision without registered table factories.
            (["--revision", "25.7"], "is registered for revision"),
        ], "run", "--root", self.root, then=nothing_printed_or_left)

    def test_serve_then_dump_from_another_process(self):
        """Verifies: --serve keeps the collections for dump, refuses a second writer, ends cleanly on each signal."""
        direct = [name for name, t in catalogue().items() if t["kind"] == "direct"]
        for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=stop.name), subprocess.Popen(
                    [SHADOWCTL, "run", "--root", self.root, "--serve", "--json", "--entries", "--chips", "0"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as server:
                try:
                    shadows = {t["name"]: t["shadows"][0] for t in json.loads(server.stdout.readline())["tables"]}
                    self.assertIn(f"serving {len(direct)} collections below {self.root}", server.stderr.readline())
                    for name in direct:
                        dumped = self.json_of("dump", collection_dir(self.root, shadows[name]["path"]))
                        self.assertEqual((dumped["type"], dumped["members"]),
                                         (f"bcm88490_a0::{name}::Entry", shadows[name]["entryCount"]))
                        self.assertEqual([{"key": e["key"], "data": e["data"]} for e in dumped["entries"]],
                                         shadows[name]["entries"])
                    # The collections have a live writer: a second run on the same root cannot mount them,
                    # and leaves the served files alone.
                    second = run("run", "--root", self.root, "--chips", "0")
                    self.assertEqual(second.returncode, 1, second.stdout)
                    self.assertRegex(second.stderr, r"cannot add the shadow of \w+ on chip 0: .* is owned by ")
                    tar = collection_dir(self.root, shadows["TarSnifActionTableHwDirect"]["path"])
                    self.assertEqual(self.json_of("dump", tar)["members"],
                                     shadows["TarSnifActionTableHwDirect"]["entryCount"])
                    server.send_signal(stop)
                    self.assertEqual(server.wait(timeout=30), 0, server.stderr.read())
                finally:
                    server.kill()
            self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
