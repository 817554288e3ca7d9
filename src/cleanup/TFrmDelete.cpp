#include "cleanup/TFrmDelete.h"

#include "cleanup/DelF.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

const QString TFrmDelete::kWorkingText = QStringLiteral("正在清除上网临时文件，请稍候...");
const QString TFrmDelete::kDoneText = QStringLiteral("上网临时文件清除完毕。");

TFrmDelete* TFrmDelete::current_ = nullptr;

TFrmDelete::TFrmDelete(UrlCache& cache, QWidget* parent, std::function<void()> firstStep)
    : QDialog(parent), cache_(cache), firstStep_(std::move(firstStep))
{
    current_ = this;
    setObjectName(QStringLiteral("FrmDelete"));
    setWindowTitle(QStringLiteral("清除上网临时文件"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(403, 158);

    Label1 = new QLabel(kWorkingText, this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(21, 24, 361, 20);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(21, 56, 361, 18);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);

    BitBtn1 = new QPushButton(QStringLiteral("确 定"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(161, 104, 81, 27);
    BitBtn1->setDefault(true);
    connect(BitBtn1, &QPushButton::clicked, this, &TFrmDelete::BitBtn1Click);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(200);
    connect(Timer1, &QTimer::timeout, this, &TFrmDelete::Timer1Timer);
    Timer1->start();
}

TFrmDelete::~TFrmDelete()
{
    // The worker goes first: it must not outlive the cache or report to a dialog that is gone.
    worker_.reset();
    if (current_ == this)
        current_ = nullptr;
}

TFrmDelete* TFrmDelete::current()
{
    return current_;
}

void TFrmDelete::Timer1Timer()
{
    if (busy_)
        return;
    busy_ = true;
    BitBtn1->setEnabled(false);
    DelF::Reports reports;
    reports.progress = [this](int percent) {
        QMetaObject::invokeMethod(
            this, [this, percent] { clearingProgressed(percent); }, Qt::QueuedConnection);
    };
    reports.finished = [this](int) {
        QMetaObject::invokeMethod(
            this, [this] { clearingFinished(); }, Qt::QueuedConnection);
    };
    worker_ = std::make_unique<DelF>(cache_, std::move(reports), nullptr, firstStep_);
    worker_->start();
}

void TFrmDelete::clearingProgressed(int percent)
{
    // The last step is shown together with the closing text.
    if (percent < 100)
        ProgressBar1->setValue(percent);
}

void TFrmDelete::clearingFinished()
{
    worker_->wait();
    finished_ = true;
    ProgressBar1->setValue(100);
    Label1->setText(kDoneText);
    BitBtn1->setEnabled(true);
    Timer1->stop();
}

bool TFrmDelete::clearing() const
{
    return busy_ && !finished_;
}

void TFrmDelete::BitBtn1Click()
{
    accept();
}

void TFrmDelete::closeEvent(QCloseEvent* event)
{
    if (clearing())
        event->ignore();
    else
        QDialog::closeEvent(event);
}

void TFrmDelete::reject()
{
    if (!clearing())
        QDialog::reject();
}
