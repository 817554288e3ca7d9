#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

// The request URL inside a key of Chromium's HTTP cache. Keys carry a credential mode, an upload id and,
// in partitioned caches, the top-level and frame sites before the URL:
//   "1/0/_dk_http://a.example http://a.example http://cdn.example/logo.gif"
// Older caches use "1/0/<url>" or the bare URL.
class ChromiumCacheKey
{
public:
    // The http(s) URL the key stands for; std::nullopt for keys of other stores sharing the container
    // (code cache "_key...", range children "Range_...") and for anything malformed.
    static std::optional<QString> urlOf(QByteArrayView key);
};
