#include "lab/LabQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace labqueue {

namespace {

constexpr int kFormat = 1;

QString timeText(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonValue number(const std::optional<double>& v) {
    return v ? QJsonValue(*v) : QJsonValue(QJsonValue::Null);
}

std::optional<double> numberOf(const QJsonValue& v) {
    if (v.isDouble())
        return v.toDouble();
    return std::nullopt;
}

// A diagnosis's findings: the limits by key, and per relay its class, its times as [least,
// median, worst] (null where not measured), its bounces and verdicts.
QJsonObject diagnosisJson(const LabDatabase::Diagnosis& d) {
    QJsonArray limits; // [name, value] pairs, in their order
    for (const auto& [name, value] : d.limits)
        limits.append(QJsonArray{name, value});
    QJsonArray relays;
    for (const LabDatabase::RelayFindings& f : d.relays) {
        QJsonObject relay{
            {QStringLiteral("class"), f.kind},
            {QStringLiteral("bounces"), f.bounces},
            {QStringLiteral("verdicts"), QJsonArray{f.operateVerdict, f.releaseVerdict,
                                                    f.bounceVerdict, f.bouncesVerdict, f.verdict}}};
        for (const auto& [name, t] :
             {std::pair{"operate", &f.operate}, {"release", &f.release}, {"bounce", &f.bounce}})
            relay.insert(QLatin1String(name),
                         QJsonArray{number(t->least), number(t->median), number(t->worst)});
        relays.append(relay);
    }
    return {{QStringLiteral("limits"), limits}, {QStringLiteral("relays"), relays}};
}

std::optional<LabDatabase::Diagnosis> diagnosisOf(const QJsonObject& o) {
    LabDatabase::Diagnosis d;
    for (const QJsonValue& v : o.value(QStringLiteral("limits")).toArray()) {
        const QJsonArray limit = v.toArray();
        if (limit.size() != 2 || !limit[0].isString() || !limit[1].isDouble())
            return std::nullopt;
        d.limits.emplace_back(limit[0].toString(), limit[1].toDouble());
    }
    const QJsonArray relays = o.value(QStringLiteral("relays")).toArray();
    if (relays.size() != 16)
        return std::nullopt;
    for (int r = 0; r < 16; ++r) {
        const QJsonObject relay = relays[r].toObject();
        LabDatabase::RelayFindings& f = d.relays[r];
        f.kind = relay.value(QStringLiteral("class")).toString();
        f.bounces = relay.value(QStringLiteral("bounces")).toInt(-1);
        const QJsonArray verdicts = relay.value(QStringLiteral("verdicts")).toArray();
        if (f.kind.isEmpty() || f.bounces < 0 || verdicts.size() != 5)
            return std::nullopt;
        int k = 0;
        for (QString* v : {&f.operateVerdict, &f.releaseVerdict, &f.bounceVerdict,
                           &f.bouncesVerdict, &f.verdict})
            *v = verdicts[k++].toString();
        for (const auto& [name, t] :
             {std::pair{"operate", &f.operate}, {"release", &f.release}, {"bounce", &f.bounce}}) {
            const QJsonArray times = relay.value(QLatin1String(name)).toArray();
            if (times.size() != 3)
                return std::nullopt;
            t->least = numberOf(times[0]);
            t->median = numberOf(times[1]);
            t->worst = numberOf(times[2]);
        }
    }
    return d;
}

} // namespace

QString folder() {
    // Named in full: --card-history reads it before the application has a name.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("looptest/lab-queue"));
}

QByteArray line(const Entry& e) {
    QJsonArray relays;
    for (const LabDatabase::Counts& c : e.run.relays)
        relays.append(QJsonArray{qint64(c.closings), qint64(c.errors)});
    const LabDatabase::Run& r = e.run;
    QJsonObject o{{QStringLiteral("format"), kFormat},
                  {QStringLiteral("seq"), qint64(e.seq)},
                  {QStringLiteral("db"), e.url},
                  {QStringLiteral("uid"), r.uid},
                  {QStringLiteral("card"), r.card},
                  {QStringLiteral("host"), r.host},
                  {QStringLiteral("device"), r.device},
                  {QStringLiteral("log"), r.log},
                  {QStringLiteral("started"), timeText(r.started)},
                  {QStringLiteral("ended"), timeText(r.ended)},
                  {QStringLiteral("ending"), r.ending},
                  {QStringLiteral("verdict"), r.verdict},
                  {QStringLiteral("loops"), qint64(r.loops)},
                  {QStringLiteral("errors"), qint64(r.errors)},
                  {QStringLiteral("relays"), relays}};
    // Added since the first lines: a line without them reads as before.
    if (!r.operatorName.isEmpty())
        o.insert(QStringLiteral("operator"), r.operatorName);
    if (r.diagnosis)
        o.insert(QStringLiteral("diagnosis"), diagnosisJson(*r.diagnosis));
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<Entry> parse(const QByteArray& text) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    auto str = [&](const char* key) { return o.value(QLatin1String(key)).toString(); };
    auto num = [&](const char* key) { return o.value(QLatin1String(key)).toInteger(-1); };
    Entry e;
    e.seq = num("seq");
    e.url = str("db");
    LabDatabase::Run& r = e.run;
    r.uid = str("uid");
    r.card = str("card");
    r.host = str("host");
    r.device = str("device");
    r.log = str("log");
    r.started = QDateTime::fromString(str("started"), Qt::ISODateWithMs);
    r.ended = QDateTime::fromString(str("ended"), Qt::ISODateWithMs);
    r.ending = str("ending");
    r.verdict = str("verdict");
    r.loops = num("loops");
    r.errors = num("errors");
    const QJsonArray relays = o.value(QStringLiteral("relays")).toArray();
    bool sound = num("format") == kFormat && e.seq >= 1 && !r.uid.isEmpty() && !r.card.isEmpty() &&
                 r.started.isValid() && !r.ending.isEmpty() && r.loops >= 0 && r.errors >= 0 &&
                 relays.size() == 16;
    for (int k = 0; sound && k < 16; ++k) {
        const QJsonArray c = relays[k].toArray();
        r.relays[k] = {c.at(0).toInteger(-1), c.at(1).toInteger(-1)};
        sound = c.size() == 2 && r.relays[k].closings >= 0 && r.relays[k].errors >= 0;
    }
    r.operatorName = str("operator");
    if (o.contains(QStringLiteral("diagnosis"))) {
        r.diagnosis = diagnosisOf(o.value(QStringLiteral("diagnosis")).toObject());
        sound = sound && r.diagnosis;
    }
    if (!sound)
        return std::nullopt;
    return e;
}

Contents read(const QString& path) {
    Contents out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        out.damage = QStringLiteral("it cannot be read: %1").arg(file.errorString());
        return out;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    // Text after the last line break is a line cut short; so is a line that does not read.
    bool damaged = !lines.takeLast().isEmpty();
    for (qsizetype k = lines.size() - 1; k >= 0 && !out.last; --k) {
        out.last = parse(lines[k]);
        damaged = damaged || !out.last;
    }
    if (out.last && damaged)
        out.damage = QStringLiteral("its end is not whole (a crash or a full disk); it is "
                                    "delivered as its checkpoint %1 left it")
                         .arg(out.last->seq);
    else if (!out.last)
        out.damage = QStringLiteral("it holds no whole checkpoint");
    return out;
}

QStringList waiting() {
    const QDir dir(folder());
    QStringList out;
    for (const QFileInfo& f :
         dir.entryInfoList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Time | QDir::Reversed)) {
        const int fd = claim(f.absoluteFilePath());
        if (fd < 0)
            continue;
        ::close(fd);
        out << f.absoluteFilePath();
    }
    return out;
}

CardQueue queuedOf(const QString& card) {
    CardQueue n;
    const QDir dir(folder());
    for (const QFileInfo& f : dir.entryInfoList({QStringLiteral("*.jsonl")}, QDir::Files)) {
        // Held is asked first: a file that its run lets go meanwhile has waited, not gone on.
        const int fd = claim(f.absoluteFilePath());
        const Contents c = read(f.absoluteFilePath());
        if (fd >= 0)
            ::close(fd);
        if (c.last && c.last->run.card == card)
            ++(fd >= 0 ? n.waiting : n.inProgress);
    }
    return n;
}

int claim(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool File::open(const QString& uid, QString& why) {
    close();
    const QString dir = folder();
    if (!QDir().mkpath(dir)) {
        why = QStringLiteral("Cannot create the lab's queue %1").arg(dir);
        return false;
    }
    path_ = QDir(dir).filePath(uid + QStringLiteral(".jsonl"));
    // Made under a hidden name, locked, then named: a program delivering the queue never sees
    // the file unlocked and empty (it would set it aside as damaged, or hold the lock this run
    // needs).
    const QString hidden = QDir(dir).filePath(QLatin1Char('.') + uid + QStringLiteral(".jsonl"));
    fd_ = ::open(QFile::encodeName(hidden).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                 0600);
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 ||
        ::rename(QFile::encodeName(hidden).constData(), QFile::encodeName(path_).constData()) !=
            0) {
        why = QStringLiteral("Cannot keep the lab's records in %1: %2")
                  .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
        close();
        QFile::remove(hidden);
        return false;
    }
    return true;
}

bool File::append(const Entry& entry, QString& why) {
    if (fd_ < 0) {
        why = QStringLiteral("The lab's queue file is not open");
        return false;
    }
    const QByteArray text = line(entry);
    // One write: with O_APPEND the line lands whole, or is cut short and the reader passes
    // over it to the whole line before.
    const ssize_t n = ::write(fd_, text.constData(), static_cast<std::size_t>(text.size()));
    if (n != text.size() || ::fdatasync(fd_) != 0) {
        why = QStringLiteral("Cannot keep the lab's records in %1: %2")
                  .arg(path_, QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC)));
        return false;
    }
    return true;
}

void File::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace labqueue
