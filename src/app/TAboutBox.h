#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The about box: the side picture, the logo, the version, a notice and the product page's address, which
// opens in the web browser when clicked. Made for each opening and destroyed when closed.
class TAboutBox : public QDialog
{
    Q_OBJECT

public:
    // "Version (1.2)", with the build's version.
    static QString versionText();

    explicit TAboutBox(QWidget* parent = nullptr);
    ~TAboutBox() override;

    // The box now open, or nullptr; set by the constructor and cleared by the destructor.
    static TAboutBox* current();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OKButtonClick();
    void Label3Click();

    static TAboutBox* current_;

    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QPushButton* OKButton = nullptr;
};
