"""The Windows package as a user gets it: Tavik-<version>-win64.zip (made by
`cmake --build --preset windows --target package`, which tools/test.sh runs
before this script) holds exactly Tavik.exe and the user's guide, is small,
carries the version of CMakeLists.txt in its name, in the program's version
resource and manifest, and the unpacked program starts under Wine with an
empty settings folder and opens its Settings dialog by itself."""
import os
import re
import struct
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import BUILD_WINDOWS, ROOT, project_version, case, run  # noqa: E402
import winbed  # noqa: E402

EXE = "Tavik.exe"
GUIDE = "Tavik-Guide.txt"
MAX_ZIP_BYTES = 20 * 1024 * 1024


VERSION = project_version()
VERSION_TEXT = "%d.%d.%d" % VERSION
ZIP = os.path.join(BUILD_WINDOWS, "Tavik-%s-win64.zip" % VERSION_TEXT)


def read_member(name):
    with zipfile.ZipFile(ZIP) as z:
        return z.read(name)


# -- a reader for the parts of a PE file these checks need ---------------------

class Pe:
    def __init__(self, data):
        self.data = data
        assert data[:2] == b"MZ", "not an MZ executable"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, sections, _, self.symbol_table, self.symbols, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        assert magic == 0x20B, "not PE32+ (magic %#x)" % magic
        directories = struct.unpack_from("<I", data, optional + 108)[0]
        self.resource_rva = 0
        if directories > 2:
            self.resource_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(vsize, raw_size),
                                  raw_ptr))

    def offset(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError("RVA %#x in no section" % rva)

    def resources(self, type_id):
        """The data of every resource of the numeric type, as bytes."""
        assert self.resource_rva, "no resource directory"
        base = self.offset(self.resource_rva)
        out = []

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield name, target

        def leaves(target):
            if target & 0x80000000:
                for _, sub in entries(target & 0x7FFFFFFF):
                    yield from leaves(sub)
            else:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(rva)
                yield self.data[start:start + size]

        for name, target in entries(0):
            if not name & 0x80000000 and name == type_id:
                out.extend(leaves(target))
        return out


def version_blocks(data, pos=0):
    """VS_VERSIONINFO and its children: (key, value, children) per block; value
    is text for text blocks and bytes otherwise."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    p = pos + 6
    key_end = p
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    if kind == 1:  # text, value_length counts UTF-16 units including the zero
        value = data[p:p + 2 * value_length].decode("utf-16-le").rstrip("\0")
        p += 2 * value_length
    else:
        value = data[p:p + value_length]
        p += value_length
    p = (p + 3) & ~3
    children = []
    while p < end:
        child = version_blocks(data, p)
        children.append(child[:3])
        p = (child[3] + 3) & ~3
    return key, value, children, end


def version_info(pe):
    blocks = pe.resources(16)  # RT_VERSION
    assert len(blocks) == 1, "%d version resources" % len(blocks)
    key, fixed, children, _ = version_blocks(blocks[0])
    assert key == "VS_VERSION_INFO", key
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD, hex(signature)

    def four(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for child_key, _, tables, in children:
        if child_key == "StringFileInfo":
            for _, _, values in tables:
                for name, text, _ in values:
                    strings[name] = text
    return four(file_ms, file_ls), four(product_ms, product_ls), strings


# -- the cases -----------------------------------------------------------------

@case
def zip_holds_the_stripped_program_and_the_guide():
    assert os.path.exists(ZIP), "%s missing (cmake --build --preset windows --target package)" % ZIP
    size = os.path.getsize(ZIP)
    with zipfile.ZipFile(ZIP) as z:
        names = sorted(i.filename for i in z.infolist())
        listing = ["%10d  %s" % (i.file_size, i.filename) for i in z.infolist()]
    print("  %s: %d bytes" % (os.path.basename(ZIP), size))
    for line in listing:
        print("  " + line)
    assert names == sorted([EXE, GUIDE]), names
    assert size < MAX_ZIP_BYTES, size
    pe = Pe(read_member(EXE))
    assert pe.machine == 0x8664, "machine %#x" % pe.machine
    # Stripped: no symbol table and no DWARF sections (long names such as
    # .debug_info appear as "/N" references into the string table).
    names = [s[0] for s in pe.sections]
    assert pe.symbol_table == 0 and pe.symbols == 0, (pe.symbol_table, pe.symbols)
    assert not [n for n in names if n.startswith((".debug", "/"))], names


@case
def version_resource_and_manifest_carry_the_package_version():
    pe = Pe(read_member(EXE))
    file_version, product_version, strings = version_info(pe)
    assert file_version == VERSION + (0,), file_version
    assert product_version == VERSION + (0,), product_version
    assert strings.get("FileVersion") == VERSION_TEXT, strings
    assert strings.get("ProductVersion") == VERSION_TEXT, strings
    assert strings.get("ProductName") == "Tavik" and strings.get("OriginalFilename") == EXE, strings
    manifests = pe.resources(24)  # RT_MANIFEST
    assert len(manifests) == 1, len(manifests)
    identity = re.search(rb'<assemblyIdentity type="win32" name="Orbisfield.Tavik" version="([^"]*)"',
                         manifests[0])
    assert identity and identity.group(1).decode() == VERSION_TEXT + ".0", manifests[0][:300]


def program_menus():
    """(popup, item) texts of the menu bar as the program builds it, without
    the & marks and the keys shown after a tab."""
    with open(os.path.join(ROOT, "app", "main_window_win.cpp"), encoding="utf-8") as f:
        source = f.read()

    def text(literal):
        return literal.encode("latin-1").decode("unicode_escape").split("\t")[0].replace("&", "")

    popups = {var: text(t) for var, t in
              re.findall(r'AppendMenuW\(bar, MF_POPUP, reinterpret_cast<UINT_PTR>\((\w+)\), L"([^"]*)"\)',
                         source)}
    items = re.findall(r'AppendMenuW\((\w+), MF_STRING, \w+, L"([^"]*)"\)', source)
    return popups, [(popups[var], text(t)) for var, t in items if var in popups]


@case
def guide_names_the_version_and_the_program_s_own_menu_texts():
    raw = read_member(GUIDE)
    assert raw.startswith(b"\xef\xbb\xbf"), "no UTF-8 byte-order mark"
    assert b"\n" not in raw.replace(b"\r\n", b""), "line ends other than CRLF"
    guide = raw[3:].decode("utf-8")
    assert guide.startswith("Tavik %s " % VERSION_TEXT), guide[:60]
    popups, items = program_menus()
    assert set(popups.values()) == {"File", "View", "Cameras", "Help"}, popups
    assert len(items) == 9, items
    missing = ["%s > %s" % item for item in items if "%s > %s" % item not in guide]
    assert not missing, "menu commands the guide does not name: %s" % missing
    for fixed in ("Tavik - Settings", "Discover from Console...", "connecting\u2026",
                  "Settings\u2026", r"%APPDATA%\Tavik\config.json",
                  "(no cameras \u2014 Discover or add in Settings)",
                  "Enable RTSP automatically on cameras that lack it",
                  "Use low-resolution streams for thumbnails", "Thumbnail address:"):
        assert fixed in guide, "the guide lacks %r" % fixed


@case
def unpacked_program_starts_with_empty_settings_and_opens_settings():
    with winbed.Bed() as bed:
        folder = os.path.join(bed.tmp, "Tavik-%s-win64" % VERSION_TEXT)
        with zipfile.ZipFile(ZIP) as z:
            z.extractall(folder)
        # An empty settings folder in this run's copy of the prefix (the suite's
        # prefix may hold the settings of earlier tests).
        def discover_button(dlg):
            assert dlg.child(1008) is not None and dlg.child(1008).text == "Discover from Console..."

        bed.first_run_opens_settings(os.path.join(folder, EXE), inspect=discover_button)


if __name__ == "__main__":
    run()
