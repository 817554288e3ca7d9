#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

struct chmFile;

// A compiled help file (.chm), read through chmlib. Objects are named by their absolute path inside the
// file, such as "/1.htm" or "/images/main-window.png". GUI thread only: chmlib keeps read state per file.
class ChmFile
{
public:
    // The largest object read; the program's own help has nothing near it.
    static constexpr qint64 kMaxObjectSize = qint64(32) << 20;

    // nullptr when the file is missing or is not a compiled help file.
    static std::unique_ptr<ChmFile> open(const QString& path);
    ~ChmFile();

    ChmFile(const ChmFile&) = delete;
    ChmFile& operator=(const ChmFile&) = delete;

    // The object's bytes; std::nullopt when it is not in the file, is larger than kMaxObjectSize or cannot
    // be read whole.
    std::optional<QByteArray> read(const QString& objectPath) const;

private:
    explicit ChmFile(chmFile* file) : file_(file) {}

    chmFile* const file_;
};
