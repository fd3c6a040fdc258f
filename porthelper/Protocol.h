#pragma once

// The fixed binary protocol between the program and its port helper, over a socket pair: the
// program's end, and the helper's as its standard input and output. Shared by both sides; plain
// constants, no library.
//
// Once the helper holds its two ports and has dropped every privilege, it sends kHello. Then,
// per request, the program sends two bytes: an operation and a value; the helper answers two
// bytes: a status and a value.
//   kReadPort0/1, value 0       -> kOk, the input byte       (or kFailed, 0)
//   kWritePort0/1, relay byte   -> kOk, the byte written     (or kFailed, 0)
//   kWatchPort0/1, time-out, the byte before (a third byte)   -> a watch's answer (below)
//   kGoodbye, value 0           -> kOk, 0, and the helper ends, leaving the ports as they are
// Any other request (an unknown operation, a value out of range, a request cut short) ends the
// helper without an answer, as does the end of its input. Ending without a goodbye means the
// program died: the helper first writes 0 to both ports, opening every relay.
//
// A watch samples the port's input byte as fast as the helper can, from the request until the
// byte has changed from the byte before (as the program read it before the write it watches)
// and then stayed put for kWatchSettleUs, or until the time-out (its value times 4 ms, 1 to
// 250: at most a second) has passed, keeping at most kWatchMaxChanges changes. Its answer: a
// status (kOk, or kFailed when a read failed), the number of changes n, the last byte, the
// samples taken (4 bytes), the watch's length in microseconds (4 bytes), its start on
// CLOCK_MONOTONIC in microseconds (8 bytes), the longest gap from the start of one
// read to the end of the next in microseconds (4 bytes: a change may be seen that late), then per
// change its time after the start in microseconds (4 bytes) and the byte. Numbers are
// little-endian.
namespace porthelper {

constexpr char kHello[4] = {'L', 'T', 'P', '1'};

constexpr unsigned char kReadPort0 = 0x10;
constexpr unsigned char kReadPort1 = 0x11;
constexpr unsigned char kWritePort0 = 0x20;
constexpr unsigned char kWritePort1 = 0x21;
constexpr unsigned char kWatchPort0 = 0x30;
constexpr unsigned char kWatchPort1 = 0x31;
constexpr unsigned char kGoodbye = 0x40;

constexpr unsigned kWatchUnitMs = 4;
constexpr unsigned kWatchMaxUnits = 250;
constexpr unsigned kWatchSettleUs = 5000;
constexpr unsigned kWatchMaxChanges = 255;
constexpr unsigned kWatchHeader = 1 + 1 + 1 + 4 + 4 + 8 + 4;
constexpr unsigned kWatchChange = 4 + 1;

constexpr unsigned char kOk = 0x00;
constexpr unsigned char kFailed = 0x01;

// The card's two ports sit at base and base + 1; ISA cards are jumpered within this window,
// below which sit the machine's own devices.
constexpr unsigned kMinBase = 0x100;
constexpr unsigned kMaxBase = 0x3FE;

// Exit statuses (sysexits.h).
constexpr int kExitUsage = 64;        // bad command line or base
constexpr int kExitBadRequest = 65;   // a malformed request
constexpr int kExitUnavailable = 69;  // port I/O does not exist here
constexpr int kExitOsError = 71;      // could not drop privileges
constexpr int kExitIoError = 74;      // the program's end of the socket pair is gone
constexpr int kExitHeld = 75;         // another program holds a port of the card
constexpr int kExitNoPermission = 77; // no cap_sys_rawio

} // namespace porthelper
