#ifndef API_JSON_WRITER_H
#define API_JSON_WRITER_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Compact JSON text of the API documents, as Qt's writer
// (QJsonDocument::toJson, compact form) makes it.
//
// Qt's writer costs about 0.2 us per member whatever its value, and building
// the object it writes costs as much again; a position report has some forty
// members. Compact text is '{', the members in ascending key order joined by
// ',', '}', so the report is written member by member from these pieces, and
// a test holds each piece to the writer's bytes.

// The whole object through Qt's writer.
QByteArray apiCompactJson(const QJsonObject &object);

// A number as the writer puts it: integers in full digits, other finite
// doubles in the shortest form that reads back the same, infinities and NaN
// as null.
void apiAppendNumber(QByteArray &text, double value);
void apiAppendNumber(QByteArray &text, qint64 value);
// A string value with its quotes, escaped as the writer escapes it.
void apiAppendString(QByteArray &text, const QString &value);
// True when the writer puts the text without any escape: no quote, no
// backslash, no control character. Replies to requests go out with every
// backslash removed (peers rely on that), so only such texts may appear in
// them: a removed escape would leave text that is not JSON.
bool apiWrittenWithoutEscape(const QString &value);
// Starts a member: ',' unless it is the first of its object, then '"key":' for
// one of our own keys (plain ASCII that the writer never escapes).
void apiAppendKey(QByteArray &text, const char *key);

#endif // API_JSON_WRITER_H
