#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <stdexcept>

struct sqlite3;
struct sqlite3_stmt;

// One connection to an existing SQLite database file, closed when the object goes. Failures throw
// SqliteDatabase::Error with SQLite's result code, so a caller can tell a locked database from a broken one.
class SqliteDatabase
{
public:
    class Error : public std::runtime_error
    {
    public:
        Error(int code, const QString& message);
        int code() const { return code_; }
        // SQLITE_BUSY or SQLITE_LOCKED: another connection holds the database.
        bool isLocked() const;

    private:
        int code_;
    };

    // Opens for reading and writing; never creates the file. `busyTimeout` is how long a statement waits
    // for another connection's lock before it fails as locked.
    SqliteDatabase(const QString& path, std::chrono::milliseconds busyTimeout);
    ~SqliteDatabase();

    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // Runs statements that return no rows of interest.
    void execute(const QString& sql);
    // Runs one statement with a single "?" once for each of `values`.
    void executeForEach(const QString& sql, const QStringList& values);
    bool hasTable(const QString& table);
    QStringList columnsOf(const QString& table);
    // The first column of each row of a query.
    QStringList textColumn(const QString& sql);

private:
    using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

    Statement prepare(const QString& sql);
    [[noreturn]] void fail(int code) const;

    sqlite3* db_ = nullptr;
};
