#include "lab/CardRun.h"

#include "diagnosis/Diagnosis.h"
#include "lab/LabCourier.h"

#include <QSysInfo>
#include <QUuid>

CardRun::CardRun(const QString& card, std::int64_t relayLife, const QString& labUrl)
    : relayLife_(relayLife) {
    entry_.url = labUrl;
    entry_.run.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    entry_.run.card = card;
    entry_.run.host = labHostName();
    entry_.run.ending = QStringLiteral("running");
    // What the courier found out, looked at now and then without waiting for a checkpoint.
    poll_.setInterval(1000);
    connect(&poll_, &QTimer::timeout, this, &CardRun::poll);
}

CardRun::~CardRun() = default;

void CardRun::watch(const LoopResults& results) {
    results_ = &results;
    connect(&results, &LoopResults::relayClosed, this, &CardRun::closed);
    connect(&results, &LoopResults::error, this, [this](const LoopError& e) {
        if (e.relay >= 0) {
            std::int64_t& n = entry_.run.relays[e.relay].errors;
            n = saturatingAdd(n, 1);
        }
    });
}

void CardRun::closed(int relay) {
    std::int64_t& closings = entry_.run.relays[relay].closings;
    closings = saturatingAdd(closings, 1);
    checkLife(relay);
}

void CardRun::checkLife(int relay) {
    if (relayLife_ <= 0 || !othersKnown_ || warned_[relay])
        return;
    const std::int64_t all =
        saturatingAdd(others_[relay].closings, entry_.run.relays[relay].closings);
    if (all > relayLife_) {
        warned_[relay] = true;
        if (onLifePassed)
            onLifePassed(relay, all);
    }
}

void CardRun::addClosings(const std::array<std::int64_t, 16>& closings) {
    for (int r = 0; r < 16; ++r) {
        std::int64_t& n = entry_.run.relays[r].closings;
        n = saturatingAdd(n, closings[r]);
        checkLife(r);
    }
}

void CardRun::setDiagnosis(const DiagnosisReport& report) {
    entry_.run.diagnosis = findingsOf(report);
}

LabDatabase::Diagnosis findingsOf(const DiagnosisReport& report) {
    LabDatabase::Diagnosis d;
    for (const Limits::Key& k : Limits::keys())
        d.limits.emplace_back(QLatin1String(k.name), report.settings.limits.*(k.value));
    for (int r = 0; r < 16; ++r) {
        const ChannelDiagnosis& c = report.channels[r];
        LabDatabase::RelayFindings& f = d.relays[r];
        f.kind = QLatin1String(className(c.kind));
        const std::pair<const ChannelDiagnosis::Figures*, LabDatabase::Times*> times[] = {
            {&c.operate, &f.operate}, {&c.release, &f.release}, {&c.bounce, &f.bounce}};
        for (const auto& [from, to] : times)
            *to = {from->min, from->median, from->max};
        f.bounces = c.bounces;
        // Each figure's verdict: the worse of its median's and its worst's.
        const std::pair<const char*, QString*> verdicts[] = {{"operate", &f.operateVerdict},
                                                             {"release", &f.releaseVerdict},
                                                             {"bounce", &f.bounceVerdict},
                                                             {"bounces", &f.bouncesVerdict}};
        for (const auto& [name, into] : verdicts) {
            std::optional<Verdict> v;
            for (const Measurement& m : c.measured)
                if (m.name == name)
                    v = v ? worse(*v, m.verdict) : m.verdict;
            *into = v ? QLatin1String(verdictName(*v)) : QString();
        }
        f.verdict = c.kind == ChannelDiagnosis::Class::Ok ? QLatin1String(verdictName(c.judged))
                                                          : QStringLiteral("fail");
    }
    return d;
}

std::optional<LabDatabase::Relays> CardRun::life(int waitMs) {
    if (!othersKnown_ && started_ && !refused_) {
        LabCourier::instance().waitDelivered(file_.path(), 1, waitMs);
        poll();
    }
    if (!othersKnown_)
        return std::nullopt;
    LabDatabase::Relays all = others_;
    for (int r = 0; r < 16; ++r)
        all[r].closings = saturatingAdd(all[r].closings, entry_.run.relays[r].closings);
    return all;
}

bool CardRun::start(const QString& device, const QString& log, QString& why) {
    entry_.run.device = device;
    entry_.run.log = log;
    entry_.run.started = QDateTime::currentDateTimeUtc();
    if (!file_.open(entry_.run.uid, why))
        return false;
    started_ = true;
    handOver();
    poll_.start();
    return started_;
}

void CardRun::handOver() {
    if (results_) {
        entry_.run.loops = results_->loops();
        entry_.run.errors = results_->tally().failures();
    }
    ++entry_.seq;
    QString why;
    if (!file_.append(entry_, why)) {
        // Not even this PC keeps them: said once, and the run goes on without them.
        started_ = false;
        poll_.stop();
        warn(why + QStringLiteral(". The test goes on without the lab's records."));
        return;
    }
    LabCourier::instance().post(file_.path(), entry_);
}

void CardRun::checkpoint() {
    if (!started_ || refused_)
        return;
    handOver();
    poll();
}

void CardRun::finish(const QString& ending, bool passed, int waitMs) {
    if (!started_)
        return;
    entry_.run.ended = QDateTime::currentDateTimeUtc();
    entry_.run.ending = ending;
    entry_.run.verdict = passed ? QStringLiteral("pass") : QStringLiteral("fail");
    if (!refused_)
        handOver();
    poll_.stop();
    LabCourier& courier = LabCourier::instance();
    const bool delivered = started_ && !refused_ &&
                           courier.waitDelivered(file_.path(), entry_.seq, waitMs) &&
                           !courier.status(file_.path()).refused;
    poll();
    if (started_ && !delivered && !refused_) {
        const QString why = courier.status(file_.path()).failure;
        const QString waits =
            QStringLiteral("The card's records wait on this PC in %1; they are delivered at the "
                           "next start of looptest, or by looptest --lab-sync.")
                .arg(file_.path());
        warn(failing_ || why.isEmpty() ? waits : why + QStringLiteral(". ") + waits);
    }
    started_ = false;
    file_.close();
}

void CardRun::poll() {
    const LabCourier::Status s = LabCourier::instance().status(file_.path());
    if (s.othersKnown && !othersKnown_) {
        othersKnown_ = true;
        others_ = s.others;
        for (int r = 0; r < 16; ++r)
            checkLife(r);
    }
    if (s.refused && !refused_) {
        refused_ = true;
        warn(s.failure + QStringLiteral(". The test goes on; this run's records for the lab are "
                                        "set aside on this PC."));
    } else if (!s.failure.isEmpty() && !failing_ && !refused_) {
        failing_ = true;
        const QString words = s.failure + QStringLiteral(". The test goes on; the card's records "
                                                         "are kept on this PC and written once "
                                                         "the database can be reached.");
        warn(words);
        if (onRecordsWait)
            onRecordsWait(true, words);
    } else if (s.failure.isEmpty() && s.delivered > 0) {
        if (failing_ && onRecordsWait)
            onRecordsWait(false, QStringLiteral("The lab database has the card's records now."));
        failing_ = false;
    }
}

void CardRun::warn(const QString& words) {
    if (onWarning)
        onWarning(words);
}

QString labHostName() {
    const QString hook = qEnvironmentVariable("LOOPTEST_HOSTNAME");
    return hook.isEmpty() ? QSysInfo::machineHostName() : hook;
}
