# pyserial's side of the benchmark report, timed inside this one interpreter.
# Per request line "PATH TIMEOUT_S" (a device path or a URL such as
# rfc2217://HOST:PORT): opens the port and answers "opened", then
# waits for a line saying the frame is queued (pyserial empties the input
# queue when it opens, so the frame can only be queued after), reads and
# closes; answers "MICROS COUNT" with the open and the read+close timed, the
# wait between them left out. A failed open answers "MICROS 0" at once.
import sys
import time

import serial

while request := sys.stdin.readline():
    path, timeout = request.split()
    start = time.perf_counter()
    try:
        port = serial.serial_for_url(path, 9600, bytesize=8, parity="N", stopbits=1, timeout=float(timeout))
    except (OSError, serial.SerialException):
        print(f"{(time.perf_counter() - start) * 1e6:.2f} 0", flush=True)
        continue
    opening = time.perf_counter() - start
    print("opened", flush=True)
    sys.stdin.readline()
    start = time.perf_counter()
    with port:
        count = len(port.read(51))
    print(f"{(opening + time.perf_counter() - start) * 1e6:.2f} {count}", flush=True)
