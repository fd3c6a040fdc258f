#include "app/DistinctFiles.h"

#include "app/RunSetup.h"
#include "lab/LabDatabase.h"
#include "lab/OldBook.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <optional>
#include <vector>

namespace {

struct Named {
    std::string role; // the option, as the message names it
    QString path;
};

// The file a path will reach: symbolic links followed as far as they go (to a target that may
// not exist yet), then its folder's canonical path and its name.
QString reached(const QString& path) {
    QString at = QFileInfo(path).absoluteFilePath();
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            break;
        at = info.symLinkTarget(); // absolute, even when the target is missing
    }
    const QFileInfo info(at);
    const QString folder = QDir(info.absolutePath()).canonicalPath();
    return QDir::cleanPath((folder.isEmpty() ? info.absolutePath() : folder) + QLatin1Char('/') +
                           info.fileName());
}

// A file that exists, by its device and inode: one file under several names (a hard link).
std::optional<std::pair<dev_t, ino_t>> identity(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

bool same(const QString& a, const QString& b) {
    if (reached(a) == reached(b))
        return true;
    const auto ia = identity(a), ib = identity(b);
    return ia && ib && *ia == *ib;
}

} // namespace

bool filesAreDistinct(const Options& o, std::string& error) {
    std::vector<Named> files;
    auto add = [&](const char* role, const std::string& path) {
        if (!path.empty())
            files.push_back({role, QString::fromStdString(path)});
    };
    add("--summary", o.summary); // the inputs come first, so that they are named first
    add("--limits", o.limits);
    // The lab's database is a file the program owns, with the two SQLite keeps beside it.
    const bool lab = o.mode != Options::Mode::Help && o.mode != Options::Mode::Version;
    const QString sqlite = lab ? LabDatabase::sqlitePath(labDatabaseUrl(o)) : QString();
    if (!sqlite.isEmpty())
        for (const char* suffix : {"", "-wal", "-shm"})
            files.push_back({"the lab's database", sqlite + QLatin1String(suffix)});
    add("--log", o.logFile);
    add("--html", o.html);
    add("--json", o.json);
    add("--junit", o.junit);
    add("--metrics", o.metrics);
    if (!o.card.empty() && o.mode != Options::Mode::Summary)
        files.push_back({"--card (its book)", oldbook::pathFor(QString::fromStdString(o.card))});
    for (std::size_t i = 0; i < files.size(); ++i)
        for (std::size_t j = i + 1; j < files.size(); ++j)
            if (same(files[i].path, files[j].path)) {
                error = files[j].role + " names the same file as " + files[i].role + " (" +
                        files[j].path.toStdString() + "): " +
                        (files[i].role == "--summary"
                             ? "a report may not be written over the log it reads"
                         : files[i].role == "--limits"
                             ? "a report may not be written over the limits it reads"
                         : files[i].role == "the lab's database"
                             ? "nothing may be written over the lab's records"
                             : "two outputs may not be written to one file");
                return false;
            }
    return true;
}
