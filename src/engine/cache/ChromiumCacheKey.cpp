#include "engine/cache/ChromiumCacheKey.h"

namespace
{

bool isHttpUrl(QByteArrayView text)
{
    return text.startsWith("http://") || text.startsWith("https://");
}

// Skips one "<digits>/" field; std::nullopt when the text does not start with one.
std::optional<QByteArrayView> afterNumericField(QByteArrayView text)
{
    qsizetype digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits >= text.size() || text[digits] != '/')
        return std::nullopt;
    return text.sliced(digits + 1);
}

} // namespace

std::optional<QString> ChromiumCacheKey::urlOf(QByteArrayView key)
{
    QByteArrayView url = key;
    if (!isHttpUrl(key)) {
        const std::optional<QByteArrayView> afterCredential = afterNumericField(key);
        const std::optional<QByteArrayView> afterUploadId =
            afterCredential ? afterNumericField(*afterCredential) : std::nullopt;
        if (!afterUploadId)
            return std::nullopt;
        url = *afterUploadId;
        // Whatever prefixes a partitioned key carries (sites, "s_", "cn_", experiments), they all come
        // before the last space, and a canonical URL never holds an unescaped one.
        if (url.startsWith("_dk_")) {
            const qsizetype lastSpace = url.lastIndexOf(' ');
            if (lastSpace < 0)
                return std::nullopt;
            url = url.sliced(lastSpace + 1);
        }
    }
    if (!isHttpUrl(url) || url.contains(' '))
        return std::nullopt;
    return QString::fromUtf8(url);
}
