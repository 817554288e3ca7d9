#include "cleanup/TFrmDelete.h"

#include "util/GuardedApplication.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

const QString TFrmDelete::kWorkingText = QStringLiteral("正在清除上网临时文件，请稍候...");
const QString TFrmDelete::kDoneText = QStringLiteral("上网临时文件清除完毕。");

TFrmDelete* TFrmDelete::current_ = nullptr;

QString TFrmDelete::finalText(const DelF::Counts& counts)
{
    if (counts.allDeleted())
        return kDoneText;
    const QString deleted = QString::number(counts.deleted);
    const QString kept = QString::number(counts.failed + counts.readOnly);
    if (counts.failed == 0)
        return QStringLiteral("已清除%1项，%2项未能清除：blockfile缓存是只读的。").arg(deleted, kept);
    if (counts.readOnly == 0)
        return QStringLiteral("已清除%1项，%2项未能清除，详见error.log。").arg(deleted, kept);
    return QStringLiteral("已清除%1项，%2项未能清除（其中%3项在只读的blockfile缓存中），详见error.log。")
        .arg(deleted, kept, QString::number(counts.readOnly));
}

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
    reports.finished = [this](const DelF::Counts& counts) {
        QMetaObject::invokeMethod(
            this, [this, counts] { clearingFinished(counts); }, Qt::QueuedConnection);
    };
    // The dialog is the worker's log; the conversion is made here, where the private base is known.
    FailureLog* const log = this;
    worker_ = std::make_unique<DelF>(cache_, std::move(reports), log, firstStep_);
    worker_->start();
}

void TFrmDelete::clearingProgressed(int percent)
{
    // The last step is shown together with the closing text.
    if (percent < 100)
        ProgressBar1->setValue(percent);
}

void TFrmDelete::logFailure(const QString& message) noexcept
{
    try {
        // Posted before the end is, so every line is handled before the dialog says it is done.
        QMetaObject::invokeMethod(
            this, [message] { GuardedApplication::reportFailure(message); }, Qt::QueuedConnection);
    } catch (...) {
        // Out of memory: the line is lost, the clearing goes on.
    }
}

void TFrmDelete::clearingFinished(const DelF::Counts& counts)
{
    worker_->wait();
    finished_ = true;
    ProgressBar1->setValue(100);
    const QString text = finalText(counts);
    if (text != kDoneText) {
        // Longer than the one line the label was laid out for; it takes the room above the bar.
        Label1->setWordWrap(true);
        Label1->setGeometry(21, 10, 361, 44);
    }
    Label1->setText(text);
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
