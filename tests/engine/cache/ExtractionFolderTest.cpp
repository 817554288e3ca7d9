#include "engine/cache/ExtractionFolder.h"
#include "TestFolders.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace
{

TEST(ExtractionFolder, IsAFreshFolderUnderTheTemporaryFolderRemovedAtTheEnd)
{
    auto folder = std::make_unique<ExtractionFolder>();
    ASSERT_TRUE(folder->isValid());
    const QFileInfo info(folder->path());
    EXPECT_TRUE(info.isDir());
    EXPECT_EQ(QDir(info.absolutePath()).canonicalPath(), QDir(QDir::tempPath()).canonicalPath());
    EXPECT_TRUE(info.fileName().startsWith(QStringLiteral("webgleaner-")));
    EXPECT_TRUE(QDir(folder->path()).isEmpty());

    // A second process-wide folder would not clash with the first.
    const ExtractionFolder other;
    EXPECT_NE(other.path(), folder->path());

    ASSERT_TRUE(writeFileBytes(folder->pathFor(QStringLiteral("entry"), LocalFileName{"logo", "gif"}), "GIF89a"));
    const QString path = folder->path();
    folder.reset();
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(ExtractionFolder, NumbersNamesPerFolderAndKeepsThemPerEntry)
{
    ExtractionFolder folder;
    const QDir dir(folder.path());
    struct Request
    {
        const char* entryId;
        LocalFileName name;
        const char* fileName;
    };
    const Request requests[] = {
        {"a", {"logo", "gif"}, "logo[1].gif"},
        {"b", {"logo", "gif"}, "logo[2].gif"},
        {"a", {"logo", "gif"}, "logo[1].gif"}, // the same entry asks again
        {"c", {"LOGO", "GIF"}, "LOGO[3].GIF"}, // differs only in case: a clash on case-insensitive disks
        {"d", {"logo", "png"}, "logo[1].png"},
        {"e", {"logo", ""}, "logo[1]"},
        {"f", {"index", "htm"}, "index[1].htm"},
        {"b", {"other", "gif"}, "logo[2].gif"}, // an entry keeps its first name
        {"g", {":", "htm"}, ":[1].htm"},        // a name Qt would take for a resource path
    };
    for (const Request& request : requests) {
        EXPECT_EQ(folder.pathFor(QString::fromLatin1(request.entryId), request.name),
                  dir.path() + '/' + QString::fromLatin1(request.fileName))
            << request.entryId;
    }
}

TEST(ExtractionFolder, NamesStayDistinctWhenLargeCountersCutTheStem)
{
    // From [1000] on a long stem is cut to make room, and the cut name is the one a shorter stem
    // reaches at the same counter.
    ExtractionFolder folder;
    const LocalFileName longStem{QString(95, u'x'), QString()};
    const LocalFileName cutStem{QString(94, u'x'), QString()};
    QSet<QString> paths;
    for (int i = 1; i <= 1000; ++i)
        paths.insert(folder.pathFor(QStringLiteral("long%1").arg(i), longStem));
    EXPECT_TRUE(paths.contains(folder.path() + '/' + QString(94, u'x') + "[1000]"));
    for (int i = 1; i <= 1000; ++i)
        paths.insert(folder.pathFor(QStringLiteral("cut%1").arg(i), cutStem));
    EXPECT_EQ(paths.size(), 2000);
    EXPECT_TRUE(paths.contains(folder.path() + '/' + QString(94, u'x') + "[1001]"));
}

TEST(ExtractionFolder, GivesEachEntryOneNameAcrossThreads)
{
    ExtractionFolder folder;
    constexpr int kThreads = 4;
    constexpr int kEntries = 300;
    // Every thread asks for every entry, all under the same name, in a different order.
    std::vector<std::vector<QString>> pathsByThread(kThreads, std::vector<QString>(kEntries));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&folder, &pathsByThread, t] {
            for (int i = 0; i < kEntries; ++i) {
                const int entry = (t % 2 == 0) ? i : kEntries - 1 - i;
                pathsByThread[t][entry] = folder.pathFor(QString::number(entry), LocalFileName{"index", "htm"});
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    QSet<QString> distinct;
    for (int entry = 0; entry < kEntries; ++entry) {
        for (int t = 1; t < kThreads; ++t)
            EXPECT_EQ(pathsByThread[t][entry], pathsByThread[0][entry]);
        distinct.insert(pathsByThread[0][entry]);
    }
    EXPECT_EQ(distinct.size(), kEntries);
    EXPECT_TRUE(distinct.contains(QDir(folder.path()).filePath(QStringLiteral("index[%1].htm").arg(kEntries))));
}

} // namespace
