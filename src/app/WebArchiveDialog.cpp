#include "app/WebArchiveDialog.h"

#include "app/WebArchiveSetting.h"
#include "util/FolderDialog.h"
#include "util/IniFile.h"
#include "util/Prompt.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <stdexcept>

WebArchiveDialog::WebArchiveDialog(const QString& iniFile, QWidget* parent) : QDialog(parent), iniFile_(iniFile)
{
    setObjectName(QStringLiteral("WebArchiveDialog"));
    setWindowTitle(QStringLiteral("网页存档"));
    const WebArchiveSetting setting = WebArchiveSetting::read(IniFile(iniFile_));

    auto* layout = new QVBoxLayout(this);
    auto* about = new QLabel(QStringLiteral("回收时把保存的每个缓存项连同其响应首部另存为网页存档，供网页存档工具回放。"
                                            "每次回收写入一个新文件，以开始回收的时间命名。"),
                             this);
    about->setWordWrap(true);
    layout->addWidget(about);
    warc_ = new QCheckBox(QStringLiteral("写入 WARC 文件（.warc.gz）"), this);
    warc_->setObjectName(QStringLiteral("WarcBox"));
    warc_->setChecked(setting.warc);
    layout->addWidget(warc_);
    wacz_ = new QCheckBox(QStringLiteral("写入 WACZ 包（.wacz，回放工具可按页面文字搜索）"), this);
    wacz_->setObjectName(QStringLiteral("WaczBox"));
    wacz_->setChecked(setting.wacz);
    layout->addWidget(wacz_);

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(new QLabel(QStringLiteral("存放文件夹："), this));
    folder_ = new QLineEdit(setting.folder, this);
    folder_->setObjectName(QStringLiteral("FolderEdit"));
    folderRow->addWidget(folder_, 1);
    auto* browse = new QPushButton(QStringLiteral("浏览..."), this);
    browse->setObjectName(QStringLiteral("BrowseButton"));
    folderRow->addWidget(browse);
    layout->addLayout(folderRow);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &WebArchiveDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &WebArchiveDialog::reject);
    connect(browse, &QPushButton::clicked, this, &WebArchiveDialog::chooseFolder);
    connect(warc_, &QCheckBox::toggled, this, &WebArchiveDialog::updateEnabled);
    connect(wacz_, &QCheckBox::toggled, this, &WebArchiveDialog::updateEnabled);
    updateEnabled();
}

void WebArchiveDialog::updateEnabled()
{
    const bool on = warc_->isChecked() || wacz_->isChecked();
    folder_->setEnabled(on);
    findChild<QPushButton*>(QStringLiteral("BrowseButton"))->setEnabled(on);
}

void WebArchiveDialog::chooseFolder()
{
    QString folder;
    if (FolderDialog::BrowseFolder(this, QStringLiteral("选择网页存档的存放文件夹"), &folder))
        folder_->setText(folder);
}

bool WebArchiveDialog::saveChoice()
{
    WebArchiveSetting setting;
    setting.warc = warc_->isChecked();
    setting.wacz = wacz_->isChecked();
    setting.folder = folder_->text().trimmed();
    if (setting.warc || setting.wacz) {
        const QFileInfo folder(setting.folder);
        if (setting.folder.isEmpty() || !folder.isAbsolute()) {
            Prompt::inform(this, QStringLiteral("请选择网页存档的存放文件夹！"));
            return false;
        }
        if (!folder.isDir() || !folder.isWritable()) {
            Prompt::inform(this, QStringLiteral("文件夹“%1”不存在或无法写入，请另选一个！").arg(setting.folder));
            return false;
        }
        setting.folder = folder.absoluteFilePath();
    }
    try {
        IniFile ini(iniFile_);
        setting.writeTo(ini);
    } catch (const std::runtime_error& error) {
        Prompt::inform(this, QStringLiteral("无法保存设置：%1").arg(QString::fromUtf8(error.what())));
        return false;
    }
    return true;
}

void WebArchiveDialog::accept()
{
    if (saveChoice())
        QDialog::accept();
}
