"""shadowctl end to end: the catalogue it lists and its errors."""
import json
import subprocess
import sys
import unittest

SHADOWCTL = sys.argv.pop(1) if len(sys.argv) > 1 else "shadowctl"

# name: (bcmMemName or bcmRegName, group, memories, table plug-in, blocks)
EXPECTED = {
    "IppaVsiToRoutingProfileMapHwDirect": ("IPPA_ROUTING_PROFILE_TABLE", "IppaVsiToRoutingProfileMapHw",
                                           ["ippaRoutingProfileTable"], False, [243]),
    "IppaCsInlif0ProfileMapHwDirect": ("IPPA_CS_INLIF_0_PROFILE_MAP", "IppaCsInlif0ProfileMapHw",
                                       ["ippaCsInlif0ProfileMap"], True, [243]),
    "TarSnifActionTableHwDirect": ("TAR_SNIF_ACTION_TABLE", "TarSnifActionTableHw", ["tarSnifActionTable"], True,
                                   [379]),
    "EtppcCfgMtuActionProfileIdxMapTableHwDirect": (
        "ETPPC_CFG_MTU_ACTION_PROFILE_IDX_MAP_TABLE.ETPPB_CFG_MTU_ACTION_PROFILE_IDX_MAP_TABLE",
        "EtppcCfgMtuActionProfileIdxMapTableHw",
        ["etppcCfgMtuActionProfileIdxMapTable", "etppbCfgMtuActionProfileIdxMapTable"], True, [151, 150]),
    "IppfRoutingProfileToVectorMapHwDirect": ("IPPF_MAP_ROUTE_PROFILE_TO_ROUTE_VECTOR",
                                              "IppfRoutingProfileToVectorMapHw",
                                              ["ippfMapRouteProfileToRouteVector"], False, [248]),
    "IppdInlifProfileTableHwDirect": ("IPPD_IN_LIF_PROFILE_TABLE", "IppdInlifProfileTableHw",
                                      ["ippdInLifProfileTable"], True, [246]),
    "IppfVsiToRoutingProfileMapHwDirect": ("IPPF_ROUTING_PROFILE_TABLE", "IppfVsiToRoutingProfileMapHw",
                                           ["ippfRoutingProfileTable"], False, [248]),
    "EtppbSnoopActionTableHwReg": ("ETPPB_SNOOP_ACTION_TABLE", "EtppbSnoopActionTableHw", ["etppbSnoopActionTable"], True, []),
    "EtppcMtuMapTableHwDirect": ("ETPPC_MTU_MAP_TABLE.ETPPB_MTU_MAP_TABLE", "EtppcMtuMapTableHw",
                                 ["etppcMtuMapTable", "etppbMtuMapTable"], True, [151, 150]),
    "IppfVsiPrefixIndexTableHwDirect": ("IPPF_VSI_PREFIX_INDEX_TABLE", "IppfVsiPrefixIndexTableHw",
                                        ["ippfVsiPrefixIndexTable"], True, [248]),
    "IppbIpv4ActionProfilesCfgHwReg": ("IPPB_IPV4_ACTION_PROFILES_CFG", "IppbIpv4ActionProfilesCfgHw", ["ippbIpv4ActionProfilesCfg"], True, []),
    "IppdAllowDefaultRouteHwReg": ("IPPD_ALLOW_DEFAULT_ROUTE", "IppdAllowDefaultRouteHw", ["ippdAllowDefaultRoute"], True, []),
    "IppbIpv6ActionProfiles0CfgHwReg": ("IPPB_IPV6_ACTION_PROFILES_0_CFG", "IppbIpv6ActionProfiles0CfgHw", ["ippbIpv6ActionProfiles0Cfg"], True,
                                        []),
    "EtppcTermVsdArrPrefixTableHwDirect": ("ETPPC_TERM_VSD_ARR_PREFIX_TABLE", "EtppcTermVsdArrPrefixTableHw",
                                           ["etppcTermVsdArrPrefixTable"], True, [151]),
    "LpmEntryTypeMapHwDirect": ("IPPB_FLP_LPM_ENTRY_TYPE_MAP_MEM", "LpmEntryTypeMapHw",
                                ["ippbFlpLpmEntryTypeMapMem"], True, [244]),
    "IppbTtl0ActionProfileHwReg": ("IPPB_TTL_0_ACTION_PROFILE", "IppbTtl0ActionProfileHw", ["ippbTtl0ActionProfile"], True, []),
    "IppbFlpInlifProfile0MapHwDirect": ("IPPB_FLP_INLIF_PROFILE_0_MAP", "IppbFlpInlifProfile0MapHw",
                                        ["ippbFlpInlifProfile0Map"], True, [244]),
    "IppaRoutingProfileToVectorMapHwDirect": ("IPPA_MAP_ROUTE_PROFILE_TO_ROUTE_VECTOR",
                                              "IppaRoutingProfileToVectorMapHw",
                                              ["ippaMapRouteProfileToRouteVector"], False, [243]),
}

# The memories that carry ECC.
PARITY = {"IppaVsiToRoutingProfileMapHwDirect", "IppfVsiToRoutingProfileMapHwDirect", "LpmEntryTypeMapHwDirect"}

# name: (entry size, key) from the data models of the tables.
KEYS = {
    "IppaVsiToRoutingProfileMapHwDirect": (4, {"form": "indexed", "arrayIndex": [2, 3], "entryIndex": [0, 255]}),
    "IppaCsInlif0ProfileMapHwDirect": (4, {"form": "indexed", "arrayIndex": [2, 3], "entryIndex": [0, 255]}),
    "IppaRoutingProfileToVectorMapHwDirect": (32, {"form": "indexed", "arrayIndex": [2, 3], "entryIndex": [0, 15]}),
    "IppbFlpInlifProfile0MapHwDirect": (4, {"form": "value", "min": 0, "max": 255, "null": 256}),
    "IppdInlifProfileTableHwDirect": (4, {"form": "value", "min": 0, "max": 255, "null": 256}),
    "IppfRoutingProfileToVectorMapHwDirect": (32, {"form": "indexed", "arrayIndex": [0, 1], "entryIndex": [0, 15]}),
    "IppfVsiToRoutingProfileMapHwDirect": (4, {"form": "indexed", "arrayIndex": [0, 1], "entryIndex": [0, 255]}),
    "IppfVsiPrefixIndexTableHwDirect": (4, {"form": "value", "min": 0, "max": 7, "null": 8}),
    "LpmEntryTypeMapHwDirect": (4, {"form": "indexed", "arrayIndex": [0, 1], "entryIndex": [0, 1023]}),
    "EtppcCfgMtuActionProfileIdxMapTableHwDirect": (4, {"form": "value", "min": 0, "max": 3, "null": 4}),
    "EtppcMtuMapTableHwDirect": (4, {"form": "value", "min": 0, "max": 127, "null": 128}),
    "EtppcTermVsdArrPrefixTableHwDirect": (4, {"form": "value", "min": 0, "max": 7, "null": 8}),
    "TarSnifActionTableHwDirect": (12, {"form": "value", "min": 0, "max": 31, "null": 32}),
    "EtppbSnoopActionTableHwReg": (24, {"form": "value", "min": 0, "max": 0, "null": 1}),
    "IppbIpv4ActionProfilesCfgHwReg": (8, {"form": "value", "min": 0, "max": 0, "null": 1}),
    "IppdAllowDefaultRouteHwReg": (4, {"form": "value", "min": 0, "max": 0, "null": 1}),
    "IppbIpv6ActionProfiles0CfgHwReg": (12, {"form": "value", "min": 0, "max": 0, "null": 1}),
    "IppbTtl0ActionProfileHwReg": (8, {"form": "value", "min": 0, "max": 0, "null": 1}),
}


def run(*args, env=None):
    return subprocess.run([SHADOWCTL, *args], capture_output=True, text=True, env=env)


class TablesCommand(unittest.TestCase):
    def test_json_lists_the_eighteen_tables(self):
        """Verifies: `tables --json` lists exactly the catalogue, with its registration facts."""
        result = run("tables", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        tables = {t["name"]: t for t in json.loads(result.stdout)["tables"]}
        self.assertEqual(set(tables), set(EXPECTED))
        for name, (bcm, group, memories, plugin, blocks) in EXPECTED.items():
            t = tables[name]
            with self.subTest(table=name):
                self.assertEqual(t["typeName"], "bcm88490_a0::" + name)
                self.assertEqual(t["kind"], "register" if name.endswith("HwReg") else "direct")
                self.assertEqual(t["bcmName"], bcm)
                self.assertEqual(t["bcmRegName"], bcm if name.endswith("HwReg") else None)
                self.assertEqual(t["group"], group)
                self.assertEqual(t["memories"], memories)
                self.assertEqual(t["tableFactory"], plugin)
                self.assertEqual(t["tablePlugin"], "bcm88490_a0::" + name + "Plugin" if plugin else None)
                self.assertEqual(t["readerPlugin"], "bcm88490_a0::" + name + "ReadPluginPlugin")
                self.assertEqual(t["blocks"], blocks)
                self.assertEqual(t["revisions"], ["bcm88490_a0", "bcm88490_a0r1"])
                self.assertEqual(t["tag"], "noTag")
                self.assertEqual(t["parity"], name in PARITY, name)
                self.assertEqual(t["attributes"]["standalone"], not plugin)
                size, key = KEYS[name]
                self.assertEqual(t["entrySize"], size)
                self.assertEqual(t["key"], key)
                for memory in t["descriptor"]["memories"]:
                    self.assertEqual(memory["entrySize"], size)

    def test_human_output_is_aligned(self):
        """Verifies: the default output is one aligned row per table under a header."""
        result = run("tables")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[-1], "18 tables")
        rows = lines[:-1]
        self.assertEqual(len(rows), 19)
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
             "csInlif0Profile: 256 does not fit in 8 bits"),
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


if __name__ == "__main__":
    unittest.main()
