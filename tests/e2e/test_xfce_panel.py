#!/usr/bin/python3
"""The application in xfce4-panel's status tray, with a portal stand-in telling the colour scheme;
what the panel shows is read from the pixels."""

import subprocess
import sys
import unittest

sys.dont_write_bytecode = True

import e2e_support  # noqa: E402
from e2e_support import DEADLINE, end, wait_until, window  # noqa: E402
from test_application import ApplicationTestCase  # noqa: E402


class XfcePanelTest(ApplicationTestCase):

    def test_item_in_the_panel(self):
        xvfb, display = e2e_support.start_xvfb()
        self.addCleanup(end, xvfb)
        portal = e2e_support.Portal(dark=False)
        self.addCleanup(portal.close)
        panel = e2e_support.XfcePanel(self.root, display)
        self.addCleanup(panel.close)
        self.assertEqual(panel.strip()[1], {}, "the tray is empty before the item comes")

        self.write_record("s1", "working", "/home/dev/work/site")
        environment = dict(self.environment(), DISPLAY=display)
        process = self.start_lullwatch((), environment)
        prefix = "org.kde.StatusNotifierItem-%d-" % process.pid
        item = wait_until(lambda: [i for i in panel.watcher("RegisteredStatusNotifierItems") if i.startswith(prefix)],
                          "our item among the panel's items")
        service = item[0].partition("/")[0]

        # Our glyphs at the right end stand out as the colour scheme and the panel's mode change together.
        for dark in (False, True, False):
            portal.set_dark(dark)
            panel.set_dark(dark)
            seen = {}

            def drawn():
                background, icon = panel.strip()
                seen.update(glyphs=e2e_support.luminance(icon.values()), panel=e2e_support.luminance([background]))
                stands_out = seen["glyphs"] > seen["panel"] + 0.3 if dark else seen["glyphs"] < seen["panel"] - 0.3
                return icon if icon and stands_out else None
            icon = wait_until(drawn, "glyphs that stand out on a %s panel" % ("dark" if dark else "light"),
                              show=lambda: "glyphs of luminance %(glyphs).2f on %(panel).2f" % seen)
            xs, ys = sorted(x for x, _ in icon), sorted(y for _, y in icon)
            self.assertGreaterEqual(xs[0], 1280 - 2 * e2e_support.XFCE_PANEL_SIZE)

        # A click on the icon opens our panel below it, on the screen and clear of the desktop's panel.
        x, y = xs[len(xs) // 2], ys[len(ys) // 2]
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=environment, check=True)
        wait_until(lambda: "IsViewable" in window(display, "Lullwatch"), "the panel")
        fields = dict(line.strip().split(":", 1) for line in window(display, "Lullwatch").splitlines() if ":" in line)
        left, top, width, height = (int(fields[key]) for key in (
            "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
        work_area_top = int(e2e_support.root_property(display, "_NET_WORKAREA").partition("=")[2].split(",")[1])
        self.assertTrue(left <= x < left + width <= 1280, (left, width, x))
        self.assertTrue(work_area_top <= top <= work_area_top + e2e_support.XFCE_PANEL_SIZE, (top, work_area_top))
        self.assertLessEqual(top + height, 800)

        # A waiting session: the item asks for attention and the tray shows it.
        self.write_record("s1", "waiting", "/home/dev/work/site", notification_type="permission_prompt")
        wait_until(lambda: self.item_property(service, "Status") == "NeedsAttention", "NeedsAttention")
        wait_until(lambda: panel.strip()[1] not in ({}, icon), "the waiting symbol in the tray")
        process.terminate()
        self.assertEqual(process.wait(DEADLINE), 0)


if __name__ == "__main__":
    unittest.main()
