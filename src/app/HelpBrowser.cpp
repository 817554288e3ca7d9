#include "app/HelpBrowser.h"

#include "util/ChmFile.h"

namespace
{
const QString kScheme = QStringLiteral("chm");
}

HelpBrowser::HelpBrowser(const ChmFile& help, QWidget* parent) : QTextBrowser(parent), help_(help)
{
    setObjectName(QStringLiteral("HelpBrowser"));
    setOpenExternalLinks(true);
}

QUrl HelpBrowser::topicUrl(const QString& topic)
{
    QUrl url;
    url.setScheme(kScheme);
    url.setPath(topic.startsWith(u'/') ? topic : u'/' + topic);
    return url;
}

QString HelpBrowser::currentTopic() const
{
    return source().scheme() == kScheme ? source().path() : QString();
}

QVariant HelpBrowser::loadResource(int type, const QUrl& name)
{
    if (name.scheme() != kScheme)
        return QTextBrowser::loadResource(type, name);
    const std::optional<QByteArray> bytes = help_.read(name.path());
    return bytes ? QVariant(*bytes) : QVariant();
}
