#pragma once

#include "cleanup/DelF.h"
#include "util/FailureLog.h"

#include <QDialog>
#include <functional>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class UrlCache;

// The dialog of "清除上网临时文件": its first timer tick, 200 ms after it is made, clears the web entries of
// the cache on a worker (DelF) while the dialog stays responsive; then it says so and waits to be closed.
// It says they are cleared only when every one was deleted; else how many were and were not, and that a
// blockfile cache is read-only where one was. What was not deleted goes to the application-wide failure
// handler (error.log), one line per cache and kind of failure.
// The worker first runs the dialog's first step, when it has one (finding the caches afresh).
// The busy flag makes the clearing run once per dialog; a new dialog clears again.
//
// It cannot be closed while the clearing runs, since the cache would be left half cleared without the
// user having asked for that. Lives on the GUI thread; `cache` must outlive it.
class TFrmDelete : public QDialog, private FailureLog
{
    Q_OBJECT

public:
    static const QString kWorkingText;
    static const QString kDoneText;

    // The closing text for `counts`: kDoneText when everything was deleted.
    static QString finalText(const DelF::Counts& counts);

    // `firstStep` (may be empty) runs on the worker's thread before the clearing.
    explicit TFrmDelete(UrlCache& cache, QWidget* parent = nullptr, std::function<void()> firstStep = {});
    ~TFrmDelete() override;

    // The dialog now open, or nullptr; set by the constructor and cleared by the destructor.
    static TFrmDelete* current();

    bool busy() const { return busy_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void Timer1Timer();
    void BitBtn1Click();
    void clearingProgressed(int percent);
    void clearingFinished(const DelF::Counts& counts);
    // Called by the worker; posts `message` to the failure handler on the dialog's thread.
    void logFailure(const QString& message) noexcept override;
    bool clearing() const;

    static TFrmDelete* current_;

    UrlCache& cache_;
    const std::function<void()> firstStep_;
    bool busy_ = false;
    std::unique_ptr<DelF> worker_;
    bool finished_ = false;

    QLabel* Label1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QTimer* Timer1 = nullptr;
};
