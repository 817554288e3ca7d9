#include "engine/DestinationNamer.h"

#include "engine/PageText.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

const QString DestinationNamer::kForbiddenChars = QStringLiteral("\\/:*?<>|");

QString DestinationNamer::JoinPath(const QString& folder, const QString& fileName)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + fileName : folder + QLatin1Char('/') + fileName;
}

QString DestinationNamer::StripNameChars(const QString& name)
{
    QString stripped = name;
    for (const QChar c : kForbiddenChars) {
        const qsizetype at = stripped.indexOf(c);
        if (at >= 0)
            stripped.remove(at, 1);
    }
    return stripped;
}

bool DestinationNamer::isDirectChildName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

bool DestinationNamer::canWrite(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(native.constData());
        return true;
    }
    if (errno != EEXIST)
        return false;
    // An earlier harvest's file is replaced; anything else of that name (a folder) stays.
    return QFileInfo(path).isFile() && ::access(native.constData(), W_OK) == 0;
}

QString DestinationNamer::titleName(const QByteArrayList& pageLines)
{
    // Every title line used to be tried in turn, but only the last one ever decided the name.
    for (auto line = pageLines.crbegin(); line != pageLines.crend(); ++line) {
        qsizetype at = line->indexOf("<title>");
        if (at < 0)
            at = line->indexOf("<TITLE>");
        if (at < 0)
            continue;
        QByteArray title = line->mid(at + 7);
        qsizetype end = title.indexOf("</title>");
        if (end < 0)
            end = title.indexOf("</TITLE>");
        if (end >= 0)
            title.truncate(end);
        const QString text = PageText::toUnicode(title, PageText::declaredCharset(pageLines));
        return StripNameChars(text + QLatin1String(".mht"));
    }
    return {};
}

QString DestinationNamer::documentDestName(const QString& localFile, const QString& saveFolder,
                                           const QByteArrayList& pageLines)
{
    const QString cacheName = QFileInfo(localFile).fileName();
    const QString fallback = JoinPath(saveFolder, cacheName);
    QString name = titleName(pageLines);
    if (name.isEmpty()) {
        const qsizetype dot = cacheName.lastIndexOf(QLatin1Char('.'));
        name = (dot < 0 ? cacheName : cacheName.left(dot)) + QLatin1String(".mht");
    }
    const QString candidate = JoinPath(saveFolder, name);
    return isDirectChildName(name) && canWrite(candidate) ? candidate : fallback;
}

QString DestinationNamer::MakeDestName(const QString& localFile, const QString& saveFolder, bool isDocument)
{
    const QString fallback = JoinPath(saveFolder, QFileInfo(localFile).fileName());
    if (!isDocument)
        return fallback;
    const std::optional<QByteArrayList> lines = PageText::readLines(localFile);
    if (!lines)
        return fallback;
    return documentDestName(localFile, saveFolder, *lines);
}
