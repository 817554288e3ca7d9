#include "plans/TFrmOpt.h"

#include "plans/PlanFile.h"
#include "util/DateText.h"
#include "util/FolderDialog.h"
#include "util/Prompt.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <climits>

namespace
{

template <typename Widget, typename... Args>
Widget* named(const char* name, Args&&... args)
{
    auto* widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QSpinBox* numberField(const char* name)
{
    auto* field = named<QSpinBox>(name);
    field->setRange(INT_MIN, INT_MAX); // any whole number, as the plan file can hold
    field->setMinimumWidth(90);
    return field;
}

QDateEdit* datePicker(const char* name)
{
    auto* picker = named<QDateEdit>(name);
    picker->setDisplayFormat(DateText::dateFormat());
    picker->setCalendarPopup(true);
    return picker;
}

QLabel* label(const char* text)
{
    return new QLabel(QString::fromUtf8(text));
}

// Focus goes to a control only when it can take it: a disabled one is left alone.
void focusIfPossible(QWidget* control)
{
    if (control->isEnabled())
        control->setFocus();
}

// A scroll area that asks for room for the whole of its page, where QScrollArea caps its hint at a size
// of its own: the editor's size hint is then the size at which nothing scrolls, whatever size the
// editor was last given.
class PageScroller : public QScrollArea
{
public:
    QSize sizeHint() const override
    {
        const int frame = 2 * frameWidth();
        return widget()->sizeHint() + QSize(frame, frame);
    }
};

} // namespace

TFrmOpt::TFrmOpt(PlanFile& planFile, FileTypeLists& typeLists, QWidget* parent)
    : QDialog(parent), planFile_(planFile), typeLists_(typeLists)
{
    setObjectName(QStringLiteral("TFrmOpt"));
    setWindowTitle(QStringLiteral("回收方案信息"));
    setModal(false);
    buildControls();
    connectHandlers();
    NewFrm();
    fitToScreen();
}

void TFrmOpt::fitToScreen()
{
    // The size at which the whole page shows (the page scroller asks for all of it), then as much of it as
    // the screen has room for beside the window frame (a title bar and borders the window manager adds,
    // guessed before the first show).
    QSize size = sizeHint();
    if (const QScreen* screen = this->screen()) {
        const QRect outer = frameGeometry();
        const QRect inner = geometry();
        const QMargins frame(std::max(kBorderAllowance, inner.left() - outer.left()),
                             std::max(kTitleBarAllowance, inner.top() - outer.top()),
                             std::max(kBorderAllowance, outer.right() - inner.right()),
                             std::max(kBorderAllowance, outer.bottom() - inner.bottom()));
        const QSize room = screen->availableGeometry().marginsRemoved(frame).size();
        if (size.height() > room.height())
            size.setWidth(size.width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent));
        size = size.boundedTo(room);
    }
    setFixedSize(size);
}

void TFrmOpt::buildControls()
{
    // Two columns side by side: one column is taller than a small screen leaves room for under the CJK
    // fonts. The page scrolls as well, for screens smaller still.
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("PlanPage"));
    auto* columns = new QHBoxLayout(page);
    auto* pageLayout = new QVBoxLayout;
    columns->addLayout(pageLayout);

    Edit1 = named<QLineEdit>("Edit1");
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(label("名称："));
    nameRow->addWidget(Edit1);
    pageLayout->addLayout(nameRow);

    RadioGroup1 = named<QGroupBox>("RadioGroup1", QStringLiteral("所属类型"));
    documentKind_ = named<QRadioButton>("RadioGroup1Document", QStringLiteral("文档类"));
    resourceKind_ = named<QRadioButton>("RadioGroup1Resource", QStringLiteral("资源类"));
    auto* kindLayout = new QHBoxLayout(RadioGroup1);
    kindLayout->addWidget(documentKind_);
    kindLayout->addWidget(resourceKind_);
    pageLayout->addWidget(RadioGroup1);

    GroupBox1 = named<QGroupBox>("GroupBox1", QStringLiteral("文件类型"));
    Edit2 = named<QLineEdit>("Edit2");
    Edit2->setReadOnly(true);
    ListBox1 = named<QListWidget>("ListBox1");
    ListBox1->setFixedHeight(90);
    Button1 = named<QPushButton>("Button1", QStringLiteral("选 择"));
    BitBtn3 = named<QPushButton>("BitBtn3", QStringLiteral("全部选择"));
    BitBtn4 = named<QPushButton>("BitBtn4", QStringLiteral("清除选择"));
    Button2 = named<QPushButton>("Button2", QStringLiteral("添加新类型"));
    for (QPushButton* button : {Button1, BitBtn3, BitBtn4, Button2})
        button->setAutoDefault(false);
    auto* typesLayout = new QGridLayout(GroupBox1);
    typesLayout->addWidget(Edit2, 0, 0, 1, 2);
    typesLayout->addWidget(ListBox1, 1, 0, 4, 1);
    typesLayout->addWidget(Button1, 1, 1);
    typesLayout->addWidget(BitBtn3, 2, 1);
    typesLayout->addWidget(BitBtn4, 3, 1);
    typesLayout->addWidget(Button2, 4, 1);
    pageLayout->addWidget(GroupBox1);

    CheckBox1 = named<QCheckBox>("CheckBox1", QStringLiteral("所属站点"));
    Edit3 = named<QLineEdit>("Edit3");
    auto* siteRow = new QHBoxLayout;
    siteRow->addWidget(CheckBox1);
    siteRow->addWidget(Edit3);
    pageLayout->addLayout(siteRow);
    pageLayout->addStretch();
    pageLayout = new QVBoxLayout;
    columns->addLayout(pageLayout);

    GroupBox3 = named<QGroupBox>("GroupBox3", QStringLiteral("文档类相关信息"));
    CheckBox2 = named<QCheckBox>("CheckBox2", QStringLiteral("标题包含字符："));
    Edit4 = named<QLineEdit>("Edit4");
    CheckBox3 = named<QCheckBox>("CheckBox3", QStringLiteral("内容包含字符："));
    Edit5 = named<QLineEdit>("Edit5");
    auto* documentLayout = new QGridLayout(GroupBox3);
    documentLayout->addWidget(CheckBox2, 0, 0);
    documentLayout->addWidget(Edit4, 0, 1);
    documentLayout->addWidget(CheckBox3, 1, 0);
    documentLayout->addWidget(Edit5, 1, 1);
    pageLayout->addWidget(GroupBox3);

    CheckBox6 = named<QCheckBox>("CheckBox6", QStringLiteral("浏览日期"));
    GroupBox4 = named<QGroupBox>("GroupBox4");
    RadioButton1 = named<QRadioButton>("RadioButton1", QStringLiteral("日期段："));
    RadioButton2 = named<QRadioButton>("RadioButton2", QStringLiteral("天数："));
    // The two modes are managed by hand: unticking the viewed-date box leaves neither selected.
    RadioButton1->setAutoExclusive(false);
    RadioButton2->setAutoExclusive(false);
    DateTimePicker1 = datePicker("DateTimePicker1");
    DateTimePicker2 = datePicker("DateTimePicker2");
    SpinEdit3 = numberField("SpinEdit3");
    auto* dateLayout = new QGridLayout(GroupBox4);
    dateLayout->addWidget(RadioButton1, 0, 0);
    dateLayout->addWidget(label("从"), 0, 1);
    dateLayout->addWidget(DateTimePicker1, 0, 2);
    dateLayout->addWidget(label("到"), 0, 3);
    dateLayout->addWidget(DateTimePicker2, 0, 4);
    dateLayout->addWidget(RadioButton2, 1, 0);
    dateLayout->addWidget(label("在"), 1, 1);
    dateLayout->addWidget(SpinEdit3, 1, 2);
    dateLayout->addWidget(label("天之内"), 1, 3, 1, 2);
    pageLayout->addWidget(CheckBox6);
    pageLayout->addWidget(GroupBox4);

    CheckBox7 = named<QCheckBox>("CheckBox7", QStringLiteral("文件大小"));
    GroupBox5 = named<QGroupBox>("GroupBox5");
    SpinEdit1 = numberField("SpinEdit1");
    SpinEdit2 = numberField("SpinEdit2");
    auto* sizeLayout = new QHBoxLayout(GroupBox5);
    for (QWidget* widget :
         std::initializer_list<QWidget*>{label("最小"), SpinEdit1, label("KB"), label("最大"), SpinEdit2, label("KB")})
        sizeLayout->addWidget(widget);
    sizeLayout->addStretch();
    pageLayout->addWidget(CheckBox7);
    pageLayout->addWidget(GroupBox5);

    Edit7 = named<QLineEdit>("Edit7");
    Edit7->setReadOnly(true); // the folder is set through the button only
    SpeedButton1 = named<QToolButton>("SpeedButton1");
    SpeedButton1->setText(QStringLiteral("..."));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(label("保存位置："));
    folderRow->addWidget(Edit7);
    folderRow->addWidget(SpeedButton1);
    pageLayout->addLayout(folderRow);

    CheckBox5 = named<QCheckBox>("CheckBox5", QStringLiteral("回收后删除原文件"));
    pageLayout->addWidget(CheckBox5);
    pageLayout->addStretch();

    pageScroller_ = named<PageScroller>("PageScroller");
    pageScroller_->setFrameShape(QFrame::NoFrame);
    pageScroller_->setWidgetResizable(true);
    pageScroller_->setWidget(page);
    auto* tabs = named<QTabWidget>("PageControl1");
    tabs->addTab(pageScroller_, QStringLiteral("方案属性"));

    BitBtn1 = named<QPushButton>("BitBtn1", QStringLiteral("确 定"));
    BitBtn1->setDefault(true);
    BitBtn2 = named<QPushButton>("BitBtn2", QStringLiteral("取 消"));
    BitBtn2->setAutoDefault(false);
    auto* buttonRow = new QHBoxLayout;
    buttonRow->addStretch();
    buttonRow->addWidget(BitBtn1);
    buttonRow->addWidget(BitBtn2);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    layout->addLayout(buttonRow);
}

void TFrmOpt::connectHandlers()
{
    connect(documentKind_, &QRadioButton::clicked, this, &TFrmOpt::RadioGroup1Click);
    connect(resourceKind_, &QRadioButton::clicked, this, &TFrmOpt::RadioGroup1Click);
    connect(ListBox1, &QListWidget::itemSelectionChanged, this,
            [this] { Button1->setEnabled(!ListBox1->selectedItems().isEmpty()); });
    connect(ListBox1, &QListWidget::itemDoubleClicked, this, &TFrmOpt::AddType);
    connect(Button1, &QPushButton::clicked, this, &TFrmOpt::AddType);
    connect(BitBtn3, &QPushButton::clicked, this, &TFrmOpt::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, Edit2, &QLineEdit::clear);
    connect(Button2, &QPushButton::clicked, this, &TFrmOpt::Button2Click);
    connect(CheckBox1, &QCheckBox::clicked, this, &TFrmOpt::CheckBox1Click);
    connect(CheckBox2, &QCheckBox::clicked, this, [this](bool ticked) {
        Edit4->setEnabled(ticked);
        if (!ticked)
            Edit4->clear();
    });
    connect(CheckBox3, &QCheckBox::clicked, this, [this](bool ticked) {
        Edit5->setEnabled(ticked);
        if (!ticked)
            Edit5->clear();
    });
    connect(CheckBox6, &QCheckBox::clicked, this, &TFrmOpt::CheckBox6Click);
    connect(RadioButton1, &QRadioButton::clicked, this, &TFrmOpt::RadioButton1Click);
    connect(RadioButton2, &QRadioButton::clicked, this, &TFrmOpt::RadioButton2Click);
    connect(CheckBox7, &QCheckBox::clicked, this, [this](bool ticked) {
        GroupBox5->setEnabled(ticked);
        if (!ticked) {
            SpinEdit1->setValue(0);
            SpinEdit2->setValue(0);
        }
    });
    connect(SpeedButton1, &QToolButton::clicked, this, &TFrmOpt::SpeedButton1Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TFrmOpt::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TFrmOpt::showEditor()
{
    if (!isVisible()) {
        fitToScreen();
        // Each opening starts at the top of the page, with the name in sight.
        pageScroller_->horizontalScrollBar()->setValue(0);
        pageScroller_->verticalScrollBar()->setValue(0);
        if (const QScreen* screen = this->screen()) {
            // Centred with the frame a window manager adds, and never with the title bar above the top of
            // the screen; a window's position is that of its frame.
            const QRect available = screen->availableGeometry();
            const QSize frame = size() + QSize(2 * kBorderAllowance, kTitleBarAllowance + kBorderAllowance);
            move(available.left() + std::max(0, (available.width() - frame.width()) / 2),
                 available.top() + std::max(0, (available.height() - frame.height()) / 2));
        }
    }
    show();
    raise();
    activateWindow();
}

void TFrmOpt::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TFrmOpt::FormShow()
{
    LoadFtype(kind());
    Button1->setEnabled(false);
    Edit1->setFocus();
    Edit1->setCursorPosition(static_cast<int>(Edit1->text().size()));
}

int TFrmOpt::kind() const
{
    return resourceKind_->isChecked() ? 1 : 0;
}

void TFrmOpt::chooseKind(int newKind)
{
    QRadioButton* const item = newKind == 0 ? documentKind_ : resourceKind_;
    if (item->isChecked())
        return;
    item->setChecked(true);
    RadioGroup1Click();
}

void TFrmOpt::RadioGroup1Click()
{
    GroupBox3->setEnabled(kind() == 0);
    LoadFtype(kind());
    Edit2->clear();
}

void TFrmOpt::resetDateRange()
{
    const QDate today = QDate::currentDate();
    DateTimePicker1->setDate(today.addDays(-2));
    DateTimePicker2->setDate(today);
}

void TFrmOpt::NewFrm()
{
    Edit1->setReadOnly(false);
    for (QLineEdit* field : {Edit1, Edit2, Edit3, Edit4, Edit5, Edit7})
        field->clear();
    resetDateRange();
    for (QSpinBox* field : {SpinEdit1, SpinEdit2, SpinEdit3})
        field->setValue(0);
    chooseKind(0);
    GroupBox3->setEnabled(true);
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox5, CheckBox6, CheckBox7})
        box->setChecked(false);
    RadioButton1->setChecked(true);
    RadioButton2->setChecked(false);
    RadioButton1Click();
    for (QWidget* control : std::initializer_list<QWidget*>{Edit2, Edit3, GroupBox4, Edit4, Edit5, GroupBox5})
        control->setEnabled(false);
    currentSection_.clear();
    editedPlan_ = nullptr;
}

void TFrmOpt::IniFrm(StrucRec& plan)
{
    currentSection_ = plan.keyName;
    editedPlan_ = &plan;
    Edit1->setReadOnly(true);
    Edit1->setText(plan.name);
    Edit2->setEnabled(true);

    Edit3->setText(plan.urlStr);
    CheckBox1->setChecked(!plan.urlStr.isEmpty());
    Edit3->setEnabled(CheckBox1->isChecked());
    Edit4->setText(plan.tilStr);
    CheckBox2->setChecked(!plan.tilStr.isEmpty());
    Edit4->setEnabled(CheckBox2->isChecked());
    Edit5->setText(plan.conStr);
    CheckBox3->setChecked(!plan.conStr.isEmpty());
    Edit5->setEnabled(CheckBox3->isChecked());

    Edit7->setText(plan.savpath);
    CheckBox5->setChecked(plan.ifdel);

    if (!plan.lday.isEmpty() && !plan.hday.isEmpty()) {
        CheckBox6->setChecked(true);
        GroupBox4->setEnabled(true);
        RadioButton1->setChecked(true);
        RadioButton2->setChecked(false);
        RadioButton1Click();
        SpinEdit3->setValue(0);
        const QDate first = DateText::parse(plan.lday);
        const QDate last = DateText::parse(plan.hday);
        if (first.isValid() && last.isValid()) {
            DateTimePicker1->setDate(first);
            DateTimePicker2->setDate(last);
        } else {
            resetDateRange();
        }
    } else if (plan.days > 0) {
        CheckBox6->setChecked(true);
        GroupBox4->setEnabled(true);
        RadioButton1->setChecked(false);
        RadioButton2->setChecked(true);
        RadioButton2Click();
        resetDateRange();
        SpinEdit3->setValue(plan.days);
    } else {
        // No dates, or only one of the two bounds: shown as a plan without a date criterion.
        CheckBox6->setChecked(false);
        GroupBox4->setEnabled(false);
        resetDateRange();
    }

    chooseKind(plan.ztype == 0 ? 0 : 1);
    GroupBox3->setEnabled(kind() == 0);
    CheckBox7->setChecked(plan.hsize > 0);
    GroupBox5->setEnabled(CheckBox7->isChecked());
    SpinEdit1->setValue(plan.lsize);
    SpinEdit2->setValue(plan.hsize);
    Edit2->setText(plan.tpname);
}

void TFrmOpt::forgetPlan(const StrucRec* plan)
{
    if (plan == nullptr || plan != editedPlan_)
        return;
    editedPlan_ = nullptr;
    hide();
}

void TFrmOpt::LoadFtype(int listKind)
{
    ListBox1->clear();
    QString rest = typeLists_.forKind(listKind);
    for (qsizetype comma = rest.indexOf(QLatin1Char(',')); comma >= 0; comma = rest.indexOf(QLatin1Char(','))) {
        ListBox1->addItem(rest.left(comma));
        rest.remove(0, comma + 1);
    }
    if (!rest.isEmpty())
        ListBox1->addItem(rest);
}

void TFrmOpt::AddType()
{
    const QListWidgetItem* selected = ListBox1->currentItem();
    if (selected == nullptr || !selected->isSelected())
        return;
    const QString entry = selected->text();
    const QString chosen = Edit2->text();
    if (chosen.contains(entry)) {
        Prompt::inform(this, QStringLiteral("此文件类型已存在，请选择其他类型！"));
        return;
    }
    Edit2->setText(chosen.isEmpty() ? entry : chosen + QLatin1Char(',') + entry);
}

void TFrmOpt::BitBtn3Click()
{
    for (int row = 0; row < ListBox1->count(); ++row) {
        const QString entry = ListBox1->item(row)->text();
        const QString chosen = Edit2->text();
        if (chosen.contains(entry))
            continue;
        Edit2->setText(chosen.isEmpty() ? entry : chosen + QLatin1Char(',') + entry);
    }
}

void TFrmOpt::Button2Click()
{
    QString entry;
    if (!Prompt::input(this, QStringLiteral("添加新类型"), QStringLiteral("请输入文件类型的扩展名："), &entry) ||
        entry.isEmpty())
        return;
    for (int row = 0; row < ListBox1->count(); ++row) {
        if (ListBox1->item(row)->text().compare(entry, Qt::CaseInsensitive) == 0) {
            Prompt::inform(this, QStringLiteral("此文件类型已存在，请添加其他类型！"));
            return;
        }
    }
    ListBox1->addItem(entry);
    if (kind() == 0) {
        typeLists_.documentTypes += QLatin1Char(',') + entry;
        planFile_.writeDocumentTypes(typeLists_.documentTypes);
    } else {
        typeLists_.resourceTypes += QLatin1Char(',') + entry;
        planFile_.writeResourceTypes(typeLists_.resourceTypes);
    }
}

void TFrmOpt::CheckBox1Click()
{
    const bool ticked = CheckBox1->isChecked();
    Edit3->setEnabled(ticked);
    if (ticked) {
        Edit3->setText(QStringLiteral("http://"));
        Edit3->setFocus();
        Edit3->setCursorPosition(static_cast<int>(Edit3->text().size()));
    } else {
        Edit3->clear();
    }
}

void TFrmOpt::CheckBox6Click()
{
    GroupBox4->setEnabled(CheckBox6->isChecked());
    if (!CheckBox6->isChecked()) {
        if (RadioButton2->isChecked())
            SpinEdit3->setValue(0);
        RadioButton1->setChecked(false);
        RadioButton2->setChecked(false);
    }
}

void TFrmOpt::RadioButton1Click()
{
    RadioButton1->setChecked(true);
    RadioButton2->setChecked(false);
    DateTimePicker1->setEnabled(true);
    DateTimePicker2->setEnabled(true);
    SpinEdit3->setEnabled(false);
}

void TFrmOpt::RadioButton2Click()
{
    RadioButton2->setChecked(true);
    RadioButton1->setChecked(false);
    DateTimePicker1->setEnabled(false);
    DateTimePicker2->setEnabled(false);
    SpinEdit3->setEnabled(true);
}

void TFrmOpt::SpeedButton1Click()
{
    QString folder;
    if (FolderDialog::BrowseFolder(this, QStringLiteral("选择保存目录"), &folder))
        Edit7->setText(folder);
}

bool TFrmOpt::IfHf()
{
    struct Check
    {
        bool failed;
        const char* message;
        bool isError;
        QWidget* focus;
    };
    const Check checks[] = {
        {!Edit1->isReadOnly() && Edit1->text().isEmpty(), "请输入方案名称！", false, Edit1},
        {Edit2->text().isEmpty(), "请选择文件类型的扩展名！", false, Edit2},
        {CheckBox1->isChecked() && Edit3->text().isEmpty(), "请输入所属站点信息！", false, Edit3},
        {CheckBox2->isChecked() && Edit4->text().isEmpty(), "请输入网页标题所含的字符！", false, Edit4},
        {CheckBox3->isChecked() && Edit5->text().isEmpty(), "请输入网页内容所含的字符！", false, Edit5},
        {RadioButton2->isChecked() && SpinEdit3->value() == 0, "请输入浏览日期的天数！", false, SpinEdit3},
        {CheckBox7->isChecked() && SpinEdit2->value() == 0, "文件大小的最大值不能为零！", true, SpinEdit2},
        {Edit7->text().isEmpty(), "请选择保存地址！", false, Edit7},
    };
    for (const Check& check : checks) {
        if (!check.failed)
            continue;
        if (check.isError)
            Prompt::error(this, QString::fromUtf8(check.message));
        else
            Prompt::inform(this, QString::fromUtf8(check.message));
        focusIfPossible(check.focus);
        return false;
    }
    return true;
}

void TFrmOpt::setTemp()
{
    editBuffer_.ztype = kind();
    editBuffer_.keyName = newPlanMode_ ? QStringLiteral("key%1").arg(planFile_.GetNameIndx()) : currentSection_;
    editBuffer_.name = Edit1->text();
    editBuffer_.tpname = Edit2->text();
    editBuffer_.urlStr = Edit3->text();
    editBuffer_.tilStr = Edit4->text();
    editBuffer_.conStr = Edit5->text();
    editBuffer_.lday.clear();
    editBuffer_.hday.clear();
    editBuffer_.days = 0;
    if (CheckBox6->isChecked() && RadioButton1->isChecked()) {
        editBuffer_.lday = DateText::format(DateTimePicker1->date());
        editBuffer_.hday = DateText::format(DateTimePicker2->date());
    } else if (CheckBox6->isChecked()) {
        editBuffer_.days = SpinEdit3->value();
    }
    editBuffer_.lsize = CheckBox7->isChecked() ? SpinEdit1->value() : 0;
    editBuffer_.hsize = CheckBox7->isChecked() ? SpinEdit2->value() : 0;
    editBuffer_.savpath = Edit7->text();
    editBuffer_.ifdel = CheckBox5->isChecked();
}

void TFrmOpt::SetPs(StrucRec& target) const
{
    target = editBuffer_;
}

void TFrmOpt::BitBtn1Click()
{
    if (!IfHf())
        return;
    setTemp();
    const int number = newPlanMode_ ? planFile_.GetNameIndx() : PlanFile::planNumber(currentSection_);
    planFile_.savCfg(number, editBuffer_, newPlanMode_);
    if (newPlanMode_) {
        emit newPlanSaved(editBuffer_);
    } else if (editedPlan_ != nullptr) {
        SetPs(*editedPlan_);
    }
    emit planSaved();
    hide();
}
