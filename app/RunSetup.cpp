#include "app/RunSetup.h"

#include <QDateTime>
#include <QDir>
#include <QSettings>

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

namespace {

// The card ID the chooser offers at the next start.
QSettings remembered() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("looptest"),
                     QStringLiteral("looptest"));
}

} // namespace

RunSetup::RunSetup(std::vector<std::unique_ptr<DeviceEntry>> entries, const Options& options)
    : options_(options)
    , logPath_(logPathFor(options, QDateTime::currentMSecsSinceEpoch()))
    , card_(std::move(entries))
    , window_(card_)
    , recorder_(window_.results()) {
    card_.setNote(logNote(logPath_));
    if (options.device)
        card_.preselect(*options.device);
    // Without a display nobody is there to choose: the named device opens, or nothing does.
    const bool window = options.mode == Options::Mode::Window;
    card_.setChooserShown(window);
    card_.setCardId(!options.card.empty() || !window
                        ? QString::fromStdString(options.card)
                        : remembered().value(QStringLiteral("card")).toString());
    // The lab's records end first: what they have to say (records that wait) goes in the
    // record too.
    QObject::connect(&window_, &LoopTest::programEnded, &recorder_, [this] {
        finishLab();
        if (!card_.takenOver().isEmpty())
            recorder_.finish(QStringLiteral("the run ended: %1; nothing after it was counted")
                                 .arg(card_.takenOver()),
                             1);
        else if (window_.endedByError())
            recorder_.finish(QStringLiteral("a run-time error ended the program"), 1);
        else
            recorder_.finish();
    });
    QObject::connect(&recorder_, &RunRecorder::checkpointed, &recorder_, [this] {
        if (book_)
            book_->checkpoint();
        if (metrics_)
            metrics_->checkpoint();
    });
}

RunSetup::~RunSetup() {
    finishLab();
    recorder_.finish(QStringLiteral("the program closed"));
}

bool RunSetup::open() {
    window_.Form_Load();
    if (!window_.isEnded() && options_.mode == Options::Mode::Window)
        remembered().setValue(QStringLiteral("card"), card_.cardId());
    return !window_.isEnded();
}

bool RunSetup::startRecord(QString& why) {
    const bool logged = logPath_.isEmpty() ||
                        recorder_.startLog(logPath_, startDetail(card_, window_.results(), who()),
                                           card_.cardId(), why);
    startLab();
    return logged;
}

void RunSetup::startLab() {
    auto warn = [this](const QString& why) {
        if (onWarning)
            onWarning(why);
    };
    const QString card = card_.cardId();
    if (!card.isEmpty()) {
        book_ = std::make_unique<CardRun>(card, options_.relayLife, labDatabaseUrl(options_));
        book_->watch(window_.results());
        book_->setOperator(who());
        book_->onLifePassed = [this, warn](int relay, std::int64_t closings) {
            const QString words = QStringLiteral("relay %1 of card %2 passed its rated life of %3 "
                                                 "closings (%4 so far)")
                                      .arg(relay)
                                      .arg(card_.cardId())
                                      .arg(options_.relayLife)
                                      .arg(closings);
            lifePassed_ << relay;
            recorder_.relayLifePassed(relay, closings, options_.relayLife);
            warn(words);
        };
        // A database out of reach is said once, here and in the record; the records wait
        // on this PC meanwhile.
        book_->onWarning = [this, warn](const QString& why) {
            recorder_.note(why);
            warn(why);
        };
        book_->onRecordsWait = [this](bool waiting, const QString& words) {
            if (onRecordsWait)
                onRecordsWait(waiting, words);
        };
        QString why;
        if (!book_->start(card_.deviceName(), logPath_, why)) {
            book_->onWarning(why + QStringLiteral(". The test goes on without the lab's records."));
            book_.reset();
        }
    }
    if (!options_.metrics.empty()) {
        const QString device =
            options_.device ? QString::fromStdString(options_.device->text) : card_.deviceName();
        metrics_ = std::make_unique<MetricsFile>(
            window_.results(),
            QDir::current().absoluteFilePath(QString::fromStdString(options_.metrics)), device,
            card);
        metrics_->onWarning = warn;
        metrics_->start();
    }
}

void RunSetup::judge() {
    judged_.clear();
    const LoopResults& r = window_.results();
    for (int relay = 0; relay < 16; ++relay)
        judged_.push_back({relay, judgeErrors(r.errors(relay), r.closings(relay), limits())});
    const std::optional<LabDatabase::Relays> life = book_ ? book_->life() : std::nullopt;
    lifeJudged_ = life.has_value();
    if (life)
        for (int relay = 0; relay < 16; ++relay)
            judged_.push_back({relay, judgeLife((*life)[relay].closings, limits())});
}

bool RunSetup::judgedFail() const {
    return std::any_of(judged_.begin(), judged_.end(),
                       [](const Judged& j) { return j.measured.verdict == Verdict::Fail; });
}

void RunSetup::finishLab() {
    judge();
    if (book_) {
        const bool broke = window_.endedByError();
        book_->finish(!card_.takenOver().isEmpty() ? QStringLiteral("taken over by another program")
                      : broke                      ? QStringLiteral("run-time error")
                                                   : QStringLiteral("ended"),
                      !broke && window_.results().tally().passed() && !judgedFail());
    }
    if (metrics_)
        metrics_->finish();
}

QString logPathFor(const Options& options, qint64 startMs) {
    if (options.noLog)
        return {};
    if (!options.logFile.empty())
        return QDir::current().absoluteFilePath(QString::fromStdString(options.logFile));
    return RunRecorder::defaultPath(startMs);
}

QString labDatabaseUrl(const Options& options) {
    return options.labDb.empty() ? remembered().value(QStringLiteral("lab-db")).toString()
                                 : QString::fromStdString(options.labDb);
}

QString logNote(const QString& path) {
    return path.isEmpty() ? QStringLiteral("This run will not be recorded (--no-log).")
                          : QStringLiteral("This run will be recorded in %1").arg(path);
}

bool settleOptions(Options& options, QString& why) {
    const QSettings settings = remembered();
    if (options.operatorName.empty()) {
        const QString named = settings.value(QStringLiteral("operator")).toString();
        const passwd* user = ::getpwuid(::getuid());
        options.operatorName = validOperator(named.toStdString()) ? named.toStdString()
                               : user && user->pw_name            ? std::string(user->pw_name)
                                                                  : std::to_string(::getuid());
    }
    const std::string path = options.limits.empty()
                                 ? settings.value(QStringLiteral("limits")).toString().toStdString()
                                 : options.limits;
    options.judgedBy = Limits{};
    std::string words;
    if (path.empty() || readLimits(path, options.judgedBy, words))
        return true;
    options.judgedBy = Limits{};
    why = QString::fromStdString(words);
    return false;
}

QString startDetail(const DeviceSelectingCard& card, const LoopResults& results,
                    const QString& who) {
    return QStringLiteral(
               "device: %1; settings: %2; %3step period %4 ms; read-back delay %5 ms; %6")
        .arg(
            card.deviceName(), card.deviceSettings(),
            (card.cardId().isEmpty() ? QString() : QStringLiteral("card %1; ").arg(card.cardId())) +
                QStringLiteral("operator %1; host %2; ").arg(who, labHostName()))
        .arg(results.stepMs())
        .arg(results.readbackMs())
        .arg(QString::fromStdString(versionText()).trimmed());
}
