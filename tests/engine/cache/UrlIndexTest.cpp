#include "engine/cache/UrlIndex.h"

#include <functional>
#include <gtest/gtest.h>

namespace
{

const QString kPage = QStringLiteral("https://example.org/");
const QString kStyle = QStringLiteral("https://example.org/style.css");

QDateTime at(const int second)
{
    return QDateTime::fromSecsSinceEpoch(1'700'000'000 + second, Qt::UTC);
}

// Two URLs, candidates added out of order, some used in the same second.
UrlIndex<QString> filledIndex()
{
    UrlIndex<QString> index;
    index.add(kPage, QStringLiteral("c"), at(5));
    index.add(kStyle, QStringLiteral("s"), at(1));
    index.add(kPage, QStringLiteral("old"), at(1));
    index.add(kPage, QStringLiteral("b"), at(5));
    index.add(kPage, QStringLiteral("new"), at(9));
    index.add(kPage, QStringLiteral("a"), at(5));
    return index;
}

TEST(UrlIndex, ListsCandidatesMostRecentlyUsedFirstWithTheCallersTieBreak)
{
    UrlIndex<QString> index = filledIndex();
    EXPECT_FALSE(index.isFinished());
    index.finish(std::less<QString>());
    EXPECT_TRUE(index.isFinished());
    EXPECT_EQ(index.candidates(kPage), (QList<QString>{"new", "a", "b", "c", "old"}));
    EXPECT_EQ(index.candidates(kStyle), QList<QString>{"s"});
}

TEST(UrlIndex, KeepsTheOrderOfAddingAmongTiesWithoutATieBreak)
{
    UrlIndex<QString> index = filledIndex();
    index.finish();
    EXPECT_EQ(index.candidates(kPage), (QList<QString>{"new", "c", "b", "a", "old"}));
}

TEST(UrlIndex, TakeHandsOverTheCandidatesAndForgetsTheUrl)
{
    UrlIndex<QString> index = filledIndex();
    index.finish(std::less<QString>());
    EXPECT_EQ(index.take(kPage), (QList<QString>{"new", "a", "b", "c", "old"}));
    EXPECT_TRUE(index.candidates(kPage).isEmpty());
    EXPECT_TRUE(index.take(kPage).isEmpty());
    EXPECT_EQ(index.candidates(kStyle), QList<QString>{"s"});
}

TEST(UrlIndex, LearnsAnEntryWrittenAfterItWasFinishedAsTheMostRecent)
{
    UrlIndex<QString> index = filledIndex();
    index.learn(kStyle, QStringLiteral("ignored"));
    index.finish(std::less<QString>());
    EXPECT_EQ(index.candidates(kStyle), QList<QString>{"s"});
    index.learn(kPage, QStringLiteral("c"));
    index.learn(kStyle, QStringLiteral("t"));
    index.learn(QStringLiteral("https://example.org/new.png"), QStringLiteral("p"));
    EXPECT_EQ(index.candidates(kPage), (QList<QString>{"c", "new", "a", "b", "old"}));
    EXPECT_EQ(index.candidates(kStyle), (QList<QString>{"t", "s"}));
    EXPECT_EQ(index.candidates(QStringLiteral("https://example.org/new.png")), QList<QString>{"p"});
    index.clear();
    EXPECT_FALSE(index.isFinished());
    EXPECT_TRUE(index.candidates(kPage).isEmpty());
}

TEST(UrlIndex, RemoveIfDropsOnlyTheCandidatesItMatches)
{
    UrlIndex<QString> index = filledIndex();
    index.finish(std::less<QString>());
    index.removeIf(kPage, [](const QString& name) { return name.size() == 1; });
    EXPECT_EQ(index.candidates(kPage), (QList<QString>{"new", "old"}));
    index.removeIf(kStyle, [](const QString&) { return true; });
    EXPECT_TRUE(index.candidates(kStyle).isEmpty());
}

TEST(UrlIndex, GivesNothingForAnUnknownUrl)
{
    const QString unknown = QStringLiteral("https://example.org/missing");
    UrlIndex<QString> index = filledIndex();
    index.finish();
    index.removeIf(unknown, [](const QString&) { return true; });
    EXPECT_TRUE(index.candidates(unknown).isEmpty());
    EXPECT_TRUE(index.take(unknown).isEmpty());
    EXPECT_EQ(index.candidates(kPage).size(), 5);
}

} // namespace
