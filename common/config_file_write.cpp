// The one writer of config.ini. QSettings is not used for writing: it reports
// no error when a write is cut short (full file system, file-size limit), may
// fall back to rewriting the live file in place, and afterwards answers
// readers from its in-process cache with values that never reached the disk.

#include "common/config_file.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSet>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kHex[] = "0123456789ABCDEF";

ConfigFile::WriteHook g_beforeReplaceHook = nullptr;

// A key or group name as the settings library writes it: letters, digits,
// '_', '-' and '.' as they are, '/' as '\', anything else percent-encoded.
QByteArray escapedKey(const QString &key)
{
    QByteArray out;
    for (const QChar c : key) {
        const ushort ch = c.unicode();
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'
            || ch == '-' || ch == '.') {
            out += char(ch);
        } else if (ch == '/') {
            out += '\\';
        } else if (ch <= 0xFF) {
            out += '%';
            out += kHex[ch / 16];
            out += kHex[ch % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHex[(ch >> shift) & 0xF];
        }
    }
    return out;
}

// The inverse of escapedKey, for matching the key part of an existing line.
QString unescapedKey(const QByteArray &raw)
{
    QString out;
    for (int i = 0; i < raw.size(); ++i) {
        const char c = raw.at(i);
        if (c == '\\') {
            out += QLatin1Char('/');
        } else if (c == '%') {
            // "%UXXXX" for a 16-bit character, "%XX" for one byte; anything
            // else stands as it is.
            const bool wide = i + 5 < raw.size() && raw.at(i + 1) == 'U';
            const int start = i + (wide ? 2 : 1);
            const int digits = wide ? 4 : 2;
            bool ok = false;
            const ushort u = start + digits <= raw.size() ? raw.mid(start, digits).toUShort(&ok, 16) : 0;
            if (!ok) {
                out += QLatin1Char(c);
                continue;
            }
            out += QChar(u);
            i = start + digits - 1;
        } else {
            out += QLatin1Char(c);
        }
    }
    return out;
}

// A text value as the settings library writes it with the UTF-8 codec: control
// characters, '"' and '\' escaped; quoted when it holds ';', ',' or '=' (an
// unquoted comma would make it a list) or starts or ends with a blank; a
// leading '@' doubled so it is not taken for a typed value.
QByteArray escapedValue(const QString &value)
{
    QString text = value;
    if (text.startsWith(QLatin1Char('@')))
        text.prepend(QLatin1Char('@'));
    QByteArray out;
    bool quote = false;
    bool escapeNextIfHexDigit = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const ushort ch = c.unicode();
        // A character outside the Basic Multilingual Plane is two UTF-16
        // halves: written as its one four-byte UTF-8 sequence. A half on its
        // own cannot be written; it becomes a replacement character, and the
        // check that the file reads back refuses the write.
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            escapeNextIfHexDigit = false;
            out += text.mid(i, 2).toUtf8();
            ++i;
            continue;
        }
        if (ch == ';' || ch == ',' || ch == '=')
            quote = true;
        if (escapeNextIfHexDigit && ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'))) {
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfHexDigit = false;
        switch (ch) {
        case '\0': out += "\\0"; escapeNextIfHexDigit = true; break;
        case '\a': out += "\\a"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        case '"':
        case '\\':
            out += '\\';
            out += char(ch);
            break;
        default:
            if (ch <= 0x1F) {
                out += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfHexDigit = true;
            } else {
                out += QString(c).toUtf8();
            }
        }
    }
    if (quote || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
}

// The group name of a section line "[name]", or a null text for other lines.
QString sectionName(const QByteArray &line)
{
    const QByteArray t = line.trimmed();
    if (!t.startsWith('[') || !t.endsWith(']'))
        return QString();
    return unescapedKey(t.mid(1, t.size() - 2).trimmed());
}

// The key of a "key=value" line, or a null text.
QString lineKey(const QByteArray &line)
{
    const QByteArray t = line.trimmed();
    const int eq = t.indexOf('=');
    if (t.isEmpty() || t.startsWith(';') || eq <= 0)
        return QString();
    return unescapedKey(t.left(eq).trimmed());
}

// The file's text with the values set. Every section of the group is
// searched: a key's first line gets the new value and later lines of the same
// key (which would shadow it when read) go; a new key is added at the end of
// the group's last section, or in a new section at the end of the file.
QByteArray editedText(const QByteArray &original, const QString &group, const ConfigFile::KeyValues &values)
{
    QByteArrayList lines = original.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the text ended with a newline
    QMap<QString, QByteArray> pending;
    for (const auto &kv : values)
        pending.insert(kv.first, escapedKey(kv.first) + '=' + escapedValue(kv.second));

    QByteArrayList out;
    QSet<QString> placed;
    bool inGroup = false;
    int groupEnd = -1; // in `out`: after the last non-blank line of the group's last section
    for (const QByteArray &line : qAsConst(lines)) {
        const QString section = sectionName(line);
        if (!section.isNull()) {
            inGroup = section == group;
            out.append(line);
            if (inGroup)
                groupEnd = out.size();
            continue;
        }
        if (inGroup) {
            const QString key = lineKey(line);
            if (!key.isNull() && pending.contains(key)) {
                if (!placed.contains(key)) {
                    out.append(pending.value(key));
                    placed.insert(key);
                }
                groupEnd = out.size();
                continue;
            }
            out.append(line);
            if (!line.trimmed().isEmpty())
                groupEnd = out.size();
            continue;
        }
        out.append(line);
    }

    QByteArrayList added;
    for (auto it = pending.cbegin(); it != pending.cend(); ++it) {
        if (!placed.contains(it.key()))
            added.append(it.value());
    }
    if (!added.isEmpty()) {
        if (groupEnd < 0) {
            if (!out.isEmpty() && !out.last().trimmed().isEmpty())
                out.append(QByteArray());
            out.append('[' + escapedKey(group) + ']');
            out.append(added);
        } else {
            for (int i = 0; i < added.size(); ++i)
                out.insert(groupEnd + i, added.at(i));
        }
    }
    return out.join('\n') + '\n';
}

QString systemError(const char *step) { return QStringLiteral("%1: %2").arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(errno))); }

bool writeAll(int fd, const QByteArray &bytes, QString *error)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            *error = systemError("write");
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// The settings library reloads a file it has cached only when its size or its
// modification time (to the millisecond) changed. A new text of the old size
// written within the old file's millisecond would be hidden behind the cache,
// so the new file's time is moved past the old one's.
bool distinctModificationTime(int fd, const struct stat &old, QString *error)
{
    struct stat now;
    if (::fstat(fd, &now) != 0) {
        *error = systemError("fstat");
        return false;
    }
    const auto ms = [](const struct timespec &t) { return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
    if (now.st_size != old.st_size || ms(now.st_mtim) != ms(old.st_mtim))
        return true;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    const qint64 later = ms(old.st_mtim) + 1;
    times[1].tv_sec = time_t(later / 1000);
    times[1].tv_nsec = long(later % 1000) * 1000000;
    if (::futimens(fd, times) != 0) {
        *error = systemError("futimens");
        return false;
    }
    return true;
}

// True when a fresh reading of the written file gives every value set: an
// escaping the reader does not undo would otherwise store something else
// than was asked for.
bool readsBack(const QString &path, const QString &group, const ConfigFile::KeyValues &values)
{
    const ConfigFile written(path);
    for (const auto &kv : values) {
        if (written.text(group, kv.first) != kv.second)
            return false;
    }
    return true;
}

// The file a write of filePath replaces: filePath itself, or where its
// symbolic links lead (resolved completely). Empty, with the reason, when a
// link leads nowhere.
QString replacedFile(const QString &filePath, QString *error)
{
    const QByteArray native = QFile::encodeName(filePath);
    struct stat link;
    if (::lstat(native.constData(), &link) != 0 || !S_ISLNK(link.st_mode))
        return filePath;
    char resolved[PATH_MAX];
    if (!::realpath(native.constData(), resolved)) {
        *error = systemError("resolve the symbolic link");
        return QString();
    }
    return QFile::decodeName(resolved);
}

// The lock file beside the target that writers of config.ini hold for the
// whole of a write, opened without following a link planted in its place.
int lockBeside(const QString &target, QString *error)
{
    const QFileInfo info(target);
    const QByteArray lockPath =
        QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".lock"));
    const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = systemError("open the lock file");
        return -1;
    }
    // Another writer holds it for one write, a fraction of a second; one that
    // holds it far longer is taken for a stuck process and the write fails.
    // Looked at every 20 ms: flock has no timeout of its own.
    constexpr int kLockTries = 250;
    for (int i = 0; i < kLockTries; ++i) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return fd;
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        ::usleep(20000);
    }
    *error = errno == EWOULDBLOCK ? QStringLiteral("another writer holds the lock file for 5 s")
                                  : systemError("lock the lock file");
    ::close(fd);
    return -1;
}

// The file as it was read: changed when any of these differ.
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size
           && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

enum class Attempt { Written, Failed, Changed };

// One read-edit-replace of target; Changed when the file was changed by
// someone else after it was read (nothing replaced then).
Attempt writeOnce(const QString &target, const QString &group, const ConfigFile::KeyValues &values, QString *error)
{
    QByteArray original;
    struct stat old;
    std::memset(&old, 0, sizeof old);
    old.st_mode = S_IFREG | 0644;
    bool existed = false;
    const QByteArray nativePath = QFile::encodeName(target);
    if (::stat(nativePath.constData(), &old) == 0) {
        existed = true;
        QFile in(target);
        if (!in.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("open for reading: %1").arg(in.errorString());
            return Attempt::Failed;
        }
        original = in.readAll();
        if (in.error() != QFileDevice::NoError) {
            *error = QStringLiteral("read: %1").arg(in.errorString());
            return Attempt::Failed;
        }
        if (original.size() != qint64(old.st_size))
            return Attempt::Changed; // written to between the stat and the read
    } else if (errno != ENOENT) {
        *error = systemError("stat");
        return Attempt::Failed;
    }
    const QByteArray text = editedText(original, group, values);

    const QFileInfo info(target);
    const QString dir = info.absolutePath();
    const QString tempName = QLatin1Char('.') + info.fileName() + QLatin1Char('.');
    // Left by a process killed between creating and renaming its temporary
    // file; every writer holds the lock, so none of them is in use.
    QDir directory(dir);
    for (const QString &stale : directory.entryList({tempName + QStringLiteral("??????")}, QDir::Files | QDir::Hidden))
        directory.remove(stale);
    QByteArray tempPath = QFile::encodeName(dir + QLatin1Char('/') + tempName + QStringLiteral("XXXXXX"));
    const int fd = ::mkstemp(tempPath.data());
    if (fd < 0) {
        *error = systemError("create temporary file");
        return Attempt::Failed;
    }
    bool ok = writeAll(fd, text, error);
    // The new file takes the old one's owner and group (the temporary file is
    // ours), then its mode. A process that may not give it them (not root,
    // and not the owner in the file's group) fails the write rather than
    // hand the site's file to another owner.
    if (ok && existed && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        *error = systemError(qPrintable(QStringLiteral("keep owner %1 and group %2").arg(old.st_uid).arg(old.st_gid)));
        ok = false;
    }
    if (ok && ::fchmod(fd, old.st_mode & 07777) != 0) {
        *error = systemError("fchmod");
        ok = false;
    }
    if (ok && ::fsync(fd) != 0) {
        *error = systemError("fsync");
        ok = false;
    }
    if (ok)
        ok = distinctModificationTime(fd, old, error);
    if (::close(fd) != 0 && ok) {
        *error = systemError("close");
        ok = false;
    }
    if (ok && !readsBack(QFile::decodeName(tempPath), group, values)) {
        *error = QStringLiteral("the written file does not read back the values set");
        ok = false;
    }
    // An editor that saved the file meanwhile (it takes no lock) would lose
    // its change to the rename: the file must still be the one read.
    Attempt result = ok ? Attempt::Written : Attempt::Failed;
    if (ok && g_beforeReplaceHook)
        g_beforeReplaceHook(target);
    if (ok) {
        struct stat now;
        const bool exists = ::stat(nativePath.constData(), &now) == 0;
        if (exists != existed || (exists && !sameFile(now, old)))
            result = Attempt::Changed;
    }
    if (result == Attempt::Written && ::rename(tempPath.constData(), nativePath.constData()) != 0) {
        *error = systemError("rename");
        result = Attempt::Failed;
    }
    if (result != Attempt::Written) {
        ::unlink(tempPath.constData());
        return result;
    }
    // The new file is in place and readable; a failed directory sync only
    // weakens what survives a power cut, so it is not a failure of the write.
    const int dirFd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return Attempt::Written;
}

} // namespace

void ConfigFile::setBeforeReplaceHookForTesting(WriteHook hook) { g_beforeReplaceHook = hook; }

bool ConfigFile::writeValues(const QString &filePath, const QString &group, const KeyValues &values, QString *error)
{
    // A link (a site's config.ini kept elsewhere) is written through: the
    // file it leads to is replaced beside itself, and the link stays a link.
    const QString target = replacedFile(filePath, error);
    if (target.isEmpty())
        return false;
    // Refused before a lock file is made beside it.
    struct stat st;
    if (::stat(QFile::encodeName(target).constData(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = QStringLiteral("%1 is a directory").arg(target);
        return false;
    }
    const int lock = lockBeside(target, error);
    if (lock < 0)
        return false;
    // A file changed under the write is read again and the values set anew;
    // one that keeps changing makes the write fail rather than wait for ever.
    constexpr int kAttempts = 5;
    Attempt attempt = Attempt::Changed;
    for (int i = 0; i < kAttempts && attempt == Attempt::Changed; ++i)
        attempt = writeOnce(target, group, values, error);
    if (attempt == Attempt::Changed)
        *error = QStringLiteral("the file kept changing while it was written");
    ::close(lock); // releases the lock
    return attempt == Attempt::Written;
}
