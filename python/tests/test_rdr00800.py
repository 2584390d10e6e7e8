"""Tests of the Python module against the library, with readers simulated by rdr.

Environment: RDR, the rdr executable; RDR00800_SOURCE_DIR, the source tree
(for the header and the README's example); PYTHONPATH finds the module.
"""

import gc
import os
import pydoc
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

    def test_every_public_name_is_listed_documented_and_every_setting_known(self):
        public = {name for name, value in vars(rdr00800).items()
                  if not name.startswith("_") and getattr(value, "__module__", None) == "rdr00800"}
        self.assertEqual(public - set(rdr00800.__all__), set())
        page = pydoc.render_doc(rdr00800, renderer=pydoc.plaintext)
        for name in rdr00800.__all__:
            with self.subTest(name=name):
                self.assertTrue(re.search(r"\b%s\b" % name, page), "help(rdr00800) does not show it")
                value = getattr(rdr00800, name)
                members = vars(value).items() if isinstance(value, type) else [(name, value)]
                for member, function in members:
                    if callable(function) and (member == name or not member.startswith("_")):
                        self.assertTrue(function.__doc__, "%s.%s has no docstring" % (name, member))
        with open(os.path.join(SOURCE, "include", "rdr00800", "rdr00800.h"), encoding="utf-8") as header:
            settings = re.search(r"enum Rdr00800Setting \{(.*?)\}", header.read(), re.S).group(1)
        self.assertEqual({name: int(value) for name, value in re.findall(r"RDR00800_(\w+) = (\d+)", settings)},
                         {setting.name: setting.value for setting in rdr00800.Setting})

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
            ("3", bytearray(b"\xe7\xe3o\r\n"), "ção"),  # bytes-like values as bytes
            ("3", memoryview(b"\xe7\xe3o\r\n"), "ção"),
        ]
        for reader_type, frame, code in cases:
            with self.subTest(frame=frame):
                self.assertEqual(rdr00800.decode_proximity(reader_type, frame), code)
        every_byte = bytes(range(1, 256))
        self.assertEqual(rdr00800.to_bytes(rdr00800.to_text(every_byte)), every_byte)

    def test_arguments_the_library_cannot_take_raise_pythons_errors(self):
        closed = rdr00800.ScannerThread(0x52445231)
        closed.close()
        before = rdr00800.get_setting(rdr00800.Setting.ID_PORTA_OPT)
        cases = [
            (lambda: rdr00800.decode_proximity("3", "12\x0034"), ValueError, "NUL"),
            (lambda: rdr00800.decode_proximity("3", b"12\x0034"), ValueError, "NUL"),
            (lambda: rdr00800.decode_proximity("3", "\u0103"), UnicodeEncodeError, "charmap|latin"),
            (lambda: rdr00800.decode_proximity("3", 12), TypeError, "^frame must be str or bytes, not int"),
            (lambda: rdr00800.read_proximity(2, "/dev/null", 9600), TypeError, "^reader_type "),
            (lambda: rdr00800.set_setting(0, 2 ** 40), ValueError, "^value must be from -2147483648"),
            (lambda: rdr00800.set_setting("0", 1), TypeError, "^setting must be an int"),
            (lambda: rdr00800.send_message(-1, 0), ValueError, "^handle "),
            (lambda: rdr00800.register_window(5, 42), TypeError, "^procedure must be callable"),
            (lambda: rdr00800.set_trace_handler("print"), TypeError, "^handler "),
            (closed.start, ValueError, "closed"),
        ]
        for call, error, saying in cases:
            with self.subTest(saying=saying):
                self.assertRaisesRegex(error, saying, call)
        self.assertEqual(rdr00800.get_setting(rdr00800.Setting.ID_PORTA_OPT), before)


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

    def test_a_session_takes_stx_etx_frames_and_holds_repeats(self):
        frames = "\\x02C1\\r\\n\\x03\\x02C1\\x03junk\\x02C2\\x03"
        with SimulatedReader("optical", "--frame", frames) as reader:
            with rdr00800.ReaderSession(reader.device, 9600, framing="stx-etx", repeat_hold_ms=500) as session:
                self.assertEqual([session.next_code(20), session.next_code(20)], ["C1", "C2"])
        self.assertRaisesRegex(ValueError, "stx-etx", rdr00800.ReaderSession, "COM1", 9600, framing="stx")

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
            with self.assertRaises(rdr00800.DecryptError) as raised:
                rdr00800.decrypt(directory + "/", "471260")
        self.assertEqual(host.messages, [raised.exception.message])
        self.assertIn("Operação bloqueada. O arquivo KQZR32.dll não foi encontrado", host.messages[0])
        self.assertEqual(raised.exception.reason, "KQZR32.dll is not in the directory given")
        self.assertIn(raised.exception.reason, rdr00800.last_error())
        rdr00800.set_default_connection_string("")
        self.assertEqual(rdr00800.last_error(), "")  # describes the last call only


class Credentials(unittest.TestCase):
    def test_frames_decode_to_credentials_with_the_cpp_names(self):
        cases = [
            # frame, layout, format, [(format, facility, card, parity, code)]
            ("00BDD93740\r\n", "hex40", "", [("H10301", 123, 45678, "ok", "12345678")]),
            (b"003dd93700", "hex40", "", [("H10301", 123, 45678, "failed", "12345678")]),
            ("2006F623AE", "packed", "auto", [("H10301", 123, 4567, "ok", "12304567"),
                                              ("ind26", 1969, 471, "ok", "19690471")]),
            ("\x020102B0A5FDEB\x03", "em4100", "", [("EM4100", 176, 42493, "ok", "17642493")]),
            ("0102B0A5FD", "em4100", "", [("EM4100", 176, 42493, "none", "17642493")]),
            ("3C00CE754CCA", "em4100", "", []),
            ("not hex", "hex", "", []),
        ]
        for frame, layout, format, expected in cases:
            with self.subTest(frame=frame, layout=layout):
                found = rdr00800.decode_credentials(frame, layout, format)
                self.assertEqual([(c.format, c.facility, c.card, c.parity, c.form("code")) for c in found], expected)
        card = rdr00800.decode_credentials("2F623AE", "hex:26", "H10301")[0]
        self.assertEqual((card.bits, card.raw, card.issue, card.oem, card.form("fc,cn")), (26, "2F623AE", None, None,
                                                                                           "123,4567"))
        self.assertEqual(len(rdr00800.decode_credentials("584a2b940", "hex:37")), 4)
        self.assertEqual(len(rdr00800.decode_credentials("00BDD93740", "hex40", "auto")), 12)  # beyond one buffer

    def test_encoding_registering_and_refusals(self):
        self.assertEqual(rdr00800.encode_credential("H10301", 123, 45678), "00BDD93740")
        self.assertEqual(rdr00800.encode_credential("EM4100", 176, 42493, "em4100", oem=0x0102),
                         "\x020102B0A5FDEB\x03")
        rdr00800.register_credential_format("PySite", "bits=36 facility=2-13 card=14-35 even=1:2-18 odd=36:19-35")
        self.assertEqual(rdr00800.credential_formats()[-1], "PySite")
        self.assertEqual(len(rdr00800.credential_formats()), 42)
        frame = rdr00800.encode_credential("PySite", 4000, 12345, "hex")
        self.assertEqual(rdr00800.decode_credentials(frame, "hex", "PySite")[0].facility, 4000)
        refusals = [
            (lambda: rdr00800.decode_credentials("00", "hex99"), "unknown credential layout"),
            (lambda: rdr00800.decode_credentials("00", "hex", "Nope"), "unknown credential format"),
            (lambda: rdr00800.encode_credential("H10301", 256, 1), "wider than"),
            (lambda: rdr00800.encode_credential("H10304", 1, 1, "hex40"), "cannot hold"),
            (lambda: rdr00800.register_credential_format("ind26", "bits=26 card=2-25"), "built-in"),
            (lambda: rdr00800.register_credential_format("X", "bits=26 card=2-27"), "runs past"),
            (lambda: rdr00800.decode_credentials("00BDD93740")[0].form("roman"), "unknown credential form"),
        ]
        for call, says in refusals:
            with self.subTest(says=says):
                with self.assertRaisesRegex(ValueError, says):
                    call()
        with self.assertRaises(ValueError):
            rdr00800.encode_credential("H10301", -1, 1)

    def test_the_parity_check_of_the_proximity_call(self):
        rdr00800.set_setting(rdr00800.Setting.CHECK_PROXIMITY_PARITY, 1)
        try:
            with SimulatedReader("proximity", "--frame", "003DD93700\\r\\n") as card:
                self.assertEqual(rdr00800.read_proximity("2", card.device, 9600), "")
                self.assertEqual(rdr00800.last_read_status(), rdr00800.ReadStatus.BAD_FRAME)
                self.assertIn("parity bit 26", rdr00800.last_read_message())
        finally:
            rdr00800.set_setting(rdr00800.Setting.CHECK_PROXIMITY_PARITY, 0)


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

    def test_the_readme_card_format_example_prints_what_it_says(self):
        example = readme_block("## Which card was read: card formats", "python")
        run = subprocess.run([sys.executable, "-c", example], capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(), ["EM4100 176 42493 ok 0045131261",
                                                   "A6901BBAA ['C15001', 'Sie36', 'Site36', 'S12906']"])

    def test_the_readme_decryption_example_finds_the_sample_library_from_an_interpreter(self):
        example = readme_block("### The decryption library from an interpreter", "python")
        with tempfile.TemporaryDirectory() as sample:
            os.symlink(os.environ["SAMPLE_LIBRARY"], os.path.join(sample, "KQZR32.dll"))
            with open(os.path.join(sample, "Cliente.Cfg"), "w", encoding="ascii") as config:
                config.write("Chave=4711\n")
            example = example.replace("/usr/lib/rdr00800/sample", sample).replace("/tmp/host.db", sample + "/host.db")
            trace = "rdr00800.set_trace_handler(lambda line: 'load' in line and print(line))\n"
            run = subprocess.run([sys.executable, "-c", "import rdr00800\n" + trace + example], capture_output=True,
                                 text=True, timeout=30)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.splitlines(), ["gateway: load KQZR32.dll: %s/KQZR32.dll" % sample, "one-shot: 000123",
                                                   "gateway: load KQZR32.dll: %s/KQZR32.dll" % sample, "resident: 000123"])


if __name__ == "__main__":
    unittest.main()
