#pragma once

// Pages a hostile site could leave in a cache, each made at any size by a few lines: small for the tests,
// at the page cap for the benchmark, a few MB for the fuzzer's seeds. Most load before.gif ahead of the
// hostile part and after.gif behind it, so that a test can check that neither is lost to it.

#include <QByteArray>
#include <QList>
#include <algorithm>

namespace HostilePages
{

inline const QByteArray kBefore = "<img src=\"before.gif\">\n";
inline const QByteArray kAfter = "\n<img src=\"after.gif\">";

struct Shape
{
    const char* name;
    QByteArray (*make)(qsizetype size); // about `size` bytes
    // before.gif and after.gif are found, by the parser or by the line-by-line src= walk (which finds
    // what an unterminated quote or raw-text element hides from the parser)
    bool before;
    bool after;
    bool capped; // a cap is reached: for one attribute repeated, that of the src= walk
};

// `unit` as many times as fit in `size` bytes, at least once.
inline QByteArray fill(const QByteArray& unit, qsizetype size)
{
    return unit.repeated(std::max<qsizetype>(1, size / unit.size()));
}

// `size` bytes of distinct attribute names: "a0=1 a1=1 ...".
inline QByteArray distinctAttributes(qsizetype size)
{
    QByteArray out;
    out.reserve(size + 16);
    for (int i = 0; out.size() < size; ++i)
        out += 'a' + QByteArray::number(i) + "=1 ";
    return out;
}

// clang-format off
inline const QList<Shape> kShapes{
    {"image-set nested deep in a style block",
     [](qsizetype n) { return kBefore + "<style>a{background:" + fill("image-set(", n) + "url(in.png)}</style>" + kAfter; },
     true, true, true},
    {"image-set nested deep in a style attribute",
     [](qsizetype n) { return kBefore + "<p style='background:" + fill("-webkit-image-set(", n) + "'>" + kAfter; },
     true, true, true},
    {"image-set opened and closed deep",
     [](qsizetype n) { return kBefore + "<style>a{b:" + fill("image-set(", n / 2) + fill(")", n / 20) + "}</style>" + kAfter; },
     true, true, true},
    {"url( ( ( in a style block",
     [](qsizetype n) { return kBefore + "<style>a{background:url(" + fill("( ", n) + ")}</style>" + kAfter; },
     true, true, true},
    {"brackets nested deep in a style block",
     [](qsizetype n) { return kBefore + "<style>a{b:" + fill("(", n) + "url(in.png)}</style>" + kAfter; },
     true, true, false},
    {"a style block of url() only",
     [](qsizetype n) { return kBefore + "<style>" + fill("url(a.png)", n) + "</style>" + kAfter; },
     true, false, true},
    {"a style block of @import only",
     [](qsizetype n) { return kBefore + "<style>" + fill("@import'a.css';", n) + "</style>" + kAfter; },
     true, false, true},
    {"an unterminated string in a style block",
     [](qsizetype n) { return kBefore + "<style>a{b:url(\"" + fill("x", n) + "</style>" + kAfter; },
     true, true, true},
    {"an unterminated comment in a style block",
     [](qsizetype n) { return kBefore + "<style>url(x)/*" + fill("*", n) + "</style>" + kAfter; },
     true, true, false},
    {"escapes in a style block",
     [](qsizetype n) { return kBefore + "<style>a{b:url(" + fill("\\", n) + ")}</style>" + kAfter; },
     true, true, true},
    {"one tag of distinct attributes",
     [](qsizetype n) { return kBefore + "<img " + distinctAttributes(n) + ">" + kAfter; },
     true, true, true},
    {"one tag of one attribute repeated",
     [](qsizetype n) { return kBefore + "<img src=\"in.gif\" " + fill("src=x ", n) + ">" + kAfter; },
     true, true, true},
    {"one end tag of distinct attributes",
     [](qsizetype n) { return kBefore + "</img " + distinctAttributes(n) + ">" + kAfter; },
     true, true, false},
    {"many tags",
     [](qsizetype n) { return kBefore + fill("<b x=1>", n) + kAfter; },
     true, true, false},
    {"many references",
     [](qsizetype n) { return kBefore + fill("<img src=a.gif>", n) + kAfter; },
     true, false, true},
    {"many references in bytes that are no UTF-8",
     [](qsizetype n) { return kBefore + fill("<img src=\xFF.gif>\n", n) + kAfter; },
     true, false, true},
    {"a long line of src=",
     [](qsizetype n) { return kBefore + fill("src=", n) + kAfter; },
     true, true, true},
    {"long lines of overlapping src= texts",
     [](qsizetype n) { return kBefore + fill(QByteArray("src=").repeated(4000) + " ", n) + kAfter; },
     true, true, true},
    {"many lines of src=",
     [](qsizetype n) { return kBefore + fill("x.src=a.gif\n", n) + kAfter; },
     true, true, true},
    {"src= spaced out",
     [](qsizetype n) { return kBefore + "src=" + fill(" ", n) + "x.gif" + fill("src=\"", n / 4) + kAfter; },
     true, true, true},
    {"an unterminated comment",
     [](qsizetype n) { return kBefore + "<!--" + fill("-", n); },
     true, false, false},
    {"an unterminated comment of dashes and brackets",
     [](qsizetype n) { return kBefore + "<!--" + fill("--!-", n); },
     true, false, false},
    {"an unterminated quote",
     [](qsizetype n) { return kBefore + "<img alt=\"" + fill("x", n) + kAfter; },
     true, true, false},
    {"an unterminated script",
     [](qsizetype n) { return kBefore + "<script>" + fill("</scrip<", n) + kAfter; },
     true, true, false},
    {"an unterminated style",
     [](qsizetype n) { return kBefore + "<style>" + fill("</styl<", n) + kAfter; },
     true, true, false},
    {"a page of only <",
     [](qsizetype n) { return kBefore + fill("<", n) + kAfter; },
     true, true, false},
    {"a page of only </",
     [](qsizetype n) { return kBefore + fill("</", n) + kAfter; },
     true, true, false},
    {"a huge numeric character reference",
     [](qsizetype n) { return kBefore + "<img alt=\"&#" + fill("9", n) + ";\">" + kAfter; },
     true, true, false},
    {"a huge named character reference",
     [](qsizetype n) { return kBefore + "<img alt=\"&" + fill("a", n) + "\">" + kAfter; },
     true, true, false},
    {"many character references",
     [](qsizetype n) { return kBefore + "<img alt=\"" + fill("&#x1F600;&amp;&", n) + "\">" + kAfter; },
     true, true, false},
    {"a huge data: address",
     [](qsizetype n) { return kBefore + "<img src=\"data:image/png;base64," + fill("A", n) + "\">" + kAfter; },
     true, true, false},
    {"a huge address",
     [](qsizetype n) { return kBefore + "<img src=\"http://h/" + fill("a", n) + "\">" + kAfter; },
     true, true, true},
    {"a huge srcset",
     [](qsizetype n) { return kBefore + "<img srcset=\"" + fill("a.png 1x, ", n) + "\">" + kAfter; },
     true, false, true},
    {"a huge tag name",
     [](qsizetype n) { return kBefore + "<" + fill("a", n) + ">" + kAfter; },
     true, true, false},
    {"a page of line breaks",
     [](qsizetype n) { return kBefore + fill("\n", n) + kAfter; },
     true, true, false},
    {"a page of carriage returns",
     [](qsizetype n) { return kBefore + fill("\r", n) + kAfter; },
     true, true, false},
    {"a page of bytes that are no UTF-8",
     [](qsizetype n) { return kBefore + fill("\xFF", n) + kAfter; },
     true, true, false},
    {"a page in Shift_JIS of bytes that are none",
     [](qsizetype n) { return kBefore + "<meta charset=shift_jis>" + fill("\xFF", n) + kAfter; },
     true, true, false},
    {"many title lines",
     [](qsizetype n) { return kBefore + fill("<title>t</title>\n", n) + kAfter; },
     true, true, false},
    {"a long title line",
     [](qsizetype n) { return kBefore + "<title>" + fill("<title>", n) + kAfter; },
     true, true, false},
    {"many charset=",
     [](qsizetype n) { return kBefore + fill("CharSet=", n) + kAfter; },
     true, true, false},
    {"elements nested deep",
     [](qsizetype n) { return kBefore + fill("<div><b>", n) + kAfter; },
     true, true, false},
};
// clang-format on

} // namespace HostilePages
