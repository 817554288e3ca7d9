#pragma once

#include <QTreeWidgetItem>

struct StrucRec;

// A task of the task list: a plan of the plan tree that the next run uses. It refers to the plan tree's
// record; a plan's tasks are removed before its record goes.
class TaskTreeItem : public QTreeWidgetItem
{
public:
    TaskTreeItem(QTreeWidgetItem* root, const StrucRec& plan, const QString& caption, const QIcon& icon);

    const StrucRec& plan() const { return plan_; }

    // The task of `item`, or nullptr for the root.
    static const TaskTreeItem* taskOf(const QTreeWidgetItem* item);

private:
    const StrucRec& plan_;
};
