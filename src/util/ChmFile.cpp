#include "util/ChmFile.h"

#include <QFile>
#include <chm_lib.h>

std::unique_ptr<ChmFile> ChmFile::open(const QString& path)
{
    chmFile* const file = chm_open(QFile::encodeName(path).constData());
    if (file == nullptr)
        return nullptr;
    return std::unique_ptr<ChmFile>(new ChmFile(file));
}

ChmFile::~ChmFile()
{
    chm_close(file_);
}

std::optional<QByteArray> ChmFile::read(const QString& objectPath) const
{
    chmUnitInfo unit{};
    if (chm_resolve_object(file_, objectPath.toUtf8().constData(), &unit) != CHM_RESOLVE_SUCCESS)
        return std::nullopt;
    if (unit.length > quint64(kMaxObjectSize))
        return std::nullopt;
    QByteArray bytes(qsizetype(unit.length), Qt::Uninitialized);
    const LONGINT64 got =
        chm_retrieve_object(file_, &unit, reinterpret_cast<unsigned char*>(bytes.data()), 0, LONGINT64(unit.length));
    if (got != LONGINT64(unit.length))
        return std::nullopt;
    return bytes;
}
