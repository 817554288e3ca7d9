#pragma once

#include <QByteArray>
#include <QString>

class DestinationNamer;
class QDateTime;

// A new file in a save folder, written and then put in place as a whole, or dropped: a reader never sees
// half a file, and a failure leaves the folder as it was.
//
// Where the file system can (ext4, tmpfs, xfs, btrfs), the file has no name at all until it is linked
// into place (O_TMPFILE): nothing is left behind however the program ends, and the folder changes once,
// not twice. Elsewhere it is a hidden ".webgleaner-*.part" file that is renamed into place.
// Not thread-safe; one thread writes it, another may place it once the writer is done.
class TemporaryBesideFile
{
public:
    // Creates the file in `folder`; isOpen() tells whether that worked, errorText() why not.
    explicit TemporaryBesideFile(const QString& folder);
    // Removes the file unless it was put in place.
    ~TemporaryBesideFile();

    TemporaryBesideFile(const TemporaryBesideFile&) = delete;
    TemporaryBesideFile& operator=(const TemporaryBesideFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    enum class Placement
    {
        Placed,    // the file is at the destination now
        Identical, // the destination holds exactly these bytes already; this file is dropped
        Taken,     // the destination is something else; nothing changed
        Failed,    // see errorText
    };

    // Puts the file at `destination` (in the same folder) unless something is there already: another
    // file is never replaced. Can be called again with another destination after Taken.
    Placement placeAs(const QString& destination);
    // Puts the file at the first path `names` yields that is free or already holds these bytes; Taken
    // when every one is taken by other content.
    Placement placeAtFirstFree(DestinationNamer& names);

    // Removes from `folder` the hidden part files that saves interrupted by a crash or a kill left behind
    // where the file system has no unnamed files: regular files named as this class names them, last
    // written before `writtenBefore`, by a process that is gone. Files of this process, and of another
    // that still runs, may be saves in progress and stay. Returns how many were removed.
    static int removeLeftovers(const QString& folder, const QDateTime& writtenBefore);

    // What the last failing call met, as the system words it.
    QString errorText() const { return error_; }

private:
    void noteError();
    bool closeFile();
    // Links the unnamed file to `target`: 0, or the errno of the failure.
    int linkUnnamed(const QByteArray& target) const;
    // Whether the regular file at `path` holds exactly what this file holds.
    bool sameBytesAs(const QByteArray& path) const;

    QByteArray path_; // the hidden name; empty for an unnamed file
    int fd_ = -1;
    bool unnamed_ = false;
    bool created_ = false;
    bool placed_ = false;
    bool closeFailed_ = false;
    QString error_;
};
