#include "diagnosis/Limits.h"

#include "diagnosis/Diagnosis.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace {

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A figure as the reports write it: times to two places, counts whole, a rate to one place.
std::string number(double value, const std::string& unit) {
    char text[64];
    if (unit == "ms")
        std::snprintf(text, sizeof text, "%.2f", value);
    else if (unit == "per million")
        std::snprintf(text, sizeof text, "%.1f", value);
    else
        std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

std::string limitText(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.12g", value); // 10000000, not 1e+07
    return text;
}

} // namespace

static Measurement judged(const std::string& name, const std::string& of, double value,
                          const std::string& unit, double limit, double marginal) {
    return {name, of, value, unit, limit, judge(value, limit, marginal)};
}

const std::vector<Limits::Key>& Limits::keys() {
    static const std::vector<Key> all{
        {"operate-ms", &Limits::operateMs, "ms"},
        {"release-ms", &Limits::releaseMs, "ms"},
        {"bounce-ms", &Limits::bounceMs, "ms"},
        {"bounces", &Limits::bounces, ""},
        {"errors-per-million", &Limits::errorsPerMillion, "per million"},
        {"rated-life", &Limits::ratedLife, "closings"},
        {"marginal", &Limits::marginal, ""},
    };
    return all;
}

bool readLimits(const std::string& path, Limits& limits, std::string& why) {
    std::ifstream in(path);
    if (!in) {
        why = path + ": cannot be read";
        return false;
    }
    Limits read;
    read.source = path;
    std::string group, line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = trimmed(line);
        auto fail = [&](const std::string& what) {
            why = path + ":" + std::to_string(number) + ": " + what + ": \"" + text + "\"";
            return false;
        };
        if (text.empty() || text[0] == '#' || text[0] == ';')
            continue;
        if (text.front() == '[') {
            if (text.back() != ']')
                return fail("a group's name ends with ]");
            group = trimmed(text.substr(1, text.size() - 2));
            continue;
        }
        const auto equals = text.find('=');
        if (equals == std::string::npos)
            return fail("expected KEY = VALUE");
        if (group != "limits")
            return fail("limits belong in the [limits] group");
        const std::string key = trimmed(text.substr(0, equals));
        const std::string value = trimmed(text.substr(equals + 1));
        const Limits::Key* known = nullptr;
        for (const Limits::Key& k : Limits::keys())
            if (key == k.name)
                known = &k;
        if (!known)
            return fail("unknown key \"" + key +
                        "\" (operate-ms, release-ms, bounce-ms, bounces, errors-per-million, "
                        "rated-life, marginal)");
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(v) || v <= 0)
            return fail(key + " takes a positive number");
        if (known->value == &Limits::marginal && v >= 1)
            return fail("marginal takes a fraction between 0 and 1");
        read.*(known->value) = v;
    }
    limits = read;
    return true;
}

const char* verdictName(Verdict verdict) {
    switch (verdict) {
    case Verdict::Pass:
        return "pass";
    case Verdict::Marginal:
        return "marginal";
    case Verdict::Fail:
        return "fail";
    }
    return "fail";
}

Verdict judge(double value, double limit, double marginal) {
    if (value > limit)
        return Verdict::Fail;
    return value > marginal * limit ? Verdict::Marginal : Verdict::Pass;
}

Verdict worse(Verdict a, Verdict b) {
    return static_cast<int>(a) >= static_cast<int>(b) ? a : b;
}

std::string Measurement::words() const {
    const std::string unitText = unit.empty() ? std::string() : " " + unit;
    const std::string how = verdict == Verdict::Fail       ? ", past its limit of "
                            : verdict == Verdict::Marginal ? ", marginal against its limit of "
                                                           : ", within its limit of ";
    return name + " " + of + " " + number(value, unit) + unitText + how + limitText(limit) +
           unitText;
}

void judgeChannel(ChannelDiagnosis& c, const Limits& limits) {
    c.measured.clear();
    c.judged = Verdict::Pass;
    const std::pair<const char*, const ChannelDiagnosis::Figures*> times[] = {
        {"operate", &c.operate}, {"release", &c.release}, {"bounce", &c.bounce}};
    const double timeLimits[] = {limits.operateMs, limits.releaseMs, limits.bounceMs};
    for (int k = 0; k < 3; ++k) {
        const auto& [name, f] = times[k];
        if (f->median)
            c.measured.push_back(
                judged(name, "median", *f->median, "ms", timeLimits[k], limits.marginal));
        if (f->max)
            c.measured.push_back(
                judged(name, "worst", *f->max, "ms", timeLimits[k], limits.marginal));
    }
    if (c.operate.max)
        c.measured.push_back(
            judged("bounces", "worst", c.bounces, "", limits.bounces, limits.marginal));
    for (const Measurement& m : c.measured)
        c.judged = worse(c.judged, m.verdict);
}

void judgeDiagnosis(DiagnosisReport& report, const Limits& limits) {
    report.settings.limits = limits;
    for (ChannelDiagnosis& c : report.channels)
        judgeChannel(c, limits);
}

Measurement judgeErrors(std::int64_t errors, std::int64_t closings, const Limits& limits) {
    const double perMillion = closings > 0 ? double(errors) * 1e6 / double(closings)
                              : errors > 0 ? 1e6
                                           : 0.0;
    return judged("errors", "run", perMillion, "per million", limits.errorsPerMillion,
                  limits.marginal);
}

Measurement judgeLife(std::int64_t closings, const Limits& limits) {
    return judged("life", "used", double(closings), "closings", limits.ratedLife, limits.marginal);
}
