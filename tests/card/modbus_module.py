#!/usr/bin/python3
"""A Modbus relay/input module for the tests, served by pymodbus: one unit with 16 coils from
COILS and 16 discrete inputs from INPUTS, wired back so that discrete input i follows coil
15 - i. Prints "ready" once it serves. Run with Debian's /usr/bin/python3."""
import argparse
import asyncio
import time

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer


class LoopBack(ModbusSlaveContext):
    """Coils as written (one may never close); inputs read the coils they are wired to."""

    def __init__(self, coils, inputs, never_closes, late_once):
        super().__init__(co=ModbusSequentialDataBlock(coils, [0] * 16),
                         di=ModbusSequentialDataBlock(inputs, [0] * 16), zero_mode=True)
        self.coils, self.inputs, self.never_closes = coils, inputs, never_closes
        self.late_once, self.input_reads = late_once, 0

    def setValues(self, fc_as_hex, address, values):
        if self.decode(fc_as_hex) == "c" and self.never_closes is not None:
            values = [v and address + k - self.coils != self.never_closes
                      for k, v in enumerate(values)]
        super().setValues(fc_as_hex, address, values)

    def getValues(self, fc_as_hex, address, count=1):
        if self.decode(fc_as_hex) != "d":
            return super().getValues(fc_as_hex, address, count)
        self.input_reads += 1
        if self.input_reads == self.late_once:
            time.sleep(0.3)  # the whole module waits: this answer comes late
        coils = self.store["c"]
        return [coils.getValues(self.coils + 15 - (a - self.inputs), 1)[0]
                for a in range(address, address + count)]


async def serve(args):
    module = LoopBack(args.coils, args.inputs, args.never_closes, args.late_once)
    context = ModbusServerContext(slaves={args.unit: module}, single=False)
    if args.tcp:
        server = ModbusTcpServer(context, ModbusSocketFramer, None, ("127.0.0.1", args.tcp),
                                 allow_reuse_address=True)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
    else:
        server = ModbusSerialServer(context, ModbusRtuFramer, port=args.rtu, baudrate=args.baud,
                                    parity=args.parity)
        await server.start()
        task = asyncio.create_task(server.serve_forever())
    print("ready", flush=True)
    await task


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tcp", type=int, help="serve on 127.0.0.1 at this port")
    parser.add_argument("--rtu", help="serve RTU on this serial device")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", default="N")
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--coils", type=int, default=0)
    parser.add_argument("--inputs", type=int, default=0)
    parser.add_argument("--never-closes", type=int, help="this relay's coil never closes")
    parser.add_argument("--late-once", type=int, help="answer this read of the inputs 300 ms late")
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
