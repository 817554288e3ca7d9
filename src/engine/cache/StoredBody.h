#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <sys/stat.h>

class FolderHandle;

// Where an entry's body lies inside the cache's own files, as the server sent it: one byte range of one
// file, or, for a resource the browser fetched in ranges and stored as they came, several pieces.
struct StoredBody
{
    // One contiguous byte range of one file.
    struct Piece
    {
        QString file;
        qint64 offset = 0;
        qint64 length = 0;
    };

    QString file;            // full path of the cache file holding the body (its first piece)
    qint64 offset = 0;       // first byte of the body (of its first piece) in that file
    qint64 length = 0;       // stored (still encoded) length in bytes, all pieces together
    QString contentEncoding; // the response's Content-Encoding, lower case; empty for identity
    // The CRC-32 the cache recorded for the stored bytes, where it keeps one: checked when the body is
    // read, so a damaged body is never extracted as if it were whole.
    std::optional<quint32> storedCrc32;
    // A body in several pieces: these, in the order they make up the body (file, offset and length above
    // then describe the first piece and the whole). Empty for a body in one range.
    QList<Piece> pieces;

    // The identity of `file` when the walk read it (every piece lies in that one file where a stamp is
    // kept). Kept where the file belongs to this entry alone (an entry file, a sparse file, a body file):
    // a file with another inode, size or modification time holds another body now. Shared block files
    // carry none; their cache checks the entry's record instead (UrlCache::isCurrent).
    struct FileStamp
    {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0; // st_mtim in nanoseconds

        // The stamp of the file whose status this is.
        static FileStamp of(const struct stat& status)
        {
            return {quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
                    qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
        }

        friend bool operator==(const FileStamp&, const FileStamp&) = default;
    };
    std::optional<FileStamp> stamp;

    // The stored bytes themselves, where the walk read them anyway: with the rest of a small file, checked
    // against the recorded CRC, or with the blocks of a shared block file. Empty otherwise. A read takes
    // them from here once the file's status shows it is still the file they came from (the stamp), so a
    // small body costs one status call instead of opening and reading its file again; bytes from a shared
    // file, which has no stamp, are taken as they are, their cache checking the record (isCurrent).
    // Implicitly shared: copies of the entry share them.
    QByteArray held;

    // The open folder that holds `file` and every piece's file directly, where the walk kept one: the file is then
    // found by its name in it rather than by walking the whole path again, which costs more than the rest of a small
    // body's read. Shared by every entry of one walk.
    std::shared_ptr<const FolderHandle> folder;

    // The SHA-1 the cache recorded for the stored bytes, where it keeps one instead of a CRC: the digest of
    // sha1Salt followed by the bytes. Checked when the body is read, as storedCrc32 is.
    std::optional<std::array<unsigned char, 20>> storedSha1;
    QByteArray sha1Salt;

    // The ranges to read one after another to have the body.
    QList<Piece> allPieces() const { return pieces.isEmpty() ? QList<Piece>{Piece{file, offset, length}} : pieces; }
};
