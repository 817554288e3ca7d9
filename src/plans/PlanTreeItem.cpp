#include "plans/PlanTreeItem.h"

namespace
{
constexpr int kPlanNodeType = QTreeWidgetItem::UserType + 1;
}

PlanTreeItem::PlanTreeItem(QTreeWidgetItem* parent, StrucRec plan, const QIcon& icon)
    : QTreeWidgetItem(parent, kPlanNodeType), plan_(std::move(plan))
{
    setText(0, plan_.name);
    setIcon(0, icon);
}

const StrucRec* PlanTreeItem::planOf(const QTreeWidgetItem* item)
{
    if (item == nullptr || item->type() != kPlanNodeType)
        return nullptr;
    return &static_cast<const PlanTreeItem*>(item)->plan();
}
