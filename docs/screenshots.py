#!/usr/bin/python3
"""Makes the README's pictures again, from the build in BUILD (build/dev by
default):

    cmake --build build/dev --target lullwatch panel_screenshots
    docs/screenshots.py [BUILD]

The panel comes from panel_screenshots, offscreen at 2x, over a fixed set of
sessions. The tray item is shown by the real xfce4-panel on an X server of
its own, at 2x, light and then dark, with Lullwatch running over the same
kind of sessions on private buses; the picture of a host with labels is
drawn by panel_screenshots from the item's own icon and label."""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build", "dev"))
OUT = os.path.join(HERE, "screenshots")
os.environ["LULLWATCH_BINARY_DIR"] = os.path.join(BUILD, "bin")
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

import e2e_support  # noqa: E402
from test_application import ApplicationTestCase, wait_until  # noqa: E402

PANEL_PICTURES = ("in-use", "in-use-expanded", "settings", "tray-label")
SCALE = 2
WIDTH = 150  # of the panel's right end shown, in points


def write_png(path, width, height, rows):
    """An 8-bit RGB PNG of `rows`, each a bytes of width * 3."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


class TrayPictures(ApplicationTestCase):

    def transcript(self, name, turns, context, output):
        path = os.path.join(self.root, name + ".jsonl")
        with open(path, "w", encoding="utf-8") as f:
            for turn in range(1, turns + 1):
                read = context * turn // turns
                f.write(json.dumps({"type": "assistant", "message": {
                    "id": "msg_%s_%d" % (name, turn), "model": "claude-sonnet-4-5",
                    "usage": {"input_tokens": 4, "cache_read_input_tokens": read * 9 // 10,
                              "cache_creation_input_tokens": read // 10, "output_tokens": output}}}) + "\n")
        return path

    def test_pictures(self):
        xvfb, display = e2e_support.start_xvfb()
        self.addCleanup(e2e_support.end, xvfb)
        portal = e2e_support.Portal(dark=False)
        self.addCleanup(portal.close)
        panel = e2e_support.XfcePanel(self.root, display, scale=SCALE)
        self.addCleanup(panel.close)
        self.write_record("api", "working", "/home/dev/api", transcriptPath=self.transcript("api", 18, 128900, 1400))
        environment = dict(self.environment(), DISPLAY=display, QT_SCALE_FACTOR=str(SCALE))
        process = self.start_lullwatch([], environment)
        prefix = "org.kde.StatusNotifierItem-%d-" % process.pid
        wait_until(lambda: any(i.startswith(prefix) for i in panel.watcher("RegisteredStatusNotifierItems")),
                   "the item in the panel")
        for dark in (False, True):
            portal.set_dark(dark)
            panel.set_dark(dark)

            def settled():
                background, icon = panel.strip()
                glyphs, ground = e2e_support.luminance(icon.values()), e2e_support.luminance([background])
                return icon and (glyphs > ground + 0.3 if dark else glyphs < ground - 0.3)
            wait_until(settled, "the tray drawn in its new colours")
            # The picture once two in a row agree: the panel has finished drawing.
            shots = [None]

            def still():
                shots.append(e2e_support.Screenshot(display))
                return shots[-2] is not None and shots[-2].pixels == shots[-1].pixels
            wait_until(still, "the panel at rest")
            shot = shots[-1]
            left, height = shot.width - WIDTH * SCALE, e2e_support.XFCE_PANEL_SIZE * SCALE
            rows = [b"".join(bytes(shot.rgb(x, y)) for x in range(left, shot.width)) for y in range(height)]
            write_png(os.path.join(OUT, "tray-%s.png" % ("dark" if dark else "light")), WIDTH * SCALE, height, rows)


def main():
    folder = tempfile.mkdtemp(prefix="lullwatch-pictures-")
    try:
        subprocess.run([os.path.join(BUILD, "bin", "panel_screenshots"), folder], check=True,
                       env=dict(os.environ, QT_SCALE_FACTOR=str(SCALE), QT_QPA_PLATFORM="offscreen"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name in PANEL_PICTURES:
            shutil.copyfile(os.path.join(folder, name + ".png"), os.path.join(OUT, name + ".png"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    result = unittest.TextTestRunner(verbosity=0).run(unittest.defaultTestLoader.loadTestsFromTestCase(TrayPictures))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
