#pragma once

#include <QByteArray>
#include <QString>

// A new file in a save folder under a hidden temporary name, written and then renamed into place as a
// whole, or removed: a reader never sees half a file, and a failure leaves the folder as it was.
// Not thread-safe; one thread writes it, another may commit it once the writer is done.
class TemporaryBesideFile
{
public:
    // Creates the file in `folder`; isOpen() tells whether that worked, errorText() why not.
    explicit TemporaryBesideFile(const QString& folder);
    // Removes the file unless it was renamed into place.
    ~TemporaryBesideFile();

    TemporaryBesideFile(const TemporaryBesideFile&) = delete;
    TemporaryBesideFile& operator=(const TemporaryBesideFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const QByteArray& path() const { return path_; }

    // Empties the file to start it afresh.
    bool truncate();

    enum class Placement
    {
        Placed,    // renamed to the destination
        Identical, // the destination holds exactly these bytes already; this file is dropped
        Taken,     // the destination is something else; nothing changed
        Failed,    // see errorText
    };

    // Closes the file and renames it to `destination` (in the same folder) unless something is there
    // already: another file is never replaced. Can be called again with another destination after Taken.
    Placement placeAs(const QString& destination);

    // Closes the file and renames it over `destination` (in the same folder); false, with errorText, when
    // either fails. The data is not forced to the disk: a harvest writes thousands of files, and a sync
    // for each made it many times slower; ext4 writes a file renamed over another before the rename.
    bool commitAs(const QString& destination);

    // What the last failing call met, as the system words it.
    QString errorText() const { return error_; }

private:
    void noteError();
    bool closeFile();
    // Whether the regular file at `path` holds exactly what this file holds.
    bool sameBytesAs(const QByteArray& path) const;

    QByteArray path_;
    int fd_ = -1;
    bool created_ = false;
    bool renamed_ = false;
    bool closeFailed_ = false;
    QString error_;
};
