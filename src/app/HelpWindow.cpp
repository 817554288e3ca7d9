#include "app/HelpWindow.h"

#include "app/HelpBrowser.h"
#include "util/ChmFile.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QRegularExpression>
#include <QSplitter>

const QString HelpWindow::kFileName = QStringLiteral("webgleaner.chm");
const QString HelpWindow::kFirstTopic = QStringLiteral("/1.htm");

HelpWindow::HelpWindow(std::unique_ptr<ChmFile> help, QWidget* parent)
    : QWidget(parent, Qt::Window), help_(std::move(help))
{
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(QStringLiteral("WebGleaner 帮助"));
    resize(860, 620);

    auto* splitter = new QSplitter(this);
    contents_ = new QListWidget(splitter);
    contents_->setObjectName(QStringLiteral("ContentsList"));
    browser_ = new HelpBrowser(*help_, splitter);
    splitter->addWidget(contents_);
    splitter->addWidget(browser_);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({180, 680});
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    loadContents();
    connect(contents_, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* item) { showTopic(item->data(Qt::UserRole).toString()); });
    connect(contents_, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { showTopic(item->data(Qt::UserRole).toString()); });
    connect(browser_, &QTextBrowser::sourceChanged, this, [this](const QUrl& page) { markTopic(page.path()); });
}

HelpWindow::~HelpWindow() = default;

void HelpWindow::loadContents()
{
    // The table of contents is the help file's own sitemap: one OBJECT per topic with its Name and Local.
    const std::optional<QByteArray> sitemap = help_->read(QStringLiteral("/toc.hhc"));
    if (!sitemap)
        return;
    static const QRegularExpression topic(QStringLiteral("<OBJECT[^>]*text/sitemap[^>]*>(.*?)</OBJECT>"),
                                          QRegularExpression::CaseInsensitiveOption |
                                              QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression name(QStringLiteral("<param\\s+name=\"Name\"\\s+value=\"([^\"]*)\""),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression local(QStringLiteral("<param\\s+name=\"Local\"\\s+value=\"([^\"]*)\""),
                                          QRegularExpression::CaseInsensitiveOption);
    const QString text = QString::fromUtf8(*sitemap);
    for (auto match = topic.globalMatch(text); match.hasNext();) {
        const QString object = match.next().captured(1);
        const QString title = name.match(object).captured(1);
        const QString page = local.match(object).captured(1);
        if (title.isEmpty() || page.isEmpty())
            continue;
        auto* item = new QListWidgetItem(title, contents_);
        item->setData(Qt::UserRole, page.startsWith(u'/') ? page : u'/' + page);
    }
}

void HelpWindow::showTopic(const QString& topic)
{
    browser_->setSource(HelpBrowser::topicUrl(topic));
}

QString HelpWindow::currentTopic() const
{
    return browser_->currentTopic();
}

void HelpWindow::markTopic(const QString& topic)
{
    for (int row = 0; row < contents_->count(); ++row) {
        if (contents_->item(row)->data(Qt::UserRole).toString().compare(topic, Qt::CaseInsensitive) == 0) {
            contents_->setCurrentRow(row);
            return;
        }
    }
}
