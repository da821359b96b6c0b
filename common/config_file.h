#ifndef CONFIG_FILE_H
#define CONFIG_FILE_H

#include <QSettings>
#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>

// The reading rules of config.ini, in one place. Every reader goes through
// this class, so a missing file, group or key and an unreadable value turn
// into the same results everywhere: empty text, 0, false, no keys.
class ConfigFile
{
public:
    enum Location {
        ExecutableDir, // beside the executable: every reader but the tag store
        WorkingDir     // the process's current directory: the tag store only
    };

    explicit ConfigFile(Location location = ExecutableDir);
    // A named file, for the tools that read a site's config.ini from elsewhere.
    explicit ConfigFile(const QString &filePath);
    Q_DISABLE_COPY(ConfigFile)

    static QString path(Location location = ExecutableDir);
    static QString executableDir();
    // Unit tests point the executable-directory location at a directory of
    // their own; an empty text restores the real one.
    static void setExecutableDirForTesting(const QString &dir);
    // Every reader of this process, whatever its location, reads this file
    // (solver_replay's --config); an empty text restores the locations.
    static void setFileForTools(const QString &filePath);

    // A value is fetched as text; an unquoted list of more than one element
    // reads as empty text.
    QString text(const QString &group, const QString &key) const;
    // Base 10; empty, letters or a fraction give 0.
    int integer(const QString &group, const QString &key) const;
    // Plain decimal number; anything else gives 0.
    double real(const QString &group, const QString &key) const;
    // The number rule of every reader, also for values split out of a text:
    // "nan", "inf" and values beyond the range of a double give 0.
    static double finiteNumber(const QString &text);
    // Unsigned 16 bits; outside 0..65535 or not a number gives 0.
    quint16 port(const QString &group, const QString &key) const;
    // Case-sensitive comparison with a fixed word.
    bool isWord(const QString &group, const QString &key, const QString &word) const;
    // Every key of a group, in the settings library's (sorted) order.
    QStringList keys(const QString &group) const;

    QSettings &settings() { return store; }

    // Sets keys of one group and replaces the file at filePath durably: the
    // new text goes to a temporary file in the same directory, is synced and
    // checked, then renamed over the old one. Every other line of the file is
    // kept as it was, and so are its owner, group and mode. A symbolic link is
    // written through: the file it leads to is replaced in its own directory.
    // The write holds an advisory lock (flock) on ".<name>.lock" beside the
    // file for its whole length; a file changed after it was read (an
    // administrator's editor takes no lock) is read again and the values set
    // anew, so the other change is kept.
    // False, with the reason in *error, when any step fails; the old file is
    // then left byte for byte.
    using KeyValues = QList<QPair<QString, QString>>;
    static bool writeValues(const QString &filePath, const QString &group, const KeyValues &values,
                            QString *error);

    // Unit tests make a change of their own land between a write's reading
    // of the file and its replacing it: hook runs there, with the file's path
    // (null: nothing runs).
    using WriteHook = void (*)(const QString &target);
    static void setBeforeReplaceHookForTesting(WriteHook hook);

private:
    mutable QSettings store;
};

#endif // CONFIG_FILE_H
