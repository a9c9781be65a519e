"""shadowctl end to end: the catalogue it lists, the tables it runs, the collections it reads, and its errors."""
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import tempfile
import sys
import tomllib
import unittest

SHADOWCTL = sys.argv.pop(1) if len(sys.argv) > 1 else "shadowctl"
MAKE_COLLECTION = sys.argv.pop(1) if len(sys.argv) > 1 else "make_collection"

# The catalogue as its descriptions give it: name -> the description's data.
DESCRIPTIONS = pathlib.Path(__file__).resolve().parents[2] / "src" / "tables"
DESCRIBED = {d["name"]: d for d in (tomllib.loads(path.read_text()) for path in sorted(DESCRIPTIONS.glob("*.toml")))}
DIRECT = {name for name, d in DESCRIBED.items() if d["kind"] == "direct"}


def key_of(name):
    """The key range of a table as `tables --json` shows it."""
    key = DESCRIBED[name]["key"]
    if key["form"] == "indexed":
        return {"form": "indexed", "arrayIndex": key["arrayIndex"], "entryIndex": key["entryIndex"]}
    return {"form": "value", "min": 0, "max": key["max"], "null": key["max"] + 1}


def memories_of(name):
    return DESCRIBED[name]["memory"]


def run(*args, env=None):
    return subprocess.run([SHADOWCTL, *args], capture_output=True, text=True, env=env)


class TablesCommand(unittest.TestCase):
    def test_json_lists_every_described_table(self):
        """Verifies: `tables --json` lists exactly the described tables, with their registration facts."""
        result = run("tables", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        tables = {t["name"]: t for t in json.loads(result.stdout)["tables"]}
        self.assertEqual(set(tables), set(DESCRIBED))
        for name, described in DESCRIBED.items():
            t = tables[name]
            plugin = described["tablePlugin"]
            with self.subTest(table=name):
                self.assertEqual(t["typeName"], "bcm88490_a0::" + name)
                self.assertEqual(t["kind"], described["kind"])
                self.assertEqual(t["bcmName"], described["bcmName"])
                self.assertEqual(t["bcmRegName"], described["bcmName"] if name not in DIRECT else None)
                self.assertEqual(t["group"], described["group"])
                self.assertEqual(t["memories"], [m["name"] for m in memories_of(name)])
                self.assertEqual(t["tableFactory"], plugin)
                self.assertEqual(t["tablePlugin"], "bcm88490_a0::" + name + "Plugin" if plugin else None)
                self.assertEqual(t["readerPlugin"], "bcm88490_a0::" + name + "ReadPluginPlugin")
                self.assertEqual(t["blocks"], described["blocks"])
                self.assertEqual(t["revisions"], ["bcm88490_a0", "bcm88490_a0r1"])
                self.assertEqual(t["tag"], "noTag")
                self.assertEqual(t["parity"], described.get("parity", False), name)
                self.assertEqual(t["attributes"]["standalone"], not plugin)
                self.assertEqual(t["entrySize"], described["entrySize"])
                self.assertEqual(t["key"], key_of(name))
                for memory in t["descriptor"]["memories"]:
                    self.assertEqual(memory["entrySize"], described["entrySize"])

    def test_human_output_is_aligned(self):
        """Verifies: the default output is one aligned row per table under a header."""
        result = run("tables")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[-1], f"{len(DESCRIBED)} tables")
        rows = lines[:-1]
        self.assertEqual(len(rows), 1 + len(DESCRIBED))
        column = rows[0].index("KIND")
        self.assertTrue(all(row[column - 2:column] == "  " for row in rows), rows)

    def test_revision_option_changes_what_registers(self):
        """Verifies: a list without chip type 25 leaves every table unregistered."""
        result = run("--revisions", "12.0", "tables", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        for t in json.loads(result.stdout)["tables"]:
            self.assertEqual(t["revisions"], [])
            self.assertFalse(t["tableFactory"])

    def test_errors_are_reported_not_crashed(self):
        """Verifies: bad input gets a message on stderr and a non-zero status."""
        for args, message in [(["--plugin", "/nonexistent.so", "tables"], "cannot load plug-in /nonexistent.so"),
                              (["--revisions", "25", "tables"], "is not CHIPTYPE.MINOR"),
                              (["--trace", "X=12", "tables"], "level \"12\""),
                              (["nosuchcommand"], "unknown command 'nosuchcommand'")]:
            with self.subTest(args=args):
                result = run(*args)
                self.assertNotEqual(result.returncode, 0)
                self.assertLess(result.returncode, 128)
                self.assertIn(message, result.stderr)

    def test_trace_option_reaches_table_handles(self):
        """Verifies: --trace enables a table's handle; its level-8 trace of table creation shows."""
        result = run("--trace", "LpmEntryTypeMapHwDirect=8", "tables")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("LpmEntryTypeMapHwDirect/8 LpmEntryTypeMapHwDirect::handleInitialized", result.stderr)


class EncodeDecode(unittest.TestCase):
    def encode(self, *args):
        result = run("encode", *args, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_ttl_register_example(self):
        """Verifies: the TTL register's sub-fields encode to profile 0x3607, and decode reads them back."""
        entry = self.encode("IppbTtl0ActionProfileHwReg", "ttl0FwdStrength=7", "ttl0SnpStrength=0",
                            "ttl0TrapCode=108", "ttl0ActionProfile1=0x3987", "ttl0ActionProfile2=0x4080")
        self.assertEqual(entry["fields"]["ttl0ActionProfile0"], 0x3607)
        self.assertEqual(entry["data"], "0736873980400000")
        self.assertEqual(entry["key"], {"value": 0})
        decoded = json.loads(run("decode", "IppbTtl0ActionProfileHwReg", entry["data"], "--json").stdout)
        self.assertEqual(decoded, entry)

    def test_indexed_key_and_vector_field(self):
        """Verifies: an indexed key and a vector field given as hex bytes, byte 0 first."""
        entry = self.encode("IppaRoutingProfileToVectorMapHwDirect", "--key", "3,15", "routingEnableVector=0103")
        self.assertEqual(entry["key"], {"arrayIndex": 3, "entryIndex": 15})
        self.assertEqual(entry["data"], "0103" + "00" * 30)
        self.assertEqual(entry["fields"]["routingEnableProfile"], 1)
        self.assertEqual(entry["fields"]["routingEnableVector"], entry["data"])
        self.assertIn("EntryKey(arrayIndex=3,entryIndex=15)", entry["text"])
        # Encoding from data and decoding agree for every key of a value-key table's range ends.
        for key in ("0", "32"):
            decoded = json.loads(run("decode", "TarSnifActionTableHwDirect", "01" + "00" * 11, "--key", key,
                                     "--json").stdout)
            self.assertEqual(decoded["key"], {"value": int(key)})
            self.assertEqual(decoded["fields"]["destinationOw"], 1)

    def test_human_output_lists_every_field(self):
        result = run("decode", "IppaVsiToRoutingProfileMapHwDirect", "22020000", "--key", "2,60")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"routingProfile1 +2 +0x2")
        self.assertRegex(result.stdout, r"key +2,60")

    def test_bad_input_gets_the_system_message(self):
        """Verifies: out-of-range keys and values and unknown names print the system's message and fail."""
        ref = "bcm88490_a0::IppaVsiToRoutingProfileMapHwDirect::EntryKey"
        tar = "bcm88490_a0::TarSnifActionTableHwDirect::EntryKey"
        cases = [
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "--key", "4,0"],
             f"{ref}::arrayIndex < {ref}::arrayIndexMin or > {ref}::arrayIndexMax not allowed"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "--key", "258,0"], f"{ref}::arrayIndex < "),
            (["encode", "TarSnifActionTableHwDirect", "--key", "33"],
             f"{tar}::value < {tar}::min or > {tar}::null not allowed"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "routingProfile0=16"],
             "U4::value < 0 or > 0x0f not allowed"),
            (["encode", "IppaCsInlif0ProfileMapHwDirect", "csInlif0Profile=256"],
             "csInlif0Profile::value < 0 or > 0xff not allowed"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "nosuch=1"], "has no field 'nosuch'"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "routingProfile0"], "is not FIELD=VALUE"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "routingProfile0=x1"], "is not a decimal or 0x-hex"),
            (["encode", "IppaVsiToRoutingProfileMapHwDirect", "--key", "3"], "takes A,E"),
            (["encode", "NoSuchTable"], "unknown table 'NoSuchTable'"),
            (["encode", "IppaRoutingProfileToVectorMapHwDirect", "routingEnableVector=" + "00" * 33],
             "33 bytes given, the vector holds 32"),
            (["decode", "TarSnifActionTableHwDirect", "0011"], "hold 12 data bytes (24 hex digits); got 2"),
            (["decode", "TarSnifActionTableHwDirect", "zz" * 12], "is not hex"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(message, result.stderr)


class CollectionCommands(unittest.TestCase):
    """dump, check and stats of collections another process wrote."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="vovu-shadowctl-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(shutil.rmtree, self.base, True)

    def make(self, name, table, first, count, data=None):
        args = [MAKE_COLLECTION, self.base, name, table, str(first), str(count)] + ([str(data)] if data is not None else [])
        subprocess.run(args, check=True)
        return os.path.join(self.base, name)

    def test_dump_lists_entries_decoded(self):
        """Verifies: dump --json lists every entry with its key, data and fields, as the table decodes them."""
        path = self.make("tar", "TarSnifActionTableHwDirect", 0, 32)
        result = run("dump", path, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        dump = json.loads(result.stdout)
        self.assertEqual(dump["type"], "bcm88490_a0::TarSnifActionTableHwDirect::Entry")
        self.assertEqual(dump["members"], 32)
        self.assertEqual(sorted(e["key"]["value"] for e in dump["entries"]), list(range(32)))
        for entry in dump["entries"]:
            self.assertEqual(len(entry["data"]), 24)
            self.assertEqual(int(entry["data"][:2], 16), entry["key"]["value"])
            self.assertEqual(entry["fields"]["destinationOw"], entry["key"]["value"] & 1)
        lpm = json.loads(run("dump", self.make("lpm", "LpmEntryTypeMapHwDirect", 1020, 8), "--json").stdout)
        self.assertIn({"arrayIndex": 1, "entryIndex": 3}, [e["key"] for e in lpm["entries"]])
        human = run("dump", path)
        self.assertEqual(human.returncode, 0, human.stderr)
        self.assertIn("32 entries", human.stdout)

    def test_stats_and_check(self):
        """Verifies: stats reports the collection's figures; check finds a consistent collection consistent."""
        path = self.make("stats", "TarSnifActionTableHwDirect", 0, 32)
        stats = json.loads(run("stats", path, "--json").stdout)
        self.assertEqual(stats["members"], 32)
        self.assertGreaterEqual(stats["slots"], 32)
        self.assertGreaterEqual(stats["buckets"], 16)
        self.assertEqual(stats["reader"]["entriesRead"], 32)
        check = run("check", path, "--json")
        self.assertEqual(check.returncode, 0, check.stdout)
        self.assertTrue(json.loads(check.stdout)["ok"])

    def test_check_reports_damage_and_changes_nothing(self):
        """Verifies: check reports a wrong occupied count and a left critical section, and writes nothing."""
        path = self.make("damaged", "TarSnifActionTableHwDirect", 0, 10)
        slots = os.path.join(path, "slots")
        with open(slots, "r+b") as f:
            f.seek(564)
            f.write((11).to_bytes(4, "little"))
            # A writer that died inside a critical section leaves bit 0 of the runtime flags set.
            f.seek(558)
            flags = int.from_bytes(f.read(2), "little")
            f.seek(558)
            f.write((flags | 1).to_bytes(2, "little"))
        with open(slots, "rb") as f:
            before = f.read()
        check = run("check", path, "--json")
        self.assertEqual(check.returncode, 2, check.stdout)
        problems = " ".join(json.loads(check.stdout)["problems"])
        self.assertIn("10 entries reachable but the header counts 11", problems)
        self.assertIn("critical section", problems)
        with open(slots, "rb") as f:
            self.assertEqual(f.read(), before, "check wrote to the collection")

    def test_watch_prints_changes(self):
        """Verifies: dump --watch prints what another process adds and changes, one JSON object a line."""
        path = self.make("watched", "TarSnifActionTableHwDirect", 0, 4)
        watcher = subprocess.Popen([SHADOWCTL, "dump", path, "--json", "--watch", "--interval", "0.05"],
                                   stdout=subprocess.PIPE, text=True)
        try:
            self.assertEqual(json.loads(watcher.stdout.readline())["members"], 4)
            self.make("watched", "TarSnifActionTableHwDirect", 2, 4, data=200)
            changes = [json.loads(watcher.stdout.readline()) for _ in range(4)]
        finally:
            watcher.terminate()
            watcher.wait(timeout=10)
            watcher.stdout.close()
        self.assertEqual(sorted((c["change"], c["key"]["value"]) for c in changes),
                         [("added", 4), ("added", 5), ("changed", 2), ("changed", 3)])
        self.assertTrue(all(c["data"].startswith("c8") for c in changes))

    def test_bad_paths(self):
        """Verifies: paths that are not collections of this plug-in get a message and status 1."""
        os.makedirs(os.path.join(self.base, "empty"))
        with open(os.path.join(self.base, "garbage"), "w") as f:
            f.write("x")
        os.makedirs(os.path.join(self.base, "junk"))
        with open(os.path.join(self.base, "junk", "slots"), "wb") as f:
            f.write(b"\0" * 700)
        # A slots file of another program's values: a valid common header naming another type.
        os.makedirs(os.path.join(self.base, "foreign"))
        header = bytearray(700)
        header[0:12] = b"PSLT" + (1).to_bytes(4, "little") + (608).to_bytes(4, "little")
        header[16:20] = (7).to_bytes(4, "little")
        header[48:48 + 12] = b"other::Entry"
        with open(os.path.join(self.base, "foreign", "slots"), "wb") as f:
            f.write(header)
        for args, message in [(["dump", "/nonexistent/dir"], "no such collection directory"),
                              (["check", os.path.join(self.base, "empty")], "not a collection"),
                              (["stats", os.path.join(self.base, "garbage")], "no such collection directory"),
                              (["dump", os.path.join(self.base, "junk")], "has no readable header"),
                              (["dump", os.path.join(self.base, "foreign")], "holds values of type other::Entry")]:
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(message, result.stderr)


def key_count(name):
    """The number of keys in a table's key range."""
    key = key_of(name)
    if key["form"] == "indexed":
        (a0, a1), (e0, e1) = key["arrayIndex"], key["entryIndex"]
        return (a1 - a0 + 1) * (e1 - e0 + 1)
    return key["max"] - key["min"] + 1


def collection_dir(root, path):
    """The directory of a shadow's entry collection below `root`, as Mem::OrlRootPath names it."""
    return os.path.join(root, re.sub(r"[^A-Za-z0-9._-]", "_", (path + "/entryColl").lstrip("/")))


# The snoop commands whose entries TarSnifActionTableHwDirect's default contents write.
TAR_SNIF_DEFAULT_KEYS = [1, 2, 3, 7, 8, 11, 12, 16, 17, 19]


class RunCommand(unittest.TestCase):
    """run: tables and shadows created, reported, and removed again."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="vovu-shadowctl-run-",
                                     dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        self.addCleanup(shutil.rmtree, self.base, True)
        # Two levels that do not exist yet: the run makes them and must remove them again.
        self.root = os.path.join(self.base, "nested", "root")

    def run_json(self, *args):
        return self.run_json_status(0, *args)

    def run_json_status(self, status, *args):
        result = run("run", "--root", self.root, "--json", *args)
        self.assertEqual(result.returncode, status, result.stderr)
        return json.loads(result.stdout)

    def assertNothingLeft(self):
        self.assertEqual(os.listdir(self.base), [], "files left behind")

    def test_json_reports_every_table_and_shadow(self):
        """Verifies: every table x 2 chips; default entry counts; paths; every shadow downloaded in bulk writes of
        4 KiB buffers (one per memory and buffer), the trap table by single writes of its held keys, the registers
        by one write; every chip matches; no files left."""
        report = self.run_json()
        self.assertEqual(report["revision"], "bcm88490_a0")
        self.assertEqual(report["dmaBuffer"], 4096)
        tables = {t["name"]: t for t in report["tables"]}
        self.assertEqual(set(tables), set(DESCRIBED))
        for name, table in tables.items():
            with self.subTest(table=name):
                self.assertEqual([(s["fapId"], s["instance"]) for s in table["shadows"]], [(0, 0), (1, 0)])
                memories = len(memories_of(name))
                for shadow in table["shadows"]:
                    self.assertNotIn("entries", shadow)
                    self.assertNotIn("chip", shadow)
                    download = shadow["download"]
                    self.assertTrue(download["matches"])
                    if name not in DIRECT:
                        self.assertIsNone(shadow["path"])
                        self.assertEqual(shadow["entryCount"], 1)
                        self.assertEqual((download["bulkCommands"], download["singleCommands"]), (0, 1))
                    else:
                        self.assertEqual(shadow["path"],
                                         f"ShadowTbl/bcm88490_a0/bcm88490_a0/{name}/{shadow['fapId']}-0")
                        self.assertLessEqual(shadow["entryCount"], key_count(name))
                    if DESCRIBED[name]["walk"] == "full":
                        per_buffer = 4096 // DESCRIBED[name]["entrySize"]
                        buffers = -(-key_count(name) // per_buffer)
                        self.assertEqual((download["bulkCommands"], download["singleCommands"]),
                                         (buffers * memories, 0))
                        instances = sum(m["instanceCount"] for m in memories_of(name))
                        self.assertEqual(download["entriesWritten"], key_count(name) * instances)
        for shadow in tables["TarSnifActionTableHwDirect"]["shadows"]:
            self.assertEqual((shadow["entryCount"], shadow["download"]["singleCommands"],
                              shadow["download"]["bulkCommands"], shadow["download"]["entriesWritten"]),
                             (10, 10, 0, 10))
        self.assertNothingLeft()

    def test_download_options_and_clear(self):
        """Verifies: --no-dma writes every key singly, --dma-buffer sets the bulk size, --clear leaves the chips
        reading zeros; each check passes."""
        report = self.run_json("--no-dma", "--clear", "--chips", "4")
        self.assertIsNone(report["dmaBuffer"])
        for table in report["tables"]:
            name = table["name"]
            memories = len(memories_of(name))
            shadow = table["shadows"][0]
            with self.subTest(table=name):
                self.assertEqual(shadow["download"]["bulkCommands"], 0)
                if DESCRIBED[name]["walk"] == "full":
                    self.assertEqual(shadow["download"]["singleCommands"], key_count(name) * memories)
                self.assertTrue(shadow["download"]["matches"])
                self.assertTrue(shadow["clear"]["zeros"])
        # 100 bytes hold 25 entries of 4 bytes: the 512 keys of the reference table take 21 buffers.
        report = self.run_json("--dma-buffer", "100", "--chips", "0")
        reference = next(t for t in report["tables"] if t["name"] == "IppaVsiToRoutingProfileMapHwDirect")
        self.assertEqual(reference["shadows"][0]["download"]["bulkCommands"], 21)
        self.assertTrue(reference["shadows"][0]["download"]["matches"])
        self.assertNothingLeft()

    def test_chip_entries_come_from_the_simulated_chip(self):
        """Verifies: --chip-entries lists the chip's non-zero entries of every memory and instance: the trap
        table's held keys, both LPM instances, the register's bytes."""
        report = self.run_json("--chip-entries", "--chips", "0")
        tables = {t["name"]: t["shadows"][0] for t in report["tables"]}
        tar = tables["TarSnifActionTableHwDirect"]["chip"]
        self.assertEqual([e["entryIndex"] for e in tar], TAR_SNIF_DEFAULT_KEYS)
        self.assertEqual({e["memory"] for e in tar}, {"tarSnifActionTable"})
        lpm = tables["LpmEntryTypeMapHwDirect"]["chip"]
        self.assertEqual(sorted({e["instance"] for e in lpm}), [0, 1])
        ttl = tables["IppbTtl0ActionProfileHwReg"]["chip"]
        self.assertEqual(ttl, [{"memory": "ippbTtl0ActionProfile", "instance": 0, "arrayIndex": 0, "entryIndex": 0,
                                "data": "0736873980400000"}])
        self.assertNothingLeft()

    def test_entries_list_each_shadows_contents(self):
        """Verifies: --entries lists each shadow's entries (key and data hex), as many as entryCount, chips as given."""
        report = self.run_json("--entries", "--chips", "3,0")
        tables = {t["name"]: t for t in report["tables"]}
        for table in report["tables"]:
            self.assertEqual([s["fapId"] for s in table["shadows"]], [3, 0])
            for shadow in table["shadows"]:
                self.assertEqual(len(shadow["entries"]), shadow["entryCount"], table["name"])
                size = DESCRIBED[table["name"]]["entrySize"]
                self.assertTrue(all(len(e["data"]) == 2 * size for e in shadow["entries"]), table["name"])
        tar = tables["TarSnifActionTableHwDirect"]["shadows"][0]["entries"]
        self.assertEqual(sorted(e["key"]["value"] for e in tar), TAR_SNIF_DEFAULT_KEYS)
        # destinationOw (bit 0) is set in every default entry.
        self.assertTrue(all(int(e["data"][:2], 16) & 1 for e in tar), tar)
        lpm = tables["LpmEntryTypeMapHwDirect"]["shadows"][1]["entries"]
        self.assertEqual(len({(e["key"]["arrayIndex"], e["key"]["entryIndex"]) for e in lpm}), 2048)
        self.assertEqual(tables["IppbTtl0ActionProfileHwReg"]["shadows"][0]["entries"][0]["key"], {"value": 0})
        self.assertNothingLeft()

    def test_audit_finds_corrupted_entries_and_repair_fixes_them(self):
        """Verifies: a clean run audits clean; --corrupt N (seeded) makes the audit find exactly N differences,
        named by table, chip, key and fields; without --repair they remain (exit 2), with it none do (exit 0)."""
        clean = self.run_json("--audit", "--chips", "0")
        self.assertEqual(clean["audit"], {"differences": 0, "remaining": 0})
        for table in clean["tables"]:
            audit = table["shadows"][0]["audit"]
            self.assertEqual((audit["missing"], audit["extra"], audit["differing"], audit["differences"]),
                             (0, 0, 0, []), table["name"])

        repaired = self.run_json("--corrupt", "5", "--seed", "7", "--repair")
        self.assertEqual(repaired["corrupt"], {"entries": 5, "seed": 7})
        self.assertEqual(repaired["audit"], {"differences": 5, "remaining": 0})
        found = [d for t in repaired["tables"] for s in t["shadows"] for d in s["audit"]["differences"]]
        self.assertEqual(len(found), 5)
        for d in found:
            self.assertIn(d["kind"], ("missing", "extra", "differing"))
            self.assertTrue(d["shadow"] is not None or d["chip"] is not None, d)

        result = run("run", "--root", self.root, "--corrupt", "3", "--seed", "11")
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("corrupted 3 chip entries, seed 11", result.stdout)
        self.assertIn("audit: 3 differences between shadows and chips", result.stdout)
        lines = [line for line in result.stdout.splitlines() if line.startswith("  ") and " chip " in line]
        self.assertEqual(len(lines), 3, result.stdout)
        same_seed = self.run_json_status(2, "--corrupt", "3", "--seed", "11")
        self.assertEqual(same_seed["audit"], {"differences": 3, "remaining": 3})
        self.assertNothingLeft()

    def test_revision_option(self):
        """Verifies: --revision takes the name `tables` shows or CHIPTYPE.MINOR; the shadows' paths follow it."""
        for text in ("bcm88490_a0r1", "25.1"):
            with self.subTest(revision=text):
                report = self.run_json("--revision", text, "--chips", "2")
                self.assertEqual(report["revision"], "bcm88490_a0r1")
                tar = next(t for t in report["tables"] if t["name"] == "TarSnifActionTableHwDirect")
                self.assertEqual(tar["shadows"][0]["path"],
                                 "ShadowTbl/bcm88490_a0r1/bcm88490_a0/TarSnifActionTableHwDirect/2-0")
                self.assertNothingLeft()

    def test_human_output_is_aligned(self):
        """Verifies: one aligned row per shadow with its download and check; register shadows show no path."""
        result = run("run", "--root", self.root)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("revision bcm88490_a0, chips 0,1, DMA buffers of 4096 bytes, collections "
                                            "below "), lines[0])
        self.assertRegex(lines[-1], rf"^{len(DESCRIBED)} tables, {2 * len(DESCRIBED)} shadows, \d+ entries; download: "
                                    r"\d+ bulk and \d+ single commands, \d+ entries written; every chip matches its "
                                    r"shadows$")
        rows = lines[1:-1]
        self.assertEqual(len(rows), 1 + 2 * len(DESCRIBED))
        for header in ("ENTRIES", "BULK", "SINGLE", "WRITTEN", "CHIP", "PATH"):
            column = rows[0].index(header)
            self.assertTrue(all(row[column - 2:column] == "  " for row in rows), header)
        tar = next(row for row in rows if row.startswith("TarSnifActionTableHwDirect "))
        self.assertRegex(tar, r"\s10\s+0\s+10\s+10\s+matches\s")
        ttl = next(row for row in rows if row.startswith("IppbTtl0ActionProfileHwReg "))
        self.assertTrue(ttl.endswith("  -"), ttl)
        self.assertNothingLeft()

    def test_bad_options_fail_cleanly(self):
        """Verifies: bad chips and revisions print a message, exit 1 and leave no files."""
        cases = [
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
            (["--revision", "25.7"], "no table factory of IppaCsInlif0ProfileMapHwDirect is registered for revision"),
        ]
        result = run("run", "--root", self.root, "--dma-buffer", "0")
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("--dma-buffer", result.stderr)
        self.assertNothingLeft()
        for args, message in cases:
            with self.subTest(args=args):
                result = run("run", "--root", self.root, *args)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertNothingLeft()

    def test_serve_then_dump_from_another_process(self):
        """Verifies: --serve keeps the collections for dump; a second writer is refused; a stop signal removes all."""
        for stop in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=stop.name):
                server = subprocess.Popen([SHADOWCTL, "run", "--root", self.root, "--serve", "--json", "--entries",
                                           "--chips", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    report = json.loads(server.stdout.readline())
                    notice = server.stderr.readline()
                    self.assertIn(f"serving {len(DIRECT)} collections below {self.root}", notice)
                    shadows = {t["name"]: t["shadows"][0] for t in report["tables"]}
                    for name in ("TarSnifActionTableHwDirect", "LpmEntryTypeMapHwDirect"):
                        directory = collection_dir(self.root, shadows[name]["path"])
                        dump = run("dump", directory, "--json")
                        self.assertEqual(dump.returncode, 0, dump.stderr)
                        dumped = json.loads(dump.stdout)
                        self.assertEqual(dumped["type"], f"bcm88490_a0::{name}::Entry")
                        self.assertEqual(dumped["members"], shadows[name]["entryCount"])
                        self.assertEqual([{"key": e["key"], "data": e["data"]} for e in dumped["entries"]],
                                         shadows[name]["entries"])
                    # The collections have a live writer: a second run on the same root cannot mount them,
                    # and leaves the served files alone.
                    second = run("run", "--root", self.root, "--chips", "0")
                    self.assertEqual(second.returncode, 1, second.stdout)
                    self.assertIn("cannot add the shadow of", second.stderr)
                    self.assertIn("is owned by", second.stderr)
                    tar = collection_dir(self.root, shadows["TarSnifActionTableHwDirect"]["path"])
                    self.assertEqual(json.loads(run("dump", tar, "--json").stdout)["members"], 10)
                    server.send_signal(stop)
                    self.assertEqual(server.wait(timeout=30), 0, server.stderr.read())
                finally:
                    if server.poll() is None:
                        server.kill()
                        server.wait()
                    server.stdout.close()
                    server.stderr.close()
                self.assertNothingLeft()


if __name__ == "__main__":
    unittest.main()
