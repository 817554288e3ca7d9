#pragma once

#include <QUrl>

// The product's web addresses, and the one way the program opens them: in the user's web browser.
class ProductPages
{
public:
    static const QUrl kHomePage;
    static const QUrl kProductPage; // a page below the home page

    // Hands the address to the desktop; the outcome is not examined, as a missing browser is the desktop's
    // to report.
    static void open(const QUrl& address);
};
