#include "util/Prompt.h"

#include <QInputDialog>
#include <QMessageBox>

namespace
{

Prompt::Responder& responder()
{
    static Prompt::Responder installed;
    return installed;
}

const QString kCaption = QStringLiteral("提示");

} // namespace

void Prompt::setResponder(Responder newResponder)
{
    responder() = std::move(newResponder);
}

void Prompt::inform(QWidget* parent, const QString& text)
{
    show(parent, {Kind::Information, kCaption, text}, nullptr);
}

void Prompt::error(QWidget* parent, const QString& text)
{
    show(parent, {Kind::Error, kCaption, text}, nullptr);
}

bool Prompt::ask(QWidget* parent, const QString& text)
{
    return show(parent, {Kind::Question, kCaption, text}, nullptr);
}

bool Prompt::input(QWidget* parent, const QString& caption, const QString& label, QString* text)
{
    return show(parent, {Kind::Input, caption, label}, text);
}

bool Prompt::show(QWidget* parent, const Request& request, QString* input)
{
    if (responder())
        return responder()(request, input);
    switch (request.kind) {
    case Kind::Information:
        QMessageBox::information(parent, request.caption, request.text);
        return true;
    case Kind::Error:
        QMessageBox::critical(parent, request.caption, request.text);
        return true;
    case Kind::Question:
        return QMessageBox::question(parent, request.caption, request.text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    case Kind::Input: {
        bool ok = false;
        *input = QInputDialog::getText(parent, request.caption, request.text, QLineEdit::Normal, QString(), &ok);
        return ok;
    }
    }
    return false;
}
