#include "api/api_json_writer.h"

#include <QJsonDocument>

namespace {

// A report is about 460 bytes: one allocation for the whole text.
constexpr int kTypicalDocumentSize = 512;

const QByteArray *readyText(const ApiReadyMembers &ready, const QString &key)
{
    for (const auto &member : ready) {
        if (member.first == key)
            return &member.second;
    }
    return nullptr;
}

// Appends the members of run as the writer puts them, without its braces.
void appendRun(QByteArray &text, QJsonObject &run)
{
    if (run.isEmpty())
        return;
    const QByteArray written = apiCompactJson(run);
    if (text.size() > 1)
        text += ',';
    text.append(written.constData() + 1, written.size() - 2);
    run = QJsonObject();
}

} // namespace

QByteArray apiCompactJson(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray apiMemberText(const QString &key, const QByteArray &valueText)
{
    return '"' + key.toLatin1() + "\":" + valueText;
}

QByteArray apiCompactJson(const QJsonObject &object, const ApiReadyMembers &ready)
{
    QByteArray text;
    text.reserve(kTypicalDocumentSize);
    text += '{';
    // Consecutive members without ready text go through the writer in one call.
    QJsonObject run;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        const QByteArray *member = readyText(ready, key);
        if (!member) {
            run.insert(key, it.value());
            continue;
        }
        appendRun(text, run);
        if (text.size() > 1)
            text += ',';
        text += *member;
    }
    appendRun(text, run);
    text += '}';
    return text;
}
