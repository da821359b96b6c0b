#include "common/config_file.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

#include <cmath>

namespace {

QString &executableDirOverride()
{
    static QString dir;
    return dir;
}

QString &fileOverride()
{
    static QString file;
    return file;
}

} // namespace

ConfigFile::ConfigFile(Location location) : ConfigFile(path(location)) {}

ConfigFile::ConfigFile(const QString &filePath) : store(filePath, QSettings::IniFormat)
{
    store.setIniCodec(QTextCodec::codecForName("UTF-8"));
}

QString ConfigFile::executableDir()
{
    if (!executableDirOverride().isEmpty())
        return executableDirOverride();
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Before the application object exists (static initialisation).
    return QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath()).absolutePath();
}

void ConfigFile::setExecutableDirForTesting(const QString &dir) { executableDirOverride() = dir; }

void ConfigFile::setFileForTools(const QString &filePath) { fileOverride() = filePath; }

QString ConfigFile::path(Location location)
{
    if (!fileOverride().isEmpty())
        return fileOverride();
    const QString dir = location == WorkingDir ? QDir::currentPath() : executableDir();
    return dir + QStringLiteral("/config.ini");
}

QString ConfigFile::text(const QString &group, const QString &key) const
{
    store.beginGroup(group);
    const QString value = store.value(key).toString();
    store.endGroup();
    return value;
}

int ConfigFile::integer(const QString &group, const QString &key) const
{
    return text(group, key).toInt(nullptr, 10);
}

double ConfigFile::real(const QString &group, const QString &key) const
{
    return finiteNumber(text(group, key));
}

double ConfigFile::finiteNumber(const QString &text)
{
    // A coordinate of nan or inf would poison every solve that uses it and
    // reach the JSON documents as null.
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok && std::isfinite(value) ? value : 0.0;
}

quint16 ConfigFile::port(const QString &group, const QString &key) const
{
    return text(group, key).toUShort(nullptr, 10);
}

bool ConfigFile::isWord(const QString &group, const QString &key, const QString &word) const
{
    return text(group, key) == word;
}

QStringList ConfigFile::keys(const QString &group) const
{
    store.beginGroup(group);
    const QStringList list = store.allKeys();
    store.endGroup();
    return list;
}
