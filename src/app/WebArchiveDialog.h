#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

// "网页存档": whether the window's runs also write what they save as a web archive (a WARC file, a WACZ
// package for replay tools, or both) and into which folder. OK checks the folder and writes the choice to
// webgleaner.ini (WebArchiveSetting), which the next run reads.
class WebArchiveDialog : public QDialog
{
    Q_OBJECT

public:
    WebArchiveDialog(const QString& iniFile, QWidget* parent = nullptr);

    // Writes the choice; false, with a message, when it cannot be kept (no folder, a folder that cannot be
    // written, a settings file that cannot be written).
    bool saveChoice();

    void accept() override;

private:
    void chooseFolder();
    void updateEnabled();

    const QString iniFile_;
    QCheckBox* warc_ = nullptr;
    QCheckBox* wacz_ = nullptr;
    QLineEdit* folder_ = nullptr;
};
