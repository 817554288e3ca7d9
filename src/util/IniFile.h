#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// An INI file kept in memory and written through to disk on every change.
//
// Section and key names compare without regard to case; the order of lines, comments and unknown lines
// are kept. Each change rewrites the whole file under a temporary name and renames it over the old one,
// so a crash never leaves half a file. The file is read as UTF-8, line by line falling back to GBK for
// files written by the old Windows program, or as UTF-16 when it starts with a byte order mark; it is
// always written as UTF-8. CR LF, LF and a lone CR (old Mac editors) all end a line.
class IniFile
{
public:
    // Reads `path` if it exists; a missing file is an empty one, created by the first write.
    explicit IniFile(QString path);

    const QString& path() const { return path_; }

    // Why the file could not be read (not a regular file, no permission, an I/O error); empty when it was
    // read or is missing. Such a file reads as empty and is never written: replacing it would lose
    // whatever it holds, so the writers throw instead.
    const QString& readError() const { return readError_; }

    QString readString(const QString& section, const QString& key, const QString& defaultValue) const;
    // A missing key or a value that is not a whole number gives the default.
    int readInteger(const QString& section, const QString& key, int defaultValue) const;
    // "1" and any other non-zero number read as true.
    bool readBool(const QString& section, const QString& key, bool defaultValue) const;

    // Key and value of each line of the section, in file order.
    QList<QPair<QString, QString>> sectionEntries(const QString& section) const;
    QStringList sectionNames() const;
    bool hasSection(const QString& section) const { return findSection(section) != nullptr; }

    // The writers throw std::runtime_error when the file cannot be written; memory then already holds
    // the change.
    void writeString(const QString& section, const QString& key, const QString& value);
    void writeInteger(const QString& section, const QString& key, int value);
    void writeBool(const QString& section, const QString& key, bool value);
    void removeKey(const QString& section, const QString& key);
    void eraseSection(const QString& section);

    // Runs `changes` (calls of the writers above) and writes the file once at the end, so a group of
    // changes reaches the disk whole or not at all.
    template <typename Changes>
    void update(Changes&& changes)
    {
        ++deferredSaves_;
        try {
            changes();
        } catch (...) {
            --deferredSaves_;
            throw;
        }
        --deferredSaves_;
        save();
    }

private:
    struct Section
    {
        qsizetype header = -1;          // line of "[name]"
        qsizetype end = -1;             // one past its last line
        QHash<QString, qsizetype> keys; // case-folded key -> line of its first occurrence
    };

    // Where every section and key is, so that a lookup does not walk the lines: reading each field of
    // thousands of plans by walking would take time quadratic in the file's size. Built on the first
    // lookup after a change that moved lines, so even the const readers change the object: one thread at
    // a time.
    struct Index
    {
        std::vector<Section> sections;
        QHash<QString, qsizetype> byName; // case-folded name -> its first section in `sections`
    };

    const Index& index() const;
    // The first section of that name, as the old program's reader took it, or null.
    const Section* findSection(const QString& section) const;
    qsizetype findKey(const Section* section, const QString& key) const;
    void linesMoved() { index_.reset(); }
    void save() const;
    void saveUnlessDeferred() const;

    QString path_;
    QString readError_;
    int deferredSaves_ = 0;
    QStringList lines_;
    mutable std::optional<Index> index_;
};
