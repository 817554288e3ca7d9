#include "app/WebArchiveSetting.h"

#include "util/IniFile.h"

#include <QDir>
#include <QFileInfo>

const QString WebArchiveSetting::kSection = QStringLiteral("web archive");

WebArchiveSetting WebArchiveSetting::read(const IniFile& ini)
{
    WebArchiveSetting setting;
    setting.warc = ini.readBool(kSection, QStringLiteral("warc"), false);
    setting.wacz = ini.readBool(kSection, QStringLiteral("wacz"), false);
    setting.folder = ini.readString(kSection, QStringLiteral("folder"), QString());
    return setting;
}

void WebArchiveSetting::writeTo(IniFile& ini) const
{
    ini.update([&] {
        ini.writeBool(kSection, QStringLiteral("warc"), warc);
        ini.writeBool(kSection, QStringLiteral("wacz"), wacz);
        ini.writeString(kSection, QStringLiteral("folder"), folder);
    });
}

RunArchive::Destination WebArchiveSetting::destinationFor(const QDateTime& start) const
{
    const QDir into(folder);
    const QString stem = QStringLiteral("webgleaner-") + start.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // Runs are started by hand: a handful a second at most, so the numbers stay short.
    for (int number = 1;; ++number) {
        const QString name = number == 1 ? stem : stem + QStringLiteral("-%1").arg(number);
        RunArchive::Destination destination;
        if (warc)
            destination.warcPath = into.filePath(name + QStringLiteral(".warc.gz"));
        if (wacz)
            destination.waczPath = into.filePath(name + QStringLiteral(".wacz"));
        const auto taken = [](const QString& path) { return !path.isEmpty() && QFileInfo::exists(path); };
        if (!taken(destination.warcPath) && !taken(destination.waczPath))
            return destination;
    }
}
