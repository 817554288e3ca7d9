#include "util/DateText.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

namespace
{

class DateTextLocaleTest : public ::testing::TestWithParam<const char*>
{};

TEST_P(DateTextLocaleTest, DatesRoundTripWithAFourDigitYear)
{
    const QLocale locale(QString::fromLatin1(GetParam()));
    for (const QDate date : {QDate(2006, 1, 5), QDate(1999, 12, 31), QDate(2026, 12, 10)}) {
        const QString text = DateText::format(date, locale);
        EXPECT_TRUE(text.contains(QString::number(date.year()))) << text.toStdString();
        EXPECT_EQ(DateText::parse(text, locale), date) << text.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Locales, DateTextLocaleTest, ::testing::Values("C", "zh_CN", "en_US", "de_DE", "en_GB"));

TEST(DateTextTest, ParsesTheFixedFormsInAnyLocale)
{
    struct Case
    {
        const char* text;
        QDate expected;
    };
    const Case cases[] = {
        {"2006-01-05", QDate(2006, 1, 5)},
        {"2006/1/5", QDate(2006, 1, 5)},
        {"2006-1-5", QDate(2006, 1, 5)},
        {" 2006/12/31 ", QDate(2006, 12, 31)},
        {"", QDate()},
        {"yesterday", QDate()},
        {"2006-13-40", QDate()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DateText::parse(QString::fromLatin1(c.text), QLocale(QLocale::German)), c.expected) << c.text;
    }
}

TEST(DateTextTest, TimeStampHasTheTimeUnlessItIsMidnight)
{
    const QLocale locale = QLocale::c();
    const QDate day(2026, 12, 10);
    const QString date = DateText::format(day, locale);
    EXPECT_EQ(DateText::timeStamp(QDateTime(day, QTime(14, 5, 9)), locale), date + " 14:05:09");
    EXPECT_EQ(DateText::timeStamp(QDateTime(day, QTime(0, 0, 0)), locale), date);
    EXPECT_EQ(DateText::timeStamp(QDateTime(day, QTime(0, 0, 1)), locale), date + " 00:00:01");
}

} // namespace
