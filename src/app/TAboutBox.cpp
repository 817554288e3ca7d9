#include "app/TAboutBox.h"

#include "app/ProductPages.h"
#include "app/ProgramVersion.h"
#include "util/JpegImage.h"

#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>

QString TAboutBox::versionText()
{
    return QStringLiteral("Version (%1)").arg(ProgramVersion::number());
}

TAboutBox* TAboutBox::current_ = nullptr;

namespace
{

QByteArray resourceBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent)
{
    current_ = this;
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("关于"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(420, 255);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setGeometry(8, 8, 124, 241);
    Image1 = new QLabel(panel);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(2, 2, 120, 237);
    // The side picture is a JPEG decoded by libjpeg itself, not by Qt's image plug-ins.
    Image1->setPixmap(QPixmap::fromImage(JpegImage::decode(resourceBytes(QStringLiteral(":/about/side.jpg")))));

    Image2 = new QLabel(this);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(160, 12, 209, 90);
    Image2->setAttribute(Qt::WA_TranslucentBackground);
    Image2->setPixmap(QPixmap(QStringLiteral(":/about/logo.png")));

    Label2 = new QLabel(versionText(), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(160, 112, 249, 18);

    Label1 = new QLabel(QStringLiteral("WebGleaner 开发组制作，保留所有权利。"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(160, 136, 249, 18);

    Label3 = new QLabel(ProductPages::kProductPage.toString(), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setGeometry(160, 160, 249, 18);
    Label3->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
    Label3->setCursor(Qt::PointingHandCursor);
    Label3->installEventFilter(this);

    auto* bevel = new QFrame(this);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    bevel->setGeometry(160, 190, 249, 4);

    OKButton = new QPushButton(QStringLiteral("确  定"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setGeometry(246, 212, 81, 27);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &TAboutBox::OKButtonClick);
}

TAboutBox::~TAboutBox()
{
    if (current_ == this)
        current_ = nullptr;
}

TAboutBox* TAboutBox::current()
{
    return current_;
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Label3Click();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TAboutBox::OKButtonClick()
{
    accept();
}

void TAboutBox::Label3Click()
{
    ProductPages::open(ProductPages::kProductPage);
}
