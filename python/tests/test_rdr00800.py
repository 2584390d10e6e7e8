"""Tests of the Python module against the library, with readers simulated by rdr.

Environment: RDR, the rdr executable; RDR00800_SOURCE_DIR, the source tree
(for the header and the README's example); PYTHONPATH finds the module.
"""

import gc
import os
import re
import subprocess
import sys
import tempfile
import threading
import unittest

import rdr00800

SOURCE = os.environ["RDR00800_SOURCE_DIR"]


class SimulatedReader:
    """`rdr simulate`, sending its frame once a host has opened the device and then every period.

    A scanner's period is longer than one poll of the library (a second), so
    that no poll reads two codes at once.
    """

    def __init__(self, kind, *arguments):
        every = "1200" if kind == "optical" else "200"
        self.process = subprocess.Popen([os.environ["RDR"], "simulate", "--every", every, "--kind", kind, *arguments],
                                        stdout=subprocess.PIPE, text=True)
        self.device = self.process.stdout.readline().strip()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.process.terminate()
        self.process.wait()
        self.process.stdout.close()


def readme_block(heading, language):
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as readme:
        text = readme.read()
    section = text[text.index(heading):]
    return re.search(r"```%s\n(.*?)```" % language, section, re.S).group(1)


class Declarations(unittest.TestCase):
    def test_every_entry_of_the_header_is_declared_and_bound(self):
        with open(os.path.join(SOURCE, "include", "rdr00800", "rdr00800.h"), encoding="utf-8") as header:
            entries = set(re.findall(r"^RDR00800_CAPI\s[^;(]*?\**(\w+)\(", header.read(), re.M))
        self.assertGreater(len(entries), 35)
        self.assertEqual(entries - set(rdr00800.DECLARATIONS), set())
        for name in entries:
            with self.subTest(name=name):
                self.assertIsNotNone(getattr(rdr00800._lib, name).argtypes)

    def test_a_failed_read_says_why_and_is_traced(self):
        lines = []
        rdr00800.set_trace_handler(lines.append)
        try:
            self.assertEqual(rdr00800.read_proximity("2", "/dev/rdr-no-such-device", 9600), "")
        finally:
            rdr00800.set_trace_handler(None)
        self.assertEqual(rdr00800.last_read_status(), rdr00800.ReadStatus.NO_SUCH_DEVICE)
        self.assertIn("/dev/rdr-no-such-device", rdr00800.last_read_message())
        self.assertTrue(lines and "/dev/rdr-no-such-device" in lines[0], lines)


class Texts(unittest.TestCase):
    def test_texts_cross_as_windows_1252(self):
        cases = [
            ("2", "003DD93700\r\n", "12345678"),
            ("3", "ção\r\n", "ção"),  # encoded on the way in
            ("3", b"\xe7\xe3o\r\n", "ção"),  # bytes pass unchanged
            ("3", b"\x80\x81\x9f\r\n", "€\x81Ÿ"),  # an undefined byte keeps its value
        ]
        for reader_type, frame, code in cases:
            with self.subTest(frame=frame):
                self.assertEqual(rdr00800.decode_proximity(reader_type, frame), code)
        every_byte = bytes(range(1, 256))
        self.assertEqual(rdr00800.to_bytes(rdr00800.to_text(every_byte)), every_byte)

    def test_texts_the_library_cannot_take_are_refused(self):
        cases = [("12\x0034", ValueError), (b"12\x0034", ValueError), ("\u0103", UnicodeEncodeError)]
        for frame, error in cases:
            with self.subTest(frame=frame):
                self.assertRaises(error, rdr00800.decode_proximity, "3", frame)


class Callbacks(unittest.TestCase):
    def setUp(self):
        rdr00800.initialize()
        self.addCleanup(rdr00800.finalize)

    def test_a_window_procedure_outlives_its_last_python_reference(self):
        rdr00800.register_window(7, lambda message, w_param, l_param: message + w_param + l_param)
        gc.collect()
        self.assertEqual(rdr00800.send_message(7, 5, 6, 7), 18)
        rdr00800.unregister_window(7)
        self.assertEqual(rdr00800.send_message(7, 5, 6, 7), 0)

    def test_scan_calls_back_on_the_calling_thread(self):
        calls = []
        with SimulatedReader("optical", "--frame", "C\\xe7DE42\\r\\n") as reader:
            count = rdr00800.scan(lambda code: calls.append((code, threading.get_ident())), reader.device, count=1,
                                  timeout=20)
        self.assertGreaterEqual(count, 1)
        self.assertEqual(calls[0], ("CçDE42", threading.get_ident()))

    def test_scan_calls_back_once_per_code_on_any_thread(self):
        calls = []
        with SimulatedReader("optical", "--frame", "A1\\r\\nB2\\r\\n") as reader:
            worker = threading.Thread(target=lambda: calls.append(rdr00800.scan(calls.append, reader.device, count=2,
                                                                                 timeout=20)))
            worker.start()
            worker.join(30)
        self.assertEqual(calls, ["A1", "B2", 2])

    def test_a_session_hands_out_codes_and_says_why_it_cannot(self):
        with rdr00800.ReaderSession("/dev/rdr-python-test-missing", 9600) as session:
            self.assertIsNone(session.next_code(0))
            self.assertEqual(session.status, rdr00800.ReadStatus.NO_SUCH_DEVICE)
            self.assertIn("no such device", session.status_message)
            session.cancel()
            self.assertIsNone(session.next_code(60))
        self.assertRaises(ValueError, session.next_code, 0)

    def test_scan_raises_what_the_callback_raised(self):
        def refuse(code):
            raise RuntimeError("refused " + code)

        with SimulatedReader("optical", "--frame", "CODE42\\r\\n") as reader:
            self.assertRaisesRegex(RuntimeError, "refused CODE42", rdr00800.scan, refuse, reader.device, timeout=20)


    def test_the_gateway_speaks_through_the_host_framework(self):
        class Host(rdr00800.HostFramework):
            def __init__(self):
                self.messages = []

            def mensagem(self, text, caption, kind, detail):
                self.messages.append(text)

        host = Host()
        rdr00800.set_host_framework(host)
        self.addCleanup(rdr00800.set_host_framework, None)
        with tempfile.TemporaryDirectory() as directory:
            rdr00800.set_default_connection_string("Driver=SQLite3;Database=%s/host.db" % directory)
            self.assertIsNone(rdr00800.decrypt(directory + "/", "471260"))
        self.assertEqual(len(host.messages), 1, rdr00800.last_error())
        self.assertIn("Operação bloqueada. O arquivo KQZR32.dll não foi encontrado", host.messages[0])


class ReadmeExample(unittest.TestCase):
    def test_the_readme_example_reads_a_card_and_a_code(self):
        example = readme_block("## A host in Python", "python")
        with SimulatedReader("proximity", "--facility", "123", "--card", "45678") as card, \
                SimulatedReader("optical", "--frame", "CODE42\\r\\n") as scanner:
            run = subprocess.run([sys.executable, "-c", example, card.device, scanner.device], capture_output=True,
                                 text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(),
                         ["card: 12345678", "frame: 12345678", "scanned: CODE42", "scanned: CODE42"])


if __name__ == "__main__":
    unittest.main()
