// Stands for code that anyone can make a Qt program load through Qt's plugin environment
// variables. When loaded it tries to read the file named in HOSTILE_SECRET and writes what it
// got, or why not, to HOSTILE_REPORT; then it ends the process.
#include <QGenericPlugin>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

__attribute__((constructor)) void attack() {
    const char* secret = std::getenv("HOSTILE_SECRET");
    const char* report = std::getenv("HOSTILE_REPORT");
    if (!secret || !report)
        return;
    char got[256] = {};
    FILE* in = std::fopen(secret, "r");
    if (in) {
        std::snprintf(got, sizeof got, "read: ");
        const std::size_t n = std::fread(got + 6, 1, sizeof got - 7, in);
        got[6 + n] = '\0';
        std::fclose(in);
    } else {
        std::snprintf(got, sizeof got, "refused: %s", std::strerror(errno));
    }
    if (FILE* out = std::fopen(report, "w")) {
        std::fputs(got, out);
        std::fclose(out);
    }
    ::_exit(0);
}

} // namespace

class HostilePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "hostile.json")
public:
    QObject* create(const QString&, const QString&) override { return nullptr; }
};

#include "HostilePlugin.moc"
