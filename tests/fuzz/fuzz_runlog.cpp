// libFuzzer target: any bytes as a run log, read, summed up and drawn as a report. Besides the
// sanitizers' findings, a log that reads as PASS while it holds a failure is a crash.
#include "runlog/Summary.h"

#include <QBuffer>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer log(&bytes);
    log.open(QIODevice::ReadOnly);
    RunSummary s;
    readRunLog(log, s);
    summaryTable(s);
    QBuffer again(&bytes);
    again.open(QIODevice::ReadOnly);
    summaryHtml(s, again);

    if (s.verdict() == RunSummary::Verdict::Pass) {
        bool clean = s.state == RunSummary::State::Complete && s.tally().passed();
        for (const auto& lane : s.byLane)
            for (std::int64_t n : lane)
                clean = clean && n == 0;
        if (!clean)
            std::abort();
    }
    return 0;
}
