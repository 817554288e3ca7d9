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

    // Closes the file and renames it over `destination` (in the same folder); false, with errorText, when
    // either fails. The data is not forced to the disk: a harvest writes thousands of files, and a sync
    // for each made it many times slower; ext4 writes a file renamed over another before the rename.
    bool commitAs(const QString& destination);

    // What the last failing call met, as the system words it.
    QString errorText() const { return error_; }

private:
    void noteError();

    QByteArray path_;
    int fd_ = -1;
    bool created_ = false;
    bool renamed_ = false;
    QString error_;
};
