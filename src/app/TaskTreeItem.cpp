#include "app/TaskTreeItem.h"

namespace
{
constexpr int kTaskNodeType = QTreeWidgetItem::UserType + 2;
}

TaskTreeItem::TaskTreeItem(QTreeWidgetItem* root, const StrucRec& plan, const QString& caption, const QIcon& icon)
    : QTreeWidgetItem(root, kTaskNodeType), plan_(plan)
{
    setText(0, caption);
    setIcon(0, icon);
}

const TaskTreeItem* TaskTreeItem::taskOf(const QTreeWidgetItem* item)
{
    if (item == nullptr || item->type() != kTaskNodeType)
        return nullptr;
    return static_cast<const TaskTreeItem*>(item);
}
