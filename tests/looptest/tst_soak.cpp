// A long run through the handlers in auto mode against a card that fails and lies: no crash,
// no lost count, and memory that stays flat.
#include "card/simulator/LoopbackSimulator.h"
#include "looptest/LoopTest.h"
#include "support/ModalAnswerer.h"

#include <QLabel>
#include <QtTest>

#include <array>
#include <fstream>
#include <random>
#include <string>

namespace {

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true; // the sanitizer's quarantine grows the heap on purpose
#else
constexpr bool kSanitized = false;
#endif

// The simulator behind a card that fails some calls and lies in others, and keeps its own
// tally of what the window must show, from its answers alone: a failed non-zero write charges
// the step being written and leaves its box clear; a read charges the relay wired to every
// input that disagrees with the boxes the walk should have ticked.
class LyingCard : public CardControl {
public:
    explicit LyingCard(unsigned seed)
        : rng_(seed) {}
    bool SelectDevice() override { return true; }
    void setActive(bool) override {}

    bool WritePort(std::int32_t port, std::int16_t data) override {
        if (chance(97)) {
            if (data != 0) {
                ++expectedErrors[step];
                stepWriteFailed = true;
            }
            return false;
        }
        return sim_.write(port, data);
    }

    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        if (chance(89)) {
            readFailed = true;
            return false;
        }
        sim_.read(port, data);
        if (chance(53))
            data = static_cast<std::int16_t>(data ^ (1 << (rng_() % 8))); // a wrong bit
        if (chance(211))
            data = static_cast<std::int16_t>(data | 0x5A00); // noise above the byte
        const int inputs = 255 - (data & 0xFF);
        for (int k = 0; k < 8; ++k) {
            const int input = 8 * port + k;
            const int relay = 15 - input;
            const bool boxTicked = relay == step && !stepWriteFailed;
            if (((inputs >> k) & 1) != (boxTicked ? 1 : 0)) {
                ++expectedErrors[relay];
                mismatch = true;
            }
        }
        return true;
    }

    void beginStep(int channel) {
        step = channel;
        stepWriteFailed = false;
    }
    void beginTick() {
        readFailed = false;
        mismatch = false;
    }

    std::array<std::int64_t, 16> expectedErrors{};
    int step = 0;
    bool stepWriteFailed = false;
    bool readFailed = false;
    bool mismatch = false;

private:
    bool chance(unsigned oneIn) { return rng_() % oneIn == 0; }
    std::mt19937 rng_;
    LoopbackSimulator sim_;
};

} // namespace

class TstSoak : public QObject {
    Q_OBJECT
private slots:
    void aMillionLoopsLoseNoCount();
};

void TstSoak::aMillionLoopsLoseNoCount() {
    const qint64 loops = qEnvironmentVariableIntValue("LOOPTEST_SOAK_LOOPS") > 0
                             ? qEnvironmentVariableIntValue("LOOPTEST_SOAK_LOOPS")
                             : 1'000'000;
    LyingCard card(20261207);
    LoopTest w(card);
    {
        ModalAnswerer answerer;
        w.Form_Load();
    }
    auto* verdict = w.findChild<QLabel*>(QStringLiteral("matchLb"));
    auto* loopCount = w.findChild<QLabel*>(QStringLiteral("Label2"));
    std::array<QLabel*, 16> counters{};
    for (int i = 0; i < 16; ++i)
        counters[i] = w.findChild<QLabel*>(QStringLiteral("errLb(%1)").arg(i));

    w.autoCmd_Click();
    long rssAfterWarmUp = 0;
    int channel = 15;
    for (qint64 n = 1; n <= loops; ++n) {
        channel = (channel + 1) % 16;
        card.beginStep(channel);
        w.Timer1_Timer();
        card.beginTick();
        w.getTimer_Timer();

        // The verdict after each tick: a pass only when both reads came and agreed.
        const bool pass = !card.readFailed && !card.mismatch;
        if (verdict->text().isEmpty() != pass)
            QFAIL(
                qPrintable(QStringLiteral("loop %1: verdict \"%2\"").arg(n).arg(verdict->text())));
        if (n == loops / 10)
            rssAfterWarmUp = residentKb();
        if (n % 65536 == 0 || n == loops) {
            QVERIFY(!w.isEnded());
            QCOMPARE(loopCount->text().toLongLong(), n);
            for (int i = 0; i < 16; ++i)
                if (counters[i]->text().toLongLong() != card.expectedErrors[i])
                    QFAIL(qPrintable(QStringLiteral("loop %1: errLb(%2) shows %3, tally %4")
                                         .arg(n)
                                         .arg(i)
                                         .arg(counters[i]->text())
                                         .arg(card.expectedErrors[i])));
        }
    }
    qint64 total = 0;
    for (auto e : card.expectedErrors)
        total += e;
    QVERIFY(total > loops / 50); // the card really did fail and lie
    const long growth = residentKb() - rssAfterWarmUp;
    qInfo("%lld loops, %lld errors counted, RSS growth after warm-up %ld kB", loops, total, growth);
    if (!kSanitized && loops >= 1'000'000)
        QVERIFY2(growth < 1024, qPrintable(QStringLiteral("RSS grew %1 kB").arg(growth)));
}

QTEST_MAIN(TstSoak)
#include "tst_soak.moc"
