#include "plans/PlanFile.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <stdexcept>

namespace
{

const QString kLast = QStringLiteral("last");
const QString kType = QStringLiteral("type");
const QString kName = QStringLiteral("name");
const QString kDoc = QStringLiteral("doc");
const QString kSou = QStringLiteral("sou");

// N of `prefix` followed by a decimal number, or -1.
int numberAfter(const QString& text, const QString& prefix)
{
    if (!text.startsWith(prefix, Qt::CaseInsensitive))
        return -1;
    bool ok = false;
    const int number = text.mid(prefix.size()).toInt(&ok);
    return ok && number >= 0 ? number : -1;
}

QString sectionOf(int number)
{
    return QStringLiteral("key%1").arg(number);
}

QString indexKeyOf(int number)
{
    return QStringLiteral("n%1").arg(number);
}

} // namespace

const QString PlanFile::kFileName = QStringLiteral("plancfg.ini");
const QString PlanFile::kDefaultDocumentTypes = QStringLiteral("*.htm(html),*.asp,*.php,*.jsp");
const QString PlanFile::kDefaultResourceTypes = QStringLiteral("*.gif,*.jpg(jpeg),*.bmp,*.swf");

PlanFile::PlanFile(const QString& filePath) : ini_(filePath) {}

QString PlanFile::pathIn(const QString& programFolder)
{
    return QDir(programFolder).filePath(kFileName);
}

PlanFile::Status PlanFile::status() const
{
    if (!ini_.readError().isEmpty())
        return {State::Unreadable, QStringLiteral("无法读取方案文件“%1”：%2").arg(path(), ini_.readError())};
    if (!QFileInfo::exists(path()))
        return {State::NoPlan, QStringLiteral("找不到方案文件“%1”").arg(path())};
    if (!ini_.hasSection(kName)) {
        return {State::NoPlan, QStringLiteral("方案文件“%1”中没有方案：没有 [name] 节，它可能不是方案文件或文本文件，"
                                              "或编码不是 UTF-8、GBK 或带字节顺序标记的 UTF-16")
                                   .arg(path())};
    }
    for (const auto& [key, section] : ini_.sectionEntries(kName)) {
        if (!planName(section).isEmpty())
            return {};
    }
    return {State::NoPlan, QStringLiteral("方案文件“%1”中没有方案：[name] 节没有列出有名称的方案").arg(path())};
}

QString PlanFile::planName(const QString& section) const
{
    return ini_.readString(section, QStringLiteral("name"), QString());
}

void PlanFile::CrtCfg()
{
    if (!ini_.readError().isEmpty())
        return;
    if (ini_.readInteger(kLast, kLast, -1) == -1)
        ini_.writeInteger(kLast, kLast, 0);
    if (ini_.readString(kType, kDoc, QString()).isEmpty())
        ini_.writeString(kType, kDoc, kDefaultDocumentTypes);
    if (ini_.readString(kType, kSou, QString()).isEmpty())
        ini_.writeString(kType, kSou, kDefaultResourceTypes);
}

PlanFile::Contents PlanFile::LoadCfg() const
{
    Contents contents;
    contents.documentTypes = ini_.readString(kType, kDoc, kDefaultDocumentTypes);
    contents.resourceTypes = ini_.readString(kType, kSou, kDefaultResourceTypes);
    for (const auto& [key, section] : ini_.sectionEntries(kName)) {
        StrucRec plan;
        plan.name = planName(section);
        if (plan.name.isEmpty())
            continue;
        plan.keyName = section;
        plan.ztype = ini_.readInteger(section, QStringLiteral("ztype"), 0);
        plan.tpname = ini_.readString(section, QStringLiteral("tpname"), QString());
        plan.urlStr = ini_.readString(section, QStringLiteral("urlStr"), QString());
        plan.tilStr = ini_.readString(section, QStringLiteral("tilStr"), QString());
        plan.conStr = ini_.readString(section, QStringLiteral("conStr"), QString());
        plan.lday = ini_.readString(section, QStringLiteral("lday"), QString());
        plan.hday = ini_.readString(section, QStringLiteral("hday"), QString());
        plan.days = ini_.readInteger(section, QStringLiteral("days"), 0);
        plan.lsize = ini_.readInteger(section, QStringLiteral("lsize"), 0);
        plan.hsize = ini_.readInteger(section, QStringLiteral("hsize"), 0);
        plan.savpath = ini_.readString(section, QStringLiteral("savpath"), QString());
        plan.ifdel = ini_.readBool(section, QStringLiteral("ifdel"), false);
        contents.plans.push_back(std::move(plan));
    }
    return contents;
}

int PlanFile::GetNameIndx() const
{
    // The counter alone would hand out a number again after [last] was removed or lowered by hand, and the
    // new plan would overwrite the old one's section; every number the file uses counts.
    int highest = std::max(0, ini_.readInteger(kLast, kLast, 0));
    for (const auto& [key, section] : ini_.sectionEntries(kName))
        highest =
            std::max({highest, numberAfter(key, QStringLiteral("n")), numberAfter(section, QStringLiteral("key"))});
    for (const QString& section : ini_.sectionNames())
        highest = std::max(highest, numberAfter(section, QStringLiteral("key")));
    return highest + 1;
}

void PlanFile::savCfg(int number, const StrucRec& plan, bool newPlan)
{
    ini_.update([&] { writePlan(number, plan, newPlan); });
}

void PlanFile::writePlan(int number, const StrucRec& plan, bool newPlan)
{
    if (newPlan)
        ini_.writeInteger(kLast, kLast, number);
    const QString section = sectionOf(number);
    ini_.writeString(kName, indexKeyOf(number), section);
    ini_.writeInteger(section, QStringLiteral("ztype"), plan.ztype);
    ini_.writeString(section, QStringLiteral("name"), plan.name);
    ini_.writeString(section, QStringLiteral("tpname"), plan.tpname);
    ini_.writeString(section, QStringLiteral("urlStr"), plan.urlStr);
    ini_.writeString(section, QStringLiteral("tilStr"), plan.tilStr);
    ini_.writeString(section, QStringLiteral("conStr"), plan.conStr);
    ini_.writeString(section, QStringLiteral("lday"), plan.lday);
    ini_.writeString(section, QStringLiteral("hday"), plan.hday);
    ini_.writeInteger(section, QStringLiteral("days"), plan.days);
    ini_.writeInteger(section, QStringLiteral("lsize"), plan.lsize);
    ini_.writeInteger(section, QStringLiteral("hsize"), plan.hsize);
    ini_.writeString(section, QStringLiteral("savpath"), plan.savpath);
    ini_.writeBool(section, QStringLiteral("ifdel"), plan.ifdel);
}

void PlanFile::deletePlan(const StrucRec& plan)
{
    const int number = planNumber(plan.keyName);
    ini_.update([&] {
        ini_.removeKey(kName, indexKeyOf(number));
        ini_.eraseSection(sectionOf(number));
    });
}

void PlanFile::writeDocumentTypes(const QString& list)
{
    ini_.writeString(kType, kDoc, list);
}

void PlanFile::writeResourceTypes(const QString& list)
{
    ini_.writeString(kType, kSou, list);
}

int PlanFile::planNumber(const QString& keyName)
{
    const int number = numberAfter(keyName, QStringLiteral("key"));
    if (number < 0)
        throw std::invalid_argument(QStringLiteral("“%1”不是有效的方案节名").arg(keyName).toUtf8().toStdString());
    return number;
}
