#include "engine/warc/WaczPackage.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <zip.h>

namespace
{

struct ZipCloser
{
    zip_t* archive;
    ~ZipCloser()
    {
        if (archive != nullptr)
            zip_discard(archive);
    }
};

QString zipError(zip_t* archive)
{
    return QString::fromLocal8Bit(zip_strerror(archive));
}

// The file's SHA-256 as datapackage.json labels it, and its size; empty when it cannot be read.
std::pair<QByteArray, qint64> fileDigest(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return {"sha256:" + hash.result().toHex(), file.size()};
}

QJsonObject resource(const QString& path, const QByteArray& hash, qint64 bytes)
{
    return QJsonObject{{QStringLiteral("name"), QFileInfo(path).fileName()},
                       {QStringLiteral("path"), path},
                       {QStringLiteral("hash"), QString::fromLatin1(hash)},
                       {QStringLiteral("bytes"), bytes}};
}

} // namespace

QByteArray WaczPackage::pagesHeader()
{
    const QJsonObject header{{QStringLiteral("format"), QStringLiteral("json-pages-1.0")},
                             {QStringLiteral("id"), QStringLiteral("pages")},
                             {QStringLiteral("title"), QStringLiteral("All Pages")},
                             {QStringLiteral("hasText"), true}};
    return QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray WaczPackage::pageLine(const QString& url, const QDateTime& time, const QString& title, const QString& text)
{
    const QJsonObject page{{QStringLiteral("url"), url},
                           {QStringLiteral("ts"), time.toUTC().toString(Qt::ISODate)},
                           {QStringLiteral("title"), title},
                           {QStringLiteral("text"), text}};
    return QJsonDocument(page).toJson(QJsonDocument::Compact) + '\n';
}

QString WaczPackage::write(const QString& path, const Parts& parts)
{
    const auto [warcHash, warcBytes] = fileDigest(parts.warcFile);
    const auto [pagesHash, pagesBytes] = fileDigest(parts.pagesFile);
    if (warcHash.isEmpty() || pagesHash.isEmpty())
        return QStringLiteral("无法读取临时文件");
    const QByteArray indexHash = "sha256:" + QCryptographicHash::hash(parts.index, QCryptographicHash::Sha256).toHex();

    const QJsonObject package{{QStringLiteral("profile"), QStringLiteral("data-package")},
                              {QStringLiteral("wacz_version"), QStringLiteral("1.1.1")},
                              {QStringLiteral("software"), QString::fromUtf8(parts.software)},
                              {QStringLiteral("created"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
                              {QStringLiteral("resources"),
                               QJsonArray{resource(QStringLiteral("archive/data.warc.gz"), warcHash, warcBytes),
                                          resource(QStringLiteral("indexes/index.cdxj"), indexHash, parts.index.size()),
                                          resource(QStringLiteral("pages/pages.jsonl"), pagesHash, pagesBytes)}}};
    const QByteArray packageJson = QJsonDocument(package).toJson(QJsonDocument::Indented);

    int error = 0;
    ZipCloser zip{zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error)};
    if (zip.archive == nullptr) {
        zip_error_t details;
        zip_error_init_with_code(&details, error);
        const QString text = QString::fromLocal8Bit(zip_error_strerror(&details));
        zip_error_fini(&details);
        return text;
    }
    // Each source is made as its member is added: one the archive does not take is freed here.
    struct Member
    {
        const char* name;
        QByteArray file;         // the member's bytes are this file's ...
        const QByteArray* bytes; // ... or these
        bool stored;
    };
    const Member members[] = {
        {"archive/data.warc.gz", QFile::encodeName(parts.warcFile), nullptr, true},
        {"indexes/index.cdxj", {}, &parts.index, true},
        {"pages/pages.jsonl", QFile::encodeName(parts.pagesFile), nullptr, false},
        {"datapackage.json", {}, &packageJson, false},
    };
    for (const Member& member : members) {
        zip_source_t* const source =
            member.bytes != nullptr
                ? zip_source_buffer(zip.archive, member.bytes->constData(), zip_uint64_t(member.bytes->size()), 0)
                : zip_source_file(zip.archive, member.file.constData(), 0, -1);
        if (source == nullptr)
            return zipError(zip.archive);
        const zip_int64_t index = zip_file_add(zip.archive, member.name, source, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(source);
            return zipError(zip.archive);
        }
        if (zip_set_file_compression(zip.archive, zip_uint64_t(index), member.stored ? ZIP_CM_STORE : ZIP_CM_DEFLATE,
                                     0) != 0)
            return zipError(zip.archive);
    }
    if (zip_close(zip.archive) != 0)
        return zipError(zip.archive);
    zip.archive = nullptr;
    return {};
}
