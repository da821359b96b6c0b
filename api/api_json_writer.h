#ifndef API_JSON_WRITER_H
#define API_JSON_WRITER_H

#include <QByteArray>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QVector>

// Compact JSON text of the API documents, as Qt's writer
// (QJsonDocument::toJson, compact form) makes it.
//
// Qt's writer costs about 0.2 us per member whatever its value, and a position
// report has some forty members, half of which never change after start-up.
// Compact text is '{', the members in ascending key order joined by ',', '}',
// so members whose text is known can be written from that text while the
// others still go through Qt's writer: the bytes stay the writer's bytes.

// Members written in advance: key and its complete member text ("key":value).
using ApiReadyMembers = QVector<QPair<QString, QByteArray>>;

// The whole object through Qt's writer.
QByteArray apiCompactJson(const QJsonObject &object);

// The member text "key":value for one of our own keys (plain ASCII that the
// writer never escapes) and a value already in compact text.
QByteArray apiMemberText(const QString &key, const QByteArray &valueText);

// The same bytes as apiCompactJson(object), with each member listed in ready
// taken from its text. The caller keeps those texts equal to the object's
// members; a listed key the object lacks is not written.
QByteArray apiCompactJson(const QJsonObject &object, const ApiReadyMembers &ready);

#endif // API_JSON_WRITER_H
