#pragma once

#include <QString>

class HelpWindow;
class QWidget;

// The commands of the main window's help menu.
class HelpCommands
{
public:
    // "帮助": the help file beside the program, webgleaner.chm in `programFolder`, opened in the help window
    // at its first topic. A missing or unreadable help file leaves everything as it was.
    static void showHelp(QWidget* parent, const QString& programFolder);
    // The help window while it is open, or nullptr.
    static HelpWindow* helpWindow();

    // "访问主页": the product's home page in the user's web browser.
    static void openHomePage();

    // "关于": a new about box, shown modally and destroyed when it closes.
    static void showAbout(QWidget* parent);
};
