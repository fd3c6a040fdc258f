#include "runlog/LogFormat.h"

#include <QDateTime>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace logformat {

namespace {

constexpr EventForm kEvents[] = {
    {Event::Start, "start", Need::None, Need::None, 0, false},
    {Event::Speed, "speed", Need::None, Need::None, 0, false},
    {Event::Auto, "auto", Need::None, Need::None, 0, false},
    {Event::Stop, "stop", Need::None, Need::None, 0, false},
    {Event::Reset, "reset", Need::Optional, Need::Required, 0, false},
    {Event::Mismatch, "mismatch", Need::Required, Need::Required, 1, true},
    {Event::WriteFailed, "write-failed", Need::Optional, Need::Required, 1, true},
    {Event::ReadFailed, "read-failed", Need::None, Need::Required, 1, true},
    {Event::Checkpoint, "checkpoint", Need::Required, Need::Required, 0, false},
    {Event::Total, "total", Need::Optional, Need::Required, 0, false},
    {Event::End, "end", Need::None, Need::Optional, 0, false},
    {Event::Diagnosis, "diagnosis", Need::Required, Need::Required, 0, false},
    {Event::Card, "card", Need::None, Need::None, 0, false},
    {Event::RelayLife, "relay-life", Need::Required, Need::Required, 0, false},
    {Event::Note, "note", Need::None, Need::None, 0, false},
};

// form() finds an event's form by its place in the table.
constexpr bool tableInEventOrder() {
    for (std::size_t i = 0; i < std::size(kEvents); ++i)
        if (static_cast<std::size_t>(kEvents[i].event) != i)
            return false;
    return true;
}
static_assert(tableInEventOrder(), "kEvents must list the events in their enum's order");

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

QString hexText(int value) {
    return value < 0 ? QString()
                     : QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

// The kind of an error row of an eight-column log, which had no kind column: a mismatch's
// kind is told by the byte its relay's port last took.
ErrorKind oldKind(const ReadRow& row) {
    if (row.form->event == Event::Mismatch) {
        const bool closed = row.written >= 0 && ((row.written >> (row.channel % 8)) & 1);
        return closed ? ErrorKind::InputInactive : ErrorKind::InputActive;
    }
    return row.form->event == Event::ReadFailed ? ErrorKind::ReadFailed : ErrorKind::WriteFailed;
}

} // namespace

const EventForm& form(Event event) {
    return kEvents[static_cast<int>(event)];
}

const EventForm* formNamed(std::string_view name) {
    const auto* found = std::find_if(std::begin(kEvents), std::end(kEvents),
                                     [&](const EventForm& e) { return name == e.name; });
    return found == std::end(kEvents) ? nullptr : found;
}

QString eventName(Event event) {
    return QString::fromLatin1(form(event).name);
}

Event eventOf(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::InputInactive:
    case ErrorKind::InputActive:
        return Event::Mismatch;
    case ErrorKind::WriteFailed:
        return Event::WriteFailed;
    case ErrorKind::ReadFailed:
        break;
    }
    return Event::ReadFailed;
}

QString timeText(qint64 ms) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    const int offset = t.offsetFromUtc();
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
               .arg(std::abs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QStringList fields(const LogRow& row) {
    return {timeText(row.ms),
            QString::number(row.loop),
            eventName(row.event),
            row.channel >= 0 ? QString::number(row.channel) : QString(),
            hexText(row.written),
            hexText(row.read),
            row.count >= 0 ? QString::number(row.count) : QString(),
            row.detail,
            row.kind ? QString::fromLatin1(kindName(*row.kind)) : QString()};
}

QString text(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool parseRow(const std::vector<std::string_view>& f, std::size_t columns, ReadRow& row,
              QString& why) {
    if (f.size() != columns) {
        why = QStringLiteral("%1 fields where the header has %2").arg(f.size()).arg(columns);
        return false;
    }
    row = {};
    const EventForm* form = formNamed(f[2]);
    if (!form) {
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
    const Need count =
        form->event == Event::End && columns == kColumns ? Need::Required : form->count;
    const bool hasCount = !f[6].empty();
    if ((hasCount && !number(f[6], form->least, row.count)) || (count == Need::None && hasCount) ||
        (count == Need::Required && !hasCount)) {
        why = QStringLiteral("a %1 row with the count \"%2\"").arg(form->name, text(f[6]));
        return false;
    }
    if (columns != kColumns) {
        if (form->error)
            row.kind = oldKind(row);
        return true;
    }
    const auto kind = kindFromName(QString::fromLatin1(f[8].data(), qsizetype(f[8].size())));
    const bool fits = form->error ? kind && eventOf(*kind) == form->event : f[8].empty();
    if (!fits) {
        why = QStringLiteral("a %1 row of the kind \"%2\"").arg(form->name, text(f[8]));
        return false;
    }
    if (kind)
        row.kind = *kind;
    return true;
}

int laneOf(const ReadRow& row) {
    if (row.form->event == Event::ReadFailed)
        return 16;
    return row.channel >= 0 ? row.channel : 17;
}

} // namespace logformat
