#!/usr/bin/env python3
"""Checks the binary interface of the 32-bit Lumo.dll without running it.

The export table (names, ordinals, library name), the slot table the driver
object points into, and for every slot entry the number of argument bytes its
`ret` instruction removes. Runs wherever the cross binutils are installed,
including machines that cannot execute 32-bit code.

Usage: check_abi.py <product build dir>   (holds dist/Lumo.dll)
       check_abi.py <path of a Lumo.dll>     (e.g. unpacked from the package)
"""
import re
import subprocess
import sys

TOOLS = "i686-w64-mingw32-"

# index in the table (-1 = release), entry name, argument words
SLOTS = [
    (-1, "Release", 1), (0, "Abstract0", 1), (1, "Abstract1", 1),
    (2, "GetDriverName", 2), (3, "SetLinkState", 2), (4, "GetLinkState", 1),
    (5, "SetupLink", 2), (6, "Reserved6", 1), (7, "ReadConfig", 2),
    (8, "ReadState", 1), (9, "QueryValue4", 2), (10, "QuerySignedValue6", 3),
    (11, "QueryRoundedValue5", 2), (12, "QueryScaledValue8", 2), (13, "GetZeroPair", 3),
    (14, "QueryScaledValue16", 2), (15, "AddMenuItems", 3),
]
EXPORTS = {1: ("GetSiloEx3", 3), 2: ("GetSiloEx", 2)}

failures = []
passes = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    (passes if condition else failures).append(message)


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def symbols(dll):
    """address -> name of the text symbols, and name -> address of all."""
    by_addr, by_name = {}, {}
    for line in run(TOOLS + "nm", dll).splitlines():
        parts = line.split()
        if len(parts) != 3:
            continue
        addr, kind, name = int(parts[0], 16), parts[1], parts[2]
        by_name[name] = addr
        # Section symbols share the address of the first function in them.
        if kind in "tT" and (addr not in by_addr or by_addr[addr].startswith(".")):
            by_addr[addr] = name
    return by_addr, by_name


def entry_name(symbol):
    """The unmangled name of an entry in the anonymous namespace, and its @N."""
    m = re.match(r"__ZN12_GLOBAL__N_1(\d+)", symbol)
    if not m:
        return None, None
    start = m.end()
    name = symbol[start:start + int(m.group(1))]
    at = re.search(r"@(\d+)$", symbol)
    return name, int(at.group(1)) if at else None


def ret_sizes(dll, start, stop):
    text = run(TOOLS + "objdump", "-d", "--no-show-raw-insn",
               "--start-address=%#x" % start, "--stop-address=%#x" % stop, dll)
    sizes = set()
    for line in text.splitlines():
        m = re.search(r"\tret\s*(\$0x([0-9a-f]+))?", line)
        if m:
            sizes.add(int(m.group(2), 16) if m.group(2) else 0)
    return sizes


def function_end(by_addr, addr):
    later = sorted(a for a in by_addr if a > addr)
    return later[0] if later else addr + 0x400


def main():
    dll = sys.argv[1] if sys.argv[1].lower().endswith(".dll") else sys.argv[1] + "/dist/Lumo.dll"
    headers = run(TOOLS + "objdump", "-p", dll)
    check("file format pei-i386" in run(TOOLS + "objdump", "-f", dll), "Lumo.dll is PE32 i386")
    m = re.search(r"^Name\s+\S+\s+(\S+)", headers, re.M)
    check(m is not None and m.group(1) == "Lumo.dll", "export table names the library Lumo.dll")
    base = int(re.search(r"Ordinal Base\s+(\d+)", headers).group(1))
    table = headers.split("[Ordinal/Name Pointer] Table")[1].split("\n\n")[0]
    exported = {int(i) + base: n for i, n in re.findall(r"\[\s*(\d+)\]\s+(\S+)", table)}
    check(exported == {k: v[0] for k, v in EXPORTS.items()},
          "exports exactly GetSiloEx3 @1 and GetSiloEx @2, undecorated: %s" % exported)

    by_addr, by_name = symbols(dll)
    for ordinal, (name, words) in EXPORTS.items():
        addr = by_name.get("_%s@%d" % (name, 4 * words))
        check(addr is not None, "%s is stdcall with %d argument words" % (name, words))
        if addr is not None:
            sizes = ret_sizes(dll, addr, function_end(by_addr, addr))
            check(sizes == {4 * words}, "%s returns with ret $%d (%s)" % (name, 4 * words, sizes))

    table_addr = by_name.get("_kSiloSlotTable")
    check(table_addr is not None, "slot table symbol present")
    if table_addr is None:
        return
    dump = run(TOOLS + "objdump", "-s", "--start-address=%#x" % table_addr,
               "--stop-address=%#x" % (table_addr + 4 * len(SLOTS)), dll)
    words = []
    for line in dump.splitlines():
        m = re.match(r"\s*[0-9a-f]{8}\s+((?:[0-9a-f]{8}\s?){1,4})", line)
        if m:
            for w in m.group(1).split():
                words.append(int.from_bytes(bytes.fromhex(w), "little"))
    check(len(words) == len(SLOTS), "slot table holds the release entry and 16 slots")
    for (index, name, nwords), addr in zip(SLOTS, words):
        symbol = by_addr.get(addr, "?")
        found, at = entry_name(symbol)
        check(found == name, "table index %d is %s (found %s)" % (index, name, symbol))
        check(at == 4 * nwords, "%s takes %d argument words (@%s)" % (name, nwords, at))
        sizes = ret_sizes(dll, addr, function_end(by_addr, addr))
        # Abstract slots end in a throw and need not return at all.
        check(sizes <= {4 * nwords} and (sizes or name.startswith("Abstract")),
              "%s removes %d bytes on return (%s)" % (name, 4 * nwords, sizes))


if __name__ == "__main__":
    main()
    print("abi: %d passed, %d failed" % (len(passes), len(failures)))
    sys.exit(1 if failures else 0)
