#pragma once

#include "plans/FileTypeLists.h"
#include "plans/StrucRec.h"

#include <QDialog>

class PlanFile;
class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSpinBox;
class QToolButton;

// The plan editor: one instance for the program's life, shown and hidden, modeless. It creates new
// plans and edits existing ones; OK checks the input, writes the plan to the plan file and hides it.
class TFrmOpt : public QDialog
{
    Q_OBJECT

public:
    TFrmOpt(PlanFile& planFile, FileTypeLists& typeLists, QWidget* parent = nullptr);

    // Shows the editor, or brings it to the front when it is already shown.
    void showEditor();

    void setNewPlanMode(bool newPlan) { newPlanMode_ = newPlan; }
    bool isNewPlanMode() const { return newPlanMode_; }

    // Resets every control for a new plan.
    void NewFrm();
    // Fills every control from `plan`, the record that OK then updates in place.
    void IniFrm(StrucRec& plan);

    // `plan` is being deleted: an edit of it is abandoned.
    void forgetPlan(const StrucRec* plan);

    // The file-type group.
    void LoadFtype(int kind);
    void AddType();

signals:
    // A new plan was saved; the window adds its node. `plan` carries its section name.
    void newPlanSaved(const StrucRec& plan);
    // After any save: the window shows the selected plan again.
    void planSaved();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildControls();
    // Fixes the size at what the controls need, or at what the screen holds with the page scrolling.
    void fitToScreen();
    void connectHandlers();
    void FormShow();
    void resetDateRange();
    bool IfHf();
    void setTemp();
    void SetPs(StrucRec& target) const;
    void BitBtn1Click();
    void BitBtn3Click();
    void Button2Click();
    void SpeedButton1Click();
    void chooseKind(int kind);
    int kind() const;
    void CheckBox1Click();
    void CheckBox6Click();
    void RadioButton1Click();
    void RadioButton2Click();
    void RadioGroup1Click();

    PlanFile& planFile_;
    FileTypeLists& typeLists_;
    bool newPlanMode_ = true;
    QString currentSection_;
    StrucRec* editedPlan_ = nullptr;
    StrucRec editBuffer_;

    // What a window manager's frame takes, guessed until the window has been shown.
    static constexpr int kTitleBarAllowance = 32;
    static constexpr int kBorderAllowance = 4;

    QScrollArea* pageScroller_ = nullptr;
    QLineEdit* Edit1 = nullptr; // name
    QGroupBox* RadioGroup1 = nullptr;
    QRadioButton* documentKind_ = nullptr;
    QRadioButton* resourceKind_ = nullptr;
    QGroupBox* GroupBox1 = nullptr; // file types
    QLineEdit* Edit2 = nullptr;     // chosen types
    QListWidget* ListBox1 = nullptr;
    QPushButton* Button1 = nullptr; // choose
    QPushButton* BitBtn4 = nullptr; // clear
    QPushButton* BitBtn3 = nullptr; // choose all
    QPushButton* Button2 = nullptr; // add a new type
    QCheckBox* CheckBox1 = nullptr; // site
    QLineEdit* Edit3 = nullptr;
    QGroupBox* GroupBox3 = nullptr; // document criteria
    QCheckBox* CheckBox2 = nullptr; // title
    QLineEdit* Edit4 = nullptr;
    QCheckBox* CheckBox3 = nullptr; // content
    QLineEdit* Edit5 = nullptr;
    QCheckBox* CheckBox6 = nullptr; // viewed date
    QGroupBox* GroupBox4 = nullptr;
    QRadioButton* RadioButton1 = nullptr; // date range
    QDateEdit* DateTimePicker1 = nullptr;
    QDateEdit* DateTimePicker2 = nullptr;
    QRadioButton* RadioButton2 = nullptr; // day count
    QSpinBox* SpinEdit3 = nullptr;
    QCheckBox* CheckBox7 = nullptr; // size
    QGroupBox* GroupBox5 = nullptr;
    QSpinBox* SpinEdit1 = nullptr; // minimum KB
    QSpinBox* SpinEdit2 = nullptr; // maximum KB
    QLineEdit* Edit7 = nullptr;    // save folder
    QToolButton* SpeedButton1 = nullptr;
    QCheckBox* CheckBox5 = nullptr; // delete after
    QPushButton* BitBtn1 = nullptr; // OK
    QPushButton* BitBtn2 = nullptr; // Cancel
};
