#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// The key under which Firefox's cache2 files an entry: `<tags>:<URL>`. Each tag is one character from 0x20 to
// 0x7F, optionally followed by a value, ended by ','; a comma inside a value is doubled. Tags come in
// ascending order and ':' ends them. The tags (origin attributes with the partition, anonymous load, the
// post id of a POST result) say under which circumstances the URL was loaded; the program wants the URL.
class FirefoxCacheKey
{
public:
    // The URL after the tags, as stored (the browser's ASCII form, query kept). std::nullopt when the key
    // does not follow the grammar or has no URL.
    static std::optional<QByteArray> url(QByteArrayView key);
};
