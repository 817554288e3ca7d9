#include "app/RunProgressLine.h"

#include "engine/keep/KeepTotals.h"

#include <QTextStream>
#include <algorithm>

namespace
{

// Erases from the cursor to the end of the line, so that a shorter line leaves nothing of a longer one.
constexpr char kEraseToEnd[] = "\x1b[K";

// Before this much of the run the rate says too little for an estimate.
constexpr std::chrono::milliseconds kEstimateAfter{1000};

QString duration(std::chrono::seconds seconds)
{
    const qint64 total = seconds.count();
    if (total >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(total / 3600)
            .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
            .arg(total % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}

// The part of the run done, 0 to 1; negative when it cannot be told. The walk comes first; once it has
// ended, what remains is saving the matches.
double doneFraction(const RunProgressLine::Counts& counts)
{
    if (!counts.walkEnded) {
        if (counts.total <= 0)
            return -1;
        return std::min(1.0, double(counts.walked) / double(counts.total));
    }
    if (counts.matches <= 0)
        return 1;
    return std::min(1.0, double(counts.handled) / double(counts.matches));
}

} // namespace

RunProgressLine::RunProgressLine(QTextStream& terminal) : terminal_(terminal) {}

QString RunProgressLine::text(const Counts& counts, std::chrono::milliseconds elapsed)
{
    // An estimate of the total that the walk has overtaken is shown as the count walked so far.
    const QString walked = counts.total >= 0
                               ? QStringLiteral("%1/%2").arg(counts.walked).arg(std::max(counts.walked, counts.total))
                               : QString::number(counts.walked);
    QString timeLeft = QStringLiteral("--:--");
    const double done = doneFraction(counts);
    if (done >= 1) {
        timeLeft = duration(std::chrono::seconds(0));
    } else if (done > 0 && elapsed >= kEstimateAfter) {
        const auto left = std::chrono::duration<double>(elapsed) * (1 - done) / done;
        timeLeft = duration(std::chrono::ceil<std::chrono::seconds>(left));
    }
    return QStringLiteral("已检索 %1 项，匹配 %2 项，已保存 %3 个，剩余约 %4")
        .arg(walked)
        .arg(counts.matches)
        .arg(counts.saved)
        .arg(timeLeft);
}

QString RunProgressLine::keepingText(const KeepTotals& totals, std::chrono::milliseconds elapsed)
{
    // Files already in place with the same bytes are not counted: every start reads the caches again and
    // finds what earlier keeping saved.
    QString line = QStringLiteral("守候中：已保存 %1 个，匹配 %2 项").arg(totals.saves.saved).arg(totals.matched);
    if (totals.saves.failed > 0)
        line += QStringLiteral("，失败 %1 个").arg(totals.saves.failed);
    return line + QStringLiteral("，已守候 %1").arg(duration(std::chrono::floor<std::chrono::seconds>(elapsed)));
}

void RunProgressLine::draw(const Counts& counts, std::chrono::milliseconds elapsed)
{
    draw(text(counts, elapsed));
}

void RunProgressLine::draw(const QString& line)
{
    terminal_ << '\r' << line << kEraseToEnd;
    terminal_.flush();
    shown_ = true;
}

void RunProgressLine::clear()
{
    if (!shown_)
        return;
    terminal_ << '\r' << kEraseToEnd;
    terminal_.flush();
    shown_ = false;
}
