#pragma once

#include "plans/StrucRec.h"

#include <QTreeWidgetItem>

// A plan's node in the plan tree. The node owns the plan's record: deleting the node frees it.
class PlanTreeItem : public QTreeWidgetItem
{
public:
    PlanTreeItem(QTreeWidgetItem* parent, StrucRec plan, const QIcon& icon);

    StrucRec& plan() { return plan_; }
    const StrucRec& plan() const { return plan_; }

    // The plan of `item`, or nullptr for the root and for anything that is not a plan node.
    static const StrucRec* planOf(const QTreeWidgetItem* item);

private:
    StrucRec plan_;
};
