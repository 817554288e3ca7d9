#include "util/SqliteDatabase.h"

#include <sqlite3.h>

SqliteDatabase::Error::Error(int code, const QString& message) : std::runtime_error(message.toStdString()), code_(code)
{}

bool SqliteDatabase::Error::isLocked() const
{
    const int primary = code_ & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

SqliteDatabase::SqliteDatabase(const QString& path, std::chrono::milliseconds busyTimeout)
{
    const int opened = sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    if (opened != SQLITE_OK) {
        const QString message = QString::fromUtf8(db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(opened));
        sqlite3_close(db_);
        db_ = nullptr;
        throw Error(opened, message);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, int(busyTimeout.count()));
}

SqliteDatabase::~SqliteDatabase()
{
    // Closing rolls back a transaction still open.
    sqlite3_close(db_);
}

void SqliteDatabase::fail(int code) const
{
    throw Error(code, QString::fromUtf8(sqlite3_errmsg(db_)));
}

SqliteDatabase::Statement SqliteDatabase::prepare(const QString& sql)
{
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare_v2(db_, text.constData(), int(text.size()), &raw, nullptr);
    Statement statement(raw, &sqlite3_finalize);
    if (prepared != SQLITE_OK)
        fail(prepared);
    return statement;
}

void SqliteDatabase::execute(const QString& sql)
{
    const int result = sqlite3_exec(db_, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
    if (result != SQLITE_OK)
        fail(result);
}

void SqliteDatabase::executeForEach(const QString& sql, const QStringList& values)
{
    const Statement statement = prepare(sql);
    for (const QString& value : values) {
        const QByteArray bound = value.toUtf8();
        sqlite3_reset(statement.get());
        sqlite3_bind_text(statement.get(), 1, bound.constData(), int(bound.size()), SQLITE_TRANSIENT);
        const int step = sqlite3_step(statement.get());
        if (step != SQLITE_DONE && step != SQLITE_ROW)
            fail(step);
    }
}

QStringList SqliteDatabase::textColumn(const QString& sql)
{
    const Statement statement = prepare(sql);
    QStringList values;
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
        values << (value ? QString::fromUtf8(value) : QString());
    }
    if (step != SQLITE_DONE)
        fail(step);
    return values;
}

bool SqliteDatabase::hasTable(const QString& table)
{
    // Names come from this program, never from the database, so quoting them in is safe.
    return !textColumn(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name = '%1'").arg(table))
                .isEmpty();
}

QStringList SqliteDatabase::columnsOf(const QString& table)
{
    return textColumn(QStringLiteral("SELECT name FROM pragma_table_info('%1')").arg(table));
}
