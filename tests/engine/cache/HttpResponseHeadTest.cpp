#include "engine/cache/HttpResponseHead.h"

#include <gtest/gtest.h>

namespace
{

// All of a literal, NUL bytes included.
template <size_t N>
QByteArray bytes(const char (&literal)[N])
{
    return QByteArray(literal, N - 1);
}

// Heads as the browsers stored them for the same script, fetched from a local test server.
const QByteArray kFirefoxHead = QByteArrayLiteral(
    "HTTP/1.1 200 OK\r\nServer: BaseHTTP/0.6 Python/3.11.2\r\nDate: Thu, 10 Dec 2026 01:29:17 GMT\r\n"
    "Cache-Control: public, max-age=86400\r\nLast-Modified: Wed, 01 May 2024 08:00:00 GMT\r\n"
    "Access-Control-Allow-Origin: *\r\nETag: \"82b-28339\"\r\nContent-Type: application/javascript\r\n"
    "Content-Encoding: br\r\nVary: Accept-Encoding\r\nContent-Length: 351\r\n");
const QByteArray kChromiumHead = QByteArrayLiteral(
    "HTTP/1.1 200 OK\0Server: BaseHTTP/0.6 Python/3.11.2\0Date: Thu, 10 Dec 2026 00:51:24 GMT\0"
    "Cache-Control: public, max-age=86400\0Last-Modified: Wed, 01 May 2024 08:00:00 GMT\0ETag: \"82b-28339\"\0"
    "Content-Type: application/javascript\0Content-Encoding: br\0Vary: Accept-Encoding\0Content-Length: 351\0\0");

TEST(HttpResponseHead, ReadsTheHeadsBrowsersStore)
{
    for (const QByteArray& raw : {kFirefoxHead, kChromiumHead}) {
        const std::optional<HttpResponseHead> head = HttpResponseHead::parse(raw);
        ASSERT_TRUE(head);
        EXPECT_EQ(head->statusCode(), 200);
        EXPECT_EQ(head->contentType(), QStringLiteral("application/javascript"));
        EXPECT_EQ(head->contentEncoding(), QStringLiteral("br"));
        EXPECT_EQ(head->field("content-length"), QStringLiteral("351"));
        EXPECT_EQ(head->field("ETag"), QStringLiteral("\"82b-28339\""));
        EXPECT_EQ(head->field("Location"), QString());
    }
}

struct StatusLineCase
{
    const char* name;
    QByteArray raw;
    std::optional<int> statusCode;
};

std::ostream& operator<<(std::ostream& out, const StatusLineCase& c)
{
    return out << c.name;
}

class StatusLine : public testing::TestWithParam<StatusLineCase>
{};

TEST_P(StatusLine, GivesTheCodeOrRejectsTheHead)
{
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(GetParam().raw);
    EXPECT_EQ(head ? std::optional<int>(head->statusCode()) : std::nullopt, GetParam().statusCode);
}

INSTANTIATE_TEST_SUITE_P(
    HttpResponseHead, StatusLine,
    testing::Values(StatusLineCase{"Http11", "HTTP/1.1 200 OK\r\n", 200},
                    StatusLineCase{"Http10NotFound", "HTTP/1.0 404 Not Found", 404},
                    StatusLineCase{"Http2WithoutReason", "HTTP/2 206\r\nContent-Range: bytes 0-9/10\r\n", 206},
                    StatusLineCase{"ReasonWithSpaces", bytes("HTTP/1.1 301 Moved Permanently\0Location: /x\0\0"), 301},
                    StatusLineCase{"BlankLinesFirst", "\r\n\r\nHTTP/1.1 200 OK\r\n", 200},
                    StatusLineCase{"Empty", "", std::nullopt},
                    StatusLineCase{"OnlyLineEnds", bytes("\0\0\r\n"), std::nullopt},
                    StatusLineCase{"NotHttp", "ICY 200 OK\r\n", std::nullopt},
                    StatusLineCase{"LowerCaseProtocol", "http/1.1 200 OK\r\n", std::nullopt},
                    StatusLineCase{"FieldFirst", "Content-Type: text/html\r\nHTTP/1.1 200 OK\r\n", std::nullopt},
                    StatusLineCase{"NoVersion", "HTTP/ 200 OK", std::nullopt},
                    StatusLineCase{"VersionEndsInDot", "HTTP/1. 200 OK", std::nullopt},
                    StatusLineCase{"NoSpaceBeforeCode", "HTTP/1.1200 OK", std::nullopt},
                    StatusLineCase{"TwoDigitCode", "HTTP/1.1 20 OK", std::nullopt},
                    StatusLineCase{"FourDigitCode", "HTTP/1.1 2000 OK", std::nullopt},
                    StatusLineCase{"LettersInCode", "HTTP/1.1 2x0 OK", std::nullopt},
                    StatusLineCase{"NoCode", "HTTP/1.1", std::nullopt}),
    [](const testing::TestParamInfo<StatusLineCase>& testInfo) { return testInfo.param.name; });

struct FieldCase
{
    const char* name;
    QByteArray raw;
    QByteArray fieldName;
    QString value;
};

std::ostream& operator<<(std::ostream& out, const FieldCase& c)
{
    return out << c.name;
}

class Field : public testing::TestWithParam<FieldCase>
{};

TEST_P(Field, HasTheValueAServerMeant)
{
    const std::optional<HttpResponseHead> head = HttpResponseHead::parse(GetParam().raw);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->field(GetParam().fieldName), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    HttpResponseHead, Field,
    testing::Values(
        FieldCase{"NameInAnyCase", "HTTP/1.1 200 OK\r\ncOnTeNt-TyPe: text/css\r\n", "CONTENT-TYPE", "text/css"},
        FieldCase{"FirstOfRepeated", "HTTP/1.1 200 OK\nX-A: one\nX-A: two\n", "x-a", "one"},
        FieldCase{"ValueTrimmed", "HTTP/1.1 200 OK\r\nX-A: \t spaced \t\r\n", "x-a", "spaced"},
        FieldCase{"NoSpaceAfterColon", "HTTP/1.1 200 OK\r\nX-A:tight\r\n", "x-a", "tight"},
        FieldCase{"EmptyValue", "HTTP/1.1 200 OK\r\nX-A:\r\nX-B: b\r\n", "x-b", "b"},
        FieldCase{"ColonInValue", "HTTP/1.1 200 OK\r\nLocation: http://host:8080/\r\n", "location",
                  "http://host:8080/"},
        FieldCase{"FoldedValue", "HTTP/1.1 200 OK\r\nX-A: first\r\n  second\r\n\tthird\r\nX-B: b\r\n", "x-a",
                  "first second third"},
        FieldCase{"LoneCarriageReturns", "HTTP/1.1 200 OK\rX-A: a\rX-B: b\r", "x-b", "b"},
        FieldCase{"LineWithoutColonSkipped", "HTTP/1.1 200 OK\r\nnonsense\r\nX-A: a\r\n", "x-a", "a"},
        FieldCase{"NameWithSpaceSkipped", "HTTP/1.1 200 OK\r\nX A: wrong\r\nX-B: b\r\n", "x a", ""},
        FieldCase{"EmptyNameSkipped", "HTTP/1.1 200 OK\r\n: nameless\r\n", "", ""},
        FieldCase{"HeadEndsAtEmptyLine", "HTTP/1.1 200 OK\r\nX-A: a\r\n\r\nX-B: body\r\n", "x-b", ""},
        FieldCase{"ChromiumHeadEndsAtDoubleNul", bytes("HTTP/1.1 200 OK\0X-A: a\0\0X-B: b\0"), "x-b", ""},
        FieldCase{"Latin1Value", "HTTP/1.1 200 OK\r\nX-A: caf\xe9\r\n", "x-a", QStringLiteral("caf\u00e9")}),
    [](const testing::TestParamInfo<FieldCase>& testInfo) { return testInfo.param.name; });

TEST(HttpResponseHead, ContentEncodingIsTrimmedAndLowerCase)
{
    const std::optional<HttpResponseHead> head =
        HttpResponseHead::parse("HTTP/1.1 200 OK\r\nContent-Encoding:  GZip, BR \r\n");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->contentEncoding(), QStringLiteral("gzip, br"));
}

} // namespace
