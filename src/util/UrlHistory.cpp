#include "util/UrlHistory.h"

#include "util/SqliteDatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <stdexcept>

namespace
{

void collectBookmarkedUrls(const QJsonValue& node, QStringList& urls)
{
    const QJsonObject object = node.toObject();
    if (object.value(QLatin1String("type")).toString() == QLatin1String("url"))
        urls << object.value(QLatin1String("url")).toString();
    for (const QJsonValue child : object.value(QLatin1String("children")).toArray())
        collectBookmarkedUrls(child, urls);
}

// The addresses a Chromium profile has bookmarked: its Bookmarks file, and the account's when signed in.
// A file that cannot be read keeps nothing; the bookmarks themselves live in it and are not touched.
QStringList chromiumBookmarks(const QString& profileFolder)
{
    QStringList urls;
    for (const char* name : {"Bookmarks", "AccountBookmarks"}) {
        QFile file(QDir(profileFolder).filePath(QLatin1String(name)));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject roots =
            QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("roots")).toObject();
        for (const QJsonValue root : roots)
            collectBookmarkedUrls(root, urls);
    }
    return urls;
}

// Deletes every row of each table that exists; browsers add and drop such tables from one version to the next.
void emptyTables(SqliteDatabase& db, const QStringList& tables)
{
    for (const QString& table : tables) {
        if (db.hasTable(table))
            db.execute(QStringLiteral("DELETE FROM %1").arg(table));
    }
}

// Runs `clear` in one transaction. BEGIN IMMEDIATE takes the write lock at once, so a database that a
// running browser holds fails here, before anything has changed.
void inTransaction(const QString& database, const std::function<void(SqliteDatabase&)>& clear)
{
    SqliteDatabase db(database, UrlHistory::kBusyTimeout);
    db.execute(QStringLiteral("BEGIN IMMEDIATE"));
    clear(db);
    db.execute(QStringLiteral("COMMIT"));
}

// Runs `clear` on `store`; a failure is added to `failures` as one text naming the store.
void attempt(QStringList& failures, const QString& store, const std::function<void()>& clear)
{
    try {
        clear();
    } catch (const SqliteDatabase::Error& error) {
        failures
            << (error.isLocked()
                    ? QStringLiteral("历史记录数据库被占用（浏览器可能正在运行），未清除：%1").arg(store)
                    : QStringLiteral("历史记录数据库未清除：%1（%2）").arg(store, QString::fromUtf8(error.what())));
    } catch (const std::exception& error) {
        failures << QStringLiteral("历史记录未清除：%1（%2）").arg(store, QString::fromUtf8(error.what()));
    }
}

} // namespace

const QString UrlHistory::kFirefoxDatabase = QStringLiteral("places.sqlite");
const QString UrlHistory::kChromiumDatabase = QStringLiteral("History");

QStringList UrlHistory::ClearUrlHistory(const QStringList& profileFolders)
{
    QStringList failures;
    for (const QString& folder : profileFolders) {
        const QString firefox = QDir(folder).filePath(kFirefoxDatabase);
        const QString chromium = QDir(folder).filePath(kChromiumDatabase);
        if (QFileInfo(firefox).isFile())
            attempt(failures, firefox, [&] { clearFirefox(firefox); });
        else if (QFileInfo(chromium).isFile())
            attempt(failures, chromium, [&] { clearChromium(folder); });
    }
    return failures;
}

QString UrlHistory::failureText(const QStringList& failures)
{
    return failures.join(QStringLiteral("；"));
}

void UrlHistory::clearFirefox(const QString& database)
{
    inTransaction(database, [](SqliteDatabase& db) {
        // Visits and what was learnt from them: typed input, page interactions, new-tab clicks.
        emptyTables(db, {QStringLiteral("moz_historyvisits"), QStringLiteral("moz_historyvisits_extra"),
                         QStringLiteral("moz_inputhistory"), QStringLiteral("moz_places_metadata"),
                         QStringLiteral("moz_places_metadata_search_queries"),
                         QStringLiteral("moz_newtab_shortcuts_interaction")});
        // A place is kept while a bookmark or keyword refers to it (foreign_count), as Firefox does.
        const QString unreferenced = QStringLiteral("SELECT id FROM moz_places WHERE foreign_count = 0");
        for (const QString& table : {QStringLiteral("moz_annos"), QStringLiteral("moz_places_extra")}) {
            if (db.hasTable(table))
                db.execute(QStringLiteral("DELETE FROM %1 WHERE place_id IN (%2)").arg(table, unreferenced));
        }
        db.execute(QStringLiteral("DELETE FROM moz_places WHERE foreign_count = 0"));
        if (db.hasTable(QStringLiteral("moz_origins")))
            db.execute(QStringLiteral("DELETE FROM moz_origins WHERE NOT EXISTS "
                                      "(SELECT 1 FROM moz_places WHERE moz_places.origin_id = moz_origins.id)"));
        QString reset = QStringLiteral("UPDATE moz_places SET visit_count = 0, last_visit_date = NULL, typed = 0");
        // Firefox computes the ranks of the kept places again where it is told to.
        const QStringList columns = db.columnsOf(QStringLiteral("moz_places"));
        for (const QString& flag : {QStringLiteral("recalc_frecency"), QStringLiteral("recalc_alt_frecency")}) {
            if (columns.contains(flag))
                reset += QStringLiteral(", %1 = 1").arg(flag);
        }
        db.execute(reset);
    });
}

void UrlHistory::clearChromium(const QString& profileFolder)
{
    const QStringList bookmarked = chromiumBookmarks(profileFolder);
    inTransaction(QDir(profileFolder).filePath(kChromiumDatabase), [&bookmarked](SqliteDatabase& db) {
        emptyTables(db, {QStringLiteral("visits"), QStringLiteral("visit_source"), QStringLiteral("visited_links"),
                         QStringLiteral("keyword_search_terms"), QStringLiteral("segments"),
                         QStringLiteral("segment_usage"), QStringLiteral("content_annotations"),
                         QStringLiteral("context_annotations"), QStringLiteral("clusters"),
                         QStringLiteral("clusters_and_visits"), QStringLiteral("cluster_keywords"),
                         QStringLiteral("cluster_visit_duplicates"), QStringLiteral("journeys"),
                         QStringLiteral("journey_history_entries"), QStringLiteral("journey_continuation_queries")});
        // As Chromium does when it deletes all history: bookmarked addresses stay, with no visits.
        db.execute(QStringLiteral("CREATE TEMP TABLE kept_urls (url TEXT PRIMARY KEY)"));
        db.executeForEach(QStringLiteral("INSERT OR IGNORE INTO kept_urls (url) VALUES (?)"), bookmarked);
        db.execute(QStringLiteral("DELETE FROM urls WHERE url NOT IN (SELECT url FROM kept_urls)"));
        db.execute(QStringLiteral("UPDATE urls SET visit_count = 0, typed_count = 0, last_visit_time = 0"));
        db.execute(QStringLiteral("DROP TABLE kept_urls"));
    });
    // The browser's table of visited links for link colouring, built again from the (now empty) history.
    QFile::remove(QDir(profileFolder).filePath(QStringLiteral("Visited Links")));
}
