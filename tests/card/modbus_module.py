#!/usr/bin/python3
"""A Modbus relay/input module for the tests, served by pymodbus: one unit with 16 coils from
COILS and 16 discrete inputs from INPUTS, wired back so that discrete input i follows coil
15 - i. Prints "ready" once it serves. Run with Debian's /usr/bin/python3."""
import argparse
import asyncio
import time

from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext

# Debian 12 has pymodbus 3.0, Debian 13 3.8: the framers became a type, and a server that
# serves in the background is started differently. Either way a unit that is not this module's
# gets no answer, as on a shared line: the caller times out.
try:
    from pymodbus import FramerType
    from pymodbus.pdu.bit_message import ReadCoilsRequest, ReadDiscreteInputsRequest
    from pymodbus.pdu.pdu import ExceptionResponse
    from pymodbus.server import ModbusSerialServer, ModbusTcpServer

    SOCKET, RTU, SERVES_IN_BACKGROUND = FramerType.SOCKET, FramerType.RTU, True

    def checked(request):
        """3.8 reads bits without asking the unit whether it has them; a real module answers
        a read outside its bits with "illegal data address", as 3.0 does."""

        class Checked(request):
            async def update_datastore(self, context):
                if not context.validate(self.function_code, self.address, self.count):
                    return ExceptionResponse(self.function_code,
                                             ExceptionResponse.ILLEGAL_ADDRESS)
                return await super().update_datastore(context)

        return Checked

    SERVER_OPTIONS = {"custom_pdu": [checked(ReadCoilsRequest), checked(ReadDiscreteInputsRequest)],
                      "ignore_missing_slaves": True}
except ImportError:
    from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
    from pymodbus.transaction import ModbusRtuFramer as RTU, ModbusSocketFramer as SOCKET

    SERVES_IN_BACKGROUND, SERVER_OPTIONS = False, {"ignore_missing_slaves": True}


class LoopBack(ModbusSlaveContext):
    """Coils as written; inputs read the relays they are wired to, which follow their coils
    (one relay may never close, its coil reading as written all the same, as a real module's).
    The unit keeps its own bits and answers by the protocol's addresses, whatever offset the
    installed pymodbus gives its data blocks."""

    def __init__(self, coils, inputs, never_closes, late_once):
        super().__init__()
        self.bits = {"c": [False] * 16, "d": None}
        self.first = {"c": coils, "d": inputs}
        self.never_closes, self.late_once, self.input_reads = never_closes, late_once, 0

    def validate(self, fc_as_hex, address, count=1):
        kind = self.decode(fc_as_hex)
        return kind in self.first and 0 <= address - self.first[kind] <= 16 - count

    def setValues(self, fc_as_hex, address, values):
        if self.decode(fc_as_hex) != "c":
            return
        for k, v in enumerate(values):
            relay = address - self.first["c"] + k
            self.bits["c"][relay] = bool(v)

    def getValues(self, fc_as_hex, address, count=1):
        kind = self.decode(fc_as_hex)
        first = address - self.first[kind]
        if kind == "c":
            return self.bits["c"][first:first + count]
        self.input_reads += 1
        if self.input_reads == self.late_once:
            time.sleep(0.3)  # the whole module waits: this answer comes late
        return [self.bits["c"][15 - i] and 15 - i != self.never_closes
                for i in range(first, first + count)]


async def serve(args):
    module = LoopBack(args.coils, args.inputs, args.never_closes, args.late_once)
    context = ModbusServerContext(slaves={args.unit: module}, single=False)
    if args.tcp:
        address = ("127.0.0.1", args.tcp)
        if SERVES_IN_BACKGROUND:
            server = ModbusTcpServer(context, framer=SOCKET, address=address, **SERVER_OPTIONS)
            await server.serve_forever(background=True)
        else:
            server = ModbusTcpServer(context, framer=SOCKET, address=address,
                                     allow_reuse_address=True)
            serving = asyncio.create_task(server.serve_forever())
            await server.serving
    else:
        server = ModbusSerialServer(context, framer=RTU, port=args.rtu, baudrate=args.baud,
                                    parity=args.parity, **SERVER_OPTIONS)
        if SERVES_IN_BACKGROUND:
            await server.serve_forever(background=True)
        else:
            await server.start()
            serving = asyncio.create_task(server.serve_forever())
    print("ready", flush=True)
    await asyncio.Event().wait()  # serves until killed; `serving` keeps 3.0's task alive


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tcp", type=int, help="serve on 127.0.0.1 at this port")
    parser.add_argument("--rtu", help="serve RTU on this serial device")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", default="N")
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--coils", type=int, default=0)
    parser.add_argument("--inputs", type=int, default=0)
    parser.add_argument("--never-closes", type=int,
                        help="this relay never closes (its coil reads as written)")
    parser.add_argument("--late-once", type=int, help="answer this read of the inputs 300 ms late")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
