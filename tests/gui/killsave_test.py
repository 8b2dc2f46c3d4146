"""config.json under hostile conditions, with the real program under Wine:
killed at random moments of a burst of saves, a read-only file, a folder where
nothing can be created, and a write that fails part-way (a full disk, or a
file-size limit where mounting is not allowed). The old file must always stay
whole, the program must keep running silently, and the settings changed
meanwhile must reach the file once saving works again."""
import os
import resource
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "bed"))

from testlib import case, run, wait_until  # noqa: E402
import killsave  # noqa: E402
import winbed  # noqa: E402

bed = None
names = killsave.camera_names(4)
port = None


def setup():
    global bed, port
    bed = winbed.Bed()
    bed.start()
    port = killsave.closed_port()


def teardown():
    if bed is not None:
        bed.stop()


def fresh_config(n=4):
    """Writes a config with n cameras and lets the program rewrite it in its own form."""
    bed.write_config(killsave.start_config(port, n))
    killsave.start_and_wait(bed)
    assert bed.close_tavik(timeout=60) == 0
    return killsave.config_bytes(bed)


def mute_and_sync(main, count):
    """Posts count Mute toggles, then About: the About box shows once the program
    has worked through every toggle (and proves it still runs and answers)."""
    bed.command(main, killsave.CMD_MUTE, count)
    bed.command(main, 8)
    about = bed.wait_window(title="About Tavik", timeout=90)
    ok = [c for c in about.children if c.text == "OK"]
    assert ok, about.children
    bed.click(about, ok[0].id)
    bed.wait_gone(title="About Tavik", timeout=60)


def tavik_windows():
    return [w for w in bed.windows() if w.visible and w.title != ""
            and w.cls != "Orbisfield.Tavik" and w.cls != "#32769"]


def blocked_save_keeps_file(block, unblock, what):
    """With saving blocked: toggles leave the old bytes, the program keeps running
    without a message; unblocked, one more toggle saves the state made meanwhile."""
    before = killsave.config_bytes(bed)
    block()
    try:
        main = killsave.start_and_wait(bed)
        mute_and_sync(main, 2)
        assert bed.tavik_running(), "Tavik ended while saving was blocked (%s)" % what
        assert killsave.config_bytes(bed) == before, "config.json changed (%s)" % what
        extra = tavik_windows()
        assert not extra, "unexpected windows (%s): %r" % (what, extra)
    finally:
        unblock()
    bed.command(main, killsave.CMD_MUTE)  # third toggle: Muted inverted in memory
    wait_until(lambda: killsave.config_bytes(bed) == killsave.flip_muted(before), 60,
               what="the unblocked save (%s)" % what)
    assert bed.close_tavik(timeout=60) == 0
    assert killsave.leftovers(bed) == [], killsave.leftovers(bed)


@case
def killed_during_bursts_of_saves_config_stays_whole():
    try:
        summary = killsave.kill_runs(bed, 10, count=100, seed=int(time.time()), names=names,
                                     out=lambda line: print("  " + line, flush=True))
        assert summary["failures"] == 0, summary
    finally:
        bed.kill_tavik()


@case
def read_only_file_and_uncreatable_temporary_keep_the_old_file():
    try:
        fresh_config()
        path = bed.config_path
        win_path = "C:\\users\\%s\\AppData\\Roaming\\Tavik\\config.json" % (
            os.environ.get("USER", "root") or "root")

        def attrib(flag):
            code, _ = bed.wine(["cmd", "/c", "attrib", flag, win_path], timeout=60)
            assert code == 0, "attrib %s: %d" % (flag, code)
        # FILE_ATTRIBUTE_READONLY as a user would set it.
        blocked_save_keeps_file(lambda: attrib("+r"), lambda: attrib("-r"), "read-only file")

        # Nothing can be created beside it: its temporary name is taken by a folder.
        temp = path + ".tmp"
        blocked_save_keeps_file(lambda: os.mkdir(temp), lambda: os.rmdir(temp),
                                "temporary name taken")
    finally:
        bed.kill_tavik()


def start_with_file_size_limit(limit):
    """Tavik.exe with RLIMIT_FSIZE: a write past `limit` bytes of any file fails
    (EFBIG, its signal ignored), as on a disk that fills up mid-write."""
    def limit_writes():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    bed.tavik = subprocess.Popen(["wine", os.path.join(bed.build, "Tavik.exe")], env=bed.env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 start_new_session=True, preexec_fn=limit_writes)
    return bed.wait_window(cls=killsave.MAIN_CLASS, title="Tavik", timeout=90)


def fill(folder, keep_free):
    """Fills a small file system, then frees keep_free bytes (whole pages) again."""
    path = os.path.join(folder, "filler")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        chunk = b"\0" * 4096
        while True:
            try:
                if os.write(fd, chunk) < len(chunk):
                    break
            except OSError:
                break
    finally:
        os.close(fd)
    size = os.path.getsize(path)
    os.truncate(path, max(0, size - keep_free))


@case
def write_failing_part_way_keeps_the_old_file():
    mount = None
    folder = os.path.dirname(bed.config_path)
    try:
        # Long names: the text spans several pages, so the write fails after its first page.
        cfg = killsave.start_config(port, 16)
        for c in cfg["Cameras"]:
            c["Name"] += " " + "x" * 900
        bed.write_config(cfg)

        # A file-size limit with room for the whole text: the saves go through
        # (and the program's own text of the file is in place).
        main = start_with_file_size_limit(1 << 20)
        bed.command(main, killsave.CMD_MUTE)
        wait_until(lambda: killsave.MUTED_TRUE in (killsave.config_bytes(bed) or b""), 60,
                   what="a save within the limit")
        bed.command(main, killsave.CMD_MUTE)
        wait_until(lambda: killsave.MUTED_FALSE in (killsave.config_bytes(bed) or b""), 60,
                   what="Muted back off")
        assert bed.close_tavik(timeout=60) == 0
        before = killsave.config_bytes(bed)
        assert len(before) > 3 * 4096, len(before)

        # A limit of one page: every save fails part-way.
        main = start_with_file_size_limit(4096)
        mute_and_sync(main, 2)
        assert bed.tavik_running()
        assert killsave.config_bytes(bed) == before, "config.json changed under the size limit"
        assert killsave.leftovers(bed) == [], killsave.leftovers(bed)
        assert not tavik_windows()
        assert bed.close_tavik(timeout=60) == 0
        assert killsave.config_bytes(bed) == before

        # A real full disk: a tiny tmpfs as the program's folder, where mounting is allowed.
        mount = os.path.join(bed.tmp, "small")
        os.mkdir(mount)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", mount],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
        if r.returncode != 0:
            print("  full disk: mounting not permitted here (%s); the size limit above stands in"
                  % r.stderr.decode("utf-8", "replace").strip(), flush=True)
            os.rmdir(mount)
            mount = None
            return
        shutil.copy(bed.config_path, os.path.join(mount, "config.json"))
        shutil.rmtree(folder)
        os.symlink(mount, folder)
        fill(mount, 4096)
        main = killsave.start_and_wait(bed)
        mute_and_sync(main, 2)
        assert bed.tavik_running()
        assert killsave.config_bytes(bed) == before, "config.json changed on a full disk"
        assert killsave.leftovers(bed) == ["filler"], killsave.leftovers(bed)
        assert not tavik_windows()
        # Room again: the state changed meanwhile is saved.
        os.remove(os.path.join(mount, "filler"))
        bed.command(main, killsave.CMD_MUTE)
        wait_until(lambda: killsave.config_bytes(bed) == before.replace(
            killsave.MUTED_FALSE, killsave.MUTED_TRUE), 60, what="the save after room was made")
        assert bed.close_tavik(timeout=60) == 0
    finally:
        bed.kill_tavik()
        if mount is not None:
            if os.path.islink(folder):
                os.remove(folder)
                os.mkdir(folder)
                try:
                    shutil.copy(os.path.join(mount, "config.json"), bed.config_path)
                except OSError:
                    pass
            subprocess.run(["umount", mount], timeout=30)
            os.rmdir(mount)


if __name__ == "__main__":
    run(setup, teardown)
