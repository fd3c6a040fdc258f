#include "runlog/LogReader.h"
#include "runlog/Summary.h"

#include "card/CardId.h"
#include "runlog/CsvStream.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>
#include <string>

using logformat::ReadRow;
using logformat::text;

namespace {

// --- Reading a log: every row checked, the last run counted ---------------------------------

class Reader {
public:
    Reader(RunSummary& s)
        : s_(s) {}

    // Takes one row; false once the log is found damaged.
    bool take(const ReadRow& row, qint64 line, qint64 offset) {
        line_ = line;
        offset_ = offset;
        if (row.form->event == logformat::Event::Start)
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
        const bool taken = by(row, line);
        previous_ = row.form->event;
        return taken;
    }

    // A row after the start row, by its event.
    bool by(const ReadRow& row, qint64 line) {
        switch (row.form->event) {
        case logformat::Event::Mismatch:
        case logformat::Event::WriteFailed:
        case logformat::Event::ReadFailed:
            return error(row);
        case logformat::Event::Checkpoint:
            return checkpoint(row, line);
        case logformat::Event::Reset:
            return reset(row, line);
        case logformat::Event::Total:
            return total(row, line);
        case logformat::Event::End:
            return end(row, line);
        case logformat::Event::Diagnosis:
            return diagnosis(row, line);
        case logformat::Event::Card:
            s_.card = text(row.detail); // the ID, a field of its own
            if (!validCardId(s_.card))
                return damaged(line, QStringLiteral("\"%1\" is no card's ID").arg(s_.card));
            return true;
        case logformat::Event::RelayLife:
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

    bool start(const ReadRow& row, qint64 offset) {
        s_ = {}; // a later run in the same file: the summary is of the last
        started_ = true;
        previous_ = logformat::Event::Start;
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

    bool error(const ReadRow& row) {
        const int lane = logformat::laneOf(row);
        auto& byKind = s_.byLane[lane][static_cast<int>(row.kind)];
        byKind = saturatingAdd(byKind, row.count);
        if (s_.firstErrorLane < 0)
            s_.firstErrorLane = lane;
        s_.lastErrorMs = row.ms;
        if (lane < 16)
            sums_[lane] = saturatingAdd(sums_[lane], row.count);
        if (row.form->event == logformat::Event::ReadFailed)
            s_.failedReads = saturatingAdd(s_.failedReads, row.count);
        if (row.form->event == logformat::Event::WriteFailed) {
            s_.failedWrites = saturatingAdd(s_.failedWrites, row.count);
            if (lane == 17)
                s_.unchargedWrites = saturatingAdd(s_.unchargedWrites, row.count);
        }
        s_.afterCheckpoint = saturatingAdd(s_.afterCheckpoint, row.count);
        return true;
    }

    // A relay's count in a checkpoint, reset or total row is what its error rows add up to.
    bool agrees(const ReadRow& row, qint64 line) {
        if (row.count == sums_[row.channel])
            return true;
        return damaged(line, QStringLiteral("the %1 row of relay %2 says %3, its error rows add "
                                            "up to %4")
                                 .arg(QLatin1String(row.form->name))
                                 .arg(row.channel)
                                 .arg(row.count)
                                 .arg(sums_[row.channel]));
    }

    // The rows of one checkpoint come together, a row per relay that has errors, in the
    // relays' order: a checkpoint row after any other row, or naming a relay again, starts the
    // next checkpoint. Their times are not compared: a program once gave each row its own.
    // A relay's count only grows until a Reset, so each row raises its relay's count from the
    // checkpoint before: a log cut inside a checkpoint keeps the whole one before it.
    bool checkpoint(const ReadRow& row, qint64 line) {
        if (previous_ != logformat::Event::Checkpoint || row.channel <= checkpointRelay_)
            s_.checkpointText = shown(row.time);
        checkpointRelay_ = row.channel;
        atCheckpoint_[row.channel] = row.count;
        s_.afterCheckpoint = 0;
        return agrees(row, line);
    }

    bool reset(const ReadRow& row, qint64 line) {
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

    bool total(const ReadRow& row, qint64 line) {
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
    bool diagnosis(const ReadRow& row, qint64 line) {
        if (row.count > 1 || !s_.diagnosis[row.channel].isEmpty())
            return damaged(
                line,
                QStringLiteral("a second or impossible diagnosis of channel %1").arg(row.channel));
        s_.diagnosed = true;
        s_.diagnosis[row.channel] = text(row.detail);
        s_.diagnosisFailures += row.count;
        return true;
    }

    bool end(const ReadRow& row, qint64 line) {
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
    logformat::Event previous_ = logformat::Event::Start; // the event of the row before
    int checkpointRelay_ = -1;                            // the last relay of a checkpoint
    qint64 line_ = 1, offset_ = 0;
    int totalSeen_ = 0;
    bool loopTotalSeen_ = false;
};

} // namespace

bool eachRow(QIODevice& in, qint64 from,
             const std::function<bool(const ReadRow&, qint64, qint64)>& take, QString& why) {
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
    const std::size_t columns = header == logformat::kHeader              ? logformat::kColumns
                                : header == logformat::kEightColumnHeader ? logformat::kColumns - 1
                                                                          : 0;
    if (columns == 0)
        return fault(QStringLiteral("this is not a looptest run log: its first line is not "
                                    "\"%1\"")
                         .arg(QLatin1String(logformat::kHeader)));
    std::optional<CsvStream> again;
    if (from > 0) {
        if (!in.seek(from))
            return fault(QStringLiteral("cannot read on: %1").arg(in.errorString()));
        again.emplace(in);
    }
    CsvStream& stream = again ? *again : csv;
    ReadRow row;
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
        if (!logformat::parseRow(stream.fields(), columns, row, wrong)) {
            why = QStringLiteral("line %1: %2").arg(stream.line()).arg(wrong);
            return false;
        }
        // A row's line and offset in the file: a second reading starts at a row of the first.
        if (!take(row, stream.line(), from + stream.offset()))
            return false;
    }
}

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
        [&](const ReadRow& row, qint64 line, qint64 offset) {
            return reader.take(row, line, offset);
        },
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
