"""The Windows installer as an administrator uses it: Tavik-<version>-win64.msi
(made by `cmake --build --preset windows --target package`, which tools/test.sh
runs before this script) goes through Wine's msiexec in one copy of the suite's
prefix, step by step: a silent install per machine (files, Start menu shortcut,
installed version), the installed program starting with an empty settings
folder, a newer version installed over it (one version remains), an older one
refused with its message, and an uninstall that removes the program and keeps
the user's config.json.

The newer version is the same WiX source with the patch version raised (and so
a product code of its own) built by wixl from the zip's files: what a release
with a new project() version gives."""
import os
import re
import shutil
import struct
import subprocess
import sys
import uuid
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import BUILD_WINDOWS, ROOT, project_version, case, run, stop, wait_until  # noqa: E402
import winbed  # noqa: E402


VERSION = project_version()
VERSION_TEXT = "%d.%d.%d" % VERSION
NEWER_TEXT = "%d.%d.%d" % (VERSION[0], VERSION[1], VERSION[2] + 1)
MSI = os.path.join(BUILD_WINDOWS, "Tavik-%s-win64.msi" % VERSION_TEXT)
ZIP = os.path.join(BUILD_WINDOWS, "Tavik-%s-win64.zip" % VERSION_TEXT)
WXS = os.path.join(BUILD_WINDOWS, "generated", "Tavik.wxs")
PROGRAM_DIR = r"C:\Program Files\Tavik"
FILES = ["Tavik-Guide.txt", "Tavik.exe"]
ERROR_INSTALL_FAILURE = 1603
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
# Products installed for the machine (not for one user) are registered here.
MACHINE_PRODUCTS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products"

state = {}


def packed(guid):
    """A GUID as the installer's registry keys write it."""
    h = guid.strip("{}").replace("-", "")
    groups = [h[0:8], h[8:12], h[12:16]] + [h[i:i + 2] for i in range(16, 32, 2)]
    out = "".join(g[::-1] for g in groups[:3])
    return (out + "".join(g[::-1] for g in groups[3:])).upper()


def product_code(wxs_text):
    m = re.search(r'<Product Id="([0-9A-Fa-f-]{36})"', wxs_text)
    assert m, "no product code in the WiX source"
    return "{%s}" % m.group(1).upper()


def build_newer_msi(folder):
    """Tavik-<patch+1>-win64.msi: the configured WiX source with the higher
    version and a new product code, the zip's files, built as the build does."""
    stage = os.path.join(folder, "stage")
    os.makedirs(stage)
    with zipfile.ZipFile(ZIP) as z:
        z.extractall(stage)
    shutil.copy(os.path.join(ROOT, "app", "resources", "tavik.ico"), stage)
    with open(WXS, encoding="utf-8") as f:
        text = f.read()
    old_code = product_code(text)
    new_code = "{%s}" % str(uuid.uuid4()).upper()
    assert text.count('Version="%s"' % VERSION_TEXT) == 1, "the Product version is not in one place"
    text = text.replace('Version="%s"' % VERSION_TEXT, 'Version="%s"' % NEWER_TEXT)
    text = text.replace("Tavik %s" % VERSION_TEXT, "Tavik %s" % NEWER_TEXT)
    text = text.replace('Id="%s"' % old_code.strip("{}"), 'Id="%s"' % new_code.strip("{}"))
    with open(os.path.join(stage, "Tavik.wxs"), "w", encoding="utf-8") as f:
        f.write(text)
    out = os.path.join(folder, "Tavik-%s-win64.msi" % NEWER_TEXT)
    r = subprocess.run(["wixl", "-a", "x64", "-o", out, "Tavik.wxs"], cwd=stage, timeout=120,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert r.returncode == 0 and os.path.exists(out), r.stdout.decode("utf-8", "replace")
    return out, old_code, new_code


def win_path(path):
    return "Z:" + path.replace("/", "\\")


def msiexec(bed, *args, timeout=300):
    """Runs msiexec with a verbose log; returns (exit code, log text). Wine hands
    only the low 8 bits of a Windows exit code to Linux."""
    log = os.path.join(bed.tmp, "msiexec-%d.log" % len(state.setdefault("logs", [])))
    state["logs"].append(log)
    code, _ = bed.wine(["msiexec"] + list(args) + ["/l*v", win_path(log)], timeout=timeout)
    try:
        with open(log, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        text = ""
    return code, text


def registry(bed, key):
    """{subkey path: {value name: data}} of key and everything below it."""
    code, out = bed.wine(["reg", "query", key, "/s"], timeout=60)
    keys = {}
    current = None
    for line in out.splitlines():
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.strip(), {})
        elif current is not None and line.startswith("    "):
            parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
            if len(parts) >= 2:
                current[parts[0]] = parts[2] if len(parts) > 2 else ""
    return keys


def installed_tavik(bed):
    """The Uninstall entries named Tavik: {product code: values}."""
    return {k.rsplit("\\", 1)[1]: v for k, v in registry(bed, UNINSTALL).items()
            if v.get("DisplayName") == "Tavik"}


def program_dir(bed):
    return os.path.join(bed.prefix, "drive_c", "Program Files", "Tavik")


def shortcuts(bed):
    """Every Tavik.lnk in a Start menu of the prefix. The MSI asks for the
    Start menu of all users; Wine 8.0 puts it into the installing user's."""
    found = []
    for dirpath, _, names in os.walk(os.path.join(bed.prefix, "drive_c")):
        if "Start Menu" in dirpath and "Tavik.lnk" in names:
            found.append(os.path.join(dirpath, "Tavik.lnk"))
    return found


def link_target(path):
    """(target path, working folder) of a shell link (.lnk)."""
    with open(path, "rb") as f:
        data = f.read()
    assert struct.unpack_from("<I", data, 0)[0] == 0x4C, "not a shell link"
    flags = struct.unpack_from("<I", data, 0x14)[0]
    pos = 0x4C
    if flags & 0x1:  # HasLinkTargetIDList
        pos += 2 + struct.unpack_from("<H", data, pos)[0]
    target = None
    if flags & 0x2:  # HasLinkInfo
        size, _, info_flags, _, base_offset = struct.unpack_from("<IIIII", data, pos)
        if info_flags & 0x1:  # VolumeIDAndLocalBasePath
            end = data.index(b"\0", pos + base_offset)
            target = data[pos + base_offset:end].decode("latin-1")
        pos += size
    unicode = bool(flags & 0x80)
    strings = []
    for bit in (0x4, 0x8, 0x10):  # HasName, HasRelativePath, HasWorkingDir
        if flags & bit:
            count = struct.unpack_from("<H", data, pos)[0]
            width = 2 if unicode else 1
            raw = data[pos + 2:pos + 2 + count * width]
            strings.append((bit, raw.decode("utf-16-le" if unicode else "latin-1").rstrip("\0")))
            pos += 2 + count * width
    working = dict(strings).get(0x10)
    return target, working


def zip_member(name):
    with zipfile.ZipFile(ZIP) as z:
        return z.read(name)


def without_stamp(data):
    """A PE file with its time stamp and checksum zeroed: strip writes the time
    of stripping there, and CPack strips once for the zip and once for the MSI."""
    if data[:2] != b"MZ":
        return data
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    out = bytearray(data)
    out[pe + 8:pe + 12] = bytes(4)  # TimeDateStamp
    out[pe + 24 + 64:pe + 24 + 68] = bytes(4)  # CheckSum of the optional header
    return bytes(out)


def setup():
    assert os.path.exists(MSI), "%s missing (cmake --build --preset windows --target package)" % MSI
    state["bed"] = bed = winbed.Bed()
    bed.start()
    state["newer"], state["code"], state["newer_code"] = build_newer_msi(bed.tmp)
    print("  %s: %d bytes; %s built for the upgrade" % (os.path.basename(MSI), os.path.getsize(MSI),
                                                        os.path.basename(state["newer"])))


def teardown():
    if "bed" in state:
        state["bed"].stop()


# -- the cases, in the order an administrator meets them ------------------------

@case
def silent_install_puts_program_guide_and_shortcut_in_place_for_the_machine():
    bed = state["bed"]
    code, log = msiexec(bed, "/i", win_path(MSI), "/qn")
    assert code == 0, "msiexec /i exited with %d\n%s" % (code, log[-3000:])
    assert sorted(os.listdir(program_dir(bed))) == FILES, os.listdir(program_dir(bed))
    # The same stripped program and guide as the zip.
    for name in FILES:
        with open(os.path.join(program_dir(bed), name), "rb") as f:
            assert without_stamp(f.read()) == without_stamp(zip_member(name)), \
                "%s differs from the zip's" % name
    links = shortcuts(bed)
    assert len(links) == 1, links
    target, working = link_target(links[0])
    print("  shortcut %s -> %s (in %s)" % (links[0][len(bed.prefix):], target, working))
    assert target == PROGRAM_DIR + r"\Tavik.exe", target
    assert working and working.rstrip("\\") == PROGRAM_DIR, working
    entries = installed_tavik(bed)
    assert list(entries) == [state["code"]], entries
    entry = entries[state["code"]]
    assert entry.get("DisplayVersion") == VERSION_TEXT, entry
    assert entry.get("Publisher") == "Orbisfield", entry
    machine = registry(bed, MACHINE_PRODUCTS + "\\" + packed(state["code"]) + "\\InstallProperties")
    props = next(iter(machine.values()), {})
    assert props.get("DisplayVersion") == VERSION_TEXT, "not registered for the machine: %r" % machine


@case
def installed_program_starts_with_empty_settings_and_opens_settings():
    bed = state["bed"]
    state["config"] = bed.first_run_opens_settings(PROGRAM_DIR + r"\Tavik.exe")


@case
def newer_version_replaces_the_installed_one():
    bed = state["bed"]
    code, log = msiexec(bed, "/i", win_path(state["newer"]), "/qn")
    assert code == 0, "msiexec /i (newer) exited with %d\n%s" % (code, log[-3000:])
    entries = installed_tavik(bed)
    assert list(entries) == [state["newer_code"]], "installed: %r" % entries
    assert entries[state["newer_code"]].get("DisplayVersion") == NEWER_TEXT, entries
    assert sorted(os.listdir(program_dir(bed))) == FILES, os.listdir(program_dir(bed))
    assert len(shortcuts(bed)) == 1, shortcuts(bed)


@case
def older_version_is_refused_with_its_message():
    bed = state["bed"]
    # With the installer's own interface, as a person double-clicking the MSI.
    log = os.path.join(bed.tmp, "msiexec-older.log")
    proc = bed.spawn(["timeout", "180", "wine", "msiexec", "/i", win_path(MSI), "/l*v", win_path(log)],
                     env=bed.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        def refusal():
            for w in bed.windows():
                if any("newer version of Tavik is already installed" in c.text for c in w.children):
                    return w
            return None
        box = wait_until(refusal, 120, interval=0.5, what="the message refusing the older version")
        print("  %r: %r" % (box.title, [c.text for c in box.children if c.text]))
        ok = [c for c in box.children if c.cls.lower() == "button"]
        assert ok, box.children
        bed.click(box, ok[0].id)
        code = proc.wait(120)
    finally:
        stop(proc)
    assert code == ERROR_INSTALL_FAILURE & 0xFF, "msiexec exited with %r" % code
    entries = installed_tavik(bed)
    assert list(entries) == [state["newer_code"]], "installed: %r" % entries
    assert entries[state["newer_code"]].get("DisplayVersion") == NEWER_TEXT, entries


@case
def uninstall_removes_program_and_shortcut_and_keeps_the_settings():
    bed = state["bed"]
    assert state.get("config"), "no config.json from the run of the installed program"
    code, log = msiexec(bed, "/x", win_path(state["newer"]), "/qn")
    assert code == 0, "msiexec /x exited with %d\n%s" % (code, log[-3000:])
    assert not os.path.exists(program_dir(bed)), os.listdir(program_dir(bed))
    assert shortcuts(bed) == [], shortcuts(bed)
    assert installed_tavik(bed) == {}, installed_tavik(bed)
    assert bed.config_text() == state["config"], "config.json changed or vanished"


if __name__ == "__main__":
    run(setup, teardown)
