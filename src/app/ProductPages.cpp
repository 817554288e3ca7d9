#include "app/ProductPages.h"

#include <QDesktopServices>

const QUrl ProductPages::kHomePage(QStringLiteral("http://webgleaner.example/"));
const QUrl ProductPages::kProductPage(QStringLiteral("http://webgleaner.example/product.htm"));

void ProductPages::open(const QUrl& address)
{
    QDesktopServices::openUrl(address);
}
