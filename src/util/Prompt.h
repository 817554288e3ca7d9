#pragma once

#include <QString>
#include <functional>

class QWidget;

// The program's message boxes and input boxes, all captioned "提示" unless said otherwise. They go
// through here so that tests can answer them in place of a person.
class Prompt
{
public:
    enum class Kind
    {
        Information,
        Error,
        Question, // Yes and No, No the default
        Input,    // a line of text
    };

    struct Request
    {
        Kind kind;
        QString caption;
        QString text;
    };

    // A stand-in for the person: gets each request and gives the answer (true for Yes or OK; for input
    // boxes, `*input` is the text typed).
    using Responder = std::function<bool(const Request& request, QString* input)>;

    static void inform(QWidget* parent, const QString& text);
    static void error(QWidget* parent, const QString& text);
    // True when the answer is Yes.
    static bool ask(QWidget* parent, const QString& text);
    // The text typed; false when the box was cancelled.
    static bool input(QWidget* parent, const QString& caption, const QString& label, QString* text);

    // Installs a responder in place of the real boxes; an empty one restores them.
    static void setResponder(Responder responder);

private:
    static bool show(QWidget* parent, const Request& request, QString* input);
};
