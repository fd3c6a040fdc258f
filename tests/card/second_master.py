#!/usr/bin/python3
"""A second Modbus master for the tests: after DELAY seconds it writes PATTERN (16 bits, coil 0
lowest) to the 16 coils from COILS of the unit at 127.0.0.1:PORT, again every 50 ms, as
another program driving the same module would, until it is killed. Prints "driving" at its first
write. Run with Debian's /usr/bin/python3 (pymodbus)."""
import argparse
import time

from pymodbus.client import ModbusTcpClient


def write_coils(client, address, bits, unit):
    """pymodbus names the unit differently from one version to the next."""
    for key in ("slave", "device_id", "unit"):
        try:
            return client.write_coils(address, bits, **{key: unit})
        except TypeError:
            continue
    raise SystemExit("this pymodbus's write_coils takes no unit")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--coils", type=int, default=0)
    parser.add_argument("--pattern", type=lambda v: int(v, 0), default=0xFFFF)
    parser.add_argument("--delay", type=float, default=0)
    args = parser.parse_args()
    client = ModbusTcpClient("127.0.0.1", port=args.port)
    if not client.connect():
        raise SystemExit("cannot connect")
    time.sleep(args.delay)
    bits = [bool(args.pattern >> k & 1) for k in range(16)]
    said = False
    while True:
        reply = write_coils(client, args.coils, bits, args.unit)
        if not said and not reply.isError():
            print("driving", flush=True)
            said = True
        time.sleep(0.05)


if __name__ == "__main__":
    main()
