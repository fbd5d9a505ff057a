"""The ctypes binding against the real library and the real metersim program.

Needs VANTBROOK_LIBRARY (path of libVantbrook.so) and METERSIM (path of the
metersim program) in the environment; ctest sets both.
"""

import ctypes
import datetime
import os
import subprocess
import unittest

import vantbrook

METERSIM = os.environ.get("METERSIM", "")
START_SECONDS = 20


class MeterSim:
    """A metersim program on its own pseudo-terminal, mapped to a COM port."""

    def __init__(self, com, *arguments):
        self.process = subprocess.Popen([METERSIM, *arguments], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL, text=True)
        self.path = self.process.stdout.readline().strip()
        os.environ["VANTBROOK_COM%d" % com] = self.path

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=START_SECONDS)
        self.process.stdout.close()


class Layout(unittest.TestCase):
    """The Structures have the C layout: sizes and the offsets the C header pins."""

    def test_records_match_the_c_header(self):
        cases = [
            (vantbrook.DibRecord, 680, {"supplier": 4, "meter_id": 6, "last_alt": 52,
                                        "calibore": 72, "flowcont": 78, "loggvers": 638}),
            (vantbrook.DataHeaderRecord, 112, {"siteId": 8, "firstPairRSN": 72,
                                               "loggingInterval": 84, "heightOffset": 100,
                                               "count": 108}),
            (vantbrook.TotalsHeaderRecord, 132, {"siteId": 10, "auxText": 64, "count": 128}),
            (vantbrook.TotalsRecord, 44, {"extra1": 36, "crcValid": 40}),
            (vantbrook.RawPair, 4, {"pressure": 2}),
            (vantbrook.ConvertedPair, 8, {"pressure": 4}),
            (vantbrook.VersionRecord, 320, {}),
            (vantbrook.ResultRecord, 172, {"source": 4, "message": 44}),
            # x86-64 natural alignment, as the C compiler lays it out.
            (vantbrook.RequestRecord, 200, {"protocol": 4, "address": 8, "download": 64,
                                            "specifier": 88, "password": 103,
                                            "connectCount": 144, "progressCallback": 168,
                                            "holdConnection": 192}),
        ]
        for record, size, offsets in cases:
            with self.subTest(record=record.__name__):
                self.assertEqual(ctypes.sizeof(record), size)
                for name, offset in offsets.items():
                    self.assertEqual(getattr(record, name).offset, offset, name)


class AgainstMetersim(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = MeterSim(1)
        cls.locked = MeterSim(2, "--password", "secret")
        cls.library = vantbrook.load_library()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()
        cls.locked.stop()

    def meter(self, com=1, **settings):
        return vantbrook.Meter(com=com, library=self.library, **settings)

    def test_identity_block_and_versions(self):
        meter = self.meter()
        dib = meter.dib()
        self.assertEqual(dib["meter_id"], "VB-SIM-000001")
        self.assertEqual(dib["supplier"], 7)
        self.assertIsInstance(dib["last_alt"], datetime.datetime)
        versions = meter.versions()
        self.assertEqual(len(versions), 8)
        self.assertTrue(all(isinstance(text, str) for text in versions))

    def test_header_and_downloads_on_one_held_link(self):
        with self.meter() as meter:
            self.assertTrue(meter.held)
            header = meter.header(1)
            self.assertEqual(header["firstPairRSN"], 1001)
            self.assertEqual(header["loggingInterval"], 900)
            head, raw = meter.download(1, raw=True, rsn=(1001, 1010))
            self.assertEqual(head["count"], 10)
            self.assertEqual(len(raw), 10)
            _, converted = meter.download(1, rsn=(1001, 1010))
            self.assertEqual(len(converted), 10)
            self.assertTrue(all(isinstance(flow, float) for flow, _ in converted))
            _, totals = meter.download(3)
            self.assertGreater(len(totals), 0)
            self.assertTrue(all(entry["crcValid"] for entry in totals))
        self.assertFalse(meter.held)

    def test_download_by_time_takes_the_pairs_in_the_range(self):
        meter = self.meter()
        header = meter.header(1)
        start = header["firstPairDateTime"] + datetime.timedelta(seconds=900 * 5)
        end = start + datetime.timedelta(seconds=900 * 4)
        _, pairs = meter.download(1, raw=True, start=start, end=end)
        self.assertEqual(len(pairs), 5)

    def test_capacity_bounds_the_entries(self):
        head, pairs = self.meter().download(1, raw=True, rsn=(1001, 1010), capacity=3)
        self.assertEqual(len(pairs), 3)
        self.assertEqual(head["count"], 3)
        # A reply far beyond the room the capacity gives does not fit at all.
        with self.assertRaises(vantbrook.VantbrookError) as caught:
            self.meter().download(1, raw=True, capacity=3)
        self.assertEqual(caught.exception.code, 18)

    def test_failures_raise_with_code_source_and_message(self):
        cases = [
            ("wrong password", dict(com=2, password="wrong"), 9, "Incorrect password"),
            ("other supplier", dict(com=2, password="secret", supplier=9999), 14, None),
        ]
        for what, settings, code, message in cases:
            with self.subTest(what):
                with self.assertRaises(vantbrook.VantbrookError) as caught:
                    self.meter(**settings).header(1)
                self.assertEqual(caught.exception.code, code)
                self.assertEqual(caught.exception.source, "Vantbrook")
                if message:
                    self.assertEqual(caught.exception.message, message)

    def test_progress_callback_sees_a_long_reply_and_can_abort_it(self):
        seen = []
        meter = self.meter(progress=lambda percent: seen.append(percent) and False)
        meter.download(1, raw=True)
        self.assertIn(100, seen)
        aborting = self.meter(progress=lambda percent: percent > 0)
        with self.assertRaises(vantbrook.VantbrookError) as caught:
            aborting.download(1, raw=True)
        self.assertEqual(caught.exception.code, 24)
        # The line is free again afterwards.
        self.assertEqual(self.meter().dib()["meter_id"], "VB-SIM-000001")

    def test_message_comes_back_with_the_meters_answer(self):
        self.assertEqual(self.meter().message("HELLO"), "Meter received: HELLO")
        for text, room in (("X" * 64, 64), ("X", 16)):
            with self.assertRaises(ValueError):
                self.meter().message(text, room=room)

    def test_status_flags_are_explained(self):
        self.assertEqual(vantbrook.status_flag_texts(0), ["No error indications"])
        self.assertEqual(vantbrook.status_flag_texts(0x2002), ["Flow sensor fault", "DIB changed"])


if __name__ == "__main__":
    unittest.main()
