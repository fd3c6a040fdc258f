#pragma once

#include "looptest/Counting.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// The run log's format, the one description that its writers (the run's recorder, the
// diagnosis, the benchmark) and its reader share: the columns, the events, what each event's
// row holds, and how a row's fields are written and read back.
//
// A log is CSV (RFC 4180, UTF-8) with a header row. Each row is
//   time,loop,event,channel,written,read,count,detail,kind
// time: local ISO 8601 with milliseconds and the offset from UTC; loop: the loop count then;
// channel: a relay 0-15; written, read: a port's byte as two hex digits; count: how many;
// detail: words; kind: of an error row, the kind of error (ErrorKind's names).
namespace logformat {

constexpr const char* kHeader = "time,loop,event,channel,written,read,count,detail,kind";
// The header of logs written before the kind column came; they are read, never added to.
constexpr const char* kEightColumnHeader = "time,loop,event,channel,written,read,count,detail";
constexpr int kColumns = 9;

enum class Event {
    Start,       // a run starts; detail: the device and its settings
    Speed,       // a setting changed; detail: which, and its value
    Auto,        // auto mode on
    Stop,        // auto mode off
    Reset,       // the counters cleared: a row per relay that had errors, then the loop count
    Mismatch,    // a relay's input did not follow it
    WriteFailed, // a write failed, charged to a relay or (no channel) to none
    ReadFailed,  // a read of a port failed
    Checkpoint,  // a relay's errors at a minute mark: the rows of one mark come together
    Total,       // the end's totals: a row per relay, then the loop count
    End,         // the run ended; count: how many things failed; detail: the verdict
    Diagnosis,   // a channel's diagnosis; count 0 when it is ok; detail: class, words, times
    Card,        // the card tested; detail: its ID
    RelayLife,   // a relay passed its rated life; count: its closings
    Note,        // something the run said on the way, in words (a database it cannot reach)
};

enum class Need { None, Optional, Required };

// What an event's row holds.
struct EventForm {
    Event event;
    const char* name; // as the event column spells it
    Need channel;
    Need count;
    std::int64_t least; // the smallest count
    bool error;         // an error row: its count adds to its relay's (or lane's) errors
};

const EventForm& form(Event event);
const EventForm* formNamed(std::string_view name);
QString eventName(Event event);

// The event of an error row of a kind: a mismatch (either input kind), a failed write or read.
Event eventOf(ErrorKind kind);

// One row to be written.
struct LogRow {
    qint64 ms = 0; // when, in milliseconds since the epoch
    std::int64_t loop = 0;
    Event event = Event::Start;
    int channel = -1;
    int written = -1, read = -1; // bytes, -1 for none
    std::int64_t count = -1;     // -1 for none
    QString detail;
    std::optional<ErrorKind> kind; // of an error row
};

// The row's fields in column order, as text.
QStringList fields(const LogRow& row);
// A row's time as the log writes it: "2026-12-07T08:00:00.445+01:00".
QString timeText(qint64 msSinceEpoch);
// One field as CSV: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString& text);

// One row as read: views into the record the reader holds, valid until it reads on.
struct ReadRow {
    qint64 ms = 0;
    std::string_view time;
    std::int64_t loop = 0;
    const EventForm* form = nullptr;
    int channel = -1;
    int written = -1, read = -1;
    std::int64_t count = -1;
    ErrorKind kind = ErrorKind::InputInactive; // of an error row
    std::string_view detail;
};

// Parses one record of a log with `columns` columns (9, or 8 for the old form) into a row,
// checking every field against its event's form; false with what is wrong with it.
bool parseRow(const std::vector<std::string_view>& fields, std::size_t columns, ReadRow& row,
              QString& why);
// The lane of an error row: 0-15 its relay, 16 the reads, 17 writes charged to no relay.
int laneOf(const ReadRow& row);

QString text(std::string_view s);

} // namespace logformat
