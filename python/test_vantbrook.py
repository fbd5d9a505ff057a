"""The ctypes binding against the real library and the real metersim program.

Needs VANTBROOK_LIBRARY (path of libVantbrook.so) and METERSIM (path of the
metersim program) in the environment; ctest sets both. The simulated meters
start at the meter time VANTBROOK_TEST_METER_CLOCK names ("live" for the host's
clock), else at VANTBROOK_DEFAULT_TEST_METER_CLOCK, which ctest sets too.
"""

import ctypes
import datetime
import os
import subprocess
import unittest
import warnings

import vantbrook

METERSIM = os.environ.get("METERSIM", "")
START_SECONDS = 20


def meter_clock_arguments():
    """The metersim arguments that pin the meter clock the tests run at."""
    clock = (os.environ.get("VANTBROOK_TEST_METER_CLOCK")
             or os.environ.get("VANTBROOK_DEFAULT_TEST_METER_CLOCK", "live"))
    return [] if clock == "live" else ["--clock", clock]


class MeterSim:
    """A metersim program on its own pseudo-terminal, mapped to a COM port."""

    def __init__(self, com, *arguments):
        self.process = subprocess.Popen([METERSIM, *arguments, *meter_clock_arguments()],
                                        stdout=subprocess.PIPE,
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
            (vantbrook.DataHeaderRecord, 112, {"site_id": 8, "first_pair_rsn": 72,
                                               "logging_interval": 84, "height_offset": 100,
                                               "count": 108}),
            (vantbrook.TotalsHeaderRecord, 132, {"site_id": 10, "aux_text": 64, "count": 128}),
            (vantbrook.TotalsRecord, 44, {"extra1": 36, "crc_valid": 40}),
            (vantbrook.RawPair, 4, {"pressure": 2}),
            (vantbrook.ConvertedPair, 8, {"pressure": 4}),
            (vantbrook.VersionRecord, 320, {}),
            (vantbrook.ResultRecord, 172, {"source": 4, "message": 44}),
            # x86-64 natural alignment, as the C compiler lays it out.
            (vantbrook.RequestRecord, 200, {"protocol": 4, "address": 8, "download": 64,
                                            "specifier": 88, "password": 103,
                                            "connect_count": 144, "progress_callback": 168,
                                            "hold_connection": 192}),
        ]
        for record, size, offsets in cases:
            with self.subTest(record=record.__name__):
                self.assertEqual(ctypes.sizeof(record), size)
                for name, offset in offsets.items():
                    self.assertEqual(getattr(record, name).offset, offset, name)

    def test_former_camel_case_names_still_work_with_a_deprecation_warning(self):
        with self.assertWarns(DeprecationWarning):
            request = vantbrook.RequestRecord(logNo=2)
        self.assertEqual(request.log_no, 2)
        entry = vantbrook.TotalsEntry(1, None, [], 0, 0, True)
        cases = [
            ("structure field", lambda: request.logNo, 2),
            ("field descriptor", lambda: vantbrook.DataHeaderRecord.firstPairRSN.offset, 72),
            ("record field", lambda: entry.crcValid, True),
            ("record key", lambda: entry["crcValid"], True),
        ]
        for what, read, expected in cases:
            with self.subTest(what):
                with self.assertWarns(DeprecationWarning):
                    self.assertEqual(read(), expected)
        self.assertNotIn("crcValid", entry.keys())


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
            self.assertEqual(header["first_pair_rsn"], 1001)
            self.assertEqual(header["logging_interval"], 900)
            head, raw = meter.download(1, raw=True, rsn=(1001, 1010))
            self.assertEqual(head["count"], 10)
            self.assertEqual([entry["rsn"] for entry in raw], list(range(1001, 1011)))
            self.assertEqual(raw[1]["time"] - raw[0]["time"], datetime.timedelta(seconds=900))
            _, converted = meter.download(1, rsn=(1001, 1010))
            self.assertEqual(len(converted), 10)
            self.assertTrue(all(isinstance(entry["flow"], float) for entry in converted))
            _, totals = meter.download(3)
            self.assertGreater(len(totals), 0)
            self.assertTrue(all(entry["crc_valid"] for entry in totals))
        self.assertFalse(meter.held)

    def test_records_are_typed_and_entries_come_as_an_iterator_in_batches(self):
        meter = self.meter()
        self.assertIsInstance(meter.dib(), vantbrook.Dib)
        header, listed = meter.download(1, raw=True, rsn=(1001, 1010))
        self.assertIsInstance(header, vantbrook.DataHeader)
        self.assertIsInstance(header.first_pair_date_time, datetime.datetime)
        self.assertIsInstance(listed[0], vantbrook.Pair)
        # Batches of 4 over 10 entries: three downloads on one held link.
        iterated = meter.entries(1, raw=True, rsn=(1001, 1010), batch=4)
        self.assertEqual(list(iterated), listed)
        self.assertFalse(meter.held)
        totals = list(meter.entries(3, batch=40))
        self.assertEqual(totals, meter.download(3)[1])
        self.assertIsInstance(totals[0], vantbrook.TotalsEntry)

    def test_downloads_by_time_number_their_entries_as_the_whole_logger_does(self):
        meter = self.meter()
        for log_no in (1, 3):
            with self.subTest(log_no=log_no):
                _, everything = meter.download(log_no, raw=True)
                rsn_at = {entry["time"]: entry["rsn"] for entry in everything}
                times = [entry["time"] for entry in everything]
                _, tail = meter.download(log_no, raw=True, start=times[-4])
                self.assertEqual([entry["rsn"] for entry in tail],
                                 [rsn_at[entry["time"]] for entry in tail])
                # Totals carry no interval: inside the logger no number is known.
                _, inside = meter.download(log_no, raw=True, start=times[1], end=times[3])
                expected = [rsn_at[t] for t in times[1:4]] if log_no == 1 else [None] * 3
                self.assertEqual([entry["rsn"] for entry in inside], expected)

    def test_fractional_times_round_inwards(self):
        header = self.meter().header(1)
        start = header["first_pair_date_time"] + datetime.timedelta(seconds=900 * 5)
        half = datetime.timedelta(milliseconds=500)
        _, pairs = self.meter().download(1, raw=True, start=start - half,
                                         end=start + datetime.timedelta(seconds=900 * 4) + half)
        self.assertEqual([entry["time"] for entry in pairs],
                         [start + datetime.timedelta(seconds=900 * k) for k in range(5)])
        _, pairs = self.meter().download(1, raw=True, start=start + half,
                                         end=start + datetime.timedelta(seconds=1800))
        self.assertEqual(pairs[0]["time"], start + datetime.timedelta(seconds=900))

    def test_what_the_meter_cannot_take_is_refused_before_anything_is_sent(self):
        cases = [
            dict(log_no=0), dict(log_no=4), dict(capacity=0),
            dict(start=datetime.datetime(1989, 12, 31, 23, 59, 59)),
            dict(end=datetime.datetime(2163, 1, 13, 20, 43, 16)),
            dict(start=datetime.datetime(2058, 1, 19, 3, 14, 7, 1)),
            dict(start=datetime.datetime(2026, 1, 2), end=datetime.datetime(2026, 1, 1)),
        ]
        # A port nobody serves: anything sent would fail with a link error.
        meter = self.meter(com=8)
        for settings in cases:
            with self.subTest(**{k: str(v) for k, v in settings.items()}):
                with self.assertRaises(ValueError):
                    meter.download(**settings)
        with self.assertRaises(ValueError):
            meter.header(log_no=5)

    def test_a_short_receive_timeout_is_warned_about(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.meter(receive_timeout=2000).download(1, raw=True, rsn=(1001, 1002))
        self.assertEqual(len(caught), 1)
        self.assertIn("2000 ms is shorter than the 20000 ms", str(caught[0].message))

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
