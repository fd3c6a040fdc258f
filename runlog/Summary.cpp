#include "runlog/Summary.h"

#include "runlog/CsvStream.h"
#include "runlog/LogFile.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <optional>
#include <string_view>

namespace {

using Fields = std::vector<std::string_view>;

// --- One row, checked against the format ----------------------------------------------------

enum class Event {
    Start,
    Speed,
    Auto,
    Stop,
    Reset,
    Mismatch,
    WriteFailed,
    ReadFailed,
    Checkpoint,
    Total,
    End,
    Diagnosis,
    Card,
    RelayLife
};
enum class Need { None, Optional, Required };

// What each event's row holds: its channel, its count (and the least it may be), its kinds.
struct EventForm {
    const char* name;
    Event event;
    Need channel;
    Need count;
    std::int64_t least; // the smallest count
    bool error;         // an error row: its kind column names the kind
};

constexpr EventForm kEvents[] = {
    {"start", Event::Start, Need::None, Need::None, 0, false},
    {"speed", Event::Speed, Need::None, Need::None, 0, false},
    {"auto", Event::Auto, Need::None, Need::None, 0, false},
    {"stop", Event::Stop, Need::None, Need::None, 0, false},
    {"reset", Event::Reset, Need::Optional, Need::Required, 0, false},
    {"mismatch", Event::Mismatch, Need::Required, Need::Required, 1, true},
    {"write-failed", Event::WriteFailed, Need::Optional, Need::Required, 1, true},
    {"read-failed", Event::ReadFailed, Need::None, Need::Required, 1, true},
    {"checkpoint", Event::Checkpoint, Need::Required, Need::Required, 0, false},
    {"total", Event::Total, Need::Optional, Need::Required, 0, false},
    {"end", Event::End, Need::None, Need::Optional, 0, false},
    {"diagnosis", Event::Diagnosis, Need::Required, Need::Required, 0, false},
    {"card", Event::Card, Need::None, Need::None, 0, false},
    {"relay-life", Event::RelayLife, Need::Required, Need::Required, 0, false},
};

struct Row {
    qint64 ms = 0;
    std::string_view time;
    std::int64_t loop = 0;
    const EventForm* form = nullptr;
    int channel = -1;
    int written = -1, read = -1;
    std::int64_t count = -1;
    ErrorKind kind = ErrorKind::InputInactive;
    std::string_view detail;
};

bool digits(std::string_view s, std::size_t at, std::size_t n, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - int(era * 400);
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The log's time, "2026-12-07T08:00:00.445+01:00", in milliseconds since the epoch.
bool parseTime(std::string_view s, qint64& ms) {
    int y, mo, d, h, mi, sec, milli, oh, om;
    if (s.size() != 29 || s[4] != '-' || s[7] != '-' || s[10] != 'T' || s[13] != ':' ||
        s[16] != ':' || s[19] != '.' || (s[23] != '+' && s[23] != '-') || s[26] != ':' ||
        !digits(s, 0, 4, y) || !digits(s, 5, 2, mo) || !digits(s, 8, 2, d) ||
        !digits(s, 11, 2, h) || !digits(s, 14, 2, mi) || !digits(s, 17, 2, sec) ||
        !digits(s, 20, 3, milli) || !digits(s, 24, 2, oh) || !digits(s, 27, 2, om))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || oh > 14 || om > 59)
        return false;
    const qint64 offset = (oh * 60 + om) * 60'000LL * (s[23] == '-' ? -1 : 1);
    ms = ((daysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60'000LL + sec * 1000LL + milli - offset;
    return true;
}

bool number(std::string_view s, std::int64_t min, std::int64_t& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && !s.empty() && value >= min;
}

bool hexByte(std::string_view s, int& value) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
    return s.size() == 2 && ec == std::errc() && end == s.data() + s.size();
}

QString text(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Parses one record into a row; false with what is wrong with it.
bool parseRow(const Fields& f, std::size_t columns, Row& row, QString& why) {
    if (f.size() != columns) {
        why = QStringLiteral("%1 fields where the header has %2").arg(f.size()).arg(columns);
        return false;
    }
    row = {};
    const auto form = std::find_if(std::begin(kEvents), std::end(kEvents), [&](const EventForm& e) {
        return f[2] == std::string_view(e.name);
    });
    if (form == std::end(kEvents)) {
        why = QStringLiteral("\"%1\" is no event of a run log").arg(text(f[2]));
        return false;
    }
    row.form = form;
    row.time = f[0];
    row.detail = f[7];
    if (!parseTime(f[0], row.ms)) {
        why = QStringLiteral("\"%1\" is not a time such as 2026-12-07T08:00:00.445+01:00")
                  .arg(text(f[0]));
        return false;
    }
    if (!number(f[1], 0, row.loop)) {
        why = QStringLiteral("the loop \"%1\" is not a count").arg(text(f[1]));
        return false;
    }
    std::int64_t channel = -1;
    const bool hasChannel = !f[3].empty();
    if ((hasChannel && (!number(f[3], 0, channel) || channel > 15)) ||
        (form->channel == Need::None && hasChannel) ||
        (form->channel == Need::Required && !hasChannel)) {
        why = QStringLiteral("a %1 row with the channel \"%2\"").arg(form->name, text(f[3]));
        return false;
    }
    row.channel = static_cast<int>(channel);
    if ((!f[4].empty() && !hexByte(f[4], row.written)) ||
        (!f[5].empty() && !hexByte(f[5], row.read))) {
        why = QStringLiteral("the bytes \"%1\" and \"%2\" are not two hex digits each")
                  .arg(text(f[4]), text(f[5]));
        return false;
    }
    // Eight-column logs end without a count.
    const Need count = form->event == Event::End && columns == 9 ? Need::Required : form->count;
    const bool hasCount = !f[6].empty();
    if ((hasCount && !number(f[6], form->least, row.count)) || (count == Need::None && hasCount) ||
        (count == Need::Required && !hasCount)) {
        why = QStringLiteral("a %1 row with the count \"%2\"").arg(form->name, text(f[6]));
        return false;
    }
    if (columns == 9) {
        const auto kind = kindFromName(QString::fromLatin1(f[8].data(), qsizetype(f[8].size())));
        const bool fits =
            !form->error ? f[8].empty()
            : !kind      ? false
            : form->event == Event::Mismatch
                ? *kind == ErrorKind::InputInactive || *kind == ErrorKind::InputActive
                : *kind == (form->event == Event::ReadFailed ? ErrorKind::ReadFailed
                                                             : ErrorKind::WriteFailed);
        if (!fits) {
            why = QStringLiteral("a %1 row of the kind \"%2\"").arg(form->name, text(f[8]));
            return false;
        }
        if (kind)
            row.kind = *kind;
    } else if (form->event == Event::Mismatch) {
        // Written before the kind column: the byte the relay's port last took tells.
        const bool closed = row.written >= 0 && ((row.written >> (row.channel % 8)) & 1);
        row.kind = closed ? ErrorKind::InputInactive : ErrorKind::InputActive;
    } else if (form->error) {
        row.kind =
            form->event == Event::ReadFailed ? ErrorKind::ReadFailed : ErrorKind::WriteFailed;
    }
    return true;
}

int laneOf(const Row& row) {
    if (row.form->event == Event::ReadFailed)
        return 16;
    return row.channel >= 0 ? row.channel : 17;
}

// --- Reading a log: every row checked, the last run counted ---------------------------------

class Reader {
public:
    Reader(RunSummary& s)
        : s_(s) {}

    // Takes one row; false once the log is found damaged.
    bool take(const Row& row, qint64 line, qint64 offset) {
        line_ = line;
        offset_ = offset;
        if (row.form->event == Event::Start)
            return start(row, offset);
        if (!started_)
            return damaged(line, QStringLiteral("a %1 row before the first start row")
                                     .arg(QLatin1String(row.form->name)));
        if (ended_)
            return damaged(line, QStringLiteral("a %1 row after the run's end row")
                                     .arg(QLatin1String(row.form->name)));
        if (row.loop < loop_)
            return damaged(
                line,
                QStringLiteral("the loop count falls from %1 to %2").arg(loop_).arg(row.loop));
        loop_ = row.loop;
        s_.lastRowMs = row.ms;
        s_.lastRowText = shown(row.time);
        s_.loops = row.loop;
        switch (row.form->event) {
        case Event::Mismatch:
        case Event::WriteFailed:
        case Event::ReadFailed:
            return error(row);
        case Event::Checkpoint:
            return checkpoint(row, line);
        case Event::Reset:
            return reset(row, line);
        case Event::Total:
            return total(row, line);
        case Event::End:
            return end(row, line);
        case Event::Diagnosis:
            return diagnosis(row, line);
        case Event::Card:
            s_.card = text(row.detail); // the ID, a field of its own
            return true;
        case Event::RelayLife:
            if (!s_.lifePassed[row.channel].isEmpty())
                return damaged(
                    line, QStringLiteral("a second rated-life row of relay %1").arg(row.channel));
            s_.lifePassed[row.channel] = text(row.detail);
            return true;
        default:
            return true;
        }
    }

    bool damaged(qint64 line, const QString& what) {
        s_.state = RunSummary::State::Damaged;
        s_.damage = QStringLiteral("line %1: %2").arg(line).arg(what);
        s_.readTo = offset_;
        return false;
    }

    // At the end of the text, or where it broke the format (why).
    void finish(bool whole, const QString& why) {
        if (s_.state == RunSummary::State::Damaged)
            return;
        if (!whole) {
            s_.state = RunSummary::State::Damaged;
            s_.damage = why;
            s_.readTo = offset_ + 1; // the rows read before are counted; the reader stopped after
        } else if (!started_) {
            damaged(line_ + 1, QStringLiteral("the log holds no run: it has no start row"));
        } else {
            // A run without its end row was cut short.
            s_.state = ended_ ? RunSummary::State::Complete : RunSummary::State::CutShort;
        }
        if (s_.state != RunSummary::State::Complete)
            s_.errors = ended_ ? s_.errors : atCheckpoint_;
    }

private:
    static QString shown(std::string_view time) {
        return text(time.substr(0, 10)) + QLatin1Char(' ') + text(time.substr(11, 8));
    }

    bool start(const Row& row, qint64 offset) {
        s_ = {}; // a later run in the same file: the summary is of the last
        started_ = true;
        ended_ = false;
        loop_ = 0;
        sums_ = {};
        atCheckpoint_ = {};
        resetRows_.fill(-1);
        totalSeen_ = 0;
        loopTotalSeen_ = false;
        s_.lastRunOffset = offset;
        s_.startDetail = text(row.detail);
        s_.startedMs = s_.lastRowMs = row.ms;
        s_.startedText = s_.lastRowText = shown(row.time);
        return true;
    }

    bool error(const Row& row) {
        const int lane = laneOf(row);
        auto& byKind = s_.byLane[lane][static_cast<int>(row.kind)];
        byKind = saturatingAdd(byKind, row.count);
        if (s_.firstErrorLane < 0)
            s_.firstErrorLane = lane;
        s_.lastErrorMs = row.ms;
        if (lane < 16)
            sums_[lane] = saturatingAdd(sums_[lane], row.count);
        if (row.form->event == Event::ReadFailed)
            s_.failedReads = saturatingAdd(s_.failedReads, row.count);
        if (row.form->event == Event::WriteFailed) {
            s_.failedWrites = saturatingAdd(s_.failedWrites, row.count);
            if (lane == 17)
                s_.unchargedWrites = saturatingAdd(s_.unchargedWrites, row.count);
        }
        s_.afterCheckpoint = saturatingAdd(s_.afterCheckpoint, row.count);
        return true;
    }

    // A relay's count in a checkpoint, reset or total row is what its error rows add up to.
    bool agrees(const Row& row, qint64 line) {
        if (row.count == sums_[row.channel])
            return true;
        return damaged(line, QStringLiteral("the %1 row of relay %2 says %3, its error rows add "
                                            "up to %4")
                                 .arg(QLatin1String(row.form->name))
                                 .arg(row.channel)
                                 .arg(row.count)
                                 .arg(sums_[row.channel]));
    }

    bool checkpoint(const Row& row, qint64 line) {
        if (row.time != checkpointTime_) { // the rows of one checkpoint share its time
            checkpointTime_ = std::string(row.time);
            atCheckpoint_ = {};
            s_.checkpointText = shown(row.time);
        }
        atCheckpoint_[row.channel] = row.count;
        s_.afterCheckpoint = 0;
        return agrees(row, line);
    }

    bool reset(const Row& row, qint64 line) {
        if (row.channel >= 0) {
            resetRows_[row.channel] = row.count;
            return agrees(row, line);
        }
        // The loop count's row closes the reset: every relay not named had no errors.
        if (row.count != row.loop)
            return damaged(line, QStringLiteral("the reset of the loop count says %1 at loop %2")
                                     .arg(row.count)
                                     .arg(row.loop));
        for (int r = 0; r < 16; ++r) {
            if (resetRows_[r] < 0 && sums_[r] != 0)
                return damaged(line, QStringLiteral("Reset cleared relay %1 without a row for "
                                                    "its %2 errors")
                                         .arg(r)
                                         .arg(sums_[r]));
            s_.clearedByReset[r] =
                saturatingAdd(s_.clearedByReset[r], std::max<std::int64_t>(0, resetRows_[r]));
        }
        s_.loopsCleared = saturatingAdd(s_.loopsCleared, row.count);
        sums_ = {};
        atCheckpoint_ = {};
        resetRows_.fill(-1);
        loop_ = 0;
        return true;
    }

    bool total(const Row& row, qint64 line) {
        if (row.channel < 0) {
            if (row.count != row.loop)
                return damaged(line, QStringLiteral("the total loop count says %1 at loop %2")
                                         .arg(row.count)
                                         .arg(row.loop));
            loopTotalSeen_ = true;
            return true;
        }
        totalSeen_ |= 1 << row.channel;
        s_.errors[row.channel] = row.count;
        return agrees(row, line);
    }

    // A channel of a card's diagnosis: 0 when it is ok, 1 when it failed.
    bool diagnosis(const Row& row, qint64 line) {
        if (row.count > 1 || !s_.diagnosis[row.channel].isEmpty())
            return damaged(
                line,
                QStringLiteral("a second or impossible diagnosis of channel %1").arg(row.channel));
        s_.diagnosed = true;
        s_.diagnosis[row.channel] = text(row.detail);
        s_.diagnosisFailures += row.count;
        return true;
    }

    bool end(const Row& row, qint64 line) {
        // A run of the loop ends with its totals; a diagnosis with a row per channel.
        for (int r = 0; r < 16; ++r)
            if (s_.diagnosed ? s_.diagnosis[r].isEmpty() : !(totalSeen_ & (1 << r)))
                return damaged(line,
                               s_.diagnosed
                                   ? QStringLiteral("the diagnosis ends without channel %1").arg(r)
                                   : QStringLiteral("the run ends without the total of "
                                                    "relay %1")
                                         .arg(r));
        if (!loopTotalSeen_ && !s_.diagnosed)
            return damaged(line, QStringLiteral("the run ends without its total loop count"));
        ended_ = true;
        if (row.count >= 0) {
            // The end row states how many things failed; it may know of more than its rows
            // (a run-time error), never of fewer.
            const std::int64_t rows = s_.tally().failures();
            if (row.count < rows)
                return damaged(line, QStringLiteral("the end row states %1 failures, the rows "
                                                    "before it hold %2")
                                         .arg(row.count)
                                         .arg(rows));
            s_.otherFailures = row.count - rows;
        }
        return true;
    }

    RunSummary& s_;
    bool started_ = false;
    bool ended_ = false;
    std::int64_t loop_ = 0;
    std::array<std::int64_t, 16> sums_{};         // each relay's error rows since the last Reset
    std::array<std::int64_t, 16> atCheckpoint_{}; // the last checkpoint's counts
    std::array<std::int64_t, 16> resetRows_{};    // a Reset's row per relay, -1 for none yet
    std::string checkpointTime_;
    qint64 line_ = 1, offset_ = 0;
    int totalSeen_ = 0;
    bool loopTotalSeen_ = false;
};

// Reads the header, then hands every row from byte offset from on (or from the first) to
// take(row, line, offset) until it returns false; false with why when the text breaks the
// format (why names the line).
bool eachRow(QIODevice& in, qint64 from,
             const std::function<bool(const Row&, qint64, qint64)>& take, QString& why) {
    CsvStream csv(in);
    auto fault = [&](const QString& what) {
        why = QStringLiteral("line %1: %2").arg(csv.line()).arg(what);
        return false;
    };
    if (csv.next() != CsvStream::Next::Record)
        return fault(QStringLiteral("this is not a looptest run log: it has no header"));
    std::string header;
    for (std::size_t i = 0; i < csv.fields().size(); ++i)
        header += (i ? "," : "") + std::string(csv.fields()[i]);
    const std::size_t columns = header == LogFile::kHeader              ? 9
                                : header == LogFile::kEightColumnHeader ? 8
                                                                        : 0;
    if (columns == 0)
        return fault(QStringLiteral("this is not a looptest run log: its first line is not "
                                    "\"%1\"")
                         .arg(QLatin1String(LogFile::kHeader)));
    std::optional<CsvStream> again;
    if (from > 0) {
        if (!in.seek(from))
            return fault(QStringLiteral("cannot read on: %1").arg(in.errorString()));
        again.emplace(in);
    }
    CsvStream& stream = again ? *again : csv;
    Row row;
    QString wrong;
    for (;;) {
        switch (stream.next()) {
        case CsvStream::Next::End:
            return true;
        case CsvStream::Next::CutShort:
            return true; // the last row, cut by a crash while it was written
        case CsvStream::Next::TooLong:
            why = QStringLiteral("line %1: a row longer than %2 bytes")
                      .arg(stream.line())
                      .arg(CsvStream::kMaxRecord);
            return false;
        case CsvStream::Next::Malformed:
            why = QStringLiteral("line %1: not a CSV record (a stray quote or line break)")
                      .arg(stream.line());
            return false;
        case CsvStream::Next::ReadError:
            why = QStringLiteral("line %1: cannot read on: %2")
                      .arg(stream.line())
                      .arg(in.errorString());
            return false;
        case CsvStream::Next::Record:
            break;
        }
        if (!parseRow(stream.fields(), columns, row, wrong)) {
            why = QStringLiteral("line %1: %2").arg(stream.line()).arg(wrong);
            return false;
        }
        // A row's line and offset in the file: a second reading starts at a row of the first.
        if (!take(row, stream.line(), from + stream.offset()))
            return false;
    }
}

QString span(qint64 ms) {
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString orUnknown(const QString& time) {
    return time.isEmpty() ? QStringLiteral("?") : time;
}

QString escaped(const QString& text) {
    return text.toHtmlEscaped();
}

} // namespace

RunTally RunSummary::tally() const {
    RunTally t;
    for (std::int64_t e : errors)
        t.relayErrors = saturatingAdd(t.relayErrors, e);
    t.failedReads = failedReads;
    t.unchargedWrites = unchargedWrites;
    t.other = saturatingAdd(otherFailures, diagnosisFailures);
    return t;
}

RunSummary::Verdict RunSummary::verdict() const {
    if (state == State::Damaged)
        return Verdict::Damaged;
    // A log cut short is no pass: the run never came to its end.
    return state == State::Complete && tally().passed() ? Verdict::Pass : Verdict::Fail;
}

void readRunLog(QIODevice& in, RunSummary& s) {
    s = {};
    Reader reader(s);
    QString why;
    const bool whole = eachRow(
        in, 0,
        [&](const Row& row, qint64 line, qint64 offset) { return reader.take(row, line, offset); },
        why);
    reader.finish(whole || s.state == RunSummary::State::Damaged, why);
}

bool readRunLog(const QString& path, RunSummary& s, QString& why) {
    s = {};
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists() || !file.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!info.isFile()) {
        // A device or a pipe may never end, and cannot be read twice for the report.
        s.state = RunSummary::State::Damaged;
        s.damage = QStringLiteral("it is not a regular file");
        return true;
    }
    readRunLog(file, s);
    return true;
}

QStringList splitCsv(const QString& line) {
    QByteArray bytes = line.toUtf8() + "\n";
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    CsvStream csv(buffer);
    QStringList out;
    if (csv.next() == CsvStream::Next::Record)
        for (std::string_view f : csv.fields())
            out << text(f);
    return out;
}

QString summaryTable(const RunSummary& s) {
    if (s.state == RunSummary::State::Damaged && s.startedText.isEmpty())
        return QStringLiteral("This is no run log that can be read: %1.\nverdict: DAMAGED\n")
            .arg(s.damage);
    QString out = QStringLiteral("Run started %1, last row %2 (%3)\n%4\n")
                      .arg(orUnknown(s.startedText), orUnknown(s.lastRowText),
                           span(s.lastRowMs - s.startedMs), s.startDetail);
    if (!s.card.isEmpty())
        out += QStringLiteral("card: %1\n").arg(s.card);
    for (const QString& passed : s.lifePassed)
        if (!passed.isEmpty())
            out += passed + QLatin1Char('\n');
    if (s.state == RunSummary::State::Damaged)
        out += QStringLiteral("This log is damaged: %1. Reading stopped there: nothing after it "
                              "can be trusted, and the counts below are as far as it went.\n")
                   .arg(s.damage);
    if (s.state == RunSummary::State::CutShort) {
        out += !s.checkpointText.isEmpty()
                   ? QStringLiteral("This log was cut short: the program did not end it. The "
                                    "counts are those of its last checkpoint, %1; %2 more errors "
                                    "were logged after it.\n")
                         .arg(s.checkpointText)
                         .arg(s.afterCheckpoint)
                   : QStringLiteral("This log was cut short before its first checkpoint: the "
                                    "counts below are not known; %1 errors were logged.\n")
                         .arg(s.afterCheckpoint);
    }
    if (s.otherFailures > 0)
        out += QStringLiteral("The run ended with %1 failure(s) its rows do not show, such as a "
                              "run-time error.\n")
                   .arg(s.otherFailures);
    if (s.diagnosed) {
        out += QStringLiteral("A diagnosis of the card, a row per channel:\n");
        for (int r = 0; r < 16; ++r)
            out += QStringLiteral("%1  %2\n").arg(r, 7).arg(s.diagnosis[r]);
        return out + QStringLiteral("verdict: %1\n")
                         .arg(s.verdict() == RunSummary::Verdict::Damaged ? "DAMAGED"
                              : s.verdict() == RunSummary::Verdict::Pass  ? "PASS"
                                                                          : "FAIL");
    }
    out += QStringLiteral("relay  input  errors  cleared by Reset\n");
    for (int r = 0; r < 16; ++r)
        out += QStringLiteral("%1  %2  %3  %4\n")
                   .arg(r, 5)
                   .arg(15 - r, 5)
                   .arg(s.errors[r], 6)
                   .arg(s.clearedByReset[r], 16);
    const QString verdict =
        s.verdict() == RunSummary::Verdict::Damaged ? QStringLiteral("DAMAGED")
        : s.verdict() == RunSummary::Verdict::Pass  ? QStringLiteral("PASS")
        : s.state == RunSummary::State::CutShort
            ? QStringLiteral("FAIL (cut short: the run did not come to its end)")
            : QStringLiteral("FAIL");
    out += QStringLiteral("loops: %1 (cleared by Reset: %2)\nfailed reads: %3\nfailed writes: %4 "
                          "(charged to no relay: %5)\nverdict: %6\n")
               .arg(s.loops)
               .arg(s.loopsCleared)
               .arg(s.failedReads)
               .arg(s.failedWrites)
               .arg(s.unchargedWrites)
               .arg(verdict);
    return out;
}

QString summaryHtml(const RunSummary& s, QIODevice& log) {
    // The timeline: one lane per relay, then the reads and the writes charged to no relay.
    // The run is cut into columns; a column is drawn where errors came, darker the more.
    constexpr int kColumns = 240, kColumnWidth = 4, kLane = 20, kLeft = 110, kTop = 24;
    constexpr int kLanes = 18;
    const char* const kColours[] = {"#d62728", "#ff7f0e", "#9467bd", "#1f77b4"};
    const qint64 length = std::max<qint64>(1, s.lastRowMs - s.startedMs);
    auto column = [&](qint64 ms) {
        const double at = double(ms - s.startedMs) / double(length) * kColumns;
        return static_cast<int>(std::clamp(at, 0.0, double(kColumns - 1)));
    };
    std::vector<std::array<double, kColumns>> density(kLanes * kErrorKinds);
    for (auto& d : density)
        d.fill(0);
    std::array<qint64, kLanes * kErrorKinds> previous{};
    std::array<bool, kLanes * kErrorKinds> seen{};
    std::array<bool, kColumns> resets{};
    // A second reading of the last run, as far as the first went.
    QString unused;
    if (!s.startedText.isEmpty())
        eachRow(
            log, s.lastRunOffset,
            [&](const Row& row, qint64, qint64 offset) {
                if (s.readTo >= 0 && offset >= s.readTo)
                    return false;
                if (row.form->event == Event::Reset && row.channel < 0)
                    resets[column(row.ms)] = true;
                if (!row.form->error)
                    return row.form->event != Event::End;
                const int key = laneOf(row) * kErrorKinds + static_cast<int>(row.kind);
                // A row of several errors closes an episode, or sums one up: its count spreads
                // back over the time since the lane's last row, whose column holds its own.
                const int last = column(row.ms);
                const int first =
                    row.count > 1 && seen[key] ? std::min(last, column(previous[key]) + 1) : last;
                for (int c = first; c <= last; ++c)
                    density[key][c] += double(row.count) / double(last - first + 1);
                previous[key] = row.ms;
                seen[key] = true;
                return true;
            },
            unused);
    // A column's shade is the share of its loops that failed: a relay failing every loop is
    // solid, one failing now and then is pale.
    const double loopsPerColumn =
        std::max(1.0, double(saturatingAdd(s.loops, s.loopsCleared)) / double(kColumns));

    const int width = kLeft + kColumns * kColumnWidth + 20;
    const int height = kTop + kLanes * kLane + 40;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" "
                                 "height=\"%2\" shape-rendering=\"crispEdges\" role=\"img\" "
                                 "aria-label=\"When the errors came\">\n")
                      .arg(width)
                      .arg(height);
    for (int lane = 0; lane < kLanes; ++lane) {
        const int y = kTop + lane * kLane;
        const QString label = lane < 16 ? QStringLiteral("R%1 \u2192 P%2").arg(lane).arg(15 - lane)
                              : lane == 16 ? QStringLiteral("port reads")
                                           : QStringLiteral("other writes");
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>\n"
                              "<text x=\"4\" y=\"%6\" font-size=\"12\">%7</text>\n")
                   .arg(kLeft)
                   .arg(y)
                   .arg(kColumns * kColumnWidth)
                   .arg(kLane - 2)
                   .arg(lane % 2 ? QStringLiteral("#f4f4f4") : QStringLiteral("#ebebeb"))
                   .arg(y + 14)
                   .arg(label);
        for (int kind = 0; kind < kErrorKinds; ++kind) {
            const auto& d = density[lane * kErrorKinds + kind];
            // Neighbouring columns of one shade, in hundredths, are drawn as one bar.
            auto shade = [&](int c) {
                return d[c] <= 0 ? 0
                                 : static_cast<int>(std::lround(
                                       25 + 75 * std::min(1.0, std::sqrt(d[c] / loopsPerColumn))));
            };
            for (int c = 0; c < kColumns;) {
                const int opacity = shade(c);
                int end = c + 1;
                while (end < kColumns && shade(end) == opacity)
                    ++end;
                if (opacity > 0)
                    svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                                          "fill=\"%5\" fill-opacity=\"%6\"/>\n")
                               .arg(kLeft + c * kColumnWidth)
                               .arg(y + 2)
                               .arg((end - c) * kColumnWidth)
                               .arg(kLane - 6)
                               .arg(QLatin1String(kColours[kind]))
                               .arg(opacity / 100.0, 0, 'f', 2);
                c = end;
            }
        }
    }
    for (int c = 0; c < kColumns; ++c)
        if (resets[c])
            svg += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%1\" y2=\"%3\" stroke=\"#555\" "
                                  "stroke-dasharray=\"3,3\"/>\n")
                       .arg(kLeft + c * kColumnWidth)
                       .arg(kTop - 6)
                       .arg(kTop + kLanes * kLane);
    const int axis = kTop + kLanes * kLane + 16;
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"12\">%3</text>\n"
                          "<text x=\"%4\" y=\"%2\" font-size=\"12\" text-anchor=\"end\">%5 "
                          "(+%6)</text>\n</svg>\n")
               .arg(kLeft)
               .arg(axis)
               .arg(orUnknown(s.startedText))
               .arg(kLeft + kColumns * kColumnWidth)
               .arg(orUnknown(s.lastRowText))
               .arg(span(length));

    QString legend;
    for (int k = 0; k < kErrorKinds; ++k)
        legend += QStringLiteral("<span class=\"key\"><span style=\"background:%1\"></span>%2"
                                 "</span>")
                      .arg(QLatin1String(kColours[k]),
                           QLatin1String(kindWords(static_cast<ErrorKind>(k))));

    return QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                          "<title>looptest run of %1</title>\n<style>\n"
                          "body{font-family:sans-serif;margin:16px;color:#222}"
                          "pre{background:#f6f6f6;padding:8px;display:inline-block}"
                          ".key{margin-right:16px;font-size:13px}"
                          ".key span{display:inline-block;width:12px;height:12px;margin-right:4px;"
                          "vertical-align:middle}\n</style></head><body>\n"
                          "<h1>looptest run of %1</h1>\n<p>%2</p>\n<h2>When the errors came</h2>\n"
                          "<p>%3 Darker: a larger share of the loops failed. Dashed lines: "
                          "Reset.</p>\n%4<h2>Counts</h2>\n<pre>%5</pre>\n"
                          "</body></html>\n")
        .arg(escaped(orUnknown(s.startedText) +
                     (s.card.isEmpty() ? QString() : QStringLiteral(", card ") + s.card)),
             escaped(s.startDetail), legend, svg, escaped(summaryTable(s)));
}
