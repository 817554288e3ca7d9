#pragma once

#include <QDialog>
#include <functional>
#include <memory>

class DelF;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class UrlCache;

// The dialog of "清除上网临时文件": its first timer tick, 200 ms after it is made, clears the web entries of
// the cache on a worker (DelF) while the dialog stays responsive; then it says so and waits to be closed.
// The worker first runs the dialog's first step, when it has one (finding the caches afresh).
// The busy flag makes the clearing run once per dialog; a new dialog clears again.
//
// It cannot be closed while the clearing runs, since the cache would be left half cleared without the
// user having asked for that. Lives on the GUI thread; `cache` must outlive it.
class TFrmDelete : public QDialog
{
    Q_OBJECT

public:
    static const QString kWorkingText;
    static const QString kDoneText;

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
    void clearingFinished();
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
