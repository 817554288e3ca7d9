#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

// Something in a file's place that cannot be read as that file. A folder and a FIFO work for every user;
// a FIFO also proves a file is left alone, since a save would rename a new file over it. A file without
// read permission stops every user but root.
class UnreadablePlace
{
public:
    enum class Kind
    {
        Folder,
        Fifo,
        NoPermission
    };
    static constexpr Kind kKinds[] = {Kind::Folder, Kind::Fifo, Kind::NoPermission};

    static const char* name(Kind kind)
    {
        switch (kind) {
        case Kind::Folder:
            return "folder";
        case Kind::Fifo:
            return "FIFO";
        case Kind::NoPermission:
            return "no permission";
        }
        return "";
    }

    // False, with a line on stdout so that the skipped case is seen, when `kind` would not keep this user
    // from reading.
    static bool stopsThisUser(Kind kind)
    {
        if (kind != Kind::NoPermission || ::geteuid() != 0)
            return true;
        std::cout << "root reads files without permission; skipped: " << name(kind) << '\n';
        return false;
    }

    // Puts one at `path`; the file without read permission holds `content`.
    static bool make(Kind kind, const QString& path, const QByteArray& content = "[s]\na=1\n")
    {
        switch (kind) {
        case Kind::Folder:
            return QDir().mkdir(path);
        case Kind::Fifo:
            return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
        case Kind::NoPermission: {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
                return false;
            file.close();
            return QFile::setPermissions(path, QFileDevice::WriteOwner);
        }
        }
        return false;
    }
};
