#include "engine/run/PageTextSearch.h"

#include <QByteArrayList>
#include <gtest/gtest.h>

namespace
{

// What the search must give, found the plain way: the page split into its lines.
std::pair<bool, bool> byLines(const QByteArray& page, const QByteArrayList& text, const QByteArrayList& title)
{
    const auto containsAny = [](const QByteArray& haystack, const QByteArrayList& needles) {
        return std::any_of(needles.begin(), needles.end(), [&](const QByteArray& n) { return haystack.contains(n); });
    };
    QByteArray normalised = page;
    normalised.replace("\r\n", "\n").replace('\r', '\n');
    bool titleFound = title.isEmpty();
    if (!title.isEmpty()) {
        for (const QByteArray& line : normalised.split('\n')) {
            if (line.contains("<title>"))
                titleFound = containsAny(line, title);
        }
    }
    return {text.isEmpty() || containsAny(page, text), titleFound};
}

TEST(PageTextSearchTest, FindsWhatThePageSplitIntoLinesGivesHoweverItIsCut)
{
    const QByteArrayList text{"今日比分", "score"};
    const QByteArrayList title{"体育", "sport"};
    const QByteArray pages[] = {
        "",
        "<title>体育新闻</title>",
        "<title>体育</title>\n<title>娱乐</title>",
        "<title>娱乐</title>\r\n<title>体育</title>\r\n",
        "<title>娱乐</title>\r<p>体育</p>",
        "<p>体育</p><title>x</title>",
        "<title>x</title><p>体育</p>\n\n\n",
        "sport\n<title>x\n</title>",
        "<titl\ne>sport",
        "<TITLE>sport</TITLE>",
        "今日\n比分 sc\rore",
        "a long line " + QByteArray("x").repeated(300) + " score " + QByteArray("y").repeated(300) + "<title>sport",
        "<title>" + QByteArray("\n").repeated(100) + "sport" + QByteArray("\r").repeated(100) + "<title>sport",
        QByteArray("<title>sport\0</title>", 20) + "\r\n\r\n今日比分",
    };
    for (const QByteArray& page : pages) {
        for (const auto& [wantedText, wantedTitle] :
             {std::pair{text, title}, std::pair{text, QByteArrayList()}, std::pair{QByteArrayList(), title}}) {
            const std::pair<bool, bool> expected = byLines(page, wantedText, wantedTitle);
            for (const qsizetype chunk : {1, 2, 3, 5, 7, 64, 100000}) {
                SCOPED_TRACE(page.left(40).toStdString() + " in chunks of " + std::to_string(chunk));
                PageTextSearch search(wantedText, wantedTitle, 1 << 20);
                for (qsizetype at = 0; at < page.size(); at += chunk)
                    ASSERT_TRUE(search.write(QByteArrayView(page).sliced(at, std::min(chunk, page.size() - at))));
                EXPECT_EQ(search.textFound(), expected.first);
                EXPECT_EQ(search.titleFound(), expected.second);
            }
        }
    }
}

TEST(PageTextSearchTest, RefusesAPageLargerThanItsSize)
{
    PageTextSearch search({"x"}, {}, 10);
    EXPECT_TRUE(search.write("0123456789"));
    EXPECT_FALSE(search.write("x"));
}

} // namespace
